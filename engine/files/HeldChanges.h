#pragma once
// The bytes a transaction writes to one table file, held back from the file until
// the commit.
//
// Inside a transaction nothing may reach a table file before the commit, so the
// caches keep every record, page and block the transaction changed, each in a
// cache object of its own, and grow with it. That is the fastest way while the
// transaction is small; once the caches hold the budget's worth, a full cache
// writes its changed items as it does outside a transaction instead, and the
// handler brings those writes here; its reads and its size see them. What is held
// here costs its stored size. Past the table's budget the held bytes move to
// a private temporary file (the spill file) and are read back from there. The
// commit has the caches give up the rest of their changed items here too and
// writes it all to the table file in file order; a rollback forgets them. The spill file is removed when the changes are
// forgotten or written, and when the object goes. The commit's journal is built
// in one too (Journal.cpp), within the same budget.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kura {

class TFileHandler;
class THeldChanges;

// The memory a transaction's changes to a table may take: its caches grow with
// the changed items until these take the limit at their stored size (CacheBytes
// tells), and only then give them up to the held changes; these in turn move to
// their spill files past the limit. Also where the spill files are made.
struct THeldBudget {
    int64_t Limit = 0;
    int64_t InMemory = 0;
    std::string Directory;
    std::vector<THeldChanges*> Members;
    // The stored size of the items the table's caches hold; unset, the caches
    // count as full.
    std::function<int64_t()> CacheBytes;
};

// The budget a session gives each table unless told otherwise.
constexpr int64_t DEFAULT_TRANSACTION_MEMORY = 16 << 20;
// The largest piece handed on by ForEach, and the size at which a run of
// appended bytes starts a span of its own.
constexpr int32_t HELD_SPAN_LIMIT = 1 << 20;

class THeldChanges {
public:
    THeldChanges();
    ~THeldChanges();
    THeldChanges(const THeldChanges&) = delete;
    THeldChanges& operator=(const THeldChanges&) = delete;

    // Joins (or with nullptr leaves) a budget.
    void SetBudget(THeldBudget* budget);

    // While set, the handler's writes come here instead of going to the file.
    bool Holding = false;

    bool Empty() const { return FSpans.empty(); }
    // One past the last held byte; 0 when nothing is held.
    int64_t End() const;
    int64_t InMemory() const { return FInMemory; }
    bool Spilled() const { return FSpill != nullptr; }
    // A cache full of the transaction's changes gives them up here (true) or grows
    // (false): only while holding, once the caches have reached the budget.
    bool TakesCachedChanges() const;

    // Holds count bytes for the file offset. Raises 9218 (and keeps what it held)
    // when the spill file cannot be written.
    void Write(int64_t offset, const uint8_t* bytes, int32_t count);
    // Forgets what lies at and beyond the offset.
    void Cut(int64_t offset);
    // Whether held bytes cover all of [offset, offset + count).
    bool Covers(int64_t offset, int32_t count) const;
    // Puts the held bytes of [offset, offset + count) over `buffer`, whose first `got`
    // bytes came from the file; bytes beyond `got` that nothing holds are zero. The
    // bytes of the buffer that are now valid. Raises 9217 when the spill file
    // cannot be read.
    int32_t Overlay(int64_t offset, uint8_t* buffer, int32_t count, int32_t got) const;
    // Hands every held span in file order, in pieces of at most HELD_SPAN_LIMIT bytes.
    void ForEach(const std::function<void(int64_t offset, const uint8_t* bytes, int32_t count)>& take) const;
    // Hands where the held spans lie, in file order, without their bytes.
    void ForEachRange(const std::function<void(int64_t offset, int64_t length)>& take) const;
    // Forgets everything, gives the memory back and removes the spill file
    // (Holding stays as it is).
    void Clear();
    // Moves every span held in memory to the spill file.
    void Spill();

private:
    struct TSpan {
        int64_t Length = 0;
        std::vector<uint8_t> Bytes;  // empty once spilled
        int64_t SpillAt = -1;        // where a spilled span lies in the spill file
    };
    std::map<int64_t, TSpan> FSpans;
    std::unique_ptr<TFileHandler> FSpill;
    int64_t FSpillEnd = 0;
    int64_t FInMemory = 0;
    THeldBudget* FBudget = nullptr;

    // Reads count bytes of a span from `at` on.
    void Load(const TSpan& span, int64_t at, uint8_t* out, int64_t count) const;
    // Writes count bytes into a span from `at` on (within its length).
    void Store(TSpan& span, int64_t at, const uint8_t* bytes, int64_t count);
    void Account(int64_t delta);
    // Past the budget every member of it moves its spans to its spill file.
    void KeepWithinBudget();
    void SpillWrite(int64_t at, const uint8_t* bytes, int64_t count);
    void RemoveSpillFile();
};

}  // namespace kura

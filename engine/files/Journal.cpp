#include "engine/files/Journal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <random>

#include <zlib.h>

#include "engine/errors/EngineErrors.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/JournalFormat.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;
using namespace jnl;

namespace {

// Unchanged bytes that still join two changed spans into one saved range.
constexpr int64_t kSpanGap = 32;
// The bytes of a deferred write taken from their source at a time, and of the
// old and new bytes a journal compares or saves at a time.
constexpr int64_t kDeferredPiece = 1 << 20;

// Writes one file's held-back bytes in place.
bool WriteCaptured(const TWriteCapture& capture, const TFileAccess& file) {
    int64_t size = capture.DiskSize();
    if (capture.KeptDiskBytes() < size) {
        if (!file.Cut(capture.KeptDiskBytes())) return false;
        size = capture.KeptDiskBytes();
    }
    // The deferred writes (appended bytes, in file order) first: the held-back
    // bytes lie on top of them.
    std::vector<uint8_t> piece;
    for (const auto& [offset, length] : capture.Deferred()) {
        for (int64_t at = offset; at < offset + length; at += kDeferredPiece) {
            const auto n = static_cast<int32_t>(std::min(kDeferredPiece, offset + length - at));
            piece.resize(static_cast<std::size_t>(n));
            if (!capture.ReadDeferred(at, piece.data(), n) || !file.Write(at, piece.data(), n)) return false;
        }
        size = std::max(size, offset + length);
    }
    for (const auto& [offset, bytes] : capture.Extents()) {
        if (!file.Write(offset, bytes.data(), static_cast<int64_t>(bytes.size()))) return false;
        size = std::max(size, offset + static_cast<int64_t>(bytes.size()));
    }
    return size == capture.Size() || file.Cut(capture.Size());
}

// A journal as it is built, by journal offset from the end of its header on: the
// latest bytes in memory, the rest handed to a store that keeps them within the
// budget given (HeldChanges.h), past it in a spill file.
class TJournalBuilder {
public:
    explicit TJournalBuilder(THeldBudget* budget) : FStore(std::make_unique<THeldChanges>()) {
        FStore->SetBudget(budget);
    }
    int64_t Size() const { return FBase + static_cast<int64_t>(FTail.size()); }
    void Append(const void* bytes, std::size_t size) {
        if (FTail.size() + size > kHandOn) HandOn();
        const auto* p = static_cast<const uint8_t*>(bytes);
        FTail.insert(FTail.end(), p, p + size);
    }
    void Put8(uint8_t v) { Append(&v, 1); }
    void Put32(uint32_t v) {
        uint8_t b[4];
        PutU32(b, v);
        Append(b, 4);
    }
    void Put64(uint64_t v) {
        uint8_t b[8];
        PutU64(b, v);
        Append(b, 8);
    }
    // Room for count bytes at the end, to be filled before the next call.
    uint8_t* Grow(std::size_t count) {
        if (FTail.size() + count > kHandOn) HandOn();
        FTail.resize(FTail.size() + count);
        return FTail.data() + FTail.size() - count;
    }
    // Puts bytes over what was built at `at`.
    void Patch(int64_t at, const uint8_t* bytes, int64_t count) {
        if (at >= FBase)
            std::memcpy(FTail.data() + (at - FBase), bytes, static_cast<std::size_t>(count));
        else
            FStore->Write(at, bytes, static_cast<int32_t>(count));
    }
    std::unique_ptr<THeldChanges> Finish() {
        HandOn();
        return std::move(FStore);
    }

private:
    static constexpr std::size_t kHandOn = HELD_SPAN_LIMIT;
    std::unique_ptr<THeldChanges> FStore;
    int64_t FBase = JOURNAL_HEADER_SIZE;
    std::vector<uint8_t> FTail;

    void HandOn() {
        if (FTail.empty()) return;
        FStore->Write(FBase, FTail.data(), static_cast<int32_t>(FTail.size()));
        FBase += static_cast<int64_t>(FTail.size());
        FTail.clear();
    }
};

// An id no other commit of any program takes: the clock, a count of this
// process's commits, an address and the system's randomness, mixed.
uint64_t NewCommitId() {
    static std::atomic<uint64_t> count{0};
    uint64_t x = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    x ^= (count.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ULL;
    x ^= reinterpret_cast<std::uintptr_t>(&count) << 17;
    try {
        std::random_device device;
        x ^= (static_cast<uint64_t>(device()) << 32) ^ device();
    } catch (...) {
    }
    // splitmix64's finaliser.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return x != 0 ? x : 1;
}

}  // namespace

uint32_t JournalChecksum(const uint8_t* bytes, std::size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = crc32(crc, bytes, piece);
        bytes += piece;
        size -= piece;
    }
    return static_cast<uint32_t>(crc);
}

TTableJournal::~TTableJournal() { Close(); }

bool TTableJournal::Open(const std::string& name, const TJournalFileNames& fileNames) {
    Close();
    FName = name;
    FFileNames = fileNames;
    FWrittenBytes = -1;  // whatever an earlier program left
    const bool created = !DiskFileExists(name);
    TOSHandle handle = OSOpenSideFile(name);
    if (handle != OS_INVALID_HANDLE) {
        // A journal that vanished with a power cut could not roll anything back, so
        // its folder entry is made durable before the first flush can rely on it.
        if (created) OSSyncFolderOf(name);
        FHandle = handle;
        FWritable = true;
        return true;
    }
    // Without a journal no flush is safe: they are refused. One that is there is
    // still read, so that a flush it holds is never taken for the table's state.
    FRefused = true;
    // A link in the journal's place is what to remove, rather than the table.
    FRefusedLink = OSLastError() == platform::ERROR_CANT_RESOLVE_FILENAME;
    if (!created) {
        handle = OSOpenFile(name, fmOpenRead | fmShareDenyNone, false);
        if (handle != OS_INVALID_HANDLE) FHandle = handle;
    }
    return false;
}

void TTableJournal::Close() {
    Detach();
    FDepth = 0;
    Unstage();
    Release();
    if (FHandle > 0) OSCloseFile(FHandle);
    FHandle = 0;
    FWritable = false;
    FRefused = false;
    FRefusedLink = false;
    FSynced = {};
    FLeftAlone.clear();
}

bool TTableJournal::IsHot() {
    uint8_t header[JOURNAL_HEADER_SIZE];
    return FHandle > 0 && ReadHeader(header);
}

bool TTableJournal::Invalidate(bool sync) {
    const uint8_t zero[JOURNAL_HEADER_SIZE] = {};
    const TFileAccess journal = OSAccess(FHandle);
    bool done = false;
    // A journal that ends in a copy of its header is cut away whole: the copy left
    // behind would bring it back.
    if (FWrittenBytes < 0 || FWrittenBytes > JOURNAL_KEEP_SIZE || FTrailerAt >= 0) {
        if (journal.Cut(0)) {
            FWrittenBytes = 0;
            FTrailerAt = -1;
            done = true;
        }
    }
    if (!done) {
        done = journal.Write(0, zero, JOURNAL_HEADER_SIZE) &&
               (FTrailerAt < 0 || journal.Write(FTrailerAt, zero, JOURNAL_HEADER_SIZE));
        // A header that cannot be overwritten can still be cut away.
        if (!done && journal.Cut(0)) {
            FWrittenBytes = 0;
            done = true;
        }
        if (done) {
            FTrailerAt = -1;
            FWrittenBytes = std::max<int64_t>(FWrittenBytes, JOURNAL_HEADER_SIZE);
        }
    }
    return done && (!sync || journal.Sync());
}

void TTableJournal::Reset() {
    if (!IsOpen()) return;
    if (OSAccess(FHandle).Cut(0)) {
        FWrittenBytes = 0;
        FTrailerAt = -1;
    }
}

void TTableJournal::SettleJournal(const std::string& name, const TJournalFileNames& fileNames,
                                  TSettleScope scope) {
    if (DiskFileExists(name)) {
        TTableJournal journal;
        journal.Open(name, fileNames);
        journal.Hold();
        journal.Close();
    }
    if (scope == TSettleScope::CommitsNaming) SettleCommitsNaming(name);
}

bool TTableJournal::Lock() {
    if (FHeld) return false;
    for (int32_t attempt = 1; !OSLockFile(FHandle, JOURNAL_WRITER_LOCK_OFFSET, 1); ++attempt) {
        if (attempt >= JOURNAL_LOCK_ATTEMPTS) RaiseEngineError(KURA_LOCKTIMEOUT, {}, {}, {}, FName);
        platform::Sleep(JOURNAL_LOCK_SLEEP_MS);
    }
    return true;
}

void TTableJournal::Unlock() { OSUnlockFile(FHandle, JOURNAL_WRITER_LOCK_OFFSET, 1); }

// ---- Holding back a flush -------------------------------------------------------

void TTableJournal::Begin(const TJournalHandlers& handlers) {
    if (!InUse() || FDepth++ > 0) return;
    FHandlers = {};
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        TFileHandler* h = handlers[i];
        if (!h || !h->IsOpen || !h->File || h->IsMemory || h->Capture) continue;
        FCaptures[i].Forget();
        h->Capture = &FCaptures[i];
        FHandlers[i] = h;
    }
}

bool TTableJournal::End() {
    if (FDepth == 0) return false;
    return --FDepth == 0;
}

bool TTableJournal::HasPending() const {
    for (int i = 0; i < JOURNAL_FILES; ++i)
        if (FHandlers[i] && !FCaptures[i].Empty()) return true;
    return false;
}

bool TTableJournal::SyncWanted() const {
    for (int i = 0; i < JOURNAL_FILES; ++i)
        if (FHandlers[i] && !FCaptures[i].Empty() && FCaptures[i].SyncWanted) return true;
    return false;
}

void TTableJournal::Detach() {
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (FHandlers[i] && FHandlers[i]->Capture == &FCaptures[i]) FHandlers[i]->Capture = nullptr;
        FHandlers[i] = nullptr;
        FCaptures[i].Forget();
    }
}

// Starts holding back anew from the files as they are, or lets go when no
// bracket is open any more.
void TTableJournal::Restart() {
    FStagingBudget = nullptr;
    if (FDepth == 0) {
        Detach();
        return;
    }
    for (auto& capture : FCaptures) capture.Forget();
}

void TTableJournal::Discard() { Restart(); }

void TTableJournal::RefuseUnjournalled() {
    if (IsOpen()) return;
    Restart();
    RaiseEngineError(KURA_OSEACCES, {}, {}, {},
                     FRefusedLink ? platform::NormalizeSeparators(FName) : TableNameOf(FFileNames[0]));
}

void TTableJournal::Apply(const TJournalTargets& targets, bool hard) {
    if (!HasPending()) {
        Restart();
        return;
    }
    RefuseUnjournalled();
    struct Restarter {
        TTableJournal* j;
        ~Restarter() { j->Restart(); }
    } restart{this};
    hard = hard || SyncWanted();
    try {
        Build(targets);
        Seal(0, {});
        Write(hard);
    } catch (...) {
        Unstage();
        throw;
    }
    try {
        WriteInPlace();
    } catch (...) {
        Undo(false);
        throw;
    }
    // A journal left valid behind a flush reported done would be played back by
    // the next program, undoing it: then the flush is undone here and fails. After a
    // hard flush the invalidation is synced as well, or a power cut could bring the
    // journal back and with it the flush undone.
    if (!Finish(hard)) {
        Undo(false);
        RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FName);
    }
}

void TTableJournal::Build(const TJournalTargets& targets) {
    // The journal: the state of every open file, and what every held-back or
    // deferred write and cut will overwrite.
    TJournalBuilder journal(FStagingBudget);
    std::array<TFileAccess, JOURNAL_FILES> files;
    std::array<int64_t, JOURNAL_FILES>& imageLength = FImageLength;
    imageLength = {};
    // A piece's bytes before and after the flush; both are filled before they are
    // read, so they are grown without being cleared.
    std::unique_ptr<uint8_t[]> old;
    std::unique_ptr<uint8_t[]> now;
    std::size_t room = 0;
    std::vector<std::pair<int64_t, int64_t>> spans;
    uint32_t entries = 0;
    std::array<std::array<uint8_t, kEntrySize>, JOURNAL_FILES> heads{};
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (!FHandlers[i]) continue;
        const TWriteCapture& c = FCaptures[i];
        const bool written = !c.Empty();
        files[i] = RegistryAccess(*FHandlers[i]);
        auto readError = [&] { RaiseEngineError(KURA_READERR, {}, {}, {}, FHandlers[i]->FileName); };
        const int64_t oldLength = written ? c.DiskSize() : files[i].Size();
        const int64_t newLength = written ? c.Size() : oldLength;
        const int64_t lowLength = written ? std::min(c.KeptDiskBytes(), newLength) : oldLength;
        if (oldLength < 0) readError();
        // The leading bytes: a write that starts the file gives them before (its
        // old bytes, read below) and after; otherwise they stay as they are. No
        // deferred write reaches into them.
        static_assert(kImageBytes <= CAPTURE_LEADING_BYTES);
        const auto first = written ? c.Extents().begin() : c.Extents().end();
        const bool leading = written && first != c.Extents().end() && first->first == 0;
        int64_t length = std::min(kImageBytes, lowLength);
        if (leading) length = std::min<int64_t>(length, static_cast<int64_t>(first->second.size()));
        // Otherwise the image stops where the first write starts, so that its "after"
        // copy of the "before" bytes stays true.
        else if (written && first != c.Extents().end()) length = std::min<int64_t>(length, first->first);
        imageLength[i] = length;
        ++entries;
        // The entry's head, its saved ranges counted in once they are saved.
        uint8_t* head = heads[i].data();
        head[0] = static_cast<uint8_t>(i);
        head[1] = written ? kWritten : 0;
        PutU64(head + 4, static_cast<uint64_t>(oldLength));
        PutU32(head + 16, targets[i].CounterMask);
        PutU32(head + 20, targets[i].NewCounter);
        PutU64(head + 28, static_cast<uint64_t>(newLength));
        PutU64(head + 36, static_cast<uint64_t>(lowLength));
        PutU16(head + 44, static_cast<uint16_t>(length));
        const int64_t countAt = journal.Size() + 24;
        journal.Append(head, kEntrySize);
        const int64_t imageAt = journal.Size();
        uint8_t* image = FImages[i].data();
        if (leading) {
            std::memcpy(image + length, first->second.data(), static_cast<std::size_t>(length));
        } else {
            if (length > 0 && !files[i].Read(0, image, length)) readError();
            std::memcpy(image + length, image, static_cast<std::size_t>(length));
        }
        journal.Append(image, 2 * static_cast<std::size_t>(length));
        if (!written) continue;
        uint32_t ranges = 0;
        auto save = [&](int64_t from, int64_t to) {
            for (; from < to; from += kDeferredPiece) {
                const auto span = static_cast<uint32_t>(std::min(kDeferredPiece, to - from));
                journal.Put64(static_cast<uint64_t>(from));
                journal.Put32(span);
                if (!files[i].Read(from, journal.Grow(span), span)) readError();
                ++ranges;
            }
        };
        // Of a write only the spans that change a byte: a header page rewritten for
        // a counter costs its counter, not the page.
        auto saveChanges = [&](int64_t from, int64_t count) {
            if (from == 0 && leading) {
                std::memcpy(image, old.get(), static_cast<std::size_t>(length));
                journal.Patch(imageAt, old.get(), length);
            }
            const uint8_t* was = old.get();
            ChangedSpans(was, now.get(), count, kSpanGap, spans);
            for (const auto& [start, end] : spans) {
                const auto span = static_cast<uint32_t>(end - start);
                journal.Put64(static_cast<uint64_t>(from + start));
                journal.Put32(span);
                journal.Append(was + start, span);
                ++ranges;
            }
        };
        // The old bytes under every write, and the new ones as the writes leave them
        // (the deferred ones read from where they are held), a piece at a time.
        const int64_t kept = c.KeptDiskBytes();
        c.ForEachWritten(kept, [&](int64_t offset, int64_t runLength) {
            for (int64_t from = offset; from < offset + runLength; from += kDeferredPiece) {
                const int64_t count = std::min(kDeferredPiece, offset + runLength - from);
                if (room < static_cast<std::size_t>(count)) {
                    room = static_cast<std::size_t>(count);
                    old = std::make_unique_for_overwrite<uint8_t[]>(room);
                    now = std::make_unique_for_overwrite<uint8_t[]>(room);
                }
                if (!files[i].Read(from, old.get(), count)) readError();
                const auto fromOld = [&](int64_t at, void* out, int32_t n) {
                    std::memcpy(out, old.get() + (at - from), static_cast<std::size_t>(n));
                    return n;
                };
                if (c.Read(from, now.get(), static_cast<int32_t>(count), fromOld) != count) readError();
                saveChanges(from, count);
            }
        });
        save(kept, c.DiskSize());
        uint8_t n[4];
        PutU32(n, ranges);
        journal.Patch(countAt, n, 4);
    }
    // The files' states, as a commit record gives them for every table it binds.
    FStates.assign(1, static_cast<uint8_t>(entries));
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (!FHandlers[i]) continue;
        FStates.insert(FStates.end(), heads[i].begin(), heads[i].end());
        FStates.insert(FStates.end(), FImages[i].begin(), FImages[i].begin() + 2 * imageLength[i]);
    }
    FStaged = journal.Finish();
    FStagedSize = journal.Size();
    FStagedEntries = entries;
    FStage = TStage::Built;
}

void TTableJournal::Seal(uint64_t commitId, const std::vector<uint8_t>& record) {
    if (!record.empty()) {
        FStaged->Write(FStagedSize, record.data(), static_cast<int32_t>(record.size()));
        FStagedSize += static_cast<int64_t>(record.size());
    }
    THeader h;
    h.Format = commitId != 0 ? JOURNAL_BOUND_FORMAT : JOURNAL_FORMAT;
    h.PayloadLength = static_cast<uint64_t>(FStagedSize - JOURNAL_HEADER_SIZE);
    h.Entries = FStagedEntries;
    h.Sequence = ++FSequence;
    h.CommitId = commitId;
    if (commitId != 0) {
        h.RecordLength = static_cast<uint32_t>(record.size());
        h.RecordCrc = JournalChecksum(record.data(), record.size());
    }
    // The payload's checksum and the header's are put in as the journal is written.
    PutHeader(FStagedHeader.data(), h);
}

bool TTableJournal::StagedBound() const { return GetU32(FStagedHeader.data() + 8) == JOURNAL_BOUND_FORMAT; }

void TTableJournal::Write(bool hard) {
    FStagedHard = hard;
    std::array<TFileAccess, JOURNAL_FILES> files;
    for (int i = 0; i < JOURNAL_FILES; ++i)
        if (FHandlers[i]) files[i] = RegistryAccess(*FHandlers[i]);
    const std::array<int64_t, JOURNAL_FILES>& imageLength = FImageLength;
    // The change counter (as stored) a file's leading bytes hold; false when they
    // are too short to hold it.
    auto counterIn = [&](int i, bool after, uint32_t& counter) {
        if (imageLength[i] < 4) return false;
        counter = GetU32(FImages[i].data() + (after ? imageLength[i] : 0));
        return true;
    };

    // Another table of this program may be rolling the files back: wait for it.
    FStagedLocked = Lock();
    FStage = TStage::Locked;
    try {
        const TFileAccess journalFile = OSAccess(FHandle);
        // A journal that still holds something (a commit whose other tables could
        // not be settled yet) is never written over: it may be their only record.
        uint8_t held[JOURNAL_HEADER_SIZE];
        if (ReadHeader(held)) RaiseEngineError(KURA_OSEACCES, {}, {}, {}, TableNameOf(FFileNames[0]));
        if (hard) {
            // The state the journal restores must be the one on the disk: writes that
            // reached a file without a sync since (an earlier flush of this program or
            // of another) would otherwise be lost in part, beside a journal that
            // restores the spans around them.
            for (int i = 0; i < JOURNAL_FILES; ++i) {
                if (!FHandlers[i]) continue;
                uint32_t counter = 0;
                const bool known = counterIn(i, false, counter);
                if (known && FSynced[i] && FSyncedCounter[i] == counter) continue;
                FSynced[i] = false;
                if (!files[i].Sync()) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FHandlers[i]->FileName);
                FSynced[i] = known;
                FSyncedCounter[i] = counter;
            }
        }
        FWrittenBytes = std::max(FWrittenBytes, FStagedSize);
        bool written = false;
        try {
            written = WriteStaged(journalFile) && (!hard || journalFile.Sync());
        } catch (...) {
            Invalidate(false);
            throw;
        }
        if (!written) {
            Invalidate(false);
            RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FName);
        }
    } catch (...) {
        Unstage();
        throw;
    }
    FStage = TStage::Journalled;
}

bool TTableJournal::WriteStaged(const TFileAccess& journal) {
    // A journal of up to a piece held in memory goes in one write; a larger one,
    // or one in its spill file, piece by piece, and so does the journal of a commit
    // over several tables, whose header goes last once the rest is on the disk: a
    // whole header then vouches for the payload, and a payload that does not hold
    // under one was damaged later, not torn. A copy of its header ends it.
    const bool bound = StagedBound();
    const bool whole = !bound && FStagedSize <= HELD_SPAN_LIMIT && !FStaged->Spilled();
    std::vector<uint8_t> bytes(whole ? static_cast<std::size_t>(FStagedSize) : 0);
    bool done = true;
    uLong crc = crc32(0L, Z_NULL, 0);
    FStaged->ForEach([&](int64_t offset, const uint8_t* piece, int32_t count) {
        crc = crc32(crc, piece, static_cast<uInt>(count));
        if (whole)
            std::memcpy(bytes.data() + offset, piece, static_cast<std::size_t>(count));
        else
            done = done && journal.Write(offset, piece, count);
    });
    uint8_t* header = FStagedHeader.data();
    PutU32(header + 24, static_cast<uint32_t>(crc));
    PutU32(header + 60, JournalChecksum(header, 60));
    if (bound) {
        const int64_t end = FStagedSize + JOURNAL_HEADER_SIZE;
        FTrailerAt = FStagedSize;
        FWrittenBytes = std::max(FWrittenBytes, end);
        return done && journal.Write(FStagedSize, header, JOURNAL_HEADER_SIZE) &&
               (journal.Size() == end || journal.Cut(end)) && (!FStagedHard || journal.Sync()) &&
               journal.Write(0, header, JOURNAL_HEADER_SIZE);
    }
    if (!whole) return done && journal.Write(0, header, JOURNAL_HEADER_SIZE);
    std::memcpy(bytes.data(), header, JOURNAL_HEADER_SIZE);
    return journal.Write(0, bytes.data(), FStagedSize);
}

void TTableJournal::WriteInPlace() {
    FStage = TStage::Writing;
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (!FHandlers[i] || FCaptures[i].Empty()) continue;
        FSynced[i] = false;
        const TFileAccess file = RegistryAccess(*FHandlers[i]);
        if (!WriteCaptured(FCaptures[i], file) || (FStagedHard && !file.Sync()))
            RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FHandlers[i]->FileName);
        if (FStagedHard && FImageLength[i] >= 4) {
            FSynced[i] = true;
            FSyncedCounter[i] = GetU32(FImages[i].data() + FImageLength[i]);
        }
    }
}

bool TTableJournal::Decide(bool hard) {
    THeader h;
    if (!ParseHeader(FStagedHeader.data(), h)) return false;
    h.Decided = true;
    uint8_t decided[JOURNAL_HEADER_SIZE];
    PutHeader(decided, h);
    // The copy first, then the header, which decides: while the header is whole
    // its word holds, so a commit whose header write failed did not stand whatever
    // the copy says; the copy speaks only for a header damaged later. Between them
    // (hard) a sync, so that a power cut tears at most one of the two.
    const TFileAccess journal = OSAccess(FHandle);
    return (FTrailerAt < 0 || (journal.Write(FTrailerAt, decided, JOURNAL_HEADER_SIZE) && (!hard || journal.Sync()))) &&
           journal.Write(0, decided, JOURNAL_HEADER_SIZE) && (!hard || journal.Sync());
}

bool TTableJournal::Finish(bool sync) {
    if (!Invalidate(sync)) return false;
    Unstage();
    return true;
}

bool TTableJournal::Undo(bool keepHot) {
    bool restored = true;
    if (FStage == TStage::Writing) {
        // Back to the state before the flush, from the journal just written (read
        // whole, as a recovery reads it).
        std::vector<uint8_t> payload;
        std::vector<TEntry> parsed;
        TCommitRecord record;
        try {
            payload.resize(static_cast<std::size_t>(FStagedSize - JOURNAL_HEADER_SIZE));
            FStaged->ForEach([&](int64_t offset, const uint8_t* bytes, int32_t count) {
                std::memcpy(payload.data() + (offset - JOURNAL_HEADER_SIZE), bytes, static_cast<std::size_t>(count));
            });
            restored = ParsePayload(payload, FStagedEntries, GetU32(FStagedHeader.data() + 8), parsed, &record);
        } catch (...) {
            parsed.clear();
            restored = false;
        }
        for (const TEntry& e : parsed) {
            if ((e.Flags & kWritten) == 0 || !FHandlers[e.File]) continue;
            FSynced[e.File] = false;
            restored = RollBack(e, payload, RegistryAccess(*FHandlers[e.File]), false) && restored;
        }
    }
    // A journal that could not be played back stays for the next program; one
    // that was, and stays all the same, only writes the same bytes again.
    if (restored && !keepHot && FStage != TStage::Locked && FStage != TStage::Built) Invalidate(FStagedHard);
    Unstage();
    return restored;
}

bool TTableJournal::Rewrite() {
    const TFileAccess journal = OSAccess(FHandle);
    try {
        return WriteStaged(journal) && (!FStagedHard || journal.Sync());
    } catch (...) {
        return false;
    }
}

void TTableJournal::Unstage() {
    if (FStage == TStage::Idle) return;
    if (FStagedLocked) Unlock();
    FStagedLocked = false;
    FStage = TStage::Idle;
    FStaged.reset();
    FStagedSize = 0;
}

// ---- A commit over several tables ----------------------------------------------

void TJournalCommit::Add(TTableJournal& journal, const TJournalTargets& targets, bool hard) {
    FMembers.push_back({&journal, targets});
    FHard = FHard || hard;
}

void TJournalCommit::Apply() {
    if (FMembers.empty()) return;
    if (FMembers.size() == 1) {
        FMembers[0].Journal->Apply(FMembers[0].Targets, FHard);
        return;
    }
    struct Restarter {
        std::vector<TMember>& members;
        ~Restarter() {
            for (TMember& m : members) m.Journal->Restart();
        }
    } restart{FMembers};
    bool hard = FHard;
    std::vector<std::array<std::string, kBoundNames>> tables;
    for (TMember& m : FMembers) {
        m.Journal->RefuseUnjournalled();
        hard = hard || m.Journal->SyncWanted();
        const TTableJournal& j = *m.Journal;
        tables.push_back({j.FName, j.FFileNames[0], j.FFileNames[1], j.FFileNames[2]});
    }
    // Back to the state before the commit, the deciding journal last: while it
    // holds the commit, a recovery rolls every table back. It stays so when another
    // table could not be put back. Journals built and not written are dropped.
    auto undo = [&](std::size_t staged) {
        bool restored = true;
        for (std::size_t i = staged; i-- > 1;) restored = FMembers[i].Journal->Undo(false) && restored;
        if (staged > 0) FMembers[0].Journal->Undo(!restored);
        for (TMember& m : FMembers) m.Journal->Unstage();
    };
    const uint64_t id = NewCommitId();
    std::size_t staged = 0;
    try {
        // Every journal's record carries every table's file states, so all are built
        // before the first is written.
        std::vector<std::vector<uint8_t>> states;
        for (TMember& m : FMembers) {
            m.Journal->Build(m.Targets);
            states.push_back(m.Journal->FStates);
        }
        for (std::size_t i = 0; i < FMembers.size(); ++i) {
            TTableJournal& j = *FMembers[i].Journal;
            j.Seal(id, CommitRecordBytes(static_cast<uint16_t>(i), tables, j.FName, states));
        }
        for (; staged < FMembers.size(); ++staged) FMembers[staged].Journal->Write(hard);
        for (TMember& m : FMembers) m.Journal->WriteInPlace();
    } catch (...) {
        undo(staged);
        throw;
    }
    // The commit stands once the deciding journal says so.
    TTableJournal& first = *FMembers[0].Journal;
    if (!first.Decide(hard)) {
        // Whether it stands is not known until that journal holds it undecided
        // again; if it cannot be made to, every table is left for the next recovery
        // to settle.
        if (first.Rewrite()) {
            undo(FMembers.size());
        } else {
            for (TMember& m : FMembers) m.Journal->Unstage();
        }
        RaiseEngineError(KURA_WRITEERR, {}, {}, {}, first.FName);
    }
    // The others go, synced, before the deciding journal: a power cut must never
    // bring one back beside a deciding journal that no longer says the commit
    // stood. Should one stay, so does the deciding journal, for the recovery that
    // settles it.
    bool settled = true;
    for (std::size_t i = 1; i < FMembers.size(); ++i) {
        if (FMembers[i].Journal->Finish(hard)) continue;
        settled = false;
        FMembers[i].Journal->Unstage();
    }
    if (!settled || !first.Finish(false)) first.Unstage();
}

}  // namespace kura

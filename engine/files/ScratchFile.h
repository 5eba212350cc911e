#pragma once
// The working copies of one statement that may outgrow memory, held as a
// transaction's changes are (HeldChanges.h): bytes that the owner writes and reads
// at offsets of its own choosing, kept in pages of SCRATCH_PAGE_SIZE bytes. At most
// the limit's worth of pages stays in memory; past it the page used least recently
// leaves for a private temporary file in the given folder (the spill file, made as
// the held changes make theirs: it has no name on the disk, so it goes with the
// program however that ends) and is read back from there when it is wanted again.
// The file goes when the object is cleared or destroyed, also after a failure;
// the places of pages forgotten in it serve new pages, so that a working copy made
// again and again takes no more of the disk than the largest at once.
//
// A page whose write to the spill file fails stays in memory, so nothing is lost:
// the write raises the file layer's error (9218), a failed read its own (9217).
// Bytes never written read as zeros.
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace kura {

class TFileHandler;

constexpr int32_t SCRATCH_PAGE_SIZE = 4096;

class TScratchFile {
public:
    // limit: the bytes of pages kept in memory (a page at the least);
    // directory: the folder of the spill file, the temporary folder when empty.
    TScratchFile(int64_t limit, std::string directory);
    ~TScratchFile();
    TScratchFile(const TScratchFile&) = delete;
    TScratchFile& operator=(const TScratchFile&) = delete;

    void Read(int64_t offset, void* out, int64_t count);
    void Write(int64_t offset, const void* bytes, int64_t count);
    // The bytes of [offset, offset + count) in place, which must lie within one
    // page; valid until the next call.
    const uint8_t* View(int64_t offset, int32_t count);

    int64_t InMemory() const { return static_cast<int64_t>(FResident.size()) * SCRATCH_PAGE_SIZE; }
    // The limit as given, and as whole pages.
    int64_t Budget() const { return FBudget; }
    int64_t Limit() const { return FLimit; }
    // A lower limit (a page at the least): pages leave for the spill file down to it.
    void SetLimit(int64_t limit);
    // Drops the pages that lie wholly within [from, to) without writing them:
    // what they held reads as zeros again.
    void Forget(int64_t from, int64_t to);
    // Some page has gone to the spill file.
    bool Spilled() const { return FSpill != nullptr; }
    // Forgets every byte and removes the spill file.
    void Clear();

private:
    struct TPage {
        std::unique_ptr<uint8_t[]> Bytes;  // null while the page lies in the spill file only
        int64_t SpillAt = -1;
        std::list<int64_t>::iterator Resident;  // its place among the pages in memory
        bool Dirty = false;
    };
    int64_t FBudget;
    int64_t FLimit;
    std::string FDirectory;
    std::unordered_map<int64_t, TPage> FPages;
    // The numbers of the pages in memory, the one used last first.
    std::list<int64_t> FResident;
    std::unique_ptr<TFileHandler> FSpill;
    int64_t FSpillEnd = 0;
    // The places in the spill file of pages forgotten, for new pages to take.
    std::vector<int64_t> FFreeSpill;
    // The page looked at last, found again without a search.
    int64_t FLastNumber = -1;
    TPage* FLast = nullptr;

    // The page of that number in memory; dirty when it is to be written.
    TPage& Page(int64_t number, bool write);
    // Makes room for one more page in memory: the bytes of the page that left.
    std::unique_ptr<uint8_t[]> Evict();
    void SpillWrite(TPage& page);
};

}  // namespace kura

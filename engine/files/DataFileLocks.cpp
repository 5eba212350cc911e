#include <chrono>
#include <thread>
#include <vector>

#include "engine/files/DataFile.h"

namespace kura {

namespace {

bool ValidLockRecord(uint32_t recordNo) { return recordNo >= 1 && recordNo <= RECORD_NUMBER_LIMIT; }

int64_t RecordLockOffset(uint32_t recordNo) { return RECORD_LOCK_BASE - static_cast<int64_t>(recordNo); }

}  // namespace

bool TDataFile::LockRecord(uint32_t recordNo) {
    if (!ValidLockRecord(recordNo)) return false;
    if (!LockBytes(true, RecordLockOffset(recordNo), 1)) return false;
    FRecordLocks.Insert(recordNo);
    return true;
}

bool TDataFile::LockRecordRun(uint32_t first, uint32_t count) {
    if (count == 0 || !ValidLockRecord(first) || count - 1 > RECORD_NUMBER_LIMIT - first) return false;
    const uint32_t last = first + count - 1;
    // The highest number has the lowest byte.
    if (!LockEachByte(RecordLockOffset(last), count)) return false;
    FRecordLocks.InsertRun(first, count);
    return true;
}

bool TDataFile::UnlockRecord(uint32_t recordNo) {
    if (!ValidLockRecord(recordNo)) return false;
    if (!LockBytes(false, RecordLockOffset(recordNo), 1)) return false;
    FRecordLocks.Erase(recordNo);
    return true;
}

// The whole range cannot be released in one call: every table of this process
// shares the one open file and its locks, so an unlock of the range would also
// take away record locks that other tables hold. Only this file's own locks go.
bool TDataFile::UnlockAllRecords() {
    const std::vector<uint32_t> held = FRecordLocks.Ascending();
    std::vector<uint32_t> failed;
    UnlockRecords(held, failed);
    return failed.empty();
}

// Record N's byte lies below record N-1's, and the kernel keeps a process's locks
// on a file in one list ordered by offset that every request walks from the
// lowest byte: released lowest byte (highest number) first, each release finds
// its lock at the front. A run of consecutive numbers is one byte range.
void TDataFile::UnlockRecords(const std::vector<uint32_t>& ascending, std::vector<uint32_t>& failed) {
    std::size_t end = ascending.size();
    while (end > 0) {
        std::size_t begin = end - 1;
        while (begin > 0 && ascending[begin - 1] + 1 == ascending[begin] && ValidLockRecord(ascending[begin - 1]))
            --begin;
        const uint32_t highest = ascending[end - 1];
        const auto count = static_cast<int64_t>(end - begin);
        const bool released =
            ValidLockRecord(highest) && ValidLockRecord(ascending[begin]) &&
            (count == 1 ? LockBytes(false, RecordLockOffset(highest), 1)
                        : UnlockByteRanges(RecordLockOffset(highest), count));
        if (released) {
            for (std::size_t i = begin; i < end; ++i) FRecordLocks.Erase(ascending[i]);
        } else {
            // Record by record, so that exactly the ones that failed stay held.
            for (std::size_t i = end; i-- > begin;)
                if (!UnlockRecord(ascending[i])) failed.push_back(ascending[i]);
        }
        end = begin;
    }
}

bool TDataFile::LockSemaphore() {
    for (int32_t attempt = 1; attempt <= SEMAPHORE_ATTEMPTS; ++attempt) {
        if (LockBytes(true, WRITE_SEMAPHORE_OFFSET, 1)) return true;
        if (attempt < SEMAPHORE_ATTEMPTS) std::this_thread::sleep_for(std::chrono::milliseconds(SEMAPHORE_SLEEP_MS));
    }
    return false;
}

bool TDataFile::UnlockSemaphore() { return LockBytes(false, WRITE_SEMAPHORE_OFFSET, 1); }

}  // namespace kura

#include <chrono>
#include <thread>

#include "engine/files/DataFile.h"

namespace kura {

namespace {

bool ValidLockRecord(uint32_t recordNo) { return recordNo >= 1 && recordNo <= RECORD_NUMBER_LIMIT; }

int64_t RecordLockOffset(uint32_t recordNo) { return RECORD_LOCK_BASE - static_cast<int64_t>(recordNo); }

}  // namespace

bool TDataFile::LockRecord(uint32_t recordNo) {
    if (!ValidLockRecord(recordNo)) return false;
    if (!LockBytes(true, RecordLockOffset(recordNo), 1)) return false;
    FRecordLocks.insert(recordNo);
    return true;
}

bool TDataFile::UnlockRecord(uint32_t recordNo) {
    if (!ValidLockRecord(recordNo)) return false;
    if (!LockBytes(false, RecordLockOffset(recordNo), 1)) return false;
    FRecordLocks.erase(recordNo);
    return true;
}

// The whole range cannot be released in one call: every table of this process
// shares the one open file and its locks, so an unlock of the range would also
// take away record locks that other tables hold. Only this file's own locks go.
bool TDataFile::UnlockAllRecords() {
    bool all = true;
    for (auto it = FRecordLocks.begin(); it != FRecordLocks.end();) {
        if (LockBytes(false, RecordLockOffset(*it), 1)) {
            it = FRecordLocks.erase(it);
        } else {
            all = false;
            ++it;
        }
    }
    return all;
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

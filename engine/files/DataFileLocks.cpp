#include <algorithm>
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
    EscalateWhenDue();
    if (CoveredByEscalation(recordNo)) {
        if (FRecordLocks.Contains(recordNo)) return false;
    } else if (!LockBytes(true, RecordLockOffset(recordNo), 1)) {
        return false;
    }
    FRecordLocks.Insert(recordNo);
    return true;
}

bool TDataFile::LockRecordRun(uint32_t first, uint32_t count) {
    if (count == 0 || !ValidLockRecord(first) || count - 1 > RECORD_NUMBER_LIMIT - first) return false;
    const uint32_t last = first + count - 1;
    EscalateWhenDue();
    if (CoveredByEscalation(first)) {
        for (uint32_t r = first; r <= last; ++r)
            if (FRecordLocks.Contains(r)) return false;
    } else if (CoveredByEscalation(last)) {
        // Across the edge of a range partly given back: left to single locks.
        return false;
    } else if (!LockEachByte(RecordLockOffset(last), count)) {  // the highest number has the lowest byte
        return false;
    }
    FRecordLocks.InsertRun(first, count);
    return true;
}

bool TDataFile::UnlockRecord(uint32_t recordNo) {
    // Only this file's own: another table of the process shares the open file.
    if (!ValidLockRecord(recordNo) || !FRecordLocks.Contains(recordNo)) return false;
    if (CoveredByEscalation(recordNo)) {
        std::vector<uint32_t> failed;
        UnlockRecords({recordNo}, failed);
        return failed.empty();
    }
    if (!LockBytes(false, RecordLockOffset(recordNo), 1)) return false;
    FRecordLocks.Erase(recordNo);
    return true;
}

// The whole range cannot be released in one call: every table of this process
// shares the one open file and its locks, so an unlock of the range would also
// take away record locks that other tables hold. Only this file's own locks go
// (and an escalated range, which nobody else's lock can be inside).
bool TDataFile::UnlockAllRecords() {
    std::vector<uint32_t> held = FRecordLocks.Ascending();
    bool released = true;
    if (FEscalatedFrom != 0) {
        const uint32_t from = FEscalatedFrom;
        const auto cut = std::lower_bound(held.begin(), held.end(), from);
        if (UnlockByteRanges(ALL_RECORD_LOCKS_START, RecordLockOffset(from) - ALL_RECORD_LOCKS_START + 1)) {
            for (auto it = cut; it != held.end(); ++it) FRecordLocks.Erase(*it);
            FEscalatedFrom = 0;
        } else {
            released = false;
        }
        held.erase(cut, held.end());
    }
    std::vector<uint32_t> failed;
    ReleaseSingleLocks(held, failed);
    return released && failed.empty();
}

// With the range escalated, the records it covers go with it in one pass: the
// range is given back around the file's other locks only.
void TDataFile::UnlockRecords(const std::vector<uint32_t>& ascending, std::vector<uint32_t>& failed) {
    if (FEscalatedFrom == 0) return ReleaseSingleLocks(ascending, failed);
    const auto cut = std::lower_bound(ascending.begin(), ascending.end(), FEscalatedFrom);
    ReleaseSingleLocks(std::vector<uint32_t>(ascending.begin(), cut), failed);
    std::vector<uint32_t> covered;
    for (auto it = cut; it != ascending.end(); ++it) {
        if (!FRecordLocks.Contains(*it)) {
            failed.push_back(*it);  // not this file's: nothing to release
            continue;
        }
        FRecordLocks.Erase(*it);
        covered.push_back(*it);
    }
    if (GiveBackEscalation()) return;
    // Those still inside what is left of the range stay held.
    for (uint32_t r : covered) {
        if (!CoveredByEscalation(r)) continue;
        FRecordLocks.Insert(r);
        failed.push_back(r);
    }
}

// Record N's byte lies below record N-1's, and the kernel keeps a process's locks
// on a file in one list ordered by offset that every request walks from the
// lowest byte: released lowest byte (highest number) first, each release finds
// its lock at the front. A run of consecutive numbers is one byte range.
void TDataFile::ReleaseSingleLocks(const std::vector<uint32_t>& ascending, std::vector<uint32_t>& failed) {
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
            // Record by record, so that exactly the ones the system refuses stay
            // held. One found not locked at all is not held either, but failed.
            for (std::size_t i = end; i-- > begin;) {
                const uint32_t r = ascending[i];
                const bool released = ValidLockRecord(r) && LockBytes(false, RecordLockOffset(r), 1);
                if (released || UnlockFoundNothing()) FRecordLocks.Erase(r);
                if (!released) failed.push_back(r);
            }
        }
        end = begin;
    }
}

// ---- Escalation ----------------------------------------------------------------------

void TDataFile::AllowLockEscalation() {
    FEscalationAllowed = true;
    FNextEscalation = std::max(LockEscalationRuns, FRecordLocks.Runs() + 1);
}

bool TDataFile::EndLockEscalation() {
    FEscalationAllowed = false;
    return GiveBackEscalation();
}

void TDataFile::EscalateWhenDue() { EscalateAhead(0); }

bool TDataFile::EscalateAhead(std::size_t comingRuns) {
    if (FEscalatedFrom != 0) return true;
    if (!FEscalationAllowed || FRecordLocks.Runs() + comingRuns < FNextEscalation) return false;
    // Refused while anybody else holds a byte of the range; the file's own locks
    // must be all that this process holds there.
    if (LockEachByteOver(ALL_RECORD_LOCKS_START, ALL_RECORD_LOCKS_LENGTH, static_cast<int64_t>(FRecordLocks.Size())))
        FEscalatedFrom = 1;
    else
        FNextEscalation = FRecordLocks.Runs() + LockEscalationRuns;
    return FEscalatedFrom != 0;
}

// The gaps between the file's own records are released from the lowest number
// up, that is from the highest byte down: what is left of the range is always
// the lowest lock of the file in the system's list, found first by each release.
bool TDataFile::GiveBackEscalation() {
    if (FEscalatedFrom == 0) return true;
    const std::vector<uint32_t> held = FRecordLocks.Ascending();
    auto next = std::lower_bound(held.begin(), held.end(), FEscalatedFrom);
    for (uint32_t from = FEscalatedFrom;; ++next) {
        const uint32_t kept = next == held.end() ? RECORD_NUMBER_LIMIT + 1 : *next;
        if (kept > from && !UnlockByteRanges(RecordLockOffset(kept - 1), static_cast<int64_t>(kept - from))) {
            FEscalatedFrom = from;
            return false;
        }
        if (next == held.end()) break;
        from = kept + 1;
    }
    FEscalatedFrom = 0;
    FNextEscalation = FRecordLocks.Runs() + LockEscalationRuns;
    return true;
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

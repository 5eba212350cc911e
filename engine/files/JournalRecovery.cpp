// The recovery side of the rollback journal: a dead writer's journal played back,
// alone or with the other tables of its commit, and journals that do not fit their
// files set aside.
#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/errors/EngineErrors.h"
#include "engine/files/EngineRandom.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "engine/files/JournalFormat.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;
using namespace jnl;

namespace {

// Earlier programs kept up to this many copies of journals set aside.
constexpr int32_t kEarlierCopies = 999;

// A header whose own checksum holds, of any format: a journal of another format
// is not ignored, or the files it should restore would stay half written.
bool ReadValidHeader(TOSHandle handle, uint8_t* header) {
    if (OSFileSeek(handle, soFromBeginning, 0) != 0) return false;
    if (OSFileRead(handle, header, JOURNAL_HEADER_SIZE) != JOURNAL_HEADER_SIZE) return false;
    return std::memcmp(header, kMagic, sizeof kMagic) == 0 &&
           GetU32(header + 12) == static_cast<uint32_t>(JOURNAL_HEADER_SIZE) &&
           GetU32(header + 60) == JournalChecksum(header, 60);
}

}  // namespace

namespace jnl {

// A journal as a recovery finds it.
struct TFoundJournal {
    enum TState {
        Cold,     // no valid header: no journal
        Torn,     // its payload does not match its checksum: torn while it was written
        Unknown,  // whole, of a format this program does not read
        Broken,   // whole, but its entries do not hold together: not a journal of ours
        Valid
    } State = Cold;
    uint32_t Format = 0;
    uint64_t CommitId = 0;
    std::vector<uint8_t> Bytes;  // header and payload, once whole
    std::vector<uint8_t> Payload;
    std::vector<TEntry> Entries;
    TCommitRecord Record;
};

}  // namespace jnl

namespace {

TFoundJournal ReadJournal(TOSHandle handle) {
    TFoundJournal j;
    uint8_t header[JOURNAL_HEADER_SIZE];
    if (!ReadValidHeader(handle, header)) return j;
    const TFileAccess file = OSAccess(handle);
    j.State = TFoundJournal::Torn;
    j.Format = GetU32(header + 8);
    const uint64_t length = GetU64(header + 16);
    const int64_t size = file.Size();
    if (size < JOURNAL_HEADER_SIZE || length > static_cast<uint64_t>(size - JOURNAL_HEADER_SIZE)) return j;
    j.Bytes.resize(JOURNAL_HEADER_SIZE + length);
    std::memcpy(j.Bytes.data(), header, JOURNAL_HEADER_SIZE);
    if (!file.Read(JOURNAL_HEADER_SIZE, j.Bytes.data() + JOURNAL_HEADER_SIZE, static_cast<int64_t>(length)) ||
        JournalChecksum(j.Bytes.data() + JOURNAL_HEADER_SIZE, length) != GetU32(header + 24)) {
        j.Bytes.clear();
        return j;
    }
    if (j.Format != kFirstFormat && j.Format != JOURNAL_FORMAT && j.Format != JOURNAL_BOUND_FORMAT) {
        j.State = TFoundJournal::Unknown;
        return j;
    }
    j.Payload.assign(j.Bytes.begin() + JOURNAL_HEADER_SIZE, j.Bytes.end());
    if (j.Format == JOURNAL_BOUND_FORMAT) j.CommitId = GetU64(header + kCommitIdAt);
    const bool holds = ParsePayload(j.Payload, GetU32(header + 28), j.Format, j.Entries, &j.Record) &&
                       (j.Format != JOURNAL_BOUND_FORMAT || j.CommitId != 0);
    j.State = holds ? TFoundJournal::Valid : TFoundJournal::Broken;
    return j;
}

// The table files a playback writes, open for it.
struct TPlaybackFiles {
    std::array<TOSHandle, JOURNAL_FILES> Handles;
    bool Writable = true;
    TPlaybackFiles() { Handles.fill(OS_INVALID_HANDLE); }
    ~TPlaybackFiles() {
        for (TOSHandle h : Handles)
            if (h != OS_INVALID_HANDLE) OSCloseFile(h);
    }
    TPlaybackFiles(const TPlaybackFiles&) = delete;
    TPlaybackFiles& operator=(const TPlaybackFiles&) = delete;
};

// Whether the files fit the journal; opens them for its playback (for reading
// alone when they cannot be written). A file that is there and cannot be opened
// at all raises the system's error.
bool OpenFitting(const TFoundJournal& j, const TJournalFileNames& names, TPlaybackFiles& files) {
    for (const TEntry& e : j.Entries) {
        const std::string& name = names[e.File];
        if (!DiskFileExists(name)) return false;
        TOSHandle h = OSOpenFile(name, fmOpenReadWrite | fmShareDenyNone, false);
        if (h == OS_INVALID_HANDLE) {
            const TEngineErrorCode error = OSErrorToEngineError();
            h = OSOpenFile(name, fmOpenRead | fmShareDenyNone, false);
            if (h == OS_INVALID_HANDLE) RaiseEngineError(error, {}, {}, {}, name);
            files.Writable = false;
        }
        files.Handles[e.File] = h;
        if (!FileFits(e, j.Payload, OSAccess(h))) return false;
    }
    return true;
}

// Plays a journal back onto its files, which fit it, and syncs them.
void PlayBack(const TFoundJournal& j, const TJournalFileNames& names, const TPlaybackFiles& files) {
    for (const TEntry& e : j.Entries) {
        if ((e.Flags & kWritten) == 0) continue;
        const TFileAccess file = OSAccess(files.Handles[e.File]);
        if (!RollBack(e, j.Payload, file, true) || !file.Sync())
            RaiseEngineError(KURA_WRITEERR, {}, {}, {}, names[e.File]);
    }
}

// Zeroes the header of a journal that another object keeps.
bool InvalidateHandle(TOSHandle handle) {
    const uint8_t zero[JOURNAL_HEADER_SIZE] = {};
    const TFileAccess journal = OSAccess(handle);
    return (journal.Write(0, zero, JOURNAL_HEADER_SIZE) || journal.Cut(0)) && journal.Sync();
}

bool HoldsBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
    const TOSHandle h = OSOpenFile(name, fmOpenRead | fmShareDenyNone, false);
    if (h == OS_INVALID_HANDLE) return false;
    const TFileAccess file = OSAccess(h);
    std::vector<uint8_t> held;
    bool same = file.Size() == static_cast<int64_t>(bytes.size());
    if (same) {
        held.resize(bytes.size());
        same = file.Read(0, held.data(), static_cast<int64_t>(held.size())) && held == bytes;
    }
    OSCloseFile(h);
    return same;
}

// Copies the journal to NAME.JNL.<n>: a copy already kept is named again, else a
// free number is taken, else the oldest copy is replaced. The copy's name, "" when
// none could be written.
std::string SetAside(const std::string& journal, const std::vector<uint8_t>& bytes) {
    int32_t free = 0;
    int32_t oldest = 1;
    uint32_t oldestDate = UINT32_MAX;
    for (int32_t n = 1; n <= JOURNAL_COPIES; ++n) {
        const std::string name = journal + "." + std::to_string(n);
        if (!DiskFileExists(name)) {
            if (free == 0) free = n;
            continue;
        }
        if (HoldsBytes(name, bytes)) return name;
        const auto date = static_cast<uint32_t>(GetFileDosDate(name));
        if (date < oldestDate) {
            oldestDate = date;
            oldest = n;
        }
    }
    // Only a program holding the writer lock sets a journal aside: no other takes
    // the name meanwhile.
    const std::string name = journal + "." + std::to_string(free != 0 ? free : oldest);
    const TOSHandle h = OSCreateFile(name, false);
    if (h == OS_INVALID_HANDLE) return {};
    const TFileAccess copy = OSAccess(h);
    const bool ok = copy.Write(0, bytes.data(), static_cast<int64_t>(bytes.size())) && copy.Sync();
    OSCloseFile(h);
    if (!ok || !OSSyncFolderOf(name)) {
        OSDeleteFile(name);
        return {};
    }
    return name;
}

// A pause of a few milliseconds, not always the same, so that two programs that
// back off from each other's tables do not keep meeting.
void PauseBeforeRetry() {
    platform::Sleep(JOURNAL_LOCK_SLEEP_MS + static_cast<uint32_t>(RandomReaderByte()) % JOURNAL_LOCK_SLEEP_MS);
}

[[noreturn]] void RaiseNoAccess(const std::string& table, const std::string& journal) {
    RaiseEngineError(KURA_JOURNALNOACCESS, {}, {}, {}, table, {}, {}, platform::NormalizeSeparators(journal));
}

[[noreturn]] void RaiseForeign(const std::string& table, const std::string& aside) {
    RaiseEngineError(KURA_FOREIGNJOURNAL, {}, {}, {}, table, {}, {}, ExtractFileName(aside));
}

// One table of a commit over several, as its recovery sees it.
struct TBoundTable {
    std::string Journal;
    TJournalFileNames Files;
    TOSHandle Handle = OS_INVALID_HANDLE;
    bool Own = false;  // the recovering journal itself
    bool Writable = false;
    bool Locked = false;
    TFoundJournal Read;
    const TFoundJournal* Found = &Read;
    bool Holds = false;  // its journal holds this commit
    TPlaybackFiles Playback;
    bool Fits = false;
    ~TBoundTable() {
        if (Own || Handle == OS_INVALID_HANDLE) return;
        if (Locked) OSUnlockFile(Handle, JOURNAL_WRITER_LOCK_OFFSET, 1);
        OSCloseFile(Handle);
    }
};

}  // namespace

bool TTableJournal::ReadHeader(uint8_t* header) { return ReadValidHeader(FHandle, header); }

void TTableJournal::LeaveAlone(const uint8_t* header) { FLeftAlone.assign(header, header + JOURNAL_HEADER_SIZE); }

bool TTableJournal::Recover() {
    if (FHandle <= 0) return false;
    for (int32_t attempt = 1; attempt <= JOURNAL_LOCK_ATTEMPTS; ++attempt) {
        TRecovery result = TRecovery::Busy;
        if (FHeld) {
            result = RecoverLocked();
        } else {
            if (!IsHot()) return false;
            // A live writer is inside its flush: it ends it or dies.
            if (OSLockFile(FHandle, JOURNAL_WRITER_LOCK_OFFSET, 1)) {
                struct Unlocker {
                    TTableJournal* j;
                    ~Unlocker() { j->Unlock(); }
                } unlock{this};
                result = RecoverLocked();
            }
        }
        if (result != TRecovery::Busy) return result == TRecovery::Done;
        PauseBeforeRetry();
    }
    RaiseEngineError(KURA_LOCKTIMEOUT, {}, {}, {}, FName);
}

void TTableJournal::Hold() {
    if (FHandle <= 0) return;
    for (int32_t attempt = 1; attempt <= JOURNAL_LOCK_ATTEMPTS; ++attempt) {
        if (!Lock()) return;
        TRecovery result = TRecovery::None;
        try {
            result = RecoverLocked();
        } catch (...) {
            Unlock();
            throw;
        }
        if (result != TRecovery::Busy) {
            FHeld = true;
            return;
        }
        // Another table of the journal's commit is busy: the lock goes back meanwhile,
        // so that whoever holds that table can finish.
        Unlock();
        PauseBeforeRetry();
    }
    RaiseEngineError(KURA_LOCKTIMEOUT, {}, {}, {}, FName);
}

void TTableJournal::Release() {
    if (!FHeld) return;
    FHeld = false;
    Unlock();
}

TTableJournal::TRecovery TTableJournal::RecoverLocked() {
    uint8_t header[JOURNAL_HEADER_SIZE];
    if (!ReadHeader(header)) return TRecovery::None;
    if (FLeftAlone.size() == JOURNAL_HEADER_SIZE && std::equal(header, header + JOURNAL_HEADER_SIZE, FLeftAlone.begin()))
        return TRecovery::None;
    const TFoundJournal j = ReadJournal(FHandle);
    if (j.State == TFoundJournal::Cold) return TRecovery::None;
    if (j.State == TFoundJournal::Torn || j.State == TFoundJournal::Broken) {
        // Torn while it was written, nothing in place had changed yet; or checksums
        // that hold over entries that do not: not a journal of ours.
        if (FWritable)
            Invalidate(true);
        else
            LeaveAlone(header);
        return TRecovery::None;
    }
    if (j.State == TFoundJournal::Valid && j.Format == JOURNAL_BOUND_FORMAT) {
        // The commit record is checked against the other journals; this one
        // decides nothing alone.
        const TRecovery result = RecoverCommit(j);
        if (result == TRecovery::None) LeaveAlone(header);
        if (result == TRecovery::Done) FSynced = {};
        return result;
    }
    TPlaybackFiles files;
    // A journal of another format cannot be checked against the files, nor played
    // back: it is kept for the program that wrote it.
    if (j.State != TFoundJournal::Valid || !OpenFitting(j, FFileNames, files)) {
        if (!FWritable) {
            // The files are not the journal's: read as they are.
            LeaveAlone(header);
            return TRecovery::None;
        }
        // Played back onto files it does not belong to, it would damage them: they
        // stay as they are, and the journal is kept aside for whoever looks into it
        // (when no copy can be written, the table is not locked out for it).
        const std::string aside = SetAside(FName, j.Bytes);
        Invalidate(true);
        RaiseForeign(FFileNames[0], aside);
    }
    // Without write access the half-written files are never read as a table.
    if (!FWritable || !files.Writable) RaiseNoAccess(FFileNames[0], FName);
    PlayBack(j, FFileNames, files);
    Invalidate(true);
    FSynced = {};
    return TRecovery::Done;
}

TTableJournal::TRecovery TTableJournal::RecoverCommit(const TFoundJournal& j) {
    const TCommitRecord& record = j.Record;
    std::vector<std::unique_ptr<TBoundTable>> tables;
    for (std::size_t i = 0; i < record.Tables.size(); ++i) {
        auto t = std::make_unique<TBoundTable>();
        t->Journal = BoundName(record.Tables[i][0], FName);
        for (int k = 0; k < JOURNAL_FILES; ++k) t->Files[k] = BoundName(record.Tables[i][k + 1], FName);
        if (i == record.Self) {
            t->Own = true;
            t->Handle = FHandle;
            t->Writable = FWritable;
            t->Found = &j;
            t->Holds = true;
        } else if (DiskFileExists(t->Journal)) {
            t->Handle = OSOpenFile(t->Journal, fmOpenReadWrite | fmShareDenyNone, false);
            t->Writable = t->Handle != OS_INVALID_HANDLE;
            if (!t->Writable) t->Handle = OSOpenFile(t->Journal, fmOpenRead | fmShareDenyNone, false);
            if (t->Handle == OS_INVALID_HANDLE) RaiseNoAccess(t->Files[0], t->Journal);
            // Another program writes or recovers that table: this one tries again.
            if (!OSLockFile(t->Handle, JOURNAL_WRITER_LOCK_OFFSET, 1)) return TRecovery::Busy;
            t->Locked = true;
            t->Read = ReadJournal(t->Handle);
            t->Holds = t->Read.State == TFoundJournal::Valid && t->Read.Format == JOURNAL_BOUND_FORMAT &&
                       t->Read.CommitId == j.CommitId && t->Read.Record.Self == i;
        }
        tables.push_back(std::move(t));
    }
    const TBoundTable& first = *tables[0];
    if (record.Self != 0 && first.Handle != OS_INVALID_HANDLE && !first.Holds) {
        // The deciding journal let go of the commit after every table was written:
        // it stands, and what the other journals hold is dropped unplayed.
        if (!FWritable) return TRecovery::None;
        for (const auto& t : tables) {
            if (!t->Holds || !t->Writable) continue;
            if (t->Own)
                Invalidate(true);
            else
                InvalidateHandle(t->Handle);
        }
        return TRecovery::Done;
    }
    // The commit did not stand (or its deciding table is gone): every table of it
    // goes back. Nothing is written unless all that fit can be.
    for (const auto& t : tables) {
        if (!t->Holds) continue;
        t->Fits = t->Found->State == TFoundJournal::Valid && OpenFitting(*t->Found, t->Files, t->Playback);
        if (t->Fits && (!t->Writable || !t->Playback.Writable)) RaiseNoAccess(t->Files[0], t->Journal);
    }
    if (!FWritable) return TRecovery::None;  // its own files are not the journal's
    std::string aside;
    std::string asideTable;
    // The deciding journal last: while it holds the commit, an interrupted
    // recovery is taken up again by the next.
    for (std::size_t n = 1; n <= tables.size(); ++n) {
        TBoundTable& t = *tables[n % tables.size()];
        if (!t.Holds || !t.Writable) continue;
        if (t.Fits) {
            PlayBack(*t.Found, t.Files, t.Playback);
        } else if (asideTable.empty()) {
            aside = SetAside(t.Journal, t.Found->Bytes);
            asideTable = t.Files[0];
        } else {
            SetAside(t.Journal, t.Found->Bytes);
        }
        const bool invalidated = t.Own ? Invalidate(true) : InvalidateHandle(t.Handle);
        if (!invalidated) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, t.Journal);
    }
    if (!asideTable.empty()) RaiseForeign(asideTable, aside);
    return TRecovery::Done;
}

void DeleteJournalCopies(const std::string& journalName) {
    for (int32_t n = 1; n <= kEarlierCopies; ++n) {
        const std::string name = journalName + "." + std::to_string(n);
        if (DiskFileExists(name)) OSDeleteFile(name);
    }
}

}  // namespace kura

// The recovery side of the rollback journal: a dead writer's journal played back,
// alone or with the other tables of its commit, and journals that do not fit their
// files, or are damaged, set aside.
#include <algorithm>
#include <cstring>
#include <memory>

#include "engine/errors/EngineErrors.h"
#include "engine/errors/JournalReports.h"
#include "engine/files/EngineRandom.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "engine/files/JournalFormat.h"
#include "engine/files/Routines.h"
#include "engine/files/SettledCommits.h"

namespace kura {

using namespace dfbytes;
using namespace jnl;

namespace {

// Earlier programs kept up to this many copies of journals set aside.
constexpr int32_t kEarlierCopies = 999;

// The first bytes of a journal, whatever they hold; false when it is shorter.
bool ReadHeaderBytes(TOSHandle handle, uint8_t* header) {
    if (OSFileSeek(handle, soFromBeginning, 0) != 0) return false;
    return OSFileRead(handle, header, JOURNAL_HEADER_SIZE) == JOURNAL_HEADER_SIZE;
}

bool IsBound(uint32_t format) { return format == kLegacyBoundFormat || format == JOURNAL_BOUND_FORMAT; }

}  // namespace

namespace jnl {

// A journal as a recovery finds it.
struct TFoundJournal {
    enum TState {
        Cold,     // no valid header (nor copy of one): no journal
        Torn,     // its payload does not match its checksum, or is cut short
        Unknown,  // whole, of a format this program does not read
        Broken,   // whole, but its entries do not hold together: not a journal of ours
        Valid
    } State = Cold;
    uint32_t Format = 0;
    uint64_t CommitId = 0;
    // The deciding journal of a commit over several tables says it stands.
    bool Decided = false;
    // Its header is not whole; the copy that ends the journal was read instead.
    bool FromCopy = false;
    int64_t CopyAt = -1;  // where that copy lies; -1 when there is none
    // The commit record could be read (from a damaged payload too, by its own CRC).
    bool HasRecord = false;
    std::vector<uint8_t> Bytes;  // header and payload, once whole
    std::vector<uint8_t> Payload;
    std::vector<TEntry> Entries;
    TCommitRecord Record;

    bool Bound() const { return IsBound(Format); }
    // Written as this program writes the journals of a commit over several tables:
    // its header after the rest, a payload that does not hold under a whole header
    // was damaged afterwards.
    bool Sealed() const { return Format == JOURNAL_BOUND_FORMAT; }
};

}  // namespace jnl

namespace {

// Whether a journal's record gives its own entries (their saved ranges aside) as
// the states of the table it says it is, as every journal this program writes does.
// One that gives another table's states claims a place that is not its own.
bool StatesAreOwn(const TFoundJournal& j) {
    const std::vector<TEntry>& states = j.Record.States[j.Record.Self];
    if (states.size() != j.Entries.size()) return false;
    for (std::size_t n = 0; n < states.size(); ++n) {
        const TEntry& a = j.Entries[n];
        const TEntry& b = states[n];
        if (a.File != b.File || a.Flags != b.Flags || a.OldLength != b.OldLength ||
            a.CounterOffset != b.CounterOffset || a.CounterMask != b.CounterMask || a.NewCounter != b.NewCounter ||
            a.NewLength != b.NewLength || a.LowLength != b.LowLength || a.ImageLength != b.ImageLength ||
            !std::equal(j.Payload.begin() + static_cast<std::ptrdiff_t>(a.ImageAt),
                        j.Payload.begin() + static_cast<std::ptrdiff_t>(a.ImageAt + 2u * a.ImageLength),
                        j.Record.StateBytes.begin() + static_cast<std::ptrdiff_t>(b.ImageAt)))
            return false;
    }
    return true;
}

TFoundJournal ReadJournal(TOSHandle handle) {
    TFoundJournal j;
    const TFileAccess file = OSAccess(handle);
    const int64_t size = file.Size();
    if (size < JOURNAL_HEADER_SIZE) return j;
    uint8_t raw[JOURNAL_HEADER_SIZE];
    THeader h;
    // A header that says a commit stood belongs to a commit over several tables alone.
    bool whole = file.Read(0, raw, JOURNAL_HEADER_SIZE) && ParseHeader(raw, h) &&
                 (!h.Decided || h.Format == JOURNAL_BOUND_FORMAT);
    // The copy of the header that ends the journal of a commit over several tables.
    uint8_t tail[JOURNAL_HEADER_SIZE];
    THeader c;
    bool copy = size >= 2 * JOURNAL_HEADER_SIZE &&
                file.Read(size - JOURNAL_HEADER_SIZE, tail, JOURNAL_HEADER_SIZE) && ParseHeader(tail, c) &&
                c.Format == JOURNAL_BOUND_FORMAT && c.CommitId != 0 &&
                c.PayloadLength == static_cast<uint64_t>(size - 2 * JOURNAL_HEADER_SIZE);
    if (whole && copy && (h.Format != JOURNAL_BOUND_FORMAT || h.CommitId != c.CommitId)) copy = false;
    if (!whole) {
        if (!copy) return j;
        h = c;
        std::memcpy(raw, tail, JOURNAL_HEADER_SIZE);
        j.FromCopy = true;
    }
    if (copy) j.CopyAt = size - JOURNAL_HEADER_SIZE;
    j.Format = h.Format;
    j.CommitId = IsBound(h.Format) ? h.CommitId : 0;
    // A whole header has the word on the commit; its copy only stands in for it.
    j.Decided = h.Format == JOURNAL_BOUND_FORMAT && h.Decided;
    j.State = TFoundJournal::Torn;
    const uint64_t length = h.PayloadLength;
    const bool room = length <= static_cast<uint64_t>(size - JOURNAL_HEADER_SIZE);
    if (room) {
        j.Bytes.resize(JOURNAL_HEADER_SIZE + length);
        std::memcpy(j.Bytes.data(), raw, JOURNAL_HEADER_SIZE);
        if (!file.Read(JOURNAL_HEADER_SIZE, j.Bytes.data() + JOURNAL_HEADER_SIZE, static_cast<int64_t>(length)) ||
            JournalChecksum(j.Bytes.data() + JOURNAL_HEADER_SIZE, length) != h.PayloadCrc)
            j.Bytes.clear();
    }
    if (j.Bytes.empty()) {
        // A damaged payload may still hold its commit record whole, at its end.
        if (room && h.Format == JOURNAL_BOUND_FORMAT && h.RecordLength > 0 && h.RecordLength <= length) {
            std::vector<uint8_t> record(h.RecordLength);
            j.HasRecord = file.Read(JOURNAL_HEADER_SIZE + static_cast<int64_t>(length - h.RecordLength), record.data(),
                                    h.RecordLength) &&
                          JournalChecksum(record.data(), record.size()) == h.RecordCrc &&
                          ParseRecord(record.data(), record.size(), h.Format, j.Record);
        }
        return j;
    }
    if (h.Format != kFirstFormat && h.Format != JOURNAL_FORMAT && !IsBound(h.Format)) {
        j.State = TFoundJournal::Unknown;
        return j;
    }
    j.Payload.assign(j.Bytes.begin() + JOURNAL_HEADER_SIZE, j.Bytes.end());
    const bool holds = ParsePayload(j.Payload, h.Entries, h.Format, j.Entries, &j.Record) &&
                       (!IsBound(h.Format) || h.CommitId != 0) && (!j.Sealed() || StatesAreOwn(j));
    j.HasRecord = holds && IsBound(h.Format);
    j.State = holds ? TFoundJournal::Valid : TFoundJournal::Broken;
    return j;
}

// Everything a journal file holds, as it is (a damaged journal is kept whole).
std::vector<uint8_t> WholeFile(TOSHandle handle) {
    const TFileAccess file = OSAccess(handle);
    const int64_t size = file.Size();
    std::vector<uint8_t> bytes(static_cast<std::size_t>(std::clamp<int64_t>(size, 0, kLengthLimit)));
    if (!bytes.empty() && !file.Read(0, bytes.data(), static_cast<int64_t>(bytes.size()))) bytes.clear();
    return bytes;
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

bool FilesGone(const TJournalFileNames& names) {
    return std::none_of(names.begin(), names.end(), [](const std::string& name) { return DiskFileExists(name); });
}

// Where a table's files stand against a commit, by the states its record gives
// for each file the commit writes. Neither Between nor Gone nor Unread: something
// else wrote the table since (a later commit), or it is another table.
struct TSide {
    bool Gone = false;        // none of its files is there
    bool Unread = false;      // a file is there and cannot be opened (another program keeps it)
    bool Before = false;      // as before the commit, or as a playback of its journal left them
    bool After = false;       // as the commit left them
    bool Between = false;     // at a state the commit passes through, its two ends included
};

TSide SideOf(const TCommitRecord& record, std::size_t table, const TJournalFileNames& names) {
    TSide side;
    if (FilesGone(names)) {
        side.Gone = true;
        return side;
    }
    side.Before = side.After = side.Between = true;
    for (const TEntry& e : record.States[table]) {
        if ((e.Flags & kWritten) == 0) continue;
        if (!DiskFileExists(names[e.File])) return TSide{};
        const TOSHandle h = OSOpenFile(names[e.File], fmOpenRead | fmShareDenyNone, false);
        if (h == OS_INVALID_HANDLE) {
            TSide unread;
            unread.Unread = true;
            return unread;
        }
        const TFileAccess file = OSAccess(h);
        side.Before = side.Before && FileUntouched(e, record.StateBytes, file);
        side.After = side.After && FileWritten(e, record.StateBytes, file);
        side.Between = side.Between && FileFits(e, record.StateBytes, file);
        OSCloseFile(h);
    }
    return side;
}

// Where no other table of a commit lies at the names its journal gives, they may lie
// under other names in its folder: renamed by hand (with their record or without),
// or through the engine, which carries the record along. What any record there
// says of the commit, and whether each table looked for (from `first` on) is there
// after it, known by its files' states.
// What records say of a commit: the outcome one gave, and whether another gave the
// other.
struct TRecordsSay {
    TOutcome Recorded = TOutcome::Unknown;
    bool Disagree = false;
    void Add(TOutcome outcome) {
        if (outcome == TOutcome::Unknown) return;
        Disagree = Disagree || (Recorded != TOutcome::Unknown && outcome != Recorded);
        Recorded = outcome;
    }
};

struct TElsewhere : TRecordsSay {
    bool After = false;
};

TElsewhere LookElsewhere(const std::string& journal, uint64_t id, const TCommitRecord& record, std::size_t first) {
    TElsewhere seen;
    std::vector<bool> after(record.Tables.size(), false);
    const std::string folder = ExtractFilePath(journal);
    const TOSHandle handle = OSOpenFolder(folder.empty() ? "." : folder);
    if (handle == OS_INVALID_HANDLE) return seen;
    for (std::vector<std::string> names; !(names = OSFolderNamesPart(handle, 256)).empty();)
        for (const std::string& name : names) {
            const std::string ext = UpperCaseName(ExtractFileExt(name));
            std::string base;
            ExtractFileExtPart(folder + name, ext, base);
            if (ext == ".JNS") {
                seen.Add(ReadSettled(folder + name).Find(id));
            } else if (ext == ".DAT") {
                for (std::size_t i = first; i < after.size(); ++i)
                    after[i] = after[i] || SideOf(record, i, {folder + name, base + ".IDX", base + ".BLB"}).After;
            }
        }
    OSCloseFile(handle);
    seen.After = std::all_of(after.begin() + static_cast<std::ptrdiff_t>(first), after.end(), [](bool b) { return b; });
    return seen;
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

// Invalidates a journal that another object keeps: cut away whole, so that no
// copy of its header stays behind, or failing that both headers zeroed.
bool InvalidateHandle(TOSHandle handle) {
    const TFileAccess journal = OSAccess(handle);
    if (journal.Cut(0)) return journal.Sync();
    const uint8_t zero[JOURNAL_HEADER_SIZE] = {};
    const int64_t size = journal.Size();
    return journal.Write(0, zero, JOURNAL_HEADER_SIZE) &&
           (size < 2 * JOURNAL_HEADER_SIZE || journal.Write(size - JOURNAL_HEADER_SIZE, zero, JOURNAL_HEADER_SIZE)) &&
           journal.Sync();
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

// Write access that a rollback needs and does not have: named as a table is.
[[noreturn]] void RaiseNoAccess(const std::string& dataFile) {
    RaiseEngineError(KURA_OSEACCES, {}, {}, {}, TableNameOf(dataFile), {}, {}, kJournalNeedsWrite);
}

// A journal that could not be played back where the commit needed it, or a copy
// of it kept aside; with what the one who meets it can do.
[[noreturn]] void RaiseDamaged(const std::string& journal, std::string_view advice = {}) {
    RaiseEngineError(KURA_HEADERCORRUPT, {}, {}, {}, platform::NormalizeSeparators(journal), {}, {}, advice);
}

// The copy a journal was set aside as, where the error can name it whole (a table
// whose own names take all the engine allows gets copies two bytes longer), else the
// journal itself.
const std::string& SetAsideNamed(const std::string& aside, const std::string& journal) {
    return aside.empty() || aside.size() > EngineErrorContextLength ? journal : aside;
}

// A file of the commit as the ways out name it beside the journal that reports:
// bare in the journal's folder, as the commit records keep names.
std::string NamedBeside(const std::string& file, const std::string& journal) {
    return platform::NormalizeSeparators(ExtractFilePath(file) == ExtractFilePath(journal) ? ExtractFileName(file)
                                                                                           : file);
}

// The ways out a refusal names (the README tells each case at length; their texts
// are shared with callers that tell them apart, engine/errors/JournalReports.h). A
// table that could not be brought to its commit's side, and a commit whose outcome
// nothing left can tell, are made whole only by a backup of all its tables: the
// first names the commit's tables, which that backup must bring back together.
std::string StandsApart(const TCommitRecord& record, const std::string& journal) {
    std::vector<std::string> tables;
    for (const auto& names : record.Tables) tables.push_back(ExtractFileName(TableNameOf(BoundName(names[1], journal))));
    return JournalStandsApart(tables);
}

void NoteOnce(std::string& report, const std::string& journal) {
    if (report.empty()) report = journal;
}

// A place where a table of a commit over several may lie (a journal and the files
// beside it), as its recovery sees it: the journal opened and locked when it is there.
struct TBoundTable {
    std::string Journal;
    TJournalFileNames Files;
    TOSHandle Handle = OS_INVALID_HANDLE;
    bool Own = false;  // the recovering journal itself
    bool Writable = false;
    bool Locked = false;
    TFoundJournal Read;
    const TFoundJournal* Found = &Read;
    int32_t Claims = -1;   // the table of the commit its journal says it is
    bool Holds = false;    // its journal holds this commit, whole
    bool Damaged = false;  // its journal held this commit and can no longer be played back
    bool Decided = false;  // the deciding journal says the commit stands
    TPlaybackFiles Playback;
    bool Fits = false;
    TSettledCommits Settled;  // what recoveries recorded beside its journal
    ~TBoundTable() {
        if (Own || Handle == OS_INVALID_HANDLE) return;
        if (Locked) OSUnlockFile(Handle, JOURNAL_WRITER_LOCK_OFFSET, 1);
        OSCloseFile(Handle);
    }
};

// Opens and locks the journal at each name a commit record gives, beside the
// recovering one (places[0], which stands for itself wherever it is named); `at`
// gets the place at each name. Busy when another program writes or recovers one of
// them; Twice when one journal is named twice (its lock would be waited for by its
// holder).
enum class TOpened { Done, Busy, Twice };

TOpened OpenPlaces(const TCommitRecord& record, std::vector<std::unique_ptr<TBoundTable>>& places,
                   std::vector<TBoundTable*>& at) {
    const TBoundTable& own = *places[0];
    const TFoundJournal& j = *own.Found;
    for (const auto& names : record.Tables) {
        auto p = std::make_unique<TBoundTable>();
        p->Journal = BoundName(names[0], own.Journal);
        for (int k = 0; k < JOURNAL_FILES; ++k) p->Files[k] = BoundName(names[k + 1], own.Journal);
        if (DiskFileExists(p->Journal)) {
            p->Handle = OSOpenFile(p->Journal, fmOpenReadWrite | fmShareDenyNone, false);
            p->Writable = p->Handle != OS_INVALID_HANDLE;
            if (!p->Writable) p->Handle = OSOpenFile(p->Journal, fmOpenRead | fmShareDenyNone, false);
            if (p->Handle == OS_INVALID_HANDLE) RaiseNoAccess(p->Files[0]);
            const auto same = std::find_if(places.begin(), places.end(), [&](const auto& other) {
                return other->Handle != OS_INVALID_HANDLE && OSSameFile(other->Handle, p->Handle);
            });
            if (same != places.end()) {
                if (!(*same)->Own || std::find(at.begin(), at.end(), same->get()) != at.end()) return TOpened::Twice;
                at.push_back(same->get());
                continue;
            }
            if (!OSLockFile(p->Handle, JOURNAL_WRITER_LOCK_OFFSET, 1)) return TOpened::Busy;
            p->Locked = true;
            p->Read = ReadJournal(p->Handle);
            const TFoundJournal& f = p->Read;
            if (f.State != TFoundJournal::Cold && f.Format == j.Format && f.CommitId == j.CommitId && f.HasRecord &&
                f.Record.Tables.size() == record.Tables.size())
                p->Claims = f.Record.Self;
        }
        at.push_back(p.get());
        places.push_back(std::move(p));
    }
    return TOpened::Done;
}

// Which place holds each table of the commit. The journal beside a table's files
// is that table's, whatever its name now (renamed, or two names swapped, by hand):
// each journal that holds the commit claims its table. Of two that claim one, the
// one at that table's own name is it, the other a copy of it (or lying); else the
// recovering journal, or the first found. A table whose journal does not hold the
// commit (any more, or never did) lies at the name the record gives, unless a
// moved table took that place: then at the place that table left. `at` gives the
// place at each name of the record. Empty when the recovering journal lies; the
// recovering journal is none of them when it is a copy's.
std::vector<TBoundTable*> PlaceTables(TBoundTable& own, const std::vector<TBoundTable*>& at, TBoundTable& nowhere) {
    std::vector<TBoundTable*> claims(at.size());
    claims[static_cast<std::size_t>(own.Claims)] = &own;
    for (std::size_t i = 0; i < at.size(); ++i) {
        TBoundTable* p = at[i];
        if (p->Own || p->Claims < 0) continue;
        TBoundTable*& claimed = claims[static_cast<std::size_t>(p->Claims)];
        if (claimed && static_cast<std::size_t>(p->Claims) != i) {
            p->Claims = -1;
            continue;
        }
        if (claimed && claimed->Own) {
            // The recovering journal lies beside a copy of that table under another
            // name (at another table's name it lies): it follows the commit as the
            // table does.
            if (std::find(at.begin(), at.end(), &own) != at.end()) return {};
            own.Claims = -1;
        } else if (claimed) {
            claimed->Claims = -1;
        }
        claimed = p;
    }
    std::vector<TBoundTable*> tables = claims;
    for (std::size_t i = 0; i < at.size(); ++i) {
        if (claims[i]) continue;
        TBoundTable* place = at[i];
        for (std::size_t step = 0; place->Claims >= 0 && step < at.size(); ++step) place = at[place->Claims];
        tables[i] = place->Claims < 0 ? place : &nowhere;
    }
    return tables;
}

}  // namespace

bool TTableJournal::ReadHeader(uint8_t* header) {
    THeader h;
    return ReadHeaderBytes(FHandle, header) && ParseHeader(header, h);
}

void TTableJournal::LeaveAlone(const uint8_t* header) { FLeftAlone.assign(header, header + JOURNAL_HEADER_SIZE); }

void TTableJournal::SetAsideDamaged() {
    if (!FWritable) RaiseDamaged(FName, kJournalStandsApart);
    const std::string aside = SetAside(FName, WholeFile(FHandle));
    Invalidate(true);
    RaiseDamaged(SetAsideNamed(aside, FName), kJournalStandsApart);
}

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
    uint8_t header[JOURNAL_HEADER_SIZE] = {};
    ReadHeaderBytes(FHandle, header);
    if (FLeftAlone.size() == JOURNAL_HEADER_SIZE && std::equal(header, header + JOURNAL_HEADER_SIZE, FLeftAlone.begin()))
        return TRecovery::None;
    const TFoundJournal j = ReadJournal(FHandle);
    if (j.State == TFoundJournal::Cold) return TRecovery::None;
    if (j.CopyAt >= 0) FTrailerAt = j.CopyAt;
    // Torn while it was written, nothing in place had changed yet; or checksums that
    // hold over entries that do not: not a journal of ours. A journal of a commit
    // over several tables whose header is whole was written whole: damaged later.
    const bool torn = j.Sealed() ? j.FromCopy && j.State != TFoundJournal::Valid
                                 : j.State == TFoundJournal::Torn || j.State == TFoundJournal::Broken;
    if (torn) {
        if (FWritable)
            Invalidate(true);
        else
            LeaveAlone(header);
        return TRecovery::None;
    }
    if (j.Bound() && j.State != TFoundJournal::Unknown) {
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
        // (when no copy can be written, the table is not locked out for it). A
        // journal whose table is gone is no news.
        const std::string aside = SetAside(FName, j.Bytes);
        Invalidate(true);
        FSynced = {};
        if (FilesGone(FFileNames)) return TRecovery::Done;
        RaiseDamaged(SetAsideNamed(aside, FName), kJournalSetAside);
    }
    // Without write access the half-written files are never read as a table.
    if (!FWritable || !files.Writable) RaiseNoAccess(FFileNames[0]);
    PlayBack(j, FFileNames, files);
    Invalidate(true);
    FSynced = {};
    return TRecovery::Done;
}

TTableJournal::TRecovery TTableJournal::RecoverCommit(const TFoundJournal& j) {
    const bool legacy = !j.Sealed();
    const TCommitRecord& record = j.Record;
    // A journal that cannot tell which tables its commit bound can settle nothing:
    // following such a record could roll back the wrong tables.
    if (!j.HasRecord) SetAsideDamaged();
    std::vector<std::unique_ptr<TBoundTable>> places;
    TBoundTable& own = *places.emplace_back(std::make_unique<TBoundTable>());
    own.Journal = FName;
    own.Files = FFileNames;
    own.Own = true;
    own.Handle = FHandle;
    own.Writable = FWritable;
    own.Found = &j;
    own.Claims = record.Self;
    std::vector<TBoundTable*> at;
    const TOpened opened = OpenPlaces(record, places, at);
    if (opened == TOpened::Busy) return TRecovery::Busy;
    if (opened == TOpened::Twice) SetAsideDamaged();
    TBoundTable nowhere;
    std::vector<TBoundTable*> tables = PlaceTables(own, at, nowhere);
    if (tables.empty()) SetAsideDamaged();
    // The commit's tables, then (when this journal lies beside a copy of one of
    // them) the copy, which goes where its table goes; `table` gives the table each
    // stands for.
    const std::size_t count = tables.size();
    std::vector<std::size_t> table(count);
    for (std::size_t i = 0; i < count; ++i) table[i] = i;
    if (own.Claims < 0) {
        tables.push_back(&own);
        table.push_back(record.Self);
    }
    for (std::size_t i = 0; i < tables.size(); ++i) {
        TBoundTable& t = *tables[i];
        const TFoundJournal& f = *t.Found;
        const bool ours = t.Handle != OS_INVALID_HANDLE && f.State != TFoundJournal::Cold && f.Format == j.Format &&
                          f.CommitId == j.CommitId;
        t.Holds = ours && f.State == TFoundJournal::Valid && (t.Own || f.Record.Self == table[i]);
        t.Decided = ours && table[i] == 0 && f.Decided;
        const bool broken = f.State == TFoundJournal::Torn || f.State == TFoundJournal::Broken;
        t.Damaged = ours && !t.Holds && (t.Own || (f.Sealed() && !f.FromCopy && broken));
    }
    // Where each table's files stand (only this program's journals record the
    // states to tell).
    std::vector<TSide> sides(tables.size());
    if (!legacy)
        for (std::size_t i = 0; i < tables.size(); ++i) sides[i] = SideOf(record, table[i], tables[i]->Files);
    // What recoveries recorded of the commit beside any of its tables (also where
    // no journal is left: a table renamed by hand without its record) holds for
    // every table: it is followed, whatever the journals say now.
    TRecordsSay records;
    bool complete = true;
    for (const auto& p : places) {
        p->Settled = ReadSettled(SettledNameOf(p->Journal));
        const TOutcome outcome = p->Settled.Find(j.CommitId);
        if (outcome == TOutcome::Unknown) complete = complete && p->Settled.Complete();
        records.Add(outcome);
    }
    TOutcome recorded = records.Recorded;
    if (records.Disagree) {
        // One was put back from elsewhere. The tables whose journals let go of the
        // commit show by their files how it was settled here: a record that says
        // otherwise is the one to remove. Files that show nothing, or both, leave
        // only a backup.
        bool rolledBack = false;
        bool stood = false;
        for (std::size_t i = 0; i < count; ++i) {
            if (tables[i]->Holds || tables[i]->Damaged) continue;
            rolledBack = rolledBack || (sides[i].Before && !sides[i].After);
            stood = stood || (sides[i].After && !sides[i].Before);
        }
        const TOutcome foreign = rolledBack == stood ? TOutcome::Unknown
                                 : rolledBack        ? TOutcome::Stood
                                                     : TOutcome::RolledBack;
        for (const auto& p : places)
            if (foreign != TOutcome::Unknown && p->Settled.Find(j.CommitId) == foreign)
                RaiseDamaged(FName, JournalRemoveRecord(NamedBeside(SettledNameOf(p->Journal), FName)));
        RaiseDamaged(FName, kJournalRecordsDisagreeRestore);
    }
    const TBoundTable& first = *tables[0];
    // Written beside every journal held here before any journal of the commit is
    // played back or dropped. A rollback made without the deciding journal (its
    // table away, or put back without it) is kept past the record's limit: that
    // table may come back saying the commit stood.
    auto settle = [&](TOutcome outcome) {
        const bool kept = outcome == TOutcome::RolledBack && !first.Holds && !first.Damaged;
        for (const auto& p : places) {
            if (!p->Own && !p->Locked) continue;
            TSettledCommits& settled = p->Settled;
            if (settled.Find(j.CommitId) == outcome) continue;
            // A damaged file is written anew, as one that dropped what it held.
            if (settled.Damaged) {
                settled = TSettledCommits{};
                settled.Dropped = true;
            }
            settled.Add(j.CommitId, outcome, kept);
            WriteSettled(SettledNameOf(p->Journal), settled);
        }
    };
    auto invalidate = [this](const TBoundTable& t) {
        if (!(t.Own ? Invalidate(true) : InvalidateHandle(t.Handle)))
            RaiseEngineError(KURA_WRITEERR, {}, {}, {}, t.Journal);
    };
    // Whether every table whose journal holds the commit fits it, and is at the
    // state the commit left (opened for playback on the way).
    bool fit = true;
    bool written = true;
    bool checked = false;
    auto check = [&] {
        if (checked) return;
        checked = true;
        for (const auto& t : tables) {
            if (!t->Holds) continue;
            t->Fits = OpenFitting(*t->Found, t->Files, t->Playback);
            if (t->Fits && (!t->Writable || !t->Playback.Writable)) RaiseNoAccess(t->Files[0]);
            fit = fit && t->Fits;
            const std::vector<TEntry>& entries = t->Found->Entries;
            written = written && t->Fits && std::all_of(entries.begin(), entries.end(), [&](const TEntry& e) {
                          return FileWritten(e, t->Found->Payload, OSAccess(t->Playback.Handles[e.File]));
                      });
        }
    };
    // A recorded outcome first (a recovery that could not see the decision, the
    // deciding table renamed or moved away by hand, rolled the others back: this
    // one follows them). Otherwise only the deciding journal saying so is evidence
    // that the commit stood (for journals of earlier programs: the deciding journal
    // no longer holding it).
    bool stood = recorded != TOutcome::Unknown
                     ? recorded == TOutcome::Stood
                     : first.Decided || (legacy && first.Handle != OS_INVALID_HANDLE && !first.Holds);
    if (stood && recorded == TOutcome::Unknown && !legacy) {
        // The deciding journal's word alone. A recovery that could not see it (its
        // table away) rolled the others back and recorded that beside them, in a
        // note kept past the limit; where such a note may be lost (a damaged record,
        // one written anew, or one that had to drop a kept note) for a table not
        // after the commit, or no other table of the commit is found at all,
        // nothing tells the two histories apart.
        std::size_t missing = 0;
        for (std::size_t i = 1; i < count; ++i) {
            const TBoundTable& t = *tables[i];
            const TSide& s = sides[i];
            if (s.Gone && t.Handle == OS_INVALID_HANDLE) {
                if (missing == 0) missing = i;
                continue;
            }
            missing = count;
            if (!t.Holds && !t.Damaged && !s.Gone && !s.Unread && !s.After && !t.Settled.Vouches())
                RaiseDamaged(FName, kJournalCannotTell);
        }
        if (missing < count) {
            const TElsewhere elsewhere = LookElsewhere(FName, j.CommitId, record, 1);
            if (elsewhere.Disagree)
                RaiseDamaged(FName, kJournalRecordsDisagreeRestore);
            recorded = elsewhere.Recorded;
            stood = recorded != TOutcome::RolledBack;
            if (recorded == TOutcome::Unknown && !elsewhere.After)
                RaiseDamaged(FName, JournalPartnerNotFound(TableNameOf(BoundName(record.Tables[missing][1], FName))));
        }
    }
    if (stood) {
        // Every table is after the commit; what the other journals hold is dropped
        // unplayed, and the deciding journal goes once they all have.
        if (!FWritable) return TRecovery::None;
        settle(TOutcome::Stood);
        bool settled = true;
        std::string report;
        for (std::size_t i = 1; i < tables.size(); ++i) {
            TBoundTable& t = *tables[i];
            if (!t.Holds && !t.Damaged) {
                // Its journal let go of the commit: the commit wrote the table, which
                // is after it or was written since. Files as before it, or half-way,
                // were put in its place.
                if (sides[i].Between && !sides[i].After) NoteOnce(report, t.Journal);
                continue;
            }
            if (!t.Writable) {
                settled = false;
                continue;
            }
            invalidate(t);
        }
        if (first.Decided) {
            // The deciding journal stays while another journal of the commit does.
            if (!settled || !first.Writable) return first.Own ? TRecovery::None : TRecovery::Done;
            invalidate(first);
        }
        if (!report.empty()) RaiseDamaged(report, StandsApart(record, FName));
        return TRecovery::Done;
    }
    // The commit did not stand, or nothing says it did: every table whose journal
    // still holds it goes back. Nothing is written unless all that fit can be.
    check();
    if (!FWritable) return TRecovery::None;  // its own files are not the journal's
    // A deciding journal that no longer holds the commit while another does (a copy
    // of that one put back by hand, or the deciding table moved away) says nothing;
    // when no recovery recorded the commit, and every table is after it or was
    // written since (and some table that let go of it is there to say so), the
    // commit completed: the journals that still hold it are dropped unplayed.
    bool settledAfter = recorded == TOutcome::Unknown && !legacy && !first.Holds && !first.Damaged && fit && written;
    bool witness = false;
    for (std::size_t i = 0; i < tables.size() && settledAfter; ++i) {
        const TSide& s = sides[i];
        if (tables[i]->Holds || s.Gone) continue;
        settledAfter = !tables[i]->Damaged && !s.Unread && !s.Before && (s.After || !s.Between);
        witness = true;
    }
    settledAfter = settledAfter && witness;
    if (settledAfter) {
        // Unless a file here lost what it recorded: a recovery may then have rolled
        // the others back before they were written again. This journal stays, and
        // every open of its table is refused naming it.
        if (!complete) RaiseDamaged(FName, kJournalCannotTell);
        settle(TOutcome::Stood);
        for (const auto& t : tables)
            if (t->Holds) invalidate(*t);
        return TRecovery::Done;
    }
    settle(TOutcome::RolledBack);
    std::string report;
    // The deciding journal last: while it holds the commit, an interrupted
    // recovery is taken up again by the next.
    for (std::size_t n = 1; n <= tables.size(); ++n) {
        const std::size_t slot = n % tables.size();
        TBoundTable& t = *tables[slot];
        const TSide& side = sides[slot];
        if (!t.Holds && !t.Damaged) {
            // What its journal holds (if anything) is not this commit: the commit
            // never wrote the table, or it was settled already. Files half-way or
            // after it were put there with nothing to take them back.
            if (side.Between && !side.Before) NoteOnce(report, t.Journal);
            continue;
        }
        if (!t.Writable) {
            NoteOnce(report, t.Journal);
            continue;
        }
        if (t.Fits) {
            PlayBack(*t.Found, t.Files, t.Playback);
        } else {
            const std::vector<uint8_t> bytes =
                t.Found->State == TFoundJournal::Valid ? t.Found->Bytes : WholeFile(t.Handle);
            const std::string aside = SetAside(t.Journal, bytes);
            if (legacy ? !FilesGone(t.Files) : !(side.Gone || side.Before))
                NoteOnce(report, aside.empty() ? t.Journal : aside);
        }
        invalidate(t);
    }
    if (!report.empty()) RaiseDamaged(report, StandsApart(record, FName));
    return TRecovery::Done;
}

namespace {

// The journals of its tables that the record of a commit over several tables the
// journal holds names; none when it holds no such commit.
std::vector<std::string> CommitJournals(const std::string& journal) {
    const TOSHandle handle = OSOpenFile(journal, fmOpenRead | fmShareDenyNone, false);
    if (handle == OS_INVALID_HANDLE) return {};
    const TFoundJournal j = ReadJournal(handle);
    OSCloseFile(handle);
    std::vector<std::string> journals;
    if (j.Bound() && j.HasRecord)
        for (const auto& names : j.Record.Tables) journals.push_back(BoundName(names[0], journal));
    return journals;
}

bool Names(const std::vector<std::string>& journals, const std::string& named) {
    return std::any_of(journals.begin(), journals.end(), [&](const std::string& j) { return SameNameText(j, named); });
}

// Whether the journal holds a commit over several tables whose record names the
// journal `named`.
bool HoldsCommitNaming(const std::string& journal, const std::string& named) { return Names(CommitJournals(journal), named); }

// The journals in the folder of the journal `name` (its own among them).
std::vector<std::string> JournalsBeside(const std::string& name) {
    const std::string folder = ExtractFilePath(name);
    std::vector<std::string> journals;
    const TOSHandle handle = OSOpenFolder(folder.empty() ? "." : folder);
    if (handle == OS_INVALID_HANDLE) return journals;
    for (std::vector<std::string> names; !(names = OSFolderNamesPart(handle, 256)).empty();)
        for (const std::string& file : names)
            if (SameNameText(ExtractFileExt(file), ".JNL")) journals.push_back(folder + file);
    OSCloseFile(handle);
    return journals;
}

}  // namespace

bool CutCommitNamesBoth(const std::string& name, const std::string& other) {
    for (const std::string& journal : JournalsBeside(name)) {
        const std::vector<std::string> journals = CommitJournals(journal);
        if (Names(journals, name) &&
            std::any_of(journals.begin(), journals.end(), [&](const std::string& j) { return SameFileName(j, other); }))
            return true;
    }
    return false;
}

void TTableJournal::SettleCommitsNaming(const std::string& name) {
    std::vector<std::string> journals = JournalsBeside(name);
    std::erase_if(journals, [&](const std::string& journal) { return SameNameText(journal, name); });
    // Each is settled as an open of its own table would settle it, on every table
    // of its commit; one that the first settled is no longer hot. One that cannot
    // be settled (no write access) keeps the table: it is what the commit needs.
    for (const std::string& journal : journals) {
        if (!HoldsCommitNaming(journal, name)) continue;
        const std::string_view exts[JOURNAL_FILES] = {".DAT", ".IDX", ".BLB"};
        TJournalFileNames files;
        for (int k = 0; k < JOURNAL_FILES; ++k) ReplaceFileExt(journal, ".JNL", exts[k], files[k]);
        SettleJournal(journal, files);
        if (HoldsCommitNaming(journal, name)) RaiseNoAccess(files[0]);
    }
}

std::vector<std::string> JournalLeftoverNames(const std::string& journalName) {
    std::vector<std::string> names;
    names.reserve(kEarlierCopies + 1);
    for (int32_t n = 1; n <= kEarlierCopies; ++n) names.push_back(journalName + "." + std::to_string(n));
    names.push_back(SettledNameOf(journalName));
    return names;
}

bool JournalHoldsNothing(const std::string& journalName) {
    const TOSHandle handle = OSOpenFile(journalName, fmOpenRead | fmShareDenyNone, false);
    if (handle == OS_INVALID_HANDLE) return false;
    const bool cold = ReadJournal(handle).State == TFoundJournal::Cold;
    OSCloseFile(handle);
    return cold;
}

void DeleteJournalLeftovers(const std::string& journalName) {
    const std::vector<std::string> names = JournalLeftoverNames(journalName);
    const std::vector<bool> there = DiskFilesExist(names);
    for (std::size_t n = 0; n < names.size(); ++n)
        if (there[n]) OSDeleteFile(names[n]);
}

}  // namespace kura

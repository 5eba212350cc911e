#pragma once
// The rollback journal of a table: NAME.JNL beside NAME.DAT, NAME.IDX and NAME.BLB.
//
// A flush of the table's files is all or nothing for every other program and for
// the next open, also when its program is killed half-way or the power fails. While
// a flush runs, its writes are held back (WriteCapture.h); when it ends, the journal
//   1. takes its writer lock (a byte lock on the journal: held only by a live writer),
//   2. (hard flush) syncs every table file that holds writes not yet synced, so that
//      what the journal takes as the files' old state is on the disk,
//   3. writes what the writes will change (the old bytes of every changed span,
//      and of whatever a cut takes away) and the files' states before and after the
//      flush, in one piece (a large journal piece by piece, its header last), and
//      (hard flush) syncs it,
//   4. writes the files in place and (hard flush) syncs them,
//   5. invalidates its header, (hard flush) syncs that too, and lets go of its lock.
// So a hard flush that returned is on the disk, and none that did not return is
// there in part. A program that finds a valid journal whose lock nobody holds plays
// it back only when the files are at the journal's before or after state or between
// the two (a writer that died in its writes): it puts the old bytes back, sets each
// file's change counter past any value the dead writer could have left, so that
// every program drops what it cached, and invalidates the journal. A journal the
// files do not fit (files put back from a copy, another table's files) is copied
// aside to NAME.JNL.<n> (at most JOURNAL_COPIES of them, the oldest replaced, none
// twice) and invalidated, the files are left as they are, and KURA_HEADERCORRUPT
// names the copy once (nothing is said when the table's files are gone). A journal
// whose length or checksum does not hold was torn while it was written, before any
// byte in place changed: it is ignored. A program opening the table reads the
// files' headers under the writer lock, so that it never sees a flush half-way.
//
// A commit that changes several tables writes all their journals first (each
// naming the others and recording every table's file states), then all the files,
// and stands once the first journal, the one that decides it, says so: its header
// and the header's copy turn to "KURA-DEC". The other journals are invalidated
// after that (synced), the deciding one last. A recovery that meets any of them
// settles the whole commit under all the journals' writer locks, and before it
// plays back or drops any of them records how beside each (SettledCommits.h). What
// any table's record says of the commit is followed first: a table that was away,
// or put back from a copy, while the others were settled, a deciding table renamed
// by hand while they were rolled back without its decision, and a recovery cut off
// all end where the others did. Otherwise:
//   - the deciding journal says the commit stands: the others are dropped unplayed;
//   - anything else (it holds the commit undecided; it is missing, fresh, of
//     another commit, foreign or damaged) is no evidence that the commit stood:
//     every table whose journal still holds the commit is rolled back, the
//     deciding one last, so that an interrupted recovery is taken up by the next;
//     except that where the deciding journal no longer holds the commit and every
//     table is after it or was written since (a copy of a journal put back after
//     the commit completed), the journals that still hold it are dropped. Where a
//     record here lost entries (damaged, or past its limit), that cannot be told
//     from a commit rolled back while this table was away: every open of it is
//     refused (KURA_HEADERCORRUPT) naming its journal, which stays.
// The deciding journal's word alone is refused the same way where a table that
// let go of the commit and is not after it has a record that may have lost the note
// of a rollback made without the deciding table (such notes are kept past the
// record's limit: it is damaged, or full of them), or no other table of the commit
// is found at all (renamed or dropped while the deciding table was away): the
// others may have been rolled back without it. A drop or rename through the engine
// settles first every cut commit that names the table, so the others of a commit
// never go that way behind its deciding journal's back. Records that disagree are
// refused too, naming the one the files contradict when they do.
// Each refusal says what can be done (the README tells each case).
// A table whose journal does not hold the commit was never written by it, or was
// settled already: it is named by KURA_HEADERCORRUPT only when its files are at a
// state of the commit that contradicts the outcome (half-way, or on the other
// side), since then nothing can take it back; files written since, or kept by
// another program for itself, are left to their own opens. The split is never
// silent. Such a journal's header is written only once the rest is on the disk,
// and a copy of the header ends the file, so a header damaged later is read from
// its copy and a payload that does not hold under a whole header is damage, not a
// tear. The journal beside a table's files is that table's, whatever its name now:
// each journal of the commit says which table it is (its record gives its own
// files' states as that table's), so tables renamed, or whose names were swapped,
// by hand are found by their journals (one whose journal no longer holds the
// commit lies at its own name, or at the one a moved table left). A journal that
// claims the table found at that table's own name lies beside a copy of it under
// another name: the copy goes where the table goes.
//
// A playback can be cut off itself (a kill, a power cut, a failed write): it
// restores bytes and a counter derived from the journal alone, so that it can be
// repeated any number of times, and a file it has begun to restore still fits the
// journal. A journal that cannot be written refuses every flush of the table
// (KURA_OSEACCES, naming the table) rather than writing it unprotected; a valid one
// that the files fit but that cannot be played back (no write access) refuses the
// open. Before a table's files are dropped, renamed or made anew, what its journal
// holds is settled (SettleJournal), on every table its commit bound; before they are
// dropped or renamed, so is every cut commit another journal holds that names it.
//
// Journal layout (little-endian):
//   header, 64 bytes: 0 magic "KURA-JNL" ("KURA-DEC": a deciding journal whose
//     commit stands); 8 u32 format (2, or 4 for a commit over several tables); 12
//     u32 header size 64; 16 u64 payload length; 24 u32 payload CRC-32; 28 u32 file
//     entries; 32 u64 sequence number; 40 u64 the commit's id (format 4; 0
//     otherwise); 48 u32 the commit record's length and 52 u32 its CRC-32 (format
//     4; 0 otherwise); 56..59 zero; 60 u32 CRC-32 of bytes 0..59.
//   per open table file an entry: u8 file (0 .DAT, 1 .IDX, 2 .BLB); u8 flags (1: the
//     flush writes the file); 2 zero bytes; i64 old length; u32 offset of the change
//     counter; u32 XOR mask of its stored bytes; u32 the counter the flush writes;
//     u32 saved ranges; i64 new length; i64 the lowest length the writes pass
//     through; u16 image length L; the file's first L bytes before the flush and
//     the same L bytes after it; then per range i64 offset, u32 length and the old
//     bytes. The ranges hold at least every byte from the lowest length to the old
//     one.
//   format 4, after the entries, the commit record: u16 tables M; u16 this
//     journal's place among them (0: the journal that decides the commit); per
//     table four names (its journal, .DAT, .IDX, .BLB), each u16 length and the
//     bytes, bare when the file lies in this journal's folder; then per table u8 N
//     and N entries of its files without saved ranges (the states its own journal
//     records). A copy of the header follows the payload and ends the file.
// Format 3 (earlier programs' commits over several tables) has a record without file
// states, no copy of the header and zeros at 48..59; its deciding journal was
// invalidated to decide. Format 1 (written by earlier programs) has entries of the
// changed files only and ends each after its saved-range count; its files are
// checked by their change counters alone. A journal of any other format is set
// aside unread. An invalid header (all zero after a completed flush, or a file cut
// to nothing) means no journal.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/files/FileHandler.h"
#include "engine/files/HeldChanges.h"
#include "engine/files/OSServices.h"
#include "engine/files/WriteCapture.h"

namespace kura {

constexpr int32_t JOURNAL_HEADER_SIZE = 64;
constexpr uint32_t JOURNAL_FORMAT = 2;
// The format of the journals of a commit over several tables.
constexpr uint32_t JOURNAL_BOUND_FORMAT = 4;
constexpr int32_t JOURNAL_FILES = 3;
// The writer's lock byte, beyond any journal content.
constexpr int64_t JOURNAL_WRITER_LOCK_OFFSET = 0x7FFFFFFFLL;
// Waits for a live writer's flush to end, 3 ms apart.
constexpr int32_t JOURNAL_LOCK_ATTEMPTS = 32767;
constexpr uint32_t JOURNAL_LOCK_SLEEP_MS = 3;
// A journal grown beyond this is cut back once invalidated.
constexpr int64_t JOURNAL_KEEP_SIZE = 1 << 20;
// Copies of journals the files did not fit: NAME.JNL.1 up to NAME.JNL.4.
constexpr int32_t JOURNAL_COPIES = 4;

// What the journal must know of one table file when it writes a flush.
struct TJournalTarget {
    uint32_t NewCounter = 0;   // the change counter the flush leaves in the header
    uint32_t CounterMask = 0;  // XOR of the stored counter bytes (scrambled headers)
};

using TJournalTargets = std::array<TJournalTarget, JOURNAL_FILES>;
using TJournalHandlers = std::array<TFileHandler*, JOURNAL_FILES>;
using TJournalFileNames = std::array<std::string, JOURNAL_FILES>;

class TJournalCommit;
namespace jnl {
struct TFoundJournal;
struct TFileAccess;
}

class TTableJournal {
public:
    TTableJournal() = default;
    ~TTableJournal();
    TTableJournal(const TTableJournal&) = delete;
    TTableJournal& operator=(const TTableJournal&) = delete;

    // Opens the journal, creating it when missing; fileNames are the .DAT, .IDX and
    // .BLB names a rollback writes. False when it cannot be opened for writing: the
    // table can then be read (Hold and Recover refuse it only while the journal
    // holds a flush to roll back), and every flush with writes is refused.
    bool Open(const std::string& name, const TJournalFileNames& fileNames);
    void Close();
    // Open for writing.
    bool IsOpen() const { return FHandle > 0 && FWritable; }
    // The table's writes go through the journal, or are refused for want of one.
    bool InUse() const { return FHandle > 0 || FRefused; }
    const std::string& Name() const { return FName; }

    // Rolls back a dead writer's journal (or settles the commit over several
    // tables it belongs to); true when it did. Waits for a live writer's flush to
    // end; 10249 when it does not end in time, 9218 when the rollback fails (the
    // journal stays for the next attempt), KURA_HEADERCORRUPT naming a journal that
    // could not be played back where it was needed (the files do not fit it, or it
    // is damaged: it is set aside first), KURA_OSEACCES naming a table that must be
    // rolled back without write access.
    bool Recover();
    // Waits for the writer lock as Recover does, recovers under it and keeps it
    // until Release (or Close): no flush runs while the caller reads the files.
    void Hold();
    void Release();
    // True when the journal holds a valid header (whether its writer lives or not).
    bool IsHot();
    // Drops a journal left under the name by a table made anew.
    void Reset();
    // How far SettleJournal looks.
    enum class TSettleScope {
        Journal,        // what the journal holds
        CommitsNaming,  // and every cut commit whose journals in its folder name it
    };
    // Settles what the journal `name` left by a program that died holds, as the
    // table's next open would, before the table's files (fileNames) are dropped,
    // renamed or made anew; nothing when there is no such journal. Raises as Hold.
    // With CommitsNaming it then settles every commit cut off half-way that another
    // journal in its folder holds and that names this table: once this journal let
    // go of such a commit, the one deciding it may be all that is left of it, and its
    // recovery needs this table where the commit left it to tell.
    static void SettleJournal(const std::string& name, const TJournalFileNames& fileNames,
                              TSettleScope scope = TSettleScope::Journal);

    // ---- Holding back a flush -------------------------------------------------
    // Brackets nest; the first holds back the writes of the open handlers.
    void Begin(const TJournalHandlers& handlers);
    // True when the outermost bracket ended: the caller applies (or discards) then.
    bool End();
    uint32_t Depth() const { return FDepth; }
    bool HasPending() const;
    // Writes what was held back in the steps above (syncing when hard or when
    // a held-back flush of a file was asked for); the handlers stay held back while
    // a bracket is open. On failure nothing is held back any more, the files are as
    // they were before, and 9218 is raised (9217 for old bytes that cannot be read,
    // 10249 when another table of this program keeps the journal's lock,
    // KURA_OSEACCES naming the table when there is no journal to write, or one that
    // still holds a commit it cannot settle).
    void Apply(const TJournalTargets& targets, bool hard);
    // Forgets what was held back (the caches it came from are being dropped).
    void Discard();
    // The next flush builds its journal within this budget (a transaction's, whose
    // changes it saves), moving it to a spill file past it; until the flush ends.
    // Without one the journal is built in memory.
    void StageWithin(THeldBudget* budget) { FStagingBudget = budget; }

private:
    friend class TJournalCommit;
    enum class TRecovery { None, Done, Busy };
    // How far a flush got, so that a failure undoes exactly what was done.
    enum class TStage { Idle, Built, Locked, Journalled, Writing };

    void Detach();
    void Restart();
    bool ReadHeader(uint8_t* header);
    // Takes the writer lock, waiting for a live writer; false when this object
    // already holds it (Hold), 10249 when the wait ends.
    bool Lock();
    void Unlock();
    // Recover with the writer lock held; Busy when another table of a commit this
    // journal belongs to is held by someone else (the caller lets go and retries).
    TRecovery RecoverLocked();
    // The recovery of a journal of a commit over several tables, under the writer
    // locks of all their journals.
    TRecovery RecoverCommit(const jnl::TFoundJournal& found);
    // A valid journal that cannot be set aside (no write access) and is left as it
    // is, its files read as they are.
    void LeaveAlone(const uint8_t* header);
    // A journal of a commit over several tables that cannot settle it (damaged, or
    // its record naming it wrongly): kept aside, its files left as they are, and
    // KURA_HEADERCORRUPT raised naming the copy.
    [[noreturn]] void SetAsideDamaged();
    // SettleJournal's CommitsNaming part.
    static void SettleCommitsNaming(const std::string& name);
    // False when the header could neither be overwritten nor cut away (or synced).
    bool Invalidate(bool sync);
    // Raises KURA_OSEACCES (dropping what was held back) when there is no journal
    // to write the held-back writes with.
    void RefuseUnjournalled();
    // A held flush of a file was asked for.
    bool SyncWanted() const;

    // The steps of Apply. Build makes the journal's entries (and FStates, the
    // files' states a commit record carries); Seal completes it (commitId and
    // record for a commit over several tables); Write takes the writer lock, syncs
    // what must be on the disk first and writes the journal; WriteInPlace writes the
    // files; Decide marks the deciding journal of a commit over several tables as
    // standing; Finish invalidates the journal and lets go of the lock. Undo puts
    // the files back from the staged journal, invalidates it when every file is
    // back (and keepHot is false), and lets go; false when a file could not be put
    // back.
    void Build(const TJournalTargets& targets);
    void Seal(uint64_t commitId, const std::vector<uint8_t>& record);
    void Write(bool hard);
    void WriteInPlace();
    bool Decide(bool hard);
    bool Finish(bool sync);
    bool Undo(bool keepHot);
    // Writes the staged journal again (its invalidation or decision failed); false
    // when it could not.
    bool Rewrite();
    // Writes the staged journal: in one write, or (a large one) piece by piece,
    // its header last, so that it holds nothing until it is whole; false when a
    // write failed. Raises when the spill file cannot be read.
    bool WriteStaged(const jnl::TFileAccess& journal);
    void Unstage();
    // Whether the staged journal is one of a commit over several tables.
    bool StagedBound() const;

    std::string FName;
    TJournalFileNames FFileNames;
    TOSHandle FHandle = 0;
    bool FWritable = false;
    bool FRefused = false;
    bool FRefusedLink = false;  // for a symbolic link at the journal's name
    uint32_t FDepth = 0;
    TJournalHandlers FHandlers{};
    std::array<TWriteCapture, JOURNAL_FILES> FCaptures;
    uint64_t FSequence = 0;
    int64_t FWrittenBytes = -1;  // the journal's length as far as this table knows it; -1 unknown
    bool FHeld = false;
    // Per file: whether this table knows the file's bytes are on the disk, and the
    // change counter (as stored) they had then. A hard flush syncs first every file
    // that another flush (of this program or another) wrote since.
    std::array<bool, JOURNAL_FILES> FSynced{};
    std::array<uint32_t, JOURNAL_FILES> FSyncedCounter{};
    // The flush under way (Stage to Finish or Undo).
    TStage FStage = TStage::Idle;
    bool FStagedLocked = false;
    bool FStagedHard = false;
    uint32_t FStagedEntries = 0;
    // The staged journal: its header, and the rest by journal offset (within the
    // staging budget, or in memory).
    std::array<uint8_t, JOURNAL_HEADER_SIZE> FStagedHeader{};
    std::unique_ptr<THeldChanges> FStaged;
    int64_t FStagedSize = 0;
    THeldBudget* FStagingBudget = nullptr;
    // Each file's leading bytes before and after the flush, as the journal holds them.
    std::array<std::array<uint8_t, 2 * CAPTURE_LEADING_BYTES>, JOURNAL_FILES> FImages{};
    std::array<int64_t, JOURNAL_FILES> FImageLength{};
    // The files' states the built journal gives (a u8 count, then its entries
    // without saved ranges), for the records of a commit over several tables.
    std::vector<uint8_t> FStates;
    // Where a copy of the header ends the journal on the disk; -1 when none does.
    int64_t FTrailerAt = -1;
    // The header of a journal found valid that is left as it is (it cannot be set
    // aside without write access): not looked into again at every lock.
    std::vector<uint8_t> FLeftAlone;
};

// A commit over the journals of several tables, each holding back its table's
// writes: all of them reach the files or none. With one table it is that table's
// Apply and costs no more.
class TJournalCommit {
public:
    // A journal with held-back writes; hard asks for a synced commit.
    void Add(TTableJournal& journal, const TJournalTargets& targets, bool hard);
    std::size_t Size() const { return FMembers.size(); }
    // Writes every journal, then every file, then decides the commit by the first
    // journal's invalidation. On failure every table is as it was before (or left
    // for the next recovery, which rolls them all back) and the error is raised as
    // Apply raises it; nothing is held back any more either way.
    void Apply();

private:
    struct TMember {
        TTableJournal* Journal;
        TJournalTargets Targets;
    };
    std::vector<TMember> FMembers;
    bool FHard = false;
};

// CRC-32 (the zlib polynomial) of a byte run.
uint32_t JournalChecksum(const uint8_t* bytes, std::size_t size);

// The names of what recoveries leave beside a journal: the copies they set aside
// (NAME.JNL.<n>, also those earlier programs kept in greater number) and their
// record of settled commits (NAME.JNS), which belong to the table as its journal does.
std::vector<std::string> JournalLeftoverNames(const std::string& journalName);
// Removes those of a table that goes.
void DeleteJournalLeftovers(const std::string& journalName);
// Whether a commit cut off half-way that a journal in the folder of the journal
// `name` holds names both that journal's table and the one of the journal `other`:
// settling it records its outcome beside `other` too.
bool CutCommitNamesBoth(const std::string& name, const std::string& other);
// Whether the file at the name holds no journal at all (no valid header, nor a copy
// of one): nothing a recovery could play back, decide or set aside. False too when
// it cannot be read.
bool JournalHoldsNothing(const std::string& journalName);

}  // namespace kura

#pragma once
// The rollback journal of a table: NAME.JNL beside NAME.DAT, NAME.IDX and NAME.BLB.
//
// A flush of the table's files is all or nothing for every other program and for
// the next open, also when its program is killed half-way or the power fails. While
// a flush runs, its writes are held back (WriteCapture.h); when it ends, the journal
//   1. takes its writer lock (a byte lock on the journal: held only by a live writer),
//   2. (hard flush) syncs every table file that holds writes not yet synced, so that
//      what the journal takes as the files' old state is on the disk,
//   3. writes in one piece what the writes will change (the old bytes of every
//      changed span, and of whatever a cut takes away), the files' states before and
//      after the flush, and (hard flush) syncs it,
//   4. writes the files in place and (hard flush) syncs them,
//   5. invalidates its header, (hard flush) syncs that too, and lets go of its lock.
// So a hard flush that returned is on the disk, and none that did not return is
// there in part. A program that finds a valid journal whose lock nobody holds plays
// it back only when the files are at the journal's before or after state or between
// the two (a writer that died in its writes): it puts the old bytes back, sets each
// file's change counter past any value the dead writer could have left, so that
// every program drops what it cached, and invalidates the journal. A journal the
// files do not fit (files put back from a copy, another table's files) is copied
// aside to NAME.JNL.<n> and invalidated, the files are left as they are, and
// KURA_FOREIGNJOURNAL says so once. A journal whose length or checksum does not
// hold was torn while it was written, before any byte in place changed: it is
// ignored. A program opening the table reads the files' headers under the writer
// lock, so that it never sees a flush half-way.
//
// Journal layout (little-endian):
//   header, 64 bytes: 0 magic "KURA-JNL"; 8 u32 format 2; 12 u32 header size 64;
//     16 u64 payload length; 24 u32 payload CRC-32; 28 u32 file entries;
//     32 u64 sequence number; 40..59 zero; 60 u32 CRC-32 of bytes 0..59.
//   per open table file an entry: u8 file (0 .DAT, 1 .IDX, 2 .BLB); u8 flags (1: the
//     flush writes the file); 2 zero bytes; i64 old length; u32 offset of the change
//     counter; u32 XOR mask of its stored bytes; u32 the counter the flush writes;
//     u32 saved ranges; i64 new length; i64 the lowest length the writes pass
//     through; u16 image length L; the file's first L bytes before the flush and
//     the same L bytes after it; then per range i64 offset, u32 length and the old
//     bytes.
// Format 1 (written by earlier programs) has entries of the changed files only and
// ends each after its saved-range count; its files are checked by their change
// counters alone. A journal of any other format is set aside unread. An invalid
// header (all zero after a completed flush) means no journal.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/files/FileHandler.h"
#include "engine/files/OSServices.h"
#include "engine/files/WriteCapture.h"

namespace kura {

constexpr int32_t JOURNAL_HEADER_SIZE = 64;
constexpr uint32_t JOURNAL_FORMAT = 2;
constexpr int32_t JOURNAL_FILES = 3;
// The writer's lock byte, beyond any journal content.
constexpr int64_t JOURNAL_WRITER_LOCK_OFFSET = 0x7FFFFFFFLL;
// Waits for a live writer's flush to end, 3 ms apart.
constexpr int32_t JOURNAL_LOCK_ATTEMPTS = 32767;
constexpr uint32_t JOURNAL_LOCK_SLEEP_MS = 3;
// A journal grown beyond this is cut back once invalidated.
constexpr int64_t JOURNAL_KEEP_SIZE = 1 << 20;

// What the journal must know of one table file when it writes a flush.
struct TJournalTarget {
    uint32_t NewCounter = 0;   // the change counter the flush leaves in the header
    uint32_t CounterMask = 0;  // XOR of the stored counter bytes (scrambled headers)
};

using TJournalTargets = std::array<TJournalTarget, JOURNAL_FILES>;
using TJournalHandlers = std::array<TFileHandler*, JOURNAL_FILES>;

class TTableJournal {
public:
    TTableJournal() = default;
    ~TTableJournal();
    TTableJournal(const TTableJournal&) = delete;
    TTableJournal& operator=(const TTableJournal&) = delete;

    // Opens the journal, creating it when missing; fileNames are the .DAT, .IDX and
    // .BLB names a rollback writes. False (and no journal kept) when it cannot be
    // opened: the table then writes in place as it always did.
    bool Open(const std::string& name, const std::array<std::string, JOURNAL_FILES>& fileNames);
    void Close();
    bool IsOpen() const { return FHandle > 0; }
    const std::string& Name() const { return FName; }

    // Rolls back a dead writer's journal; true when it did. Waits for a live
    // writer's flush to end; 10249 when it does not end in time, 9218 when the
    // rollback fails (the journal stays for the next attempt), KURA_FOREIGNJOURNAL
    // when the files do not fit it (it is set aside first).
    bool Recover();
    // Waits for the writer lock as Recover does, recovers under it and keeps it
    // until Release (or Close): no flush runs while the caller reads the files.
    void Hold();
    void Release();
    // True when the journal holds a valid header (whether its writer lives or not).
    bool IsHot();
    // Drops a journal left under the name by a table made anew.
    void Reset();

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
    // 10249 when another table of this program keeps the journal's lock).
    void Apply(const TJournalTargets& targets, bool hard);
    // Forgets what was held back (the caches it came from are being dropped).
    void Discard();

private:
    void Detach();
    void Restart();
    bool ReadHeader(uint8_t* header);
    // Takes the writer lock, waiting for a live writer; false when this object
    // already holds it (Hold), 10249 when the wait ends.
    bool Lock();
    void Unlock();
    // Recover with the writer lock held.
    bool RecoverLocked();
    // Copies the journal to a free NAME.JNL.<n>; its name, "" when it could not.
    std::string SetAside(const uint8_t* bytes, std::size_t size);
    // False when the header could neither be overwritten nor cut away (or synced).
    bool Invalidate(bool sync);

    std::string FName;
    std::array<std::string, JOURNAL_FILES> FFileNames;
    TOSHandle FHandle = 0;
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
};

// CRC-32 (the zlib polynomial) of a byte run.
uint32_t JournalChecksum(const uint8_t* bytes, std::size_t size);

}  // namespace kura

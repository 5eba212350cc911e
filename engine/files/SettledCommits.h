#pragma once
// How recoveries settled commits over several tables: NAME.JNS beside a table's
// journal NAME.JNL. Only a recovery writes it, under the journal's writer lock, and
// before it plays back or drops any journal of the commit, in every table of the
// commit whose journal it holds; the commit path never touches it. A commit's
// outcome is one fact for all its tables, so what any table's file says of a
// commit holds for every other, whichever table the file lies beside now: a table
// that was away, or put back from a copy, while its partners were settled follows
// them; an interrupted recovery is taken up the same way. A commit no file knows
// was never settled by a recovery (its journals went as it completed), unless a
// file dropped entries to make room or is damaged: then silence proves less. A
// note of a commit rolled back while its deciding table was not found is kept past
// the limit (the others go first): that table may come back saying the commit
// stood, and this note is what tells it otherwise. So a file that dropped only other
// notes still vouches that no such rollback happened here.
// It belongs to its table: a rename through the engine takes it along, and where no
// other table of a commit lies at the names its journal gives, the records in the
// journal's folder are read whatever their names.
//
// Layout (little-endian): one slot, SETTLED_SLOT_SIZE bytes, at 0 and its copy
// after it, each written and synced in turn, so that a write cut off damages one
// at most and the other holds:
//   0 magic "KURA-JNS"; 8 u32 format 1; 12 u32 entries N (at most SETTLED_ENTRIES);
//   16 u32 flags (1: older entries were dropped to make room, kept ones among them
//   perhaps, or the file was written anew; 2: older entries were dropped, none of
//   them kept); 20 u32 CRC-32 of bytes 0..19 and the N entries; 24 per entry, oldest
//   first, u64 the commit's id and u8 its outcome (1 rolled back, 2 stood; 0x81
//   rolled back, the note kept past the limit); zeros to the end of the slot.
// Records of earlier programs use flag 1 and outcomes 1 and 2 alone, and a record
// with neither a kept note nor flag 2 is written as they wrote it.
#include <cstdint>
#include <string>
#include <vector>

namespace kura::jnl {

constexpr uint32_t SETTLED_FORMAT = 1;
constexpr std::size_t SETTLED_ENTRIES = 64;
constexpr std::size_t SETTLED_HEAD = 24;
constexpr std::size_t SETTLED_ENTRY = 9;
constexpr std::size_t SETTLED_SLOT_SIZE = SETTLED_HEAD + SETTLED_ENTRIES * SETTLED_ENTRY;
constexpr uint32_t kSettledDropped = 1;
constexpr uint32_t kSettledDroppedOthers = 2;
constexpr uint8_t kSettledKept = 0x80;

enum class TOutcome : uint8_t { Unknown = 0, RolledBack = 1, Stood = 2 };

struct TSettledEntry {
    uint64_t Id = 0;
    TOutcome Outcome = TOutcome::Unknown;
    // Rolled back while the commit's deciding table was not found: kept past the limit.
    bool Kept = false;
    bool operator==(const TSettledEntry&) const = default;
};

struct TSettledCommits {
    std::vector<TSettledEntry> Entries;  // oldest first
    bool Dropped = false;        // older entries went, kept ones among them perhaps
    bool DroppedOthers = false;  // older entries went, none of them kept
    bool Damaged = false;        // the file is there and neither slot holds
    // Whether its silence on a commit means that no recovery settled it here.
    bool Complete() const { return !Dropped && !DroppedOthers && !Damaged; }
    // Whether its silence on a commit means that no recovery rolled it back here
    // while the commit's deciding table was not found.
    bool Vouches() const { return !Dropped && !Damaged; }
    TOutcome Find(uint64_t id) const;
    // Records an outcome (a known one is kept); past the limit the oldest note that
    // is not kept goes, or, when all are, the oldest.
    void Add(uint64_t id, TOutcome outcome, bool kept = false);
};

// NAME.JNS for the journal NAME.JNL.
std::string SettledNameOf(const std::string& journal);

// One slot's bytes, SETTLED_SLOT_SIZE of them.
std::vector<uint8_t> SettledSlot(const TSettledCommits& settled);
// False when the bytes are not a whole slot.
bool ParseSettledSlot(const uint8_t* bytes, std::size_t size, TSettledCommits& settled);

// The file as it is: nothing known when there is none (or it is empty). Raises
// the system's error, naming it, when it is there and cannot be read.
TSettledCommits ReadSettled(const std::string& name);
// Writes both slots, each synced (and the folder when the file is new). Raises
// the system's error, naming the file, when it cannot be opened for writing, and
// KURA_WRITEERR when a write or sync fails.
void WriteSettled(const std::string& name, const TSettledCommits& settled);

}  // namespace kura::jnl

#pragma once
// The rollback journal's bytes as its writer (Journal.cpp) and its recovery
// (JournalRecovery.cpp) share them; Journal.h gives the layout. Nothing here
// raises: every check answers false.
#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "engine/files/FileHandler.h"
#include "engine/files/OSServices.h"

namespace kura::jnl {

inline constexpr char kMagic[8] = {'K', 'U', 'R', 'A', '-', 'J', 'N', 'L'};
// The header of the journal that decides a commit over several tables, once the
// commit stands (earlier programs take it for no journal at all, and so for a
// commit that stood, which it is).
inline constexpr char kDecidedMagic[8] = {'K', 'U', 'R', 'A', '-', 'D', 'E', 'C'};
// Journals of a commit over several tables as earlier programs wrote them: no
// copy of the header at the end, no file states in the commit record, and a
// deciding journal that no longer holds the commit taken for one that stood.
constexpr uint32_t kLegacyBoundFormat = 3;
// Journals of earlier programs: entries of the changed files only, without states.
constexpr uint32_t kFirstFormat = 1;
constexpr int32_t kFirstEntrySize = 28;
constexpr int32_t kEntrySize = 46;
// Entry flag: the flush writes the file.
constexpr uint8_t kWritten = 1;
// Leading bytes of each file kept before and after the flush: the headers, with
// their change counters and (data file) the time of the last header write, which
// tell one table's files from another's.
constexpr int64_t kImageBytes = 128;
constexpr int32_t kRangeHeadSize = 12;
// Longest single transfer of journal, range or extent bytes.
constexpr int64_t kPiece = 1 << 22;
// No table file grows beyond this; a journal naming a longer one is not ours.
constexpr int64_t kLengthLimit = int64_t{1} << 33;
// Where the header keeps the id of a commit over several tables, and (format 4)
// the length and CRC-32 of its commit record, which ends the payload.
constexpr int32_t kCommitIdAt = 40;
constexpr int32_t kRecordLengthAt = 48;
constexpr int32_t kRecordCrcAt = 52;
// A name in a commit record; longer ones are not ours.
constexpr std::size_t kNameLimit = 4096;
// Names of the tables a commit record binds: the journal, .DAT, .IDX, .BLB.
constexpr int32_t kBoundNames = 4;

// Byte access to one table file, through the registry's file object or an OS
// handle of the journal's own; every call answers success.
struct TFileAccess {
    std::function<bool(int64_t, const uint8_t*, int64_t)> Write;
    std::function<bool(int64_t, uint8_t*, int64_t)> Read;  // exactly that many bytes
    std::function<bool(int64_t)> Cut;
    std::function<int64_t()> Size;
    std::function<bool()> Sync;
};

TFileAccess RegistryAccess(TFileHandler& handler);

TFileAccess OSAccess(TOSHandle handle);

// The spans [first, end) of `count` bytes in which `is` differs from `was`, in
// order; two changed stretches with at most `gap` unchanged bytes between them make
// one span, since a saved range's head costs more than the bytes it would skip.
void ChangedSpans(const uint8_t* was, const uint8_t* is, int64_t count, int64_t gap,
                  std::vector<std::pair<int64_t, int64_t>>& spans);

// One file's part of a journal, its ranges and images pointing into the payload.
struct TEntry {
    uint8_t File = 0;
    uint8_t Flags = kWritten;
    int64_t OldLength = 0;
    uint32_t CounterOffset = 0;
    uint32_t CounterMask = 0;
    uint32_t NewCounter = 0;
    int64_t NewLength = -1;  // -1: a first-format entry, which knows no more
    int64_t LowLength = 0;
    std::size_t ImageAt = 0;  // the image before, then the image after
    uint16_t ImageLength = 0;
    struct Range {
        int64_t Offset;
        std::size_t At;  // in the payload
        uint32_t Length;
    };
    std::vector<Range> Ranges;
};

// A journal's header as read or written.
struct THeader {
    bool Decided = false;  // kDecidedMagic: the commit this journal decides stands
    uint32_t Format = 0;
    uint64_t PayloadLength = 0;
    uint32_t PayloadCrc = 0;
    uint32_t Entries = 0;
    uint64_t Sequence = 0;
    uint64_t CommitId = 0;
    uint32_t RecordLength = 0;
    uint32_t RecordCrc = 0;
};

// Whether the bytes are a header (of either magic) whose own checksum holds.
bool ParseHeader(const uint8_t* bytes, THeader& header);
void PutHeader(uint8_t* bytes, const THeader& header);

// The tables a commit over several of them binds, as one journal records them.
struct TCommitRecord {
    uint16_t Self = 0;  // this journal's place; 0 decides the commit
    std::vector<std::array<std::string, kBoundNames>> Tables;
    // Format 4: per table, its files before and after the commit (entries without
    // saved ranges, their images in StateBytes), so that any table's recovery can
    // tell whether a table whose journal is gone was written.
    std::vector<std::vector<TEntry>> States;
    std::vector<uint8_t> StateBytes;
};

// The entries of a payload (and, with a record, the commit record that follows
// them); false when it does not hold together.
bool ParsePayload(const std::vector<uint8_t>& payload, uint32_t count, uint32_t format, std::vector<TEntry>& entries,
                  TCommitRecord* record);
// A commit record on its own (format 3 or 4); false when it does not hold together.
bool ParseRecord(const uint8_t* bytes, std::size_t size, uint32_t format, TCommitRecord& record);

// The commit record's bytes for the table at `self`; names in the folder of the
// journal `own` are kept bare. states: per table the file states its journal
// gives (TTableJournal's FileStates).
std::vector<uint8_t> CommitRecordBytes(uint16_t self, const std::vector<std::array<std::string, kBoundNames>>& tables,
                                       const std::string& own, const std::vector<std::vector<uint8_t>>& states);
// A name of a commit record read from the journal `own`, as a path again.
std::string BoundName(const std::string& stored, const std::string& own);
// The table a data file holds, named as engine messages name tables (the file's
// name without its folder and ".DAT").
std::string TableNameOf(const std::string& dataFile);

// Whether a file is at the state the journal's flush took it from or left it in,
// at one a writer that died in its writes leaves between the two, or at one a
// playback of this journal (complete or not) leaves.
bool FileFits(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file);
// Whether a file is still at the state the flush took it from (or at the one a
// playback of its journal leaves): the flush wrote nothing of it.
bool FileUntouched(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file);
// Whether a file is at the state the flush left it in.
bool FileWritten(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file);

// Puts the saved bytes back and the old length; with bumpCounter the change
// counter then moves past both the old value and the one the flush wrote (the same
// value at every playback of the journal).
bool RollBack(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file, bool bumpCounter);

}  // namespace kura::jnl

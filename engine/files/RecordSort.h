#pragma once
// Physical sort of a data file's records (TDataFile::SortRecords), the step the SQL
// engine takes on its result tables to order, de-duplicate and group rows.
//
// Contract:
// - Live records are rewritten from record 1 in the order of the sort fields; a
//   field's descending flag is byte 253 of its descriptor copy. Records with equal
//   sort fields keep the order of their auto-increment values. Deleted slots never
//   reach the output.
// - Distinct: of records with equal sort fields only the first is output.
// - Grouping (without distinct): the records with equal sort fields form a group,
//   output as one record. Its first record calls Accumulate(first = true, A, B)
//   with B the new group record (A is the previous group's finished record, or B
//   itself for the first group); each further member calls Accumulate(first =
//   false, member, group record). Once a group is complete, Finish and then Filter
//   run on it; Filter false drops it.
// - Without grouping, Finish and Filter run on every output record.
// - A maximum of 0 or more stops the sort once that many records were accepted.
// - Output records are numbered 1..count, the auto-increment value of each equal
//   to its number; the file is cut after the last one, the deleted chain is empty
//   and the owner's record count is set to count.
// - String keys compare case-insensitively on upper-cased copies; the stored
//   records are never changed by the key building. Blank values compare equal to
//   each other whatever bytes their slots hold.
// - A table whose every slot is cached is sorted in memory; any other is read in
//   runs of at most 1 MB (and RecordBufferCount records), each sorted (and folded,
//   for distinct or combinable grouping) and written, one after the other, to one
//   temporary ".TMP" file in the owner's private directory, then merged; while the
//   written runs together fit 1 MB they are kept in memory instead of the file. A group or a run of duplicates that spans runs is merged
//   as one. The run file is deleted on every path; an error leaves the data file
//   partly rewritten.
// - Rows handed to SortRows for DISTINCT or for grouping with FoldOnEntry fold
//   into their run's groups as they come (RecordSortFold.cpp): a run then holds
//   and writes its groups only, exactly the entries its sort and fold would have
//   left, so the output is the same to the bit.
#include <cstdint>
#include <functional>
#include <vector>

#include "engine/files/FieldDesc.h"

namespace kura {

// The callbacks are plain procedures; the first argument is the request's
// CallbackData, then the second argument the table above names, then two record
// buffers (the full record with its 9-byte header).
using TSortAccumulateProc = void (*)(void* data, bool first, uint8_t* recordA, uint8_t* groupRecord);
using TSortFinishProc = void (*)(void* data, void* unused, uint8_t* groupRecord, uint8_t* same);
using TSortFilterProc = bool (*)(void* data, void* unused, uint8_t* record, uint8_t* same);

struct TSortRequest {
    std::vector<TFieldDesc> Fields;  // the table's descriptors; byte 253 set: descending
    bool CaseInsensitive = false;    // for every string sort field
    bool Distinct = false;
    void* CallbackData = nullptr;
    bool Grouping = false;
    TSortAccumulateProc Accumulate = nullptr;
    // Grouping: Accumulate (first = false) may also be handed a member that is
    // itself a group folded so far, as sums and counts allow. Each run then folds
    // its own equal keys before it is written, and the merge folds the runs' groups.
    bool Combinable = false;
    // Combinable grouping whose Accumulate (first = true) leaves the new group's
    // values as they are (no running total carried from the group before): rows
    // handed to SortRows then fold into their groups as they come, each run
    // keeping only its groups, with the same outcome. DISTINCT folds so always.
    bool FoldOnEntry = false;
    bool HasFinish = false;
    TSortFinishProc Finish = nullptr;
    bool HasFilter = false;
    TSortFilterProc Filter = nullptr;
    int32_t MaxRecords = -1;  // -1: no limit
};

// Hands the next record to sort (a record buffer of the file's record size, its
// header ignored), or nullptr after the last one.
using TSortRowSource = std::function<const uint8_t*()>;

struct TSortResult {
    uint32_t InputCount = 0;   // live records sorted
    uint32_t OutputCount = 0;  // records written
    int32_t Runs = 0;          // runs written (0: sorted in memory)
    // Every input slot was live, its auto-increment value equal to its number, and
    // every record was output: a row-identifier index of the table still holds.
    bool RowIdsKept = false;
};

// The layout of one sort key: per field a presence byte and the value's key image,
// then the 4-byte auto-increment tail.
struct TSortSegment {
    uint16_t Offset = 0;        // presence byte in the record
    TEngineFieldType Type = 0;
    uint8_t StoredSize = 0;
    uint8_t DataSize = 0;       // bytes of the key image
    bool Descending = false;
    bool AutoInc = false;       // kept in the record header
};

struct TSortKeyLayout {
    std::vector<TSortSegment> Segments;
    uint16_t LanguageId = 0;
    uint16_t SortId = 0;
    bool CaseInsensitive = false;
    int32_t KeyLength = 4;  // with the tail
    // Plain byte order decides (no locale string segment).
    bool ByteWise = true;
};

// -1/0/1 style result (negative, zero, positive). The tail is compared only when
// includeTail.
int32_t CompareSortKeys(const TSortKeyLayout& layout, const uint8_t* a, const uint8_t* b, bool includeTail);

// Builds the key of a record buffer into key (layout.KeyLength bytes); scratch is a
// work area of at least 256 bytes.
void BuildSortKey(const TSortKeyLayout& layout, const uint8_t* record, uint8_t* key, uint8_t* scratch);

}  // namespace kura

#pragma once
// The working state of one record sort (TDataFile::SortRecords); private to
// RecordSort.cpp (gathering, output rules) and RecordSortRuns.cpp (runs, merge).
//
// Records travel as entries: the record image followed by its sort key. Runs hold
// entries in key order (scrambled like the table when it is encrypted), so a merge
// step never rebuilds a key.
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/files/DataFile.h"
#include "engine/files/RecordSort.h"

namespace kura {

inline constexpr int32_t SORT_RUN_BYTES = 1048576;
inline constexpr int32_t SORT_MERGE_READ_BYTES = 65536;
// The output of an in-memory sort is written in pieces of at most this size.
inline constexpr int32_t SORT_OUTPUT_BYTES = 16 * 1048576;
inline constexpr int32_t DEFAULT_SORT_RECORD_COUNT = 8192;
// A run whose rows show more distinct spellings of their sort fields than this
// stops folding them as they come and is sorted as any other (RecordSortFold.cpp).
inline constexpr uint32_t FOLD_SPELLING_LIMIT = 4096;

// One run in the run file and the part of it read into memory.
struct TSortRun {
    int64_t Start = 0;       // byte offset of its first entry in the run file
    uint32_t Entries = 0;    // in the run
    uint32_t Read = 0;       // taken into Buffer so far
    std::vector<uint8_t> Buffer;
    uint32_t Buffered = 0;   // entries in Buffer
    uint32_t Next = 0;       // index of the current entry in Buffer
};

class TRecordSorter {
public:
    TRecordSorter(TDataFile& file, const TSortRequest& request) : F(file), Q(request) {}
    ~TRecordSorter() { DropRuns(); }
    TRecordSorter(const TRecordSorter&) = delete;
    TRecordSorter& operator=(const TRecordSorter&) = delete;

    TSortResult Run();
    // The records come from `next` instead of the file, which has none (SortRows).
    TSortResult RunRows(const TSortRowSource& next);

private:
    TDataFile& F;
    const TSortRequest& Q;
    TSortKeyLayout L;
    int32_t R = 0;  // record size
    int32_t E = 0;  // entry size: record and key
    bool Encrypted = false;
    std::vector<uint8_t> Scratch = std::vector<uint8_t>(256);
    // Every run goes to one temporary file, one after the other; until the runs
    // outgrow the size of one run they are held in memory instead (no file).
    std::unique_ptr<TFileHandler> RunFile;
    std::vector<uint8_t> HeldRuns;
    int64_t RunFileEnd = 0;
    std::vector<uint8_t> RunImage;  // a run as written
    // The run being gathered: RunFed records taken (at most RunSize), which left
    // RunCount entries (fewer while they fold into their groups).
    int32_t RunSize = 1;
    std::unique_ptr<uint8_t[]> RunEntries;
    uint32_t RunCount = 0;
    uint32_t RunFed = 0;
    std::vector<uint32_t> RunOrder;

    // Folding on entry (RecordSortFold.cpp). Each entry of the run is a group: its
    // first record with the later ones folded in. A record finds its group by the
    // stored bytes of its sort fields (its spelling) in an open-addressed table; a
    // spelling not seen in this run finds it by its key among the groups kept in
    // key order (RunOrder), so that values equal under the collation but stored
    // differently meet, and else starts a group there.
    struct TSpelling {
        uint64_t Hash = 0;
        uint32_t Offset = 0;  // in SpellingBytes
        uint32_t Length = 0;
        uint32_t Group = 0;  // entry number
    };
    bool Folding = false;
    std::vector<TSpelling> Spellings;
    std::vector<uint8_t> SpellingBytes;
    std::vector<uint32_t> SpellingSlots;  // 1 + spelling number; 0 free
    std::vector<uint8_t> Spelling;        // of the record at hand
    std::vector<TSortRun> Runs;
    TSortResult Result;
    bool RowIdsKept = true;

    // Output state.
    std::vector<uint8_t> Out;
    int32_t OutCapacity = 1;  // records
    int32_t OutCount = 0;
    int64_t WritePos = 0;
    bool Stopped = false;
    std::vector<uint8_t> Pending, Previous, PendingKey, LastKey;
    bool HasPending = false, HasPrevious = false, HasLastKey = false;

    void Prepare();
    // The file's end and header after the output; slots: the records sorted.
    TSortResult Complete(uint32_t slots);
    void BuildLayout();
    // Loads one slot image into an entry; false for a deleted slot.
    bool TakeSlot(const uint8_t* slot, uint32_t recordNo, bool scrambled, uint8_t* entry);
    void SortEntries(uint8_t* entries, uint32_t count, std::vector<uint32_t>& order) const;
    void SortInMemory(uint8_t* entries, uint32_t count);
    // Output rules over the entries in that order.
    void OfferInOrder(const uint8_t* entries, const std::vector<uint32_t>& order);
    void SortExternally(uint32_t slots);
    // Runs: records added one by one (AddSlot) make runs of RunSize; a run is sorted
    // and written when the next record finds it full; EndRuns sorts a lone run in
    // memory, else writes the last one and merges them all.
    void StartRuns();
    void AddSlot(const uint8_t* slot, uint32_t recordNo, bool scrambled);
    void FlushRun();
    void EndRuns();
    void FoldRun(uint8_t* entries, std::vector<uint32_t>& order);
    // Folding on entry: whether the request allows it; one record folded into its
    // run's groups (false: the run has stopped folding, the record goes to
    // AddSlot); the run's state made ready for the next run; folding given up.
    bool CanFold() const;
    bool FoldRow(uint8_t* row, uint32_t recordNo);
    void StartFoldedRun();
    void StopFolding();
    void WriteRun(const uint8_t* entries, const std::vector<uint32_t>& order);
    bool FillRun(TSortRun& run);
    void Merge();
    void DropRuns() noexcept;

    void Offer(const uint8_t* entry);
    void CompletePending();
    void Emit(uint8_t* record);
    void FlushOutput();
    void Finish();
};

}  // namespace kura

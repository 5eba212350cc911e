#pragma once
// A key made for one statement: entries of a key of fixed width, a record number
// and the bytes the caller carries with each record (its payload, of fixed width
// too; not compared), ordered by the key and within a key by record number, held
// in the statement's scratch file (ScratchFile.h), so in memory within its limit
// and in its spill file past it. The entries may come in any order; they are
// sorted in runs of which the entries and their sort order take an eighth of the
// limit, and the runs merged, so that sorting takes little more memory than
// holding them does. A search finds a key's first entry through the first key of
// each page, kept in memory (of every so many pages, where they would take more
// than a sixteenth of the limit), and a search of that page or those pages; keys
// that are hashes spread over their range, through a directory of their top bits.
//
// A key is compared by the function given, or, without one, taken as a 32-bit
// number (a hash of the value or the value itself, which the caller's own test of
// each record then decides).
#include <cstdint>
#include <functional>
#include <vector>

namespace kura {

class TScratchFile;

class TStatementKey {
public:
    // <0, 0 or >0 as the first key sorts before, with or after the second.
    using TCompare = std::function<int(const uint8_t*, const uint8_t*)>;
    // region: where in the scratch file the key lies (it takes the bytes from
    // there on; its sorted runs the half beyond REGION_SIZE / 2). spread: the
    // 32-bit keys are hashes (no compare given).
    TStatementKey(TScratchFile& scratch, int64_t region, uint16_t width, uint16_t payload, TCompare compare,
                  bool spread);
    TStatementKey(const TStatementKey&) = delete;
    TStatementKey& operator=(const TStatementKey&) = delete;

    static constexpr int64_t REGION_SIZE = int64_t{1} << 40;

    // payload: the entry's payload bytes (none when the key carries none).
    void Add(const uint8_t* key, uint32_t recordNo, const uint8_t* payload = nullptr);
    // After the last Add: sorts the entries.
    void Finish();
    uint64_t Size() const { return FCount; }
    // Stands before the first entry of the key; Next then hands its records.
    void Seek(const uint8_t* key);
    // The entry's payload bytes lie at payload until the next call on the
    // scratch file.
    bool Next(uint32_t& recordNo, const uint8_t*& payload);
    // Forgets every entry (a key made again).
    void Clear();

private:
    struct TRun {
        int64_t Start = 0;
        uint64_t Count = 0;
    };
    TScratchFile& FScratch;
    int64_t FRegion;
    uint16_t FWidth;
    uint32_t FEntry;     // bytes of an entry: the key, the record number, the payload
    uint32_t FPerPage;   // entries in a page of the sorted key
    TCompare FCompare;
    bool FSpread;
    std::vector<uint8_t> FChunk;  // entries not yet sorted
    std::vector<TRun> FRuns;
    int64_t FRunsEnd = 0;
    // Each run begins after the one before ends (entries that came in order):
    // the runs follow one another in the sorted key.
    bool FRunsInOrder = true;
    std::vector<uint8_t> FLastOfRuns;
    uint64_t FCount = 0;
    std::vector<uint8_t> FFirstKeys;  // the first key of every FStride-th page
    uint64_t FStride = 1;
    // Hashes: the first entry of each run of hashes that share their top FBits
    // bits, so that a search looks at a few entries only.
    std::vector<uint32_t> FDirectory;
    int FBits = 0;
    std::vector<uint8_t> FWanted;
    uint64_t FPosition = 0;
    std::vector<uint8_t> FPage;  // the page of the sorted key being placed

    int CompareKeys(const uint8_t* a, const uint8_t* b) const;
    int CompareEntries(const uint8_t* a, const uint8_t* b) const;
    // The chunk's entries in their order, each handed to put with its number.
    template <typename TPut>
    void SortChunk(TPut put);
    void WriteRun();
    // The runs merged into the sorted key.
    void Merge();
    int64_t EntryOffset(uint64_t i) const;
    const uint8_t* Entry(uint64_t i);
    // Writes the entry as entry i of the sorted key (in order, from the first).
    void Place(uint64_t i, const uint8_t* entry);
    // The entry the last search left off at is the first not below the key.
    bool Follows(const uint8_t* key);
};

}  // namespace kura

#pragma once
// What a joined UPDATE keeps of its rows while it changes them, and how its levels
// find their records meanwhile (the row loop is ExecuteJoinedUpdate, DataChange.h).
// One object lives for the length of the loop; the join engine hands it the
// restarts and steps of the levels it reads (TQueryPlan::Changing).
//
// Every level reads in record order. A level that finds its records by a key
// takes the key's records in record order: through an index as the table is now
// (gathered and sorted; a key of more records than its share of the memory keeps
// their numbers only, sorted as a key made for the statement sorts, and reads
// each by number when its turn comes, which finds it as the restart would have:
// a row changes only the record the changed table's level stands on, which the
// restart has passed, and another name of that table puts back what rows
// changed), or through a key made for the statement (StatementKey.h: the key and
// the record number of each record, and where the statement reads only stored
// columns of the level that are no BLOB, those columns' bytes as the key was
// made, so that a record of the key needs no read; without them its records are
// read by number as the table holds them), read from the key as the level steps,
// so that a key of any number of records takes no memory of its own. A key of an
// integral number is the number itself, so that outer rows that seek their keys
// in order read the key in order.
//
// The changed table's own level, keyed while another table drives, takes the
// records of the key as the rows so far left them: those of the key made when it
// first restarted that hold the key still (the level's conditions test each
// record as it is: a record a row changed is read again), and those a row moved
// to the key since. That list of moved records is bounded: past it the key is
// made again from the table as it is.
//
// Another name of the changed table reads the table as it was when the statement
// started. The table as it is holds the same records; only those a row changed
// differ, and only in the columns the UPDATE writes: their values as they were
// before a row first changed the record (before-images, a BLOB's value whole) are
// kept by record number and put back over the record read (no longer once every
// such level takes its records from a key that carries them as they were). A key
// such a level finds its records by is the table's index where the UPDATE writes
// none of its key (until the level has started its rows again a sixty-fourth of
// the table's records times: then a key made for the statement), and otherwise a
// key made for the statement before the first change; one that no index serves
// (an equality on a text column) is made for the statement too, so that no level
// reads the whole table for every outer row.
//
// The before-images, the keys made for the statement and the record numbers of
// large gathered keys are held as a transaction's changes are: in memory within
// half the session's TransactionMemory, less what the tables held whole, the
// gathered keys' records and the list of moved records take at the most (so that
// with the transaction's own changes and the tables' caches, which take at most
// TransactionMemory, the statement keeps within one and a half times that), in a
// private temporary file past it (ScratchFile.h), removed with the object, when
// the statement fails too, and with the program however it ends.
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/files/ScratchFile.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/StatementKey.h"

namespace kura {

class TChangingRows final : public TLevelReader {
public:
    // Before the first row: the target's level and the fields the UPDATE writes.
    // Another name of the target's table takes here what it needs of the table
    // as it is at the start.
    TChangingRows(TQueryPlan& join, size_t targetLevel, const std::vector<uint16_t>& writtenFields);
    ~TChangingRows() override;
    TChangingRows(const TChangingRows&) = delete;
    TChangingRows& operator=(const TChangingRows&) = delete;

    void Restart(size_t level) override;
    bool Next(size_t level) override;
    const uint8_t* TargetAtRestart(size_t level) const override;
    bool ColumnValue(size_t level, TExpToken* node) override;
    int32_t TargetLevel() const override { return static_cast<int32_t>(FTarget); }

    // Before a row changes the target's record (its level's buffer holds the
    // record as the rows before left it).
    void TargetChanging();
    // Once the target's level holds the record as the row changed it.
    void TargetChanged();
    // The target's own level is read here: a change may move the record it found.
    bool ReadsTarget() const;
    // Some of what is kept went to the spill file (for tests).
    bool Spilled() const { return FScratch.Spilled(); }

private:
    enum class TWay : uint8_t {
        Cursor,  // through the level's cursor, as a SELECT reads it
        Gather,  // the key's records through the index, gathered in record order (or their numbers)
        Scan,    // the whole table in record order
        Keyed,   // the records of a key made for the statement, as it carries them or read by number
    };
    // How a key made for the statement holds a record's key: the column's value
    // as a 32-bit number (an integral one itself, any other hashed), a hash of
    // its text's bytes (where "=" compares bytes), or the value itself in the
    // order of the index or of the text's locale.
    enum class TKeyKind : uint8_t { Hash, TextHash, IndexKey, Text };
    // A stored field the level reads: where it lies in the record, and in the
    // bytes a key made for the statement carries of each record.
    struct TCarried {
        uint16_t Offset = 0;
        uint16_t Size = 0;
    };
    struct TLevel {
        TWay Way = TWay::Cursor;
        // Another name of the changed table that reads a column the UPDATE
        // writes: a record a row changed is read as it was before.
        bool Before = false;
        // Another table held whole in memory, as a SELECT holds it.
        bool Whole = false;
        // The changed table's own keyed level, and whether a row may write its key.
        bool Changing = false;
        bool KeyWritten = false;
        // The fields the statement reads of the level, carried by its key made
        // for the statement (when Carries).
        std::vector<TCarried> Fields;
        bool Carries = false;
        uint16_t CarriedSize = 0;
        // Gather: the key's records and (record number, place) in record order,
        // at most GatherMost of them; past that the restart keeps their numbers
        // only (ByNumber), in Numbers.
        std::vector<uint8_t> Records;
        std::vector<std::pair<uint32_t, uint32_t>> Entries;
        size_t Position = 0;
        size_t GatherMost = 0;
        bool ByNumber = false;
        std::unique_ptr<TStatementKey> Numbers;
        // Keyed: the key, how it is formed, the column and the value it is
        // compared with, and the records of the current restart.
        TKeyKind Kind = TKeyKind::Hash;
        std::unique_ptr<TStatementKey> Key;
        const TExpToken* Column = nullptr;
        const TExpToken* Value = nullptr;
        uint16_t Width = 0;
        bool Built = false;
        // The value sought, where the level's equality is one its memory key
        // decides alone (TPlanTable::HashCondition): a record found under its
        // hash is taken only when its own key is that one.
        THashKey SoughtValue;
        // The value sought is an integral number kept as itself, and so is every
        // record's key as the key was made (none hashed).
        bool SoughtDirect = false;
        bool Hashed = false;
        std::vector<uint8_t> Sought;  // the key bytes sought at the restart
        // The key's records are read from it as the level steps (none left once
        // KeyDone), merged with those a row moved to the key before the restart
        // (MovedHere, in record order); the key's record that comes after the
        // moved one handed out waits in Peeked, with its carried bytes.
        bool KeyDone = true;
        std::vector<uint32_t> MovedHere;
        size_t MovedAt = 0;
        bool Peeked = false;
        uint32_t PeekedNo = 0;
        std::vector<uint8_t> PeekedBytes;
        // Reads the records by number where the level's own cursor stands in an
        // index, which a change would have it find its place in again.
        std::unique_ptr<TDataCursor> Reader;
        uint32_t LastRead = 0;
        // The reader saw every change to the table but the row's about to come:
        // it needs not look for changes again after it.
        bool OnlyThisRow = false;
        // Gather: started again so often against the table's size that a key
        // made for the statement costs less (while no row writes its key).
        uint32_t Restarts = 0;
        uint32_t KeyAfter = UINT32_MAX;
        // The records a row moved to another key since the key was made, by the
        // hash of their new key (at most FMovedLimit).
        std::unordered_multimap<uint32_t, uint32_t> Moved;
        // The target's record when the level restarted, kept once a row changes it.
        std::vector<uint8_t> AtRestart;
        bool RestartPending = false;
        bool RestartKept = false;
    };
    // A field the UPDATE writes as the before-images hold it: its stored bytes
    // (presence byte first), or for a BLOB its value in the BLOB log.
    struct TWritten {
        uint16_t FieldNo = 0;
        uint16_t Offset = 0;
        uint16_t Size = 0;
        bool Blob = false;
        uint8_t SubType = 0;
        uint32_t Slot = 0;  // where in the before-image
    };

    TQueryPlan& FJoin;
    size_t FTarget;
    std::vector<TLevel> FLevels;
    TScratchFile FScratch;
    int64_t FNextRegion = 2;
    std::vector<TWritten> FWritten;
    bool FKeepsBefore = false;
    uint32_t FSlotSize = 0;
    std::vector<uint64_t> FChanged;  // a bit per record number: a row changed it (a before-image is kept)
    int64_t FBlobEnd = 0;
    uint32_t FHashBefore = 0;  // the changing level's key of the record a row is changing
    TExpToken FKeyValue;       // a record's key column, read record after record
    size_t FMovedLimit = 0;

    void Plan(size_t level, const std::vector<uint16_t>& writtenFields);
    // The level reads the changed table under another name.
    bool SameTable(size_t level) const;
    // The stored fields the statement reads of the level, when none is a BLOB
    // or computed.
    void FieldsRead(size_t level);
    void MakeKey(size_t level, TKeyKind kind, const TExpToken* column, const TExpToken* value);
    // The key for an equality of the level's column with a value of the levels
    // before: by text or by the index's key.
    void MakeKeyOf(size_t level, const TExpToken* column, const TExpToken* value);
    void BuildKey(size_t level);
    // The key bytes of the level's record, or of the value the level seeks.
    void RecordKey(size_t level, const uint8_t* record, uint8_t* key);
    bool WantedKey(size_t level, uint8_t* key);
    uint32_t TextHashOf(const TExpToken& value) const;
    void Gather(size_t level);
    // The gathered restart keeps the numbers of its records only, from now on.
    void GatherByNumber(size_t level);
    // The level reads by number through a cursor of its own that stands in no index.
    void ReadInRecordOrder(size_t level);
    // The next record of the level's key at this restart, in record order, and
    // the bytes its key carries of it (nullptr where none or it was moved there).
    bool NextOfKey(TLevel& l, uint32_t& recordNo, const uint8_t*& carried);
    // The record of that number into the level's buffer, as the table holds it;
    // false where it is gone.
    bool ReadByNumber(size_t level, uint32_t recordNo);
    bool IsChanged(uint32_t recordNo) const;
    // The level's buffer: the record of that number as its key carries it.
    void PutCarried(size_t level, uint32_t recordNo, const uint8_t* carried);
    // Before-images are no longer needed once every level that read them takes
    // its records from a key carrying them as they were.
    void DropBeforeImages();
    // The level's record as it was before a row first changed it.
    void PutBefore(size_t level);
    void KeepBefore(const uint8_t* record);
    // The cursor that reads the level's records by number, where one does, on
    // the changed table.
    TDataCursor* ReaderOnTarget(size_t level);
};

}  // namespace kura

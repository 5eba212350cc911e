#pragma once
// Tables for the cursor navigation and key tests, and records written into them
// through the file layer the way the record operations do it: a record slot, one
// key per index and the record's "Sys Deleted" entry, all inside the table's write
// bracket and flushed at its end. Keys are built here from the field values with
// the key encoders, independently of the cursor's own key building, so that the
// tests compare the cursor against a model it did not help to make.
//
// Shared by the cursor tests and the cursor benchmark; uses no test framework.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/KeyEncoding.h"
#include "tests/engine/core/DatabaseTestSupport.h"
#include "tests/engine/files/IndexTestSupport.h"

namespace kura::test {

// Field offsets of the navigation table: Id (32-bit integer), Name (string of 20)
// and Score (32-bit integer).
constexpr int NAV_ID_OFFSET = 9;
constexpr int NAV_NAME_OFFSET = 14;
constexpr int NAV_SCORE_OFFSET = 36;
constexpr uint8_t NAV_NAME_SIZE = 20;

// Index slots of the navigation table.
constexpr uint8_t NAV_PRIMARY = 0;        // Id, unique
constexpr uint8_t NAV_BY_NAME = 1;        // Name, not unique
constexpr uint8_t NAV_BY_NAME_CI = 2;     // Name, not unique, case-insensitive
constexpr uint8_t NAV_BY_SCORE_DESC = 3;  // Score, not unique, descending
constexpr uint8_t NAV_BY_NAME_ID = 4;     // Name and Id, unique

inline TIndexDesc NavIndex(const char* name, std::vector<uint16_t> fields, uint16_t keySize, bool unique,
                           bool descending = false, bool caseInsensitive = false, uint8_t compression = kcNone) {
    TIndexDesc d;
    d.SetName(name);
    d.SetByte(ido::FieldCount, static_cast<uint8_t>(fields.size()));
    for (std::size_t i = 0; i < fields.size(); ++i) d.SetField(static_cast<int>(i), fields[i]);
    d.SetKeySize(keySize);
    d.SetByte(ido::Unique, unique ? 1 : 0);
    d.SetByte(ido::Descending, descending ? 1 : 0);
    d.SetByte(ido::CaseInsensitive, caseInsensitive ? 1 : 0);
    d.SetByte(ido::Compression, compression);
    return d;
}

inline TTableDefinition NavTable() {
    TTableDefinition def;
    int32_t offset = 9;
    auto add = [&](const char* name, TEngineFieldType type, uint8_t size) {
        PlaceField(def, offset, NewField(name, type, size));
    };
    add("Id", fldINT32, 0);
    add("Name", fldZSTRING, NAV_NAME_SIZE);
    add("Score", fldINT32, 0);
    def.Indexes = {NavIndex("", {1}, 5, true),
                   NavIndex("ByName", {2}, 22 + 4, false, false, false, kcBoth),
                   NavIndex("ByNameCI", {2}, 22 + 4, false, false, true, kcLeading),
                   NavIndex("ByScoreDesc", {3}, 5 + 4, false, true),
                   NavIndex("ByNameId", {2, 1}, 22 + 5, true, false, false, kcTrailing)};
    def.Description = "navigation";
    return def;
}

// One record of the model.
struct NavRecord {
    uint32_t RecordNo = 0;
    uint32_t RowId = 0;
    int32_t Id = 0;
    std::string Name;  // empty: blank
    int32_t Score = 0;
};

// The key of one index for a record, from the field values alone.
inline std::vector<uint8_t> NavKey(TDataTable& table, uint8_t slot, const NavRecord& r) {
    TIndexDesc desc;
    table.GetIndexFile().GetIndexDesc(slot, desc);
    std::vector<uint8_t> key(desc.GetKeySize(), 0);
    auto intSegment = [&](int at, int32_t v) {
        key[at] = 1;
        EncodeIntegerKey(v, &key[at + 1]);
    };
    auto nameSegment = [&](int at, bool upper) {
        uint8_t value[NAV_NAME_SIZE + 1] = {};
        std::memcpy(value, r.Name.data(), std::min<std::size_t>(r.Name.size(), NAV_NAME_SIZE));
        key[at] = r.Name.empty() ? 0 : 1;
        FieldValueToKey(fldZSTRING, NAV_NAME_SIZE + 1, value, &key[at], 0, 0, false, upper);
    };
    switch (slot) {
    case NAV_PRIMARY:
        intSegment(0, r.Id);
        break;
    case NAV_BY_NAME:
    case NAV_BY_NAME_CI:
        nameSegment(0, slot == NAV_BY_NAME_CI);
        EncodeIntegerKey(static_cast<int32_t>(r.RowId), &key[22]);
        break;
    case NAV_BY_SCORE_DESC:
        intSegment(0, r.Score);
        EncodeIntegerKey(static_cast<int32_t>(r.RowId), &key[5]);
        break;
    case NAV_BY_NAME_ID:
        nameSegment(0, false);
        intSegment(22, r.Id);
        break;
    default:
        break;
    }
    return key;
}

inline std::vector<uint8_t> RowKey(uint8_t deleted, uint32_t rowId) {
    std::vector<uint8_t> key(SYS_DELETED_KEY_SIZE, 0);
    key[0] = deleted;
    EncodeIntegerKey(static_cast<int32_t>(rowId), &key[1]);
    return key;
}

// Index descent of the fixture: keys compare as bytes, reversed on a descending
// index, which is the engine's comparison for language 0.
class FixtureIndexCursor : public TestIndexCursor {
public:
    FixtureIndexCursor(TIndexFile& file, uint8_t index, bool descending)
        : TestIndexCursor(file, index), Descending(descending) {}
    int32_t CompareKeys(const uint8_t* entryKey, const uint8_t* key, uint16_t keySize) override {
        const int32_t c = TestIndexCursor::CompareKeys(entryKey, key, keySize);
        return Descending ? -c : c;
    }
    bool Descending;
};

// Writes and removes records of a navigation table through its shared table
// object, keeping a model of what the table holds.
class NavFixture {
public:
    explicit NavFixture(TDataTable& table) : Table(table) {}

    uint32_t Add(int32_t id, const std::string& name, int32_t score) {
        Table.BeginWrite();
        TDataFile& data = Table.GetDataFile();
        TRecord* record = nullptr;
        data.AllocateRecord(nullptr, record);
        NavRecord r;
        r.RecordNo = record->GetRecordNumber();
        r.RowId = data.GetNextAutoInc();
        r.Id = id;
        r.Name = name.substr(0, NAV_NAME_SIZE);
        r.Score = score;
        const bool reused = record->IsDeleted();
        const uint32_t oldRowId = record->GetAutoIncValue();
        uint8_t* b = record->GetBuffer();
        std::memset(b, 0, data.GetRecordSize());
        dfbytes::PutU32(b + RH_NUMBER, r.RecordNo);
        dfbytes::PutU32(b + RH_AUTOINC, r.RowId);
        b[NAV_ID_OFFSET] = 1;
        dfbytes::PutU32(b + NAV_ID_OFFSET + 1, static_cast<uint32_t>(id));
        b[NAV_NAME_OFFSET] = r.Name.empty() ? 0 : 1;
        std::memcpy(b + NAV_NAME_OFFSET + 1, r.Name.data(), r.Name.size());
        b[NAV_SCORE_OFFSET] = 1;
        dfbytes::PutU32(b + NAV_SCORE_OFFSET + 1, static_cast<uint32_t>(score));
        record->Modified = 1;
        data.ReleaseRecord(record);
        for (uint8_t slot = 0; slot <= Table.GetIndexCount(); ++slot) Insert(slot, NavKey(Table, slot, r), r.RecordNo);
        if (reused) Delete(SYS_DELETED_SLOT, RowKey(1, oldRowId));
        Insert(SYS_DELETED_SLOT, RowKey(0, r.RowId), r.RecordNo);
        Table.IncRecordCount();
        Table.FlushBuffers(false, true, false, false, true);
        Table.EndWrite();
        Records[r.RecordNo] = r;
        return r.RecordNo;
    }

    void Remove(uint32_t recordNo) {
        const NavRecord r = Records.at(recordNo);
        Table.BeginWrite();
        for (uint8_t slot = 0; slot <= Table.GetIndexCount(); ++slot) Delete(slot, NavKey(Table, slot, r));
        Delete(SYS_DELETED_SLOT, RowKey(0, r.RowId));
        Insert(SYS_DELETED_SLOT, RowKey(1, r.RowId), recordNo);
        TDataFile& data = Table.GetDataFile();
        TRecord* record = nullptr;
        data.ReadRecord(nullptr, recordNo, record, 1, false, false);
        data.FreeRecord(record);
        record->Modified = 1;
        data.ReleaseRecord(record);
        Table.DecRecordCount();
        Table.FlushBuffers(false, true, false, false, true);
        Table.EndWrite();
        Records.erase(recordNo);
    }

    // Record numbers in the order of an index (natural order: 255).
    std::vector<uint32_t> Order(uint8_t slot) const {
        std::vector<NavRecord> all;
        for (const auto& [no, r] : Records) all.push_back(r);
        if (slot != NATURAL_ORDER) {
            TIndexDesc desc;
            Table.GetIndexFile().GetIndexDesc(slot, desc);
            const bool descending = desc.GetByte(ido::Descending) != 0;
            std::sort(all.begin(), all.end(), [&](const NavRecord& a, const NavRecord& b) {
                const auto ka = NavKey(Table, slot, a);
                const auto kb = NavKey(Table, slot, b);
                return descending ? kb < ka : ka < kb;
            });
        }
        std::vector<uint32_t> out;
        for (const auto& r : all) out.push_back(r.RecordNo);
        return out;
    }

    TDataTable& Table;
    std::map<uint32_t, NavRecord> Records;

private:
    bool Descending(uint8_t slot) const {
        TIndexDesc desc;
        Table.GetIndexFile().GetIndexDesc(slot, desc);
        return desc.GetByte(ido::Descending) != 0;
    }
    void Insert(uint8_t slot, const std::vector<uint8_t>& key, uint32_t recordNo) {
        FixtureIndexCursor c(Table.GetIndexFile(), slot, Descending(slot));
        c.Insert(key.data(), recordNo);
    }
    void Delete(uint8_t slot, const std::vector<uint8_t>& key) {
        FixtureIndexCursor c(Table.GetIndexFile(), slot, Descending(slot));
        c.Delete(key.data());
    }
};

// The Id stored in the cursor's current record.
inline int32_t CurrentId(TDataCursor& cursor) {
    return static_cast<int32_t>(dfbytes::GetU32(cursor.GetRecordBuffer() + NAV_ID_OFFSET + 1));
}

// A session with one database in a folder, a navigation table in it held open
// by a fixture, and cursors on that table.
struct NavDb {
    explicit NavDb(const std::string& path, const std::string& tableName = "NAV") : Name(tableName) {
        Session.SetLockRetryCount(2);
        Session.SetLockWaitTime(20);
        Dir = Session.OpenDataDirectory("DB", path);
        TDataTable* created = nullptr;
        if (Dir->CreateTable(created, Name, false, false, NavTable()) != 0) RaiseEngineError(KURA_OSEACCES);
        Dir->CloseTable(created, false, false, false);
        if (Dir->OpenTable(Name, Table, false, false, false, false, false, false) != 0) RaiseEngineError(KURA_OSEACCES);
        Fixture = std::make_unique<NavFixture>(*Table);
    }
    ~NavDb() {
        Fixture.reset();
        if (Table) Dir->CloseTable(Table, false, false, false);
    }
    NavDb(const NavDb&) = delete;
    NavDb& operator=(const NavDb&) = delete;

    std::unique_ptr<TDataCursor> Open() {
        auto cursor = std::make_unique<TDataCursor>(Dir);
        cursor->SetTableName(Name);
        cursor->OpenCursor();
        return cursor;
    }

    std::string Name;
    TDataSession Session;
    TDataDirectory* Dir = nullptr;
    TDataTable* Table = nullptr;
    std::unique_ptr<NavFixture> Fixture;
};

// The record numbers a cursor shows from its first key to its last, stepping
// forward; and the record numbers it reports on the way.
inline std::vector<uint32_t> WalkForward(TDataCursor& c, std::vector<uint32_t>* numbers = nullptr) {
    std::vector<uint32_t> out;
    c.MoveToFirstKey();
    if (c.FBOF && c.FEOF) return out;
    for (;;) {
        out.push_back(c.GetCurrentRecordNumber());
        if (numbers) numbers->push_back(c.GetRecordNumber());
        c.MoveBy(1);
        if (c.FEOF) break;
        if (out.size() > 10'000'000) break;
    }
    return out;
}

inline std::vector<uint32_t> WalkBackward(TDataCursor& c) {
    std::vector<uint32_t> out;
    c.MoveToLastKey();
    if (c.FBOF && c.FEOF) return out;
    for (;;) {
        out.push_back(c.GetCurrentRecordNumber());
        c.MoveBy(-1);
        if (c.FBOF) break;
        if (out.size() > 10'000'000) break;
    }
    std::reverse(out.begin(), out.end());
    return out;
}

}  // namespace kura::test

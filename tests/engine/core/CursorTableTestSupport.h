#pragma once
// Tables for the cursor tests: a definition built field by field (with defaults,
// bounds and indexes), an open database, a cursor on a table, and a plain record
// append that writes the slot and every index key the way a record append does.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/FieldTypes.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/DatabaseTestSupport.h"

namespace kura::test {

class LibraryScope {
public:
    LibraryScope() { InitEngineLibrary(); }
    ~LibraryScope() { DoneEngineLibrary(); }
};

// Fields get offsets in order; indexes get their key sizes from the fields.
class TableBuilder {
public:
    TFieldDesc& Field(const char* name, TEngineFieldType type, uint8_t size = 0, uint8_t decimals = 0) {
        return PlaceField(Def, offset_, NewField(name, type, size, 0, decimals));
    }
    // Slot 0; with no fields the table has no primary index.
    void Primary(const std::vector<uint16_t>& fields) {
        if (Def.Indexes.empty()) Def.Indexes.resize(1);
        Def.Indexes[0] = Desc("", fields, true);
    }
    void Secondary(const char* name, const std::vector<uint16_t>& fields, bool unique) {
        if (Def.Indexes.empty()) Def.Indexes.resize(1);
        Def.Indexes.push_back(Desc(name, fields, unique));
    }
    TIndexDesc Desc(const char* name, const std::vector<uint16_t>& fields, bool unique) const {
        TIndexDesc d;
        d.SetName(name);
        uint16_t size = 0;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            d.SetField(static_cast<int>(i), fields[i]);
            const TFieldDesc& f = Def.Fields[fields[i] - 1];
            size = static_cast<uint16_t>(size + GetFieldDataSize(f.FieldType(), f.StoredSize()) + 1);
        }
        d.SetByte(ido::FieldCount, static_cast<uint8_t>(fields.size()));
        d.SetByte(ido::Unique, unique ? 1 : 0);
        d.SetKeySize(static_cast<uint16_t>(unique ? size : size + 4));
        return d;
    }
    TTableDefinition Def;

private:
    int32_t offset_ = 9;
};

struct TestDb {
    TestDb() {
        session.SetLockRetryCount(1);
        session.SetLockWaitTime(10);
        dir = session.OpenDataDirectory("DB", tmp.path());
    }
    void Create(const std::string& name, const TTableDefinition& def) {
        TDataTable* table = nullptr;
        if (dir->CreateTable(table, name, false, false, def) != 0 || !table)
            throw std::runtime_error("table not created");
        dir->CloseTable(table, false, false, false);
    }
    // As an SQL statement reads it (querySource), unselective conditions go to the record pass.
    std::unique_ptr<TDataCursor> Open(const std::string& name, bool exclusive = true, bool querySource = false) {
        auto cursor = std::make_unique<TDataCursor>(dir);
        cursor->SetTableName(name);
        cursor->SetExclusive(exclusive);
        cursor->SetQuerySource(querySource);
        cursor->OpenCursor();
        return cursor;
    }
    TempDir tmp;
    TDataSession session;
    TDataDirectory* dir = nullptr;
};

// Little-endian stores into a record image.
inline void PutI32(uint8_t* p, int32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
}
inline int32_t GetI32(const uint8_t* p) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | p[i];
    return static_cast<int32_t>(v);
}

// A record image of the cursor's size with fields put through the cursor.
class RecordImage {
public:
    explicit RecordImage(TDataCursor& cursor) : cursor_(cursor), bytes_(cursor.GetCursorRecordSize(), 0) {}
    RecordImage& Int(uint16_t fieldNo, int32_t value) {
        uint8_t v[8] = {};
        PutI32(v, value);
        cursor_.PutTableField(fieldNo, bytes_.data(), v);
        return *this;
    }
    RecordImage& Text(uint16_t fieldNo, const std::string& value) {
        std::vector<char> v(value.begin(), value.end());
        v.resize(260, 0);
        cursor_.PutTableField(fieldNo, bytes_.data(), v.data());
        return *this;
    }
    uint8_t* data() { return bytes_.data(); }

private:
    TDataCursor& cursor_;
    std::vector<uint8_t> bytes_;
};

// Every secondary and primary index key of the record, then its row key in "Sys
// Deleted"; a duplicate in a unique index raises before anything is written.
inline uint32_t AppendPlain(TDataCursor& c, const uint8_t* image) {
    TDataTable& table = *c.GetTable();
    const uint8_t saved = c.GetCurrentIndexNo();
    c.BeginWrite();
    TRecord* record = nullptr;
    uint32_t recordNo = 0;
    try {
        while (!c.AllocateRecord(record)) {
        }
        recordNo = record->GetRecordNumber();
        const bool reused = record->IsDeleted();
        std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE> oldRowKey{};
        if (reused) {
            c.SetIndexNumber(SYS_DELETED_SLOT);
            c.BuildRowIdKey(record->GetBuffer(), oldRowKey.data());
        }
        const uint32_t autoInc = table.GetLastAutoInc() + 1;
        table.SetLastAutoInc(autoInc);
        std::vector<uint8_t> fresh(image, image + table.GetRecordSize());
        fresh[RH_DELETED] = 0;
        for (int i = 0; i < 4; ++i) fresh[RH_NUMBER + i] = static_cast<uint8_t>(recordNo >> (8 * i));
        for (int i = 0; i < 4; ++i) fresh[RH_AUTOINC + i] = static_cast<uint8_t>(autoInc >> (8 * i));
        std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE> key{};
        const uint8_t count = table.GetIndexCount();
        for (int pass = 0; pass < 2; ++pass) {
            for (uint8_t slot = 0; slot <= count; ++slot) {
                if (slot == 0 && table.GetNoPrimaryIndex()) continue;
                c.SetIndexNumber(slot);
                key.fill(0);
                c.BuildIndexKey(fresh.data(), key.data());
                if (pass == 0 && c.IsKeyViolation(key.data())) c.RaiseKeyViolation();
                if (pass == 1) c.InsertIndexKey(key.data(), recordNo);
            }
        }
        c.SetIndexNumber(SYS_DELETED_SLOT);
        key.fill(0);
        c.BuildRowIdKey(fresh.data(), key.data());
        if (reused)
            c.DeleteIndexKey(oldRowKey.data(), key.data(), recordNo);
        else
            c.InsertIndexKey(key.data(), recordNo);
        std::memcpy(record->GetBuffer(), fresh.data(), fresh.size());
        record->Modified = 1;
        c.ReleaseRecord(record);
        c.IncRecordCount();
    } catch (...) {
        if (record) c.ReleaseRecord(record);
        c.SetIndexNumber(saved);
        c.EndWrite();
        throw;
    }
    c.SetIndexNumber(saved);
    c.EndWrite();
    return recordNo;
}

// Calls visit(page, i) for every key i of index `slot`, in key order, walked leaf
// by leaf from the leftmost leaf.
template <class F>
void ForEachKey(TDataCursor& c, uint8_t slot, F&& visit) {
    TIndexFile& file = c.GetTable()->GetIndexFile();
    const uint8_t saved = c.FIndexNo;
    c.FIndexNo = slot;
    uint32_t pageNo = file.GetRootPage(slot);
    while (pageNo != 0) {
        TPage* page = nullptr;
        file.ReadPage(c, pageNo, page, false);
        if (page->IsLeaf()) {
            for (uint32_t i = 1; i <= page->KeyCount; ++i) visit(*page, i);
            pageNo = page->NextPage;
        } else {
            pageNo = page->GetRecordNo(1);
        }
        file.ReleasePage(page);
    }
    c.FIndexNo = saved;
}

// The record numbers of every key of index `slot`, in key order.
inline std::vector<uint32_t> KeysOf(TDataCursor& c, uint8_t slot) {
    std::vector<uint32_t> result;
    ForEachKey(c, slot, [&](TPage& page, uint32_t i) { result.push_back(page.GetRecordNo(i)); });
    return result;
}

// Steps through the records from the start to the one whose 32-bit field
// `idField` holds id and reads it into `record`; false when there is none.
inline bool SeekRecordById(TDataCursor& c, uint16_t idField, int32_t id, std::vector<uint8_t>& record) {
    record.assign(c.GetCursorRecordSize(), 0);
    c.SetToBegin();
    while (c.GetNextRecord(record.data()) == 0) {
        uint8_t v[8] = {};
        bool blank = true;
        c.GetField(idField, record.data(), v, blank);
        if (GetI32(v) == id) return true;
    }
    return false;
}

}  // namespace kura::test

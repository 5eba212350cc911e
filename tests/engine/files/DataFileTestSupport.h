#pragma once
// Test doubles of the owning table and the reading cursor of a data file, a schema
// builder that lays fields out as table creation does, and the file registry the
// file layer needs.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "engine/files/DataFile.h"
#include "engine/files/EngineFile.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/EngineTestSupport.h"

namespace kura::test {

using RegistryEnvironment = FileListEnvironment;

struct TestOwner : TDataFileOwner {
    std::string Name = "STAFF";
    bool Remote = false;
    int32_t BufferSize = 16384;
    int32_t BufferCount = 8192;
    bool Strict = false;
    bool ForceFlush = false;
    bool Written = false;
    bool Transaction = false;
    bool NoPrimary = false;

    std::string GetTableName() const override { return Name; }
    TTableErrorContext GetErrorContext() const override { return {"", "", "DB"}; }
    bool IsRemote() const override { return Remote; }
    int32_t GetRecordBufferSize() const override { return BufferSize; }
    int32_t GetRecordBufferCount() const override { return BufferCount; }
    bool GetStrictChangeDetection() const override { return Strict; }
    bool GetForceBufferFlush() const override { return ForceFlush; }
    bool GetFilesWritten() const override { return Written; }
    void SetFilesWritten() override { Written = true; }
    bool InTransaction() const override { return Transaction; }
    bool GetNoPrimaryIndex() const override { return NoPrimary; }
};

struct TestCursor : TDataFileCursor {
    std::function<bool()> OnBeginRead;
    int32_t ReadAhead = 1;
    int BeginReads = 0;
    bool CheckBeforeCacheMiss() override {
        ++BeginReads;
        return OnBeginRead ? OnBeginRead() : false;
    }
    int32_t GetReadAheadCount(int32_t maximum, int32_t) override { return std::min(ReadAhead, maximum); }
};

// Fields laid out one after the other from offset 9; the auto-increment field sits
// in the record header.
class Schema {
public:
    Schema& Add(const std::string& name, TEngineFieldType type, uint8_t declaredSize = 0,
                TEngineFieldSubtype subType = 0, uint8_t decimals = 0) {
        TFieldDesc d;
        d.SetFieldNo(static_cast<uint16_t>(Fields.size() + 1));
        d.SetName(name);
        d.SetFieldType(type);
        d.SetSubType(subType);
        d.SetDeclaredSize(declaredSize);
        d.SetDeclaredDecimals(decimals);
        d.SetStoredSize(static_cast<uint8_t>(GetFieldPhysicalSize(type, declaredSize)));
        d.SetStoredDecimals(decimals);
        if (d.IsAutoInc()) {
            d.SetOffset(5);
        } else {
            d.SetOffset(static_cast<uint16_t>(next_));
            next_ += d.StoredSize() + 1;
        }
        Fields.push_back(d);
        return *this;
    }
    TFieldDesc& Last() { return Fields.back(); }
    int32_t RecordSize() const { return next_; }
    std::vector<TFieldDesc> Fields;

private:
    int32_t next_ = 9;
};

inline Schema SmallSchema() {
    Schema s;
    s.Add("ID", fldINT32, 0, fldstAUTOINC).Add("NAME", fldZSTRING, 10);
    return s;
}

// A new, written, closed data file.
inline void CreateTable(const std::string& path, const Schema& schema, bool encrypted = false,
                        TDataFileOwner* owner = nullptr) {
    TDataFile f(owner);
    f.FileName = path;
    f.Clock = [] { return 45000.5; };
    f.CreateHeader(0, 0, schema.Fields, 1024, "Staff master", "secret", encrypted, 2, 7);
    f.WriteHeader(true);
    f.WriteFieldDescs();
    f.CloseFile();
}

inline constexpr auto& ReadAll = ReadFileBytes;
inline constexpr auto& WriteAll = WriteFileBytes;

}  // namespace kura::test

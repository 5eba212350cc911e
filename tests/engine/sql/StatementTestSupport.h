#pragma once
// A database in a scratch folder with a statement runner, and the rows of a table
// read straight through a cursor (natural order), each row as its field texts
// joined with "|", NULL for a blank field.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/EngineLibrary.h"
#include "engine/files/Bcd.h"
#include "engine/errors/EngineErrors.h"
#include "engine/sql/QueryStatement.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/DatabaseTestSupport.h"

namespace kura::test {

struct SqlError {
    TEngineErrorCode Code = 0;
    std::string Message;  // the SQL message (context slot 6)
};

// One field of the record as text: NULL when blank, a BLOB's bytes as they are.
inline std::string CursorFieldText(TDataCursor& cursor, uint16_t n, uint8_t* record) {
    TFieldDesc desc;
    cursor.GetFieldDesc(n, desc);
    uint8_t value[512] = {};
    bool blank = true;
    if (desc.FieldType() == fldBLOB) {
        cursor.GetField(n, record, nullptr, blank);
        if (blank) return "NULL";
        uint32_t size = 0;
        if (cursor.OpenBlob(n, record, 1, false, false, size) != 0) return "?";
        std::string text(size, '\0');
        uint32_t read = 0;
        if (size > 0) cursor.GetBlob(n, record, 0, text.data(), size, read, false);
        cursor.FreeBlob(n, record, false);
        return text;
    }
    cursor.GetField(n, record, value, blank);
    if (blank) return "NULL";
    char text[64];
    switch (desc.FieldType()) {
        case fldZSTRING: return std::string(reinterpret_cast<const char*>(value));
        case fldINT16: {
            int16_t v;
            std::memcpy(&v, value, 2);
            return std::to_string(v);
        }
        case fldUINT16: {
            uint16_t v;
            std::memcpy(&v, value, 2);
            return std::to_string(v);
        }
        case fldBOOL: {
            int16_t v;
            std::memcpy(&v, value, 2);
            return v ? "T" : "F";
        }
        case fldINT32:
        case fldDATE:
        case fldTIME: {
            int32_t v;
            std::memcpy(&v, value, 4);
            return std::to_string(v);
        }
        case fldINT64: {
            int64_t v;
            std::memcpy(&v, value, 8);
            return std::to_string(v);
        }
        case fldFLOAT:
        case fldTIMESTAMP: {
            double v;
            std::memcpy(&v, value, 8);
            std::snprintf(text, sizeof text, "%g", v);
            return text;
        }
        case fldBCD: {
            // Ten-thousandths, written without trailing zeros.
            TCurrency c = 0;
            if (!BCDToCurrValue(value, c)) return "?";
            const uint64_t magnitude = c < 0 ? 0 - static_cast<uint64_t>(c) : static_cast<uint64_t>(c);
            std::string s = (c < 0 ? "-" : "") + std::to_string(magnitude / 10000);
            std::string decimals = std::to_string(10000 + magnitude % 10000).substr(1);
            while (!decimals.empty() && decimals.back() == '0') decimals.pop_back();
            return decimals.empty() ? s : s + "." + decimals;
        }
        default: return "?";
    }
}

class SqlDatabase {
public:
    SqlDatabase() : db_(tmp_.path()) {}

    TDataDirectory& Dir() { return *db_.dir; }
    TDataSession& Session() { return db_.session; }
    const std::string& Path() const { return tmp_.path(); }

    // Runs the whole text; the rows it reports as affected.
    uint32_t Run(const std::string& sql) {
        TQueryStatement statement(db_.dir);
        statement.Prepare(sql);
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
        return statement.RowsAffected();
    }

    // The rows of a SELECT as a dataset sees them: every field of the result cursor
    // that is not hidden, in field order (names, when asked, the same way).
    std::vector<std::string> Select(const std::string& sql, std::vector<std::string>* names = nullptr) {
        TQueryStatement statement(db_.dir);
        statement.Prepare(sql);
        TDataCursor* cursor = nullptr;
        statement.Execute(cursor);
        return VisibleRows(*cursor, names);
    }

    static std::vector<std::string> VisibleRows(TDataCursor& cursor, std::vector<std::string>* names = nullptr) {
        std::vector<uint16_t> fields;
        if (names) names->clear();
        for (uint16_t n = 1; n <= cursor.GetCursorFieldCount(); ++n) {
            TFieldDesc desc;
            cursor.GetFieldDesc(n, desc);
            if (desc.Bytes[fdo::Hidden] != 0) continue;
            fields.push_back(n);
            if (names) names->push_back(desc.Name());
        }
        std::vector<uint8_t> record(cursor.GetCursorRecordSize() + 16, 0);
        std::vector<std::string> rows;
        cursor.SetToBegin();
        while (cursor.GetNextRecord(record.data()) == 0) {
            std::string row;
            for (size_t i = 0; i < fields.size(); ++i) {
                if (i > 0) row += "|";
                row += CursorFieldText(cursor, fields[i], record.data());
            }
            rows.push_back(row);
        }
        return rows;
    }

    // The error the text raises; code 0 when it runs.
    SqlError ErrorOf(const std::string& sql) {
        try {
            Run(sql);
        } catch (const EKuraEngineError& e) {
            return {e.ErrorCode(), e.ErrorContext(ctxMessage)};
        }
        return {};
    }

    std::vector<std::string> Rows(const std::string& table) {
        TDataCursor cursor(db_.dir);
        cursor.SetTableName(table);
        cursor.SetReadOnly(true);
        cursor.OpenCursor();
        cursor.SwitchToIndex(NATURAL_ORDER);
        std::vector<uint8_t> record(cursor.GetCursorRecordSize() + 16, 0);
        std::vector<std::string> rows;
        cursor.SetToBegin();
        while (cursor.GetNextRecord(record.data()) == 0) {
            std::string row;
            for (uint16_t n = 1; n <= cursor.GetFieldCount(); ++n) {
                if (n > 1) row += "|";
                row += CursorFieldText(cursor, n, record.data());
            }
            rows.push_back(row);
        }
        cursor.CloseCursor(false);
        return rows;
    }

    std::vector<std::string> ColumnNames(const std::string& table) {
        TDataCursor cursor(db_.dir);
        cursor.SetTableName(table);
        cursor.SetReadOnly(true);
        cursor.OpenCursor();
        std::vector<std::string> names;
        for (uint16_t n = 1; n <= cursor.GetFieldCount(); ++n) {
            TFieldDesc desc;
            cursor.GetFieldDesc(n, desc);
            names.push_back(desc.Name());
        }
        cursor.CloseCursor(false);
        return names;
    }

private:
    TempDir tmp_;
    SessionDb db_;
};

}  // namespace kura::test

#pragma once
// A database for the SELECT tests: tables made from column lists and filled with
// rows of optional values, and SQL run straight through the planner and executor
// with the result read back as text rows (NULL as "NULL") and column names.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ValueAccess.h"
#include "engine/sql/QueryPlan.h"
#include "engine/files/Bcd.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"
#include "tests/engine/core/CursorTableTestSupport.h"

namespace kura::selecttest {

using Value = std::optional<std::variant<int64_t, double, std::string>>;
using Row = std::vector<Value>;
using TextRows = std::vector<std::vector<std::string>>;

struct Column {
    const char* name;
    TEngineFieldType type;
    uint8_t size = 0;
    uint8_t decimals = 0;
};

inline std::string FormatDouble(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

// The engine library for as long as any database of a test lives (a test may hold
// two, one on disk and one in memory).
class SharedLibrary {
public:
    SharedLibrary() {
        if (Users()++ == 0) InitEngineLibrary();
    }
    ~SharedLibrary() {
        if (--Users() == 0) DoneEngineLibrary();
    }
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

private:
    static int& Users() {
        static int users = 0;
        return users;
    }
};

class SqlDb {
public:
    // inMemory: the tables live in the in-memory database, which is also the
    // statements' own database (names without MEMORY find them there).
    explicit SqlDb(bool inMemory = false) : inMemory_(inMemory) {
        session_.SetLockRetryCount(1);
        session_.SetLockWaitTime(10);
        session_.SetPrivateDir(tmp_.path());
        dir_ = inMemory ? OpenMemoryDatabase(session_) : session_.OpenDataDirectory("DB", tmp_.path());
    }
    // In-memory tables outlive the session: they go with the database that made them.
    ~SqlDb() {
        statement_.reset();
        for (const std::string& name : created_)
            if (inMemory_) dir_->DeleteTable(name, true);
    }

    // Secondary indexes are given by 1-based field numbers, one field each,
    // ascending or all descending.
    void Create(const std::string& name, const std::vector<Column>& columns, const std::vector<uint16_t>& indexed = {},
                bool descending = false, uint16_t localeId = 0) {
        test::TableBuilder b;
        b.Def.LocaleId = localeId;
        for (const Column& c : columns) b.Field(c.name, c.type, c.size, c.decimals);
        for (uint16_t f : indexed) b.Secondary(("ix" + std::to_string(f)).c_str(), {f}, false);
        for (size_t i = 1; i < b.Def.Indexes.size(); ++i) b.Def.Indexes[i].SetByte(ido::Descending, descending ? 1 : 0);
        TDataTable* table = nullptr;
        if (dir_->CreateTable(table, name, inMemory_, false, b.Def) != 0 || !table)
            throw std::runtime_error("table not created");
        dir_->CloseTable(table, false, false, false);
        created_.push_back(name);
    }

    void Insert(const std::string& name, const std::vector<Row>& rows) {
        TDataCursor c(dir_);
        c.SetTableName(name);
        c.SetInMemory(inMemory_);
        c.OpenCursor();
        std::vector<uint8_t> record(c.GetRecordSize() + 16u, 0);
        for (const Row& row : rows) {
            c.InitRecord(record.data());
            for (size_t i = 0; i < row.size(); ++i) {
                const auto n = static_cast<uint16_t>(i + 1);
                if (!row[i]) {
                    c.PutField(n, record.data(), nullptr);
                    continue;
                }
                TFieldDesc d;
                c.GetFieldDesc(n, d);
                uint8_t bytes[300] = {};
                const auto& v = *row[i];
                switch (d.FieldType()) {
                    case fldZSTRING: {
                        const std::string& s = std::get<std::string>(v);
                        std::memcpy(bytes, s.data(), std::min<size_t>(s.size(), 290));
                        break;
                    }
                    case fldFLOAT: {
                        const double x = std::holds_alternative<double>(v) ? std::get<double>(v)
                                                                           : static_cast<double>(std::get<int64_t>(v));
                        std::memcpy(bytes, &x, 8);
                        break;
                    }
                    case fldBCD: {
                        const double x = std::holds_alternative<double>(v) ? std::get<double>(v)
                                                                           : static_cast<double>(std::get<int64_t>(v));
                        CurrToBCDValue(static_cast<TCurrency>(std::llround(x * 10000)), d.StoredDecimals(), bytes);
                        break;
                    }
                    case fldINT16:
                    case fldBOOL: {
                        const auto x = static_cast<int16_t>(std::get<int64_t>(v));
                        std::memcpy(bytes, &x, 2);
                        break;
                    }
                    case fldINT64: {
                        const int64_t x = std::get<int64_t>(v);
                        std::memcpy(bytes, &x, 8);
                        break;
                    }
                    default: {
                        const auto x = static_cast<int32_t>(std::get<int64_t>(v));
                        std::memcpy(bytes, &x, 4);
                        break;
                    }
                }
                c.PutField(n, record.data(), bytes);
            }
            c.AppendRecord(record.data(), false);
        }
        c.CloseCursor(false);
    }

    TQueryContext Context() {
        TQueryContext context;
        context.Session = &session_;
        context.Database = dir_;
        if (onProgress) context.Progress = onProgress;
        return context;
    }

    // Parses and runs one SELECT (asking for a live result when live); the
    // statement keeps the result cursor.
    TDataCursor* Run(const std::string& text, bool live = false) {
        statement_ = std::make_unique<TQueryStatement>(inMemory_ ? dir_ : nullptr);
        statement_->Tokenizer().Clock = [] { return 45000.5; };
        statement_->ParseFirst(text);
        if (live) statement_->MasterQuery()->LiveRequest = 1;
        result_ = RunSelectStatement(*statement_, Context());
        return result_;
    }

    TextRows Rows(const std::string& text) { return Read(Run(text)); }
    // The plan of the last query run.
    const TQueryPlan& Plan() const { return *statement_->MasterQuery()->Plan; }

    std::vector<std::string> Names() const {
        std::vector<std::string> names;
        TDataCursor* c = result_;
        for (const TPlanColumn& col : statement_->MasterQuery()->Plan->Columns) {
            TFieldDesc d;
            c->GetFieldDesc(col.ResultNo, d);
            names.push_back(d.Name());
        }
        return names;
    }

    // The error code and message a text raises; 0 and "" when it runs.
    std::pair<TEngineErrorCode, std::string> Error(const std::string& text) {
        try {
            Run(text);
        } catch (const EKuraEngineError& e) {
            return {e.ErrorCode(), e.ErrorContext(ctxMessage)};
        }
        return {0, ""};
    }

    // Visible columns only (hidden AVG helpers are left out).
    TextRows Read(TDataCursor* c) const {
        std::vector<uint16_t> fields;
        for (const TPlanColumn& col : statement_->MasterQuery()->Plan->Columns) fields.push_back(col.ResultNo);
        return ReadFields(c, fields);
    }

    // What a dataset sees of a cursor: every field not marked hidden, in field
    // order, with their names (a live result shows its select list this way).
    TextRows ReadVisible(TDataCursor* c, std::vector<std::string>* names = nullptr) const {
        std::vector<uint16_t> fields;
        if (names) names->clear();
        for (uint16_t n = 1; n <= c->GetCursorFieldCount(); ++n) {
            TFieldDesc d;
            c->GetFieldDesc(n, d);
            if (d.Bytes[252] != 0) continue;
            fields.push_back(n);
            if (names) names->push_back(d.Name());
        }
        return ReadFields(c, fields);
    }

    // Every record of the cursor as text, the given fields in order.
    static TextRows ReadFields(TDataCursor* c, const std::vector<uint16_t>& fields) {
        TextRows rows;
        std::vector<uint8_t> record(c->GetCursorRecordSize() + 16u, 0);
        c->SetToBegin();
        while (c->GetNextRecord(record.data()) == 0) {
            std::vector<std::string> row;
            for (uint16_t n : fields) {
                TFieldDesc d;
                c->GetFieldDesc(n, d);
                TExpToken t;
                t.FieldNumber = n;
                t.DataType = d.FieldType();
                t.DataSubtype = d.SubType();
                t.DataSize = d.FieldType() == fldBCD ? 34 : d.StoredSize();
                t.Scale = d.StoredDecimals();
                c->GetFieldValue(record.data(), &t);
                row.push_back(t.IsNull ? "NULL" : Format(t));
            }
            rows.push_back(row);
        }
        return rows;
    }

    static std::string Format(const TExpToken& t) {
        switch (t.DataType) {
            case fldZSTRING: return std::string(exv::TextView(t));
            case fldBLOB: return std::string(reinterpret_cast<const char*>(t.Value.data()), static_cast<size_t>(std::max(t.DataSize, 0)));
            case fldFLOAT:
            case fldTIMESTAMP: return FormatDouble(exv::Load<double>(t));
            case fldBCD: return FormatDouble(static_cast<double>(exv::Float(t)));
            default: return std::to_string(exv::Integer(t));
        }
    }

    bool InMemory() const { return inMemory_; }
    TDataSession& Session() { return session_; }
    TDataDirectory* Dir() { return dir_; }
    const std::string& Path() const { return tmp_.path(); }
    TQueryStatement& Statement() { return *statement_; }
    std::function<void(uint16_t, bool&)> onProgress;

private:
    bool inMemory_ = false;
    std::vector<std::string> created_;
    SharedLibrary library_;
    test::TempDir tmp_;
    TDataSession session_;
    TDataDirectory* dir_ = nullptr;
    std::unique_ptr<TQueryStatement> statement_;
    TDataCursor* result_ = nullptr;
};

}  // namespace kura::selecttest

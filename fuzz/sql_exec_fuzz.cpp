// SQL statements run, not only parsed, against a small fixture database in the
// in-memory database: three tables with indexes, NULLs, DECIMAL, DATE, TIMESTAMP,
// MEMO and code page 932 text. An input is either a statement text (the seeds and
// what mutations make of them) or, after a first byte 0xFF, the choices of a
// grammar that writes statements of every kind: sub-queries with UNION chains,
// aggregates with GROUP BY and HAVING, joins, DECIMAL arithmetic, text functions
// on double-byte text, MEMORY tables, INTO, "?" marks with and without values in
// every use a condition or a value gives them (comparisons with columns of every
// type, IN lists, BETWEEN, LIKE, arithmetic, functions, CAST, join conditions,
// VALUES and SET), bound to values of every type (NULLs, texts that read as
// numbers, dates and times or not, texts without their terminating zero, memos,
// bytes) chosen by the input's last bytes.
//
// Every statement must end in rows or an engine error, never in a crash, a hang or
// undefined behaviour; an SQL message is never empty nor longer than 255 bytes;
// every expression node taken from the pool comes back; every result row and field
// reads back; no result table is left behind in the session's work folder. Limits keep
// each input small: at most six statements, three tables in a query and eight
// queries in a statement, 500 rows in a result, and a quarter of a second per
// statement, after which its row loop is aborted. The engine may touch no file
// outside its scratch folder, and an input that changed the fixture gets a fresh
// engine.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpTokenPool.h"
#include "engine/files/Bcd.h"
#include "engine/files/NameRoutines.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"
#include "platform/FileCalls.h"

namespace {

using namespace kura;

void Check(bool condition) {
    if (!condition) std::abort();
}

// ---- The scratch folder, the only place the engine may write

std::string& Scratch() {
    static std::string path;
    return path;
}

bool Inside(const char* path) {
    const std::string& root = Scratch();
    return path && std::strncmp(path, root.c_str(), root.size()) == 0 && path[root.size()] == '/' &&
           std::strstr(path, "..") == nullptr;
}

int GuardedOpen(const char* path, int flags, mode_t mode) {
    if (!Inside(path)) {
        errno = EACCES;
        return -1;
    }
    return platform::SystemFileCalls().open(path, flags, mode);
}
int GuardedUnlink(const char* path) {
    if (!Inside(path)) {
        errno = EACCES;
        return -1;
    }
    return platform::SystemFileCalls().unlink(path);
}
int GuardedRename(const char* from, const char* to) {
    if (!Inside(from) || !Inside(to)) {
        errno = EACCES;
        return -1;
    }
    return platform::SystemFileCalls().rename(from, to);
}
int GuardedRenameNoReplace(const char* from, const char* to) {
    if (!Inside(from) || !Inside(to)) {
        errno = EACCES;
        return -1;
    }
    return platform::SystemFileCalls().renameNoReplace(from, to);
}
int GuardedLink(const char* from, const char* to) {
    if (!Inside(from) || !Inside(to)) {
        errno = EACCES;
        return -1;
    }
    return platform::SystemFileCalls().link(from, to);
}

// Calls visit(name, is a folder) for each entry of the folder.
template <typename Visit>
void ForEachEntry(const std::string& folder, Visit visit) {
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
            struct stat st {};
            const std::string path = folder + "/" + entry->d_name;
            visit(path, lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
        }
        closedir(dir);
    }
}

void RemoveScratch() {
    if (Scratch().empty()) return;
    ForEachEntry(Scratch(), [](const std::string& path, bool folder) {
        if (folder) {
            ForEachEntry(path, [](const std::string& file, bool) { platform::SystemFileCalls().unlink(file.c_str()); });
            rmdir(path.c_str());
        } else {
            platform::SystemFileCalls().unlink(path.c_str());
        }
    });
    rmdir(Scratch().c_str());
}

// The files in the scratch folder and in the session's work folder in it (the
// folder itself and the lock file that marks it live as long as the session).
size_t ScratchEntries() {
    size_t count = 0;
    ForEachEntry(Scratch(), [&](const std::string& path, bool folder) {
        if (folder) ForEachEntry(path, [&](const std::string&, bool) { ++count; });
        else if (path.size() < 4 || path.compare(path.size() - 4, 4, ".LCK") != 0) ++count;
    });
    return count;
}

void MakeScratch() {
    const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = std::string(base) + "/kura-sqlexec-fuzz-XXXXXX";
    Check(mkdtemp(pattern.data()) != nullptr);
    Scratch() = pattern;
    std::atexit(RemoveScratch);
    platform::FileCallTable& calls = platform::FileCalls();
    calls.open = &GuardedOpen;
    calls.unlink = &GuardedUnlink;
    calls.rename = &GuardedRename;
    calls.renameNoReplace = &GuardedRenameNoReplace;
    calls.link = &GuardedLink;
}

// ---- The fixture

const char* const FixtureSql[] = {
    "CREATE TABLE emp (id INTEGER, name CHAR(12), dept INTEGER, pay DECIMAL(10,2), born DATE, note MEMO, "
    "PRIMARY KEY (id))",
    "CREATE INDEX emp_dept ON emp (dept)",
    "CREATE NOCASE INDEX emp_name ON emp (name)",
    "INSERT INTO emp VALUES (1, 'Ann', 10, 100.5, '2001-02-03', 'first')",
    "INSERT INTO emp VALUES (2, 'Bob', 20, 200.25, '1999-12-31', NULL)",
    "INSERT INTO emp VALUES (3, 'cid', 10, NULL, NULL, 'x')",
    "INSERT INTO emp VALUES (4, 'Dee', NULL, 50, '2010-06-30', NULL)",
    "INSERT INTO emp VALUES (5, '\x8E\x52\x93\x63\x91\xBE', 30, 81.25, '1980-01-01', '\x83\x5C\x83\x41')",
    "INSERT INTO emp VALUES (6, '\xEA\xA3\x83\x41\xB1', 20, -7.75, NULL, NULL)",
    "INSERT INTO emp VALUES (7, NULL, 30, 0, '2020-02-29', 'seven')",
    "INSERT INTO emp VALUES (8, '\x81\x40" "Eve\x81\x40', 40, 999.99, '1970-01-01', NULL)",
    "CREATE TABLE dept (k INTEGER, title CHAR(8), boss INTEGER)",
    "CREATE INDEX dept_k ON dept (k)",
    "INSERT INTO dept VALUES (10, 'Sales', 1)",
    "INSERT INTO dept VALUES (20, '\x8A\x4A\x94\xAD', 2)",
    "INSERT INTO dept VALUES (30, 'Ops', NULL)",
    "INSERT INTO dept VALUES (NULL, 'None', 4)",
    "INSERT INTO dept VALUES (50, NULL, 9)",
    "CREATE TABLE tags (id INTEGER, tag CHAR(6), at TIMESTAMP, flag BOOLEAN, amount FLOAT)",
    "INSERT INTO tags VALUES (1, 'a', '2001-02-03 04:05:06', TRUE, 1.5)",
    "INSERT INTO tags VALUES (1, 'b', NULL, FALSE, -2)",
    "INSERT INTO tags VALUES (3, NULL, '1999-01-01 00:00:00', NULL, NULL)",
    "INSERT INTO tags VALUES (5, '\x83\x5C', '2020-02-29 23:59:59', TRUE, 1e10)",
    "INSERT INTO tags VALUES (NULL, 'z', NULL, FALSE, 0)",
};

struct TFixture {
    TFixture() {
        InitEngineLibrary();
        session = std::make_unique<TDataSession>();
        session->SetPrivateDir(Scratch());
        session->SetProgressSteps(100);
        session->SetLockRetryCount(1);
        session->SetLockWaitTime(1);
        memory = OpenMemoryDatabase(*session);
        for (const char* sql : FixtureSql) {
            TQueryStatement statement(memory);
            statement.Prepare(sql);
            TDataCursor* cursor = nullptr;
            statement.Execute(cursor);
        }
    }
    ~TFixture() {
        if (memory->InTransaction()) memory->Rollback();
        session->CloseDataDirectory(memory);
        session.reset();
        DoneEngineLibrary();
    }
    std::unique_ptr<TDataSession> session;
    TDataDirectory* memory = nullptr;
};

// ---- The grammar: statements written from the input's choices

class TWriter {
public:
    TWriter(const uint8_t* data, size_t size) : FData(data), FSize(size) {}

    std::string Text() {
        std::string text;
        const int count = 1 + Pick(3);
        for (int i = 0; i < count; ++i) text += (i ? "; " : "") + Statement();
        return text;
    }

private:
    struct TTable {
        const char* Name;
        std::vector<const char*> Integers, Texts, Others;
    };

    // Once the choices are used up, every pick is the first and nothing more is
    // added, so that every text ends.
    int Pick(int n) { return FPos < FSize ? FData[FPos++] % n : 0; }
    bool Chance(int percent) { return FPos < FSize && Pick(100) < percent; }
    template <class T>
    const T& One(const std::vector<T>& v) {
        return v[static_cast<size_t>(Pick(static_cast<int>(v.size())))];
    }

    const TTable& Table() {
        static const std::vector<TTable> tables = {
            {"emp", {"id", "dept"}, {"name"}, {"pay", "born", "note"}},
            {"dept", {"k", "boss"}, {"title"}, {}},
            {"tags", {"id"}, {"tag"}, {"at", "flag", "amount"}},
        };
        return One(tables);
    }

    std::string Integer() { return Chance(10) ? "NULL" : std::to_string(Pick(60) - 10); }

    std::string AnyColumn(const std::string& p, const TTable& t) {
        switch (Pick(3)) {
            case 0: return p + One(t.Integers);
            case 1: return t.Texts.empty() ? p + One(t.Integers) : p + One(t.Texts);
            default: return t.Others.empty() ? p + One(t.Integers) : p + One(t.Others);
        }
    }

    // A "?" in one of the uses a condition gives it.
    std::string ParameterCondition(const std::string& p, const TTable& t) {
        const std::string c = AnyColumn(p, t);
        switch (Pick(12)) {
            case 0: return c + One(std::vector<std::string>{" = ", " <> ", " < ", " >= ", " > ", " <= "}) + "?";
            case 1: return c + (Chance(70) ? " IN (?, " : " NOT IN (?, ") + Integer() + ", ?)";
            case 2: return c + (Chance(70) ? " BETWEEN ? AND ?" : " NOT BETWEEN ? AND ?");
            case 3: return c + (Chance(70) ? " LIKE ?" : " NOT LIKE ?");
            case 4: return "0 < " + c + One(std::vector<std::string>{" + ", " - ", " * ", " / "}) + "?";
            case 5: return "UPPER(?) = " + (t.Texts.empty() ? TextLiteral() : "UPPER(" + p + One(t.Texts) + ")");
            case 6:
                return "CAST(? AS " +
                       One(std::vector<std::string>{"INTEGER", "SMALLINT", "WORD", "LARGEINT", "FLOAT", "DECIMAL(8,2)",
                                                    "BOOLEAN", "DATE", "TIME", "TIMESTAMP", "CHAR(6)", "MEMO"}) +
                       ") IS NOT NULL";
            case 7: return "CAST(? AS BOOLEAN)";
            case 8: return "EXTRACT(YEAR FROM ?) > 1990";
            case 9: return "SUBSTRING(" + (t.Texts.empty() ? "?" : p + One(t.Texts)) + " FROM 1 FOR 2) = ?";
            case 10: return "COALESCE(?, " + c + ") IS NULL";
            default: return c + " = ? AND " + AnyColumn(p, t) + " <> ?";
        }
    }
    std::string TextLiteral() {
        static const std::vector<std::string> texts = {
            "'Ann'", "'a'", "''", "'%'", "'_\x93\x63%'", "'\x8E\x52%'", "'\xEA\xA3'", "'\x83\x41'", "'A%'",
            "'\x81\x40'", "'Sales'", "'z'", "NULL"};
        return One(texts);
    }

    std::string IntegerExpression(const std::string& p, const TTable& t) {
        const std::string c = p + One(t.Integers);
        switch (Pick(8)) {
            case 0: return c + " + " + Integer();
            case 1: return c + " * 2";
            case 2: return t.Texts.empty() ? c : "LENGTH(" + p + One(t.Texts) + ")";
            case 3: return t.Texts.empty() ? c : "POS(" + TextLiteral() + " IN " + p + One(t.Texts) + ")";
            case 4: return "ABS(" + c + " - 25)";
            default: return c;
        }
    }

    std::string TextExpression(const std::string& p, const TTable& t) {
        const std::string c = p + One(t.Texts);
        switch (Pick(9)) {
            case 0: return "SUBSTRING(" + c + " FROM " + std::to_string(Pick(5)) + " FOR " + std::to_string(Pick(4)) + ")";
            case 1: return "UPPER(" + c + ")";
            case 2: return "LOWER(" + c + ")";
            case 3: return "TRIM(BOTH '" + std::string(Chance(50) ? "\x81\x40" : " ") + "' FROM " + c + ")";
            case 4: return c + " + " + TextLiteral();
            case 5: return "CAST(" + c + " AS CHAR(" + std::to_string(1 + Pick(4)) + "))";
            case 6: return "REPLACE('A' WITH 'b' IN " + c + ")";
            default: return c;
        }
    }

    std::string Column(const std::string& p, const TTable& t, bool& aggregate) {
        switch (Pick(9)) {
            case 0:
                aggregate = true;
                return std::string(One(std::vector<const char*>{"SUM", "AVG", "MIN", "MAX", "COUNT"})) + "(" + p +
                       One(t.Integers) + ")";
            case 1:
                aggregate = true;
                return "COUNT(*)";
            case 2:
                if (std::string(t.Name) == "emp") {
                    aggregate = Chance(50);
                    const std::string e = One(std::vector<std::string>{
                        "pay * 2", "pay + 1", "ROUND(pay TO 1)", "ABS(pay - 300)", "CAST(id AS DECIMAL(8,2))", "pay"});
                    return aggregate ? One(std::vector<std::string>{"SUM", "AVG", "MIN", "MAX"}) + "(" + p + "pay)"
                                     : (p.empty() ? e : p + "pay");
                }
                return IntegerExpression(p, t);
            case 3: return t.Texts.empty() ? p + One(t.Integers) : TextExpression(p, t);
            case 4: return t.Others.empty() ? p + One(t.Integers) : p + One(t.Others);
            default: return IntegerExpression(p, t);
        }
    }

    std::string SubSelect(int depth) {
        const TTable& t = Table();
        std::string s = "SELECT " + std::string(One(t.Integers)) + " FROM " + t.Name;
        if (Chance(50)) s += " WHERE " + Condition("", t, depth + 1);
        for (int members = 0; members < 3 && Chance(35); ++members) {
            const TTable& u = Table();
            s += std::string(Chance(50) ? " UNION ALL " : " UNION ") + "SELECT " + One(u.Integers) + " FROM " + u.Name;
            if (Chance(40)) s += " WHERE " + Condition("", u, depth + 1);
        }
        return s;
    }

    std::string Condition(const std::string& p, const TTable& t, int depth) {
        const int kind = Pick(depth > 2 ? 8 : 12);
        switch (kind) {
            case 0: return IntegerExpression(p, t) + One(std::vector<std::string>{" = ", " <> ", " < ", " >= "}) + Integer();
            case 1: return p + One(t.Integers) + (Chance(50) ? " IS NULL" : " IS NOT NULL");
            case 2: return p + One(t.Integers) + " IN (" + Integer() + ", " + Integer() + ", NULL)";
            case 3: return t.Texts.empty() ? p + One(t.Integers) + " BETWEEN 1 AND 20"
                                           : TextExpression(p, t) + (Chance(70) ? " LIKE " : " = ") + TextLiteral();
            case 4: return Chance(30) ? p + One(t.Integers) + " = ?" : ParameterCondition(p, t);
            case 5:
                if (std::string(t.Name) == "emp") return p + "pay " + (Chance(50) ? "> 75.5" : "IN (SELECT pay FROM emp)");
                return p + One(t.Integers) + " > 5";
            case 6: {
                // A chain longer than a cursor takes filters.
                std::string chain = p + One(t.Integers) + " <> 1000";
                for (int i = Chance(20) ? 70 : 3; i > 0; --i) chain += " AND " + p + One(t.Integers) + " <> " + std::to_string(1000 + i);
                return chain;
            }
            case 7: return "NOT (" + Condition(p, t, depth + 1) + ")";
            case 8:
            case 9: return p + One(t.Integers) + (Chance(60) ? " IN (" : " NOT IN (") + SubSelect(depth) + ")";
            default:
                return "(" + Condition(p, t, depth + 1) + (Chance(50) ? " AND " : " OR ") + Condition(p, t, depth + 1) + ")";
        }
    }

    std::string Select(bool into) {
        const TTable& t = Table();
        const bool joined = Chance(25);
        const TTable& u = Table();
        const std::string p = joined ? "a." : "";
        bool aggregate = false;
        std::vector<std::string> columns;
        const int count = 1 + Pick(3);
        for (int i = 0; i < count; ++i) columns.push_back(Column(p, t, aggregate));
        std::string s = std::string("SELECT ") + (Chance(15) ? "DISTINCT " : "");
        for (size_t i = 0; i < columns.size(); ++i) s += (i ? ", " : "") + columns[i];
        if (into) s += " INTO " + std::string(Chance(50) ? "MEMORY " : "") + "r" + std::to_string(Pick(3));
        s += " FROM " + std::string(t.Name) + (joined ? " a" : "");
        if (joined) {
            s += std::string(Chance(50) ? ", " : " LEFT OUTER JOIN ") + u.Name + " b";
            s += (s.find("JOIN") != std::string::npos ? " ON a." : " WHERE a.") + std::string(One(t.Integers)) +
                 " = b." + One(u.Integers);
            if (Chance(25)) s += " AND " + ParameterCondition("b.", u);
        }
        if (Chance(60)) s += (s.find(" WHERE ") != std::string::npos ? " AND " : " WHERE ") + Condition(p, t, 0);
        if (aggregate && Chance(60)) {
            s += " GROUP BY 1";
            if (Chance(40)) s += " HAVING " + std::string(Chance(50) ? "COUNT(*)" : "AVG(" + p + One(t.Integers) + ")") +
                                 " > " + std::to_string(Pick(5));
        }
        if (!into && Chance(30)) {
            // Members of the same shape, so that the chain runs.
            const std::string member = s.substr(0, s.find(" GROUP BY"));
            const int members = 1 + Pick(3);
            for (int i = 0; i < members; ++i) s += std::string(Chance(50) ? " UNION ALL " : " UNION ") + member;
        }
        if (Chance(40)) s += " ORDER BY 1" + std::string(Chance(50) ? " DESC" : "");
        if (Chance(15)) s += " TOP " + std::to_string(Pick(6));
        return s;
    }

    std::string Statement() {
        const TTable& t = Table();
        switch (Pick(14)) {
            case 0: return "INSERT INTO " + std::string(t.Name) + " (" + One(t.Integers) + ") VALUES (" + Integer() + ")";
            case 1:
                return "INSERT INTO emp (id, name, pay) VALUES (" + std::to_string(20 + Pick(20)) + ", " + TextLiteral() +
                       ", " + (Chance(50) ? "12.345" : "?") + ")";
            case 2: return "INSERT INTO dept (k, title) SELECT id, name FROM emp WHERE " + Condition("", Table(), 1);
            case 3:
                return "UPDATE " + std::string(t.Name) + " SET " + One(t.Integers) + " = " + IntegerExpression("", t) +
                       " WHERE " + Condition("", t, 0);
            case 4:
                return "UPDATE emp SET name = " + One(std::vector<std::string>{"SUBSTRING(name FROM 2 FOR 2)", "name + name",
                                                                             "'\xEA\xA3\xEA\xA3\xEA\xA3\xEA\xA3\xEA\xA3\xEA\xA3\xEA\xA3'"}) +
                       " WHERE " + Condition("", Table(), 0);
            case 5: return "DELETE FROM " + std::string(t.Name) + " WHERE " + Condition("", t, 0);
            case 6:
                return "CREATE TABLE MEMORY mt (a INTEGER, b CHAR(4)); INSERT INTO MEMORY mt VALUES (" + Integer() +
                       ", " + TextLiteral() + "); INSERT INTO mt (a) SELECT dept FROM emp; SELECT a, b FROM MEMORY mt "
                       "WHERE a IN (SELECT k FROM dept); DROP TABLE " + (Chance(50) ? "MEMORY " : "") + "mt";
            case 8:
                // A value of every column's type, or an expression with one.
                return "UPDATE " + std::string(t.Name) + " SET " + AnyColumn("", t) + " = " +
                       One(std::vector<std::string>{"?", "?", "? + 1", "'x' + ?", "CAST(? AS INTEGER)"}) + " WHERE " +
                       (Chance(50) ? ParameterCondition("", t) : Condition("", t, 0));
            case 9:
                return "INSERT INTO emp (id, name, pay, born, note) VALUES (" + std::to_string(20 + Pick(20)) +
                       ", ?, ?, ?, ?)";
            case 7: return Select(true);
            default: return Select(false);
        }
    }

    const uint8_t* FData;
    size_t FSize;
    size_t FPos = 0;
};

// ---- Running

int64_t Outstanding() { return TExpToken::LiveCount() - ExpTokenStack->Count(); }

struct TStatementShape {
    bool Runnable = true;  // within the limits and the scratch folder
    bool Changes = false;  // may change the fixture
};

// The statements of the text as the parser sees them.
TStatementShape Inspect(TFixture& fixture, std::string_view text) {
    TStatementShape shape;
    TQueryStatement statement(fixture.memory);
    try {
        statement.ParseFirst(text);
        for (int count = 1;; ++count) {
            if (count > 6) shape.Runnable = false;
            const auto& queries = statement.Queries();
            if (queries.size() > 8) shape.Runnable = false;
            for (const auto& q : queries) {
                if (q->Kind != skSelect || q->HasInto) shape.Changes = true;
                if (q->SourceTables.size() > 3) shape.Runnable = false;
                for (const auto& table : q->SourceTables)
                    if (!SameNameText(table->Database, MemoryDatabaseName)) shape.Runnable = false;
                if (kura::FirstDelimiter(q->IntoTableName, "\\/") != std::string::npos) shape.Runnable = false;
            }
            if (!shape.Runnable || !statement.HasMoreStatements()) break;
            statement.ParseNext();
        }
    } catch (const EKuraEngineError&) {
        // The statements before the faulty one run.
        shape.Changes = true;
    }
    return shape;
}

// Every row and every visible field of a result reads back.
void ReadAll(TDataCursor& cursor) {
    std::vector<uint8_t> record(cursor.GetCursorRecordSize() + 16u, 0);
    uint8_t value[512];
    cursor.SetToBegin();
    for (int rows = 0; cursor.GetNextRecord(record.data()) == 0 && rows < 1000; ++rows) {
        for (uint16_t n = 1; n <= cursor.GetCursorFieldCount(); ++n) {
            TFieldDesc d;
            cursor.GetFieldDesc(n, d);
            bool blank = true;
            if (d.Bytes[fdo::Hidden] == 0) cursor.GetField(n, record.data(), value, blank);
        }
    }
}

// ---- Parameter values of every type

struct TValueKind {
    TEngineFieldType Type;
    uint8_t Subtype;
    std::string Bytes;  // the stored value; for a BLOB the bytes it points to
    bool Null;
    uint8_t Decimals;
};

template <class T>
std::string BytesOf(T value) {
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

const std::vector<TValueKind>& ValueKinds() {
    static const std::vector<TValueKind> kinds = [] {
        uint8_t bcd[34] = {};
        CurrToBCDValue(812500, 2, bcd);
        const double stamp = 730154.0 * 86400000 + 37230000;
        return std::vector<TValueKind>{
            {fldINT32, 0, BytesOf<int32_t>(7), false, 0},
            {fldINT16, 0, BytesOf<int16_t>(-3), false, 0},
            {fldUINT16, 0, BytesOf<uint16_t>(40), false, 0},
            {fldINT64, 0, BytesOf<int64_t>(5000000000), false, 0},
            {fldFLOAT, 0, BytesOf<double>(81.25), false, 0},
            {fldBCD, 0, std::string(reinterpret_cast<const char*>(bcd), sizeof bcd), false, 2},
            {fldBOOL, 0, BytesOf<int16_t>(1), false, 0},
            {fldDATE, 0, BytesOf<int32_t>(730154), false, 0},
            {fldTIME, 0, BytesOf<int32_t>(37230000), false, 0},
            {fldTIMESTAMP, 0, BytesOf<double>(stamp), false, 0},
            {fldZSTRING, 0, std::string("10\0", 3), false, 0},
            {fldZSTRING, 0, std::string("2001-02-03\0", 11), false, 0},
            {fldZSTRING, 0, std::string("10:20:30\0", 9), false, 0},
            {fldZSTRING, 0, std::string("A%\0", 3), false, 0},
            {fldZSTRING, 0, std::string("\x8E\x52%\0", 4), false, 0},
            // No terminating zero: the value fills its size.
            {fldZSTRING, 0, std::string("Bob!"), false, 0},
            {fldBLOB, fldstMEMO, std::string("memo \x83\x5C text"), false, 0},
            {fldBLOB, 0, std::string("\x01\x00\x02", 3), false, 0},
            {fldBYTES, 0, std::string("abcd"), false, 0},
            {fldINT32, 0, BytesOf<int32_t>(0), true, 0},
            {fldZSTRING, 0, std::string(4, '\0'), true, 0},
            {fldDATE, 0, BytesOf<int32_t>(0), true, 0},
        };
    }();
    return kinds;
}

// The descriptors and the record of count values of the kinds the choices name.
struct TBoundValues {
    explicit TBoundValues(const std::vector<uint8_t>& choices) {
        const std::vector<TValueKind>& kinds = ValueKinds();
        Descs.resize(choices.size());
        Record.push_back(0);
        for (size_t i = 0; i < choices.size(); ++i) {
            const TValueKind& kind = kinds[choices[i] % kinds.size()];
            TFieldDesc& d = Descs[i];
            d.SetFieldType(kind.Type);
            d.SetSubType(kind.Subtype);
            d.SetStoredDecimals(kind.Decimals);
            d.SetOffset(static_cast<uint16_t>(Record.size()));
            Record.push_back(kind.Null ? 0 : 1);
            if (kind.Type == fldBLOB) {
                // A BLOB value is its length and a pointer to its bytes.
                d.SetStoredSize(8);
                const auto length = static_cast<uint32_t>(kind.Bytes.size());
                const char* bytes = kind.Bytes.data();
                const std::string value = BytesOf(length) + BytesOf(bytes);
                Record.insert(Record.end(), value.begin(), value.end());
            } else {
                d.SetStoredSize(static_cast<uint8_t>(kind.Bytes.size()));
                Record.insert(Record.end(), kind.Bytes.begin(), kind.Bytes.end());
            }
            Pointers.push_back(&d);
        }
        Record.resize(Record.size() + 16, 0);
    }
    std::vector<TFieldDesc> Descs;
    std::vector<const TFieldDesc*> Pointers;
    std::vector<uint8_t> Record;
};

void Run(TFixture& fixture, const std::string& text, const std::vector<uint8_t>& values) {
    const int64_t before = Outstanding();
    {
        TQueryStatement statement(fixture.memory);
        statement.SetMaxRowCount(500);
        const auto start = std::chrono::steady_clock::now();
        statement.SetProgressEvent([start](TQueryStatement*, uint16_t, bool& abort) {
            abort = std::chrono::steady_clock::now() - start > std::chrono::milliseconds(250);
        });
        TBoundValues bound(values);
        try {
            statement.Prepare(text);
            TDataCursor* cursor = nullptr;
            statement.Execute(cursor, static_cast<uint16_t>(values.size()), bound.Pointers.data(), bound.Record.data());
            if (cursor) ReadAll(*cursor);
        } catch (const EKuraEngineError& e) {
            const std::string message = e.ErrorContext(ctxMessage);
            if (e.ErrorCode() == KURA_SQLPARSE) Check(!message.empty() && message.size() <= 255);
        }
        if (fixture.memory->InTransaction()) fixture.memory->Rollback();
    }
    Check(Outstanding() == before);
    // Result tables go with their statement.
    Check(ScratchEntries() == 0);
}

std::unique_ptr<TFixture>& Fixture() {
    static std::unique_ptr<TFixture> fixture;
    return fixture;
}

}  // namespace

// Each input here reaches tens of thousands of coverage features of the engine,
// and the entropic schedule's bookkeeping over them took most of the time: the
// plain schedule runs about five times as many inputs. A later -entropic flag on
// the command line still decides.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static std::vector<char*> args;
    static char plain[] = "-entropic=0";
    args.assign(*argv, *argv + *argc);
    args.insert(args.begin() + (args.empty() ? 0 : 1), plain);
    args.push_back(nullptr);
    *argc = static_cast<int>(args.size()) - 1;
    *argv = args.data();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (Scratch().empty()) MakeScratch();
    std::string text;
    size_t values = 0;
    if (size > 0 && data[0] == 0xFF) {
        values = size > 1 ? data[1] % 6 : 0;
        const size_t skip = std::min<size_t>(size, 2);
        text = TWriter(data + skip, size - skip).Text();
    } else {
        text.assign(reinterpret_cast<const char*>(data), size);
        values = static_cast<size_t>(std::count(text.begin(), text.end(), '?') % 5);
    }
    // The kind of each value: the input's last bytes, read backwards.
    std::vector<uint8_t> kinds;
    for (size_t i = 0; i < values; ++i) kinds.push_back(i < size ? data[size - 1 - i] : 0);
    std::unique_ptr<TFixture>& fixture = Fixture();
    if (!fixture) fixture = std::make_unique<TFixture>();
    const TStatementShape shape = Inspect(*fixture, text);
    if (!shape.Runnable) return 0;
    Run(*fixture, text, kinds);
    // The next input starts from the fixture as it was built.
    if (shape.Changes) fixture.reset();
    return 0;
}

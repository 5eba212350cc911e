// "?" marks bound to values of every type, in every use a condition or a value
// expression gives them: each value meets the rules a constant of its type written
// there meets. A text compared with a date becomes a date, numbers of any kind
// compare as numbers, a NULL of any type is the NULL constant, and a value the use
// does not take fails the statement with a message naming the parameter, never
// being compared as the bytes of another type. The same holds in DELETE and
// UPDATE, and again after the values are bound anew.
#include <algorithm>
#include <cstring>

#include "engine/files/Bcd.h"
#include "tests/engine/sql/StatementTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

using Rows = std::vector<std::string>;

// A value as a parameter record holds it: its type and stored bytes.
struct Bound {
    TEngineFieldType Type;
    std::string Bytes;  // empty with Null
    bool Null = false;
    uint8_t Decimals = 0;
};

template <class T>
Bound Number(TEngineFieldType type, T value) {
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return {type, bytes};
}
Bound Int(int32_t v) { return Number(fldINT32, v); }
Bound Small(int16_t v) { return Number(fldINT16, v); }
Bound Word(uint16_t v) { return Number(fldUINT16, v); }
Bound Large(int64_t v) { return Number(fldINT64, v); }
Bound Float(double v) { return Number(fldFLOAT, v); }
Bound Date(int32_t day) { return Number(fldDATE, day); }
Bound Stamp(double ms) { return Number(fldTIMESTAMP, ms); }
Bound Bool(bool v) { return Number(fldBOOL, static_cast<int16_t>(v ? 1 : 0)); }
Bound Text(const std::string& text) { return {fldZSTRING, text + std::string(1, '\0')}; }
Bound Decimal(int64_t currency) {
    uint8_t bcd[34] = {};
    CurrToBCDValue(currency, 2, bcd);
    return {fldBCD, std::string(reinterpret_cast<const char*>(bcd), sizeof bcd), false, 2};
}
Bound Null(TEngineFieldType type) { return {type, std::string(type == fldZSTRING ? 2 : 8, '\0'), true}; }

// Day numbers of the rows' hire dates.
constexpr int32_t k2001 = 730486;  // 2001-01-01
constexpr int32_t k2002 = 730851;  // 2002-01-01

class Parameters : public ::testing::Test {
protected:
    void SetUp() override {
        db.Run("CREATE TABLE emp (id INTEGER, name CHAR(10), salary INTEGER, hired DATE, dept INTEGER, "
               "PRIMARY KEY (id))");
        db.Run("CREATE INDEX byhired ON emp (hired)");
        db.Run("INSERT INTO emp VALUES (1, 'Ann', 100, '2001-01-01', 10);"
               "INSERT INTO emp VALUES (2, 'Bob', 300, '2002-01-01', NULL);"
               "INSERT INTO emp VALUES (3, 'Cid', NULL, NULL, 20)");
    }

    // Runs the prepared statement with the values bound in order: the rows of a
    // SELECT (ids), the count of rows affected otherwise, or "error: " + message.
    Rows Run(TQueryStatement& statement, const std::vector<Bound>& values) {
        std::vector<TFieldDesc> descs(values.size());
        std::vector<const TFieldDesc*> pointers;
        std::vector<uint8_t> record(1, 0);
        for (size_t i = 0; i < values.size(); ++i) {
            descs[i].SetFieldType(values[i].Type);
            descs[i].SetStoredSize(static_cast<uint8_t>(values[i].Bytes.size()));
            descs[i].SetStoredDecimals(values[i].Decimals);
            descs[i].SetOffset(static_cast<uint16_t>(record.size()));
            record.push_back(values[i].Null ? 0 : 1);
            record.insert(record.end(), values[i].Bytes.begin(), values[i].Bytes.end());
            pointers.push_back(&descs[i]);
        }
        try {
            TDataCursor* cursor = nullptr;
            statement.Execute(cursor, static_cast<uint16_t>(values.size()), pointers.data(), record.data());
            if (!cursor) return {std::to_string(statement.RowsAffected())};
            return SqlDatabase::VisibleRows(*cursor);
        } catch (const EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), KURA_SQLPARSE);
            return {"error: " + e.ErrorContext(ctxMessage)};
        }
    }
    Rows Run(const std::string& sql, const std::vector<Bound>& values) {
        TQueryStatement statement(&db.Dir());
        statement.Prepare(sql);
        return Run(statement, values);
    }

    SqlDatabase db;
};

struct Case {
    const char* Where;
    Bound Value;
    Rows Expected;  // ids, or one error message
};

TEST_F(Parameters, EachValueMeetsTheRulesOfItsUse) {
    const std::vector<Case> cases = {
        // Numbers of every kind compare as numbers.
        {"salary > ?", Int(200), {"2"}},
        {"salary > ?", Small(200), {"2"}},
        {"salary > ?", Word(200), {"2"}},
        {"salary > ?", Large(200), {"2"}},
        {"salary > ?", Float(99.5), {"1", "2"}},
        {"salary > ?", Decimal(995000), {"1", "2"}},
        {"salary BETWEEN ? AND 250", Int(50), {"1"}},
        {"salary IN (?, 7)", Large(300), {"2"}},
        {"0 < salary - ?", Float(150.0), {"2"}},
        // A text where a date is compared becomes a date, as a literal does.
        {"hired > ?", Text("2001-06-01"), {"2"}},
        {"hired <= ?", Text("2001-01-01"), {"1"}},
        {"hired BETWEEN ? AND '2003-01-01'", Text("2000-01-01"), {"1", "2"}},
        {"hired IN (?)", Text("2002-01-01"), {"2"}},
        {"hired > ?", Date(k2001), {"2"}},
        {"hired < ?", Stamp(k2002 * 86400000.0 + 1), {"1", "2"}},
        {"name = ?", Text("Bob"), {"2"}},
        {"name LIKE ?", Text("C%"), {"3"}},
        {"UPPER(?) = 'ANN'", Text("ann"), {"1", "2", "3"}},
        {"CAST(? AS INTEGER) = 100 AND salary = 100", Text("100"), {"1"}},
        {"CAST(? AS BOOLEAN)", Int(2), {"1", "2", "3"}},
        // A NULL of any type is the NULL constant: equal to NULL only.
        {"dept = ?", Null(fldINT32), {"2"}},
        {"dept = ?", Null(fldDATE), {"2"}},
        {"hired = ?", Null(fldZSTRING), {"3"}},
        {"salary > ?", Null(fldTIMESTAMP), {}},
        // The faults reported: never compared as bytes of another type.
        {"hired > ?", Int(5), {"error: Type mismatch between column 'hired' and parameter 1 (INTEGER) in WHERE or JOIN clause"}},
        {"hired < ?", Int(5), {"error: Type mismatch between column 'hired' and parameter 1 (INTEGER) in WHERE or JOIN clause"}},
        {"salary < ?", Text("250"), {"error: Type mismatch between column 'salary' and parameter 1 (CHAR) in WHERE or JOIN clause"}},
        {"hired > ?", Text("soon"),
         {"error: Date, time, or timestamp expression expected, instead found parameter 1 (CHAR) 'soon' in WHERE or JOIN "
          "clause"}},
        {"hired > ?", Float(1.5), {"error: Type mismatch between column 'hired' and parameter 1 (FLOAT) in WHERE or JOIN clause"}},
        {"name = ?", Date(k2001), {"error: Type mismatch between column 'name' and parameter 1 (DATE) in WHERE or JOIN clause"}},
        {"salary = ?", Bool(true), {"error: Type mismatch between column 'salary' and parameter 1 (BOOLEAN) in WHERE or JOIN clause"}},
        {"name LIKE ?", Int(1), {"error: Type mismatch between LIKE operator and parameter 1 (INTEGER) in WHERE or JOIN clause"}},
        {"salary IN (?, 7)", Text("7"), {"error: Type mismatch between IN operator and parameter 1 (CHAR) in WHERE or JOIN clause"}},
        {"CAST(? AS DATE) > hired", Int(1), {"error: Type mismatch between parameter 1 (INTEGER) and AS argument in WHERE or JOIN clause"}},
        {"0 < salary + ?", Date(k2001),
         {"error: Type mismatch between constant '0' and expression '+' in WHERE or JOIN clause; parameter 1 is of type DATE"}},
        {"UPPER(?) = 'A'", Int(1),
         {"error: Type mismatch between UPPER function and function argument in WHERE or JOIN clause; parameter 1 is of "
          "type INTEGER"}},
    };
    for (const Case& c : cases) {
        const std::string sql = std::string("SELECT id FROM emp WHERE ") + c.Where + " ORDER BY id";
        EXPECT_EQ(Run(sql, {c.Value}), c.Expected) << c.Where;
    }
    // A join condition and a sub-query's condition: the same rules.
    EXPECT_EQ(Run("SELECT a.id FROM emp a INNER JOIN emp b ON a.id = b.id AND b.hired > ? ORDER BY 1",
                  {Text("2001-06-01")}),
              Rows{"2"});
    EXPECT_EQ(Run("SELECT id FROM emp WHERE id IN (SELECT id FROM emp WHERE hired < ?)", {Int(5)}),
              Rows{"error: Type mismatch between column 'hired' and parameter 1 (INTEGER) in WHERE or JOIN clause"});
    // The second parameter is named as such.
    EXPECT_EQ(Run("SELECT id FROM emp WHERE salary > ? AND hired > ?", {Int(1), Int(2)}),
              Rows{"error: Type mismatch between column 'hired' and parameter 2 (INTEGER) in WHERE or JOIN clause"});
}

TEST_F(Parameters, ValuesBoundAnewAreTypedAnew) {
    TQueryStatement statement(&db.Dir());
    statement.Prepare("SELECT id FROM emp WHERE hired >= ? ORDER BY id");
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Run(statement, {Text("2001-06-01")}), Rows{"2"});
        EXPECT_EQ(Run(statement, {Int(5)}).at(0).rfind("error: Type mismatch", 0), 0u);
        EXPECT_EQ(Run(statement, {Date(k2001)}), (Rows{"1", "2"}));
        EXPECT_EQ(Run(statement, {Null(fldINT32)}), Rows{"3"});
        EXPECT_EQ(Run(statement, {Stamp(k2002 * 86400000.0)}), Rows{"2"});
    }
}

TEST_F(Parameters, ChangesFindTheirRowsByTheConvertedValue) {
    // UPDATE and DELETE over the index on hired: the text becomes a date first.
    EXPECT_EQ(Run("UPDATE emp SET salary = salary + ? WHERE hired > ?", {Int(5), Text("2001-06-01")}), Rows{"1"});
    EXPECT_EQ(Run("DELETE FROM emp WHERE hired < ?", {Int(5)}),
              Rows{"error: Type mismatch between column 'hired' and parameter 1 (INTEGER) in WHERE clause"});
    EXPECT_EQ(Run("UPDATE emp SET name = 'x' + ? WHERE id = 1", {Int(1)}),
              Rows{"error: Type mismatch between constant 'x' and parameter 1 (INTEGER) in update values"});
    EXPECT_EQ(Run("DELETE FROM emp WHERE hired <= ?", {Text("2001-01-01")}), Rows{"1"});
    // A whole value the column does not take is refused by its number and type,
    // and nothing is stored; the same value corrected is.
    const struct {
        const char* Sql;
        std::vector<Bound> Values;
        const char* Message;
    } refusals[] = {
        {"INSERT INTO emp (id, hired) VALUES (?, ?)", {Small(4), Text("soon")},
         "Type mismatch between column hired and parameter 2 (CHAR) in INSERT statement"},
        {"INSERT INTO emp (id, salary) VALUES (?, ?)", {Int(4), Text("lots")},
         "Type mismatch between column salary and parameter 2 (CHAR) in INSERT statement"},
        {"UPDATE emp SET hired = ? WHERE id = 2", {Text("later")},
         "Type mismatch between column hired and parameter 1 (CHAR) in UPDATE statement"},
        {"UPDATE emp SET salary = 1, dept = ? WHERE id = 2", {Date(k2001)},
         "Type mismatch between column dept and parameter 1 (DATE) in UPDATE statement"},
    };
    for (const auto& r : refusals) {
        const Rows before = db.Rows("emp");
        EXPECT_EQ(Run(r.Sql, r.Values), Rows{std::string("error: ") + r.Message}) << r.Sql;
        EXPECT_EQ(db.Rows("emp"), before) << r.Sql;
    }
    // A whole value takes the column's type as a literal value does.
    EXPECT_EQ(Run("INSERT INTO emp (id, hired) VALUES (?, ?)", {Small(4), Text("2003-03-03")}), Rows{"1"});
    Rows rows = db.Rows("emp");
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Rows{"2|Bob|305|" + std::to_string(k2002) + "|NULL", "3|Cid|NULL|NULL|20",
                          "4|NULL|NULL|731277|NULL"}));
}

}  // namespace

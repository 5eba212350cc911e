// Random single-, two- and three-table SELECTs over random data give the same rows
// here as in SQLite on the same data, where the two dialects agree. The three-table
// joins mix inner, LEFT and RIGHT OUTER joins over tables of very different sizes,
// so that the smallest filtered table drives the inner joins.
//
// Deliberate differences kept out of the generated queries:
// - An empty string is stored as NULL here and trailing blanks are dropped, so
//   the texts are never empty and never end in a blank.
// - Texts compare by the table's collation here, by bytes in SQLite: the texts use
//   one letter case only.
// - SUM of integers is a 64-bit integer, AVG a float in both; AVG is compared
//   through a rounded float. Integer division is not generated.
// - MIN and MAX take numbers, dates and times only here, never texts.
// - This dialect's NULL rules are written out for SQLite (ForSqlite): two NULLs
//   are equal under "=" (also in joins) and unequal to nothing under "<>"; with
//   two NULL operands ">=" and "<=" are true and ">" and "<" false; a NULL text
//   compares as the empty text; and no condition is ever unknown, so NOT of a
//   false comparison is true. No generated condition compares two columns of
//   one table.
// - CAST: to BOOLEAN is "<> 0" here (SQLite keeps the number); texts that are no
//   number are not cast to numbers (NULL here, 0 in SQLite), nor floats to texts
//   (the two format them differently).
// - Without ORDER BY the row order differs; rows are compared as sorted lists
//   unless the query orders them completely.
// - NULLs sort first in both, ascending; DESC puts them last in both.
// g++ 12 at -O2 warns that the optional<variant> values built below may be used
// uninitialised; every one is constructed before use (a known false positive).
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <sqlite3.h>

#include <algorithm>
#include <functional>
#include <iterator>
#include <random>
#include <regex>

#include "tests/engine/sql/SelectTestSupport.h"

namespace kura::selecttest {
namespace {

struct Lite {
    Lite() { sqlite3_open(":memory:", &db); }
    ~Lite() { sqlite3_close(db); }
    void Exec(const std::string& sql) {
        char* error = nullptr;
        if (sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK) {
            const std::string text = error ? error : "?";
            sqlite3_free(error);
            throw std::runtime_error(text + ": " + sql);
        }
    }
    TextRows Rows(const std::string& sql) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string(sqlite3_errmsg(db)) + ": " + sql);
        TextRows rows;
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(st); ++i) {
                switch (sqlite3_column_type(st, i)) {
                    case SQLITE_NULL: row.push_back("NULL"); break;
                    case SQLITE_INTEGER: row.push_back(std::to_string(sqlite3_column_int64(st, i))); break;
                    case SQLITE_FLOAT: row.push_back(FormatDouble(sqlite3_column_double(st, i))); break;
                    default: row.push_back(reinterpret_cast<const char*>(sqlite3_column_text(st, i)));
                }
            }
            rows.push_back(row);
        }
        sqlite3_finalize(st);
        return rows;
    }
    sqlite3* db = nullptr;
};

// This dialect's comparisons of the generated queries as SQLite must write them
// (the columns k and n are integers, s a text, f a float; m a decimal, in SQLite a
// float): each comparison two-valued, with this dialect's NULL rules.
std::string CompareForSqlite(const std::string& a, const std::string& op, const std::string& b) {
    const auto column = [](const std::string& x) { return !x.empty() && std::isalpha(static_cast<unsigned char>(x[0])); };
    const auto text = [&](const std::string& x) { return x[0] == '\'' || (column(x) && x.back() == 's'); };
    if (text(a) || text(b)) return "(COALESCE(" + a + ", '') " + op + " COALESCE(" + b + ", ''))";
    if (op == "=") return "(" + a + " IS " + b + ")";
    if (op == "<>") return "(" + a + " IS NOT " + b + ")";
    // Two NULL operands are compared as the zero bytes they stand for: equal.
    if ((op == ">=" || op == "<=") && column(a) && column(b))
        return "(CASE WHEN " + a + " IS NULL AND " + b + " IS NULL THEN 1 ELSE COALESCE(" + a + " " + op + " " + b +
               ", 0) END)";
    return "COALESCE(" + a + " " + op + " " + b + ", 0)";
}

std::string ForSqlite(const std::string& ours) {
    static const std::string operand = R"(([a-z]\.[knsfm]\b|\b[knsfm]\b|'[^']*'|-?[0-9]+(?:\.[0-9]+)?))";
    static const std::regex between(R"(([a-z]\.[knsfm]\b|\b[knsfm]\b) BETWEEN (-?[0-9]+) AND (-?[0-9]+))");
    static const std::regex comparison(operand + " (=|<>|<=|>=|<|>) " + operand);
    const std::string ranges = std::regex_replace(ours, between, "COALESCE($1 BETWEEN $2 AND $3, 0)");
    std::string out;
    auto from = ranges.cbegin();
    for (std::sregex_iterator it(ranges.begin(), ranges.end(), comparison), end; it != end; ++it) {
        const std::smatch& m = *it;
        out.append(from, m[0].first);
        out += CompareForSqlite(m[1], m[2], m[3]);
        from = m[0].second;
    }
    out.append(from, ranges.cend());
    return out;
}

std::string Literal(const Value& v) {
    if (!v) return "NULL";
    if (std::holds_alternative<std::string>(*v)) return "'" + std::get<std::string>(*v) + "'";
    if (std::holds_alternative<double>(*v)) return FormatDouble(std::get<double>(*v));
    return std::to_string(std::get<int64_t>(*v));
}

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}
    int Int(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng_); }
    bool Chance(int percent) { return Int(1, 100) <= percent; }
    template <class T>
    const T& Pick(const std::vector<T>& v) { return v[static_cast<size_t>(Int(0, static_cast<int>(v.size()) - 1))]; }

    Row RandomRow(int keyRange) {
        Row r;
        r.push_back(Chance(10) ? Value{} : Value{int64_t{Int(0, keyRange)}});
        r.push_back(Chance(10) ? Value{} : Value{int64_t{Int(-50, 50)}});
        r.push_back(Chance(10) ? Value{} : Value{std::string(1, static_cast<char>('A' + Int(0, 5))) + "X"});
        r.push_back(Chance(10) ? Value{} : Value{static_cast<double>(Int(-400, 400)) / 4.0});
        return r;
    }

    std::string Text() { return "'" + std::string(1, static_cast<char>('A' + Int(0, 5))) + "X'"; }

    // A condition over one table's columns k, n, s, f (with the prefix).
    std::string Condition(const std::string& p, int depth = 0) {
        switch (Int(0, depth > 0 ? 7 : 11)) {
            case 0: return p + "k = " + std::to_string(Int(0, 12));
            case 1: return p + "n > " + std::to_string(Int(-50, 50));
            case 2: return p + "s = '" + std::string(1, static_cast<char>('A' + Int(0, 5))) + "X'";
            case 3: return p + "f <= " + FormatDouble(Int(-100, 100));
            case 4: return p + "n IS NULL";
            case 5: return p + "k IS NOT NULL";
            case 6: return p + "n BETWEEN " + std::to_string(Int(-50, 0)) + " AND " + std::to_string(Int(0, 50));
            case 8: return p + "n <> " + std::to_string(Int(-50, 50));
            case 9: return p + "s " + Pick(std::vector<std::string>{"<", ">=", "<>", "<="}) + " " + Text();
            case 10: return "NOT (" + Condition(p, depth + 1) + ")";
            case 11: return p + "f " + Pick(std::vector<std::string>{"<>", ">", "<"}) + " " + FormatDouble(Int(-100, 100));
            default: return "(" + p + "k < " + std::to_string(Int(0, 12)) + " OR " + p + "n >= " + std::to_string(Int(-50, 50)) + ")";
        }
    }

    std::string Where(const std::string& p) {
        if (Chance(30)) return "";
        std::string w = " WHERE " + Condition(p);
        if (Chance(40)) w += std::string(Chance(70) ? " AND " : " OR ") + Condition(p);
        return w;
    }

private:
    std::mt19937 rng_;
};

// Each query with whether its ORDER BY fixes the row order completely.
struct Query {
    std::string text;
    bool ordered;
};

Query SingleTable(Generator& g) {
    const std::vector<std::string> columns = {"k", "n", "s", "f"};
    switch (g.Int(0, 3)) {
        case 0: {
            std::string select = "SELECT k, n, s, f FROM t" + g.Where("");
            if (g.Chance(50)) return {select + " ORDER BY k, n, s, f", true};
            return {select, false};
        }
        case 1: {
            const std::string key = g.Pick(std::vector<std::string>{"k", "s"});
            const std::string agg = g.Pick(std::vector<std::string>{"COUNT(*)", "COUNT(n)", "SUM(n)", "MIN(n)",
                                                                    "MIN(f)", "SUM(f)", "MAX(k)"});
            return {"SELECT " + key + ", " + agg + " FROM t" + g.Where("") + " GROUP BY " + key, false};
        }
        case 2: {
            const std::string agg = g.Pick(std::vector<std::string>{"COUNT(*)", "SUM(n)", "MIN(k)", "MAX(f)"});
            return {"SELECT " + agg + " FROM t" + g.Where(""), true};
        }
        default: {
            const std::string c = g.Pick(columns);
            return {"SELECT DISTINCT " + c + " FROM t" + g.Where("") + " ORDER BY " + c, true};
        }
    }
}

// Joined on k (indexed), or on s, f or n (not indexed), every one of them holding
// NULLs; sometimes with a second comparison of two columns.
Query TwoTables(Generator& g) {
    const std::string c = g.Pick(std::vector<std::string>{"k", "k", "s", "f", "n"});
    std::string on = "t." + c + " = u." + c;
    if (g.Chance(20)) on += " AND t.n " + g.Pick(std::vector<std::string>{">=", "<=", "<>", "<"}) + " u.n";
    std::string where = " WHERE " + on;
    if (g.Chance(60)) where += " AND " + g.Condition(g.Chance(50) ? "t." : "u.");
    switch (g.Int(0, 3)) {
        case 0: return {"SELECT t.n, u.s FROM t, u" + where, false};
        case 1: return {"SELECT u.s, COUNT(*), SUM(t.n) FROM t, u" + where + " GROUP BY u.s", false};
        case 2:
            return {"SELECT t.n, u.n FROM t RIGHT OUTER JOIN u ON " + on +
                        std::string(g.Chance(50) ? "" : " WHERE " + g.Condition("u.")),
                    false};
        default:
            return {"SELECT t.n, u.n FROM t LEFT OUTER JOIN u ON " + on +
                        std::string(g.Chance(50) ? "" : " WHERE " + g.Condition("t.")),
                    false};
    }
}

// Three tables: t large, u middling, v tiny with an index on k.
Query ThreeTables(Generator& g) {
    static const std::vector<std::string> froms = {
        "FROM t, u, v WHERE t.k = u.k AND u.k = v.k",
        "FROM t, u, v WHERE t.k = v.k AND u.n = t.n",
        "FROM t INNER JOIN u ON t.k = u.k INNER JOIN v ON v.k = u.k",
        "FROM v, t, u WHERE u.k = t.k AND t.k = v.k",
        "FROM t LEFT OUTER JOIN u ON t.k = u.k LEFT OUTER JOIN v ON v.k = t.k",
        "FROM t LEFT OUTER JOIN u ON t.k = u.k LEFT OUTER JOIN v ON v.n = u.n",
        "FROM t LEFT OUTER JOIN u ON t.k = u.k INNER JOIN v ON v.k = u.k",
        "FROM t RIGHT OUTER JOIN u ON t.k = u.k RIGHT OUTER JOIN v ON v.k = u.k",
        "FROM t RIGHT OUTER JOIN u ON t.k = u.k RIGHT OUTER JOIN v ON v.k = t.k",
        "FROM t INNER JOIN u ON t.k = u.k RIGHT OUTER JOIN v ON v.k = t.k",
        "FROM t LEFT OUTER JOIN u ON t.k = u.k RIGHT OUTER JOIN v ON v.k = u.k",
        "FROM t RIGHT OUTER JOIN u ON t.k = u.k AND u.n > 0 LEFT OUTER JOIN v ON v.k = t.k",
        "FROM t RIGHT OUTER JOIN u ON t.k = u.k INNER JOIN v ON v.k = u.k",
        "FROM u INNER JOIN t ON u.k = t.k RIGHT OUTER JOIN v ON v.k = t.k AND v.n < 10",
        "FROM u, t RIGHT OUTER JOIN v ON v.k = t.k WHERE t.n > u.n",
        "FROM t LEFT OUTER JOIN u ON t.s = u.s LEFT OUTER JOIN v ON v.f = u.f",
        "FROM t, u, v WHERE t.n = u.n AND u.s = v.s AND t.n >= v.n",
        "FROM t INNER JOIN u ON t.f = u.f RIGHT OUTER JOIN v ON v.s = t.s",
    };
    std::string from = g.Pick(froms);
    if (g.Chance(50)) {
        const std::string condition = g.Condition(g.Pick(std::vector<std::string>{"t.", "u.", "v."}));
        from += (from.find(" WHERE ") == std::string::npos ? " WHERE " : " AND ") + condition;
    }
    switch (g.Int(0, 2)) {
        case 0: return {"SELECT t.k, t.n, u.n, u.s, v.n, v.f " + from, false};
        case 1: return {"SELECT COUNT(*), SUM(t.n), MIN(u.n), MAX(v.f) " + from, true};
        default: return {"SELECT v.s, COUNT(*), COUNT(u.k), SUM(t.n) " + from + " GROUP BY v.s", false};
    }
}

// A chain of four tables, each joined to one named before it by INNER, LEFT or
// RIGHT OUTER JOIN on k or n, sometimes with a second condition on either side.
Query JoinChain(Generator& g) {
    const std::vector<std::string> names = {"t", "u", "v", "w"};
    std::vector<std::string> order = names;
    std::shuffle(order.begin(), order.end(), std::mt19937(static_cast<uint32_t>(g.Int(0, 1 << 20))));
    std::string from = "FROM " + order[0];
    for (size_t i = 1; i < order.size(); ++i) {
        const std::string& table = order[i];
        const std::string& earlier = order[static_cast<size_t>(g.Int(0, static_cast<int>(i) - 1))];
        from += g.Pick(std::vector<std::string>{" INNER JOIN ", " LEFT OUTER JOIN ", " RIGHT OUTER JOIN "}) + table;
        const std::string column = g.Pick(std::vector<std::string>{"k", "k", "k", "k", "n", "n", "s", "f"});
        from += " ON " + table + "." + column + " = " + earlier + "." + column;
        if (g.Chance(25))
            from += " AND " + (g.Chance(50) ? table : earlier) + ".n " + (g.Chance(50) ? "<" : ">") + " " +
                    std::to_string(g.Int(-20, 20));
    }
    // A WHERE on one table, or one that keeps only the null rows of another.
    if (g.Chance(40))
        from += " WHERE " + g.Pick(names) + (g.Chance(60) ? ".n <= " + std::to_string(g.Int(-30, 30)) : ".k IS NULL");
    if (g.Chance(30)) return {"SELECT COUNT(*), COUNT(t.k), COUNT(u.k), COUNT(v.k), COUNT(w.k) " + from, true};
    return {"SELECT t.k, t.n, u.k, u.n, v.k, v.n, w.k, w.n " + from, false};
}

// Both databases get the same tables (k indexed here) and the same random rows.
void FillBoth(SqlDb& db, Lite& lite, Generator& g, const std::vector<std::pair<const char*, int>>& tables,
              int keyRange) {
    const std::vector<Column> columns = {{"k", fldINT32}, {"n", fldINT32}, {"s", fldZSTRING, 8}, {"f", fldFLOAT}};
    for (const auto& [name, count] : tables) {
        db.Create(name, columns, {1});
        lite.Exec(std::string("CREATE TABLE ") + name + " (k INTEGER, n INTEGER, s TEXT, f REAL)");
        std::vector<Row> rows;
        for (int i = 0; i < count; ++i) rows.push_back(g.RandomRow(keyRange));
        db.Insert(name, rows);
        for (const Row& r : rows)
            lite.Exec(std::string("INSERT INTO ") + name + " VALUES (" + Literal(r[0]) + "," + Literal(r[1]) + "," +
                      Literal(r[2]) + "," + Literal(r[3]) + ")");
    }
}

// Each query gives the same rows in both (as sorted lists unless it orders them
// completely); a difference names the rows only one of them gave.
void ExpectAgreement(SqlDb& db, Lite& lite, int count, const std::function<Query(int)>& make) {
    for (int i = 0; i < count; ++i) {
        const Query q = make(i);
        TextRows ours = db.Rows(q.text);
        TextRows theirs = lite.Rows(ForSqlite(q.text));
        if (!q.ordered) {
            std::sort(ours.begin(), ours.end());
            std::sort(theirs.begin(), theirs.end());
        }
        if (ours == theirs) continue;
        std::sort(ours.begin(), ours.end());
        std::sort(theirs.begin(), theirs.end());
        TextRows onlyOurs, onlyTheirs;
        std::set_difference(ours.begin(), ours.end(), theirs.begin(), theirs.end(), std::back_inserter(onlyOurs));
        std::set_difference(theirs.begin(), theirs.end(), ours.begin(), ours.end(), std::back_inserter(onlyTheirs));
        ADD_FAILURE() << q.text << "\nSQLite: " << ForSqlite(q.text) << "\nonly here: " << ::testing::PrintToString(onlyOurs)
                      << "\nonly in SQLite: " << ::testing::PrintToString(onlyTheirs)
                      << (onlyOurs.empty() && onlyTheirs.empty() ? "\n(same rows, another order)" : "");
        return;
    }
}

// ---- Sub-query UNION chains, DECIMAL columns, NULL keys and the in-memory database

// Tables t, u and v with k, n, s, f and a DECIMAL(10,2) m, in SQLite a REAL
// (quarters, which a double holds exactly); k and m indexed here.
void FillMixed(std::vector<SqlDb*> dbs, Lite& lite, Generator& g) {
    const std::vector<Column> columns = {
        {"k", fldINT32}, {"n", fldINT32}, {"s", fldZSTRING, 8}, {"f", fldFLOAT}, {"m", fldBCD, 0, 2}};
    for (const auto& [name, count] : std::vector<std::pair<const char*, int>>{{"t", 90}, {"u", 25}, {"v", 6}}) {
        for (SqlDb* db : dbs) db->Create(name, columns, {1, 5});
        lite.Exec(std::string("CREATE TABLE ") + name + " (k INTEGER, n INTEGER, s TEXT, f REAL, m REAL)");
        std::vector<Row> rows;
        for (int i = 0; i < count; ++i) {
            Row r = g.RandomRow(12);
            r.push_back(g.Chance(15) ? Value{} : Value{static_cast<double>(g.Int(-40, 40)) / 4.0});
            rows.push_back(r);
        }
        for (SqlDb* db : dbs) db->Insert(name, rows);
        for (const Row& r : rows)
            lite.Exec(std::string("INSERT INTO ") + name + " VALUES (" + Literal(r[0]) + "," + Literal(r[1]) + "," +
                      Literal(r[2]) + "," + Literal(r[3]) + "," + Literal(r[4]) + ")");
    }
}

// A query in our dialect and the same query for SQLite (whose comparisons
// ForSqlite still writes out).
struct Pair {
    std::string ours, theirs;
    bool ordered;
};

// x IN (a UNION b ...) over t's columns (with the prefix), and for SQLite the same
// test: a NULL x finds a NULL member here, as SQLite's "IS" does, so the chain
// becomes an EXISTS over it with "IS".
std::string UnionCondition(Generator& g, const std::string& p, std::string& lite) {
    const bool decimal = g.Chance(30);
    const std::string outer = decimal ? "m" : g.Pick(std::vector<std::string>{"k", "n"});
    std::string chain, chainLite;
    const int members = 1 + g.Int(0, 2);
    for (int i = 0; i < members; ++i) {
        const std::string table = g.Pick(std::vector<std::string>{"t", "u", "v"});
        const std::string column = decimal ? "m" : g.Pick(std::vector<std::string>{"k", "n"});
        const std::string where = g.Where("");
        const std::string link = i == 0 ? "" : (g.Chance(50) ? " UNION ALL " : " UNION ");
        chain += link + "SELECT " + column + " FROM " + table + where;
        chainLite += link + "SELECT " + column + " AS v FROM " + table + where;
    }
    const bool negated = g.Chance(35);
    lite = std::string(negated ? "NOT " : "") + "EXISTS (SELECT 1 FROM (" + chainLite + ") WHERE v IS " + p + outer + ")";
    return p + outer + (negated ? " NOT IN (" : " IN (") + chain + ")";
}

Pair SubQueryUnion(Generator& g) {
    std::string lite;
    const std::string condition = UnionCondition(g, "t.", lite);
    const std::string rest = g.Chance(40) ? " AND " + g.Condition("t.") : "";
    return {"SELECT t.k, t.n, t.m FROM t WHERE " + condition + rest,
            "SELECT t.k, t.n, t.m FROM t WHERE " + lite + rest, false};
}

Pair Decimals(Generator& g) {
    const std::string bound = FormatDouble(static_cast<double>(g.Int(-40, 40)) / 4.0);
    switch (g.Int(0, 3)) {
        case 0: {
            const std::string text = "SELECT k, m, m * 2, m + 1, ABS(m) FROM t WHERE m > " + bound;
            return {text, text, false};
        }
        case 1: {
            const std::string text = "SELECT s, SUM(m), MIN(m), MAX(m), COUNT(m) FROM t" + g.Where("") + " GROUP BY s";
            return {text, text, false};
        }
        case 2: {
            const std::string text = "SELECT SUM(m), MIN(m), MAX(m), COUNT(m), COUNT(*) FROM u WHERE m <= " + bound;
            return {text, text, true};
        }
        default: {
            const std::string text = "SELECT t.k, u.m FROM t, u WHERE t.k = u.k AND u.m >= " + bound;
            return {text, text, false};
        }
    }
}

// A UNION chain reads from its end here: A UNION ALL B UNION C is A's rows and
// the distinct rows of B and C.
Pair MixedUnion(Generator& g) {
    std::string ours, theirs, tail;
    const int members = 2 + g.Int(0, 2);
    std::vector<std::string> selects;
    for (int i = 0; i < members; ++i)
        selects.push_back("SELECT " + g.Pick(std::vector<std::string>{"k", "n"}) + " FROM " +
                          g.Pick(std::vector<std::string>{"t", "u", "v"}) + g.Where(""));
    std::vector<bool> all;
    for (int i = 1; i < members; ++i) all.push_back(g.Chance(50));
    ours = selects[0];
    for (int i = 1; i < members; ++i) ours += std::string(all[i - 1] ? " UNION ALL " : " UNION ") + selects[i];
    // Right to left, each link wrapping the result of the links after it.
    theirs = selects.back();
    for (int i = members - 2; i >= 0; --i)
        theirs = selects[i] + (all[i] ? " UNION ALL " : " UNION ") + "SELECT * FROM (" + theirs + ")";
    return {ours, theirs, false};
}

void ExpectPairsAgree(const std::vector<SqlDb*>& dbs, Lite& lite, int count, const std::function<Pair()>& make) {
    for (int i = 0; i < count; ++i) {
        const Pair q = make();
        TextRows theirs = lite.Rows(ForSqlite(q.theirs));
        if (!q.ordered) std::sort(theirs.begin(), theirs.end());
        for (SqlDb* db : dbs) {
            TextRows ours;
            try {
                ours = db->Rows(q.ours);
            } catch (const EKuraEngineError& e) {
                ADD_FAILURE() << q.ours << ": " << e.what() << " " << e.ErrorContext(ctxMessage);
                return;
            }
            if (!q.ordered) std::sort(ours.begin(), ours.end());
            if (ours == theirs) continue;
            ADD_FAILURE() << q.ours << (db->InMemory() ? " (in memory)" : "") << "\nSQLite: " << ForSqlite(q.theirs)
                          << "\nhere: " << ::testing::PrintToString(ours)
                          << "\nSQLite: " << ::testing::PrintToString(theirs);
            return;
        }
    }
}

TEST(SelectVsSqlite, SubQueryUnionsDecimalsNullKeysAndTheMemoryDatabaseAgree) {
    SqlDb disk, memory(true);
    Lite lite;
    Generator g(20261210);
    FillMixed({&disk, &memory}, lite, g);
    ExpectPairsAgree({&disk, &memory}, lite, 80, [&] { return SubQueryUnion(g); });
    ExpectPairsAgree({&disk, &memory}, lite, 40, [&] { return Decimals(g); });
    ExpectPairsAgree({&disk, &memory}, lite, 40, [&] { return MixedUnion(g); });
}

// Without a peer: a condition and its negation split the rows between them (this
// dialect's conditions are never unknown), COUNT(*) counts the rows read, and the
// rows are the same with indexes or without, live or copied, on disk or in memory.
TEST(SelectMetamorphic, ConditionsSplitTheRowsTheSameWayEverywhere) {
    SqlDb disk, memory(true);
    Lite lite;
    Generator g(20261211);
    FillMixed({&disk, &memory}, lite, g);
    // Copies without indexes, through SQL.
    for (SqlDb* db : {&disk, &memory}) db->Rows("SELECT k, n, s, f, m INTO plain FROM t");
    const TextRows all = disk.Rows("SELECT k, n, s, f, m FROM t");
    for (int i = 0; i < 60; ++i) {
        std::string lite;
        std::string condition = g.Chance(40) ? UnionCondition(g, "", lite) : g.Condition("");
        if (g.Chance(30)) condition += " AND m " + std::string(g.Chance(50) ? "<" : ">=") + " 2.5";
        SCOPED_TRACE(condition);
        const std::string columns = "SELECT k, n, s, f, m FROM ";
        TextRows with = disk.Rows(columns + "t WHERE " + condition);
        TextRows without = disk.Rows(columns + "t WHERE NOT (" + condition + ")");
        EXPECT_EQ(with.size() + without.size(), all.size());
        EXPECT_EQ(disk.Rows("SELECT COUNT(*) FROM t WHERE " + condition), (TextRows{{std::to_string(with.size())}}));
        std::sort(with.begin(), with.end());
        for (SqlDb* db : {&disk, &memory}) {
            for (const char* table : {"t", "plain"}) {
                for (bool live : {false, true}) {
                    TextRows other = db->Read(db->Run(columns + table + " WHERE " + condition, live));
                    std::sort(other.begin(), other.end());
                    EXPECT_EQ(other, with) << table << (live ? " live" : "") << (db == &memory ? " in memory" : "");
                }
            }
        }
    }
}

// Every cast of the numbers a column holds that both dialects define alike, in
// the select list and as a condition, over rows with NULLs.
TEST(SelectVsSqlite, CastsAgree) {
    SqlDb disk;
    Lite lite;
    Generator g(20261212);
    FillMixed({&disk}, lite, g);
    struct Target {
        const char* ours;
        std::function<std::string(const std::string&)> theirs;
        bool fromFloat;  // defined alike for floats and decimals too
    };
    const std::vector<Target> targets = {
        {"INTEGER", [](const std::string& c) { return "CAST(" + c + " AS INTEGER)"; }, true},
        {"SMALLINT", [](const std::string& c) { return "CAST(" + c + " AS INTEGER)"; }, true},
        {"LARGEINT", [](const std::string& c) { return "CAST(" + c + " AS INTEGER)"; }, true},
        {"FLOAT", [](const std::string& c) { return "CAST(" + c + " AS REAL)"; }, true},
        {"DECIMAL(12,2)", [](const std::string& c) { return "CAST(" + c + " AS REAL)"; }, true},
        {"BOOLEAN", [](const std::string& c) { return "(" + c + " <> 0)"; }, false},
        {"CHAR(9)", [](const std::string& c) { return "CAST(" + c + " AS TEXT)"; }, false},
    };
    for (const std::string column : {"k", "n", "f", "m"}) {
        const bool whole = column == "k" || column == "n";
        for (const Target& t : targets) {
            // BOOLEAN takes decimals (non-zero is true) but no floats.
            const bool boolean = std::string(t.ours) == "BOOLEAN";
            if (!whole && !t.fromFloat && !(boolean && column == "m")) continue;
            const std::string ours = "CAST(" + column + " AS " + t.ours + ")";
            const std::string theirs = t.theirs(column);
            for (const auto& [a, b] : std::vector<std::pair<std::string, std::string>>{
                     {"SELECT k, " + ours + " FROM t", "SELECT k, " + theirs + " FROM t"},
                     {"SELECT " + ours + ", COUNT(*) FROM u GROUP BY 1", "SELECT " + theirs + ", COUNT(*) FROM u GROUP BY 1"},
                 }) {
                TextRows here = disk.Rows(a);
                TextRows there = lite.Rows(b);
                std::sort(here.begin(), here.end());
                std::sort(there.begin(), there.end());
                EXPECT_EQ(here, there) << a;
            }
            if (boolean) {
                TextRows here = disk.Rows("SELECT k, n FROM t WHERE " + ours);
                TextRows there = lite.Rows("SELECT k, n FROM t WHERE COALESCE(" + theirs + ", 0)");
                std::sort(here.begin(), here.end());
                std::sort(there.begin(), there.end());
                EXPECT_EQ(here, there) << ours;
            }
        }
    }
    // A narrowing cast keeps the low bytes, which SQLite's 64-bit integers give
    // by masking.
    const std::pair<std::string, std::string> narrowing[] = {
        {"CAST(n + 5000000000 AS INTEGER)", "((n + 5000000000 + 2147483648) & 4294967295) - 2147483648"},
        {"CAST(k - 5000000000 AS INTEGER)", "((k - 5000000000 + 2147483648) & 4294967295) - 2147483648"},
        {"CAST(n + 5000070000 AS SMALLINT)", "((n + 5000070000 + 32768) & 65535) - 32768"},
        {"CAST(n AS SMALLINT)", "((n + 32768) & 65535) - 32768"},
        {"CAST(n - 5000000000 AS WORD)", "(n - 5000000000) & 65535"},
        {"CAST(CAST(k AS WORD) AS LARGEINT)", "k & 65535"},
    };
    for (const auto& [ours, theirs] : narrowing) {
        TextRows here = disk.Rows("SELECT k, " + ours + " FROM t");
        TextRows there = lite.Rows("SELECT k, " + theirs + " FROM t");
        std::sort(here.begin(), here.end());
        std::sort(there.begin(), there.end());
        EXPECT_EQ(here, there) << ours;
    }
}

TEST(SelectVsSqlite, RandomQueriesAgree) {
    SqlDb db;
    Lite lite;
    Generator g(20261207);
    FillBoth(db, lite, g, {{"t", 120}, {"u", 40}}, 12);
    ExpectAgreement(db, lite, 250, [&](int i) { return i % 3 == 2 ? TwoTables(g) : SingleTable(g); });
}

TEST(SelectVsSqlite, RandomThreeTableJoinsAgree) {
    SqlDb db;
    Lite lite;
    Generator g(20261208);
    FillBoth(db, lite, g, {{"t", 300}, {"u", 30}, {"v", 5}}, 12);
    ExpectAgreement(db, lite, 160, [&](int) { return ThreeTables(g); });
}

TEST(SelectVsSqlite, RandomJoinChainsAgree) {
    SqlDb db;
    Lite lite;
    Generator g(20261209);
    FillBoth(db, lite, g, {{"t", 150}, {"u", 25}, {"v", 8}, {"w", 3}}, 9);
    ExpectAgreement(db, lite, 120, [&](int) { return JoinChain(g); });
}

}  // namespace
}  // namespace kura::selecttest

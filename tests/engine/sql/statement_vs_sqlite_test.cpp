// Random sequences of INSERT, UPDATE and DELETE run on our engine and on SQLite:
// after every statement both agree on failing or not, on the rows reported as
// affected and on the whole table (compared in key order).
//
// Key changes shift by 1000 * 2^j in statement j, so no order of visiting the rows
// can make a key meet another row's key part-way (the two engines walk the rows in
// different orders); inserted keys stay below 1000. Strings stay within the
// column's size, where the engines agree. Deliberate differences left out: "= NULL"
// tests for NULL in our dialect; strings longer than the column are cut in ours.
#include <sqlite3.h>

#include <algorithm>
#include <random>

#include "tests/engine/sql/StatementTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

class Peer {
public:
    Peer() {
        sqlite3_open(":memory:", &db_);
        Exec("CREATE TABLE t (k INTEGER NOT NULL UNIQUE, a INTEGER, s TEXT)");
    }
    ~Peer() { sqlite3_close(db_); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // False when the statement failed (its changes undone).
    bool Exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
    int Changes() { return sqlite3_changes(db_); }
    std::vector<std::string> Rows() { return Select("SELECT k, a, s FROM t ORDER BY k"); }
    // Each row as its column texts joined with "|", NULL for a NULL.
    std::vector<std::string> Select(const std::string& sql) {
        std::vector<std::string> rows;
        sqlite3_stmt* s = nullptr;
        sqlite3_prepare_v2(db_, sql.c_str(), -1, &s, nullptr);
        while (sqlite3_step(s) == SQLITE_ROW) {
            std::string row;
            for (int c = 0; c < sqlite3_column_count(s); ++c) {
                if (c) row += "|";
                const unsigned char* text = sqlite3_column_text(s, c);
                row += text ? reinterpret_cast<const char*>(text) : "NULL";
            }
            rows.push_back(row);
        }
        sqlite3_finalize(s);
        return rows;
    }

private:
    sqlite3* db_ = nullptr;
};

std::vector<std::string> SortedByKey(std::vector<std::string> rows) {
    std::sort(rows.begin(), rows.end(), [](const std::string& a, const std::string& b) {
        return std::stoll(a.substr(0, a.find('|'))) < std::stoll(b.substr(0, b.find('|')));
    });
    return rows;
}

class Generator {
public:
    explicit Generator(uint32_t seed) : rng_(seed) {}

    std::string Statement() {
        switch (Pick(6)) {
            case 0:
            case 1:
                return "INSERT INTO t VALUES (" + std::to_string(1 + Pick(60)) + ", " + Value() + ", " + Text() + ")";
            case 2: return "UPDATE t SET a = a + " + std::to_string(Pick(7)) + " WHERE " + Condition(2);
            case 3: return "UPDATE t SET s = " + Text() + ", a = " + Value() + " WHERE " + Condition(2);
            case 4:
                if (shifts_ < 16) {
                    const int64_t by = 1000LL << shifts_++;
                    return "UPDATE t SET k = k + " + std::to_string(by) + " WHERE " + Condition(2);
                }
                return "DELETE FROM t WHERE " + Condition(2);
            default: return "DELETE FROM t WHERE " + Condition(2);
        }
    }

private:
    int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
    std::string Value() { return Pick(5) == 0 ? "NULL" : std::to_string(Pick(20)); }
    std::string Text() {
        static const char* const texts[] = {"NULL", "'a'", "'ab'", "'abc'", "'xyz'", "'zz'"};
        return texts[Pick(6)];
    }
    // "= NULL" is a test for NULL in our dialect and never true in SQLite's.
    std::string NonNullText() {
        std::string text = Text();
        return text == "NULL" ? "'ab'" : text;
    }
    std::string Condition(int depth) {
        const int kind = Pick(depth > 0 ? 9 : 7);
        const std::string n = std::to_string(Pick(20));
        switch (kind) {
            case 0: return "k < " + std::to_string(Pick(70));
            case 1: return "k >= " + std::to_string(Pick(70));
            case 2: return "a = " + n;
            case 3: return "a > " + n;
            case 4: return Pick(2) ? "a IS NULL" : "a IS NOT NULL";
            case 5: return "s = " + NonNullText();
            case 6: return "k BETWEEN " + n + " AND " + std::to_string(Pick(70));
            case 7: return "(" + Condition(depth - 1) + ") AND (" + Condition(depth - 1) + ")";
            default: return "(" + Condition(depth - 1) + ") OR (" + Condition(depth - 1) + ")";
        }
    }

    std::mt19937 rng_;
    int shifts_ = 0;
};

TEST(StatementsVsSqlite, RandomSequencesAgree) {
    for (uint32_t seed = 1; seed <= 6; ++seed) {
        SqlDatabase db;
        Peer peer;
        db.Run("CREATE TABLE t (k INTEGER, a INTEGER, s CHAR(3), PRIMARY KEY (k))");
        Generator generate(seed);
        for (int step = 0; step < 60; ++step) {
            const std::string sql = generate.Statement();
            SCOPED_TRACE("seed " + std::to_string(seed) + ": " + sql);
            uint32_t ours = 0;
            bool ourOk = true;
            try {
                ours = db.Run(sql);
            } catch (const EKuraEngineError& e) {
                ourOk = false;
                ASSERT_EQ(e.ErrorCode(), KURA_KEYVIOL) << e.what();
            }
            const bool theirOk = peer.Exec(sql);
            ASSERT_EQ(ourOk, theirOk);
            if (ourOk) {
                EXPECT_EQ(static_cast<int>(ours), peer.Changes());
            }
            ASSERT_EQ(SortedByKey(db.Rows("t")), peer.Rows());
        }
    }
}

// Dropping an index that is not the last moves the ones after it down a slot:
// seeks, ranges, filters and ordered reads through them must still find what
// SQLite finds, also after rows are written and an index is added into the freed
// slot again, and inside a transaction, which keeps the table and its cached index
// pages open across the drop.
TEST(StatementsVsSqlite, ReadsThroughIndexesMovedByADropAgree) {
    std::mt19937 rng(5);
    const auto pick = [&rng](int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); };
    const auto value = [&] { return pick(6) == 0 ? std::string("NULL") : std::to_string(pick(30)); };
    const auto text = [&] {
        static const char* const texts[] = {"NULL", "'a'", "'ab'", "'abc'", "'b'", "'zz'"};
        return std::string(texts[pick(6)]);
    };
    for (const bool transaction : {false, true})
    for (const char* dropped : {"ia", "ib", "ic"}) {
        SCOPED_TRACE(std::string(dropped) + (transaction ? " in a transaction" : ""));
        SqlDatabase db;
        Peer peer;
        int nextKey = 1;
        const auto both = [&](const std::string& ours, const std::string& theirs) {
            db.Run(ours);
            ASSERT_TRUE(peer.Exec(theirs)) << theirs;
        };
        const auto insert = [&] {
            const std::string sql = "INSERT INTO x VALUES (" + std::to_string(nextKey++) + ", " + value() + ", " +
                                    value() + ", " + value() + ", " + text() + ")";
            both(sql, sql);
        };
        both("CREATE TABLE x (k INTEGER, a INTEGER, b INTEGER, c INTEGER, s CHAR(3), PRIMARY KEY (k))",
             "CREATE TABLE x (k INTEGER PRIMARY KEY, a INTEGER, b INTEGER, c INTEGER, s TEXT)");
        for (const char* index : {"ia ON x (a)", "ib ON x (b)", "ic ON x (c)", "isx ON x (s)"})
            both(std::string("CREATE INDEX ") + index, std::string("CREATE INDEX ") + index);
        for (int i = 0; i < 150; ++i) insert();
        if (transaction) {
            db.Run("START TRANSACTION");
            // Every index's pages in the cache before the drop.
            ASSERT_EQ(db.Select("SELECT k FROM x WHERE a = 3 OR b = 3 OR c = 3 OR s = 'ab' ORDER BY k"),
                      peer.Select("SELECT k FROM x WHERE a = 3 OR b = 3 OR c = 3 OR s = 'ab' ORDER BY k"));
        }
        both(std::string("DROP INDEX x.") + dropped, std::string("DROP INDEX ") + dropped);
        const auto agree = [&](const char* stage) {
            SCOPED_TRACE(stage);
            for (int round = 0; round < 12; ++round) {
                const std::string n = std::to_string(pick(30)), m = std::to_string(pick(30));
                const std::string where[] = {
                    "c = " + n,
                    "b = " + n + " AND c IS NOT NULL",
                    "c BETWEEN " + n + " AND " + m,
                    "s = 'ab'",
                    "s >= 'abc' AND s < 'zz'",
                    "c > " + n + " AND b < " + m,
                    "a = " + n + " OR c = " + m,
                    "s IS NULL AND c < " + n,
                };
                for (const std::string& w : where) {
                    const std::string sql = "SELECT k, a, b, c, s FROM x WHERE " + w + " ORDER BY k";
                    ASSERT_EQ(db.Select(sql), peer.Select(sql)) << sql;
                }
                // Ordered through the moved indexes (keys break the ties alike).
                for (const char* column : {"c", "s"}) {
                    const std::string sql = std::string("SELECT ") + column + ", k FROM x WHERE " + column +
                                            " IS NOT NULL ORDER BY " + column + ", k";
                    ASSERT_EQ(db.Select(sql), peer.Select(sql)) << sql;
                }
                // Writes keep the moved indexes in step.
                insert();
                const std::string update = "UPDATE x SET c = " + value() + ", s = " + text() + " WHERE b = " + n;
                both(update, update);
                const std::string remove = "DELETE FROM x WHERE c = " + m + " AND a > " + n;
                both(remove, remove);
            }
        };
        agree("after the drop");
        both(std::string("CREATE INDEX ") + dropped + " ON x (b)", std::string("CREATE INDEX ") + dropped + " ON x (b)");
        agree("after an index took the freed slot");
        if (transaction) {
            db.Run("COMMIT");
            agree("after the commit");
        }
    }
}

}  // namespace

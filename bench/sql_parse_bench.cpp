// Parsing a 40-line SELECT with joins, grouping and ordering into our query model,
// against SQLite compiling the same text with sqlite3_prepare_v2 (tables created
// once beforehand), in the same run. Reports microseconds per statement for both and
// the ratio ours / SQLite. SQLite's prepare also resolves names and generates its
// program; ours stops at the model, which is where our planning starts.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <stdexcept>

#include "engine/core/EngineLibrary.h"
#include "engine/sql/QueryStatement.h"

using namespace kura;

namespace {

constexpr int32_t Parses = 100000;

constexpr const char* Statement = R"(SELECT s.BusyoKBN AS Busyo,
       b.BusyoName,
       COUNT(*) AS Ninzu,
       SUM(s.Kyuyo) AS KyuyoGokei,
       AVG(s.Kyuyo) AS KyuyoHeikin,
       MIN(s.SeinenYMD) AS Sainentyo,
       MAX(s.NyusyaYMD) AS SaisinNyusya
  FROM Staff s
  JOIN Busyo b
    ON s.BusyoKBN = b.BusyoKBN
  LEFT OUTER JOIN Gakureki g
    ON g.StaffCD = s.StaffCD
   AND g.KBN = 1
  LEFT OUTER JOIN Kazoku k
    ON k.StaffCD = s.StaffCD
 INNER JOIN Yakusyoku y
    ON y.YakusyokuKBN = s.YakusyokuKBN
 WHERE s.TaisyokuYMD IS NULL
   AND s.SeibetuKBN IN (1, 2)
   AND s.Kyuyo BETWEEN 150000 AND 900000
   AND UPPER(s.Furigana) LIKE 'TA%'
   AND (s.TelNo IS NOT NULL OR s.KeitaiNo IS NOT NULL)
   AND s.StaffCD > 100
   AND COALESCE(s.Biko, '') <> 'x'
   AND CAST(s.StaffCD AS INTEGER) < 1000000
   AND b.Kubun = 'A'
   AND y.Rank >= 2
   AND (g.NAIYO IS NULL OR g.NAIYO <> '')
   AND (k.ZokugaraKBN IS NULL OR k.ZokugaraKBN < 9)
   AND s.Jyusyo NOT LIKE '%test%'
   AND s.SeinenYMD > '1950-01-01'
   AND s.BusyoKBN + 0 = s.BusyoKBN
 GROUP BY s.BusyoKBN,
          b.BusyoName
HAVING COUNT(s.StaffCD) > 1
   AND SUM(s.Kyuyo) > 0
 ORDER BY s.BusyoKBN DESC,
          b.BusyoName,
          Ninzu)";

constexpr const char* Schema =
    "CREATE TABLE Staff (StaffCD INTEGER, BusyoKBN INTEGER, YakusyokuKBN INTEGER, SeibetuKBN INTEGER, Kyuyo INTEGER,"
    " SeinenYMD TEXT, NyusyaYMD TEXT, TaisyokuYMD TEXT, Furigana TEXT, TelNo TEXT, KeitaiNo TEXT, Biko TEXT,"
    " Jyusyo TEXT);"
    "CREATE TABLE Busyo (BusyoKBN INTEGER, BusyoName TEXT, Kubun TEXT);"
    "CREATE TABLE Gakureki (StaffCD INTEGER, KBN INTEGER, NAIYO TEXT);"
    "CREATE TABLE Kazoku (StaffCD INTEGER, ZokugaraKBN INTEGER);"
    "CREATE TABLE Yakusyoku (YakusyokuKBN INTEGER, Rank INTEGER);";

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void BM_ParseFortyLineSelectVsSqlite(benchmark::State& state) {
    InitEngineLibrary();
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) throw std::runtime_error("sqlite open");
    if (sqlite3_exec(db, Schema, nullptr, nullptr, nullptr) != SQLITE_OK) throw std::runtime_error("sqlite schema");
    TQueryStatement statement;
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        for (int32_t i = 0; i < Parses; ++i) {
            statement.ParseFirst(Statement);
            benchmark::DoNotOptimize(statement.MasterQuery());
        }
        ours += Seconds(start);
        start = std::chrono::steady_clock::now();
        for (int32_t i = 0; i < Parses; ++i) {
            sqlite3_stmt* compiled = nullptr;
            if (sqlite3_prepare_v2(db, Statement, -1, &compiled, nullptr) != SQLITE_OK) {
                throw std::runtime_error(sqlite3_errmsg(db));
            }
            sqlite3_finalize(compiled);
        }
        theirs += Seconds(start);
    }
    sqlite3_close(db);
    const double parses = static_cast<double>(state.iterations()) * Parses;
    state.counters["kura_us_per_parse"] = ours * 1e6 / parses;
    state.counters["sqlite_us_per_prepare"] = theirs * 1e6 / parses;
    state.counters["ratio_kura_to_sqlite"] = ours / theirs;
}

BENCHMARK(BM_ParseFortyLineSelectVsSqlite)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace

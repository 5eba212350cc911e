#include "SqlTestSupport.h"

using namespace kura;
using namespace kura::sqltest;

namespace {

struct ModelCase {
    const char* Text;
    const char* Model;
};

const ModelCase ModifyCases[] = {
    {"INSERT INTO t VALUES (1, 'a')", "INSERT from[1:t] set[*] values[1,'a']"},
    {"insert into MEMORY db\\t x (a, x.b, 'c d') values (?, -1, CURRENT_DATE) NOAUTOINC COMMIT INTERVAL 10 FLUSH",
     "INSERT from[1:mem:db\\t x] noautoinc interval 10 flush set[a,x.b,c d] values[?,-(1),CURRENT_DATE]"},
    {"INSERT INTO t SELECT * FROM u", "INSERT from[1:t] set[*] from-select"},
    {"INSERT INTO t (SELECT a FROM u)", "INSERT from[1:t] set[*] from-select"},
    {"INSERT INTO t (a) SELECT b FROM u UNION SELECT c FROM v COMMIT FLUSH",
     "INSERT from[1:t] flush set[a] from-select"},
    {"INSERT INTO t (Count, Min) VALUES (1, 2)", "INSERT from[1:t] set[Count,Min] values[1,2]"},
    {"UPDATE t SET a = 1", "UPDATE from[1:t] set[a] values[1]"},
    {"UPDATE t x SET x.a = x.a + ?, b = NULL WHERE x.k = 3 NOAUTOINC COMMIT FLUSH NOJOINOPTIMIZE",
     "UPDATE from[1:t x] where[=(x.k,3)] nojoinopt noautoinc flush set[x.a,b] values[+(x.a,?),null]"},
    {"UPDATE t x SET a = 1 FROM t x JOIN u ON x.k = u.k",
     "UPDATE from[1:t x,2:u] inner[u on =(x.k,u.k)] joined set[a] values[1]"},
    {"UPDATE t SET a = u.b FROM 'c:\\db\\T.dat' AS t, u WHERE t.k = u.k",
     "UPDATE from[1:t,2:u] joined where[=(t.k,u.k)] set[a] values[u.b]"},
    {"UPDATE (t SET a = 1 FROM t LEFT JOIN u ON t.k = u.k)",
     "UPDATE from[1:t,2:u] left[u on =(t.k,u.k)] joined set[a] values[1]"},
    {"DELETE FROM t", "DELETE from[1:t]"},
    {"DELETE FROM t x WHERE x.a IN (SELECT b FROM u) COMMIT INTERVAL 5 NOJOINOPTIMIZE",
     "DELETE from[1:t x] where[IN(x.a,{SELECT})] nojoinopt interval 5"},
    {"DELETE FROM t, u WHERE t.k = u.k", "DELETE from[1:t,2:u] joined where[=(t.k,u.k)]"},
    {"DELETE FROM t JOIN u ON t.k = u.k", "DELETE from[1:t,2:u] inner[u on =(t.k,u.k)] joined"},
};

TEST(ModifyParse, ModelOfEveryForm) {
    PoolScope pool;
    for (const ModelCase& c : ModifyCases) {
        EXPECT_EQ(DescribeText(c.Text), c.Model) << c.Text;
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ModifyParse, StatementDetails) {
    SqlOutcome insert = ParseSql("INSERT INTO t (a, b) VALUES (?, ?)");
    ASSERT_EQ(insert.Message, "");
    EXPECT_EQ(insert.Master()->Kind, skInsert);
    EXPECT_EQ(insert.Master()->LiveRequest, 1);
    ASSERT_EQ(insert.Statement->Parameters().size(), 2u);
    EXPECT_EQ(insert.Statement->Parameters()[0], insert.Master()->UpdateValues[0]->Expression);
    EXPECT_EQ(insert.Master()->UpdateValues[1]->ExpressionText, "?");

    SqlOutcome source = ParseSql("INSERT INTO t SELECT a FROM u");
    ASSERT_EQ(source.Statement->Queries().size(), 2u);
    EXPECT_EQ(source.Master()->InsertSource, source.Statement->Queries()[1].get());
    EXPECT_EQ(source.Master()->InsertSource->LiveRequest, 1);

    SqlOutcome update = ParseSql("UPDATE t SET a = 1 FROM t, u, v");
    ASSERT_EQ(update.Message, "");
    ASSERT_EQ(update.Master()->SourceTables.size(), 3u);
    EXPECT_EQ(update.Master()->SourceTables[2]->TableNumber, 3);
    EXPECT_EQ(update.Statement->StatementKind(), skUpdate);

    SqlOutcome own = [] {
        SqlOutcome o;
        o.Statement->DatabasePath = "c:\\data";
        o.Statement->ParseFirst("DELETE FROM staff");
        return o;
    }();
    EXPECT_EQ(own.Master()->FirstSourceTable()->Database, "c:\\data");
}

}  // namespace

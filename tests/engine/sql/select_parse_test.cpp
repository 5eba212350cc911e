#include "SqlTestSupport.h"

using namespace kura;
using namespace kura::sqltest;

namespace {

struct ModelCase {
    const char* Text;
    const char* Model;
};

// The model of representative SELECT texts: columns with their names, tables with
// correlation names, joins, conditions, grouping, ordering and options.
const ModelCase SelectCases[] = {
    {"select * from staff", "SELECT all* cols[*] from[1:staff]"},
    {"SeLeCt * FrOm Staff;  ", "SELECT all* cols[*] from[1:Staff]"},
    {"SELECT a b FROM t", "SELECT cols[a@b] from[1:t]"},
    {"SELECT a AS \"Long Name\", t.b, 'x'.c FROM t", "SELECT cols[a@Long Name,t.b:b,x.c:c] from[1:t]"},
    {"SELECT a x.y FROM t", "SELECT cols[a@y] from[1:t]"},
    {"SELECT a FROM t x WHERE x.a = 1", "SELECT cols[a:a] from[1:t x] where[=(x.a,1)]"},
    {"SELECT a FROM t AS x", "SELECT cols[a:a] from[1:t x]"},
    {"SELECT ALL DISTINCT a FROM t", "SELECT distinct cols[a:a] from[1:t]"},
    {"SELECT COUNT(*) FROM t", "SELECT cols[COUNT(*)] from[1:t]"},
    {"SELECT SUM(a), MAX(t.b) m, AVG(a + 1) FROM t",
     "SELECT cols[SUM(a),MAX(t.b)@m,=AVG(+(a,1))] from[1:t]"},
    {"SELECT a + 1, UPPER(b) FROM t", "SELECT cols[=+(a,1),=UPPER(b)] from[1:t]"},
    {"SELECT a FROM t1, t2 y, MEMORY m", "SELECT cols[a:a] from[1:t1,2:t2 y,3:mem:m] joined"},
    {"SELECT a FROM 'c:/data/staff.dat' s", "SELECT cols[a:a] from[1:c:\\data\\staff s]"},
    {"SELECT a FROM db\\t", "SELECT cols[a:a] from[1:db\\t]"},
    {"SELECT a FROM t1 JOIN t2 ON t1.k = t2.k",
     "SELECT cols[a:a] from[1:t1,2:t2] inner[t2 on =(t1.k,t2.k)] joined"},
    {"SELECT a FROM t1 INNER JOIN t2 x ON t1.k = x.k LEFT OUTER JOIN t3 ON t3.k = x.k RIGHT JOIN t4 ON t4.k = 1",
     "SELECT cols[a:a] from[1:t1,2:t2 x,3:t3,4:t4] inner[x on =(t1.k,x.k)] left[t3 on =(t3.k,x.k)] "
     "right[t4 on =(t4.k,1)] joined"},
    {"SELECT a FROM t1 LEFT JOIN t2 ON t1.k = t2.k AND t2.v IN (1, 2)",
     "SELECT cols[a:a] from[1:t1,2:t2] left[t2 on AND(=(t1.k,t2.k),IN(t2.v,1,2))] joined"},
    {"SELECT a FROM (t1 JOIN t2 ON t1.k = t2.k)", "SELECT cols[a:a] from[1:t1,2:t2] inner[t2 on =(t1.k,t2.k)] joined"},
    {"SELECT a FROM ((t1 JOIN t2 ON t1.k = t2.k) JOIN t3 ON t3.k = t2.k)",
     "SELECT cols[a:a] from[1:t1,2:t2,3:t3] inner[t2 on =(t1.k,t2.k)] inner[t3 on =(t3.k,t2.k)] joined"},
    {"SELECT d, COUNT(*) FROM staff GROUP BY d ORDER BY 2 DESC, d",
     "SELECT cols[d:d,COUNT(*)] from[1:staff] group[d] order[#2 desc,d]"},
    {"SELECT s.d, SUM(x) FROM staff s GROUP BY s.d, 1 HAVING SUM(x) > 10 ORDER BY s.d ASCENDING NOCASE",
     "SELECT cols[s.d:d,SUM(x)] from[1:staff s] group[s.d,#1] having[>(SUM(x),10)] order[s.d] nocase"},
    {"SELECT a FROM t WHERE a LIKE 'S%' AND b BETWEEN 1 AND 2 OR c IS NULL",
     "SELECT cols[a:a] from[1:t] where[OR(AND(LIKE(a,'S%'),BETWEEN(b,1,2)),IS NULL(c,null))]"},
    {"SELECT a FROM t WHERE a = ? AND b = ?", "SELECT cols[a:a] from[1:t] where[AND(=(a,?),=(b,?))]"},
    {"SELECT a FROM t WHERE a IN (SELECT b FROM u)", "SELECT cols[a:a] from[1:t] where[IN(a,{SELECT})]"},
    {"SELECT a FROM t TOP 5 WITH LOCKS LANGUAGE 'ANSI Standard' SORT 'Default Order' ENCRYPTED WITH 'pw' "
     "NOJOINOPTIMIZE",
     "SELECT cols[a:a] from[1:t] top 5 locks lang 0 sort 0 password[pw] nojoinopt"},
    {"SELECT a FROM t LANGUAGE 'english (usa)'", "SELECT cols[a:a] from[1:t] lang 1033"},
    {"SELECT a FROM t LANGUAGE \"German (Standard)\" SORT [german phone book order]",
     "SELECT cols[a:a] from[1:t] lang 1031 sort 1"},
    {"SELECT a INTO result FROM t", "SELECT cols[a:a] into[result] from[1:t]"},
    {"SELECT a INTO MEMORY FROM t", "SELECT cols[a:a] into[mem:] from[1:t]"},
    {"SELECT a INTO MEMORY r FROM t", "SELECT cols[a:a] into[mem:r] from[1:t]"},
    {"SELECT a INTO db\\r FROM t", "SELECT cols[a:a] into[db\\r] from[1:t]"},
    {"(SELECT a FROM t)", "SELECT cols[a:a] from[1:t]"},
    {"SELECT a FROM t UNION SELECT b FROM u ORDER BY 1 TOP 3",
     "SELECT cols[a:a] from[1:t] order[#1] top 3 union"},
    {"SELECT a FROM t UNION ALL SELECT b FROM u", "SELECT cols[a:a] from[1:t] union all"},
    {"SELECT a FROM t UNION (SELECT b FROM u)", "SELECT cols[a:a] from[1:t] union"},
    // Keywords are not reserved where the grammar does not look for them.
    {"SELECT [from], \"select\", [count] FROM \"where\" \"order\"",
     "SELECT cols[from:from,='select',count:count] from[1:where order]"},
    {"SELECT a FROM t /* comment */ WHERE /* another\n one */ a = #65",
     "SELECT cols[a:a] from[1:t] where[=(a,'A')]"},
    {"SELECT a FROM t WHERE d = '2001-02-03' AND e > 1.5e3",
     "SELECT cols[a:a] from[1:t] where[AND(=(d,'2001-02-03'),>(e,1.5e3))]"},
    // No line comments: "--" is two minus signs.
    {"SELECT a--1 FROM t", "SELECT cols[=-(a,-(1))] from[1:t]"},
};

TEST(SelectParse, ModelOfEveryForm) {
    PoolScope pool;
    for (const ModelCase& c : SelectCases) {
        EXPECT_EQ(DescribeText(c.Text), c.Model) << c.Text;
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(SelectParse, FlagsAndLinks) {
    SqlOutcome r = ParseSql("SELECT a FROM t UNION SELECT b FROM u UNION ALL SELECT c FROM v WHERE c IN (SELECT d FROM w)");
    ASSERT_EQ(r.Message, "");
    const auto& queries = r.Statement->Queries();
    ASSERT_EQ(queries.size(), 4u);
    TDataQuery* master = queries[0].get();
    EXPECT_EQ(master->HasUnion, 1);
    EXPECT_EQ(master->LiveRequest, 1);
    EXPECT_EQ(master->NextUnion, queries[1].get());
    EXPECT_EQ(queries[1]->IsUnionMember, 1);
    EXPECT_EQ(queries[1]->UnionAll, 0);
    EXPECT_EQ(queries[1]->PreviousUnion, master);
    EXPECT_EQ(queries[1]->NextUnion, queries[2].get());
    EXPECT_EQ(queries[2]->UnionAll, 1);
    EXPECT_EQ(queries[3]->IsSubQuery, 1);
    EXPECT_EQ(queries[3]->LiveRequest, 1);
    EXPECT_EQ(queries[1]->LiveRequest, 1);
    EXPECT_EQ(Describe(*queries[3]), "SELECT cols[d:d] from[1:w]");
    EXPECT_EQ(queries[2]->Where->Arguments[1]->Query, queries[3].get());
    EXPECT_EQ(r.Statement->StatementKind(), skSelect);

    SqlOutcome avg = ParseSql("SELECT AVG(a), a * 2 FROM t");
    EXPECT_EQ(avg.Master()->HasAvg, 1);
    EXPECT_EQ(avg.Master()->HasComputed, 1);
    EXPECT_EQ(avg.Master()->ResultFields[0]->ResultName, "");
    EXPECT_EQ(avg.Master()->ResultFields[1]->ExpressionText, "a * 2");

    SqlOutcome into = ParseSql("SELECT a INTO r FROM t");
    EXPECT_EQ(into.Master()->LiveRequest, 0);
    EXPECT_EQ(ParseSql("SELECT COUNT(*) FROM t").Master()->SelectAll, 0);
    EXPECT_EQ(ParseSql("SELECT t.* FROM t JOIN u ON t.k = u.k").Master()->SelectAll, 0);
    EXPECT_EQ(ParseSql("SELECT * FROM t JOIN u ON t.k = u.k").Master()->SelectAll, 1);
    EXPECT_EQ(ParseSql("(SELECT a FROM t)").Master()->Parenthesised, 1);
    // MEMORY before a source table does not move the result; INTO MEMORY and MEMORY
    // before a statement's target do.
    EXPECT_EQ(ParseSql("SELECT a FROM MEMORY t").Master()->InMemory, 0);
    EXPECT_EQ(ParseSql("SELECT a INTO MEMORY FROM t").Master()->InMemory, 1);
    EXPECT_EQ(ParseSql("DELETE FROM MEMORY t").Master()->InMemory, 1);
    EXPECT_EQ(ParseSql("CREATE TABLE MEMORY t (a INTEGER)").Master()->InMemory, 1);
}

TEST(SelectParse, SeveralStatementsInOneText) {
    SqlOutcome r = ParseSql("SELECT a FROM t; SELECT b FROM u");
    ASSERT_EQ(r.Message, "");
    EXPECT_TRUE(r.Statement->HasMoreStatements());
    r.Statement->ParseNext();
    EXPECT_EQ(Describe(*r.Master()), "SELECT cols[b:b] from[1:u]");
    EXPECT_FALSE(r.Statement->HasMoreStatements());
    SqlOutcome single = ParseSql("SELECT a FROM t;   ");
    EXPECT_FALSE(single.Statement->HasMoreStatements());
}

TEST(SelectParse, CorrelationAfterFromInInsertSource) {
    // COMMIT is not taken as u's correlation name; the interval belongs to the INSERT.
    SqlOutcome r = ParseSql("INSERT INTO t (a, b) SELECT x, y FROM u COMMIT INTERVAL 100");
    ASSERT_EQ(r.Message, "");
    EXPECT_EQ(Describe(*r.Master()), "INSERT from[1:t] interval 100 set[a,b] from-select");
    EXPECT_EQ(Describe(*r.Master()->InsertSource), "SELECT cols[x:x,y:y] from[1:u]");
    EXPECT_EQ(r.Master()->InsertSource->IsSubQuery, 1);
    // In a plain SELECT the same word is a correlation name.
    EXPECT_EQ(DescribeText("SELECT a FROM u COMMIT"), "SELECT cols[a:a] from[1:u COMMIT]");
}

TEST(SelectParse, LongReportQuery) {
    const char* text = R"(SELECT s.BusyoKBN AS Busyo, b.BusyoName, COUNT(*) AS Ninzu,
       SUM(s.Kyuyo) AS KyuyoGokei, AVG(s.Kyuyo) -- a comment this dialect does not have
  FROM Staff s
  JOIN Busyo b ON s.BusyoKBN = b.BusyoKBN
  LEFT OUTER JOIN Gakureki g ON g.StaffCD = s.StaffCD AND g.KBN = 1
 WHERE s.TaisyokuYMD IS NULL AND s.SeibetuKBN IN (1, 2)
 GROUP BY s.BusyoKBN, b.BusyoName
HAVING COUNT(s.StaffCD) > 1 AND SUM(s.Kyuyo) > 0
 ORDER BY s.BusyoKBN DESC, b.BusyoName, Ninzu)";
    EXPECT_EQ(DescribeText(text),
              "error: Aggregate functions cannot be used within expressions");
    std::string fixed(text);
    const size_t dashes = fixed.find("--");
    fixed.erase(dashes, fixed.find('\n', dashes) - dashes);
    EXPECT_EQ(DescribeText(fixed),
              "SELECT cols[s.BusyoKBN@Busyo,b.BusyoName:BusyoName,COUNT(*)@Ninzu,SUM(s.Kyuyo)@KyuyoGokei,AVG(s.Kyuyo)] "
              "from[1:Staff s,2:Busyo b,3:Gakureki g] inner[b on =(s.BusyoKBN,b.BusyoKBN)] "
              "left[g on AND(=(g.StaffCD,s.StaffCD),=(g.KBN,1))] joined "
              "where[AND(IS NULL(s.TaisyokuYMD,null),IN(s.SeibetuKBN,1,2))] group[s.BusyoKBN,b.BusyoName] "
              "having[AND(>(COUNT(s.StaffCD),1),>(SUM(s.Kyuyo),0))] order[s.BusyoKBN desc,b.BusyoName,Ninzu]");
}

}  // namespace

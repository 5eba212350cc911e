// The query component through its life: text and parameters, prepare, open and
// browse a result, ExecSQL of data-changing statements, master-detail parameters,
// and the misuse messages.
#include "components/KuraQuery.h"

#include <algorithm>
#include <map>

#include "engine/sql/QueryStatement.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/Field.h"
#include "tests/components/ComponentTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

class QueryLifecycle : public ComponentTest {
protected:
    std::unique_ptr<TKuraQuery> NewQuery(const std::string& sql) {
        auto q = std::make_unique<TKuraQuery>();
        q->SetDatabaseName(dir.path());
        q->SetSQL(sql);
        return q;
    }
    // Every row from First to EOF, the named fields joined with "|", NULL for null.
    static std::vector<std::string> Rows(TDataSet& q, const std::vector<std::string>& fields) {
        std::vector<std::string> rows;
        q.First();
        while (!q.Eof()) {
            std::string row;
            for (size_t i = 0; i < fields.size(); ++i) {
                TField* f = q.FieldByName(fields[i]);
                if (i) row += "|";
                row += f->IsNull() ? "NULL" : f->AsString();
            }
            rows.push_back(row);
            q.Next();
        }
        return rows;
    }
};

using RowList = std::vector<std::string>;

TEST_F(QueryLifecycle, ExecSqlRunsDataChangingStatementsAndLeavesTheQueryClosed) {
    auto staff = StaffTable(5);
    staff->Close();
    auto q = NewQuery("UPDATE Staff SET Score = 100 WHERE Id >= 4");
    q->ExecSQL();
    EXPECT_FALSE(q->Active());
    EXPECT_EQ(q->RowsAffected(), 2u);
    EXPECT_TRUE(q->Prepared());
    q->SetSQL("DELETE FROM Staff WHERE Id = 1");
    EXPECT_FALSE(q->Prepared());
    // Asking for the fields of a data-changing statement does not run it.
    q->FieldDefs().Update();
    EXPECT_EQ(q->FieldDefs().Count(), 0);
    q->ExecSQL();
    EXPECT_EQ(q->RowsAffected(), 1u);
    staff->Open();
    EXPECT_EQ(Rows(*staff, {"Id", "Score"}), (RowList{"2|2", "3|3", "4|100", "5|100"}));
}

TEST_F(QueryLifecycle, ParametersByName) {
    auto staff = StaffTable(3);
    staff->Close();
    auto q = NewQuery("UPDATE Staff SET Name = :name, Score = :score WHERE Id = :id");
    ASSERT_EQ(q->Params().Count(), 3);
    EXPECT_EQ(q->Text(), "UPDATE Staff SET Name = ?, Score = ? WHERE Id = ?");
    q->ParamByName("name").SetAsString("Renamed   ");
    q->ParamByName("score").SetAsInteger(42);
    q->ParamByName("id").SetAsInteger(2);
    q->ExecSQL();
    EXPECT_EQ(q->RowsAffected(), 1u);
    // A text of blanks only is NULL.
    q->ParamByName("name").SetAsString("   ");
    q->ParamByName("id").SetAsInteger(3);
    q->ExecSQL();
    staff->Open();
    EXPECT_EQ(Rows(*staff, {"Id", "Name", "Score"}), (RowList{"1|N1|1", "2|Renamed|42", "3|NULL|42"}));
}

TEST_F(QueryLifecycle, ANameUsedTwiceGivesItsValueToBothMarkers) {
    auto staff = StaffTable(5);
    staff->Close();
    auto q = NewQuery("UPDATE Staff SET Score = :v WHERE Id = :v OR Id = :other");
    ASSERT_EQ(q->Params().Count(), 2);
    q->ParamByName("v").SetAsInteger(4);
    q->ParamByName("other").SetAsInteger(1);
    q->ExecSQL();
    EXPECT_EQ(q->RowsAffected(), 2u);
    staff->Open();
    EXPECT_EQ(Rows(*staff, {"Id", "Score"}), (RowList{"1|4", "2|2", "3|3", "4|4", "5|5"}));
}

TEST_F(QueryLifecycle, ParameterValuesSurviveATextChange) {
    auto q = NewQuery("DELETE FROM Staff WHERE Id = :id");
    q->ParamByName("id").SetAsInteger(7);
    q->SetSQL("DELETE FROM Staff WHERE Id = :id OR Score = :score");
    ASSERT_EQ(q->Params().Count(), 2);
    EXPECT_EQ(q->ParamByName("id").AsInteger(), 7);
    EXPECT_TRUE(q->ParamByName("score").IsNull());
}

TEST_F(QueryLifecycle, MisuseMessages) {
    auto q = NewQuery("x");
    EXPECT_EQ(DatabaseErrorOf([&] { q->Prepare(); }), "No SQL statement available");
    q->SetSQL("");
    EXPECT_EQ(DatabaseErrorOf([&] { q->ExecSQL(); }), "No SQL statement available");
    StaffTable(1)->Close();
    q->SetSQL("DELETE FROM Staff WHERE Id = :id");
    EXPECT_EQ(DatabaseErrorOf([&] { q->ExecSQL(); }), "No value for parameter 'id'");
    TDataSource own;
    own.SetDataSet(q.get());
    EXPECT_EQ(DatabaseErrorOf([&] { q->SetDataSource(&own); }), "Circular data links are not allowed.");
    q->SetSQL("DELETE FROM Nowhere");
    EXPECT_NE(EngineErrorOf([&] { q->ExecSQL(); }), 0);
    q->SetSQL("DELETE Staff");
    EXPECT_EQ(EngineErrorOf([&] { q->ExecSQL(); }), KURA_SQLPARSE);
    EXPECT_EQ(q->MaxRowCount(), -1);
}

TEST_F(QueryLifecycle, OpenBrowseReopenAndUnprepare) {
    StaffTable(6)->Close();
    auto q = NewQuery("SELECT Id, Name, Score FROM Staff WHERE Score >= :low ORDER BY Score DESC");
    q->ParamByName("low").SetAsInteger(3);
    q->Open();
    EXPECT_TRUE(q->Active());
    EXPECT_EQ(Rows(*q, {"Id", "Name", "Score"}), (RowList{"6|N6|6", "5|N5|5", "4|N4|4", "3|N3|3"}));
    q->Close();
    EXPECT_TRUE(q->Prepared());
    q->ParamByName("low").SetAsInteger(5);
    q->Open();
    EXPECT_EQ(Rows(*q, {"Id"}), (RowList{"6", "5"}));
    // Changing the text while open closes and unprepares.
    q->SetSQL("SELECT COUNT(*) AS n FROM Staff");
    EXPECT_FALSE(q->Active());
    EXPECT_FALSE(q->Prepared());
    q->ExecSQL();
    EXPECT_TRUE(q->Active());
    EXPECT_EQ(Rows(*q, {"n"}), (RowList{"6"}));
    q->Close();
    q->UnPrepare();
    EXPECT_EQ(q->StmtHandle(), nullptr);
}

TEST_F(QueryLifecycle, MasterRecordDrivesTheParameters) {
    auto staff = StaffTable(4);
    auto detail = NewQuery("SELECT Id, Score FROM Staff WHERE Id = :Id");
    TDataSource source;
    source.SetDataSet(staff.get());
    detail->SetDataSource(&source);
    detail->Open();
    staff->First();
    EXPECT_EQ(Rows(*detail, {"Id", "Score"}), (RowList{"1|1"}));
    staff->Next();
    staff->Next();
    EXPECT_EQ(Rows(*detail, {"Id", "Score"}), (RowList{"3|3"}));
    std::vector<TField*> masterFields, detailFields;
    detail->GetDetailLinkFields(masterFields, detailFields);
    ASSERT_EQ(masterFields.size(), 1u);
    EXPECT_EQ(masterFields[0], staff->FieldByName("Id"));
    ASSERT_EQ(detailFields.size(), 1u);
    EXPECT_EQ(detailFields[0], detail->FieldByName("Id"));
    detail->Close();
    detail->SetDataSource(nullptr);
}

TEST_F(QueryLifecycle, ALiveResultIsEditedInPlace) {
    StaffTable(6)->Close();
    auto q = NewQuery("SELECT * FROM Staff WHERE Score >= :low");
    q->SetRequestLive(true);
    q->ParamByName("low").SetAsInteger(4);
    q->Open();
    ASSERT_TRUE(q->StmtHandle()->ResultLive());
    EXPECT_TRUE(q->CanModify());
    EXPECT_EQ(Rows(*q, {"Id", "Name"}), (RowList{"4|N4", "5|N5", "6|N6"}));
    q->First();
    q->Edit();
    q->FieldByName("Name")->SetAsString("Live");
    q->Post();
    q->Close();
    auto staff = NewTable();
    staff->Open();
    EXPECT_EQ(Rows(*staff, {"Id", "Name"}), (RowList{"1|N1", "2|N2", "3|N3", "4|Live", "5|N5", "6|N6"}));
}

// A column list with an alias and a computed column, ordered by an index: still
// the table's own cursor, showing just the select list; an edit of a plain column
// reaches the table and the columns left out keep their values.
TEST_F(QueryLifecycle, ALiveResultShowsItsSelectList) {
    StaffTable(6)->Close();
    auto q = NewQuery("SELECT Name AS Who, Score * 10 AS Tens, Score FROM Staff WHERE Id >= :low ORDER BY Score");
    q->SetRequestLive(true);
    q->ParamByName("low").SetAsInteger(3);
    q->Open();
    ASSERT_TRUE(q->StmtHandle()->ResultLive());
    EXPECT_TRUE(q->CanModify());
    std::vector<std::string> names;
    for (int i = 0; i < q->FieldCount(); ++i) names.push_back(q->Fields(i)->FieldName);
    EXPECT_EQ(names, (std::vector<std::string>{"Who", "Tens", "Score"}));
    // Scores are Id mod 7, so Ids 3 to 6 in the order of ByScore.
    EXPECT_EQ(Rows(*q, {"Who", "Tens", "Score"}), (std::vector<std::string>{"N3|30|3", "N4|40|4", "N5|50|5", "N6|60|6"}));
    // Locate by a result column's name, through an index or a scan.
    ASSERT_TRUE(q->Locate("Who", TVariant("N5"), 0));
    EXPECT_EQ(q->FieldByName("Tens")->AsInteger(), 50);
    ASSERT_TRUE(q->Locate("Score", TVariant(4), 0));
    EXPECT_EQ(q->FieldByName("Who")->AsString(), "N4");
    EXPECT_FALSE(q->Locate("Who", TVariant("N1"), 0));
    q->First();
    q->Edit();
    q->FieldByName("Who")->SetAsString("Third");
    q->Post();
    EXPECT_EQ(q->FieldByName("Tens")->AsInteger(), 30);
    q->Close();
    auto staff = NewTable();
    staff->Open();
    EXPECT_EQ(Rows(*staff, {"Id", "Name", "Score"}),
              (std::vector<std::string>{"1|N1|1", "2|N2|2", "3|Third|3", "4|N4|4", "5|N5|5", "6|N6|6"}));
    staff->Close();
    // A memo column of the select list is read and written through the table's BLOBs.
    auto memo = NewQuery("SELECT Notes, Id FROM Staff WHERE Id = 2");
    memo->SetRequestLive(true);
    memo->Open();
    ASSERT_TRUE(memo->StmtHandle()->ResultLive());
    memo->Edit();
    memo->FieldByName("Notes")->SetAsString("a note");
    memo->Post();
    memo->Close();
    memo->Open();
    EXPECT_EQ(Rows(*memo, {"Id", "Notes"}), (std::vector<std::string>{"2|a note"}));
    memo->Close();
    // An ORDER BY no index gives: a result table, not editable.
    auto copied = NewQuery("SELECT Name, Score FROM Staff ORDER BY Score DESC");
    copied->SetRequestLive(true);
    copied->Open();
    EXPECT_FALSE(copied->StmtHandle()->ResultLive());
    EXPECT_EQ(Rows(*copied, {"Name"}).front(), "N6");
}

TEST_F(QueryLifecycle, MaxRowCountLimitsTheResult) {
    StaffTable(10)->Close();
    auto q = NewQuery("SELECT Id FROM Staff");
    q->SetMaxRowCount(3);
    q->Open();
    EXPECT_EQ(Rows(*q, {"Id"}).size(), 3u);
    q->Close();
    q->SetMaxRowCount(-1);
    q->Open();
    EXPECT_EQ(Rows(*q, {"Id"}).size(), 10u);
}

// What the SQL window runs: a sub-query that is a UNION chain, and averages whose
// helper columns stay out of the fields, live request or not.
TEST_F(QueryLifecycle, SubQueryUnionsAndAveragesThroughTheComponent) {
    StaffTable(6)->Close();
    for (bool live : {false, true}) {
        auto q = NewQuery("SELECT Id FROM Staff WHERE Score IN (SELECT Score FROM Staff WHERE Id = 1 UNION "
                          "SELECT Id FROM Staff WHERE Id = 3) ORDER BY Id");
        q->SetRequestLive(live);
        q->Open();
        EXPECT_EQ(Rows(*q, {"Id"}), (RowList{"1", "3"}));
        q->Close();
        q->SetSQL("SELECT Score, AVG(Id), COUNT(*) FROM Staff GROUP BY Score HAVING AVG(Id) > 1");
        q->Open();
        ASSERT_EQ(q->FieldCount(), 3);
        EXPECT_EQ(q->Fields(1)->FieldName, "Average Of Id");
        EXPECT_EQ(q->Fields(2)->FieldName, "Count Of *");
        EXPECT_EQ(Rows(*q, {"Score", "Average Of Id"}), (RowList{"2|2", "3|3", "4|4", "5|5", "6|6"}));
    }
}

// A text column meets a constant alike whether an index serves the comparison or
// every record is read: constants shorter than, as long as and longer than the
// column, with trailing blanks, in every comparison and in ranges two or three
// comparisons bound (a constant on either side), under plain bytes and under a
// collating language, through a copied and a live result, COUNT(*), a table's
// filter (its case-insensitive form on the case-insensitive index) and the rows an
// UPDATE changes.
TEST_F(QueryLifecycle, AnIndexedTextColumnComparesWithAnyConstantAsWithoutTheIndex) {
    const std::string values[] = {"abc", "ab", "abd", "abb", "a", "ABC", "Abd", "b", "ab ", "zzz", "\x82\xa0"};
    const std::string constants[] = {"ab", "ab ", "abc", "abcd", "abc ", "ABCD", "abcdefgh"};
    const std::string forms[] = {"s = @", "s <> @", "s < @", "s <= @", "s > @", "s >= @", "s BETWEEN @ AND 'b'",
                                 "s BETWEEN 'a' AND @", "s IN (@, 'b')", "s NOT IN (@)", "s LIKE '@%'",
                                 "NOT (s LIKE '@%')", "UPPER(s) < @", "UPPER(s) >= @", "UPPER(s) = @", "LOWER(s) = @",
                                 "s > @ AND s < 'b'", "s >= 'a' AND s <= @", "s > 'a' AND s <= @ AND s >= @",
                                 "UPPER(s) >= 'A' AND UPPER(s) < @", "'a' < s AND @ >= s", "s BETWEEN 'a' AND @ AND @ > s"};
    const std::map<std::string, std::string> tables = {{"Plain", ""}, {"Keyed", "INDEX"}, {"Folded", "NOCASE INDEX"}};
    for (const std::string language : {"ANSI Standard", "English (USA)"}) {
        std::map<std::string, std::unique_ptr<TKuraTable>> open;
        for (const auto& [table, index] : tables) {
            NewQuery("CREATE TABLE " + table + " (id INTEGER, s CHAR(3), PRIMARY KEY (id) LANGUAGE '" + language +
                     "')")->ExecSQL();
            for (size_t i = 0; i <= std::size(values); ++i)
                NewQuery("INSERT INTO " + table + " VALUES (" + std::to_string(i + 1) + ", " +
                         (i < std::size(values) ? "'" + values[i] + "')" : "NULL)"))->ExecSQL();
            if (!index.empty()) NewQuery("CREATE " + index + " bys ON " + table + " (s)")->ExecSQL();
            (open[table] = NewTable(table))->Open();
        }
        // Paths: 0 a copied result, 1 a live one, 2 COUNT(*), 3 the table's filter, 4 it ignoring case,
        // 5 the count of rows an UPDATE changes.
        auto ids = [&](const std::string& table, const std::string& condition, int path) {
            if (path == 5) {
                auto q = NewQuery("UPDATE " + table + " SET id = id WHERE " + condition);
                q->ExecSQL();
                return RowList{std::to_string(q->RowsAffected())};
            }
            if (path >= 3) {
                TKuraTable& t = *open[table];
                t.SetFilterOptionsValue(TFilterOptions(path == 4 ? foCaseInsensitive : 0));
                t.SetFilter(condition);
                t.SetFilteredValue(true);
                return Rows(t, {"id"});
            }
            auto q = NewQuery((path == 2 ? "SELECT COUNT(*) AS n FROM " : "SELECT * FROM ") + table + " WHERE " +
                              condition);
            q->SetRequestLive(path == 1);
            q->Open();
            EXPECT_EQ(q->StmtHandle()->ResultLive(), path == 1);
            RowList rows = Rows(*q, {path == 2 ? "n" : "id"});
            std::sort(rows.begin(), rows.end());
            return rows;
        };
        for (const std::string& form : forms) {
            for (const std::string& k : constants) {
                std::string condition = form;
                for (size_t at = condition.find('@'); at != std::string::npos; at = condition.find('@'))
                    condition.replace(at, 1, condition[at - 1] == '\'' ? k : "'" + k + "'");
                for (int path = 0; path < 6; ++path) {
                    SCOPED_TRACE(language + ": " + condition + " path " + std::to_string(path));
                    const RowList plain = ids("Plain", condition, path);
                    EXPECT_EQ(ids("Keyed", condition, path), plain);
                    EXPECT_EQ(ids("Folded", condition, path), plain);
                }
            }
        }
        // 'abc' (row 1) sorts before a longer text it begins, and apart from a trailing blank.
        auto hasAbc = [&](const std::string& condition, int path) {
            const RowList rows = ids("Keyed", condition, path);
            return std::find(rows.begin(), rows.end(), "1") != rows.end();
        };
        EXPECT_TRUE(hasAbc("s < 'abcd'", 0) && hasAbc("s <> 'abcd'", 1) && !hasAbc("s >= 'abcd'", 3));
        EXPECT_EQ(ids("Keyed", "s = 'abcd'", 2), (RowList{"0"}));
        EXPECT_TRUE(language != "ANSI Standard" || !hasAbc("s >= 'abc '", 0));
        open.clear();
        for (const auto& table : tables) NewQuery("DROP TABLE " + table.first)->ExecSQL();
    }
}

}  // namespace

// Restructuring a table through the table component: fields added, dropped,
// renamed, retyped and moved, indexes and the full-text index changed, with every
// row checked afterwards; the progress and data-lost events and how their answers
// change the outcome; misuse; failures that must leave the table as it was.
#include <algorithm>
#include <filesystem>
#include <map>

#include "platform/CodePage.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

struct TQuestion {
    int Cause;
    std::string Context;
};

class Restructure : public ComponentTest {
protected:
    // The staff table with count rows, a memo on every third one; closed.
    std::unique_ptr<TKuraTable> Staff(int count, const std::string& name = "Staff") {
        auto t = StaffTable(count, name);
        for (t->First(); !t->Eof(); t->Next()) {
            const int id = t->FieldByName("Id")->AsInteger();
            if (id % 3 != 0) continue;
            t->Edit();
            t->FieldByName("Notes")->SetAsString("memo " + std::to_string(id));
            t->Post();
        }
        t->Close();
        return t;
    }

    // Every row, in primary key order, as "field=value|..." over the table's fields.
    static std::vector<std::string> Rows(TKuraTable& t) {
        const bool was = t.Active();
        if (!was) t.Open();
        std::vector<std::string> rows;
        for (t.First(); !t.Eof(); t.Next()) {
            std::string row;
            for (int i = 0; i < t.FieldCount(); ++i) {
                TField* f = t.Fields(i);
                if (f->DataType() == ftBlob) continue;
                row += f->FieldName + "=" + (f->IsNull() ? "<null>" : f->AsString()) + "|";
            }
            rows.push_back(row);
        }
        if (!was) t.Close();
        return rows;
    }

    // Questions are recorded; the answers come from answer (cause, index of question).
    void Answer(TKuraTable& t, std::function<void(int cause, int n, bool& carryOn, bool& stopAsking)> answer) {
        t.OnDataLost = [this, answer](TDataSet*, int cause, const std::string& context, bool& carryOn, bool& stop) {
            EXPECT_TRUE(carryOn);
            EXPECT_FALSE(stop);
            questions.push_back({cause, context});
            answer(cause, static_cast<int>(questions.size()) - 1, carryOn, stop);
        };
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::vector<TQuestion> questions;
};

TEST_F(Restructure, FieldsAndIndexesChangedTogetherKeepEveryRowsValues) {
    auto t = Staff(40);
    std::vector<int> progress;
    t->OnRestructureProgress = [&](TDataSet* sender, int percent) {
        EXPECT_EQ(sender, t.get());
        progress.push_back(percent);
    };
    Answer(*t, [](int, int, bool&, bool& stop) { stop = true; });

    TRestructureFieldDefs& fields = t->RestructureFieldDefs();
    ASSERT_EQ(fields.Count(), 6);
    EXPECT_EQ(fields[1].Name, "Name");
    EXPECT_EQ(fields[1].FieldNo, 2);
    fields.FieldByName("name").Name = "FullName";
    TRestructureFieldDef& score = fields.FieldByName("Score");
    score.DataType = ftString;
    score.Size = 10;
    fields.Delete(fields.IndexOf("Photo"));
    fields.Move(fields.IndexOf("Joined"), 0);
    fields.Insert(2, {"Dept", ftString, 8, false, 0});
    fields.Add("Grade", ftSmallint);

    TRestructureIndexDefs& indexes = t->RestructureIndexDefs();
    ASSERT_EQ(indexes.Count(), 3);
    EXPECT_EQ(indexes.TextIndexFields, "");
    indexes.FieldByName("ByName").Fields = "FullName";
    indexes.Delete(indexes.IndexOf("ByScore"));
    indexes.Add("ByDept", "Dept;FullName", ixCaseInsensitive);
    indexes.Add("ByScoreText", "Score", ixDescending);
    indexes.TextIndexFields = "Notes;Dept;FullName";

    t->RestructureTable();

    // The one dropped field was asked about once: the handler stopped the asking.
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0].Cause, TKuraTable::dlFieldDeletion);
    EXPECT_EQ(questions[0].Context, "Photo");
    ASSERT_FALSE(progress.empty());
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_GT(progress.size(), 5u);
    EXPECT_EQ(progress.back(), 100);

    t->Open();
    std::vector<std::string> names;
    for (int i = 0; i < t->FieldCount(); ++i) names.push_back(t->Fields(i)->FieldName);
    EXPECT_EQ(names, (std::vector<std::string>{"Joined", "Id", "Dept", "FullName", "Score", "Notes", "Grade"}));
    EXPECT_EQ(t->FieldByName("Score")->DataType(), ftString);
    EXPECT_EQ(t->FieldByName("Grade")->DataType(), ftSmallint);
    int id = 0;
    for (t->First(); !t->Eof(); t->Next()) {
        ++id;
        ASSERT_EQ(t->FieldByName("Id")->AsInteger(), id);
        EXPECT_EQ(t->FieldByName("FullName")->AsString(), "N" + std::to_string(id));
        EXPECT_EQ(t->FieldByName("Score")->AsString(), std::to_string(id % 7));
        EXPECT_TRUE(t->FieldByName("Dept")->IsNull());
        EXPECT_TRUE(t->FieldByName("Grade")->IsNull());
        EXPECT_EQ(t->FieldByName("Notes")->AsString(), id % 3 == 0 ? "memo " + std::to_string(id) : "");
    }
    EXPECT_EQ(id, 40);

    // The new indexes order the rows; the text index names the fields it was given.
    t->SetIndexName("ByScoreText");
    t->First();
    EXPECT_EQ(t->FieldByName("Score")->AsString(), "6");
    t->Close();
    t->IndexDefs().Update();
    std::map<std::string, std::string> byName;
    for (int i = 0; i < t->IndexDefs().Count(); ++i) byName[t->IndexDefs()[i].Name] = t->IndexDefs()[i].Fields;
    EXPECT_EQ(byName["ByName"], "FullName");
    EXPECT_EQ(byName["ByDept"], "Dept;FullName");
    EXPECT_EQ(byName.count("ByScore"), 0u);
    EXPECT_EQ(t->RestructureIndexDefs().TextIndexFields, "Notes;Dept;FullName");
    EXPECT_EQ(t->RestructureFieldDefs()[6].FieldNo, 7);  // numbered by position now
}

TEST_F(Restructure, ARenameOnlyRewritesTheHeaderAndAsksNothing) {
    auto t = Staff(10);
    const auto before = Rows(*t);
    Answer(*t, [](int, int, bool&, bool&) {});
    t->RestructureFieldDefs().FieldByName("Score").Name = "Points";
    t->RestructureIndexDefs().FieldByName("ByScore").Fields = "Points";
    t->RestructureTable();
    EXPECT_TRUE(questions.empty());
    auto after = Rows(*t);
    for (auto& row : after) row.replace(row.find("Points="), 7, "Score=");
    EXPECT_EQ(after, before);
    EXPECT_EQ(t->RestructureFieldDefs()[2].Name, "Points");
}

// Name shortened to 2 characters: "N1".."N9" fit, "N10".."N30" do not.
TEST_F(Restructure, ConversionAnswersDecideBetweenLeavingRowsOutAndKeepingTheTable) {
    struct TCase {
        const char* name;
        bool handler;
        bool carryOn;
        bool stopAsking;
        size_t rows;       // afterwards
        size_t questions;  // asked
        bool error;
    };
    const TCase cases[] = {
        {"continue", true, true, false, 9, 21, false},
        {"continue, stop asking", true, true, true, 9, 1, false},
        {"stop", true, false, false, 30, 1, false},
        {"no handler", false, false, false, 30, 0, true},
    };
    int n = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        questions.clear();
        auto t = Staff(30, "T" + std::to_string(++n));
        const auto before = Rows(*t);
        if (c.handler) {
            Answer(*t, [&](int cause, int, bool& carryOn, bool& stop) {
                EXPECT_EQ(cause, TKuraTable::dlTypeConversion);
                carryOn = c.carryOn;
                stop = c.stopAsking;
            });
        }
        t->RestructureFieldDefs().FieldByName("Name").Size = 2;
        const std::string error = DatabaseErrorOf([&] { t->RestructureTable(); });
        EXPECT_EQ(error, c.error ? "The values of field 'Name' do not fit its new definition in every record." : "");
        EXPECT_EQ(questions.size(), c.questions);
        if (!questions.empty()) {
            EXPECT_EQ(questions[0].Context, "Name");
        }
        const auto after = Rows(*t);
        EXPECT_EQ(after.size(), c.rows);
        if (c.rows == before.size()) {
            EXPECT_EQ(after, before);
            // The edit stays for another try.
            EXPECT_EQ(t->RestructureFieldDefs().FieldByName("Name").Size, 2);
        } else {
            EXPECT_EQ(after, std::vector<std::string>(before.begin(), before.begin() + 9));
        }
    }
}

TEST_F(Restructure, ANewUniqueIndexOverDuplicatesAsksOrRaisesAKeyViolation) {
    {
        auto t = Staff(20);
        Answer(*t, [](int, int, bool&, bool&) {});
        t->RestructureIndexDefs().Add("UScore", "Score", ixUnique);
        t->RestructureTable();
        ASSERT_EQ(questions.size(), 13u);  // 20 rows, 7 distinct scores
        EXPECT_EQ(questions[0].Cause, TKuraTable::dlKeyViolation);
        EXPECT_EQ(questions[0].Context, "UScore");
        EXPECT_EQ(Rows(*t).size(), 7u);
    }
    auto t = Staff(20, "Other");
    const auto before = Rows(*t);
    t->RestructureIndexDefs().Add("UScore", "Score", ixUnique);
    EXPECT_EQ(EngineErrorOf([&] { t->RestructureTable(); }), KURA_KEYVIOL);
    EXPECT_EQ(Rows(*t), before);
    t->IndexDefs().Updated = false;
    t->IndexDefs().Update();
    EXPECT_EQ(t->IndexDefs().Count(), 3);
    EXPECT_EQ(t->IndexDefs().IndexOf("UScore"), -1);
}

TEST_F(Restructure, ADroppedFieldGoesWithoutAHandlerAndStaysWhenTheHandlerStops) {
    auto t = Staff(5);
    const auto before = Rows(*t);
    Answer(*t, [](int, int, bool& carryOn, bool&) { carryOn = false; });
    t->RestructureFieldDefs().Delete(t->RestructureFieldDefs().IndexOf("Score"));
    // Its index still names it.
    const std::string notFound = platform::Utf8ToCp932("項目 'Score' が見つかりません");
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), notFound);
    t->RestructureIndexDefs().Delete(t->RestructureIndexDefs().IndexOf("ByScore"));
    t->RestructureTable();
    EXPECT_EQ(Rows(*t), before);
    EXPECT_EQ(questions.size(), 1u);

    t->OnDataLost = nullptr;
    t->RestructureTable();
    EXPECT_EQ(t->RestructureFieldDefs().IndexOf("Score"), -1);
    EXPECT_EQ(Rows(*t)[0], "Id=1|Name=N1|Joined=<null>|Notes=<null>|");
}

TEST_F(Restructure, MisuseGivesTheComponentsMessages) {
    auto t = Staff(3);
    const std::string notFound = platform::Utf8ToCp932("項目 'Nope' が見つかりません");
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureFieldDefs().FieldByName("Nope"); }), notFound);
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureIndexDefs().FieldByName("Nope"); }), notFound);
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureFieldDefs().Delete(6); }), "List index out of bounds (6)");

    auto& indexes = t->RestructureIndexDefs();
    indexes.Add("Bad", "Name;Nope", 0);
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), notFound);
    indexes.Delete(indexes.IndexOf("Bad"));
    indexes.TextIndexFields = "Nope";
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), notFound);
    indexes.TextIndexFields = "";
    indexes.Add("", "Score", ixPrimary);
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), "A table can have only one primary index.");
    indexes.Delete(indexes.Count() - 1);

    t->Open();
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), "Cannot perform this operation on an open dataset");
    t->Close();

    // Another user of the table: the exclusive use the restructure needs is refused.
    auto other = NewTable();
    other->Open();
    EXPECT_NE(EngineErrorOf([&] { t->RestructureTable(); }), 0);
    other->Close();
    t->SetReadOnly(true);
    EXPECT_NE(EngineErrorOf([&] { t->RestructureTable(); }), 0);
    t->SetReadOnly(false);
    EXPECT_EQ(Rows(*t).size(), 3u);

    auto unnamed = std::make_unique<TKuraTable>();
    EXPECT_EQ(DatabaseErrorOf([&] { unnamed->RestructureTable(); }), "Missing table name.");
}

TEST_F(Restructure, AFailureLeavesTheTableAndItsFilesAsTheyWere) {
    auto t = Staff(40);
    const auto before = Rows(*t);
    const auto files = Files();
    // Refused by the engine's definition checks: two fields of one name.
    t->RestructureFieldDefs().Add("ID", ftInteger);
    EXPECT_EQ(EngineErrorOf([&] { t->RestructureTable(); }), KURA_INVALIDFIELDNAME);
    EXPECT_EQ(Rows(*t), before);
    EXPECT_EQ(Files(), files);

    // A handler that raises half-way through the copy.
    t->RestructureFieldDefs().Delete(t->RestructureFieldDefs().Count() - 1);
    t->RestructureFieldDefs().FieldByName("Score").DataType = ftFloat;
    t->OnRestructureProgress = [](TDataSet*, int percent) {
        if (percent >= 50) throw EAbort();
    };
    EXPECT_THROW(t->RestructureTable(), EAbort);
    EXPECT_EQ(Rows(*t), before);
    EXPECT_EQ(Files(), files);

    t->OnRestructureProgress = nullptr;
    t->RestructureTable();
    t->Open();
    EXPECT_EQ(t->FieldByName("Score")->DataType(), ftFloat);
    EXPECT_EQ(t->RecordCount(), 40);
}

TEST_F(Restructure, APropertyChangeRereadsTheListsOfTheNamedTable) {
    auto t = Staff(1);
    auto other = StaffTable(0, "Other");
    other->Close();
    other->RestructureFieldDefs().Add("Extra", ftInteger);
    other->RestructureTable();
    t->RestructureFieldDefs().FieldByName("Name").Name = "Edited";
    t->SetTableName("Other");
    EXPECT_EQ(t->RestructureFieldDefs().IndexOf("Edited"), -1);
    EXPECT_EQ(t->RestructureFieldDefs().Count(), 7);
    EXPECT_EQ(t->RestructureFieldDefs()[6].Name, "Extra");
}

}  // namespace
}  // namespace kura::test

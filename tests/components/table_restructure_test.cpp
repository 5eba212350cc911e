// Restructuring a table through the table component: fields added, dropped,
// renamed, retyped and moved, indexes and the full-text index changed, with every
// row checked afterwards; how the data-lost answers change the outcome; misuse;
// failures that must leave the table and its files as they were.
#include <algorithm>
#include <filesystem>

#include "platform/CodePage.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

class Restructure : public ComponentTest {
protected:
    // The staff table with count rows and a memo on every third one; closed.
    std::unique_ptr<TKuraTable> Staff(int count, const std::string& name = "Staff") {
        auto t = StaffTable(count, name);
        for (t->First(); !t->Eof(); t->Next()) {
            if (t->FieldByName("Id")->AsInteger() % 3 != 0) continue;
            t->Edit();
            t->FieldByName("Notes")->SetAsString("memo " + t->FieldByName("Id")->AsString());
            t->Post();
        }
        t->Close();
        return t;
    }

    // Every row as "field=value|..." (BLOBs left out).
    static std::vector<std::string> Rows(TKuraTable& t) {
        std::vector<std::string> rows;
        t.Open();
        for (t.First(); !t.Eof(); t.Next()) {
            std::string row;
            for (int i = 0; i < t.FieldCount(); ++i) {
                TField* f = t.Fields(i);
                if (f->DataType() != ftBlob) row += f->FieldName + "=" + (f->IsNull() ? "-" : f->AsString()) + "|";
            }
            rows.push_back(row);
        }
        t.Close();
        return rows;
    }

    std::vector<std::string> Files() const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path())) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(Restructure, FieldsAndIndexesChangedTogetherKeepEveryRowsValues) {
    auto t = Staff(40);
    std::vector<int> progress;
    t->OnRestructureProgress = [&](TDataSet*, int percent) { progress.push_back(percent); };
    TRestructureFieldDefs& fields = t->RestructureFieldDefs();
    EXPECT_EQ(fields[1].FieldNo, 2);
    fields.FieldByName("name").Name = "FullName";
    fields.FieldByName("Score").DataType = ftString;
    fields.FieldByName("Score").Size = 10;
    fields.Delete(fields.IndexOf("Photo"));
    fields.Move(fields.IndexOf("Joined"), 0);
    fields.Insert(2, {"Dept", ftString, 8, false, 0});
    TRestructureIndexDefs& indexes = t->RestructureIndexDefs();
    indexes.FieldByName("ByName").Fields = "FullName";
    indexes.Delete(indexes.IndexOf("ByScore"));
    indexes.Add("ByDept", "Dept;FullName", ixCaseInsensitive);
    indexes.Add("ByScoreText", "Score", ixDescending);
    indexes.TextIndexFields = "Notes;Dept;FullName";
    t->RestructureTable();

    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    EXPECT_GT(progress.size(), 5u);
    EXPECT_EQ(progress.back(), 100);
    const auto rows = Rows(*t);
    ASSERT_EQ(rows.size(), 40u);
    for (int id = 1; id <= 40; ++id) {
        const std::string notes = id % 3 ? "-" : "memo " + std::to_string(id);
        EXPECT_EQ(rows[id - 1], "Joined=-|Id=" + std::to_string(id) + "|Dept=-|FullName=N" + std::to_string(id) +
                                    "|Score=" + std::to_string(id % 7) + "|Notes=" + notes + "|");
    }
    t->SetIndexName("ByScoreText");
    t->Open();
    EXPECT_EQ(t->FieldByName("Score")->AsString(), "6");
    t->Close();
    t->SetIndexName("");
    // Read back from the table: key fields and text index fields by their new numbers.
    std::vector<std::string> read;
    for (int i = 0; i < t->RestructureIndexDefs().Count(); ++i)
        read.push_back(t->RestructureIndexDefs()[i].Name + ":" + t->RestructureIndexDefs()[i].Fields);
    EXPECT_EQ(read, (std::vector<std::string>{":Id", "ByName:FullName", "ByDept:Dept;FullName", "ByScoreText:Score"}));
    EXPECT_EQ(t->RestructureIndexDefs().TextIndexFields, "Notes;Dept;FullName");

    // A rename alone rewrites the header: no copy, no backups.
    const auto files = Files();
    t->RestructureFieldDefs().FieldByName("Dept").Name = "Section";
    t->RestructureIndexDefs().FieldByName("ByDept").Fields = "Section;FullName";
    t->RestructureIndexDefs().TextIndexFields = "Notes;Section;FullName";
    progress.clear();
    t->RestructureTable();
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(Files(), files);
    EXPECT_EQ(Rows(*t)[0].substr(0, 28), "Joined=-|Id=1|Section=-|Full");
}

// Each change loses data in some rows of 30 (Id i, Name "N<i>", Score i % 7).
TEST_F(Restructure, TheDataLostAnswersDecideTheOutcome) {
    enum TAnswer { NoHandler, Continue, ContinueStopAsking, Stop };
    const std::function<void(TKuraTable&)> shortenName = [](TKuraTable& t) {
        t.RestructureFieldDefs().FieldByName("Name").Size = 2;
    };
    const std::function<void(TKuraTable&)> uniqueScore = [](TKuraTable& t) {
        t.RestructureIndexDefs().Add("UScore", "Score", ixUnique);
    };
    const std::function<void(TKuraTable&)> dropJoined = [](TKuraTable& t) {
        t.RestructureFieldDefs().Delete(t.RestructureFieldDefs().IndexOf("Joined"));
    };
    const std::string nameError = "The values of field 'Name' do not fit its new definition in every record.";
    struct TCase {
        std::function<void(TKuraTable&)> change;
        TAnswer answer;
        int cause, questions, rows;
        std::string context, error;
        TEngineErrorCode code = 0;
        std::string firstRow = {};  // empty: the rows are the first ones of before
    };
    const TCase cases[] = {
        {shortenName, Continue, TKuraTable::dlTypeConversion, 21, 9, "Name", ""},
        {shortenName, ContinueStopAsking, TKuraTable::dlTypeConversion, 1, 9, "Name", ""},
        {shortenName, Stop, TKuraTable::dlTypeConversion, 1, 30, "Name", ""},
        {shortenName, NoHandler, 0, 0, 30, "", nameError},
        {uniqueScore, Continue, TKuraTable::dlKeyViolation, 23, 7, "UScore", ""},
        {uniqueScore, NoHandler, 0, 0, 30, "", "<engine error>", KURA_KEYVIOL},
        {dropJoined, Stop, TKuraTable::dlFieldDeletion, 1, 30, "Joined", ""},
        {dropJoined, NoHandler, 0, 0, 30, "", "", 0, "Id=1|Name=N1|Score=1|Notes=-|"},
    };
    int n = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(++n);
        auto t = Staff(30, "T" + std::to_string(n));
        const auto before = Rows(*t);
        int questions = 0;
        if (c.answer != NoHandler) {
            t->OnDataLost = [&](TDataSet*, int cause, const std::string& context, bool& carryOn, bool& stop) {
                EXPECT_TRUE(carryOn && !stop);
                EXPECT_EQ(cause, c.cause);
                EXPECT_EQ(context, c.context);
                ++questions;
                carryOn = c.answer != Stop;
                stop = c.answer == ContinueStopAsking;
            };
        }
        c.change(*t);
        if (c.code) EXPECT_EQ(EngineErrorOf([&] { t->RestructureTable(); }), c.code);
        else EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), c.error);
        EXPECT_EQ(questions, c.questions);
        const auto after = Rows(*t);
        ASSERT_EQ(static_cast<int>(after.size()), c.rows);
        if (c.firstRow.empty()) EXPECT_EQ(after, std::vector<std::string>(before.begin(), before.begin() + c.rows));
        else EXPECT_EQ(after[0], c.firstRow);
    }
}

TEST_F(Restructure, MisuseAndFailuresLeaveTheTableAsItWas) {
    auto t = Staff(40);
    const auto before = Rows(*t);
    const auto files = Files();
    const std::string notFound = platform::Utf8ToCp932("項目 'Nope' が見つかりません");
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureFieldDefs().FieldByName("Nope"); }), notFound);
    TRestructureIndexDefs& indexes = t->RestructureIndexDefs();
    indexes.TextIndexFields = "Name;Nope";
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), notFound);
    indexes.TextIndexFields = "";
    indexes.Add("", "Score", ixPrimary);
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), "A table can have only one primary index.");
    indexes.Delete(indexes.Count() - 1);

    t->Open();
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureTable(); }), "Cannot perform this operation on an open dataset");
    t->Close();
    auto other = NewTable();  // another user: no exclusive use
    other->Open();
    EXPECT_NE(EngineErrorOf([&] { t->RestructureTable(); }), 0);
    other->Close();

    // Refused by the engine's checks: two fields of one name.
    t->RestructureFieldDefs().Add("ID", ftInteger);
    EXPECT_EQ(EngineErrorOf([&] { t->RestructureTable(); }), KURA_INVALIDFIELDNAME);
    // A handler that raises half-way through the copy.
    t->RestructureFieldDefs().Delete(t->RestructureFieldDefs().Count() - 1);
    t->RestructureFieldDefs().FieldByName("Score").DataType = ftFloat;
    t->OnRestructureProgress = [](TDataSet*, int percent) {
        if (percent >= 50) throw EAbort();
    };
    EXPECT_THROW(t->RestructureTable(), EAbort);
    EXPECT_EQ(Rows(*t), before);
    EXPECT_EQ(Files(), files);

    // The edits stay for another try; a change of table reads the other's lists.
    t->OnRestructureProgress = nullptr;
    t->RestructureTable();
    EXPECT_EQ(t->RestructureFieldDefs().FieldByName("Score").DataType, ftFloat);
    t->RestructureFieldDefs().FieldByName("Name").Name = "Edited";
    t->SetTableName("Missing");
    EXPECT_NE(EngineErrorOf([&] { t->RestructureFieldDefs(); }), 0);
    t->SetTableName("Staff");
    EXPECT_EQ(t->RestructureFieldDefs().IndexOf("Edited"), -1);
}

}  // namespace
}  // namespace kura::test

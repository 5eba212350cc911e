// The table component's restructure lists: read from the table's definition with
// each field's engine number and each index's key fields by name, edited in place,
// found by name ignoring case, and read again after a change of table.
#include "platform/CodePage.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

class RestructureLists : public ComponentTest {};

std::vector<std::string> FieldItems(TRestructureFieldDefs& fields) {
    std::vector<std::string> items;
    for (int i = 0; i < fields.Count(); ++i)
        items.push_back(fields[i].Name + "#" + std::to_string(fields[i].FieldNo) + ":" +
                        std::to_string(fields[i].DataType) + "/" + std::to_string(fields[i].Size) +
                        (fields[i].Required ? "!" : ""));
    return items;
}

std::vector<std::string> IndexItems(TRestructureIndexDefs& indexes) {
    std::vector<std::string> items;
    for (int i = 0; i < indexes.Count(); ++i)
        items.push_back(indexes[i].Name + ":" + indexes[i].Fields + "/" + std::to_string(indexes[i].Options));
    return items;
}

TEST_F(RestructureLists, TheTablesDefinitionIsReadOnceAndEditedInPlace) {
    auto t = StaffTable(5);
    t->Close();
    auto reference = NewTable();
    reference->Open();
    TRestructureFieldDefs& fields = t->RestructureFieldDefs();
    ASSERT_EQ(fields.Count(), reference->FieldCount());
    for (int i = 0; i < fields.Count(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(fields[i].Name, reference->Fields(i)->FieldName);
        EXPECT_EQ(fields[i].FieldNo, i + 1);
        EXPECT_EQ(fields[i].DataType, reference->Fields(i)->DataType());
    }
    reference->Close();
    TRestructureIndexDefs& indexes = t->RestructureIndexDefs();
    const std::vector<std::string> read = IndexItems(indexes);
    ASSERT_FALSE(read.empty());
    EXPECT_EQ(read[0].substr(0, 4), ":Id/");
    EXPECT_GE(indexes.IndexOf("byname"), 1);

    // Edits stay: the lists are up to date and not read again on their next use.
    fields.FieldByName("name").Name = "FullName";
    fields.Move(fields.IndexOf("FullName"), 0);
    fields.Insert(1, {"Dept", ftString, 8, false, 0});
    indexes.FieldByName("BYNAME").Fields = "FullName";
    indexes.TextIndexFields = "Dept;FullName";
    EXPECT_EQ(FieldItems(t->RestructureFieldDefs())[0].substr(0, 11), "FullName#2:");
    EXPECT_EQ(t->RestructureFieldDefs()[1].FieldNo, 0);
    EXPECT_EQ(t->RestructureIndexDefs().FieldByName("ByName").Fields, "FullName");
    EXPECT_EQ(t->RestructureIndexDefs().TextIndexFields, "Dept;FullName");

    // A change of table property marks both out of date: the table's own
    // definition comes back.
    t->SetTableName("Other");
    t->SetTableName("Staff");
    EXPECT_EQ(t->RestructureFieldDefs().IndexOf("Dept"), -1);
    EXPECT_EQ(t->RestructureFieldDefs()[1].Name, "Name");
    EXPECT_EQ(IndexItems(t->RestructureIndexDefs()), read);
    EXPECT_EQ(t->RestructureIndexDefs().TextIndexFields, "");
}

TEST_F(RestructureLists, MisuseGivesTheFrameworksMessages) {
    auto t = StaffTable(2);
    t->Close();
    const std::string notFound = platform::Utf8ToCp932("項目 'Nope' が見つかりません");
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureFieldDefs().FieldByName("Nope"); }), notFound);
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureIndexDefs().FieldByName("Nope"); }), notFound);
    TRestructureFieldDefs& fields = t->RestructureFieldDefs();
    EXPECT_EQ(DatabaseErrorOf([&] { fields.Delete(fields.Count()); }), "List index out of bounds (" +
                                                                          std::to_string(fields.Count()) + ")");
    EXPECT_EQ(DatabaseErrorOf([&] { fields.Move(-1, 0); }), "List index out of bounds (-1)");
    EXPECT_EQ(DatabaseErrorOf([&] { fields.Insert(fields.Count() + 1, {}); }),
              "List index out of bounds (" + std::to_string(fields.Count() + 1) + ")");
    // A table that does not exist has no definition to read.
    t->SetTableName("Missing");
    EXPECT_NE(EngineErrorOf([&] { t->RestructureFieldDefs(); }), 0);
    t->SetTableName("");
    EXPECT_EQ(DatabaseErrorOf([&] { t->RestructureIndexDefs(); }), "Missing table name.");
}

}  // namespace
}  // namespace kura::test

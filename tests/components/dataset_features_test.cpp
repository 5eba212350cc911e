// Calculated fields, block reads, data links and controls, field values and the
// misuse the engine dataset refuses.
#include "platform/dataset/DataSource.h"
#include "platform/dataset/Fields.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

using Features = ComponentTest;

// Reopens the table with its fields and a calculated field "Double", twice the Score,
// counting the calculations in `calls`.
void AddDouble(TKuraTable& t, int& calls) {
    t.Close();
    t.AddFieldsFromDefs();
    auto calc = std::make_unique<TIntegerField>();
    calc->FieldName = "Double";
    calc->FieldKind = fkCalculated;
    t.AddField(std::move(calc));
    t.OnCalcFields = [&calls](TDataSet* ds) {
        ++calls;
        ds->FieldByName("Double")->SetAsInteger(ds->FieldByName("Score")->AsInteger() * 2);
    };
    t.Open();
}

TEST_F(Features, CalculatedFieldsFollowBrowsingAndFieldChanges) {
    auto t = StaffTable(5);
    int calls = 0;
    AddDouble(*t, calls);
    EXPECT_GT(calls, 0);
    t->MoveBy(3);
    EXPECT_EQ(t->FieldByName("Double")->AsInteger(), 8);
    t->Edit();
    t->FieldByName("Score")->SetAsInteger(21);
    EXPECT_EQ(t->FieldByName("Double")->AsInteger(), 42);  // recomputed on the change
    t->Cancel();
    EXPECT_EQ(t->FieldByName("Double")->AsInteger(), 8);
    // A calculated field cannot be written outside the calculation in browse state.
    EXPECT_EQ(DatabaseErrorOf([&] { t->FieldByName("Double")->SetAsInteger(1); }),
              "Table is not in edit or insert mode.");
}

TEST_F(Features, BlockReadsVisitEveryRecordOnceAndEndAtEof) {
    auto t = StaffTable(57);
    t->SetBlockReadSizeValue(10);
    EXPECT_EQ(t->State(), dsBlockRead);
    std::vector<int> ids;
    std::vector<std::string> names;
    while (!t->Eof()) {
        ids.push_back(t->FieldByName("Id")->AsInteger());
        names.push_back(t->FieldByName("Name")->AsString());
        t->Next();
    }
    t->SetBlockReadSizeValue(0);
    EXPECT_EQ(t->State(), dsBrowse);
    ASSERT_EQ(ids.size(), 57u);
    for (int i = 0; i < 57; ++i) {
        EXPECT_EQ(ids[static_cast<std::size_t>(i)], i + 1);
        EXPECT_EQ(names[static_cast<std::size_t>(i)], "N" + std::to_string(i + 1));
    }
}

// Reading aside, as a grid draws the other rows while one is edited or inserted: for
// each way of ordering and narrowing the records, every stretch read aside holds what
// browsing shows at those record numbers (fields, a calculated field, bookmarks), a
// stretch past the end holds what is left, and the dataset stays in its state on its
// record with the values being typed.
TEST_F(Features, ReadingAsideShowsWhatBrowsingShowsWithoutLeavingAnEdit) {
    constexpr int Rows = 300;
    auto t = StaffTable(Rows);
    int calls = 0;
    AddDouble(*t, calls);
    struct Row {
        int id;
        std::string name;
        int twice;
        TBookmark bookmark;
        bool operator==(const Row&) const = default;
    };
    auto current = [&](TBookmark bookmark) {
        return Row{t->FieldByName("Id")->AsInteger(), t->FieldByName("Name")->AsString(),
                   t->FieldByName("Double")->AsInteger(), std::move(bookmark)};
    };
    const struct {
        const char* what;
        std::function<void()> apply;
    } orders[] = {
        {"the primary index", [] {}},
        {"another index", [&] { t->SetIndexName("ByScore"); }},
        {"a range",
         [&] {
             t->SetIndexName("ByScore");
             t->SetRangeStart();
             t->FieldByName("Score")->SetAsInteger(2);
             t->SetRangeEnd();
             t->FieldByName("Score")->SetAsInteger(4);
             t->ApplyRange();
         }},
        {"a filter text",
         [&] {
             t->SetFilter("Score <> 3");
             t->SetFilteredValue(true);
         }},
        {"an event filter",
         [&] {
             t->SetOnFilterRecordValue([](TDataSet* ds, bool& accept) { accept = ds->FieldByName("Id")->AsInteger() % 4 != 1; });
             t->SetFilteredValue(true);
         }},
    };
    for (const auto& order : orders) {
        SCOPED_TRACE(order.what);
        t->CancelRange();
        t->SetFilteredValue(false);
        t->SetOnFilterRecordValue(nullptr);
        t->SetFilter("");
        t->SetIndexName("");
        order.apply();
        std::vector<Row> browsed;
        for (t->First(); !t->Eof(); t->Next()) browsed.push_back(current(t->GetBookmark()));
        const int n = static_cast<int>(browsed.size());
        ASSERT_GT(n, 100);
        const auto aside = [&](int first, int count) {
            std::vector<Row> rows;
            EXPECT_TRUE(t->ReadAside(first, count, [&](const TBookmark& b) { rows.push_back(current(b)); }));
            return rows;
        };
        const auto expected = [&](int first, int count) {
            const int from = std::min(first - 1, n), to = std::min(first - 1 + count, n);
            return std::vector<Row>(browsed.begin() + from, browsed.begin() + to);
        };
        t->First();
        t->MoveBy(n / 2);
        const Row edited = current(t->GetBookmark());
        t->Edit();
        t->FieldByName("Name")->SetAsString("typed");
        for (const auto& [first, count] : std::vector<std::pair<int, int>>{{1, 128}, {129, 128}, {n / 2, 3}, {n - 2, 128}, {n + 1, 5}}) {
            EXPECT_EQ(aside(first, count), expected(first, count)) << first;
            EXPECT_EQ(t->State(), dsEdit);
            EXPECT_EQ(t->FieldByName("Name")->AsString(), "typed");
            EXPECT_EQ(t->FieldByName("Id")->AsInteger(), edited.id);
        }
        t->Cancel();
        t->Insert();
        t->FieldByName("Name")->SetAsString("new");
        EXPECT_EQ(aside(1, n), browsed);
        EXPECT_EQ(t->State(), dsInsert);
        EXPECT_EQ(t->FieldByName("Name")->AsString(), "new");
        t->Cancel();
        EXPECT_EQ(t->RecordCount(), n);
    }
    // Nothing to read: nothing asked.
    EXPECT_FALSE(t->ReadAside(0, 5, [](const TBookmark&) { ADD_FAILURE(); }));
    t->Close();
    EXPECT_FALSE(t->ReadAside(1, 5, [](const TBookmark&) { ADD_FAILURE(); }));
}

TEST_F(Features, DataLinksSeeChangesUnlessControlsAreDisabled) {
    auto t = StaffTable(5);
    TDataSource source;
    source.SetDataSet(t.get());
    TFieldDataLink link;
    int changes = 0, stateChanges = 0;
    link.OnDataChange = [&] { ++changes; };
    link.OnEditingChange = [&] { ++stateChanges; };
    link.FieldName = "Name";
    link.SetDataSource(&source);
    t->Next();
    EXPECT_EQ(changes, 1);
    t->DisableControls();
    t->DisableControls();
    t->Next();
    t->Next();
    t->EnableControls();
    EXPECT_EQ(changes, 1);  // still disabled: nesting counts
    EXPECT_TRUE(t->ControlsDisabled());
    t->EnableControls();
    EXPECT_EQ(changes, 2);  // one dataset-change on the last EnableControls
    EXPECT_FALSE(t->ControlsDisabled());
    t->Edit();
    EXPECT_EQ(stateChanges, 1);
    t->FieldByName("Name")->SetAsString("Linked");
    EXPECT_GE(changes, 3);
    t->Cancel();
    EXPECT_EQ(stateChanges, 2);
}

TEST_F(Features, UpdateRecordAsksLinksForPendingValuesBeforePost) {
    auto t = StaffTable(2);
    TDataSource source;
    source.SetDataSet(t.get());
    TFieldDataLink editor;
    editor.FieldName = "Name";
    editor.OnUpdateData = [&] { editor.Field()->SetAsString("From the editor"); };
    editor.SetDataSource(&source);
    t->Edit();
    t->Post();
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "From the editor");
}

TEST_F(Features, FieldValuesRoundTripThroughTheNativeForms) {
    auto t = NewTable("Types");
    t->FieldDefs().Add("Id", ftAutoInc);
    t->FieldDefs().Add("S", ftSmallint);
    t->FieldDefs().Add("W", ftWord);
    t->FieldDefs().Add("B", ftBoolean);
    t->FieldDefs().Add("F", ftFloat);
    t->FieldDefs().Add("C", ftCurrency);
    t->FieldDefs().Add("D", ftDate);
    t->FieldDefs().Add("T", ftTime);
    t->FieldDefs().Add("DT", ftDateTime);
    t->FieldDefs().Add("N", ftBCD, 2);
    t->FieldDefs().Add("L", ftLargeint);
    t->FieldDefs().Add("Txt", ftString, 6);
    t->CreateTable();
    t->Open();
    EXPECT_EQ(t->FieldByName("Id")->DataType(), ftAutoInc);
    EXPECT_EQ(t->FieldByName("C")->DataType(), ftCurrency);
    EXPECT_EQ(t->FieldByName("N")->DataType(), ftBCD);
    t->Append();
    t->FieldByName("S")->SetAsInteger(-1234);
    t->FieldByName("W")->SetAsInteger(65535);
    t->FieldByName("B")->SetAsBoolean(true);
    t->FieldByName("F")->SetAsFloat(2.5);
    t->FieldByName("C")->SetAsCurrency(123456);  // 12.3456
    t->FieldByName("D")->SetAsString("2024/02/29");
    t->FieldByName("T")->SetAsString("13:45:30");
    t->FieldByName("DT")->SetAsString("1999-12-31 23:59:58");
    t->FieldByName("N")->SetAsString("-12.345");  // two decimals: half to even
    t->FieldByName("L")->SetAsLargeInt(int64_t(1) << 40);
    t->FieldByName("Txt")->SetAsString("abc");
    EXPECT_EQ(DatabaseErrorOf([&] { t->FieldByName("S")->SetAsInteger(40000); }),
              "40000 is not a valid value for field 'S'");
    t->Post();
    t->Close();
    t->Open();
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 1);
    EXPECT_EQ(t->FieldByName("S")->AsInteger(), -1234);
    EXPECT_EQ(t->FieldByName("W")->AsInteger(), 65535);
    EXPECT_TRUE(t->FieldByName("B")->AsBoolean());
    EXPECT_DOUBLE_EQ(t->FieldByName("F")->AsFloat(), 2.5);
    EXPECT_EQ(t->FieldByName("C")->AsCurrency(), 123456);
    EXPECT_EQ(t->FieldByName("D")->AsString(), "2024/02/29");
    EXPECT_DOUBLE_EQ(t->FieldByName("D")->AsDateTime(), 45351.0);
    EXPECT_EQ(t->FieldByName("T")->AsString(), "13:45:30");
    EXPECT_EQ(t->FieldByName("DT")->AsString(), "1999/12/31 23:59:58");
    EXPECT_EQ(t->FieldByName("N")->AsString(), "-12.34");
    EXPECT_EQ(t->FieldByName("L")->AsLargeInt(), int64_t(1) << 40);
    EXPECT_EQ(t->FieldByName("Txt")->AsString(), "abc");
}

TEST_F(Features, TextOutsideCodePage932IsRefusedAndLimitsKeepWholeCharacters) {
    auto t = StaffTable(1);
    t->Edit();
    TField* name = t->FieldByName("Name");
    // "山田" in UTF-8 converts; an emoji has no code page 932 form.
    name->SetAsUtf8("\xE5\xB1\xB1\xE7\x94\xB0");
    EXPECT_EQ(name->AsString(), "\x8E\x52\x93\x63");
    EXPECT_NE(DatabaseErrorOf([&] { name->SetAsUtf8("A\xF0\x9F\x98\x80"); }), "");
    EXPECT_EQ(name->AsString(), "\x8E\x52\x93\x63");  // the refused text changed nothing
    // Bytes that are not code page 932 at all (a lone lead byte).
    EXPECT_NE(DatabaseErrorOf([&] { name->SetAsString("ab\x81"); }), "");
    // 20 bytes of room: 19 ASCII characters and one double-byte character would
    // need 21; the double-byte character is left out whole, never split.
    name->SetAsString(std::string(19, 'x') + "\x8E\x52");
    EXPECT_EQ(name->AsString(), std::string(19, 'x'));
    name->SetAsString(std::string(18, 'x') + "\x8E\x52");
    EXPECT_EQ(name->AsString(), std::string(18, 'x') + "\x8E\x52");
    t->Post();
    EXPECT_EQ(t->FieldByName("Name")->AsString(), std::string(18, 'x') + "\x8E\x52");
}

TEST_F(Features, MisuseRaisesDatabaseErrorsWithTheComponentTexts) {
    auto t = std::make_unique<TKuraTable>();
    t->SetDatabaseName(dir.path());
    EXPECT_EQ(DatabaseErrorOf([&] { t->Open(); }), "Missing table name.");
    EXPECT_FALSE(t->Active());
    auto staff = StaffTable(2);
    EXPECT_EQ(DatabaseErrorOf([&] { staff->FieldByName("Nope"); }),
              "\x8D\x80\x96\xDA 'Nope' \x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1");
    EXPECT_EQ(DatabaseErrorOf([&] { staff->FieldByName("Name")->SetAsString("x"); }),
              "Table is not in edit or insert mode.");
    staff->Close();
    staff->SetReadOnly(true);
    staff->Open();
    EXPECT_FALSE(staff->CanModify());
    EXPECT_EQ(DatabaseErrorOf([&] { staff->Edit(); }), "Cannot modify a read-only dataset");
    EXPECT_EQ(staff->State(), dsBrowse);
    staff->Close();
    staff->SetReadOnly(false);
    staff->Open();
    staff->FieldByName("Score")->ReadOnly = true;
    staff->Edit();
    EXPECT_EQ(DatabaseErrorOf([&] { staff->FieldByName("Score")->SetAsInteger(1); }),
              "Field Score cannot be modified.");
    staff->Cancel();
    EXPECT_EQ(DatabaseErrorOf([&] { staff->SetTableName("Other"); }), "Cannot perform this operation on an open dataset");
    auto missing = NewTable("Missing");
    const TEngineErrorCode code = EngineErrorOf([&] { missing->Open(); });
    EXPECT_NE(code, 0);
    EXPECT_FALSE(missing->Active());
}

TEST_F(Features, EngineErrorsCarryTheTableNameAsContext) {
    auto t = StaffTable(2);
    t->Append();
    t->FieldByName("Id")->SetAsInteger(1);
    try {
        t->Post();
        FAIL() << "no key violation";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_KEYVIOL);
        EXPECT_EQ(e.ErrorContext(ctxTable), "Staff");
        EXPECT_EQ(std::string(e.what()).rfind("Kura Engine Error # 9729 ", 0), 0u);
    }
    t->Cancel();
}

TEST_F(Features, TableNameWithAFolderSetsTheDatabase) {
    auto t = std::make_unique<TKuraTable>();
    t->SetTableName(dir.path() + "/Staff");
    EXPECT_EQ(t->TableName(), "Staff");
    EXPECT_EQ(t->DatabaseName().back(), dir.path().back());
    DefineStaff(*t);
    EXPECT_FALSE(t->Exists());
    t->CreateTable();
    EXPECT_TRUE(t->Exists());
    t->Open();
    EXPECT_TRUE(t->Exists());
    t->Close();
    t->DeleteTable();
    EXPECT_FALSE(t->Exists());
}

TEST_F(Features, FieldAndIndexDefinitionsReadWhileClosed) {
    { auto t = StaffTable(0); }
    auto t = NewTable();
    t->FieldDefs().Update();
    ASSERT_EQ(t->FieldDefs().Count(), 6);
    EXPECT_EQ(t->FieldDefs()[1].Name, "Name");
    EXPECT_EQ(t->FieldDefs()[1].Size, 20);
    EXPECT_EQ(t->FieldDefs()[4].DataType, ftMemo);
    EXPECT_TRUE(t->FieldDefs()[0].Required);
    t->IndexDefs().Update();
    ASSERT_EQ(t->IndexDefs().Count(), 3);
    EXPECT_TRUE(t->IndexDefs()[0].Options & ixPrimary);
    EXPECT_EQ(t->IndexDefs()[1].Name, "ByName");
    EXPECT_EQ(t->IndexDefs()[1].Fields, "Name");
    EXPECT_TRUE(t->IndexDefs()[1].Options & ixCaseInsensitive);
}

}  // namespace
}  // namespace kura::test

namespace kura::test {
namespace {

using MoreFeatures = ComponentTest;

TEST_F(MoreFeatures, OldValueShowsTheRecordBeforeTheEditAndCannotBeWritten) {
    auto t = StaffTable(2);
    t->Edit();
    t->FieldByName("Name")->SetAsString("New");
    EXPECT_EQ(t->FieldByName("Name")->OldValue().AsString(), "N1");
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "New");
    EXPECT_EQ(DatabaseErrorOf([&] { t->SetStateFieldValue(dsOldValue, t->FieldByName("Name"), TVariant("x")); }),
              "Field Name cannot be modified.");
    t->Post();
}

TEST_F(MoreFeatures, LookupFieldsTakeTheirValueFromAnotherDataSet) {
    auto staff = StaffTable(5, "Staff");
    auto family = NewTable("Family");
    family->FieldDefs().Add("StaffId", ftInteger);
    family->FieldDefs().Add("Who", ftString, 10);
    family->CreateTable();
    family->AddFieldsFromDefs();
    auto lookup = std::make_unique<TStringField>(20);
    lookup->FieldName = "StaffName";
    lookup->FieldKind = fkLookup;
    lookup->LookupDataSet = staff.get();
    lookup->KeyFields = "StaffId";
    lookup->LookupKeyFields = "Id";
    lookup->LookupResultField = "Name";
    family->AddField(std::move(lookup));
    family->Open();
    family->Append();
    family->FieldByName("StaffId")->SetAsInteger(4);
    family->FieldByName("Who")->SetAsString("Child");
    EXPECT_EQ(family->FieldByName("StaffName")->AsString(), "N4");  // follows the key as it changes
    family->Post();
    family->First();
    EXPECT_EQ(family->FieldByName("StaffName")->AsString(), "N4");
}

TEST_F(MoreFeatures, ADataSourceMayOutliveItsDataSet) {
    TDataSource source;
    TFieldDataLink link;
    int active = 0;
    link.OnActiveChange = [&] { ++active; };
    link.SetDataSource(&source);
    {
        auto t = StaffTable(1);
        source.SetDataSet(t.get());
        EXPECT_TRUE(link.Active());
    }
    EXPECT_FALSE(link.Active());
    EXPECT_EQ(source.DataSet(), nullptr);
    EXPECT_EQ(active, 2);
}

TEST_F(MoreFeatures, AnEngineErrorWithoutContextStillNamesItsCode) {
    ClearEngineErrorContext();
    try {
        RaiseKuraEngineError(KURA_NOCURRREC);
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Kura Engine Error # 8709 ", 0), 0u);
        for (int i = 0; i < 7; ++i) EXPECT_EQ(e.ErrorContext(i), "");
        EXPECT_EQ(e.OSErrorCode(), 0);
        EXPECT_EQ(e.SocketErrorCode(), 0);
    }
}

}  // namespace
}  // namespace kura::test

namespace kura::test {
namespace {

TEST_F(MoreFeatures, DesignTimeMemoryTablesNeedFieldsAndGoAwayOnClose) {
    auto t = std::make_unique<TKuraTable>();
    t->SetDesigning(true);
    t->SetDatabaseName("Memory");
    t->SetTableName("Designer");
    try {
        t->Open();
        FAIL() << "opened without fields";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(),
                     "You must define at least one field before you can open an in-memory table at design-time");
    }
    t->FieldDefs().Add("K", ftInteger);
    t->Open();  // created on the way
    EXPECT_TRUE(t->Exists());
    t->Close();
    EXPECT_FALSE(t->Exists());
}

}  // namespace
}  // namespace kura::test

namespace kura::test {
namespace {

TEST_F(MoreFeatures, ClosingWhileEditingDiscardsTheEditAndUnknownKeysAreRefused) {
    auto t = StaffTable(2);
    t->Edit();
    t->FieldByName("Name")->SetAsString("Never");
    t->Close();
    t->Open();
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "N1");
    EXPECT_NE(DatabaseErrorOf([&] { t->Locate("Nope", TVariant(1), 0); }), "");
    EXPECT_NE(DatabaseErrorOf([&] { t->Locate("Id", TVariant("not a number"), 0); }), "");
    EXPECT_EQ(t->State(), dsBrowse);
    EXPECT_EQ(t->FieldByName("Id")->AsInteger(), 1);
}

}  // namespace
}  // namespace kura::test

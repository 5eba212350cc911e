// The dataset framework over a vector of rows: the order of events and internal
// calls, leaving edit mode, aborts and error events, new records, calculated
// fields, controls and master links.
#include <gtest/gtest.h>

#include <random>

#include "platform/dataset/DataSource.h"
#include "tests/platform/dataset/VectorDataSet.h"

namespace kura::test {
namespace {

std::unique_ptr<TVectorDataSet> Rows(int n) {
    auto ds = std::make_unique<TVectorDataSet>();
    for (int i = 1; i <= n; ++i) ds->Rows.push_back(Row{i * 10, "R" + std::to_string(i)});
    return ds;
}

void Trace(TDataSet& ds, std::vector<std::string>& log) {
    auto note = [&log](const char* what) { return [&log, what](TDataSet*) { log.push_back(what); }; };
    ds.BeforeOpen = note("BeforeOpen");
    ds.AfterOpen = note("AfterOpen");
    ds.BeforeClose = note("BeforeClose");
    ds.AfterClose = note("AfterClose");
    ds.BeforeInsert = note("BeforeInsert");
    ds.AfterInsert = note("AfterInsert");
    ds.BeforeEdit = note("BeforeEdit");
    ds.AfterEdit = note("AfterEdit");
    ds.BeforePost = note("BeforePost");
    ds.AfterPost = note("AfterPost");
    ds.BeforeCancel = note("BeforeCancel");
    ds.AfterCancel = note("AfterCancel");
    ds.BeforeDelete = note("BeforeDelete");
    ds.AfterDelete = note("AfterDelete");
    ds.OnNewRecord = note("OnNewRecord");
}

TEST(DataSetFramework, EventsRunInTheirOrderAroundEachOperation) {
    auto ds = Rows(3);
    std::vector<std::string> log;
    Trace(*ds, log);
    ds->Open();
    ds->Edit();
    ds->FieldByName("Name")->SetAsString("X");
    ds->Post();
    ds->Insert();
    ds->FieldByName("Id")->SetAsInteger(5);
    ds->Cancel();
    ds->Delete();
    ds->Close();
    EXPECT_EQ(log, (std::vector<std::string>{"BeforeOpen", "AfterOpen", "BeforeEdit", "AfterEdit", "BeforePost",
                                             "AfterPost", "BeforeInsert", "OnNewRecord", "AfterInsert",
                                             "BeforeCancel", "AfterCancel", "BeforeDelete", "AfterDelete",
                                             "BeforeClose", "AfterClose"}));
    EXPECT_EQ(ds->Log, (std::vector<std::string>{"open", "edit", "post-edit", "cancel", "delete", "close"}));
}

TEST(DataSetFramework, CheckBrowseModePostsOnlyAModifiedRecord) {
    auto ds = Rows(3);
    ds->Open();
    ds->Edit();
    ds->Next();  // nothing changed: cancelled, not posted
    EXPECT_EQ(ds->Log.back(), "cancel");
    ds->Edit();
    ds->FieldByName("Name")->SetAsString("Y");
    ds->First();
    EXPECT_EQ(ds->Log.back(), "post-edit");
    EXPECT_EQ(ds->Rows[1].Name, "Y");
    EXPECT_EQ(ds->FieldByName("Id")->AsInteger(), 10);
}

TEST(DataSetFramework, ErrorEventsFailAbortOrRetry) {
    auto ds = Rows(2);
    ds->Open();
    ds->Append();
    ds->FieldByName("Id")->SetAsInteger(10);  // taken
    EXPECT_THROW(ds->Post(), EDatabaseError);
    EXPECT_EQ(ds->State(), dsInsert);
    ds->OnPostError = [](TDataSet*, const std::exception&, TDataAction& action) { action = daAbort; };
    EXPECT_THROW(ds->Post(), EAbort);
    EXPECT_EQ(ds->State(), dsInsert);
    int tries = 0;
    ds->OnPostError = [&](TDataSet* d, const std::exception&, TDataAction& action) {
        ++tries;
        d->FieldByName("Id")->SetAsInteger(15);
        action = daRetry;
    };
    ds->Post();
    EXPECT_EQ(tries, 1);
    EXPECT_EQ(ds->State(), dsBrowse);
    EXPECT_EQ(ds->Rows.size(), 3u);
    EXPECT_EQ(ds->Rows[1].Id, 15);
}

TEST(DataSetFramework, RequiredFieldsAndEmptyDataSetsAreRefused) {
    auto ds = Rows(0);
    ds->Open();
    EXPECT_TRUE(ds->IsEmpty());
    EXPECT_THROW(ds->Delete(), EDatabaseError);
    ds->Edit();  // on an empty dataset: an insert
    EXPECT_EQ(ds->State(), dsInsert);
    ds->FieldByName("Name")->SetAsString("no id");
    ds->FieldByName("Id")->Clear();
    ds->FieldByName("Id")->SetAsInteger(1);
    ds->Post();
    EXPECT_FALSE(ds->IsEmpty());
}

TEST(DataSetFramework, CalculatedFieldsFollowEveryRecordAndEveryChange) {
    auto ds = Rows(3);
    ds->AddFieldsFromDefs();
    auto label = std::make_unique<TStringField>(20);
    label->FieldName = "Label";
    label->FieldKind = fkCalculated;
    ds->AddField(std::move(label));
    ds->OnCalcFields = [](TDataSet* d) {
        d->FieldByName("Label")->SetAsString(d->FieldByName("Name")->AsString() + "#" +
                                             d->FieldByName("Id")->AsString());
    };
    ds->Open();
    EXPECT_EQ(ds->FieldByName("Label")->AsString(), "R1#10");
    ds->Last();
    EXPECT_EQ(ds->FieldByName("Label")->AsString(), "R3#30");
    ds->Edit();
    ds->FieldByName("Name")->SetAsString("Z");
    EXPECT_EQ(ds->FieldByName("Label")->AsString(), "Z#30");
    ds->Cancel();
    ds->AutoCalcFields = false;
    ds->Edit();
    ds->FieldByName("Name")->SetAsString("Q");
    EXPECT_EQ(ds->FieldByName("Label")->AsString(), "R3#30");  // not on changes any more
    ds->Post();
    EXPECT_EQ(ds->FieldByName("Label")->AsString(), "Q#30");  // but on every fetch
}

TEST(DataSetFramework, DisabledControlsHearOneChangeAndTheNewStateAtTheEnd) {
    auto ds = Rows(5);
    ds->Open();
    TDataSource source;
    source.SetDataSet(ds.get());
    int states = 0, changes = 0;
    source.OnStateChange = [&](TDataSource*) { ++states; };
    source.OnDataChange = [&](TDataSource*, TField*) { ++changes; };
    ds->DisableControls();
    ds->Edit();
    ds->FieldByName("Name")->SetAsString("A");
    ds->Post();
    ds->Next();
    ds->Edit();
    EXPECT_EQ(states, 0);
    EXPECT_EQ(changes, 0);
    ds->EnableControls();
    EXPECT_EQ(states, 1);  // browse -> edit, told once
    EXPECT_EQ(changes, 1);
    ds->Cancel();
    EXPECT_EQ(states, 2);
}

TEST(DataSetFramework, MasterLinksFollowScrollsAndTheirFieldsOnly) {
    auto master = Rows(4);
    master->Open();
    TDataSource source;
    source.SetDataSet(master.get());
    TMasterDataLink link(nullptr);
    int changes = 0, disables = 0;
    link.OnMasterChange = [&] { ++changes; };
    link.OnMasterDisable = [&] { ++disables; };
    link.SetDataSource(&source);
    link.SetFieldNames("Id");
    EXPECT_EQ(link.Fields().size(), 1u);
    const int start = changes;
    master->Next();
    EXPECT_EQ(changes, start + 1);
    master->Edit();  // the record is announced once more
    EXPECT_EQ(changes, start + 2);
    master->FieldByName("Name")->SetAsString("other field");
    EXPECT_EQ(changes, start + 2);
    master->FieldByName("Id")->SetAsInteger(99);
    EXPECT_EQ(changes, start + 3);
    master->Cancel();
    master->Close();
    EXPECT_GE(disables, 1);
    EXPECT_TRUE(link.Fields().empty());
}

TEST(DataSetFramework, ClosedDataSetsRefuseNavigationAndFieldDefsReadOnDemand) {
    auto ds = Rows(1);
    EXPECT_THROW(ds->First(), EDatabaseError);
    EXPECT_THROW(ds->Edit(), EDatabaseError);
    ds->FieldDefs().Update();
    EXPECT_EQ(ds->FieldDefs().Count(), 2);
    EXPECT_EQ(ds->FieldDefs()[0].FieldNo, 1);
    ds->Open();
    EXPECT_THROW(ds->AddField(std::make_unique<TIntegerField>()), EDatabaseError);
    EXPECT_EQ(ds->FieldValues("Id;Name")[1].AsString(), "R1");
}

// A text longer than its field keeps the longest run of whole characters that fits:
// never the lead byte of a double-byte character without its trail, whichever of the
// two lead-byte ranges it is in (0x81-0x9F as 山, 0xE0-0xFC as 凜 and 髙), nor a half-width
// kana taken for one. Random texts against their known character boundaries.
TEST(DataSetFramework, AStringFieldCutsTooLongTextsBetweenCharacters) {
    const std::vector<std::string> characters = {"a", "\xB1", "\x8E\x52", "\x95\x5C", "\xEA\xA3", "\xE0\x40", "\xFC\x40"};
    std::mt19937 random(44);
    auto ds = Rows(1);
    ds->Open();
    TField* name = ds->FieldByName("Name");
    ASSERT_EQ(name->Size(), 10);
    for (int round = 0; round < 300; ++round) {
        std::string text, kept;
        while (text.size() < 14) {
            text += characters[random() % characters.size()];
            if (text.size() <= 10) kept = text;
        }
        SCOPED_TRACE(::testing::PrintToString(text));
        ds->Edit();
        name->SetAsString(text);
        EXPECT_EQ(name->AsString(), kept);
        ds->Post();
        EXPECT_EQ(ds->Rows[0].Name, kept);
    }
}

}  // namespace
}  // namespace kura::test

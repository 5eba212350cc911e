// Index maintenance, emptying, delimited-text import and export, and restructuring
// of a table, run on a local session and through the loopback test server: the
// same calls must leave the same table and report the same progress and questions
// in every mode. The server opens the text files itself (it runs on this machine).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/core/DelimitedText.h"
#include "engine/core/Restructure.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/engine/core/LocalOrRemoteCursor.h"
#include "tests/engine/core/RestructureTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kLibrary =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

// A server that takes the field-names flag of import and export (3.11).
class TableModes : public LocalOrRemoteCursor {
protected:
    void SetUp() override {
        ServerVersion = SERVER_VERSION_FIELD_NAMES_FLAG;
        LocalOrRemoteCursor::SetUp();
    }
    TDataCursor& OpenExclusive(const std::string& name) {
        TDataCursor& c = Closed(name);
        c.SetExclusive(true);
        c.OpenCursor();
        return c;
    }
    // "id:name" of every record in the cursor's order.
    std::vector<std::string> Rows(TDataCursor& c) {
        std::vector<std::string> rows;
        std::vector<uint8_t> record(c.GetCursorRecordSize());
        c.SetToBegin();
        while (c.GetNextRecord(record.data()) == 0) {
            int32_t id = 0;
            char name[32] = {};
            bool blank = true;
            c.GetField(1, record.data(), &id, blank);
            if (c.GetFieldCount() >= 2) c.GetField(2, record.data(), name, blank);
            rows.push_back(std::to_string(id) + ":" + (blank ? "-" : name));
        }
        return rows;
    }
    // The table as a local cursor of another program sees it.
    std::vector<std::string> Stored(const std::string& name) {
        TDataCursor c(maker);
        c.SetTableName(name);
        c.OpenCursor();
        return Rows(c);
    }
    std::string FileText(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void Write(const std::string& path, const std::string& text) {
        std::ofstream(path, std::ios::binary) << text;
    }
    TDelimitedTextParams Params(TDataCursor& c, const std::string& file) {
        TDelimitedTextParams p;
        p.FileName = folder.path() + "/" + file;
        fields_.resize(2);
        c.GetFieldDesc(1, fields_[0]);
        c.GetFieldDesc(2, fields_[1]);
        p.Fields = {&fields_[0], &fields_[1]};
        return p;
    }
    std::vector<TFieldDesc> fields_;
};

TIndexDesc NameIndex(const char* name, bool unique) {
    TIndexDesc d;
    d.SetName(name);
    d.SetField(0, 2);
    d.SetByte(ido::Unique, unique ? 1 : 0);
    return d;
}

}  // namespace

TEST_P(TableModes, SecondaryIndexesAreAddedSelectedAndDeleted) {
    MakeStaff("STAFF", 6);
    {
        // A second "N30".
        TDataCursor m(maker);
        m.SetTableName("STAFF");
        m.OpenCursor();
        RecordImage image(m);
        image.Int(1, 35).Text(2, "N30");
        m.AppendRecord(image.data(), false);
    }
    TDataCursor& c = OpenExclusive("STAFF");
    std::vector<uint16_t> progress;
    c.Events().IndexProgress = [&](TDataCursor*, uint16_t p) { progress.push_back(p); };
    TIndexDesc byNameToo = NameIndex("ByNameToo", false);
    c.AddSecondaryIndex(byNameToo, 0);
    EXPECT_EQ(byNameToo.GetKeySize(), 22 + 4);
    EXPECT_EQ(c.GetIndexCount(), 2);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
    c.SetIndexName("BYNAMETOO");
    EXPECT_EQ(c.GetCurrentIndexNo(), 2);
    EXPECT_EQ(c.GetRecordCount(), 7u);
    EXPECT_EQ(Rows(c)[2], "30:N30");
    EXPECT_EQ(Rows(c)[3], "35:N30");
    // A unique index keeps the first of two equal keys and removes the other record.
    TIndexDesc unique = NameIndex("UniqueName", true);
    c.AddSecondaryIndex(unique, 1);
    EXPECT_EQ(c.GetIndexCount(), 3);
    EXPECT_EQ(c.GetRecordCount(), 6u);
    EXPECT_EQ(c.GetTable()->GetRecordCount(), 6u);
    // Errors the cursor finds itself, and the server's.
    TIndexDesc again = NameIndex("bynametoo", false);
    EXPECT_EQ(EngineErrorOf([&] { c.AddSecondaryIndex(again, 0); }), KURA_INDEXEXISTS);
    EXPECT_EQ(c.GetIndexCount(), 3);
    EXPECT_EQ(EngineErrorOf([&] { c.DeleteIndex("Nowhere", 1); }), KURA_INVALIDINDEXNAME);
    EXPECT_EQ(EngineErrorOf([&] { c.SetIndexName("Nowhere"); }), KURA_INVALIDINDEXNAME);
    // Deleting the current index goes back to the primary index.
    c.DeleteIndex("ByNameToo", 1);
    EXPECT_EQ(c.GetIndexCount(), 2);
    EXPECT_EQ(c.GetCurrentIndexNo(), PRIMARY_INDEX);
    EXPECT_EQ(c.GetIndexName(), "");
    c.SetIndexName("UniqueName");
    EXPECT_EQ(c.GetCurrentIndexNo(), 2);
    EXPECT_EQ(c.GetRecordCount(), 6u);
    c.CloseCursor(false);
    EXPECT_EQ(Stored("STAFF"), (std::vector<std::string>{"10:N10", "20:N20", "30:N30", "40:N40", "50:N50", "60:N60"}));
    TDataCursor& shared = Open("STAFF");
    EXPECT_EQ(shared.GetIndexCount(), 2);
    TIndexDesc denied = NameIndex("Denied", false);
    EXPECT_EQ(EngineErrorOf([&] { shared.AddSecondaryIndex(denied, 0); }), KURA_NEEDEXCLACCESS);
}

TEST_P(TableModes, ATemporaryIndexNeedsNoExclusiveUseAndOrdersTheCursor) {
    MakeStaff("STAFF", 5);
    TDataCursor& c = Open("STAFF");
    TIndexDesc scratch = NameIndex("Scratch", false);
    scratch.Bytes[ido::Temporary] = 1;
    c.AddSecondaryIndex(scratch, 0);
    c.SetIndexName("Scratch");
    EXPECT_EQ(c.GetCurrentIndexNo(), 2);
    EXPECT_EQ(c.GetRecordCount(), 5u);
    EXPECT_EQ(Rows(c).back(), "50:N50");
    // The client's copy of the index header made no side file of its own.
    EXPECT_FALSE(c.GetTable()->GetIndexFile().IsTemporarySlot(2) && Remote());
}

TEST_P(TableModes, AnIndexTheServerRefusesIsNotKeptByTheClient) {
    if (!Remote()) GTEST_SKIP() << "a server's refusal";
    MakeStaff("STAFF", 3);
    TDataCursor& c = OpenExclusive("STAFF");
    server->SetScript([](const TServerRequest& r) {
        TServerAction a;
        if (r.Code != REQUEST_ADDSECONDARYINDEX) return a;
        TRemoteRequest reply;
        FailReply(reply, KURA_INDEXLIMIT, {"", "", "STAFF", "", "Late", ""});
        reply.Finish(false);
        a.Fault = TFault::Raw;
        a.Raw.assign(reply.Data(), reply.Data() + reply.Header().TotalSize);
        return a;
    });
    TIndexDesc late = NameIndex("Late", false);
    // A LAN session reads the scripted reply as it is; an internet one cannot.
    EXPECT_NE(EngineErrorOf([&] { c.AddSecondaryIndex(late, 0); }), 0);
    EXPECT_EQ(c.GetIndexCount(), 1);
    server->SetScript(nullptr);
    TIndexDesc again = NameIndex("Late", false);
    c.AddSecondaryIndex(again, 0);
    EXPECT_EQ(c.GetIndexCount(), 2);
    c.SetIndexName("Late");
    EXPECT_EQ(c.GetCurrentIndexNo(), 2);
}

TEST_P(TableModes, EmptyingLeavesNoRecordsAndTheCursorAtTheStart) {
    MakeStaff("STAFF", 5);
    TDataCursor& shared = Open("STAFF");
    EXPECT_EQ(EngineErrorOf([&] { shared.EmptyTable(); }), KURA_NEEDEXCLACCESS);
    shared.CloseCursor(false);
    TDataCursor& c = OpenExclusive("STAFF");
    c.SetToRecordNumber(3);
    c.EmptyTable();
    EXPECT_EQ(c.GetRecordCount(), 0u);
    EXPECT_TRUE(c.FBOF);
    EXPECT_TRUE(Rows(c).empty());
    c.CloseCursor(false);
    EXPECT_TRUE(Stored("STAFF").empty());
}

TEST_P(TableModes, ExportAndImportRoundTrip) {
    MakeStaff("STAFF", 4);
    TDataCursor& c = Open("STAFF");
    c.ActivateFilter(c.AddFilter("Id <> 20"));
    TDelimitedTextParams out = Params(c, "staff.txt");
    out.FieldNamesInFirstLine = true;
    std::vector<uint16_t> exported;
    c.SetExportProgressEvent([&](TDataCursor*, uint16_t p) { exported.push_back(p); });
    c.ExportTable(out);
    EXPECT_EQ(FileText(out.FileName), "Id,Name\r\n10,\"N10\"\r\n30,\"N30\"\r\n40,\"N40\"\r\n");
    ASSERT_FALSE(exported.empty());
    EXPECT_EQ(exported.back(), 100);
    EXPECT_TRUE(c.FEOF);

    MakeStaff("COPY", 0);
    TDataCursor& copy = Open("COPY");
    TDelimitedTextParams in = Params(copy, "staff.txt");
    in.Fields.clear();
    in.FieldNamesInFirstLine = true;
    std::vector<uint16_t> imported;
    copy.SetImportProgressEvent([&](TDataCursor*, uint16_t p) { imported.push_back(p); });
    copy.ImportTable(in);
    EXPECT_EQ(copy.GetRecordCount(), 3u);
    EXPECT_EQ(Rows(copy), (std::vector<std::string>{"10:N10", "30:N30", "40:N40"}));
    ASSERT_FALSE(imported.empty());
    EXPECT_EQ(imported.back(), 100);

    // A skipped column, a quoted value, and a bad line that stops the import after
    // the rows before it.
    Write(folder.path() + "/more.txt", "50,\"x\",\"N\"\"50\"\r\n60,y,N60\r\nseventy,z,N70\r\n");
    TDelimitedTextParams more = Params(copy, "more.txt");
    more.Fields = {more.Fields[0], nullptr, more.Fields[1]};
    EXPECT_EQ(EngineErrorOf([&] { copy.ImportTable(more); }), KURA_IMPORTERROR);
    EXPECT_EQ(Stored("COPY"), (std::vector<std::string>{"10:N10", "30:N30", "40:N40", "50:N\"50", "60:N60"}));
    TDelimitedTextParams none = Params(copy, "more.txt");
    none.Fields.clear();
    EXPECT_EQ(EngineErrorOf([&] { copy.ImportTable(none); }), KURA_IMPORTERROR);
    EXPECT_EQ(EngineErrorOf([&] { copy.ExportTable(none); }), KURA_EXPORTERROR);
    TDelimitedTextParams missing = Params(copy, "absent/none.txt");
    EXPECT_NE(EngineErrorOf([&] { copy.ImportTable(missing); }), 0);
}

// ---- What older servers are sent ------------------------------------------------

class TransferWire : public TableModes {
protected:
    size_t ParamsOf(uint16_t code) {
        for (const TServerRequest& r : server->Requests())
            if (r.Code == code) return r.Params.size();
        return 0;
    }
};

TEST_P(TransferWire, FormatsFromVersion304AndTheFieldNamesFlagFrom311) {
    if (!Remote()) GTEST_SKIP() << "wire only";
    MakeStaff("STAFF", 2);
    // Position block (4), name, delimiter, count, two fields, then by version.
    const std::pair<int64_t, size_t> cases[] = {
        {SERVER_VERSION_FIELD_NAMES_FLAG, 4 + 5 + 3 + 1 + 1},
        {SERVER_VERSION_LOCK_PROTOCOL, 4 + 5 + 3 + 1},
        {SERVER_VERSION_NONE_REPORTED, 4 + 5 + 1},
    };
    for (const auto& [version, params] : cases) {
        // The version is the one the server reports when the session connects.
        server->Version = version;
        session.Logout();
        session.Connect();
        session.Login();
        server->ClearRequests();
        TDataCursor c(dir);
        c.SetTableName("STAFF");
        c.OpenCursor();
        TDelimitedTextParams p = Params(c, "wire.txt");
        c.ExportTable(p);
        EXPECT_EQ(EngineErrorOf([&] { c.ImportTable(p); }), KURA_KEYVIOL) << version;
        EXPECT_EQ(ParamsOf(REQUEST_EXPORTTABLE), params) << version;
        EXPECT_EQ(ParamsOf(REQUEST_IMPORTTABLE), params) << version;
        EXPECT_EQ(c.GetRecordCount(), 2u) << version;
    }
}

// ---- Restructuring through the callback loop ----------------------------------------

class RestructureModes : public TableModes {
protected:
    // Name (field 2) and its index go.
    TRestructureParams WithoutName() {
        TRestructureParams p = CurrentDefinition(maker, "STAFF");
        p.Fields.erase(p.Fields.begin() + 1);
        p.IndexCount = 0;
        p.Indexes[1] = TIndexDesc();
        p.SuppressBackups = true;
        return p;
    }
    void Restructure(const TRestructureParams& p) {
        TDataCursor& c = Closed("STAFF");
        c.SetExclusive(true);
        if (wantProgress) c.Events().RestructureProgress = [this](TDataCursor*, uint16_t v) { progress.push_back(v); };
        c.Events().RestructureQuestion = [this](TDataCursor*, uint8_t reason, const std::string& text, uint8_t& stop,
                                                uint8_t& go) {
            questions.push_back(std::to_string(reason) + " " + text);
            if (answer) answer(stop, go);
        };
        c.RestructureTable(p);
    }
    uint16_t FieldCount() {
        TDataCursor& c = Open("STAFF");
        const uint16_t n = c.GetFieldCount();
        c.CloseCursor(false);
        return n;
    }
    bool wantProgress = true;
    std::function<void(uint8_t&, uint8_t&)> answer;
    std::vector<uint16_t> progress;
    std::vector<std::string> questions;
};

TEST_P(RestructureModes, AStopAnswerLeavesTheTableAndAContinueDropsTheField) {
    MakeStaff("STAFF", 5);
    answer = [](uint8_t&, uint8_t& go) { go = 0; };
    Restructure(WithoutName());
    EXPECT_EQ(questions, (std::vector<std::string>{"3 Name"}));
    EXPECT_EQ(FieldCount(), 2);
    EXPECT_EQ(Stored("STAFF").size(), 5u);

    questions.clear();
    progress.clear();
    // Asked once per record until the caller says stop asking.
    int asked = 0;
    answer = [&](uint8_t& stop, uint8_t& go) {
        go = 1;
        stop = ++asked == 3 ? 1 : 0;
    };
    Restructure(WithoutName());
    EXPECT_EQ(questions.size(), 3u);
    EXPECT_EQ(FieldCount(), 1);
    EXPECT_EQ(Stored("STAFF"), (std::vector<std::string>{"10:", "20:", "30:", "40:", "50:"}));
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
}

TEST_P(RestructureModes, AHandlerThatLeavesTheAnswersAloneLetsTheWorkGoOn) {
    MakeStaff("STAFF", 3);
    wantProgress = false;
    Restructure(WithoutName());
    EXPECT_EQ(questions.size(), 3u);
    EXPECT_TRUE(progress.empty());
    EXPECT_EQ(FieldCount(), 1);
    if (Remote()) {
        for (const TServerRequest& r : server->Requests())
            if (r.Code == REQUEST_RESTRUCTURETABLE) {
                EXPECT_EQ(r.Bytes(r.Params.size() - 2), std::vector<uint8_t>{0});  // no progress wanted
                EXPECT_EQ(r.Bytes(r.Params.size() - 1), std::vector<uint8_t>{1});  // questions wanted
            }
    }
}

TEST_P(RestructureModes, AHandlerThatThrowsStopsTheWorkAndTheSessionGoesOn) {
    MakeStaff("STAFF", 4);
    answer = [](uint8_t&, uint8_t&) { throw std::runtime_error("cancelled"); };
    EXPECT_THROW(Restructure(WithoutName()), std::runtime_error);
    answer = nullptr;
    EXPECT_EQ(FieldCount(), 2);
    EXPECT_EQ(Stored("STAFF").size(), 4u);
    // A description-only change asks nothing and keeps the records.
    TRestructureParams p = CurrentDefinition(maker, "STAFF");
    p.Description = "personnel";
    Restructure(p);
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_EQ(Stored("STAFF").size(), 4u);
    EXPECT_EQ(CurrentDefinition(maker, "STAFF").Description, "personnel");
    // Read by a closed cursor from the header, and by an open one from its table.
    TDataCursor& closed = Closed("STAFF");
    EXPECT_EQ(closed.GetTableDescription(), "personnel");
    EXPECT_FALSE(closed.IsTableEncrypted());
    EXPECT_EQ(closed.GetTablePassword(), "");
    TDataCursor& open = Open("STAFF");
    EXPECT_EQ(open.GetTableDescription(), "personnel");
    EXPECT_FALSE(open.IsTableEncrypted());
}

TEST_P(RestructureModes, AnOpenOrSharedCursorIsRefused) {
    MakeStaff("STAFF", 2);
    const TRestructureParams p = WithoutName();
    TDataCursor& shared = Closed("STAFF");
    EXPECT_EQ(EngineErrorOf([&] { shared.RestructureTable(p); }), KURA_NEEDEXCLACCESS);
    TDataCursor& open = OpenExclusive("STAFF");
    EXPECT_EQ(EngineErrorOf([&] { open.RestructureTable(p); }), KURA_TABLEOPEN);
    open.CloseCursor(false);
    // Definitions that cannot be right are refused before anything is sent.
    TRestructureParams twins = CurrentDefinition(maker, "STAFF");
    twins.IndexCount = 2;
    twins.Indexes[2] = twins.Indexes[1];
    TRestructureParams tooMany = CurrentDefinition(maker, "STAFF");
    tooMany.IndexCount = 33;
    TRestructureParams badPassword = CurrentDefinition(maker, "STAFF");
    badPassword.Encrypted = true;
    badPassword.Password = "   ";
    const std::pair<const TRestructureParams*, TEngineErrorCode> cases[] = {
        {&twins, KURA_INDEXEXISTS}, {&tooMany, KURA_INDEXLIMIT}, {&badPassword, KURA_INVALIDPASSWORD}};
    for (const auto& [params, code] : cases) {
        TDataCursor& x = Closed("STAFF");
        x.SetExclusive(true);
        EXPECT_EQ(EngineErrorOf([&] { x.RestructureTable(*params); }), code);
    }
    if (Remote()) {
        for (const TServerRequest& r : server->Requests()) {
            EXPECT_NE(r.Code, REQUEST_RESTRUCTURETABLE);
        }
    }
    EXPECT_EQ(FieldCount(), 2);
}

INSTANTIATE_LOCAL_AND_REMOTE(TableModes);
INSTANTIATE_LOCAL_AND_REMOTE(TransferWire);
INSTANTIATE_LOCAL_AND_REMOTE(RestructureModes);

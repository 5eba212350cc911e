#include "app/DMdata.h"

#include "app/Schema.h"
#include "app/StartReasons.h"
#include "components/KuraDatabase.h"
#include "components/KuraQuery.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "platform/Files.h"
#include "platform/dataset/Field.h"
#include "platform/dataset/FieldDefs.h"

namespace app {

TDMdata* DMdata = nullptr;

namespace {

void SetUpTable(kura::TKuraTable& t, const char* component, const char* tableName) {
    t.SetName(component);
    t.SetDatabaseName("DataDB");
    t.SetSessionName("MySession");
    t.SetAutoDisplayLabels(false);
    t.CopyOnAppend = false;
    t.SetTableName(tableName);
}

void SetUpQuery(kura::TKuraQuery& q, const char* component, const TTableSpec& spec) {
    q.SetName(component);
    q.SetDatabaseName("DataDB");
    q.SetSessionName("MySession");
    q.SetAutoDisplayLabels(false);
    q.CopyOnAppend = false;
    q.SetMaxRowCount(-1);
    q.SetSQL(JoinLines(CreationText(spec)));
}

}  // namespace

TDMdata::TDMdata(const std::string& directory, kura::TComponent* owner) : kura::TComponent(owner) {
    SetName("DMdata");
    DataDB = new kura::TKuraDatabase(this);
    Tstaff = new kura::TKuraTable(this);
    QstaffCRT = new kura::TKuraQuery(this);
    Tgakureki = new kura::TKuraTable(this);
    QgakurekiCRT = new kura::TKuraQuery(this);
    Session1 = new kura::TKuraSession(this);
    Tkazoku = new kura::TKuraTable(this);
    QkazokuCRT = new kura::TKuraQuery(this);
    Trirekisyo = new kura::TKuraTable(this);
    QrirekisyoCRT = new kura::TKuraQuery(this);
    const std::vector<kura::TComponent*> loading{DataDB, Tstaff, QstaffCRT, Tgakureki, QgakurekiCRT,
                                                 Tkazoku, QkazokuCRT, Trirekisyo, QrirekisyoCRT};
    // The session first: a component's Loaded runs while its siblings still load, so
    // the database could not activate a session that is itself still loading.
    Session1->SetName("Session1");
    Session1->SetSessionName("MySession");
    Session1->SetSessionType(kura::stLocal);
    Session1->SetLockProtocol(kura::lpPessimistic);
    Session1->SetLockRetryCount(15);
    Session1->SetLockWaitTime(100);
    Session1->SetProgressSteps(20);
    Session1->SetRemoteAddress("127.0.0.1");
    Session1->SetRemotePort(12001);
    Session1->SetRemoteTrace(false);
    // The database and tables as a form description gives them: setters only store,
    // and the stored connection is made when their loading ends.
    for (kura::TComponent* c : loading) c->BeginLoading();
    DataDB->SetName("DataDB");
    DataDB->SetDatabaseName("DataDB");
    DataDB->SetSessionName("MySession");
    DataDB->SetDirectory(directory);
    DataDB->SetConnected(true);
    SetUpTable(*Tstaff, "Tstaff", "Staff");
    SetUpTable(*Tgakureki, "Tgakureki", "Gakureki");
    SetUpTable(*Tkazoku, "Tkazoku", "Kazoku");
    SetUpTable(*Trirekisyo, "Trirekisyo", "Rirekisyo");
    SetUpQuery(*QstaffCRT, "QstaffCRT", StaffSpec());
    SetUpQuery(*QgakurekiCRT, "QgakurekiCRT", GakurekiSpec());
    SetUpQuery(*QkazokuCRT, "QkazokuCRT", KazokuSpec());
    SetUpQuery(*QrirekisyoCRT, "QrirekisyoCRT", RirekisyoSpec());
    for (kura::TComponent* c : loading)
        if (c != DataDB) c->EndLoading();
    // Connecting activates Session1 and, before it, the default session and the engine.
    DataDB->EndLoading();
}

TDMdata::~TDMdata() {
    destroying_ = true;
    if (DMdata == this) DMdata = nullptr;
}

std::vector<std::string> TDMdata::FieldNames(kura::TKuraTable& table) {
    if (!table.Active()) table.Open();
    std::vector<std::string> names;
    for (int i = 0; i < table.FieldCount(); ++i) names.push_back(table.Fields(i)->FieldName);
    table.Close();
    return names;
}

std::vector<std::string> TDMdata::MissingFiles(kura::TKuraTable& table) {
    const std::string base = platform::NormalizeSeparators(DataDB->Directory()) + "/" + table.TableName();
    auto there = [&base](const char* ext) {
        return platform::GetFileAttributes(base + ext) != platform::INVALID_FILE_ATTRIBUTES;
    };
    if (there(".DAT")) {
        // Its index file lost: the engine would make one anew from the records alone,
        // without the table's keys (a second employee under a code would be taken, an
        // employee could no longer be found by it). Unless another program's start is
        // making the table, holding the .DAT to itself until the .IDX is there: the
        // open then waits for that program as for any other.
        if (there(".IDX") || WhyRefused(base + ".DAT") == TRefusal::InUse) return {};
        return {base + ".IDX"};
    }
    if (!(there(".IDX") || there(".BLB") || there(".JNL") || there(".JNS"))) return {};
    // The .BLB belongs to a table with pictures or notes (made with the table).
    bool blobs = false;
    for (const TTableSpec* spec : {&StaffSpec(), &GakurekiSpec(), &KazokuSpec(), &RirekisyoSpec()})
        if (kura::SameText(spec->Name, table.TableName()))
            for (const TColumnSpec& c : spec->Columns)
                blobs = blobs || c.Type == kura::ftGraphic || c.Type == kura::ftMemo;
    std::vector<std::string> missing{base + ".DAT"};
    if (!there(".IDX")) missing.push_back(base + ".IDX");
    if (blobs && !there(".BLB")) missing.push_back(base + ".BLB");
    return missing;
}

void TDMdata::CreateOrUpgrade(kura::TKuraTable& table, kura::TKuraQuery& creation,
                              const std::function<void()>& upgrade) {
    // Files missing while others remain say it was there: made anew, or opened with an
    // index made anew, it would hide what was lost.
    std::vector<std::string> missing = MissingFiles(table);
    if (!missing.empty()) throw ETableFilesMissing(std::move(missing));
    if (table.Exists()) {
        if (upgrade) upgrade();
    } else {
        creation.ExecSQL();
    }
    if (!table.Active()) table.Open();
}

}  // namespace app

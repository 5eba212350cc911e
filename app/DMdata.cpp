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

std::string TDMdata::TableFile(kura::TKuraTable& table, const char* extension) {
    return platform::NormalizeSeparators(DataDB->Directory()) + "/" + table.TableName() + extension;
}

std::vector<std::string> TDMdata::MissingFiles(kura::TKuraTable& table) {
    auto there = [&](const char* ext) {
        return platform::GetFileAttributes(TableFile(table, ext)) != platform::INVALID_FILE_ATTRIBUTES;
    };
    // A lost .IDX alone is made anew from the records (RebuildKey).
    if (there(".DAT")) return {};
    if (!(there(".IDX") || there(".BLB") || there(".JNL") || there(".JNS"))) return {};
    // The .BLB belongs to a table with pictures or notes (made with the table).
    bool blobs = false;
    if (const TTableSpec* spec = SpecOf(table.TableName()))
        for (const TColumnSpec& c : spec->Columns) blobs = blobs || c.Type == kura::ftGraphic || c.Type == kura::ftMemo;
    std::vector<std::string> missing{TableFile(table, ".DAT")};
    if (!there(".IDX")) missing.push_back(TableFile(table, ".IDX"));
    if (blobs && !there(".BLB")) missing.push_back(TableFile(table, ".BLB"));
    return missing;
}

bool TDMdata::IndexLost(kura::TKuraTable& table) {
    const std::string data = TableFile(table, ".DAT");
    if (platform::GetFileAttributes(data) == platform::INVALID_FILE_ATTRIBUTES ||
        platform::GetFileAttributes(TableFile(table, ".IDX")) != platform::INVALID_FILE_ATTRIBUTES)
        return false;
    // Another program's start that is making the table holds the .DAT to itself until
    // the .IDX is there: the open waits for it as for any other.
    return WhyRefused(data) != TRefusal::InUse;
}

bool TDMdata::HasKey(kura::TKuraTable& table) {
    const TTableSpec* spec = SpecOf(table.TableName());
    if (!spec) return true;
    std::string key;
    for (const std::string& field : spec->Key) key += (key.empty() ? "" : ";") + field;
    table.IndexDefs().Update();
    const kura::TIndexDef* primary = table.IndexDefs().FindIndexForFields(key);
    return primary && (primary->Options & kura::ixPrimary);
}

void TDMdata::RebuildKey(kura::TKuraTable& table, bool lost) {
    const TTableSpec* spec = SpecOf(table.TableName());
    if (!spec) return;
    if (table.Active()) table.Close();
    kura::TKuraQuery rebuild;
    rebuild.SetDatabaseName("DataDB");
    rebuild.SetSessionName("MySession");
    rebuild.SetSQL(JoinLines(KeyRebuildText(*spec)));
    const std::string index = TableFile(table, ".IDX");
    try {
        rebuild.ExecSQL();
    } catch (const kura::EKuraEngineError& e) {
        // The index file this rebuild had the engine make holds nothing the records do
        // not: it goes, and the table's files are as they were. One that another
        // program's open refused was never made (nor is it ours to remove).
        if (lost && e.ErrorCode() != kura::KURA_OSEACCES) platform::DeleteFile(index);
        throw EKeyNotRebuilt(e, index, lost);
    }
}

TKeys TDMdata::CreateOrUpgrade(kura::TKuraTable& table, kura::TKuraQuery& creation,
                               const std::function<void()>& upgrade) {
    // Files missing while others remain say it was there: made anew, it would hide
    // what was lost.
    std::vector<std::string> missing = MissingFiles(table);
    if (!missing.empty()) throw ETableFilesMissing(std::move(missing));
    if (!table.Exists()) {
        creation.ExecSQL();
        if (!table.Active()) table.Open();
        return TKeys::Kept;
    }
    // A lost index file is made anew by the engine from the records alone, without
    // the key: given it again before anything else opens the table.
    TKeys keys = TKeys::Kept;
    if (IndexLost(table)) {
        RebuildKey(table, true);
        keys = TKeys::IndexMadeAnew;
    }
    if (upgrade) upgrade();
    if (!table.Active()) table.Open();
    // An index file without the key (a rebuild cut off, or a table an earlier version
    // of the program went on with) is found at every start.
    if (!HasKey(table)) {
        RebuildKey(table, false);
        table.Open();
        if (keys == TKeys::Kept) keys = TKeys::KeyMadeAnew;
    }
    return keys;
}

}  // namespace app

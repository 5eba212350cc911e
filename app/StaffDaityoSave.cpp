// The editor's save (Ｏ　Ｋ) and what it does when the commit fails.
//
// A commit that fails (a full disk, say) leaves a transaction that the engine can
// only roll back: the changes it held went with it. The editor rolls it back at
// once, so nothing half-done stays and the stored records are as before, starts its
// transaction again and puts back what the user had in it: the employee's record in
// insert or edit mode as typed, and the employee's rows of every sub-dialog table
// changed in this edit, as they were. Ｏ　Ｋ then saves it all once the cause is mended.
#include <string>
#include <vector>

#include "app/DMdata.h"
#include "app/StaffDaityo.h"
#include "app/TransactionStart.h"
#include "components/KuraDatabase.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"

namespace app {

namespace {

using TValues = std::vector<kura::TVariant>;

TValues DataValues(const kura::TDataSet& set) {
    TValues values;
    for (int i = 0; i < set.FieldCount(); ++i)
        if (set.Fields(i)->FieldKind == kura::fkData) values.push_back(set.Fields(i)->Value());
    return values;
}

// Read-only fields too (the code, once rows hang on it): these are the values it had.
void SetDataValues(kura::TDataSet& set, const TValues& values) {
    std::size_t next = 0;
    for (int i = 0; i < set.FieldCount() && next < values.size(); ++i) {
        kura::TField* f = set.Fields(i);
        if (f->FieldKind != kura::fkData) continue;
        const bool readOnly = f->ReadOnly;
        f->ReadOnly = false;
        f->SetValue(values[next++]);
        f->ReadOnly = readOnly;
    }
}

std::unique_ptr<kura::TKuraQuery> EmployeeRows(const std::string& verb, const std::string& table, int32_t code) {
    auto q = std::make_unique<kura::TKuraQuery>();
    q->SetDatabaseName("DataDB");
    q->SetSessionName("MySession");
    q->SetSQL(verb + " FROM " + table + "\nWHERE StaffCD = :StaffCD");
    q->ParamByName("StaffCD").SetAsInteger(code);
    return q;
}

}  // namespace

struct TFstaffDaityo::TEdit {
    bool Adding = false;
    int32_t Code = 0;
    TValues Staff;
    std::vector<std::pair<std::string, std::vector<TValues>>> Rows;  // by table
};

void TFstaffDaityo::OkBTNClick() {
    const bool adding = Tstaff->State() == kura::dsInsert;
    Tstaff->Post();
    kura::TKuraDatabase& db = *DMdata->DataDB;
    if (db.InTransaction()) {
        const TEdit edit = Typed(adding);
        try {
            db.Commit(true);
        } catch (...) {
            gui::ShowException(this);
            if (!gui::Guarded([&] { PutBack(edit); }, this)) done(gui::mrCancel);
            return;
        }
    }
    done(gui::mrOk);
}

TFstaffDaityo::TEdit TFstaffDaityo::Typed(bool adding) {
    TEdit edit{adding, Tstaff->FieldByName("StaffCD")->AsInteger(), DataValues(*Tstaff), {}};
    for (const std::string& table : changedTables_) {
        auto q = EmployeeRows("SELECT *", table, edit.Code);
        std::vector<TValues> rows;
        for (q->Open(); !q->Eof(); q->Next()) rows.push_back(DataValues(*q));
        edit.Rows.emplace_back(table, std::move(rows));
    }
    return edit;
}

void TFstaffDaityo::PutBack(const TEdit& edit) {
    kura::TKuraDatabase& db = *DMdata->DataDB;
    if (db.InTransaction()) db.Rollback();
    holding_ = false;
    // The record it showed was the lost transaction's, its pictures and memos too.
    Tstaff->Close();
    Tstaff->Open();
    if (!StartTransactionResponsive(db, QString::fromUtf8("他のプログラムが編集中のため、入力した内容を戻せません。"),
                                    this)) {
        done(gui::mrCancel);
        return;
    }
    holding_ = true;
    for (const auto& [table, rows] : edit.Rows) {
        EmployeeRows("DELETE", table, edit.Code)->ExecSQL();
        kura::TKuraTable t;
        t.SetDatabaseName("DataDB");
        t.SetSessionName("MySession");
        t.SetTableName(table);
        t.Open();
        for (const TValues& row : rows) {
            t.Append();
            SetDataValues(t, row);
            t.Post();
        }
    }
    if (edit.Adding) {
        Tstaff->Append();
    } else {
        Tstaff->SetKey();
        Tstaff->FieldByName("StaffCD")->SetAsInteger(edit.Code);
        if (!Tstaff->GotoKey())
            throw std::runtime_error(QString::fromUtf8("従業員コード %1 は他のプログラムで削除されました")
                                         .arg(edit.Code)
                                         .toStdString());
        Tstaff->Edit();
    }
    SetDataValues(*Tstaff, edit.Staff);
    // The code's edit showed the code while its field was writable and became so
    // too, in either mode: the mode's controls again.
    DSstaffStateChange();
    ReopenQuery(*Qgakureki);
    ReopenQuery(*Qkazoku);
    ShowPhoto();
}

}  // namespace app

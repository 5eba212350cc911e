// The main window's commands on employees (add, edit, delete, print the worker
// register, copy rows) and the windows its menus open. Every window opened here is
// made when its global variable is empty, shown modally, then freed and forgotten
// whatever way it ends (also when something fails).
#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QMenu>
#include <QMenuBar>
#include <memory>
#include <optional>

#include "app/DBGridEx.h"
#include "app/DMdata.h"
#include "app/LRstaffSheet.h"
#include "app/MainWindow.h"
#include "app/MakatiButton.h"
#include "app/MasterMente.h"
#include "app/ProgramPaths.h"
#include "app/ReadMe.h"
#include "app/Schema.h"
#include "app/SqlWindow.h"
#include "app/StaffDaityo.h"
#include "app/StartReasons.h"
#include "app/TransactionStart.h"
#include "app/Version.h"
#include "app/WriteAccess.h"
#include "components/KuraDatabase.h"
#include "components/KuraQuery.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/gui/Desktop.h"
#include "platform/gui/Text.h"

namespace app {

TLRstaffSheet* LRstaffSheet = nullptr;
TFstaff* Fstaff = nullptr;
TFsql* Fsql = nullptr;
TFreadMe* FreadMe = nullptr;
TFversion* Fversion = nullptr;

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// Makes the window in the variable when it is empty, shows it modally, frees it and
// empties the variable on every path.
template <class Form, class Make>
int ShowOnce(Form*& variable, Make make) {
    if (!variable) variable = make();
    struct Forget {
        Form*& v;
        ~Forget() {
            delete v;
            v = nullptr;
        }
    } forget{variable};
    return variable->exec();
}

}  // namespace

std::optional<int32_t> TFmain::CurrentCode() {
    if (!Qstaff->Active() || Qstaff->IsEmpty()) return std::nullopt;
    kura::TField* f = Qstaff->FindField("StaffCD");
    if (!f || f->IsNull()) return std::nullopt;
    return f->AsInteger();
}

std::vector<int32_t> TFmain::ChosenCodes() { return ChosenCodes(StaffGrid->SelectedRows()); }

std::vector<int32_t> TFmain::ChosenCodes(const std::vector<kura::TBookmark>& rows) {
    std::vector<int32_t> codes;
    if (!Qstaff->Active() || Qstaff->IsEmpty()) return codes;
    if (rows.empty()) {
        if (auto code = CurrentCode()) codes.push_back(*code);
        return codes;
    }
    for (const kura::TBookmark& row : rows) {
        if (!Qstaff->BookmarkValid(row)) continue;
        Qstaff->GotoBookmark(row);
        if (auto code = CurrentCode()) codes.push_back(*code);
    }
    return codes;
}

bool TFmain::StaffExists(int32_t code) {
    Query1->Close();
    Query1->SetSQL("SELECT StaffCD FROM STAFF WHERE StaffCD = " + std::to_string(code));
    Query1->Open();
    const bool found = !Query1->IsEmpty();
    Query1->Close();
    return found;
}

void TFmain::Vanished() {
    gui::MessageDlg(U("選択された従業員は他のプログラムで削除されています。一覧を更新します。"), gui::mtWarning,
                    gui::mbOK, this);
    SaisinBTNClick();
}

void TFmain::STAFFaddBTNClick() {
    if (RefusedAsReadOnly(U("従業員を追加"), this)) return;
    const int result = OpenStaffEditor(std::nullopt);
    if (result == gui::mrOk || result == gui::mrAbort) {
        RefreshJyokyo();
        OpenStaffList();
    }
}

void TFmain::STAFFeditBTNClick() {
    std::optional<int32_t> code;
    if (StaffGrid->SelectedRows().empty()) {
        code = CurrentCode();
    } else {
        const std::vector<int32_t> codes = ChosenCodes();
        if (!codes.empty()) code = codes.front();
    }
    if (!code || RefusedAsReadOnly(U("従業員の情報を修正"), this)) return;
    const int result = OpenStaffEditor(*code);
    // The editor said the employee is gone: the list must show that at once.
    if (result == gui::mrAbort || (result == gui::mrOk && Settings.JidoKosin)) SaisinBTNClick();
}

QString TFmain::DeleteConfirmation() { return DeleteConfirmation(StaffGrid->SelectedRows()); }

QString TFmain::DeleteConfirmation(const std::vector<kura::TBookmark>& rows) {
    const auto n = rows.size();
    QString text;
    if (n >= 2 && Qstaff->BookmarkValid(rows.front())) {
        Qstaff->GotoBookmark(rows.front());
        text = gui::QStr(Qstaff->FieldByName("Simei")->AsString()) + U("、") + "\n\r" + U("他") +
               QString::number(n - 1) + U("人");
    } else {
        text = gui::QStr(Qstaff->FieldByName("Simei")->AsString());
    }
    return text + U("に関する情報をすべて削除します。") + "\n\r" + U("よろしいですか？");
}

void TFmain::STAFFdelBTNClick() {
    if (!Qstaff->Active() || Qstaff->IsEmpty() || RefusedAsReadOnly(U("従業員を削除"), this)) return;
    const kura::TBookmark mark = Qstaff->GetBookmark();
    // The selection as it was asked about: moving Qstaff may change the grid's.
    const std::vector<kura::TBookmark> rows = StaffGrid->SelectedRows();
    const QString text = DeleteConfirmation(rows);
    if (Qstaff->BookmarkValid(mark)) Qstaff->GotoBookmark(mark);
    const std::vector<int32_t> codes = ChosenCodes(rows);
    if (gui::MessageDlg(text, gui::mtConfirmation, gui::mbYes | gui::mbNo, this) != gui::mrYes) return;
    for (int32_t code : codes)
        if (!StaffExists(code)) return Vanished();
    kura::TKuraDatabase& db = *DMdata->DataDB;
    try {
        if (!SettleOpenTransaction(db, this)) return;
        // Another program's open editor holds the tables: said after a moment, nothing
        // deleted, instead of a frozen program until it closes.
        if (!StartTransactionResponsive(db, U("他のプログラムが編集中のため、削除できません。"), this)) return;
        for (int32_t code : codes) {
            for (const char* table : {"RIREKISYO", "GAKUREKI", "KAZOKU", "STAFF"}) {
                Query1->Close();
                Query1->SetSQL(std::string("DELETE FROM ") + table + "\nWHERE StaffCD = :StaffCD");
                Query1->ParamByName("StaffCD").SetAsInteger(code);
                Query1->ExecSQL();
            }
        }
        db.Commit(true);
    } catch (...) {
        // A full disk is said as everywhere else, under the command's own words.
        const QString cause = DiskFullFailure(std::current_exception());
        gui::MessageDlg(U("削除に失敗しました") + (cause.isEmpty() ? QString() : "\n" + cause), gui::mtError, gui::mbOK,
                        this);
        try {
            if (db.InTransaction()) db.Rollback();
        } catch (...) {
            gui::ShowException(this);
        }
        return;
    }
    // The rows are gone for good; a failure of the rebuild is its own message.
    gui::Guarded(
        [&] {
            RefreshJyokyo();
            OpenStaffList();
            if (!Qstaff->IsEmpty() && Qstaff->BookmarkValid(mark)) Qstaff->GotoBookmark(mark);
        },
        this);
}

void TFmain::KanriSheetBTNClick() {
    if (!Qstaff->Active() || Qstaff->IsEmpty()) return;
    const kura::TBookmark mark = Qstaff->GetBookmark();
    const std::vector<int32_t> codes = ChosenCodes();
    if (codes.empty()) return;
    Qstaff->DisableControls();
    struct Back {
        TFmain& f;
        const kura::TBookmark& mark;
        ~Back() {
            try {
                if (f.Qstaff->Active() && f.Qstaff->BookmarkValid(mark)) f.Qstaff->GotoBookmark(mark);
            } catch (...) {
            }
            f.Qstaff->EnableControls();
        }
    } back{*this, mark};
    std::vector<std::string> lines{"SELECT * FROM STAFF", "WHERE StaffCD in ("};
    for (std::size_t i = 0; i < codes.size(); ++i) {
        if (i > 0) lines.push_back(", ");
        lines.push_back(std::to_string(codes[i]));
    }
    lines.push_back(") ORDER BY StaffCD");
    if (!LRstaffSheet) LRstaffSheet = new TLRstaffSheet;
    struct Forget {
        ~Forget() {
            // The preview thread ends with the window's close, before it is freed.
            LRstaffSheet->close();
            delete LRstaffSheet;
            LRstaffSheet = nullptr;
        }
    } forget;
    LRstaffSheet->Qstaff->Close();
    LRstaffSheet->Qstaff->SetSQL(JoinLines(lines));
    LRstaffSheet->Qstaff->Open();
    LRstaffSheet->exec();
}

void TFmain::N9Click() { StaffGrid->CopyAllToClipboard(); }
void TFmain::N11Click() { StaffGrid->CopyVisibleToClipboard(); }
void TFmain::Copy1Click() { JyokyoGrid->CopyAllToClipboard(); }
void TFmain::Staff1Click() {
    if (RefusedAsReadOnly(U("従業員テーブルを編集"), this)) return;
    // Its grid edits inside a transaction of its own: one the SQL window left open is
    // ended first, as the user says.
    if (!SettleOpenTransaction(*DMdata->DataDB, this)) return;
    ShowOnce(Fstaff, [] { return new TFstaff; });
}
void TFmain::SQL1Click() {
    ShowOnce(Fsql, [] { return new TFsql; });
}
void TFmain::ReadMe1Click() {
    ShowOnce(FreadMe, [] { return new TFreadMe; });
}
void TFmain::Version1Click() {
    ShowOnce(Fversion, [this] { return new TFversion(AppVer); });
}
void TFmain::Help2Click() { gui::OpenDocument(HelpPath()); }

void TFmain::BuildCommands() {
    auto wire = [this](QAction* a, void (TFmain::*handler)()) {
        connect(a, &QAction::triggered, this, [this, handler] { gui::Guarded([&] { (this->*handler)(); }, this); });
    };
    auto named = [](QAction* a, const char* name) {
        a->setObjectName(name);
        return a;
    };
    using Handler = void (TFmain::*)();
    const std::pair<QAbstractButton*, Handler> buttons[] = {{STAFFaddBTN, &TFmain::STAFFaddBTNClick},
                                                            {STAFFeditBTN, &TFmain::STAFFeditBTNClick},
                                                            {STAFFdelBTN, &TFmain::STAFFdelBTNClick},
                                                            {KanriSheetBTN, &TFmain::KanriSheetBTNClick}};
    for (const auto& [button, handler] : buttons) {
        const Handler h = handler;
        connect(button, &QAbstractButton::clicked, this, [this, h] { gui::Guarded([&] { (this->*h)(); }, this); });
    }
    connect(StaffGrid, &QAbstractItemView::doubleClicked, this,
            [this] { gui::Guarded([&] { STAFFeditBTNClick(); }, this); });

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName("PopupMenu1");
    wire(named(PopupMenu1->addAction(U("修正")), "Edit1"), &TFmain::STAFFeditBTNClick);
    wire(named(PopupMenu1->addAction(U("削除")), "Delete1"), &TFmain::STAFFdelBTNClick);
    wire(named(PopupMenu1->addAction(U("労働者名簿印刷")), "Print1"), &TFmain::KanriSheetBTNClick);
    PopupMenu1->addSeparator();
    wire(named(PopupMenu1->addAction(U("全項目ｺﾋﾟｰ")), "N9"), &TFmain::N9Click);
    wire(named(PopupMenu1->addAction(U("表示項目のみｺﾋﾟｰ")), "N11"), &TFmain::N11Click);
    StaffGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(StaffGrid, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { PopupMenu1->popup(StaffGrid->viewport()->mapToGlobal(p)); });

    JyokyoPopup = new QMenu(this);
    JyokyoPopup->setObjectName("JyokyoPopup");
    wire(named(JyokyoPopup->addAction(U("ｺﾋﾟｰ")), "Copy1"), &TFmain::Copy1Click);
    JyokyoGrid->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(JyokyoGrid, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) { JyokyoPopup->popup(JyokyoGrid->viewport()->mapToGlobal(p)); });

    QMenu* data = menuBar()->addMenu(U("ﾃﾞｰﾀ(&D)"));
    data->setObjectName("Data1");
    wire(named(data->addAction(U("従業員ﾃｰﾌﾞﾙ(&P)")), "Staff1"), &TFmain::Staff1Click);
    data->addSeparator();
    wire(named(data->addAction(U("SQLｳｨﾝﾄﾞｳ...(&Q)")), "SQL1"), &TFmain::SQL1Click);
    QMenu* tools = menuBar()->addMenu(U("ﾂｰﾙ(&T)"));
    tools->setObjectName("Tool1");
    named(tools->addAction(U("ｵﾌﾟｼｮﾝ(&O)...")), "Option1")->setVisible(false);
    QMenu* help = menuBar()->addMenu(U("ﾍﾙﾌﾟ(&H)"));
    help->setObjectName("Help1");
    wire(named(help->addAction(U("ﾍﾙﾌﾟ(&H)")), "Help2"), &TFmain::Help2Click);
    wire(named(help->addAction(U("お読みください")), "ReadMe1"), &TFmain::ReadMe1Click);
    help->addSeparator();
    wire(named(help->addAction(U("ﾊﾞｰｼﾞｮﾝ情報...")), "Version1"), &TFmain::Version1Click);
}

}  // namespace app

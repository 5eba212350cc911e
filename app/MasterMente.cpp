#include "app/MasterMente.h"

#include <stdexcept>

#include <QFileInfo>
#include <QHBoxLayout>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ProgramPaths.h"
#include "app/StartReasons.h"
#include "app/TransactionStart.h"
#include "components/KuraDatabase.h"
#include "components/KuraQuery.h"
#include "components/KuraTable.h"
#include "engine/errors/EngineErrors.h"
#include "platform/gui/Application.h"
#include "platform/gui/DataGrid.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

TFmasterMente::TFmasterMente(QWidget* parent) : TForm1(parent), DataSource1(std::make_unique<kura::TDataSource>()) {
    setObjectName("FmasterMente");
    setWindowTitle(U8("マスタメンテ"));
    resize(640, 480);
    Table1 = new kura::TKuraTable;
    Table1->SetName("Table1");
    Table2 = new kura::TKuraTable;
    Table2->SetName("Table2");
    Query1 = new kura::TKuraQuery;
    Query1->SetName("Query1");
    for (kura::TKuraDBDataSet* ds : {static_cast<kura::TKuraDBDataSet*>(Table1), static_cast<kura::TKuraDBDataSet*>(Table2),
                                     static_cast<kura::TKuraDBDataSet*>(Query1)})
        ds->SetSessionName("MySession");
    DataSource1->SetDataSet(Table1);

    auto* layout = new QVBoxLayout(Client());
    DBGrid1 = new gui::TDBGrid(Client());
    DBGrid1->setObjectName("DBGrid1");
    DBGrid1->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed |
                             QAbstractItemView::AnyKeyPressed);
    DBGrid1->SetFitDefaultColumns(true);  // no value cut short
    DBGrid1->SetDataSource(DataSource1.get());
    layout->addWidget(DBGrid1, 1);
    auto* buttons = new QHBoxLayout;
    auto button = [&](QPushButton*& b, const char* name, const char* caption) {
        b = new QPushButton(U8(caption), Client());
        b->setObjectName(name);
        buttons->addWidget(b);
    };
    button(AddBTN, "AddBTN", "追加");
    button(DelBTN, "DelBTN", "削除");
    button(PrintBTN, "PrintBTN", "印刷");
    button(ExportBTN, "ExportBTN", "エクスポート");
    button(InportBTN, "InportBTN", "インポート");
    buttons->addStretch();
    button(BitBtn2, "BitBtn2", "OK");
    button(BitBtn1, "BitBtn1", "キャンセル");
    layout->addLayout(buttons);
    connect(AddBTN, &QPushButton::clicked, this, [this] { gui::Guarded([this] { AddBTNClick(); }, this); });
    connect(ExportBTN, &QPushButton::clicked, this, [this] { gui::Guarded([this] { ExportBTNClick(); }, this); });
    connect(InportBTN, &QPushButton::clicked, this, [this] { gui::Guarded([this] { InportBTNClick(); }, this); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { gui::Guarded([this] { BitBtn2Click(); }, this); });
    connect(BitBtn1, &QPushButton::clicked, this, [this] { gui::Guarded([this] { BitBtn1Click(); }, this); });

    SaveDialog1.Name = "SaveDialog1";
    SaveDialog1.Filter = U8("ﾃｷｽﾄﾌｧｲﾙ(*.CSV)|*.CSV|すべてのﾌｧｲﾙ(*.*)|*.*");
    OpenDialog1.Name = "OpenDialog1";
    OpenDialog1.Filter = U8("ﾃｷｽﾄﾌｧｲﾙ(*.csv,*.txt)|*.csv;*.txt|すべてのﾌｧｲﾙ(*.*)|*.*");
}

TFmasterMente::~TFmasterMente() {
    DBGrid1->SetDataSource(nullptr);
    DataSource1->SetDataSet(nullptr);
    try {
        Rollback();
    } catch (...) {
    }
    delete Query1;
    delete Table2;
    delete Table1;
}

void TFmasterMente::Rollback() {
    if (Table1->State() == kura::dsEdit || Table1->State() == kura::dsInsert) Table1->Cancel();
    if (Table1->Database() && Table1->Database()->InTransaction()) Table1->Database()->Rollback();
}

void TFmasterMente::FormShow() {
    TForm1::FormShow();
    gui::Guarded(
        [this] {
            if (!Table1->Active()) Table1->Open();
            if (Table1->Database()->InTransaction()) Table1->Database()->Rollback();
            if (!StartEditing()) return CloseRefused();
            // The rows as another program may have saved them while this one waited or
            // since it last read the table (the grid would show them from before, and an
            // edit of one would be refused as changed by another user).
            Table1->Refresh();
        },
        this);
}

bool TFmasterMente::StartEditing() {
    const QString refusal =
        U8("他のプログラムが編集中のため、テーブル %1 を編集できません。").arg(gui::QStr(Table1->TableName()));
    return StartTransactionResponsive(*Table1->Database(), refusal, this);
}

void TFmasterMente::CloseRefused() {
    // Without its transaction every change of the grid would be written on its own,
    // each waiting for the other program: the window goes. It is still being shown,
    // so it closes from the event loop.
    QTimer::singleShot(0, this, [this] { reject(); });
}

void TFmasterMente::FormClose() {
    TForm1::FormClose();
    gui::Guarded([this] { Rollback(); }, this);
}

namespace {

// The engine names files in code page 932 (platform/Files.h converts them for the
// disk); a name it cannot name the file by would reach another file, so it is refused.
std::string EngineFileName(const QString& name) {
    std::string cp932;
    if (!EnginePath(name, cp932))
        throw std::runtime_error("ファイル名 " + name.toStdString() + " はシフトJISで表せない文字を含みます。");
    return cp932;
}

}  // namespace

void TFmasterMente::AddBTNClick() {
    Table1->Insert();
    DBGrid1->setFocus();
}

void TFmasterMente::PostEdits() {
    // A row added and left untouched holds nothing to keep: it goes, as when the grid
    // leaves it; a row typed into is posted (and a refusal says why).
    if (Table1->State() == kura::dsEdit || Table1->State() == kura::dsInsert) Table1->CheckBrowseMode();
}

void TFmasterMente::BitBtn2Click() {
    PostEdits();
    kura::TKuraDatabase& db = *Table1->Database();
    if (db.InTransaction()) {
        try {
            db.Commit(true);
        } catch (const std::exception& e) {
            // A commit that failed (a full disk, say) can only be rolled back: its
            // changes went with it. The table is as it was before the window opened,
            // and the window goes on over it in a transaction of its own again.
            const QString why = gui::ExceptionText(e);
            Rollback();
            Table1->Close();
            Table1->Open();
            gui::MessageDlg(why + "\n" + U8("この画面での変更は保存されていません。テーブル %1 は元のままです。")
                                              .arg(gui::QStr(Table1->TableName())),
                            gui::mtError, gui::mbOK, this);
            if (!StartEditing()) CloseRefused();
            return;
        }
    }
    close();
}

void TFmasterMente::BitBtn1Click() {
    Rollback();
    close();
}

void TFmasterMente::PrepareTable2() {
    Table2->Close();
    Table2->SetDatabaseName(Table1->DatabaseName());
    Table2->SetTableName(Table1->TableName());
    Table2->Open();
}

void TFmasterMente::ExportBTNClick() {
    PostEdits();
    PrepareTable2();
    if (!SaveDialog1.Execute(this)) return;
    QString name = SaveDialog1.FileName;
    if (SaveDialog1.FilterIndex == 1 && QFileInfo(name).suffix().isEmpty()) name += ".csv";
    Table2->ExportTable(EngineFileName(name));
}

void TFmasterMente::InportBTNClick() {
    PostEdits();
    PrepareTable2();
    if (gui::MessageDlg(U8("現在のデータが上書きされます\n\r実行してもよろしいですか？"), gui::mtWarning,
                        gui::mbYes | gui::mbNo, this) != gui::mrYes)
        return;
    if (!OpenDialog1.Execute(this)) return;
    const std::string fileName = EngineFileName(OpenDialog1.FileName);  // before anything is deleted
    Query1->Close();
    Query1->SetDatabaseName(Table1->DatabaseName());
    Query1->SetSQL("DELETE FROM " + Table1->TableName());
    Query1->ExecSQL();
    QString why;
    try {
        Table2->ImportTable(fileName);
    } catch (const std::exception& e) {
        why = ImportFailure(e, Table2->ImportStoppedAtLine());
    }
    if (why.isEmpty()) {
        Table1->Close();
        Table1->Open();
        return;
    }
    // The lines read before the failing one were appended: they go again, or OK would
    // keep them alone in place of every record the table had.
    try {
        Query1->ExecSQL();
    } catch (...) {
        // Nothing may stay half imported: the old rows come back at once instead.
        Table1->Close();
        Rollback();
        const bool editing = StartEditing();
        Table1->Open();
        if (!editing) CloseRefused();
        throw;
    }
    Table1->Close();
    Table1->Open();
    gui::MessageDlg(U8("インポートに失敗しましたが元のデータは消されています\n\r復活させるにはキャンセルを押してください") +
                        "\n\r\n\r" + why,
                    gui::mtError, gui::mbOK, this);
}

QString ImportFailure(const std::exception& error, int32_t line) {
    QString field;
    if (const auto* engine = dynamic_cast<const kura::EKuraEngineError*>(&error))
        field = gui::QStr(engine->ErrorContext(kura::ctxField));
    QString where;
    if (line > 0) where = U8("%1 行目").arg(line);
    if (!field.isEmpty()) where += (where.isEmpty() ? U8("項目 ") : U8("、項目 ")) + field;
    const QString own = DiskFullFailure(error);
    const QString reason = own.isEmpty() ? gui::QStr(error.what()) : own;
    return where.isEmpty() ? reason : where + U8("：") + reason;
}

TFstaff::TFstaff(QWidget* parent) : TFmasterMente(parent) {
    setObjectName("Fstaff");
    setWindowTitle(U8("従業員"));
    Table1->SetDatabaseName("DataDB");
    Table1->SetTableName("STAFF");
    PrintBTN->hide();
}

}  // namespace app

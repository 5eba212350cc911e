#include "app/SqlWindow.h"

#include <QAction>
#include <QFile>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringDecoder>
#include <QVBoxLayout>

#include "app/DBGridEx.h"
#include "app/DMdata.h"
#include "app/MakatiButton.h"
#include "app/ProgramPaths.h"
#include "app/SqlCheck.h"
#include "app/TransactionStart.h"
#include "app/WriteAccess.h"
#include "components/KuraDatabase.h"
#include "components/KuraQuery.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/gui/Application.h"
#include "platform/gui/Desktop.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

namespace {

const char* const RolledBackNote = "エラーのため、トランザクションをロールバックしました。";
const char* const QueryAloneNote = "SELECTで始まるSQLは、問い合わせ（SELECT）だけで実行してください。\r\n"
                                   "このSQLには問い合わせの後に問い合わせでない文が続いているため、何も実行していません。";
const char* const StillOpenNote =
    "トランザクションは開いたままです。\r\n終了するまで、他のプログラムはデータを変更できません。";

QPushButton* ActionButton(QWidget* parent, const char* name, QAction* action) {
    auto* button = new QPushButton(action->text().remove('&').section('(', 0, 0), parent);
    button->setObjectName(name);
    QObject::connect(button, &QPushButton::clicked, action, &QAction::trigger);
    QObject::connect(action, &QAction::changed, button, [button, action] { button->setEnabled(action->isEnabled()); });
    button->setEnabled(action->isEnabled());
    return button;
}

}  // namespace

QAction* TFsql::MakeAction(const char* name, const char* caption) {
    auto* action = new QAction(U8(caption), this);
    action->setObjectName(name);
    return action;
}

TFsql::TFsql(QWidget* parent) : TForm1(parent), DataSource1(std::make_unique<kura::TDataSource>()) {
    setObjectName("Fsql");
    setWindowTitle("SQL");
    resize(640, 480);

    Query1 = new kura::TKuraQuery;
    Query1->SetName("Query1");
    Query1->SetDatabaseName("DataDB");
    Query1->SetSessionName("MySession");
    DataSource1->SetDataSet(Query1);

    Open1 = MakeAction("Open1", "開く(&O)");
    SaveAs1 = MakeAction("SaveAs1", "名前を付けて保存(&A)");
    Exit1 = MakeAction("Exit1", "終了(&X)");
    Copy2CB = MakeAction("Copy2CB", "ｺﾋﾟｰ");
    Help2 = MakeAction("Help2", "ﾍﾙﾌﾟ(&H)");
    Copy2CB->setEnabled(false);
    connect(Open1, &QAction::triggered, this, [this] { gui::Guarded([this] { Open1Execute(); }, this); });
    connect(SaveAs1, &QAction::triggered, this, [this] { gui::Guarded([this] { SaveAs1Execute(); }, this); });
    connect(Exit1, &QAction::triggered, this, [this] { close(); });
    connect(Copy2CB, &QAction::triggered, this, [this] { Copy2CBExecute(); });
    connect(Help2, &QAction::triggered, this, [this] { Help2Click(); });

    auto* menuBar = new QMenuBar(this);
    menuBar->setObjectName("MainMenu1");
    QMenu* file = menuBar->addMenu(U8("ﾌｧｲﾙ(&F)"));
    file->addAction(Open1);
    file->addAction(SaveAs1);
    file->addSeparator();
    file->addAction(Exit1);
    menuBar->addMenu(U8("ﾍﾙﾌﾟ(&H)"))->addAction(Help2);

    auto* layout = new QVBoxLayout(Client());
    layout->setMenuBar(menuBar);
    auto* heading = new QHBoxLayout;
    heading->addWidget(new QLabel(" SQL ", Client()));
    TransactionLBL = new QLabel(U8("トランザクション実行中"), Client());
    TransactionLBL->setObjectName("TransactionLBL");
    TransactionLBL->setStyleSheet("color: red;");
    TransactionLBL->hide();
    heading->addWidget(TransactionLBL);
    heading->addStretch();
    layout->addLayout(heading);
    Memo1 = new QPlainTextEdit(Client());
    Memo1->setObjectName("Memo1");
    layout->addWidget(Memo1, 1);

    auto* buttons = new QHBoxLayout;
    CuteButton1 = new TMakatiButton(Client());
    CuteButton1->setObjectName("CuteButton1");
    CuteButton1->setText(U8("ＳＱＬ実行"));
    connect(CuteButton1, &QPushButton::clicked, this, [this] { CuteButton1Click(); });
    buttons->addWidget(CuteButton1);
    OpenBTN = ActionButton(Client(), "OpenBTN", Open1);
    OpenBTN->setText(U8("ＳＱＬ読込"));
    SaveBTN = ActionButton(Client(), "SaveBTN", SaveAs1);
    SaveBTN->setText(U8("ＳＱＬ保存"));
    CopyBTN = ActionButton(Client(), "CopyBTN", Copy2CB);
    CopyBTN->setText(U8("コピー"));
    ExitBTN = ActionButton(Client(), "ExitBTN", Exit1);
    ExitBTN->setText(U8("閉じる"));
    for (QPushButton* b : {OpenBTN, SaveBTN, CopyBTN, ExitBTN}) buttons->addWidget(b);
    layout->addLayout(buttons);

    DBGridEx1 = new TDBGridEx(Client());
    DBGridEx1->setObjectName("DBGridEx1");
    DBGridEx1->SetFitDefaultColumns(true);  // no value cut short
    DBGridEx1->SetDataSource(DataSource1.get());
    DBGridEx1->setContextMenuPolicy(Qt::ActionsContextMenu);
    DBGridEx1->addAction(Copy2CB);
    layout->addWidget(DBGridEx1, 2);

    Query1->AfterOpen = [this](kura::TDataSet*) { Copy2CB->setEnabled(true); };
    Query1->AfterClose = [this](kura::TDataSet*) { Copy2CB->setEnabled(false); };

    for (TFileDialog* d : {&OpenDialog1, &SaveDialog1}) {
        d->DefaultExt = "SQL";
        d->Filter = U8("SQL(*.SQL)|*.SQL|すべてのファイル|*.*");
        d->InitialDir = ExtractFileDir(ProgramPath());
    }
    OpenDialog1.Name = "OpenDialog1";
    SaveDialog1.Name = "SaveDialog1";
}

TFsql::~TFsql() {
    Query1->AfterOpen = nullptr;
    Query1->AfterClose = nullptr;
    DBGridEx1->SetDataSource(nullptr);
    DataSource1->SetDataSet(nullptr);
    delete Query1;
}

void TFsql::CuteButton1Click() { gui::Guarded([this] { RunStatement(); }, this); }

void TFsql::RunStatement() {
    Query1->Close();
    const std::string text = gui::Cp932(Memo1->toPlainText());
    Query1->SetSQL(text);
    const TSqlVerdict verdict = CheckSql(text);
    auto refuse = [this](const char* message) { gui::MessageDlg(U8(message), gui::mtError, gui::mbOK, this); };
    switch (verdict.Kind) {
    case TSqlKind::RefusedCreate:
        return refuse("CREATE操作は禁止です");
    case TSqlKind::RefusedAlter:
        return refuse("ALTER操作は禁止です");
    case TSqlKind::RefusedDrop:
        return refuse("DROP操作は禁止です");
    case TSqlKind::Select:
        // Nothing of it runs: a commit or a change after the query would be done and
        // then reported as a failure, since the engine has no rows to show for it.
        if (verdict.Statements > 1 && !verdict.OnlyQueries) return refuse(QueryAloneNote);
        if (verdict.MakesTable && RefusedAsReadOnly(U8("テーブルを作るSQLを実行"), this)) return;
        break;
    case TSqlKind::Change:
        if (RefusedAsReadOnly(U8("データを変更するSQLを実行"), this)) return;
        break;
    default:
        return refuse("SQL文に誤りがあります");
    }
    if (verdict.ChangesData &&
        gui::MessageDlg(U8("このSQLはﾃﾞｰﾀを変更する可能性があります\r\n続行しますか？"), gui::mtConfirmation,
                        gui::mbOK | gui::mbCancel, this) != gui::mrOk)
        return;
    Run(verdict.Kind == TSqlKind::Select, verdict);
}

void TFsql::Run(bool select, const TSqlVerdict& verdict) {
    kura::TKuraDatabase& db = *DMdata->DataDB;
    // A change runs in a transaction, which another program's open editor keeps from
    // starting: the engine's own start would freeze the window until it closes. It is
    // started here instead, saying after a moment who holds the tables. A text run
    // while one is open runs inside it.
    bool own = false;
    if (verdict.ChangesData && !db.InTransaction()) {
        const QString refusal = U8("他のプログラムが編集中のため、このSQLを実行できません。");
        if (!StartTransactionResponsive(db, refusal, this)) return;
        // A text that starts, commits or rolls back on its own runs as written: the
        // start above only waited for the tables to be free. Any other is one
        // transaction: all of it or nothing.
        if (verdict.ManagesTransaction) db.Rollback();
        else own = true;
    }
    // A change that fails takes back the transaction it ran in, whoever opened it:
    // nothing it did is left half done and holding the tables. A query changed
    // nothing, and leaves an open transaction as it was.
    auto takeBack = [&] {
        const bool back = (verdict.ChangesData || verdict.ManagesTransaction) && db.InTransaction();
        if (back) db.Rollback();
        ShowTransaction();
        return back;
    };
    try {
        if (select)
            Query1->Open();
        else
            Query1->ExecSQL();
        if (own && db.InTransaction()) db.Commit(true);
    } catch (const kura::EAbort&) {
        takeBack();
        throw;
    } catch (const std::exception& e) {
        if (!takeBack()) throw;
        gui::MessageDlg(gui::ExceptionText(e) + "\n" + U8(RolledBackNote), gui::mtError, gui::mbOK, this);
        return;
    } catch (...) {
        takeBack();
        throw;
    }
    ShowTransaction();
    if (db.InTransaction()) gui::MessageDlg(U8(StillOpenNote), gui::mtInformation, gui::mbOK, this);
}

void TFsql::ShowTransaction() { TransactionLBL->setVisible(DMdata && DMdata->DataDB->InTransaction()); }

bool TFsql::FormCloseQuery() {
    const bool settled = !DMdata || SettleOpenTransaction(*DMdata->DataDB, this);
    ShowTransaction();
    return settled;
}

void TFsql::Open1Execute() {
    if (!OpenDialog1.Execute(this)) return;
    QFile file(OpenDialog1.FileName);
    if (!file.open(QIODevice::ReadOnly)) throw std::runtime_error(file.errorString().toStdString());
    const QByteArray bytes = file.readAll();
    Memo1->setPlainText(SqlFileText(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()))));
    OpenDialog1.InitialDir = SaveDialog1.InitialDir = ExtractFileDir(OpenDialog1.FileName);
}

QString SqlFileText(std::string_view bytes) {
    constexpr std::string_view bom = "\xEF\xBB\xBF";
    if (bytes.substr(0, bom.size()) == bom) bytes.remove_prefix(bom.size());
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    return utf8.hasError() ? gui::QStr(bytes) : text;
}

void TFsql::SaveAs1Execute() {
    if (!SaveDialog1.Execute(this)) return;
    QFile file(SaveDialog1.FileName);
    QString text = Memo1->toPlainText().replace('\n', "\r\n");
    if (!text.isEmpty() && !text.endsWith("\r\n")) text += "\r\n";
    const std::string bytes = gui::Cp932(text);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(bytes.data(), static_cast<qint64>(bytes.size())) != static_cast<qint64>(bytes.size()))
        throw std::runtime_error(file.errorString().toStdString());
    OpenDialog1.InitialDir = SaveDialog1.InitialDir = ExtractFileDir(SaveDialog1.FileName);
}

void TFsql::Copy2CBExecute() { DBGridEx1->CopyAllToClipboard(); }

void TFsql::Help2Click() { gui::OpenDocument(HelpPath()); }

}  // namespace app

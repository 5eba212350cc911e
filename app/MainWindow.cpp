#include "app/MainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTimer>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "app/DBGridEx.h"
#include "app/DMdata.h"
#include "app/MakatiButton.h"
#include "app/ProgramPaths.h"
#include "app/Schema.h"
#include "app/TransactionStart.h"
#include "components/KuraDatabase.h"
#include "components/KuraQuery.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "components/gui/KuraPasswordDialog.h"
#include "engine/errors/EngineErrors.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/gui/Application.h"
#include "platform/gui/Color.h"
#include "platform/gui/FileDialogs.h"
#include "platform/gui/IniFile.h"
#include "platform/gui/Text.h"
#include "platform/print/Printer.h"

namespace app {

using gui::U8;

TFmain* Fmain = nullptr;

namespace {

QWidget* Named(QWidget* w, const char* name) {
    w->setObjectName(name);
    return w;
}

}  // namespace

TFmain::TFmain(QWidget* parent) : TFormMain(parent) {
    setObjectName("Fmain");
    setWindowTitle(U8("ヨミトラ"));
    // An encrypted table met anywhere in the program asks for its password.
    kura::InstallPasswordDialog();
    setGeometry(200, 107, 876, 689);
    Panel1 = Named(new QWidget(this), "Panel1");
    setCentralWidget(Panel1);
    auto* layout = new QVBoxLayout(Panel1);
    layout->setContentsMargins(0, 0, 0, 0);
    PageControl1 = new QTabWidget(Panel1);
    PageControl1->setObjectName("PageControl1");
    TabSheet1 = Named(new QWidget, "TabSheet1");
    TabSheet2 = Named(new QWidget, "TabSheet2");
    PageControl1->addTab(TabSheet1, U8("全体状況"));
    PageControl1->addTab(TabSheet2, U8("従業員一覧"));
    layout->addWidget(PageControl1, 1);
    CreateQueries();
    BuildOverviewTab();
    BuildStaffTab();
    Panel7 = Named(new QWidget(Panel1), "Panel7");
    Panel7->setFixedHeight(41);
    auto* bottom = new QHBoxLayout(Panel7);
    bottom->addStretch();
    CloseBTN = new TMakatiButton(Panel7);
    CloseBTN->setObjectName("CloseBTN");
    CloseBTN->setText(U8("終　了"));
    CloseBTN->SetColor(0x808080);
    CloseBTN->setFixedSize(100, 30);
    CloseBTN->OnMouseEnter = [](TMakatiButton* b) { b->SetColor(0xC0C0C0); };
    CloseBTN->OnMouseLeave = [](TMakatiButton* b) { b->SetColor(0x808080); };
    connect(CloseBTN, &QPushButton::clicked, this, [this] { CloseBTNClick(); });
    bottom->addWidget(CloseBTN);
    layout->addWidget(Panel7);
    BuildMenus();
    BuildCommands();
    StatusBar1->Panel(0)->setText("FormName");
    Query1 = new kura::TKuraQuery;
    Query1->SetName("Query1");
    Query1->SetDatabaseName("DataDB");
    Query1->SetSessionName("MySession");
    Query1->SetMaxRowCount(-1);
}

TFmain::~TFmain() {
    delete Query1;
    if (Fmain == this) Fmain = nullptr;
    // The grids are children, freed after these members: they must let go first.
    StaffGrid->SetDataSource(nullptr);
    JyokyoGrid->SetDataSource(nullptr);
    DSstaff.SetDataSet(nullptr);
    DSjyokyo.SetDataSet(nullptr);
    delete Qstaff;
    delete Qjyokyo;
    delete SaveDialog1;
}

void TFmain::RunQuery1(const std::vector<std::string>& lines) {
    Query1->Close();
    Query1->SetSQL(JoinLines(lines));
    Query1->ExecSQL();
}

void TFmain::Mark(const std::string& name) {
    const auto now = std::chrono::steady_clock::now();
    StartupTimes.emplace_back(name, std::chrono::duration<double, std::milli>(now - last_).count());
    last_ = now;
}

void TFmain::Step(const char* panelText) {
    StatusBar1->Panel(1)->setText(U8(panelText));
    StatusBar1->Panel(1)->repaint();
}

void TFmain::FormShow() {
    TFormMain::FormShow();
    if (started_) return;
    started_ = true;
    try {
        StartUp();
    } catch (...) {
        // Shown before the window reaches the screen, which it then never does: there
        // is no half-started window to work in. The program ends.
        startFailed_ = true;
        setAttribute(Qt::WA_DontShowOnScreen);
        gui::ShowException();
        QTimer::singleShot(0, this, [this] { close(); });
    }
}

namespace {

// The open of a table refused: another program has it to itself, or this user may
// not read or write one of its files.
bool AccessDenied(const kura::EKuraEngineError& e) { return e.ErrorCode() == kura::KURA_OSEACCES; }

enum class TRefusal { Unknown, NoAccess, InUse };

// Why the engine was refused the file it names, as the user can act on it: the file
// is opened again as the engine opens it, for reading and writing, shared.
TRefusal WhyRefused(const std::string& file) {
    const platform::FileHandle h =
        platform::CreateFile(file, platform::GENERIC_READ | platform::GENERIC_WRITE,
                             platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    if (h != platform::INVALID_HANDLE_VALUE) {
        platform::CloseHandle(h);
        return TRefusal::Unknown;
    }
    switch (platform::GetLastError()) {
    case platform::ERROR_ACCESS_DENIED:
        return TRefusal::NoAccess;
    case platform::ERROR_SHARING_VIOLATION:
        return TRefusal::InUse;
    default:
        return TRefusal::Unknown;
    }
}

// The engine's code, the last line of each cause below.
QString CodeLine(const kura::EKuraEngineError& e) { return U8("\n（エラー番号 %1）").arg(e.ErrorCode()); }

// The lines under "cannot start" for a refused open, in the user's words; the
// engine's code stays as a number.
QString RefusalText(const kura::EKuraEngineError& e, TRefusal why) {
    const std::string& file = e.ErrorContext(kura::ctxTable);
    QString text;
    switch (why) {
    case TRefusal::NoAccess:
        text = U8("ファイル %1 を読み書きする権限がありません。\nファイルの権限を確かめてから、もう一度起動してください。")
                   .arg(gui::QStr(file));
        break;
    case TRefusal::InUse:
        text = U8("他のプログラムがこのテーブルを単独で使っています。\nそのプログラムを終了してから、もう一度起動してください。");
        break;
    case TRefusal::Unknown:
        text = U8("ファイル %1 を読み書きする権限がないか、他のプログラムが単独で使っています。").arg(gui::QStr(file));
        break;
    }
    return text + CodeLine(e);
}

// The codes a table's file raises at its open when it is damaged, or is not a table of
// this program at all (another program's file of that name, one of a later layout).
bool Damaged(const kura::EKuraEngineError& e) {
    switch (e.ErrorCode()) {
    case kura::KURA_HEADERCORRUPT:
    case kura::KURA_FILECORRUPT:
    case kura::KURA_MEMOCORRUPT:
    case kura::KURA_INDEXCORRUPT:
    case kura::KURA_OLDVERSION:
    case kura::KURA_CANNOTLOADLDDRV:
        return true;
    default:
        return false;
    }
}

QString DamageText(const kura::EKuraEngineError& e, const QString& table, const std::string& dir) {
    return U8("テーブルのファイルが壊れているか、ヨミトラのテーブルのファイルではありません。\n"
              "フォルダ %1 にある %2 のファイル（%2.DAT など）をバックアップから戻してから、もう一度起動してください。")
               .arg(QString::fromStdString(dir), table) +
           CodeLine(e);
}

// Why the database folder could not be made, as the user can act on it: a file (or a
// link) of its name is in the way, or the program's folder may not be written.
std::string FolderRefusal(const std::string& dir, uint32_t error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    QString why;
    if (fs::exists(fs::symlink_status(dir, ec)))
        why = U8("同じ名前のファイルがあります。\nそのファイルの名前を変えるか別のフォルダに移してから、もう一度起動してください。");
    else if (error == platform::ERROR_ACCESS_DENIED)
        why = U8("フォルダ %1 にフォルダを作る権限がありません。\nフォルダの権限を確かめてから、もう一度起動してください。")
                  .arg(QString::fromStdString(fs::path(dir).parent_path().string()));
    else
        why = U8("（システムのエラー番号 %1）").arg(error);
    return U8("データベースのフォルダ %1 を作れないため、ヨミトラを起動できません。\n%2")
        .arg(QString::fromStdString(dir), why)
        .toStdString();
}

}  // namespace

void TFmain::CheckTable(const char* panelText, kura::TKuraTable& table, kura::TKuraQuery& creation,
                        const std::function<void()>& upgrade) {
    Step(panelText);
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        try {
            DMdata->CreateOrUpgrade(table, creation, upgrade);
            return;
        } catch (const kura::EKuraEngineError& e) {
            const TRefusal why = AccessDenied(e) ? WhyRefused(e.ErrorContext(kura::ctxTable)) : TRefusal::Unknown;
            // Another program's start holds the table to itself while it makes or
            // upgrades it: a moment. A file this user may not open stays so.
            if (AccessDenied(e) && why != TRefusal::NoAccess && waited.elapsed() < StartWaitMs) {
                WaitAMoment(TransactionRetryMs);
                continue;
            }
            const QString name = gui::QStr(table.TableName());
            const QString text = U8("テーブル %1 を開けないため、ヨミトラを起動できません。\n%2")
                                     .arg(name, AccessDenied(e) ? RefusalText(e, why)
                                                : Damaged(e)    ? DamageText(e, name, DatabaseDir())
                                                                : gui::MessageText(e.what()));
            throw std::runtime_error(text.toStdString());
        }
    }
}

void TFmain::StartUp() {
    last_ = std::chrono::steady_clock::now();
    {
        gui::TIniFile ini(IniPath());
        AppVer = 1.02;
        Step("バージョンのチェック");
        ReadSortAndOptions(ini, Settings);
        ReadGridSettings(ini, *StaffGrid);
        JidoCB->setChecked(Settings.JidoKosin);
        SaisinBTN->setEnabled(!Settings.JidoKosin);
        ini.WriteFloat("Tobuna", "Ver", AppVer);
        ini.UpdateFile();
    }
    // A print to a PDF file proposes the program's folder, as the settings live there.
    platform::SetProposedPdfFolder(ProgramDir());
    Mark("settings");

    Step("フォルダのチェック");
    const std::string dir = DatabaseDir();
    std::error_code ec;
    // One that another program makes meanwhile is no failure.
    if (!std::filesystem::is_directory(dir, ec) && !platform::CreateDirectory(dir)) {
        const uint32_t error = platform::GetLastError();
        if (!std::filesystem::is_directory(dir, ec)) throw std::runtime_error(FolderRefusal(dir, error));
    }
    if (!DMdata) DMdata = new TDMdata(dir);
    Mark("data_module_and_engine");

    DMdata->Session1->SetPrivateDir(std::filesystem::temp_directory_path(ec).string().substr(0, 261));
    if (DMdata->DataDB->Connected()) DMdata->DataDB->SetConnected(false);
    DMdata->DataDB->SetDirectory(dir);
    DMdata->DataDB->SetConnected(true);
    Mark("database_connected");

    CheckTable("従業員テーブルのチェック", *DMdata->Tstaff, *DMdata->QstaffCRT, [this] { UpgradeStaffTable(); });
    Mark("Staff");
    CheckTable("学歴・職歴テーブルのチェック", *DMdata->Tgakureki, *DMdata->QgakurekiCRT,
               [this] { UpgradeGakurekiTable(); });
    Mark("Gakureki");
    CheckTable("職歴書テーブルのチェック", *DMdata->Trirekisyo, *DMdata->QrirekisyoCRT,
               [this] { UpgradeRirekisyoTable(); });
    Mark("Rirekisyo");
    CheckTable("家族テーブルのチェック", *DMdata->Tkazoku, *DMdata->QkazokuCRT, [this] { UpgradeKazokuTable(); });
    Mark("Kazoku");
    StatusBar1->Panel(1)->setText({});
    PageControl1->setCurrentWidget(TabSheet1);
    RefreshJyokyo();
    OpenStaffList();
    Mark("views");
    startedUp_ = true;
}

void TFmain::UpgradeStaffTable() {
    if (StaffNeedsUpgrade(TDMdata::FieldNames(*DMdata->Tstaff))) RunQuery1(StaffUpgradeText());
}

void TFmain::UpgradeGakurekiTable() {
    if (!GakurekiNeedsUpgrade(TDMdata::FieldNames(*DMdata->Tgakureki))) return;
    try {
        RunQuery1(GakurekiUpgradeText());
    } catch (const kura::EKuraEngineError& e) {
        // The restructure needs the table to itself. Nothing reads the marker and the
        // rows fit the table as it is: while another program has it open, the upgrade
        // waits for a start that has it alone.
        if (!AccessDenied(e)) throw;
        Query1->Close();
    }
}

void TFmain::UpgradeRirekisyoTable() { TDMdata::FieldNames(*DMdata->Trirekisyo); }

void TFmain::UpgradeKazokuTable() { TDMdata::FieldNames(*DMdata->Tkazoku); }

void EndProgram() {
    delete Fmain;
    delete DMdata;
    kura::DoneSessions();
}

void TFmain::CloseBTNClick() { close(); }

void TFmain::Exit1Click() { close(); }

bool TFmain::FormCloseQuery() {
    return startFailed_ || !DMdata || SettleOpenTransaction(*DMdata->DataDB, this);
}

void TFmain::FormClose() {
    // A start that failed leaves the settings as they were.
    if (startFailed_) return;
    TFormMain::FormClose();
    gui::TIniFile ini(IniPath());
    WriteSortAndOptions(ini, Settings);
    WriteGridSettings(ini, *StaffGrid);
    ini.UpdateFile();
}

}  // namespace app

#include "app/MainWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QElapsedTimer>
#include <QTimer>
#include <QHBoxLayout>
#include <QVBoxLayout>
#include <stdexcept>

#include "app/DBGridEx.h"
#include "app/DMdata.h"
#include "app/MakatiButton.h"
#include "app/ProgramPaths.h"
#include "app/Schema.h"
#include "app/StartReasons.h"
#include "app/TransactionStart.h"
#include "app/WriteAccess.h"
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
    // A change that fails for a full disk says so as the start does, wherever it is.
    gui::SetExceptionWords([](const std::exception& e) { return DiskFullFailure(e); });
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

void TFmain::CheckTable(const char* panelText, kura::TKuraTable& table, kura::TKuraQuery& creation,
                        const std::function<void()>& upgrade) {
    Step(panelText);
    const QString name = gui::QStr(table.TableName());
    QElapsedTimer waited;
    waited.start();
    QStringList reported;
    const TTableSpec* spec = SpecOf(table.TableName());
    const std::vector<std::string> key = spec ? spec->Key : std::vector<std::string>{};
    for (;;) {
        try {
            const TKeys keys = DMdata->CreateOrUpgrade(table, creation, upgrade);
            if (keys != TKeys::Kept)
                reported << KeyRebuiltNote(name, DMdata->TableFile(table, ".IDX"), keys == TKeys::IndexMadeAnew, key);
            break;
        } catch (const ETableFilesMissing& e) {
            throw std::runtime_error(MissingFilesFailure(name, e.Missing).toStdString());
        } catch (const EKeyNotRebuilt& e) {
            // The rebuild needs the table to itself: another program that has it open
            // may be a start that makes or checks it, a moment.
            const bool refused = AccessDenied(e.Error);
            const TRefusal why = refused ? WhyRefused(e.Error.ErrorContext(kura::ctxTable)) : TRefusal::Unknown;
            const bool held = refused && (why == TRefusal::InUse || why == TRefusal::Unknown);
            if (held && waited.elapsed() < StartWaitMs) {
                WaitAMoment(TransactionRetryMs);
                Mark(table.TableName() + "_waited");
                continue;
            }
            const TRefusal said = held ? TRefusal::InUse : why;
            throw std::runtime_error(KeyFailure(e.Error, name, e.Index, e.Lost, key, said).toStdString());
        } catch (const kura::EKuraEngineError& e) {
            // Reported once (a change set aside, a table that may no longer match the
            // others of its commit): the table opens as its files hold it, which the
            // user is told once it has. One said again stops the start.
            if (ReportedOnce(e)) {
                const QString note = ReportedOnceNote(e, name);
                if (!reported.contains(note)) {
                    reported << note;
                    continue;
                }
            }
            const TRefusal why = AccessDenied(e) ? WhyRefused(e.ErrorContext(kura::ctxTable)) : TRefusal::Unknown;
            // Another program's start holds the table to itself while it makes or
            // upgrades it: a moment. A file this user may not open stays so, and so
            // does a folder where a cut commit cannot be settled.
            const bool held = NeedsWrite(e) ? why == TRefusal::InUse : why != TRefusal::NoAccess;
            if (AccessDenied(e) && held && waited.elapsed() < StartWaitMs) {
                WaitAMoment(TransactionRetryMs);
                Mark(table.TableName() + "_waited");
                continue;
            }
            throw std::runtime_error(TableFailure(e, name, why).toStdString());
        }
    }
    for (const QString& note : reported) gui::MessageDlg(note, gui::mtWarning, gui::mbOK, this);
}

void TFmain::StartUp() {
    last_ = std::chrono::steady_clock::now();
    // A folder the engine cannot name its files in is refused before anything is written.
    std::string temp;
    QString refusal = ProgramDirRefusal();
    if (refusal.isEmpty()) EngineTempFolder(temp, refusal);
    if (!refusal.isEmpty()) throw std::runtime_error(refusal.toStdString());
    {
        gui::TIniFile ini(IniPath().toStdString());
        AppVer = 1.02;
        Step("バージョンのチェック");
        ReadSortAndOptions(ini, Settings);
        ReadGridSettings(ini, *StaffGrid);
        JidoCB->setChecked(Settings.JidoKosin);
        SaisinBTN->setEnabled(!Settings.JidoKosin);
        ini.WriteFloat("Tobuna", "Ver", AppVer);
        try {
            ini.UpdateFile();
        } catch (const gui::EIniFileError& e) {
            throw std::runtime_error(SettingsRefusal(IniPath(), e.Error, e.File));
        }
    }
    // A print to a PDF file proposes the program's folder, as the settings live there.
    platform::SetProposedPdfFolder(ProgramDir().toStdString());
    Mark("settings");

    Step("フォルダのチェック");
    const std::string dir = DatabaseFolder();
    auto isFolder = [&dir] {
        const uint32_t attributes = platform::GetFileAttributes(dir);
        return attributes != platform::INVALID_FILE_ATTRIBUTES && (attributes & platform::FILE_ATTRIBUTE_DIRECTORY);
    };
    // One that another program makes meanwhile is no failure.
    if (!isFolder() && !platform::CreateDirectory(dir)) {
        const uint32_t error = platform::GetLastError();
        if (!isFolder()) throw std::runtime_error(FolderRefusal(dir, error));
    }
    if (!DMdata) DMdata = new TDMdata(dir);
    Mark("data_module_and_engine");

    DMdata->Session1->SetPrivateDir(temp);
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
    DMdata->ReadOnlyWhy = WhyUnchangeable(dir, {"Staff", "Gakureki", "Rirekisyo", "Kazoku"});
    Mark("write_access");
    StatusBar1->Panel(1)->setText({});
    PageControl1->setCurrentWidget(TabSheet1);
    try {
        RefreshJyokyo();
        OpenStaffList();
    } catch (const kura::EKuraEngineError& e) {
        throw std::runtime_error(ViewsFailure(e, DMdata->Session1->PrivateDir()).toStdString());
    }
    Mark("views");
    startedUp_ = true;
    if (!DMdata->ReadOnlyWhy.empty())
        gui::MessageDlg(ReadOnlyNotice(DMdata->ReadOnlyWhy), gui::mtWarning, gui::mbOK, this);
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
    gui::TIniFile ini(IniPath().toStdString());
    WriteSortAndOptions(ini, Settings);
    WriteGridSettings(ini, *StaffGrid);
    ini.UpdateFile();
}

}  // namespace app

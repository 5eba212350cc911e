#pragma once
// The main window "ヨミトラ" (Fmain): the overview and staff-list tabs, the close
// button, and the start-up sequence run when it is first shown (FormShow):
//   settings read and the version record written; the "DB" folder beside the program
//   made; the data module made; the session's private folder set to the system's
//   temporary folder; the database connected to "DB";
//   Staff, Gakureki, Rirekisyo and Kazoku each created or upgraded and opened, with
//   the step shown in status panel 1; then the overview page made current and the
//   views built (RefreshJyokyo, OpenStaffList).
// A start never needs a table to itself while another program has it open: the
// Gakureki upgrade (a marker column and a wider NAIYO, which need the table to
// itself) waits for a start that has the table alone, and a table another program's
// start holds to itself for a moment (making or upgrading it) is tried again for
// StartWaitMs. A failing step ends the start: its message says in Japanese why, as the
// user can act on it (app/StartReasons.h: a settings file that cannot be written; a
// table that cannot be opened named, with the engine's code: a full disk, a file this
// user may not open, one another program holds, a missing or damaged file, a save cut
// off that needs write access to be settled, a journal refused at every open with the
// way out the engine names; a table whose .DAT is missing while other files of it
// remain, never made anew; a "DB" folder that cannot be made), the window never shows
// on the screen and closes without writing the settings, and StartFailed() tells main
// to end the program. A start that can serve says what it met and goes on: a table's
// unfinished change set aside, or a table that may no longer match the others of a
// save cut off (named, to be restored together; the tables open as their files hold
// them), a database that can be read but not changed (app/WriteAccess.h).
// Closing a started window writes the settings.
//
// The two views are rebuilt, never patched:
//   MainOverview.cpp   the overview tab: head count per department (query Qjyokyo,
//                      grid JyokyoGrid, pie chart Chart1) and the total (Query1).
//   MainStaffList.cpp  the staff list over Qstaff: its persistent fields, the query
//                      text made from the sort keys and the hide-retired flag, title
//                      clicks, retired rows greyed, refresh and auto-refresh.
//   MainExport.cpp     the CSV exports of Staff and Gakureki (File menu).
//   MainLayout.cpp     the tabs' panels, buttons and their hover colours.
// Sort keys are kept in Settings as UTF-8 display labels ("（なし）" for none).
#include <QString>
#include <QTabWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/Form1.h"
#include "app/MainSettings.h"
#include "platform/dataset/DataSource.h"

class QCheckBox;
class QModelIndex;
class QPainter;
class QStyleOptionViewItem;
class QLabel;
class QMenu;
class QAction;
class QPushButton;
class QRadioButton;
class QSplitter;
class QWidget;
class QChart;
class QChartView;
class QPieSeries;
class QHorizontalBarSeries;

namespace kura {
class TKuraQuery;
class TKuraTable;
class TDataSet;
}  // namespace kura

namespace gui {
class TSaveDialog;
}

namespace app {

class TDBGridEx;
class TMakatiButton;

class TFmain : public TFormMain {
public:
    explicit TFmain(QWidget* parent = nullptr);
    ~TFmain() override;

    QWidget* Panel1;
    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QWidget* Panel7;
    TMakatiButton* CloseBTN;
    TDBGridEx* StaffGrid;
    // The scratch query of the upgrades, the head count (and, later, the deletes).
    kura::TKuraQuery* Query1;

    // ---- overview tab ----
    QWidget* Panel2;
    QWidget* Panel5;
    QWidget* Panel6;
    QLabel* JyokyoLBL;
    QRadioButton* BuRB;
    TMakatiButton* MakatiButton1;
    TDBGridEx* JyokyoGrid;
    QSplitter* Splitter1;
    QChartView* Chart1;
    QPieSeries* Series1;
    QHorizontalBarSeries* Series2;

    // ---- staff-list tab ----
    QWidget* Panel3;
    QWidget* Panel4;
    TMakatiButton* STAFFaddBTN;
    TMakatiButton* STAFFeditBTN;
    TMakatiButton* STAFFdelBTN;
    TMakatiButton* CuteButton6;
    QPushButton* KanriSheetBTN;
    QCheckBox* JidoCB;
    TMakatiButton* SaisinBTN;

    // ---- menus ----
    QMenu* File1;
    QAction* PCP2;  // 従業員情報: CSV export of Staff
    QAction* A1;    // 履歴情報: CSV export of Gakureki
    QAction* Exit1;
    gui::TSaveDialog* SaveDialog1;

    // ---- non-visual ----
    kura::TKuraQuery* Qstaff;
    kura::TKuraQuery* Qjyokyo;
    kura::TDataSource DSstaff;
    kura::TDataSource DSjyokyo;

    double AppVer = 0;
    TMainSettings Settings;

    void FormShow() override;
    // The end of the program ends a transaction the SQL window left open as the user says.
    bool FormCloseQuery() override;
    void FormClose() override;
    void UpgradeStaffTable();
    void UpgradeGakurekiTable();
    void UpgradeRirekisyoTable();
    void UpgradeKazokuTable();
    // The views.
    void RefreshJyokyo();
    void OpenStaffList();
    // The lines of Qstaff's text for the current sort keys and hide-retired flag; also
    // repairs the keys (an unknown label becomes "（なし）", a used key's direction
    // other than "降順" becomes "昇順").
    std::vector<std::string> StaffListLines();

    // Event handlers.
    void StaffGridTitleClick(int column);
    void StaffGridDrawColumnCell(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                                 int column);
    void QstaffAfterOpen(kura::TDataSet* dataSet);
    void CuteButton6Click();
    void SaisinBTNClick();
    void BuRBClick();
    void JidoCBClick();
    void PCP2Click();
    void A1Click();
    // Both close the main window, which ends the program (the close writes the settings).
    void CloseBTNClick();
    void Exit1Click();
    // The commands on employees and the windows of the menus.
    void STAFFaddBTNClick();
    void STAFFeditBTNClick();
    void STAFFdelBTNClick();
    void KanriSheetBTNClick();
    void N9Click();
    void N11Click();
    void Copy1Click();
    void Staff1Click();
    void SQL1Click();
    void ReadMe1Click();
    void Version1Click();
    void Help2Click();
    // The delete's question for the grid's selection (moves Qstaff to the first row).
    QString DeleteConfirmation();
    QMenu* PopupMenu1 = nullptr;
    QMenu* JyokyoPopup = nullptr;

    // Whether the staff list's row (0-based) is a retired employee (a retirement date).
    bool RowRetired(int row) const;
    // The staff list's font size as the display settings set it: clamped to 1..72.
    void SetStaffFontSize(int points);

    // Where the start-up's time went: step name and milliseconds since the step before;
    // each wait for a table another program holds is a step of its own ("Staff_waited").
    std::vector<std::pair<std::string, double>> StartupTimes;
    bool StartedUp() const { return startedUp_; }
    // The start-up sequence ended with a failure: the program is to end.
    bool StartFailed() const { return startFailed_; }

private:
    void BuildOverviewTab();
    void BuildStaffTab();
    void AddStaffColumns();
    void BuildMenus();
    void BuildCommands();
    // The current row's code; the codes of the selected rows (or of the current row).
    std::optional<int32_t> CurrentCode();
    std::vector<int32_t> ChosenCodes();
    std::vector<int32_t> ChosenCodes(const std::vector<kura::TBookmark>& rows);
    QString DeleteConfirmation(const std::vector<kura::TBookmark>& rows);
    bool StaffExists(int32_t code);
    // The employee was removed by another program: say so and rebuild the list.
    void Vanished();
    void CreateQueries();
    // The File menu's export of the table; it ends, finished or failed, with the list
    // on a living employee (PassDeletedEmployee).
    void ExportTable(kura::TDataSet& table);
    // The list's employee deleted meanwhile by another program: the list built again
    // on the next employee in its order, or the last.
    void PassDeletedEmployee();
    void StartUp();
    void Step(const char* panelText);
    // Steps 10 to 13 for one table: created or upgraded, then opened; a table held to
    // itself for a moment by another program's start is tried again.
    void CheckTable(const char* panelText, kura::TKuraTable& table, kura::TKuraQuery& creation,
                    const std::function<void()>& upgrade);
    void Mark(const std::string& name);
    // Close, clear, the lines, ExecSQL.
    void RunQuery1(const std::vector<std::string>& lines);
    std::chrono::steady_clock::time_point last_;
    bool startedUp_ = false;
    bool started_ = false;
    bool startFailed_ = false;
};

// How long a start tries again a table that another program's start holds to itself.
constexpr int StartWaitMs = 3000;

extern TFmain* Fmain;

// What the program does once its event loop has ended (the main window closed): frees
// the main window, then the data module, which closes every table and query, and the
// engine's sessions. The settings were written when the window closed.
void EndProgram();
class TLRstaffSheet;
class TFstaff;
class TFsql;
class TFreadMe;
class TFversion;
extern TLRstaffSheet* LRstaffSheet;
extern TFstaff* Fstaff;
extern TFsql* Fsql;
extern TFreadMe* FreadMe;
extern TFversion* Fversion;

}  // namespace app

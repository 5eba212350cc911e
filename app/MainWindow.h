#pragma once
// The main window "ヨミトラ" (Fmain): the overview and staff-list tabs, the close
// button, and the start-up sequence run when it is first shown (FormShow):
//   settings read and the version record written; the "DB" folder beside the program
//   made (or "Cannot create <path>"); the data module made; the session's private
//   folder set to the system's temporary folder; the database connected to "DB";
//   Staff, Gakureki, Rirekisyo and Kazoku each created or upgraded and opened, with
//   the step shown in status panel 1; then the overview page made current and the
//   views built (RefreshJyokyo, OpenStaffList).
// A failing step ends the sequence there; its message is shown and what was done
// stays done. Closing the window writes the settings.
#include <QTabWidget>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "app/Form1.h"
#include "app/MainSettings.h"

class QWidget;

namespace kura {
class TKuraQuery;
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
    // The scratch query of the upgrades (and, later, of the head count and deletes).
    kura::TKuraQuery* Query1;

    double AppVer = 0;
    TMainSettings Settings;

    void FormShow() override;
    void FormClose() override;
    void UpgradeStaffTable();
    void UpgradeGakurekiTable();
    void UpgradeRirekisyoTable();
    void UpgradeKazokuTable();
    // The views; built by the overview and staff-list code.
    virtual void RefreshJyokyo() {}
    virtual void OpenStaffList() {}

    // Where the start-up's time went: step name and milliseconds since the step before.
    std::vector<std::pair<std::string, double>> StartupTimes;
    bool StartedUp() const { return startedUp_; }

private:
    void StartUp();
    void Step(const char* panelText);
    void Mark(const std::string& name);
    // Close, clear, the lines, ExecSQL.
    void RunQuery1(const std::vector<std::string>& lines);
    std::chrono::steady_clock::time_point last_;
    bool startedUp_ = false;
    bool started_ = false;
};

extern TFmain* Fmain;

}  // namespace app

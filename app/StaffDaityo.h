#pragma once
// The staff record editor "従業員台帳" (FstaffDaityo): one employee's master record with
// the education and career rows, the family rows and the link to the résumé pages,
// all inside one transaction of the database "DataDB", begun when the window shows
// (one the SQL window left open is first committed or rolled back as the user says;
// cancelled, the editor does not open), committed with a flush by OK and rolled back
// by Cancel and by every other way of closing the window.
//
// The caller puts Tstaff into insert mode (Append) or positions it and calls Edit
// before the window shows; OpenStaffEditor does exactly that and is the one way the
// program opens the editor:
//   - the employee to edit is sought by key; when another program has deleted it the
//     editor says so and answers mrAbort (the caller refreshes its list) without
//     editing any other row;
//   - a refused Edit (the record is locked by another program) shows the engine's
//     message and answers mrCancel;
//   - the transaction is started before the window shows, never freezing the program
//     (TransactionStart.h): when another program's open editor holds the tables it
//     says so after a moment and answers mrCancel; a second open meanwhile does
//     nothing;
//   - whatever way it ends, the window is freed and no transaction or lock is left.
//
// A save whose commit fails (a full disk, say) loses nothing typed: the engine can
// only roll that transaction back, so the editor does, starts a new one and puts the
// record back in insert or edit mode as typed, with the rows its dialogs changed
// (StaffDaityoSave.cpp); Ｏ　Ｋ saves it all once the cause is mended.
//
// The employee code can be typed only for a new employee (insert mode). Rows of the
// history and family tables (and the résumé row) are only made under a code that is
// set and, for a new employee, not taken by another employee; once one is made the
// code edit becomes read-only, so those rows cannot be left under another code.
#include <QComboBox>
#include <QImage>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QToolButton>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "app/Form1.h"
#include "components/KuraQuery.h"
#include "components/KuraTable.h"
#include "platform/dataset/DataSource.h"

class QButtonGroup;

namespace kura::imaging {
class TScanner;
}

namespace app {

class TMakatiButton;
class TDBGridEx;

class TFstaffDaityo : public TForm1 {
public:
    explicit TFstaffDaityo(QWidget* parent = nullptr);
    ~TFstaffDaityo() override;

    std::unique_ptr<kura::TKuraTable> Tstaff;
    kura::TDataSource DSstaff;
    std::unique_ptr<kura::TKuraQuery> Query1, Qgakureki, Qkazoku;
    kura::TDataSource DSrireki, DSkazoku;
    std::unique_ptr<kura::imaging::TScanner> Scanner1;
    // The work image of the photograph's scan.
    QImage Image1{129, 169, QImage::Format_RGB32};

    QLineEdit* KeyEDT;
    QLabel* ModeLBL;
    QLabel* NenreiLBL;
    QGroupBox* SeibetuRG;
    QButtonGroup* SeibetuGroup;
    QComboBox *BuCMB, *KaCMB, *KakariCMB, *YakusyokuCMB, *SyokuinKBNCMB;
    QLabel* PhotoIMG;
    TMakatiButton* BitBtn1;  // scan the photograph
    TMakatiButton* PasteBTN;
    TMakatiButton* RirekiBTN;
    QTabWidget* PageControl1;
    QTabWidget* PageControl2;
    TDBGridEx* GakurekiGrid;
    TDBGridEx* KazokuGrid;
    TMakatiButton *GakurekiaddBTN, *GakurekiEditBTN, *GakurekiDelBTN;
    TMakatiButton *KazokuAddBTN, *KazokuUpdBTN, *KazokuDelBTN;
    TMakatiButton *OkBTN, *CanBTN;
    // Every edit by the name of its field (StaffCD's is KeyEDT).
    std::map<std::string, QWidget*> Editors;

    double ReferenceDate = 0;
    // Set by OpenStaffEditor once it has started the transaction for the next show.
    bool TransactionReady = false;

    void FormShow() override;
    void FormClose() override;
    void OkBTNClick();
    void CanBTNClick();
    void DSstaffStateChange();
    void SeibetuRGClick(int itemIndex);
    void SpeedButton1Click();
    void GakurekiaddBTNClick();
    void GakurekiEditBTNClick();
    void GakurekiDelBTNClick();
    void KazokuAddBTNClick();
    void KazokuUpdBTNClick();
    void KazokuDelBTNClick();
    void RirekiBTNClick();
    void BitBtn1Click();
    void ShowAge();
    void ShowPhoto();

private:
    void BuildTop(QWidget* area);
    void BuildPages();
    QWidget* BuildHistoryPage();
    QWidget* BuildFamilyPage();
    QLineEdit* Edit(QWidget* parent, const std::string& field);
    QLineEdit* Date(QWidget* parent, const char* field, QWidget*& row);
    QComboBox* Combo(QWidget* parent, const char* field, const char* const* items, int count);
    void FillCombo(QComboBox* box, const char* select, const char* order);
    void ReopenQuery(kura::TKuraQuery& query);
    // The code is set and free for the rows of the sub-dialogs; says why not otherwise.
    bool CodeUsable();
    void CodeUsed();
    void EndTransaction();
    // What the user has in the transaction, and that put back into a new one after
    // its commit failed (StaffDaityoSave.cpp).
    struct TEdit;
    TEdit Typed(bool adding);
    void PutBack(const TEdit& edit);
    bool codeFixed_ = false;
    // The tables whose rows of this employee a sub-dialog or a delete changed.
    std::set<std::string> changedTables_;
    // The open transaction is this editor's own, started for its show.
    bool holding_ = false;
};

extern TFstaffDaityo* FstaffDaityo;

// Opens the editor for a new employee (no code) or for the employee with the code.
int OpenStaffEditor(std::optional<int32_t> staffCD);

}  // namespace app

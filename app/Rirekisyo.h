#pragma once
// The résumé pages dialog "履歴書" (Frirekisyo): the front (tab "表", OmoteIMG on
// Rirekisyo1) and back (tab "裏", UraIMG on Rirekisyo2) pages of one employee's résumé
// as pictures of 682 × 1062 in scroll boxes, each scanned into its BLOB or printed on
// one sheet of the default printer, stretched over the whole printable page. The
// caller has put Trirekisyo into edit mode on the employee's row or into insert mode
// with STAFFCD set; the dialog posts (OK) or cancels, inside the editor's transaction.
#include <QLabel>
#include <QScrollArea>
#include <QTabWidget>
#include <memory>

#include "app/Form1.h"
#include "components/KuraTable.h"
#include "platform/dataset/DataSource.h"

namespace kura::imaging {
class TScanner;
}

namespace app {

class TMakatiButton;

class TFrirekisyo : public TForm1 {
public:
    explicit TFrirekisyo(QWidget* parent = nullptr);
    ~TFrirekisyo() override;

    static constexpr int PageWidth = 682, PageHeight = 1062;

    std::unique_ptr<kura::TKuraTable> Trirekisyo;
    kura::TDataSource DSrirekisyo;
    std::unique_ptr<kura::imaging::TScanner> Scanner1;
    QTabWidget* PageControl1;
    QLabel* OmoteIMG;
    QLabel* UraIMG;
    TMakatiButton *OmoteScanBTN, *OmotePrtBTN, *UraScanBTN, *UraPrtBTN;
    TMakatiButton *OkBTN, *CanBTN;

    void FormShow() override;
    void OmoteScanBTNClick() { ScanPage("Rirekisyo1", OmoteIMG); }
    void UraScanBTNClick() { ScanPage("Rirekisyo2", UraIMG); }
    void OmotePrtBTNClick() { PrintPage("Rirekisyo1"); }
    void UraPrtBTNClick() { PrintPage("Rirekisyo2"); }
    void OkBTNClick();
    void CanBTNClick();

private:
    void ScanPage(const char* field, QLabel* image);
    void PrintPage(const char* field);
    void ShowPages();
};

extern TFrirekisyo* Frirekisyo;

}  // namespace app

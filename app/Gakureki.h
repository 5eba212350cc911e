#pragma once
// The education and career dialog "学歴・職歴" (Fgakureki): one row of Gakureki on its
// own table component Tgakureki, which the caller has put into insert mode (STAFFCD
// set) or positioned and put into edit mode. The dialog only posts (OK) or cancels.
// A row without a date or dated before 1900-01-01 is refused with "日付に誤りがあります"
// and the dialog stays open.
#include <QLineEdit>
#include <QToolButton>
#include <memory>

#include "app/Form1.h"
#include "components/KuraTable.h"
#include "platform/dataset/DataSource.h"

namespace app {

class TMakatiButton;

class TFgakureki : public TForm1 {
public:
    explicit TFgakureki(QWidget* parent = nullptr);
    ~TFgakureki() override;

    std::unique_ptr<kura::TKuraTable> Tgakureki;
    kura::TDataSource DSgakureki;
    QLineEdit* YMDEDT;
    QToolButton* SpeedButton1;
    QLineEdit* wareki;
    QLineEdit* NaiyoEDT;
    TMakatiButton* MakatiButton1;
    TMakatiButton* MakatiButton2;

    void MakatiButton1Click();
    void MakatiButton2Click();

private:
    void TgakurekiBeforePost();
};

extern TFgakureki* Fgakureki;

}  // namespace app

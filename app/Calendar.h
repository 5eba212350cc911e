#pragma once
// The date picker "Fcalendar": a month grid (Calendar1) with the chosen date's era
// year (wareki, "平成10年（1998）") and month (Tuki, "4月"), steppers by year and by
// month, and twelve month panels that jump to a month of the same year (the current
// month's panel sunken). Date is the input and the answer: 0 starts from today; after
// OK (mrOk) it holds the chosen date. Stepping keeps the day unless the target month
// is shorter (31 January + one month is the last day of February).
//
// PickDate is the one way the windows use it: a picker for the value (a null field
// starts from today), shown modally, and on OK the value replaced.
#include <QCalendarWidget>
#include <QFrame>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <array>

#include "app/Form1.h"

namespace kura {
class TField;
}

namespace app {

class TFcalendar : public TForm1 {
public:
    explicit TFcalendar(QWidget* parent = nullptr);

    double Date = 0;

    QCalendarWidget* Calendar1;
    QLineEdit* wareki;
    QLineEdit* Tuki;
    QToolButton *NenDownBTN, *NenUpBTN, *TukiDownBTN, *TukiUpBTN;
    std::array<QFrame*, 12> Panels{};
    QPushButton* BitBtn1;
    QPushButton* BitBtn2;

    void FormShow() override;
    void Calendar1Change();
    void NenDownBTNClick() { MonthCalc(-12); }
    void NenUpBTNClick() { MonthCalc(12); }
    void TukiDownBTNClick() { MonthCalc(-1); }
    void TukiUpBTNClick() { MonthCalc(1); }
    // Panel n (1 to 12).
    void PanelClick(int n);

private:
    void MonthCalc(int step);
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// The picker's one-at-a-time variable: set while a picker is open.
extern TFcalendar* Fcalendar;

// Shows the picker for value; answers whether OK chose a date (then stored in value).
bool PickDate(double& value);
// The same for a field (null starts from today); on OK the field's AsDateTime is set.
bool PickDate(kura::TField* field);

}  // namespace app

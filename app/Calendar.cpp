#include "app/Calendar.h"

#include <QDate>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QVBoxLayout>
#include <cmath>
#include <memory>

#include "app/DateText.h"
#include "app/Wareki.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"

namespace app {

TFcalendar* Fcalendar = nullptr;

namespace {

QToolButton* Stepper(QWidget* parent, const char* name, const char* hint, const char* arrow) {
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setToolTip(QString::fromUtf8(hint));
    b->setText(QString::fromUtf8(arrow));
    return b;
}

// IncMonth: the day clamped to the target month's length.
void AddMonths(int& y, int& m, int& d, int step) {
    int months = y * 12 + (m - 1) + step;
    y = months / 12;
    m = months % 12 + 1;
    const int last = QDate(y, m, 1).daysInMonth();
    if (d > last) d = last;
}

}  // namespace

TFcalendar::TFcalendar(QWidget* parent) : TForm1(parent) {
    setObjectName("Fcalendar");
    setWindowTitle(QString::fromUtf8("カレンダー"));
    Form.Sizeable = false;
    auto* layout = new QVBoxLayout(Client());
    auto* top = new QHBoxLayout;
    NenDownBTN = Stepper(Client(), "NenDownBTN", "前年", "<<");
    TukiDownBTN = Stepper(Client(), "TukiDownBTN", "先月", "<");
    wareki = new QLineEdit(Client());
    wareki->setObjectName("wareki");
    wareki->setReadOnly(true);
    Tuki = new QLineEdit(Client());
    Tuki->setObjectName("Tuki");
    Tuki->setReadOnly(true);
    Tuki->setMaximumWidth(50);
    TukiUpBTN = Stepper(Client(), "TukiUpBTN", "次月", ">");
    NenUpBTN = Stepper(Client(), "NenUpBTN", "次年", ">>");
    for (QWidget* w : {static_cast<QWidget*>(NenDownBTN), static_cast<QWidget*>(TukiDownBTN),
                       static_cast<QWidget*>(wareki), static_cast<QWidget*>(Tuki), static_cast<QWidget*>(TukiUpBTN),
                       static_cast<QWidget*>(NenUpBTN)})
        top->addWidget(w);
    layout->addLayout(top);
    auto* months = new QGridLayout;
    for (int n = 1; n <= 12; ++n) {
        auto* panel = new QFrame(Client());
        panel->setObjectName(QString("Panel%1").arg(n));
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Raised);
        auto* caption = new QLabel(QString::number(n), panel);
        caption->setAlignment(Qt::AlignCenter);
        (new QHBoxLayout(panel))->addWidget(caption);
        panel->installEventFilter(this);
        caption->setAttribute(Qt::WA_TransparentForMouseEvents);
        Panels[static_cast<std::size_t>(n - 1)] = panel;
        months->addWidget(panel, (n - 1) / 6, (n - 1) % 6);
    }
    layout->addLayout(months);
    Calendar1 = new QCalendarWidget(Client());
    Calendar1->setObjectName("Calendar1");
    Calendar1->setNavigationBarVisible(false);
    layout->addWidget(Calendar1);
    auto* buttons = new QHBoxLayout;
    BitBtn1 = new QPushButton("OK", Client());
    BitBtn1->setObjectName("BitBtn1");
    BitBtn2 = new QPushButton(QString::fromUtf8("キャンセル"), Client());
    BitBtn2->setObjectName("BitBtn2");
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    layout->addLayout(buttons);

    connect(Calendar1, &QCalendarWidget::selectionChanged, this, [this] { Calendar1Change(); });
    connect(NenDownBTN, &QToolButton::clicked, this, [this] { NenDownBTNClick(); });
    connect(NenUpBTN, &QToolButton::clicked, this, [this] { NenUpBTNClick(); });
    connect(TukiDownBTN, &QToolButton::clicked, this, [this] { TukiDownBTNClick(); });
    connect(TukiUpBTN, &QToolButton::clicked, this, [this] { TukiUpBTNClick(); });
    connect(BitBtn1, &QPushButton::clicked, this, [this] { done(gui::mrOk); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { done(gui::mrCancel); });
}

void TFcalendar::FormShow() {
    TForm1::FormShow();
    if (Date == 0) Date = std::floor(EncodeDate(QDate::currentDate().year(), QDate::currentDate().month(),
                                                 QDate::currentDate().day()));
    int y = 0, m = 0, d = 0;
    DecodeDate(Date, y, m, d);
    const QSignalBlocker quiet(Calendar1);
    Calendar1->setSelectedDate(QDate(y, m, d));
    Calendar1->setCurrentPage(y, m);
    Calendar1Change();
}

void TFcalendar::Calendar1Change() {
    const QDate day = Calendar1->selectedDate();
    Tuki->setText(QString::number(day.month()) + QString::fromUtf8("月"));
    Date = EncodeDate(day.year(), day.month(), day.day());
    wareki->setText(QString::fromStdString(FormatDateTime("gggee", Date)) + QString::fromUtf8("年（") +
                    QString::number(day.year()) + QString::fromUtf8("）"));
    for (int n = 1; n <= 12; ++n)
        Panels[static_cast<std::size_t>(n - 1)]->setFrameShadow(n == day.month() ? QFrame::Sunken : QFrame::Raised);
}

void TFcalendar::PanelClick(int n) { MonthCalc(n - Calendar1->selectedDate().month()); }

void TFcalendar::MonthCalc(int step) {
    const QDate day = Calendar1->selectedDate();
    int y = day.year(), m = day.month(), d = day.day();
    AddMonths(y, m, d, step);
    Calendar1->setCurrentPage(y, m);
    Calendar1->setSelectedDate(QDate(y, m, d));
    Calendar1Change();
}

bool TFcalendar::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease)
        for (int n = 1; n <= 12; ++n)
            if (watched == Panels[static_cast<std::size_t>(n - 1)]) {
                PanelClick(n);
                return true;
            }
    return TForm1::eventFilter(watched, event);
}

bool PickDate(double& value) {
    if (!Fcalendar) Fcalendar = new TFcalendar;
    const std::unique_ptr<TFcalendar> picker(Fcalendar);
    struct Clear {
        ~Clear() { Fcalendar = nullptr; }
    } clear;
    picker->Date = value;
    if (picker->exec() != gui::mrOk) return false;
    value = picker->Date;
    return true;
}

bool PickDate(kura::TField* field) {
    double value = field->IsNull() ? 0 : field->AsDateTime();
    if (!PickDate(value)) return false;
    field->DataSet()->Edit();
    field->SetAsDateTime(value);
    return true;
}

}  // namespace app

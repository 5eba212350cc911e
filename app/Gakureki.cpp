#include "app/Gakureki.h"

#include <QGridLayout>
#include <QHBoxLayout>

#include "app/FormKit.h"
#include "app/MakatiButton.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/gui/DataControls.h"

namespace app {

TFgakureki* Fgakureki = nullptr;

namespace {
constexpr double Year1900 = 2;  // 1900-01-01 as days since 1899-12-30
}

TFgakureki::TFgakureki(QWidget* parent) : TForm1(parent) {
    setObjectName("Fgakureki");
    setWindowTitle(QString::fromUtf8("学歴・職歴"));
    resize(520, 160);
    Tgakureki = DataTable("Tgakureki", "Gakureki");
    kura::TField* wareki_ = AddCalcField(*Tgakureki, "wareki", 8);
    kura::TField* ymd = Tgakureki->FieldByName("YMD");
    ymd->OnSetText = SetDateText;
    Tgakureki->OnCalcFields = [wareki_, ymd](kura::TDataSet*) { SetEraText(wareki_, ymd, "g ee"); };
    Tgakureki->BeforePost = [this](kura::TDataSet*) { TgakurekiBeforePost(); };
    DSgakureki.SetDataSet(Tgakureki.get());

    auto* grid = new QGridLayout(Client());
    YMDEDT = DateEdit(Client(), "YMDEDT", &DSgakureki, "YMD");
    SpeedButton1 = CalendarButton(Client(), "SpeedButton1", [this] { return Tgakureki->FieldByName("YMD"); });
    wareki = MakeEdit(Client(), "wareki");
    wareki->setReadOnly(true);
    gui::BindEdit(wareki, &DSgakureki, "wareki");
    FollowSource(wareki, wareki_, ymd);
    Place(grid, 0, 0, "年月日", YMDEDT);
    grid->addWidget(SpeedButton1, 0, 2);
    grid->addWidget(wareki, 0, 3);
    NaiyoEDT = MakeEdit(Client(), "NaiyoEDT");
    gui::BindEdit(NaiyoEDT, &DSgakureki, "NAIYO");
    Place(grid, 1, 0, "内　容", NaiyoEDT);
    grid->addWidget(NaiyoEDT, 1, 1, 1, 3);
    auto* buttons = new QHBoxLayout;
    MakatiButton1 = MakeButton(Client(), "MakatiButton1", "Ｏ　Ｋ", 0xC0C0C0, 0x808080);
    MakatiButton2 = MakeButton(Client(), "MakatiButton2", "キャンセル", 0xC0C0C0, 0x808080);
    buttons->addWidget(MakatiButton1);
    buttons->addWidget(MakatiButton2);
    grid->addLayout(buttons, 2, 0, 1, 4);
    connect(MakatiButton1, &QPushButton::clicked, this, [this] { MakatiButton1Click(); });
    connect(MakatiButton2, &QPushButton::clicked, this, [this] { MakatiButton2Click(); });
}

TFgakureki::~TFgakureki() {
    // An edit left open by an error is dropped with the dialog.
    try {
        if (Tgakureki->Active()) Tgakureki->Cancel();
    } catch (...) {
    }
    DSgakureki.SetDataSet(nullptr);
}

void TFgakureki::MakatiButton1Click() {
    Tgakureki->Post();
    done(gui::mrOk);
}

void TFgakureki::MakatiButton2Click() {
    Tgakureki->Cancel();
    done(gui::mrCancel);
}

void TFgakureki::TgakurekiBeforePost() {
    kura::TField* ymd = Tgakureki->FieldByName("YMD");
    if (ymd->IsNull() || ymd->AsDateTime() < Year1900) {
        gui::MessageDlg(QString::fromUtf8("日付に誤りがあります"), gui::mtError, gui::mbOK, this);
        kura::Abort();
    }
}

}  // namespace app

#include "app/Kazoku.h"

#include <QButtonGroup>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>

#include "app/DateText.h"
#include "app/FormKit.h"
#include "app/MakatiButton.h"
#include "platform/CodePage.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/gui/DataControls.h"

namespace app {

TFkazoku* Fkazoku = nullptr;

namespace {
const char* const Relations[] = {"妻", "夫", "長男", "次男", "三男", "長女", "次女", "三女", "父", "母", "祖父", "祖母"};
}

TFkazoku::TFkazoku(QWidget* parent) : TForm1(parent) {
    setObjectName("Fkazoku");
    setWindowTitle(QString::fromUtf8("家族"));
    resize(480, 300);
    Tkazoku = DataTable("Tkazoku", "Kazoku");
    kura::TField* nenrei = AddCalcField(*Tkazoku, "NENREI", 0);
    kura::TField* wareki = AddCalcField(*Tkazoku, "Wareki", 4);
    kura::TField* birth = Tkazoku->FieldByName("SeinenYMD");
    birth->OnSetText = SetDateText;
    Tkazoku->OnCalcFields = [nenrei, wareki, birth](kura::TDataSet*) {
        if (!birth->IsNull()) nenrei->SetAsInteger(YearsBetween(birth->AsDateTime(), Today()));
        SetEraText(wareki, birth, "gee");
    };
    Tkazoku->OnNewRecord = [this](kura::TDataSet*) {
        Tkazoku->FieldByName("HaigusyaKBN")->SetAsInteger(0);
        Tkazoku->FieldByName("FuyoKBN")->SetAsInteger(1);
        Tkazoku->FieldByName("DoukyoKBN")->SetAsInteger(1);
    };
    DSkazoku.SetDataSet(Tkazoku.get());

    auto* grid = new QGridLayout(Client());
    auto edit = [this](const char* name, const char* field) {
        QLineEdit* e = MakeEdit(Client(), name);
        gui::BindEdit(e, &DSkazoku, field);
        return e;
    };
    SeqEDT = edit("SeqEDT", "Seq");
    Place(grid, 0, 0, "連　番", SeqEDT);
    SimeiEDT = edit("SimeiEDT", "Simei");
    Place(grid, 1, 0, "氏　名", SimeiEDT);
    FuriganaEDT = edit("FuriganaEDT", "Furigana");
    Place(grid, 2, 0, "ふりがな", FuriganaEDT);
    SeinenYMDEDT = DateEdit(Client(), "SeinenYMDEDT", &DSkazoku, "SeinenYMD");
    Place(grid, 3, 0, "生年月日", SeinenYMDEDT);
    SeinenYMDBtn = CalendarButton(Client(), "SeinenYMDBtn", [this] { return Tkazoku->FieldByName("SeinenYMD"); });
    Wareki = edit("Wareki", "Wareki");
    Wareki->setReadOnly(true);
    NenreiEDT = edit("NenreiEDT", "NENREI");
    NenreiEDT->setReadOnly(true);
    FollowSource(Wareki, wareki, birth);
    FollowSource(NenreiEDT, nenrei, birth);
    auto* birthRow = new QHBoxLayout;
    birthRow->addWidget(SeinenYMDBtn);
    birthRow->addWidget(Wareki);
    birthRow->addWidget(NenreiEDT);
    birthRow->addWidget(new QLabel(QString::fromUtf8("歳"), Client()));
    grid->addLayout(birthRow, 3, 2);

    SeibetuRG = new QGroupBox(QString::fromUtf8("性別"), Client());
    SeibetuRG->setObjectName("SeibetuRG");
    SeibetuGroup = new QButtonGroup(SeibetuRG);
    auto* sexRow = new QHBoxLayout(SeibetuRG);
    for (int i = 0; i < 2; ++i) {
        auto* r = new QRadioButton(QString::fromUtf8(i == 0 ? "男" : "女"), SeibetuRG);
        r->setObjectName(i == 0 ? "SeibetuMale" : "SeibetuFemale");
        SeibetuGroup->addButton(r, i);
        sexRow->addWidget(r);
    }
    grid->addWidget(SeibetuRG, 4, 0, 1, 2);
    ZokugaraCMB = new QComboBox(Client());
    ZokugaraCMB->setObjectName("ZokugaraCMB");
    for (const char* r : Relations) ZokugaraCMB->addItem(QString::fromUtf8(r));
    gui::BindComboBox(ZokugaraCMB, &DSkazoku, "Zokugara");
    Place(grid, 5, 0, "続　柄", ZokugaraCMB);
    auto* flags = new QHBoxLayout;
    auto check = [this, flags](const char* name, const char* caption, const char* field) {
        auto* c = new QCheckBox(QString::fromUtf8(caption), Client());
        c->setObjectName(name);
        gui::BindCheckBox(c, &DSkazoku, field);
        flags->addWidget(c);
        return c;
    };
    HaigusyaCHK = check("HaigusyaCHK", "配偶者", "HaigusyaKBN");
    FuyoCHK = check("FuyoCHK", "扶　養", "FuyoKBN");
    DoukyoCHK = check("DoukyoCHK", "同　居", "DoukyoKBN");
    grid->addLayout(flags, 6, 0, 1, 3);
    KisoNenkinEDT = edit("KisoNenkinEDT", "KisoNenkin");
    Place(grid, 7, 0, "基礎年金", KisoNenkinEDT);
    KenkoHokenEDT = edit("KenkoHokenEDT", "KenkoHoken");
    Place(grid, 8, 0, "健康保険", KenkoHokenEDT);
    auto* buttons = new QHBoxLayout;
    OkBTN = MakeButton(Client(), "OkBTN", "Ｏ　Ｋ", 0xC0C0C0, 0x808080);
    CanBTN = MakeButton(Client(), "CanBTN", "キャンセル", 0xC0C0C0, 0x808080);
    buttons->addWidget(OkBTN);
    buttons->addWidget(CanBTN);
    grid->addLayout(buttons, 9, 0, 1, 3);
    connect(OkBTN, &QPushButton::clicked, this, [this] { OkBTNClick(); });
    connect(CanBTN, &QPushButton::clicked, this, [this] { CanBTNClick(); });
    connect(SeibetuGroup, &QButtonGroup::idClicked, this, [this](int id) { SeibetuRGClick(id); });
}

TFkazoku::~TFkazoku() {
    try {
        if (Tkazoku->Active()) Tkazoku->Cancel();
    } catch (...) {
    }
    DSkazoku.SetDataSet(nullptr);
}

void TFkazoku::FormShow() {
    TForm1::FormShow();
    const std::string sex = platform::Cp932ToUtf8(Tkazoku->FieldByName("SEIBETU")->AsString());
    if (sex == "男") SeibetuGroup->button(0)->setChecked(true);
    else if (sex == "女") SeibetuGroup->button(1)->setChecked(true);
}

void TFkazoku::OkBTNClick() {
    Tkazoku->Post();
    done(gui::mrOk);
}

void TFkazoku::CanBTNClick() {
    Tkazoku->Cancel();
    done(gui::mrCancel);
}

void TFkazoku::SeibetuRGClick(int itemIndex) {
    Tkazoku->Edit();
    Tkazoku->FieldByName("SEIBETU")->SetAsUtf8(itemIndex != 0 ? "女" : "男");
}

}  // namespace app

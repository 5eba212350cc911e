#include "app/HyojiKomoku.h"

#include <QHBoxLayout>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "app/MakatiButton.h"
#include "components/KuraQuery.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/gui/DataGrid.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

TFhyojiKomoku* FhyojiKomoku = nullptr;
TFoption* Foption = nullptr;

namespace {

QHBoxLayout* ButtonRow(std::initializer_list<QPushButton*> buttons) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    for (QPushButton* b : buttons) {
        b->setFixedSize(100, 30);
        row->addWidget(b);
    }
    return row;
}

}  // namespace

TFhyojiKomoku::TFhyojiKomoku(gui::TDBGrid& grid, QWidget* parent) : TForm1(parent), grid_(grid) {
    setObjectName("FhyojiKomoku");
    setWindowTitle(U8("表示項目選択"));
    resize(320, 480);
    auto* layout = new QVBoxLayout(Client());
    ScrollBox1 = new QScrollArea(Client());
    ScrollBox1->setObjectName("ScrollBox1");
    ScrollBox1->resize(290, 400);
    inner_ = new QWidget;
    ScrollBox1->setWidget(inner_);
    layout->addWidget(ScrollBox1, 1);
    OkBTN = new TMakatiButton(Client());
    OkBTN->setObjectName("OkBTN");
    OkBTN->setText(U8("Ｏ　Ｋ"));
    CuteButton2 = new TMakatiButton(Client());
    CuteButton2->setObjectName("CuteButton2");
    CuteButton2->setText(U8("キャンセル"));
    layout->addLayout(ButtonRow({OkBTN, CuteButton2}));
    connect(OkBTN, &QPushButton::clicked, this, [this] { OkBTNClick(); });
    connect(CuteButton2, &QPushButton::clicked, this, [this] { CuteButton2Click(); });
    FormCreate();
}

void TFhyojiKomoku::FormCreate() {
    for (QCheckBox* b : Boxes) delete b;
    Boxes.clear();
    const int width = ScrollBox1->width() - 50;
    for (int i = 0; i < grid_.ColumnCount(); ++i) {
        if (i == MaxBoxes) {
            gui::MessageDlg(U8("項目数が予想を越えました"), gui::mtWarning, gui::mbOK, this);
            break;
        }
        const kura::TField* field = grid_.ColumnField(i);
        auto* box = new QCheckBox(field ? gui::QStr(field->DisplayName()) : gui::QStr(grid_.Column(i).FieldName),
                                  inner_);
        box->setObjectName(QString("CheckBox%1").arg(i + 1));
        box->setGeometry(16, i * 25 + 8, width, 21);
        box->setChecked(grid_.Column(i).Visible);
        Boxes.push_back(box);
    }
    inner_->resize(ScrollBox1->width() - 20, static_cast<int>(Boxes.size()) * 25 + 16);
}

void TFhyojiKomoku::OkBTNClick() {
    for (std::size_t i = 0; i < Boxes.size() && static_cast<int>(i) < grid_.ColumnCount(); ++i)
        grid_.SetColumnVisible(static_cast<int>(i), Boxes[i]->isChecked());
    done(gui::mrOk);
}

void TFhyojiKomoku::CuteButton2Click() { done(gui::mrCancel); }

TFoption::TFoption(QWidget* parent) : TForm1(parent) {
    setObjectName("Foption");
    setWindowTitle(U8("オプション"));
    auto* layout = new QVBoxLayout(Client());
    PageControl1 = new QTabWidget(Client());
    PageControl1->setObjectName("PageControl1");
    auto* sheet = new QWidget;
    sheet->setObjectName("TabSheet1");
    PageControl1->addTab(sheet, U8("ﾃﾞｰﾀ読込"));
    layout->addWidget(PageControl1, 1);
    Button1 = new QPushButton(U8("O K"), Client());
    Button1->setObjectName("Button1");
    Button2 = new QPushButton(U8("ｷｬﾝｾﾙ"), Client());
    Button2->setObjectName("Button2");
    layout->addLayout(ButtonRow({Button1, Button2}));
    connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
    connect(Button2, &QPushButton::clicked, this, [this] { Button2Click(); });
    for (kura::TKuraQuery** q : {&Query1, &Query2}) {
        *q = new kura::TKuraQuery;
        (*q)->SetDatabaseName("DataDB");
        (*q)->SetSessionName("MySession");
    }
    Query1->SetName("Query1");
    Query2->SetName("Query2");
}

TFoption::~TFoption() {
    delete Query1;
    delete Query2;
}

void TFoption::Button1Click() { done(gui::mrOk); }
void TFoption::Button2Click() { close(); }

}  // namespace app

#include "app/HyojiJyun.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>

#include "app/DateText.h"
#include "app/MainSettings.h"
#include "app/MakatiButton.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/gui/DataGrid.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

TFhyojiJyun* FhyojiJyun = nullptr;

namespace {
const char* const KeyCaptions[3] = {"最優先されるキー", "２番目に優先されるキー", "３番目に優先されるキー"};
}

TFhyojiJyun::TFhyojiJyun(gui::TDBGrid& grid, QWidget* parent) : TForm1(parent), grid_(grid) {
    setObjectName("FhyojiJyun");
    setWindowTitle(U8("従業員一覧の表示設定"));
    auto* layout = new QGridLayout(Client());
    CheckListBox1 = new QListWidget(Client());
    CheckListBox1->setObjectName("CheckListBox1");
    layout->addWidget(new QLabel(U8("表示項目"), Client()), 0, 0);
    layout->addWidget(CheckListBox1, 1, 0, 8, 1);
    for (int k = 0; k < 3; ++k) {
        layout->addWidget(new QLabel(U8(KeyCaptions[k]), Client()), k * 2, 1);
        KomokuCB[k] = new QComboBox(Client());
        KomokuCB[k]->setObjectName(QString("KomokuCB%1").arg(k + 1));
        layout->addWidget(KomokuCB[k], k * 2 + 1, 1);
        JyunRG[k] = new gui::TRadioGroup(Client());
        JyunRG[k]->setObjectName(QString("JyunRG%1").arg(k + 1));
        JyunRG[k]->SetItems({U8("昇順"), U8("降順")}, 2);
        layout->addWidget(JyunRG[k], k * 2 + 1, 2);
    }
    layout->addWidget(new QLabel(U8("フォントサイズ"), Client()), 6, 1);
    FontSizeCB = new QComboBox(Client());
    FontSizeCB->setObjectName("FontSizeCB");
    FontSizeCB->setEditable(true);
    for (int size = 8; size <= 16; ++size) FontSizeCB->addItem(QString::number(size));
    layout->addWidget(FontSizeCB, 6, 2);
    TaisyokuCB = new QCheckBox(U8("退職者は表示しない"), Client());
    TaisyokuCB->setObjectName("TaisyokuCB");
    layout->addWidget(TaisyokuCB, 7, 1, 1, 2);
    auto* buttons = new QHBoxLayout;
    OkBTN = new TMakatiButton(Client());
    OkBTN->setObjectName("OkBTN");
    OkBTN->setText(U8("Ｏ　Ｋ"));
    CanBTN = new TMakatiButton(Client());
    CanBTN->setObjectName("CanBTN");
    CanBTN->setText(U8("キャンセル"));
    for (TMakatiButton* b : {OkBTN, CanBTN}) {
        b->setFixedSize(100, 30);
        buttons->addWidget(b);
    }
    buttons->insertStretch(0);
    layout->addLayout(buttons, 8, 1, 1, 2);
    connect(OkBTN, &QPushButton::clicked, this, [this] { OkBTNClick(); });
    connect(CanBTN, &QPushButton::clicked, this, [this] { CanBTNClick(); });
    FormCreate();
}

void TFhyojiJyun::FormCreate() {
    CheckListBox1->clear();
    for (int c = 0; c < grid_.ColumnCount(); ++c) {
        const kura::TField* field = grid_.ColumnField(c);
        const QString title = field ? gui::QStr(field->DisplayName()) : gui::QStr(grid_.Column(c).FieldName);
        auto* line = new QListWidgetItem(title, CheckListBox1);
        line->setFlags(line->flags() | Qt::ItemIsUserCheckable);
        line->setCheckState(grid_.Column(c).Visible ? Qt::Checked : Qt::Unchecked);
    }
}

void TFhyojiJyun::OkBTNClick() {
    if (!IsNumber(FontSizeCB->currentText().toStdString())) {
        gui::MessageDlg(U8("フォントサイズには数字を入力してください"), gui::mtError, gui::mbOK, this);
        FontSizeCB->setFocus();
        return;
    }
    for (int c = 0; c < grid_.ColumnCount() && c < CheckListBox1->count(); ++c)
        grid_.SetColumnVisible(c, CheckListBox1->item(c)->checkState() == Qt::Checked);
    done(gui::mrOk);
}

void TFhyojiJyun::CanBTNClick() { done(gui::mrCancel); }

int TFhyojiJyun::FontSize() const {
    int value = 0;
    for (QChar ch : FontSizeCB->currentText()) {
        if (ch < '0' || ch > '9') break;
        value = std::min(value * 10 + (ch.unicode() - '0'), MaxFontSize + 1);
    }
    return std::min(value, MaxFontSize);
}

}  // namespace app

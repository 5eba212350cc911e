#pragma once
// Two smaller dialogs of the staff list's display, which the program does not open
// yet (no command leads to them):
//   FhyojiKomoku "表示項目選択": a check box per grid column, at most 20 (more
//   columns get a warning and no box); OK sets the visibility of the columns that
//   have a box.
//   Foption "オプション": one empty tab "ﾃﾞｰﾀ読込" and its two buttons.
#include <QCheckBox>
#include <QScrollArea>
#include <vector>

#include "app/Form1.h"

class QTabWidget;

namespace gui {
class TDBGrid;
}
namespace kura {
class TKuraQuery;
}

namespace app {

class TMakatiButton;

class TFhyojiKomoku : public TForm1 {
public:
    TFhyojiKomoku(gui::TDBGrid& grid, QWidget* parent = nullptr);
    static constexpr int MaxBoxes = 20;

    QScrollArea* ScrollBox1;
    std::vector<QCheckBox*> Boxes;  // box i is column i
    TMakatiButton* OkBTN;
    TMakatiButton* CuteButton2;

    // Makes the boxes; call after the dialog has its size (the boxes take its width).
    void FormCreate();
    void OkBTNClick();
    void CuteButton2Click();

private:
    gui::TDBGrid& grid_;
    QWidget* inner_;
};

class TFoption : public TForm1 {
public:
    explicit TFoption(QWidget* parent = nullptr);
    ~TFoption() override;
    QTabWidget* PageControl1;
    QPushButton* Button1;  // O K
    QPushButton* Button2;  // ｷｬﾝｾﾙ
    kura::TKuraQuery* Query1;
    kura::TKuraQuery* Query2;
    void Button1Click();
    void Button2Click();
};

extern TFhyojiKomoku* FhyojiKomoku;
extern TFoption* Foption;

}  // namespace app

#pragma once
// The staff list's display settings (FhyojiJyun): which columns show (CheckListBox1,
// one line per grid column, in column order), three sort keys with their directions
// (KomokuCB1..3, JyunRG1..3 "昇順"/"降順"), the grid's font size (FontSizeCB, items
// 8 to 16, free text) and whether retired staff are hidden (TaisyokuCB). The main
// window fills the keys, the font size and the flag and reads them back on OK; the
// dialog itself sets the columns' visibility on OK.
//
// OK refuses a font size that is not all ASCII digits with a message and stays open.
// A column whose field is missing still gets its line (titled by its field name), so
// lines and columns stay aligned.
#include <QCheckBox>
#include <QComboBox>
#include <QListWidget>

#include "app/Form1.h"
#include "platform/gui/RadioGroup.h"

namespace gui {
class TDBGrid;
}

namespace app {

class TMakatiButton;

class TFhyojiJyun : public TForm1 {
public:
    TFhyojiJyun(gui::TDBGrid& grid, QWidget* parent = nullptr);

    QListWidget* CheckListBox1;
    QComboBox* KomokuCB[3];
    gui::TRadioGroup* JyunRG[3];
    QComboBox* FontSizeCB;
    QCheckBox* TaisyokuCB;
    TMakatiButton* OkBTN;
    TMakatiButton* CanBTN;

    void FormCreate();
    void OkBTNClick();
    void CanBTNClick();
    // The font size typed, once OK accepted it: its digits' value, at most MaxFontSize
    // (a longer number cannot overflow).
    int FontSize() const;

private:
    gui::TDBGrid& grid_;
};

extern TFhyojiJyun* FhyojiJyun;

}  // namespace app

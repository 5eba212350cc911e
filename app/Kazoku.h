#pragma once
// The family dialog "家族" (Fkazoku): one row of Kazoku on its own table component
// Tkazoku, put into insert mode (STAFFCD set) or positioned and put into edit mode by
// the caller. A new row starts with the dependant and living-together boxes checked
// and the spouse box clear. The member's number Seq is typed; a missing Seq or name
// or a duplicate key is the engine's error from the post, and the dialog stays open.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QToolButton>
#include <memory>

#include "app/Form1.h"
#include "components/KuraTable.h"
#include "platform/dataset/DataSource.h"

class QButtonGroup;
class QGroupBox;

namespace app {

class TMakatiButton;

class TFkazoku : public TForm1 {
public:
    explicit TFkazoku(QWidget* parent = nullptr);
    ~TFkazoku() override;

    std::unique_ptr<kura::TKuraTable> Tkazoku;
    kura::TDataSource DSkazoku;
    QLineEdit *SeqEDT, *SimeiEDT, *FuriganaEDT, *SeinenYMDEDT, *Wareki, *NenreiEDT, *KisoNenkinEDT, *KenkoHokenEDT;
    QToolButton* SeinenYMDBtn;
    QGroupBox* SeibetuRG;
    QButtonGroup* SeibetuGroup;
    QComboBox* ZokugaraCMB;
    QCheckBox *HaigusyaCHK, *FuyoCHK, *DoukyoCHK;
    TMakatiButton* OkBTN;
    TMakatiButton* CanBTN;

    void FormShow() override;
    void OkBTNClick();
    void CanBTNClick();
    void SeibetuRGClick(int itemIndex);
};

extern TFkazoku* Fkazoku;

}  // namespace app

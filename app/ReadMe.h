#pragma once
// The read-me window "お読みください": shows "readme.txt" from the program's folder
// (not the current directory) read-only, prints it, closes. A read-me that cannot be
// read is reported in a message and the window closes.
#include "app/Form1.h"

class QTextEdit;
class QPushButton;

namespace app {

class TFreadMe : public TForm1 {
public:
    explicit TFreadMe(QWidget* parent = nullptr);
    QTextEdit* RichEdit1;
    QPushButton* BitBtn1;  // 印刷
    QPushButton* BitBtn2;  // 閉じる
    void FormShow() override;
    void BitBtn1Click();
    // Reads the read-me into the box; false (with the message shown) when it cannot.
    bool LoadReadMe();
};

}  // namespace app

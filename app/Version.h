#pragma once
// The about box "バージョン情報": the program's name, version ("Version " + the
// version with two decimals), rights notice, home page and support mail links, OK.
// A link that the desktop cannot open does nothing.
#include <QDialog>

class QFrame;
class QLabel;
class QPushButton;

namespace app {

class TFversion : public QDialog {
public:
    explicit TFversion(double appVer, QWidget* parent = nullptr);
    QFrame* Panel1;
    QLabel *ProgramIcon, *ProductName, *Version, *Copyright, *Label3, *Label4, *Label5, *Label6;
    QPushButton* OKButton;
    static const char* HomePage;
    static const char* SupportMail;
    // The link actions (also what a click on the labels does).
    void Label3Click();
    void Label6Click();
    // "Version " + value with two decimals.
    static QString VersionText(double appVer);

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    double appVer_;
};

}  // namespace app

#pragma once
// The "Now Printing..." box shown while a print job runs. It stays in front, shows the
// hourglass while open, and frees itself when closed, clearing PrintMsg.
#include <QDialog>

namespace report {

class TPrintMsg : public QDialog {
public:
    explicit TPrintMsg(QWidget* parent = nullptr);
    ~TPrintMsg() override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    bool cursorSet_ = false;
};

// The box while one exists.
extern TPrintMsg* PrintMsg;

}  // namespace report

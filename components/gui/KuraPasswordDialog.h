#pragma once
// The password dialog: lets the user give a session the passwords of encrypted
// tables when the engine meets one it has no password for. Add and Remove are
// enabled while the edit box holds text; OK also once a password was added. OK
// adds the text in the box as well (even an empty one after an earlier Add).
//
// PasswordDialog shows it modally for a session and answers whether it was closed
// with OK; InstallPasswordDialog makes it the sessions' password hook.
#include <QDialog>

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace kura {

class TKuraSession;

class TKuraPasswordDialog : public QDialog {
public:
    explicit TKuraPasswordDialog(TKuraSession* session, QWidget* parent = nullptr);

    QLineEdit* Edit() const { return edit_; }

private:
    void EditChange();
    void AddButtonClick();
    void RemoveButtonClick();
    void RemoveAllButtonClick();
    void OKButtonClick();
    // Engine text is code page 932; the box holds Unicode.
    std::string EditText() const;

    TKuraSession* session_;
    bool added_ = false;
    QGroupBox* group_;
    QLineEdit* edit_;
    QPushButton* addButton_;
    QPushButton* removeButton_;
    QPushButton* removeAllButton_;
    QPushButton* okButton_;
    QPushButton* cancelButton_;
};

bool PasswordDialog(TKuraSession* session);
void InstallPasswordDialog();

}  // namespace kura

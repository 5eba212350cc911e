#include "components/gui/KuraPasswordDialog.h"

#include <QGroupBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <exception>

#include "components/KuraSession.h"
#include "platform/CodePage.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {

// Exceptions never cross the Qt event loop: a failing handler shows its message
// (an abort stays silent) and the dialog stays open.
template <typename F>
void Guarded(QWidget* parent, F handler) {
    try {
        handler();
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        QMessageBox::critical(parent, "Error", QString::fromStdString(platform::Cp932ToUtf8(e.what())));
    }
}

}  // namespace

TKuraPasswordDialog::TKuraPasswordDialog(TKuraSession* session, QWidget* parent)
    : QDialog(parent), session_(session) {
    setObjectName("KuraPasswordDialog");
    setWindowTitle("Enter password");
    setFixedSize(273, 132);
    group_ = new QGroupBox("Password", this);
    group_->setObjectName("GroupBox1");
    group_->setGeometry(8, 8, 257, 81);
    edit_ = new QLineEdit(group_);
    edit_->setObjectName("Edit");
    edit_->setEchoMode(QLineEdit::Password);  // shown as "*"
    edit_->setGeometry(8, 20, 241, 21);
    addButton_ = new QPushButton("&Add", group_);
    addButton_->setObjectName("AddButton");
    addButton_->setGeometry(8, 48, 65, 25);
    removeButton_ = new QPushButton("&Remove", group_);
    removeButton_->setObjectName("RemoveButton");
    removeButton_->setGeometry(80, 48, 65, 25);
    removeAllButton_ = new QPushButton("Re&move all", group_);
    removeAllButton_->setObjectName("RemoveAllButton");
    removeAllButton_->setGeometry(152, 48, 81, 25);
    okButton_ = new QPushButton("&OK", this);
    okButton_->setObjectName("OKButton");
    okButton_->setGeometry(108, 99, 75, 25);
    okButton_->setDefault(true);
    cancelButton_ = new QPushButton("Cancel", this);
    cancelButton_->setObjectName("CancelButton");
    cancelButton_->setGeometry(190, 99, 75, 25);
    addButton_->setEnabled(false);
    removeButton_->setEnabled(false);
    okButton_->setEnabled(false);

    connect(edit_, &QLineEdit::textChanged, this, [this] { EditChange(); });
    connect(addButton_, &QPushButton::clicked, this, [this] { Guarded(this, [this] { AddButtonClick(); }); });
    connect(removeButton_, &QPushButton::clicked, this, [this] { Guarded(this, [this] { RemoveButtonClick(); }); });
    connect(removeAllButton_, &QPushButton::clicked, this,
            [this] { Guarded(this, [this] { RemoveAllButtonClick(); }); });
    connect(okButton_, &QPushButton::clicked, this, [this] { Guarded(this, [this] { OKButtonClick(); }); });
    connect(cancelButton_, &QPushButton::clicked, this, &QDialog::reject);
    edit_->setFocus();
}

std::string TKuraPasswordDialog::EditText() const {
    const QByteArray utf8 = edit_->text().toUtf8();
    return platform::Utf8ToCp932(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

void TKuraPasswordDialog::EditChange() {
    const bool any = !edit_->text().isEmpty();
    addButton_->setEnabled(any);
    removeButton_->setEnabled(any);
    okButton_->setEnabled(any || added_);
}

void TKuraPasswordDialog::AddButtonClick() {
    session_->AddPassword(EditText());
    added_ = true;
    edit_->clear();
    edit_->setFocus();
    EditChange();
}

void TKuraPasswordDialog::RemoveButtonClick() {
    session_->RemovePassword(EditText());
    edit_->clear();
    edit_->setFocus();
}

void TKuraPasswordDialog::RemoveAllButtonClick() {
    session_->RemoveAllPasswords();
    edit_->setFocus();
}

void TKuraPasswordDialog::OKButtonClick() {
    session_->AddPassword(EditText());
    accept();
}

bool PasswordDialog(TKuraSession* session) {
    TKuraPasswordDialog dialog(session);
    return dialog.exec() == QDialog::Accepted;
}

void InstallPasswordDialog() { TKuraSession::PasswordDialogHook = [](TKuraSession* s) { return PasswordDialog(s); }; }

}  // namespace kura

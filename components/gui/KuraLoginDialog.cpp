#include "components/gui/KuraLoginDialog.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "components/KuraSession.h"
#include "platform/CodePage.h"

namespace kura {

namespace {

QString FromCp932(const std::string& text) { return QString::fromStdString(platform::Cp932ToUtf8(text)); }

std::string ToCp932(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return platform::Utf8ToCp932(std::string_view(utf8.constData(), static_cast<std::size_t>(utf8.size())));
}

}  // namespace

TKuraLoginDialog::TKuraLoginDialog(const std::string& user, const std::string& password, QWidget* parent)
    : QDialog(parent) {
    setObjectName("KuraLoginDialog");
    setWindowTitle("Database Login");
    setFixedSize(281, 121);
    auto* userLabel = new QLabel("&User Name:", this);
    userLabel->setGeometry(8, 12, 80, 21);
    user_ = new QLineEdit(FromCp932(user), this);
    user_->setObjectName("UserName");
    user_->setGeometry(96, 12, 177, 21);
    userLabel->setBuddy(user_);
    auto* passwordLabel = new QLabel("&Password:", this);
    passwordLabel->setGeometry(8, 44, 80, 21);
    password_ = new QLineEdit(FromCp932(password), this);
    password_->setObjectName("Password");
    password_->setEchoMode(QLineEdit::Password);
    password_->setGeometry(96, 44, 177, 21);
    passwordLabel->setBuddy(password_);
    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("OKButton");
    ok->setDefault(true);
    ok->setGeometry(116, 84, 75, 25);
    auto* cancel = new QPushButton("Cancel", this);
    cancel->setObjectName("CancelButton");
    cancel->setGeometry(198, 84, 75, 25);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    (user.empty() ? user_ : password_)->setFocus();
}

std::string TKuraLoginDialog::UserName() const { return ToCp932(user_->text()); }
std::string TKuraLoginDialog::Password() const { return ToCp932(password_->text()); }

bool RemoteLoginDialog(std::string& user, std::string& password) {
    TKuraLoginDialog dialog(user, password);
    if (dialog.exec() != QDialog::Accepted) return false;
    user = dialog.UserName();
    password = dialog.Password();
    return true;
}

void InstallRemoteLoginDialog() { TKuraSession::RemoteLoginDialogHook = RemoteLoginDialog; }

}  // namespace kura

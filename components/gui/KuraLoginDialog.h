#pragma once
// The remote login dialog: user name and password for a database server, OK or
// Cancel. RemoteLoginDialog shows it modally with the proposed names and, on OK,
// hands back what the user typed (code page 932); InstallRemoteLoginDialog makes
// it the sessions' login hook.
#include <QDialog>
#include <string>

class QLineEdit;

namespace kura {

class TKuraLoginDialog : public QDialog {
public:
    TKuraLoginDialog(const std::string& user, const std::string& password, QWidget* parent = nullptr);
    std::string UserName() const;
    std::string Password() const;

private:
    QLineEdit* user_;
    QLineEdit* password_;
};

bool RemoteLoginDialog(std::string& user, std::string& password);
void InstallRemoteLoginDialog();

}  // namespace kura

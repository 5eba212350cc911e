// The remote login dialog driven headless by its object names, through the
// session's login callback.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>

#include "components/KuraSession.h"
#include "components/gui/KuraLoginDialog.h"

namespace kura {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "login_dialog_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Runs f on the login dialog once the modal loop has shown it.
void WhenShown(std::function<void(TKuraLoginDialog&)> f) {
    QTimer::singleShot(0, [f] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = dynamic_cast<TKuraLoginDialog*>(w)) f(*d);
    });
}

class LoginDialogTest : public ::testing::Test {
protected:
    void SetUp() override { App(); }
    void TearDown() override {
        TKuraSession::RemoteLoginDialogHook = nullptr;
        DoneSessions();
    }
};

TEST_F(LoginDialogTest, OkHandsBackWhatWasTypedAndCancelStops) {
    InstallRemoteLoginDialog();
    std::string user = "proposed", password;
    WhenShown([](TKuraLoginDialog& d) {
        EXPECT_EQ(d.findChild<QLineEdit*>("UserName")->text(), "proposed");
        EXPECT_EQ(d.findChild<QLineEdit*>("Password")->echoMode(), QLineEdit::Password);
        d.findChild<QLineEdit*>("UserName")->setText(QString::fromUtf8("\xE5\xB1\xB1\xE7\x94\xB0"));
        d.findChild<QLineEdit*>("Password")->setText("pw");
        d.findChild<QPushButton*>("OKButton")->click();
    });
    EXPECT_TRUE(Session().RemoteLogin(user, password));
    EXPECT_EQ(user, "\x8E\x52\x93\x63");  // code page 932
    EXPECT_EQ(password, "pw");

    WhenShown([](TKuraLoginDialog& d) { d.findChild<QPushButton*>("CancelButton")->click(); });
    EXPECT_FALSE(Session().RemoteLogin(user, password));
}

TEST_F(LoginDialogTest, TheEventTakesPrecedenceAndNamesAreCutToShortStrings) {
    InstallRemoteLoginDialog();
    Session().OnRemoteLogin = [](TKuraSession*, std::string& user, std::string& password, bool& cont) {
        EXPECT_TRUE(cont);
        user = std::string(254, 'u') + "\x8E\x52";  // 256 bytes: the double-byte character goes whole
        password = "p";
    };
    std::string user, password;
    EXPECT_TRUE(Session().RemoteLogin(user, password));
    EXPECT_EQ(user, std::string(254, 'u'));
    EXPECT_EQ(password, "p");
}

}  // namespace
}  // namespace kura

// The password dialog driven headless by its object names.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QGroupBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

#include "components/KuraSession.h"
#include "components/gui/KuraPasswordDialog.h"

namespace kura {
namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "password_dialog_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

template <typename T>
T* Child(QWidget& w, const char* name) {
    T* c = w.findChild<T*>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
}

class PasswordDialogTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        Session().SetActive(true);
    }
    void TearDown() override {
        TKuraSession::PasswordDialogHook = nullptr;
        DoneSessions();
    }
};

TEST_F(PasswordDialogTest, ButtonsFollowTheTextAndOkStaysAfterAnAdd) {
    TKuraPasswordDialog d(&Session());
    EXPECT_EQ(d.windowTitle(), "Enter password");
    EXPECT_EQ(d.size(), QSize(273, 132));
    EXPECT_EQ(Child<QGroupBox>(d, "GroupBox1")->title(), "Password");
    auto* edit = Child<QLineEdit>(d, "Edit");
    auto* add = Child<QPushButton>(d, "AddButton");
    auto* remove = Child<QPushButton>(d, "RemoveButton");
    auto* ok = Child<QPushButton>(d, "OKButton");
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Child<QPushButton>(d, "RemoveAllButton")->text(), "Re&move all");
    EXPECT_TRUE(ok->isDefault());
    EXPECT_FALSE(add->isEnabled());
    EXPECT_FALSE(ok->isEnabled());
    edit->setText("pw1");
    EXPECT_TRUE(add->isEnabled());
    EXPECT_TRUE(remove->isEnabled());
    EXPECT_TRUE(ok->isEnabled());
    edit->setText("");
    EXPECT_FALSE(add->isEnabled());
    EXPECT_FALSE(remove->isEnabled());
    EXPECT_FALSE(ok->isEnabled());
    edit->setText("pw1");
    add->click();
    EXPECT_TRUE(Session().Handle()->PasswordExists("pw1"));
    EXPECT_EQ(edit->text(), "");
    EXPECT_FALSE(add->isEnabled());
    EXPECT_TRUE(ok->isEnabled());  // a password was added
    edit->setText("keep");
    Child<QPushButton>(d, "RemoveAllButton")->click();
    EXPECT_FALSE(Session().Handle()->PasswordExists("pw1"));
    EXPECT_EQ(edit->text(), "keep");  // remove-all leaves the typed text
    Child<QPushButton>(d, "RemoveButton")->click();
    EXPECT_EQ(edit->text(), "");
}

TEST_F(PasswordDialogTest, OkAddsTheTypedPasswordAndAnswersTrue) {
    InstallPasswordDialog();
    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* d = dynamic_cast<TKuraPasswordDialog*>(w);
            if (!d) continue;
            d->findChild<QLineEdit*>("Edit")->setText("secret");
            d->findChild<QPushButton*>("OKButton")->click();
        }
    });
    EXPECT_TRUE(Session().GetPassword());
    EXPECT_TRUE(Session().Handle()->PasswordExists("secret"));

    QTimer::singleShot(0, [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = dynamic_cast<TKuraPasswordDialog*>(w)) d->findChild<QPushButton*>("CancelButton")->click();
    });
    EXPECT_FALSE(Session().GetPassword());
}

}  // namespace
}  // namespace kura

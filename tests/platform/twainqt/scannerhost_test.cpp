// The Qt host of the scanner: the parent window is disabled and enabled again, and the
// source selection dialog answers the row chosen, or -1 when cancelled.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>

#include "platform/twain/SourceManager.h"
#include "platform/twainqt/ScannerHost.h"

using namespace platform::twain;

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "scannerhost_test";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication app(argc, argv);
    return app;
}

// Clicks a button of the dialog once it is shown, after choosing a row.
void AnswerDialog(const char* button, int row) {
    QTimer::singleShot(0, [=] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<QDialog*>(w);
            if (!dialog || dialog->objectName() != "SelectSourceDialog" || !dialog->isVisible()) continue;
            if (row >= 0) dialog->findChild<QListWidget*>("SourceList")->setCurrentRow(row);
            dialog->findChild<QPushButton*>(button)->click();
            return;
        }
        AnswerDialog(button, row);  // not shown yet
    });
}

}  // namespace

TEST(ScannerHost, SelectionDialogAnswersTheChosenRowOrCancel) {
    App();
    InstallQtScannerHost();
    const std::vector<std::string> names = {"test:0", "test:1"};
    AnswerDialog("OKBtn", 1);
    EXPECT_EQ(CurrentHost().SelectSource(names, 0), 1);
    AnswerDialog("CancelBtn", -1);
    EXPECT_EQ(CurrentHost().SelectSource(names, 0), -1);
    AnswerDialog("OKBtn", -1);
    EXPECT_EQ(SelectSourceDialog(names, 1), 1);  // the current row stays chosen
    SetHost(Host{});
}

TEST(ScannerHost, ParentWindowIsDisabledAndGivenBack) {
    App();
    InstallQtScannerHost();
    QWidget window;
    EXPECT_TRUE(CurrentHost().IsWindow(&window));
    EXPECT_TRUE(CurrentHost().DisableWindow(&window));
    EXPECT_FALSE(window.isEnabled());
    EXPECT_FALSE(CurrentHost().DisableWindow(&window));  // already disabled
    CurrentHost().EnableWindow(&window);
    EXPECT_TRUE(window.isEnabled());
    bool ran = false;
    QTimer::singleShot(0, [&] { ran = true; });
    CurrentHost().ProcessEvents();
    EXPECT_TRUE(ran);
    SetHost(Host{});
}

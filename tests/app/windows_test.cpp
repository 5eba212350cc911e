// The small windows driven headless by their object names: the base form's geometry
// in the settings file and its Enter key, the splash, the about box and the read-me
// window.
#include <algorithm>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <fstream>
#include <optional>

#include "app/FolderDialog.h"
#include "app/Form1.h"
#include "app/MakatiButton.h"
#include "app/DBGridEx.h"
#include "app/ReadMe.h"
#include "app/Splash.h"
#include "app/Version.h"
#include "platform/gui/IniFile.h"
#include "tests/app/AppTestSupport.h"

namespace app::test {
namespace {

class Windows : public AppTest {
protected:
    // A base-form dialog named "Fsample" with two edits and a memo.
    struct Sample : TForm1 {
        Sample() {
            setObjectName("Fsample");
            resize(300, 200);
            auto* layout = new QVBoxLayout(Client());
            first = new QLineEdit(Client());
            second = new QLineEdit(Client());
            memo = new QPlainTextEdit(Client());
            for (QWidget* w : {static_cast<QWidget*>(first), static_cast<QWidget*>(second), static_cast<QWidget*>(memo)})
                layout->addWidget(w);
        }
        QLineEdit *first, *second;
        QPlainTextEdit* memo;
    };
    void WriteIni(const std::string& text) { std::ofstream(dir.file("yomitora.INI"), std::ios::binary) << text; }
    static void PressEnter(QWidget* w) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier, "\r");
        QApplication::sendEvent(w, &press);
    }
};

TEST_F(Windows, WithoutSettingsAFormOpensAtTheOriginWithItsDesignedSizeAndCloseWritesItsSection) {
    Sample form;
    form.move(50, 60);
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(form.frameGeometry().topLeft(), QPoint(0, 0));  // the title bar on the screen
    EXPECT_EQ(form.size(), QSize(300, 200));
    EXPECT_EQ(form.StatusBar1->Panel(0)->text(), "Fsample");
    EXPECT_EQ(form.Form.WindowStateText, "wsNormal");
    form.setGeometry(20, 30, 320, 240);
    form.reject();
    const gui::TIniFile ini(dir.file("yomitora.INI"));
    EXPECT_EQ(ini.ReadInteger("FSAMPLE", "Left", -1), 20);
    EXPECT_EQ(ini.ReadInteger("Fsample", "Top", -1), 30);
    EXPECT_EQ(ini.ReadInteger("Fsample", "Width", -1), 320);
    EXPECT_EQ(ini.ReadInteger("Fsample", "Height", -1), 240);
    EXPECT_EQ(ini.ReadString("Fsample", "WindowState", ""), "wsNormal");
}

TEST_F(Windows, StoredBoundsAreAppliedAndPositionsBeyondTheScreenBecomeZero) {
    WriteIni("[Fsample]\r\nLeft=40\r\nTop=50\r\nWidth=500\r\nHeight=400\r\n");
    {
        Sample form;
        form.show();
        QApplication::processEvents();
        EXPECT_EQ(form.geometry(), QRect(40, 50, 500, 400));
    }
    WriteIni("[Fsample]\r\nLeft=100000\r\nTop=-20\r\nWidth=-5\r\nHeight=0\r\nWindowState=wsBogus\r\n");
    Sample form;
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(form.Form.SavedLeft, 0);
    EXPECT_EQ(form.Form.SavedTop, -20);  // negative values pass the screen test
    EXPECT_EQ(form.size(), QSize(300, 200));
    EXPECT_EQ(form.windowState(), Qt::WindowNoState);
}

TEST_F(Windows, ARestoredWindowIsKeptInsideTheAvailableScreenAreaAndReopensWhereItClosed) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    // The room for the client area: the screen's available area less the window's frame.
    const QRect room = [&] {
        Sample probe;
        probe.show();
        QApplication::processEvents();
        const QRect inner = probe.geometry(), outer = probe.frameGeometry();
        probe.reject();
        return area.adjusted(inner.left() - outer.left(), inner.top() - outer.top(), inner.right() - outer.right(),
                             inner.bottom() - outer.bottom());
    }();
    const struct {
        const char* what;
        QRect stored, shown;
    } cases[] = {
        {"inside", {40, 50, 300, 200}, {40, 50, 300, 200}},
        {"title bar above the screen", {40, -20, 300, 200}, {40, room.top(), 300, 200}},
        {"past the right and bottom", {area.width() - 100, area.height() - 50, 300, 200},
         {room.right() + 1 - 300, room.bottom() + 1 - 200, 300, 200}},
        {"larger than the screen", {10, 10, area.width() + 400, area.height() + 300}, room},
    };
    for (const auto& c : cases) {
        const QRect& r = c.stored;
        WriteIni("[Fsample]\r\nLeft=" + std::to_string(r.x()) + "\r\nTop=" + std::to_string(r.y()) +
                 "\r\nWidth=" + std::to_string(r.width()) + "\r\nHeight=" + std::to_string(r.height()) + "\r\n");
        // Three starts: shown where it belongs, then every start where the last one closed.
        for (int start = 0; start < 3; ++start) {
            Sample form;
            form.show();
            QApplication::processEvents();
            EXPECT_EQ(form.geometry(), c.shown) << c.what << ", start " << start;
            EXPECT_TRUE(area.contains(form.frameGeometry())) << c.what;
            form.reject();
        }
    }
}

// The placement with a given frame: the whole frame, title bar included, on the
// available area, whatever the stored bounds; a window larger than the room shrinks
// to it. Before the window manager has framed a window its frame is taken from a
// framed window of the program, else a usual title bar and border.
TEST_F(Windows, TheWholeFrameIsPlacedOnTheAvailableArea) {
    const QRect area(0, 24, 1280, 976);  // a panel at the top
    const QMargins frame(5, 28, 5, 5);
    const struct {
        const char* what;
        QRect stored, placed;
    } cases[] = {
        {"first start at the origin", {0, 0, 300, 200}, {5, 24 + 28, 300, 200}},
        {"inside", {100, 200, 300, 200}, {100, 200, 300, 200}},
        {"title bar just above", {100, 40, 300, 200}, {100, 52, 300, 200}},
        {"left of the screen", {-50, 300, 300, 200}, {5, 300, 300, 200}},
        {"past the right and bottom", {1200, 900, 300, 200}, {1280 - 5 - 300, 1000 - 5 - 200, 300, 200}},
        {"larger than the room", {0, 0, 2000, 2000}, {5, 52, 1270, 976 - 33}},
        {"far above", {10, -500, 300, 200}, {10, 52, 300, 200}},
    };
    for (const auto& c : cases) {
        const QRect placed = TFormBehaviour::KeepInside(c.stored, frame, area);
        EXPECT_EQ(placed, c.placed) << c.what;
        EXPECT_TRUE(area.contains(placed.marginsAdded(frame))) << c.what;
    }
    // A window not shown yet has no frame of its own.
    Sample hidden;
    const QMargins expected = [] {
        Sample framed;
        framed.show();
        QApplication::processEvents();
        const QMargins m(framed.geometry().left() - framed.frameGeometry().left(),
                         framed.geometry().top() - framed.frameGeometry().top(),
                         framed.frameGeometry().right() - framed.geometry().right(),
                         framed.frameGeometry().bottom() - framed.geometry().bottom());
        framed.reject();
        return m;
    }();
    EXPECT_EQ(TFormBehaviour::FrameOf(&hidden),
              QMargins(TFormBehaviour::UsualBorder, TFormBehaviour::UsualTitleBar, TFormBehaviour::UsualBorder,
                       TFormBehaviour::UsualBorder));
    Sample other;
    other.show();
    QApplication::processEvents();
    if (!expected.isNull()) {
        EXPECT_EQ(TFormBehaviour::FrameOf(&hidden), expected);
    }
    // Shown: at the first start (no settings) and after a restore from maximised the
    // frame is on the available area. (A move from outside the program, also one that
    // takes a maximised window off the area, is kept: AMoveWhileTheWindowSettlesIsKept.)
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    hidden.show();
    QApplication::processEvents();
    EXPECT_TRUE(screen.contains(hidden.frameGeometry())) << hidden.frameGeometry().y();
    hidden.showMaximized();
    QApplication::processEvents();
    hidden.showNormal();
    QApplication::processEvents();
    ASSERT_TRUE(kura::test::WaitUntil(
        [&] {
            QApplication::processEvents();
            return screen.contains(hidden.frameGeometry());
        },
        3000))
        << hidden.frameGeometry().x() << "," << hidden.frameGeometry().y();
}

// Where a window goes once it is framed: where the program placed it, it is placed
// again with its real frame as near to the bounds it should have as the area allows (a
// frame smaller than expected leaves it neither shifted nor moving from start to
// start); once moved or resized from outside the program, it stays as it was put.
TEST_F(Windows, AFramedWindowGoesWhereItShouldUnlessItWasMoved) {
    const QRect area(0, 24, 1280, 976);
    const QMargins expected(4, 32, 4, 4), real(1, 20, 1, 1);
    const QRect stored(100, 44, 300, 200);  // the title bar just below the panel
    const QRect placed = TFormBehaviour::KeepInside(stored, expected, area);
    ASSERT_EQ(placed.topLeft(), QPoint(100, 56));  // 12 px lower than it should be
    const struct {
        const char* what;
        QRect now, placed, wanted;
        QMargins frame;
        std::optional<QRect> result;
    } cases[] = {
        {"framed smaller than expected", placed, placed, stored, real, stored},
        {"framed as expected", placed, placed, stored, expected, placed},
        {"framed larger than expected", placed, placed, stored, QMargins(4, 40, 4, 4), QRect(100, 64, 300, 200)},
        {"stored off the area", {4, 56, 300, 200}, {4, 56, 300, 200}, {-50, -50, 300, 200}, real, QRect(1, 44, 300, 200)},
        {"no frame known", placed, placed, stored, QMargins(), placed},
        {"moved on the area", {300, 300, 300, 200}, placed, stored, real, std::nullopt},
        {"moved partly off the area", {1200, 900, 300, 200}, placed, stored, real, std::nullopt},
        {"resized", {100, 56, 500, 400}, placed, stored, real, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TFormBehaviour::SettledBounds(c.now, c.placed, c.wanted, c.frame, area), c.result) << c.what;
}

// A window moved from outside the program (as the window manager does for the user)
// while it settles after its show stays where it was put, also partly off the screen,
// and is stored there; every later start shows it at one same place on the screen.
TEST_F(Windows, AMoveWhileTheWindowSettlesIsKept) {
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    WriteIni("[Fsample]\r\nLeft=40\r\nTop=50\r\nWidth=300\r\nHeight=200\r\n");
    const auto settled = [](Sample& form) {
        return kura::test::WaitUntil(
            [&] {
                QApplication::processEvents();
                return !form.Settling();
            },
            5000);
    };
    const QRect moved(area.right() - 100, area.top() + 80, 300, 200);
    for (int when : {0, 1000}) {
        Sample form;
        form.show();
        QApplication::processEvents();
        ASSERT_TRUE(form.Settling());
        QTimer::singleShot(when, &form, [&] { form.setGeometry(moved); });
        ASSERT_TRUE(settled(form));
        EXPECT_EQ(form.geometry(), moved) << "moved after " << when << " ms";
        form.reject();
        const gui::TIniFile ini(dir.file("yomitora.INI"));
        EXPECT_EQ(ini.ReadInteger("Fsample", "Left", -1), moved.left()) << when;
        EXPECT_EQ(ini.ReadInteger("Fsample", "Top", -1), moved.top()) << when;
        WriteIni("[Fsample]\r\nLeft=40\r\nTop=50\r\nWidth=300\r\nHeight=200\r\n");
    }
    WriteIni("[Fsample]\r\nLeft=" + std::to_string(moved.left()) + "\r\nTop=" + std::to_string(moved.top()) +
             "\r\nWidth=300\r\nHeight=200\r\n");
    std::vector<QRect> shown;
    for (int start = 0; start < 3; ++start) {
        Sample form;
        form.show();
        ASSERT_TRUE(settled(form));
        shown.push_back(form.geometry());
        EXPECT_TRUE(area.contains(form.frameGeometry())) << start;
        form.reject();
    }
    EXPECT_EQ(shown[1], shown[0]);
    EXPECT_EQ(shown[2], shown[0]);
}

TEST_F(Windows, QtsOwnDialogsAndTheCalendarSpeakJapanese) {
    const QLocale before;
    QTranslator* translator = gui::UseJapanese();
    ASSERT_NE(translator, nullptr) << "Qt's Japanese translations are not installed";
    const struct {
        const char *context, *english;
    } texts[] = {{"QPlatformTheme", "&Yes"}, {"QPlatformTheme", "Cancel"}, {"QFileDialog", "File &name:"},
                 {"QPrintDialog", "Print"}};
    for (const auto& t : texts) {
        const QString shown = QCoreApplication::translate(t.context, t.english);
        EXPECT_NE(shown, QString::fromUtf8(t.english)) << t.english;
        EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](QChar c) { return c.unicode() >= 0x3000; }))
            << shown.toStdString();
    }
    EXPECT_EQ(QLocale().dayName(1), QString::fromUtf8("月曜日"));
    QCoreApplication::removeTranslator(translator);
    delete translator;
    QLocale::setDefault(before);
}

TEST_F(Windows, AFixedDialogKeepsItsSizeButWritesIt) {
    WriteIni("[Fsample]\r\nWidth=700\r\nHeight=600\r\n");
    Sample form;
    form.Form.Sizeable = false;
    form.show();
    QApplication::processEvents();
    EXPECT_EQ(form.size(), QSize(300, 200));
    form.accept();
    EXPECT_EQ(gui::TIniFile(dir.file("yomitora.INI")).ReadInteger("Fsample", "Width", 0), 300);
}

TEST_F(Windows, AMaximisedWindowWritesTheBoundsItHadBefore) {
    Sample form;
    form.show();
    QApplication::processEvents();
    form.setGeometry(10, 20, 310, 210);
    form.Form.Restored();  // the bounds remembered at the last restore
    form.setWindowState(Qt::WindowMaximized);
    QApplication::processEvents();
    form.reject();
    const gui::TIniFile ini(dir.file("yomitora.INI"));
    EXPECT_EQ(ini.ReadString("Fsample", "WindowState", ""), "wsMaximized");
    EXPECT_EQ(ini.ReadInteger("Fsample", "Width", 0), 310);
    EXPECT_EQ(ini.ReadInteger("Fsample", "Left", 0), 10);
}

TEST_F(Windows, EnterMovesToTheNextControlExceptInAMemo) {
    Sample form;
    form.show();
    form.activateWindow();
    QApplication::processEvents();
    form.first->setFocus();
    QApplication::processEvents();
    ASSERT_EQ(QApplication::focusWidget(), form.first);
    PressEnter(form.first);
    EXPECT_EQ(QApplication::focusWidget(), form.second);
    PressEnter(form.second);
    EXPECT_EQ(QApplication::focusWidget(), form.memo);
    PressEnter(form.memo);
    EXPECT_EQ(QApplication::focusWidget(), form.memo);
    EXPECT_EQ(form.memo->toPlainText(), "\n");  // a new line, as a memo should
    EXPECT_TRUE(form.isVisible());             // Enter never closed the dialog
}

TEST_F(Windows, TheSplashClosesWhenTheMainWindowShowsNotWhenItLosesTheFocus) {
    QPointer<TFsplash> splash = ShowStartSplash();
    ASSERT_TRUE(splash);
    EXPECT_EQ(splash->objectName(), "Fsplash");
    EXPECT_EQ(splash->VerLBL->text(), "Ver 1.02");
    EXPECT_EQ(splash->size(), QSize(399, 258));
    EXPECT_NE(splash->findChild<QPlainTextEdit*>("Memo1"), nullptr);
    QWidget main;
    splash->CloseWhenShown(&main);
    // Another window takes the focus: the splash stays.
    QWidget other;
    other.show();
    other.activateWindow();
    QApplication::processEvents();
    ASSERT_TRUE(splash);
    EXPECT_TRUE(splash->isVisible());
    main.show();
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_FALSE(splash);
}

TEST_F(Windows, TheAboutBoxShowsTheVersionWithTwoDecimals) {
    EXPECT_EQ(TFversion::VersionText(1.02), "Version 1.02");
    EXPECT_EQ(TFversion::VersionText(2), "Version 2.00");
    TFversion about(1.02);
    EXPECT_EQ(about.objectName(), "Fversion");
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8("バージョン情報"));
    EXPECT_EQ(about.size(), QSize(330, 286));
    EXPECT_EQ(about.findChild<QLabel*>("ProductName")->text(), QString::fromUtf8("ヨミトラ"));
    EXPECT_EQ(about.findChild<QLabel*>("Label4")->text(), QString::fromUtf8("ﾎｰﾑﾍﾟｰｼﾞ"));
    EXPECT_EQ(about.findChild<QLabel*>("Label5")->text(), QString::fromUtf8("ﾒｰﾙ"));
    EXPECT_NE(about.findChild<QLabel*>("ProgramIcon"), nullptr);
    about.show();
    QApplication::processEvents();
    EXPECT_EQ(about.findChild<QLabel*>("Version")->text(), "Version 1.02");
    auto* ok = about.findChild<QPushButton*>("OKButton");
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(ok->text(), "OK");
    ok->click();
    EXPECT_EQ(about.result(), gui::mrOk);
    EXPECT_FALSE(about.isVisible());
}

TEST_F(Windows, TheReadMeComesFromTheProgramsFolder) {
    std::ofstream(dir.file("readme.txt"), std::ios::binary) << "\x82\xA8\x93\xC7\x82\xDD\x82\xAD\x82\xBE\x82\xB3\x82\xA2\r\n";
    TFreadMe readMe;
    EXPECT_EQ(readMe.objectName(), "FreadMe");
    EXPECT_EQ(readMe.windowTitle(), QString::fromUtf8("お読みください"));
    EXPECT_EQ(readMe.findChild<QPushButton*>("BitBtn1")->text(), QString::fromUtf8("印刷"));
    EXPECT_EQ(readMe.findChild<QPushButton*>("BitBtn2")->text(), QString::fromUtf8("閉じる(&C)"));
    readMe.show();
    QApplication::processEvents();
    EXPECT_TRUE(messages.isEmpty());
    EXPECT_TRUE(readMe.findChild<QTextEdit*>("RichEdit1")->isReadOnly());
    EXPECT_EQ(readMe.RichEdit1->toPlainText().trimmed(), QString::fromUtf8("お読みください"));
    readMe.BitBtn2->click();
    EXPECT_FALSE(readMe.isVisible());
}

TEST_F(Windows, AMissingReadMeIsReportedAndTheWindowCloses) {
    // A readme.txt in the current directory is not the program's.
    TFreadMe readMe;
    readMe.show();
    QApplication::processEvents();
    QApplication::processEvents();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("readme.txt"));
    EXPECT_FALSE(readMe.isVisible());
    EXPECT_EQ(readMe.result(), QDialog::Rejected);
}

TEST_F(Windows, TheMainWindowsPartsByName) {
    TFmain& main = StartMain();
    EXPECT_EQ(main.findChild<QTabWidget*>("PageControl1")->tabText(0), QString::fromUtf8("全体状況"));
    EXPECT_EQ(main.findChild<QTabWidget*>("PageControl1")->tabText(1), QString::fromUtf8("従業員一覧"));
    EXPECT_NE(main.findChild<QWidget*>("TabSheet1"), nullptr);
    EXPECT_NE(main.findChild<QWidget*>("Panel7"), nullptr);
    EXPECT_EQ(main.findChild<TMakatiButton*>("CloseBTN")->text(), QString::fromUtf8("終　了"));
    EXPECT_EQ(main.findChild<TDBGridEx*>("StaffGrid")->ColumnCount(), 51);
    EXPECT_NE(main.findChild<QStatusBar*>("StatusBar1"), nullptr);
    EXPECT_EQ(main.AppVer, 1.02);
    main.findChild<TMakatiButton*>("CloseBTN")->click();
    EXPECT_FALSE(main.isVisible());
    EXPECT_TRUE(gui::TIniFile(dir.file("yomitora.INI")).ValueExists("Fmain", "Left"));
}

TEST(FolderDialog, StartsWithItsTitleAndTheDrivesRoot) {
    App();
    TFolderDialog d;
    EXPECT_EQ(d.Title, QString::fromUtf8("フォルダーを選択して下さい。"));
    EXPECT_EQ(d.RootFolder, rfDrives);
    EXPECT_TRUE(d.Folder.isEmpty());
    EXPECT_EQ(d.StartFolder(), "/");
}

}  // namespace
}  // namespace app::test

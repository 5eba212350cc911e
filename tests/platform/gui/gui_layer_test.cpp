// The GUI layer without the engine: the settings file, text at the widget boundary,
// the code page 932 limit of edits, data-aware controls over a dataset of plain rows,
// and exceptions stopped before the event loop.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <QCheckBox>
#include <QComboBox>
#include <QPlainTextEdit>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/dataset/DataSource.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/gui/DataControls.h"
#include "platform/gui/IniFile.h"
#include "platform/gui/Text.h"
#include "tests/common/TestSupport.h"
#include "tests/platform/dataset/VectorDataSet.h"

namespace gui {
namespace {

TApplication& App() {
    static int argc = 1;
    static char name[] = "gui_layer_test";
    static char* argv[] = {name, nullptr};
    static TApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new TApplication(argc, argv);
    }();
    return *app;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(IniFile, SectionsAndKeysIgnoreCaseAndValuesKeepTheirTypes) {
    kura::test::TempDir dir;
    const std::string path = dir.file("p.INI");
    WriteFile(path, "[Fmain]\r\nLeft=12\r\nTop= -3\r\nWidth=abc\r\n[SORT]\r\nKOMOKU1=\x8E\x81\x96\xBC\r\n");
    TIniFile ini(path);
    EXPECT_EQ(ini.ReadInteger("fmain", "left", 0), 12);
    EXPECT_EQ(ini.ReadInteger("FMAIN", "Top", 0), -3);
    EXPECT_EQ(ini.ReadInteger("Fmain", "Width", 77), 77);  // not a number: the default
    EXPECT_EQ(ini.ReadInteger("Fmain", "Height", 5), 5);
    EXPECT_EQ(ini.ReadString("sort", "komoku1", ""), "氏名");  // code page 932 on disk
    EXPECT_TRUE(ini.ReadBool("x", "y", true));
    ini.WriteString("sort", "Komoku1", "ふりがな");
    ini.WriteBool("Option", "JidoKosin", false);
    ini.WriteFloat("Tobuna", "Ver", 1.02);
    ini.UpdateFile();
    const std::string bytes = ReadFile(path);
    EXPECT_NE(bytes.find("[SORT]\r\nKOMOKU1=\x82\xD3\x82\xE8\x82\xAA\x82\xC8\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("[Option]\r\nJidoKosin=0\r\n"), std::string::npos);
    EXPECT_NE(bytes.find("[Tobuna]\r\nVer=1.02\r\n"), std::string::npos);
    const TIniFile again(path);
    EXPECT_FALSE(again.ReadBool("OPTION", "jidokosin", true));
    EXPECT_DOUBLE_EQ(again.ReadFloat("Tobuna", "Ver", 0), 1.02);
}

TEST(IniFile, FloatsTakeTheShortestTextThatReadsBack) {
    EXPECT_EQ(TIniFile::FloatText(1.02), "1.02");
    EXPECT_EQ(TIniFile::FloatText(2), "2");
    EXPECT_EQ(TIniFile::FloatText(0.1), "0.1");
    EXPECT_EQ(TIniFile::FloatText(-1.5e-7), "-1.5e-07");
}

TEST(IniFile, AFailedWriteThrowsAndLeavesTheOldFile) {
    kura::test::TempDir dir;
    const std::string path = dir.file("p.INI");
    WriteFile(path, "[A]\r\nb=1\r\n");
    TIniFile ini(path);
    ini.WriteInteger("A", "b", 2);
    // A file-size limit fails the write for every user (root writes into read-only folders);
    // the test reports only once the limit is lifted again.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit tiny = saved;
    tiny.rlim_cur = 4;
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    const int limited = setrlimit(RLIMIT_FSIZE, &tiny);
    bool refused = false;
    try {
        ini.UpdateFile();
    } catch (const EIniFileError&) {
        refused = true;
    }
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    ASSERT_EQ(limited, 0);
    EXPECT_TRUE(refused);
    EXPECT_EQ(ReadFile(path), "[A]\r\nb=1\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);  // nothing else left
    TIniFile missing(dir.file("no/such/folder.INI"));
    EXPECT_THROW(missing.UpdateFile(), EIniFileError);
}

TEST(Text, CodePage932AtTheWidgetBoundary) {
    EXPECT_EQ(QStr("\x83\x88\x83\x7E\x83\x67\x83\x89"), QString::fromUtf8("ヨミトラ"));
    EXPECT_EQ(Cp932(QString::fromUtf8("ヨミトラ")), "\x83\x88\x83\x7E\x83\x67\x83\x89");
    std::string out;
    EXPECT_FALSE(TryCp932(QString::fromUtf8("\xF0\x9F\x98\x80"), out));  // an emoji
    EXPECT_EQ(Cp932Length(QString::fromUtf8("aｱ漢")), 4);  // half-width kana is one byte
    EXPECT_EQ(MessageText("Cannot create /x"), "Cannot create /x");
    EXPECT_EQ(MessageText("\x83\x88"), QString::fromUtf8("ヨ"));
}

TEST(Cp932Validator, RefusesTextBeyondTheByteLimitAndCharactersOutsideTheCodePage) {
    App();
    TCp932Validator v(4, nullptr);
    struct Case {
        const char* text;
        QValidator::State state;
    };
    const Case cases[] = {{"abcd", QValidator::Acceptable},
                          {"abcde", QValidator::Invalid},
                          {"漢字", QValidator::Acceptable},
                          {"漢字a", QValidator::Invalid},
                          {"ｱｲｳｴ", QValidator::Acceptable},
                          {"a\xF0\x9F\x98\x80", QValidator::Invalid},
                          {"", QValidator::Acceptable}};
    for (const Case& c : cases) {
        QString text = QString::fromUtf8(c.text);
        int pos = 0;
        EXPECT_EQ(v.validate(text, pos), c.state) << c.text;
    }
}

TEST(DataControls, AnEditShowsTheFieldAndPostsWhatWasTyped) {
    App();
    kura::test::TVectorDataSet ds;
    ds.Rows = {{1, "Ann"}, {2, "Bob"}};
    kura::TDataSource source;
    source.SetDataSet(&ds);
    QLineEdit edit;
    BindEdit(&edit, &source, "Name");
    EXPECT_FALSE(edit.isEnabled());  // closed dataset
    ds.Open();
    EXPECT_TRUE(edit.isEnabled());
    EXPECT_EQ(edit.text(), "Ann");
    ds.Next();
    EXPECT_EQ(edit.text(), "Bob");
    // The field holds 10 bytes: the validator refuses an eleventh.
    int pos = 0;
    QString tooLong = QString(11, 'x');
    EXPECT_EQ(edit.validator()->validate(tooLong, pos), QValidator::Invalid);
    edit.setText("Bobby");
    Q_EMIT edit.textEdited("Bobby");
    EXPECT_EQ(ds.State(), kura::dsEdit);
    ds.Post();
    EXPECT_EQ(ds.Rows[1].Name, "Bobby");
    EXPECT_EQ(edit.text(), "Bobby");
    ds.Close();
    EXPECT_FALSE(edit.isEnabled());
    EXPECT_EQ(edit.text(), "");
}

// Every text control takes a text that fills its field exactly, whether of double-byte
// characters, half-width kana or ASCII, and stores it whole; one byte more is refused
// by its validator (where it has one) and by the post, which keeps the stored value.
// The controls go while their dataset stays open.
TEST(DataControls, ATextThatFillsItsFieldExactlyIsTakenAndOneByteMoreIsRefused) {
    App();
    const std::pair<const char*, bool> texts[] = {
        {"一二三四五", true},   {"凜凜凜凜凜", true},   {"ｱｲｳ漢字ab", true},    {"abcdefghij", true},
        {"一二三四五a", false}, {"ｱ一二三四五", false}, {"abcdefghijk", false},
    };
    for (const char* kind : {"edit", "combo box", "memo"}) {
        for (const auto& [utf8, fits] : texts) {
            SCOPED_TRACE(std::string(kind) + ": " + utf8);
            kura::test::TVectorDataSet ds;
            ds.Rows = {{1, "Ann"}};
            kura::TDataSource source;
            source.SetDataSet(&ds);
            ds.Open();
            QLineEdit edit;
            QComboBox combo;
            QPlainTextEdit memo;
            QString text = QString::fromUtf8(utf8);
            const QValidator* validator = nullptr;
            if (kind == std::string("edit")) {
                BindEdit(&edit, &source, "Name");
                validator = edit.validator();
                edit.setText(text);
                Q_EMIT edit.textEdited(text);
            } else if (kind == std::string("combo box")) {
                BindComboBox(&combo, &source, "Name");
                validator = combo.validator();
                combo.setCurrentText(text);
            } else {
                BindMemo(&memo, &source, "Name");
                memo.setPlainText(text);
            }
            ASSERT_EQ(ds.State(), kura::dsEdit);
            int pos = 0;
            if (validator) {
                EXPECT_EQ(validator->validate(text, pos), fits ? QValidator::Acceptable : QValidator::Invalid);
            }
            if (fits) {
                EXPECT_NO_THROW(ds.Post());
                EXPECT_EQ(ds.Rows[0].Name, Cp932(text));
            } else {
                EXPECT_THROW(ds.Post(), kura::EDatabaseError);
                ds.Cancel();
                EXPECT_EQ(ds.Rows[0].Name, "Ann");
            }
        }
    }
}

TEST(Application, AnExceptionInAnEventIsShownAndStopsThere) {
    App();
    QStringList shown;
    SetMessageHook([&](const TMessage& m) {
        shown << m.text;
        return static_cast<int>(mrOk);
    });
    QPushButton button;
    QObject::connect(&button, &QPushButton::clicked, [] { throw std::runtime_error("boom"); });
    QTimer::singleShot(0, [&] { button.click(); });
    QTimer::singleShot(0, [] { throw kura::EAbort(); });  // silent
    QTimer::singleShot(5, [] { QApplication::exit(0); });
    QApplication::exec();
    EXPECT_EQ(shown, QStringList{"boom"});
    EXPECT_FALSE(Guarded([] { throw std::runtime_error("second"); }));
    EXPECT_EQ(shown.size(), 2);
    EXPECT_TRUE(Guarded([] {}));
    SetMessageHook(nullptr);
}

}  // namespace
}  // namespace gui

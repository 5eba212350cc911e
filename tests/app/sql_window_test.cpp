// The SQL window driven by object names: schema changes refused wherever they stand,
// queries shown in the grid, changes run only when confirmed, texts saved and loaded;
// and the statement check on its own over a table of texts.
#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include <filesystem>
#include <fstream>

#include "app/DBGridEx.h"
#include "app/MakatiButton.h"
#include "app/ScanPicture.h"
#include "app/SqlCheck.h"
#include "app/SqlWindow.h"
#include "components/KuraDatabase.h"
#include "components/KuraQuery.h"
#include "components/KuraTable.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Text.h"
#include "tests/app/EditorTestSupport.h"
#include "tests/app/StaffRows.h"

namespace app::test {
namespace {

namespace fs = std::filesystem;

TEST(SqlCheck, EveryStatementIsLookedAt) {
    struct Case {
        const char* text;
        TSqlKind kind;
        bool changes;
        bool ownTransaction = false;
        bool onlyQueries = false, makesTable = false;  // every statement a SELECT; one INTO a table on disk
    } cases[] = {
        {"DROP TABLE X", TSqlKind::RefusedDrop, false},
        {"  drop table x", TSqlKind::RefusedDrop, false},
        {"SELECT * FROM Staff; DROP TABLE Staff", TSqlKind::RefusedDrop, false},
        {"\r\nDROP TABLE Staff", TSqlKind::RefusedDrop, false},
        {"/* harmless */ Drop Table Staff", TSqlKind::RefusedDrop, false},
        {"SELECT 1 FROM Staff;\r\n/*x*/ create table t (a integer)", TSqlKind::RefusedCreate, false},
        {"alter table Staff add x integer; drop table Staff", TSqlKind::RefusedAlter, false},
        {"SELECT * FROM Staff WHERE Simei = 'a;DROP TABLE Staff'", TSqlKind::Select, false, false, true},
        {"SELECT * FROM Staff /* ; drop table x */", TSqlKind::Select, false, false, true},
        {"   select * from staff", TSqlKind::Select, false, false, true},
        {"SELECTED", TSqlKind::Select, false},
        {"SELECT * FROM Staff; select StaffCD from Kazoku", TSqlKind::Select, false, false, true},
        {"SELECT * INTO X FROM Staff; SELECT * FROM X", TSqlKind::Select, false, false, true, true},
        {"select StaffCD\r\ninto \"X\" from Staff", TSqlKind::Select, false, false, true, true},
        {"SELECT * INTO MEMORY M FROM Staff; SELECT * FROM Memory\\M", TSqlKind::Select, false, false, true},
        {"SELECT * INTO Memory\\M FROM Staff", TSqlKind::Select, false, false, true},
        {"SELECT * FROM Staff WHERE Simei = 'INTO' /* INTO */", TSqlKind::Select, false, false, true},
        {"SELECT * FROM Staff; SELECTED", TSqlKind::Select, false},
        {"SELECT * FROM Staff; DELETE FROM Staff", TSqlKind::Select, true},
        {"delete from Staff", TSqlKind::Change, true},
        {"UPDATE Staff SET Simei = 'x'", TSqlKind::Change, true},
        {"INSERT INTO Staff (StaffCD) VALUES (1)", TSqlKind::Change, true},
        {"", TSqlKind::Unknown, false},
        {"\r\nSELECT * FROM Staff", TSqlKind::Unknown, false, false, true},
        {"COMMIT", TSqlKind::Unknown, false, true},
        // Transaction statements, as the statements' own words only.
        {"INSERT INTO Staff (StaffCD) VALUES (1); ROLLBACK", TSqlKind::Change, true, true},
        {"insert into Staff (StaffCD) values (1);\r\n start  transaction; delete from Staff; rollback work",
         TSqlKind::Change, true, true},
        {"DELETE FROM Staff; /* then */ Commit", TSqlKind::Change, true, true},
        {"INSERT INTO Staff SELECT * FROM Old COMMIT INTERVAL 10", TSqlKind::Change, true, true},
        {"UPDATE Staff SET Biko = 'x' COMMIT FLUSH", TSqlKind::Change, true, true},
        {"SELECT * FROM Staff; ROLLBACK", TSqlKind::Select, false, true},
        {"UPDATE Staff SET Simei = 'x'; SELECT * INTO X FROM Staff", TSqlKind::Change, true, false, false, true},
        {"UPDATE Staff SET Simei = 'ROLLBACK; COMMIT'", TSqlKind::Change, true, false},
        {"UPDATE Staff SET Simei = 'x' /* ROLLBACK */; /* COMMIT */", TSqlKind::Change, true, false},
        {"UPDATE Staff SET \"Commit\" = 1, [Rollback] = 2", TSqlKind::Change, true, false},
        {"UPDATE Rollbacks SET Committed = 1 WHERE Start_Transaction = 0", TSqlKind::Change, true, false},
        {"UPDATE Staff SET Simei = 'START' WHERE Biko = 'TRANSACTION'", TSqlKind::Change, true, false},
        // A trail byte 0x5C or 0x27 ends nothing: 表 and 'ソ' stay inside their string.
        {"UPDATE Staff SET Simei = '\x95\x5C\x83\x5C; ROLLBACK'", TSqlKind::Change, true, false},
        {"UPDATE Staff SET Simei = '\x95\x5C'; ROLLBACK", TSqlKind::Change, true, true},
    };
    for (const Case& c : cases) {
        const TSqlVerdict v = CheckSql(c.text);
        EXPECT_EQ(v.Kind, c.kind) << c.text;
        EXPECT_EQ(v.ChangesData, c.changes) << c.text;
        EXPECT_EQ(v.ManagesTransaction, c.ownTransaction) << c.text;
        EXPECT_EQ(std::pair(v.OnlyQueries, v.MakesTable), std::pair(c.onlyQueries, c.makesTable)) << c.text;
    }
    EXPECT_EQ(StatementWords("start Transaction /* COMMIT */ 'ROLLBACK' \"x y\" a_1"),
              (std::vector<std::string>{"START", "TRANSACTION", "A_1"}));
    EXPECT_EQ(SplitStatements("a; /*c*/ b ;; 'x;y'"), (std::vector<std::string>{"a", "b ", "'x;y'"}));
}

class SqlWindow : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        StartMain();
        AddStaffRows(3);
        form = std::make_unique<TFsql>();
        form->show();
        QApplication::processEvents();
    }
    void TearDown() override {
        SetFileDialogHook(nullptr);
        form.reset();
        AppTest::TearDown();
    }
    void Run(const QString& text) {
        form->findChild<QPlainTextEdit*>("Memo1")->setPlainText(text);
        form->findChild<TMakatiButton*>("CuteButton1")->click();
        QApplication::processEvents();
    }
    int StaffCount() {
        kura::TKuraTable& t = *DMdata->Tstaff;
        t.Close();
        t.Open();
        return t.RecordCount();
    }
    std::unique_ptr<TFsql> form;
};

TEST_F(SqlWindow, DropIsRefusedInEveryStatementAndNothingReachesTheEngine) {
    for (const char* text : {"DROP TABLE X", "drop table Staff", "SELECT * FROM Staff;\nDROP TABLE Staff"}) {
        messages.clear();
        Run(text);
        EXPECT_EQ(messages, QStringList{gui::U8("DROP操作は禁止です")}) << text;
        EXPECT_FALSE(form->Query1->Active());
    }
    EXPECT_EQ(StaffCount(), 3);
    messages.clear();
    Run("");
    EXPECT_EQ(messages, QStringList{gui::U8("SQL文に誤りがあります")});
}

TEST_F(SqlWindow, ASelectShowsItsRowsInTheGridAndEnablesCopy) {
    auto* copy = form->findChild<QAction*>("Copy2CB");
    EXPECT_FALSE(copy->isEnabled());
    Run("  select StaffCD, Simei from Staff where StaffCD >= 2 order by StaffCD");
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    auto* grid = form->findChild<TDBGridEx*>("DBGridEx1");
    ASSERT_EQ(grid->model()->rowCount(), 2);
    EXPECT_EQ(grid->model()->index(0, 1).data().toString(), "N2");
    EXPECT_EQ(grid->model()->index(1, 0).data().toString(), "3");
    EXPECT_TRUE(copy->isEnabled());
    copy->trigger();
    EXPECT_EQ(grid->AllText(), "StaffCD\tSimei\r2\tN2\r3\tN3\r");
    // A text of queries only runs every one of them and shows the last one's rows.
    const std::pair<const char*, const char*> texts[] = {
        {"SELECT * FROM Staff; select Simei from Staff where StaffCD = 3", "Simei\rN3\r"},
        {"SELECT StaffCD, Simei INTO Q FROM Staff WHERE StaffCD < 3; SELECT Simei FROM Q ORDER BY 1", "Simei\rN1\rN2\r"},
        {"SELECT * INTO MEMORY M FROM Staff; SELECT COUNT(*) AS N FROM \"Memory\\M\"", "N\r3\r"},
    };
    for (const auto& [text, rows] : texts) {
        Run(text);
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        EXPECT_EQ(grid->AllText(), rows) << text;
    }
    EXPECT_TRUE(fs::exists(dir.file("DB/Q.DAT")));
    EXPECT_EQ(StaffCount(), 3);
    // An engine error is a message; the window goes on.
    Run("SELECT * FROM NoSuchTable");
    EXPECT_EQ(messages.size(), 1);
    EXPECT_FALSE(copy->isEnabled());
}

// SELECT * FROM STAFF with a photograph: the copy holds every other column and the
// picture's column as an empty field, never the picture's bytes.
TEST_F(SqlWindow, TheCopyWritesAPictureColumnAsAnEmptyField) {
    kura::TKuraTable& t = *DMdata->Tstaff;
    t.Open();
    t.First();
    t.Edit();
    QImage photo(120, 160, QImage::Format_RGB32);
    photo.fill(QColor(200, 30, 60));
    StorePicture(t.FieldByName("Photo"), photo);
    t.Post();
    t.Close();
    Run("SELECT * FROM STAFF ORDER BY StaffCD");
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    auto* grid = form->findChild<TDBGridEx*>("DBGridEx1");
    for (const QString& text : {grid->AllText(), grid->VisibleText()}) {
        const QStringList lines = text.split('\r');
        ASSERT_EQ(lines.size(), 5);  // header, three rows, nothing after the last CR
        const QStringList header = lines[0].split('\t');
        const int photoAt = static_cast<int>(header.indexOf("Photo"));
        ASSERT_GE(photoAt, 0);
        for (int row = 1; row <= 3; ++row) {
            const QStringList cells = lines[row].split('\t');
            ASSERT_EQ(cells.size(), header.size()) << row;
            EXPECT_EQ(cells[photoAt], "") << row;
            EXPECT_EQ(cells[header.indexOf("Simei")], "N" + QString::number(row));
        }
        EXPECT_LT(text.size(), 4000);
    }
}

TEST_F(SqlWindow, AChangeRunsOnlyWhenConfirmed) {
    answer = gui::mrCancel;
    Run("DELETE FROM Staff WHERE StaffCD = 1");
    EXPECT_EQ(messages, QStringList{gui::U8("このSQLはﾃﾞｰﾀを変更する可能性があります\r\n続行しますか？")});
    EXPECT_EQ(StaffCount(), 3);
    answer = gui::mrOk;
    Run("DELETE FROM Staff WHERE StaffCD = 1");
    EXPECT_EQ(StaffCount(), 2);
    // A query followed by a change is refused before anything is asked or run.
    messages.clear();
    Run("SELECT * FROM Staff; DELETE FROM Staff");
    EXPECT_TRUE(messages.size() == 1 && messages[0].contains(gui::U8("何も実行していません"))) << messages.join("\n").toStdString();
    EXPECT_EQ(StaffCount(), 2);
}

// A text without transaction statements is one transaction: a failing statement takes
// back the ones before it. A text with its own runs as written, also when a word of
// one stands in a string or a comment of a text without. A change that fails inside a
// transaction, its own or one left open before, ends it rolled back and says so; one
// left open is said and shown until a text ends it. A text whose first line begins
// with SELECT runs as queries: one where a statement that is not a query follows runs
// nothing and says so; one of queries only runs, and leaves an open transaction open.
TEST_F(SqlWindow, ATextWithItsOwnTransactionStatementsRunsAsWritten) {
    const char* const add = "INSERT INTO Staff (StaffCD, Simei) VALUES ";
    const char* const back = "エラーのため、トランザクションをロールバックしました。";
    const char* const open = "トランザクションは開いたままです。";
    const char* const alone = "問い合わせ（SELECT）だけで実行してください。\r\nこのSQLには問い合わせの後に問い合わせでない文が"
                              "続いているため、何も実行していません。";
    const struct {
        std::string text;
        std::vector<std::string> kept;  // of the codes 11 to 29
        const char* error;              // said after the question; nullptr: nothing
        const char* note = nullptr;     // said after the error, or alone
        bool left = false;              // a transaction stays open
    } cases[] = {
        {std::string(add) + "(11, 'a'); START TRANSACTION; " + add + "(12, 'b'); ROLLBACK", {"11"}, nullptr},
        {std::string(add) + "(13, 'c'); ROLLBACK", {"13"}, "Transaction not in progress"},
        {std::string(add) + "(14, 'd'); START TRANSACTION; " + add + "(15, 'e'); COMMIT", {"14", "15"}, nullptr},
        {std::string(add) + "(16, 'f'); " + add + "(16, 'g')", {}, "Duplicate key", back},
        {std::string(add) + "(17, 'ROLLBACK'); " + add + "(17, 'COMMIT')", {}, "Duplicate key", back},
        {std::string(add) + "(18, 'h') /* COMMIT */; " + add + "(18, 'i')", {}, "Duplicate key", back},
        {std::string(add) + "(19, '\x95\x5C; ROLLBACK'); " + add + "(19, 'j')", {}, "Duplicate key", back},
        {std::string(add) + "(21, 'k'); START TRANSACTION; " + add + "(22, 'l'); UPDATE NoSuch SET X = 1; COMMIT",
         {"21"}, "NoSuch", back},
        {std::string(add) + "(23, 'm'); START TRANSACTION; " + add + "(24, 'n')", {"23", "24"}, nullptr, open, true},
        {std::string(add) + "(25, 'o')", {"23", "24", "25"}, nullptr, open, true},
        {std::string(add) + "(26, 'p'); " + add + "(26, 'q')", {"23"}, "Duplicate key", back},
        {std::string(add) + "(27, 'r'); START TRANSACTION", {"27"}, nullptr, open, true},
        {"SELECT * FROM NoSuch", {"27"}, "NoSuch", nullptr, true},  // a query takes nothing back, nor says so
        {"SELECT * FROM Staff; COMMIT", {"27"}, alone, nullptr, true},
        {"SELECT * FROM Staff; SELECT StaffCD FROM Staff WHERE StaffCD > 10", {"27"}, nullptr, open, true},
        {std::string("select StaffCD from Staff;\r\n") + add + "(28, 's'); ROLLBACK", {"27"}, alone, nullptr, true},
        {std::string(add) + "(28, 's'); COMMIT", {"27", "28"}, nullptr},
        {"SELECT * FROM Staff; COMMIT", {}, alone},
        {"SELECT * FROM Staff /* ; */; START TRANSACTION; DELETE FROM Staff", {}, alone},
        {"select StaffCD from Staff; SELECT * FROM Staff /* ; COMMIT */", {}, nullptr},
    };
    auto* shown = form->findChild<QLabel*>("TransactionLBL");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        messages.clear();
        Run(gui::QStr(c.text));
        const bool changes = !gui::QStr(c.text).startsWith("SELECT", Qt::CaseInsensitive);
        ASSERT_EQ(messages.size(), changes + (c.error || c.note)) << messages.join("\n").toStdString();
        EXPECT_EQ(messages.value(0).startsWith(gui::U8("このSQLはﾃﾞｰﾀを変更する")), changes);
        const std::string last = messages.isEmpty() ? "" : messages.back().toStdString();
        EXPECT_TRUE(!c.error || last.find(c.error) != std::string::npos) << last;
        EXPECT_TRUE(!c.note || last.find(c.note) != std::string::npos) << last;
        EXPECT_EQ(last.find(back) != std::string::npos, c.note == back) << last;  // said only when done
        EXPECT_EQ(Column("SELECT StaffCD FROM Staff WHERE StaffCD > 10 ORDER BY StaffCD"), c.kept);
        EXPECT_EQ(DMdata->DataDB->InTransaction(), c.left);
        EXPECT_EQ(shown->isVisible(), c.left);
        if (!c.left) Exec("DELETE FROM Staff WHERE StaffCD > 10");
    }
}

// A start that may not write (a read-only journal, read-only table files in a folder
// that can be written) refuses, before anything runs, every text that would change the
// database, a query that makes a table as well; queries and tables in memory run.
TEST_F(SqlWindow, AStartThatMayNotWriteRefusesEveryTextThatWouldChangeTheDatabase) {
    form.reset();
    const std::string db = dir.file("DB");
    const std::vector<std::string> plants[] = {{"Staff.JNL"}, {"Staff.DAT", "Staff.IDX", "Staff.BLB"}};
    const QString refusal = gui::U8("データベースに書き込めないため、%1できません。\n");
    const std::pair<const char*, const char*> texts[] = {  // the text, and the command refused (nullptr: it runs)
        {"UPDATE Staff SET Simei = 'x'", "データを変更するSQLを実行"},
        {"SELECT * INTO X FROM Staff", "テーブルを作るSQLを実行"},
        {"select StaffCD into \"X\" from Staff; SELECT * FROM X", "テーブルを作るSQLを実行"},
        {"SELECT * FROM Staff; SELECT * INTO X FROM Staff", "テーブルを作るSQLを実行"},
        {"SELECT * INTO MEMORY M FROM Staff; SELECT * FROM \"Memory\\M\"", nullptr},
        {"SELECT * FROM Staff; SELECT Simei FROM Staff", nullptr},
    };
    for (const auto& files : plants) {
        SCOPED_TRACE(files[0]);
        CloseMain();
        for (const std::string& f : files) fs::permissions(db + "/" + f, fs::perms::owner_write, fs::perm_options::remove);
        StartMain();
        ASSERT_EQ(messages.size(), 1);  // the start's notice
        ASSERT_TRUE(messages[0].contains(QString::fromStdString(files[0]))) << messages[0].toStdString();
        TFsql window;
        window.show();
        for (const auto& [text, refused] : texts) {
            SCOPED_TRACE(text);
            messages.clear();
            window.Memo1->setPlainText(gui::U8(text));
            window.CuteButton1Click();
            const QString said = refused ? refusal.arg(gui::U8(refused)) : QString();
            EXPECT_TRUE(messages.size() == (refused ? 1 : 0) && messages.value(0).startsWith(said))
                << messages.join("\n").toStdString();
            EXPECT_EQ(window.Query1->Active(), !refused);
            EXPECT_FALSE(fs::exists(db + "/X.DAT"));
        }
        EXPECT_EQ(Column("SELECT Simei FROM Staff"), (std::vector<std::string>{"N1", "N2", "N3"}));
        for (const std::string& f : files) fs::permissions(db + "/" + f, fs::perms::owner_write, fs::perm_options::add);
    }
}

TEST_F(SqlWindow, TextsSaveAndLoadThroughTheDialogsWhichFollowTheFolder) {
    EXPECT_EQ(form->OpenDialog1.InitialDir.toStdString() + "/", dir.file(""));
    const std::string file = dir.file("sub.SQL");
    SetFileDialogHook([&](TFileDialog& d) {
        d.FileName = QString::fromStdString(file);
        return true;
    });
    form->findChild<QPlainTextEdit*>("Memo1")->setPlainText(gui::U8("SELECT * FROM Staff\nWHERE Simei = '山田'"));
    form->findChild<QAction*>("SaveAs1")->trigger();
    EXPECT_EQ(Read(file), "SELECT * FROM Staff\r\nWHERE Simei = '\x8E\x52\x93\x63'\r\n");
    form->findChild<QPlainTextEdit*>("Memo1")->clear();
    form->findChild<QAction*>("Open1")->trigger();
    EXPECT_EQ(form->findChild<QPlainTextEdit*>("Memo1")->toPlainText(),
              gui::U8("SELECT * FROM Staff\r\nWHERE Simei = '山田'\r\n").replace("\r\n", "\n"));
    SetFileDialogHook([](TFileDialog&) { return false; });
    form->findChild<QAction*>("Open1")->trigger();  // cancelled: the text stays
    EXPECT_FALSE(form->findChild<QPlainTextEdit*>("Memo1")->toPlainText().isEmpty());
}

TEST_F(SqlWindow, ATextFileLoadsWhetherItIsUtf8OrCodePage932) {
    // 表 and ソ end in the byte 0x5C in code page 932.
    const QString text = gui::U8("SELECT * FROM Staff\nWHERE Simei = '表ソ山田' /* 備考 */\n");
    const std::string utf8 = text.toStdString();
    const struct {
        const char* what;
        std::string bytes;
    } files[] = {
        {"code page 932", gui::Cp932(text)},
        {"UTF-8", utf8},
        {"UTF-8 with its byte-order mark", "\xEF\xBB\xBF" + utf8},
        {"UTF-8 with CR LF", gui::U8(utf8).replace("\n", "\r\n").toStdString()},
    };
    for (const auto& f : files) {
        const std::string file = dir.file("query.sql");
        std::ofstream(file, std::ios::binary) << f.bytes;
        SetFileDialogHook([&](TFileDialog& d) {
            d.FileName = QString::fromStdString(file);
            return true;
        });
        form->findChild<QAction*>("Open1")->trigger();
        EXPECT_EQ(form->findChild<QPlainTextEdit*>("Memo1")->toPlainText(), text) << f.what;
    }
    // Bytes that are not UTF-8 are read as code page 932, never dropped.
    EXPECT_EQ(SqlFileText("\x95\x5C"), gui::U8("表"));
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

TEST_F(SqlWindow, AnEncryptedTableAsksForItsPasswordAndOpensWithIt) {
    {
        kura::TKuraQuery create;
        create.SetDatabaseName("DataDB");
        create.SetSessionName("MySession");
        create.SetSQL("CREATE TABLE Himitsu (A INTEGER, B CHAR(10), PRIMARY KEY (A) ENCRYPTED WITH 'kagi')");
        create.ExecSQL();
        DMdata->Session1->AddPassword("kagi");
        create.SetSQL("INSERT INTO Himitsu VALUES (1, 'naka')");
        create.ExecSQL();
    }
    DMdata->Session1->RemoveAllPasswords();
    // The user's answer to every password dialog that shows: Cancel, or a password.
    QString typed;
    int asked = 0;
    const auto answering = AnswerPasswords([&] { return typed; }, asked);
    // Cancelled: refused with the engine's message. Then the password opens it.
    Run("SELECT B FROM Himitsu");
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(messages.size(), 1);
    messages.clear();
    typed = "kagi";
    Run("SELECT B FROM Himitsu");
    EXPECT_EQ(asked, 2);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(form->findChild<TDBGridEx*>("DBGridEx1")->model()->index(0, 0).data().toString(), "naka");
}

}  // namespace
}  // namespace app::test

// Start-up in a program folder: the "DB" folder with the four tables, the settings
// file with its version record, the upgrades run once, failures reported.
#include <signal.h>
#include <sys/stat.h>

#include <QPlainTextEdit>
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <optional>
#include <map>

#include "app/ProgramPaths.h"
#include "app/Schema.h"
#include "app/StartReasons.h"
#include "app/SqlWindow.h"
#include "engine/errors/JournalReports.h"
#include "components/KuraDatabase.h"
#include "components/KuraTable.h"
#include "platform/CodePage.h"
#include "platform/FileCalls.h"
#include "platform/LastError.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Text.h"
#include "tests/app/EditorTestSupport.h"
#include "tests/app/StaffRows.h"
#include "tests/common/FileCallFaults.h"

namespace app::test {
namespace {

namespace fs = std::filesystem;

// The tables' files; each table's rollback journal (.JNL) stays beside it once it has
// been opened and is not listed.
std::vector<std::string> Files(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() != ".JNL") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> ColumnNames(const TTableSpec& spec) {
    std::vector<std::string> names;
    for (const auto& c : spec.Columns) names.push_back(c.Name);
    return names;
}

// A table's key made anew from its records in the folder `db`, its index file missing
// ("がなかった") or without it ("にキー（StaffCD）がなかった").
QString KeyRebuilt(const QString& db, const char* table, const char* found) {
    return gui::U8("テーブル %1 の索引ファイル %2/%1.IDX %3ため、レコードから作り直しました。\nレコードはどれもそのままです。")
        .arg(gui::U8(table), db, gui::U8(found));
}

class StartUp : public AppTest {
protected:
    // The table's key holds: the rows under `codes` (each key field that code) found by
    // it, as the editor finds an employee, and `again`, a second row under one, refused.
    void ExpectKeyHolds(const char* table, std::initializer_list<int> codes, const std::string& again) {
        kura::TKuraTable& t = std::string(table) == "Staff" ? *DMdata->Tstaff : *DMdata->Tkazoku;
        for (const int code : codes) {
            t.SetKey();
            for (const std::string& field : SpecOf(table)->Key) t.FieldByName(field)->SetAsInteger(code);
            EXPECT_TRUE(t.GotoKey()) << code;
        }
        try {
            Exec(again);
            ADD_FAILURE() << "a second row under the key taken";
        } catch (const kura::EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), kura::KURA_KEYVIOL);
        }
    }
};

TEST_F(StartUp, FirstStartInAnEmptyFolderMakesTheDatabaseAndTheSettingsFile) {
    TFmain& main = StartMain();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    ASSERT_TRUE(main.StartedUp());
    EXPECT_EQ(main.windowTitle(), QString::fromUtf8("ヨミトラ"));
    EXPECT_EQ(main.objectName(), "Fmain");
    EXPECT_EQ(main.StatusBar1->Panel(0)->text(), "Fmain");
    EXPECT_EQ(main.StatusBar1->Panel(1)->text(), "");
    EXPECT_EQ(main.PageControl1->currentWidget(), main.TabSheet1);
    EXPECT_EQ(Files(dir.file("DB")),
              (std::vector<std::string>{"Gakureki.DAT", "Gakureki.IDX", "Kazoku.DAT",
                                        "Kazoku.IDX", "Rirekisyo.BLB", "Rirekisyo.DAT", "Rirekisyo.IDX", "Staff.BLB",
                                        "Staff.DAT", "Staff.IDX"}));
    EXPECT_NE(Read(dir.file("yomitora.INI")).find("[Tobuna]\r\nVer=1.02\r\n"), std::string::npos);
    // The tables are open with exactly the designed columns; Gakureki waits for its upgrade.
    EXPECT_TRUE(DMdata->Tstaff->Active());
    EXPECT_EQ(TDMdata::FieldNames(*DMdata->Tstaff), ColumnNames(StaffSpec()));
    EXPECT_EQ(TDMdata::FieldNames(*DMdata->Tgakureki), (std::vector<std::string>{"StaffCD", "YMD", "NAIYO"}));
    EXPECT_EQ(TDMdata::FieldNames(*DMdata->Tkazoku), ColumnNames(KazokuSpec()));
    EXPECT_EQ(TDMdata::FieldNames(*DMdata->Trirekisyo), ColumnNames(RirekisyoSpec()));
    EXPECT_EQ(DMdata->DataDB->DatabaseName(), "DataDB");
    EXPECT_EQ(DMdata->Session1->SessionName(), "MySession");
}

TEST_F(StartUp, SecondStartUpgradesGakurekiOnceAndKeepsItsRows) {
    StartMain();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    kura::TKuraTable& g = *DMdata->Tgakureki;
    g.Open();
    g.Append();
    g.FieldByName("StaffCD")->SetAsInteger(7);
    g.FieldByName("NAIYO")->SetAsString(std::string(60, 'x'));
    g.Post();
    CloseMain();

    StartMain();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    const auto names = TDMdata::FieldNames(*DMdata->Tgakureki);
    EXPECT_EQ(names, (std::vector<std::string>{"StaffCD", "YMD", "NAIYO", "V102"}));
    DMdata->Tgakureki->Open();
    EXPECT_EQ(DMdata->Tgakureki->RecordCount(), 1);
    EXPECT_EQ(DMdata->Tgakureki->FieldByName("NAIYO")->AsString(), std::string(60, 'x'));
    EXPECT_TRUE(DMdata->Tgakureki->FieldByName("V102")->IsNull());
    const auto staffFiles = fs::last_write_time(dir.file("DB/Staff.DAT"));
    CloseMain();

    // The third start changes nothing.
    const auto gakurekiTime = fs::last_write_time(dir.file("DB/Gakureki.DAT"));
    StartMain();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(TDMdata::FieldNames(*DMdata->Tgakureki).size(), 4u);
    EXPECT_EQ(fs::last_write_time(dir.file("DB/Gakureki.DAT")), gakurekiTime);
    EXPECT_EQ(fs::last_write_time(dir.file("DB/Staff.DAT")), staffFiles);
}

TEST_F(StartUp, AStaffTableOfTheEarlierLayoutReceivesBothAccountHolders) {
    fs::create_directory(dir.file("DB"));
    {
        // The earlier Staff: without the two account-holder columns.
        kura::TKuraTable t;
        t.SetDatabaseName(dir.file("DB"));
        t.SetTableName("Staff");
        TTableSpec old = StaffSpec();
        old.Columns.erase(std::remove_if(old.Columns.begin(), old.Columns.end(),
                                         [](const TColumnSpec& c) {
                                             return c.Name == "Furikomi_KozaMeigi" || c.Name == "Fututyo_KozaMeigi";
                                         }),
                          old.Columns.end());
        DefineTable(t, old);
        t.CreateTable();
        t.Open();
        for (int id = 1; id <= 3; ++id) {
            t.Append();
            t.FieldByName("StaffCD")->SetAsInteger(id);
            t.FieldByName("Simei")->SetAsString("N" + std::to_string(id));
            t.FieldByName("Bu")->SetAsString("B");
            t.Post();
        }
        t.Close();
        kura::DoneSessions();
    }
    StartMain();
    ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    auto names = TDMdata::FieldNames(*DMdata->Tstaff);
    auto expected = ColumnNames(StaffSpec());
    // Added at the end, in the order given.
    expected.erase(std::remove(expected.begin(), expected.end(), "Furikomi_KozaMeigi"), expected.end());
    expected.erase(std::remove(expected.begin(), expected.end(), "Fututyo_KozaMeigi"), expected.end());
    expected.push_back("Furikomi_KozaMeigi");
    expected.push_back("Fututyo_KozaMeigi");
    EXPECT_EQ(names, expected);
    kura::TKuraTable& t = *DMdata->Tstaff;
    t.Open();
    ASSERT_EQ(t.RecordCount(), 3);
    t.First();
    for (int id = 1; id <= 3; ++id, t.Next()) {
        EXPECT_EQ(t.FieldByName("StaffCD")->AsInteger(), id);
        EXPECT_EQ(t.FieldByName("Simei")->AsString(), "N" + std::to_string(id));
        EXPECT_TRUE(t.FieldByName("Furikomi_KozaMeigi")->IsNull());
        EXPECT_TRUE(t.FieldByName("Fututyo_KozaMeigi")->IsNull());
    }
}

TEST_F(StartUp, TheVersionRecordIsRewrittenWhateverItHeld) {
    {
        FILE* f = std::fopen(dir.file("yomitora.INI").c_str(), "wb");
        std::fputs("[tobuna]\r\nver=9.5\r\n[Fmain]\r\nLeft=10\r\n", f);
        std::fclose(f);
    }
    StartMain();
    const std::string ini = Read(dir.file("yomitora.INI"));
    EXPECT_NE(ini.find("ver=1.02"), std::string::npos) << ini;
    EXPECT_EQ(ini.find("9.5"), std::string::npos);
}

TEST_F(StartUp, ADatabaseFolderThatCannotBeMadeIsReportedAndNothingElseRuns) {
    // A file where the folder should be.
    FILE* f = std::fopen(dir.file("DB").c_str(), "wb");
    std::fclose(f);
    TFmain& main = StartMain();
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].startsWith(QString::fromUtf8("データベースのフォルダ "))) << messages[0].toStdString();
    EXPECT_FALSE(main.StartedUp());
    EXPECT_EQ(DMdata, nullptr);
    // The program ends: its window never reached the screen, is closed, and wrote no
    // settings of its own.
    EXPECT_TRUE(main.StartFailed());
    EXPECT_TRUE(main.testAttribute(Qt::WA_DontShowOnScreen));
    EXPECT_TRUE(kura::test::WaitUntil(
        [&] {
            QApplication::processEvents();
            return !main.isVisible();
        },
        5000));
    CloseMain();
    EXPECT_EQ(Read(dir.file("yomitora.INI")).find("[Fmain]"), std::string::npos);
}

// Every start that cannot serve its user says why in Japanese, at once (no wait for
// another program, unless one holds a table or is still making it), as the user can
// act on it, with the engine's code as a number where there is one: a table's file
// this user may not open, one that is missing (none of the table's files changed, nor
// the table made anew), damaged, cut short or no table of this program, a full disk, a
// database folder that cannot be made, a save cut off that only a writable folder
// settles (or that another program holds a file of for the whole wait: in use), a
// settings file whose temporary name is a link, folder or FIFO, a note the engine raises
// at every open (said, the start ending, run in a program of its own ended if it hangs).
// A start that can go on says what it met and goes on (a link at the settings file not
// read, a folder that cannot be synced not said): a journal set aside, a
// table a save cut off (by another program killed in its commit) may have left apart,
// a database that can be read but not changed (each command that would change it says
// so and changes nothing). Each cause mended, the program starts again.
TEST_F(StartUp, EveryStartThatCannotServeSaysWhyInJapanese) {
    StartMain();
    AddStaffRows(1);
    CloseMain();
    const std::string db = dir.file("DB");
    const QString qdb = QString::fromStdString(db);
    const QString head = QString::fromUtf8("テーブル %1 を開けないため、ヨミトラを起動できません。\n");
    const QString folder = QString::fromUtf8("データベースのフォルダ %1 を作れないため、ヨミトラを起動できません。\n");
    const QString restore = gui::U8("フォルダ %1 にある %2 のファイル（%2.DAT など）をバックアップから戻してから、"
                                    "もう一度起動してください。\n（エラー番号 %3）").arg(qdb);
    const QString inTheWay = folder + gui::U8("同じ名前のファイルがあります。\nそのファイルの名前を変えるか"
                                              "別のフォルダに移してから、もう一度起動してください。");
    auto noRights = [&](const char* table, const char* file, const std::string& in = {}) {  // in the folder `db`
        return (head + QString::fromUtf8("ファイル %2 を読み書きする権限がありません。\n"
                                         "ファイルの権限を確かめてから、もう一度起動してください。\n"
                                         "（エラー番号 11013）"))
            .arg(table, QString::fromStdString((in.empty() ? db : in) + file));
    };
    auto damaged = [&](const char* table, int code) {
        return head.arg(table) + gui::U8("テーブルのファイルが壊れているか、ヨミトラのテーブルのファイルではありません。\n") +
               restore.arg(table).arg(code);
    };
    auto diskFull = [](const std::string& where) {
        return gui::U8("ディスクがいっぱいのため（または、このユーザーが使える容量かファイルの数の上限に達したため）、"
                       "フォルダ %1 に書き込めません。\n不要なファイルを削除するなどして空きを作ってから、もう一度起動して"
                       "ください。")
            .arg(QString::fromStdString(where));
    };
    const QString settings = gui::U8("設定ファイル %1 に書き込めないため、ヨミトラを起動できません。\n")
                                 .arg(QString::fromStdString(dir.file("yomitora.INI")));
    // Each cause is planted in the calls, or in a file or the folder, kept meanwhile
    // beside it (the folder moved, a file copied); the loop mends them all. The file
    // layer's writes to a path that holds `full` find the disk full (the kernel's own
    // calls come back when `opens` goes).
    std::string refusedFile, changed;
    // What a link planted in the folder leads to, which nothing may write.
    const kura::test::TempDir outside;
    std::ofstream(outside.file("elsewhere")) << "untouched";
    std::ofstream(outside.file("settings")) << "[Outside]\r\nRead=1\r\n";
    static std::string full;
    bool folderRefused = false;  // no file can be made in the folder
    int noEntry = 0;             // nor in the program's folder, for this error (no free file entry: ENOSPC)
    const kura::test::OpensThrough opens([&](const char* path, int flags, mode_t mode) {
        if (!refusedFile.empty() && std::string_view(path).ends_with(refusedFile)) return errno = EACCES, -1;
        if (noEntry && (flags & O_CREAT) && std::string_view(path).starts_with(dir.path())) return errno = noEntry, -1;
        if (folderRefused && (flags & O_CREAT) && std::string_view(path).starts_with(db + "/"))
            return errno = EACCES, -1;
        return platform::SystemFileCalls().open(path, flags, mode);
    });
    platform::FileCalls().pwrite = [](int fd, const void* buffer, size_t count, off_t offset) -> ssize_t {
        std::error_code ec;
        const std::string path = fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string();
        if (!full.empty() && path.find(full) != std::string::npos) return errno = ENOSPC, -1;
        return platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
    };
    // The sync of the file or folder at `syncFails` fails (EIO); at each such sync,
    // what the settings file's name held then.
    static std::string syncFails, settingsFile;
    static std::vector<std::string> atSync;
    const std::string ini = settingsFile = dir.file("yomitora.INI"), iniTemp = ini + ".tmp";
    platform::FileCalls().fsync = [](int fd) {
        std::error_code ec;
        if (syncFails.empty() || fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec) != syncFails)
            return platform::SystemFileCalls().fsync(fd);
        std::ostringstream held;
        held << std::ifstream(settingsFile, std::ios::binary).rdbuf();
        atSync.push_back(fs::exists(settingsFile + ".tmp") ? "the temporary file" : held.str());
        return errno = EIO, -1;
    };
    auto refused = [&](const char* file) { return [&refusedFile, file] { refusedFile = file; }; };
    auto notMade = [](const char*, mode_t) { return errno = EACCES, -1; };
    auto madeMeanwhile = [](const char* path, mode_t mode) {  // the database folder's, by another program
        const int made = platform::SystemFileCalls().mkdir(path, mode);
        return std::string_view(path).ends_with("/DB") ? (errno = EEXIST, -1) : made;
    };
    auto keep = [&](const std::string& path) {
        if (fs::is_directory(path)) fs::rename(path, path + ".keep");
        else fs::copy_file(path, path + ".keep");
        return changed = path;
    };
    auto overwritten = [&](const char* file, std::size_t at, std::size_t count) {  // count npos: to the end
        return [&keep, path = db + file, at, count] {
            std::fstream f(keep(path), std::ios::in | std::ios::out | std::ios::binary);
            f.seekp(static_cast<std::streamoff>(at));
            f << std::string(std::min<std::size_t>(count, fs::file_size(path) - at), 'X');
        };
    };
    auto writable = [&](fs::perm_options how) {  // the folder's files
        for (const auto& e : fs::directory_iterator(db)) fs::permissions(e.path(), fs::perms::owner_write, how);
    };
    // Program folders beside this one, and temporary folders, by the system's names
    // (UTF-8): names whose bytes also read as other code page 932 text, names the engine
    // cannot name files by, paths at and past the longest its file names leave room for.
    const std::string home = kura::test::Native(dir.path());
    const auto temp = std::getenv("TMPDIR") ? std::optional<std::string>(std::getenv("TMPDIR")) : std::nullopt;
    auto programIn = [&](const std::string& folder, const std::string& tempFolder = {}) {
        for (const auto& f : {folder, tempFolder}) fs::create_directories(home + "/" + f);
        SetProgramPath(QString::fromStdString(home + "/" + folder + "/yomitora"));
        if (!tempFolder.empty()) setenv("TMPDIR", (home + "/" + tempFolder).c_str(), 1);
    };
    auto unusable = [&](const std::string& folder, const char* character, const char* kind = "プログラムのフォルダ",
                        const char* advice = "そのような文字を含まないフォルダにヨミトラをインストールしてから、"
                                             "もう一度起動してください。") {
        return gui::U8("%1 %2 のパスに、データベースがファイルの名前に使えない文字「%3」があるため、"
                       "ヨミトラを起動できません。\n"
                       "データベースはファイルの名前をシフトJISで扱うため、シフトJISで表せない文字と「\\」は使えません。\n%4")
            .arg(gui::U8(kind), QString::fromStdString(home + "/" + folder), gui::U8(character), gui::U8(advice));
    };
    // The longest program folder: its path in code page 932 as long as the engine's file
    // names leave room for (255 bytes less "/DB/Rirekisyo.JNL.4", the longest name it
    // gives a file there), in double-byte characters (three bytes each on disk) and a
    // byte more where it must; folders of 60 characters, as a name holds at most 255 bytes.
    // The longest temporary folder likewise (255 bytes less
    // "/KURA4194304-9999/999999999.JNL.4", the longest name it gives a file there).
    auto pathOf = [&](std::size_t bytes, const char* character) {  // below home
        std::string path;
        for (std::size_t left = bytes - platform::Utf8ToCp932(home).size() - 1, run = 0; left > 0;) {
            if (run == 60 && left > 2) path += "/", left -= 1, run = 0;
            else if (left == 1) path += "a", left = 0;
            else path += character, left -= 2, ++run;
        }
        EXPECT_EQ(platform::Utf8ToCp932(home + "/" + path).size(), bytes);
        return path;
    };
    ASSERT_EQ(LongestProgramDir(), 236u);
    ASSERT_EQ(LongestTempDir(), 222u);
    const std::string longest = pathOf(LongestProgramDir(), "長"), longestTemp = pathOf(LongestTempDir(), "時");
    const std::string longDb = platform::Utf8ToCp932(home + "/" + longest) + "/DB";
    const QString qlongDb = QString::fromStdString(home + "/" + longest + "/DB");
    auto keepAll = [&] {  // the whole folder, for a cause that changes several files
        fs::copy(db, db + ".keep", fs::copy_options::recursive);
        changed = db;
    };
    // A save of another program over tables opened in the order given (the last one
    // decides the commit): whole, answering its commit's write calls, or killed at the
    // call `at` of its commit.
    std::string saveIn = db;  // the database folder the saves go to
    auto otherSave = [&](uint64_t at, const char* tables, const std::string& sql) -> uint64_t {
        kura::test::ChildProcess save({"cut-commit", saveIn, std::to_string(at), tables, sql});
        const std::string said = save.readLine(60000);
        save.wait();
        return said.starts_with("done ") ? std::stoull(said.substr(5)) : 0;
    };
    // After the save `first`, two saves of one shape (the second sets b3, g3, k3 where
    // the first sets b2, g2, k2): the first whole, for the count; the second killed
    // `fromEnd` calls before its commit's end, `between` run between them.
    auto cutSave = [&](const char* tables, const std::string& first, const std::string& sql, uint64_t fromEnd,
                       const std::function<void()>& between = {}) {
        otherSave(0, tables, first);
        const uint64_t calls = otherSave(0, tables, sql);
        ASSERT_GT(calls, fromEnd);
        if (between) between();
        std::string again = sql;
        for (std::size_t at; (at = again.find("2'")) != std::string::npos;) again[at] = '3';
        EXPECT_EQ(otherSave(calls - fromEnd, tables, again), 0u) << "not cut";
    };
    const std::string gakureki = "INSERT INTO Gakureki (StaffCD, YMD, NAIYO) VALUES (1, '2001-04-01', 'g1')";
    const std::string kazoku = "INSERT INTO Kazoku (StaffCD, Seq, Simei) VALUES (1, 1, 'k1')";
    auto staffAndGakurekiCut = [&] {  // killed late in its commit
        cutSave("Gakureki,Staff", gakureki, "UPDATE Staff SET Bu = 'b2';UPDATE Gakureki SET NAIYO = 'g2'", 10);
    };
    // The note of a save cut off that left a table apart from the others of its save.
    auto standsApart = [&](const char* apart, const char* journal, const char* others, const char* tables) {
        return gui::U8("途中で終わった変更（複数のテーブルをまとめて変更したもの）を片付けましたが、テーブル %1 は、その変更で"
                       "一緒に変更された%2食い違っているかもしれません。そろえるための記録が残っていなかったためです"
                       "（変更の記録：%3%4）。\n%5のファイルを、変更の記録（.JNL と .JNS）も含めて、同じバックアップから"
                       "まとめて戻してください。\nそれまでは、どのテーブルもいまのファイルの内容のまま開きます。\n"
                       "（エラー番号 8961）")
            .arg(gui::U8(apart), *others ? gui::U8("テーブル %1 と").arg(gui::U8(others)) : gui::U8("他のテーブルと"), qdb,
                 gui::U8(journal),
                 *tables ? gui::U8("テーブル %1 ").arg(gui::U8(tables))
                         : gui::U8("フォルダ %1 のすべてのテーブル").arg(qdb));
    };
    // A save of Staff cut off that cannot be settled here, for `why`.
    auto needsWrite = [&](const QString& why) {
        return head.arg("Staff") +
               gui::U8("テーブル Staff には途中で終わった変更が残っています。その変更を片付けるには、フォルダ %1 とその"
                       "ファイルに書き込めることが必要ですが、%2\nフォルダとファイルの権限を確かめて書き込めるようにして"
                       "から（または、書き込める権限のあるユーザーで）、もう一度起動してください。変更は片付けずにそのまま"
                       "残してあります。\n（エラー番号 11013）")
                   .arg(qdb, why);
    };
    // A save over Kazoku and Staff cut once Staff's journal said it stands, Kazoku's
    // files then moved away: the start names the table to put back, in the folder `in`.
    auto kazokuNotFound = [&](const QString& in) {
        return head.arg("Staff") +
               gui::U8("テーブル Staff には途中で終わった変更が残っていますが、その変更で一緒に変更されたテーブル Kazoku が"
                       "見つからないため、開けません（変更の記録：%1/Staff.JNL）。\nテーブル Kazoku のファイルを、その "
                       "Kazoku.JNS も含めて、元の名前のままフォルダ %1 に戻してから、もう一度起動してください。\nテーブル "
                       "Kazoku を削除していてもう使わないときに限り、変更の記録 %1/Staff.JNL を削除してください（テーブル "
                       "Staff は変更したあとの内容のまま開きます）。\n（エラー番号 8961）")
                   .arg(in);
    };
    const QString unsettled = head.arg("Staff") +
                              gui::U8("テーブル Staff には途中で終わった変更が残っていますが、一緒に変更された他のテーブルと"
                                      "食い違わないようにその変更を片付けられるかどうか分からないため、開けません（変更の"
                                      "記録：%1/Staff.JNL）。\nフォルダ %1 のすべてのテーブルのファイルを、変更の記録（.JNL"
                                      " と .JNS）も含めて、同じバックアップからまとめて戻してから、もう一度起動してください。")
                                  .arg(qdb);
    struct Cause {
        std::string what;
        std::function<void()> plant;
        QString said;
        QString readOnlyWhy = {};  // the start goes on, the records can be read only
        bool starts = !readOnlyWhy.isEmpty();
        bool waits = false;               // for another program (a step of the start of its own)
        const char* untouched = nullptr;  // a table whose files the start leaves as they were
        QString alsoSaid = {};
        std::function<void()> check = {};  // what must hold after the start
        bool apart = false;  // the start runs in a program of its own, which is ended if it does not end in time
    };
    // Another program that holds a table's file to itself (`how`: the files program's
    // open arguments); let go of once this start has said its say.
    std::unique_ptr<kura::test::ChildProcess> holder;
    auto hold = [&](const char* file, const char* how) {
        holder = std::make_unique<kura::test::ChildProcess>(std::vector<std::string>{"platform_files"});
        ASSERT_EQ(holder->readLine(60000), "ready");
        holder->send("open " + db + file + how);
        ASSERT_EQ(holder->readLine(60000), "ok 0");
    };
    auto inUse = [&](const char* table) {
        return head.arg(table) + gui::U8("他のプログラムがこのテーブルを単独で使っています。\nそのプログラムを終了してから、"
                                         "もう一度起動してください。\n（エラー番号 11013）");
    };
    // A second desk whose first start stops right after it made the table's .DAT, beside
    // a folder without the database; continued and ended once this start has said its say.
    std::unique_ptr<kura::test::ChildProcess> desk;
    auto madeByAnother = [&](const std::string& table) {
        const std::string file = table + ".DAT";
        return Cause{"another program's first start stopped right after it made " + file,
                     [&, file] {
                         keep(db);
                         desk = std::make_unique<kura::test::ChildProcess>(
                             KURA_TEST_DESK, std::vector<std::string>{dir.path(), "stop-when-made", file});
                         const auto stopped = [&] { return kura::test::TaskState(desk->pid()) == 'T'; };
                         ASSERT_TRUE(kura::test::WaitUntil(stopped, 60000));
                     },
                     inUse(table.c_str()),
                     {}, false, true};
    };
    // Some of a table's files gone, the others there.
    auto gone = [&](const char* table, std::initializer_list<const char*> extensions) {
        QStringList paths;
        for (const char* e : extensions) paths << QString::fromStdString(db + "/" + table + e);
        return Cause{paths.join(", ").remove(qdb + "/").toStdString() + " missing",
                     [&, paths] { keepAll(); for (const auto& p : paths) fs::remove(p.toStdString()); },
                     head.arg(table) + gui::U8("ファイル %1 がありません（テーブル %2 のほかのファイルは残っています）。\n")
                                           .arg(paths.join("、"), table) +
                         gui::U8("フォルダ %1 にある %2 のファイル（%2.DAT など）をバックアップから戻してから、もう一度"
                                 "起動してください。\nテーブル %2 のファイルは、どれも変更していません。").arg(qdb, table),
                     {}, false, false, table};
    };
    // A key made anew, or why not (a rebuild the engine began has written the files'
    // headers and journal: no record changed; one refused its open: no file changed).
    auto keyRebuilt = [&](const char* table, const char* found) { return KeyRebuilt(qdb, table, found); };
    auto keyNotRebuilt = [&](const char* table, const char* found, const QString& why, int code) {
        return head.arg(table) +
               gui::U8("テーブル %1 の索引ファイル %2/%1.IDX %3ため、レコードから作り直そうとしましたが、%4\nテーブル %1 の"
                       "%5は、どれも変更していません。\n（エラー番号 %6）")
                   .arg(gui::U8(table), qdb, gui::U8(found), why,
                        code == kura::KURA_OSEACCES ? gui::U8("ファイル") : gui::U8("レコード"), QString::number(code));
    };
    // After a failed rebuild: no index file made, none kept aside, (`rows`) every record there.
    auto nothingMade = [&](bool lost, std::vector<std::string> rows = {}) {
        return [&, lost, rows] {
            EXPECT_EQ(fs::exists(db + "/Staff.IDX"), !lost);
            EXPECT_FALSE(fs::exists(db + "/Staff.IBK"));
            if (!rows.empty()) {
                EXPECT_EQ(Column("SELECT Simei FROM Staff ORDER BY Simei"), rows);
            }
        };
    };
    auto keyHolds = [&](const char* table, const std::string& again) {  // again under key 1
        return [=, this] { ExpectKeyHolds(table, {1}, again); };
    };
    const std::string staffAgain = "INSERT INTO Staff (StaffCD, Simei) VALUES (1, 'again')";
    const QString twice = gui::U8("キー（StaffCD）の値が同じレコードが複数あるため、作り直せません。\n") +
                          restore.arg("Staff").section('\n', 0, 0);
    // Staff.IDX gone, then (`twice`) code 1 taken again by an engine that made it anew
    // without the key, as earlier versions did; its index left so (`keyless`) or gone.
    auto lostKey = [&](bool twice, bool keyless) {
        return [&, twice, keyless] {
            keepAll();
            fs::remove(db + "/Staff.IDX");
            if (twice || keyless) otherSave(0, "Staff", twice ? staffAgain : "UPDATE Staff SET Bu = 'b'");
            if (!keyless) fs::remove(db + "/Staff.IDX");
        };
    };
    // A start in the program folder `folder` (and the temporary folder `tempFolder`) that
    // says `said` and makes nothing there, or that makes the database there and serves:
    // records saved and read back (the lists and queries make their tables in the
    // temporary folder), Gakureki then of `columns` columns.
    auto inProgram = [&](const std::string& folder, const QString& said = {}, std::size_t columns = 3,
                         const std::string& tempFolder = {}) {
        return Cause{"program folder " + folder + (columns == 3 ? "" : ", started again") +
                         (tempFolder.empty() ? "" : ", temporary folder " + tempFolder),
                     [&, folder, tempFolder] { programIn(folder, tempFolder); }, said, {}, said.isEmpty(), false,
                     nullptr, {}, [&, folder, columns, serves = said.isEmpty()] {
                         EXPECT_EQ(kura::test::FolderNames(home + "/" + folder).empty(), !serves);
                         if (!serves) return;
                         ASSERT_TRUE(Fmain->StartedUp());
                         EXPECT_TRUE(fs::is_regular_file(home + "/" + folder + "/DB/Staff.DAT"));
                         EXPECT_EQ(TDMdata::FieldNames(*DMdata->Tgakureki).size(), columns);
                         Exec("DELETE FROM Staff");
                         AddStaffRows(1);
                         EXPECT_EQ(Column("SELECT Simei FROM Staff"), (std::vector<std::string>{"N1"}));
                     }};
    };
    const Cause causes[] = {
        {"Kazoku.DAT may not be opened", refused("/Kazoku.DAT"), noRights("Kazoku", "/Kazoku.DAT")},
        {"Kazoku.IDX may not be opened", refused("/Kazoku.IDX"), noRights("Kazoku", "/Kazoku.IDX")},
        {"Staff.BLB may not be opened", refused("/Staff.BLB"), noRights("Staff", "/Staff.BLB")},
        {"Staff.DAT may not be opened", refused("/Staff.DAT"), noRights("Staff", "/Staff.DAT")},
        {"Staff.DAT's header overwritten", overwritten("/Staff.DAT", 0, 64), damaged("Staff", 12035)},
        {"Staff.DAT's field list overwritten", overwritten("/Staff.DAT", 64, 64), damaged("Staff", 8961)},
        {"Staff.IDX's header overwritten", overwritten("/Staff.IDX", 0, 64), damaged("Staff", 12035)},
        {"Staff.IDX's pages overwritten", overwritten("/Staff.IDX", 4096, std::string::npos), damaged("Staff", 8965)},
        {"Staff.IDX cut short", [&] { fs::resize_file(keep(db + "/Staff.IDX"), 5000); }, damaged("Staff", 9217)},
        {"Staff.BLB's header overwritten", overwritten("/Staff.BLB", 0, 64), damaged("Staff", 12035)},
        {"Staff.BLB missing", [&] { fs::remove(keep(db + "/Staff.BLB")); },
         head.arg("Staff") + gui::U8("ファイル %1/Staff.BLB がありません。\n").arg(qdb) + restore.arg("Staff").arg(11010)},
        gone("Staff", {".DAT"}), gone("Kazoku", {".DAT"}), gone("Staff", {".DAT", ".BLB"}),
        {"Staff.IDX missing: made anew, its key from the records", lostKey(false, false),
         keyRebuilt("Staff", "がなかった"), {}, true, false, nullptr, {}, keyHolds("Staff", staffAgain)},
        {"Kazoku.IDX missing: made anew, its key from the records",
         [&] { keepAll(), otherSave(0, "Kazoku", kazoku), fs::remove(db + "/Kazoku.IDX"); },
         keyRebuilt("Kazoku", "がなかった"), {}, true, false, nullptr, {}, keyHolds("Kazoku", kazoku)},
        {"Staff.IDX without the key, as an earlier version went on with it", lostKey(false, true),
         keyRebuilt("Staff", "にキー（StaffCD）がなかった"), {}, true, false, nullptr, {}, keyHolds("Staff", staffAgain)},
        {"Staff.IDX missing, code 1 twice in the records", lostKey(true, false),
         keyNotRebuilt("Staff", "がなかった", twice, 9729), {}, false, false, nullptr, {}, nothingMade(true)},
        {"Staff.IDX without the key, code 1 twice in the records", lostKey(true, true),
         keyNotRebuilt("Staff", "にキー（StaffCD）がなかった", twice, 9729), {}, false, false, nullptr, {},
         nothingMade(false, {"N1", "again"})},
        {"Staff.IDX missing, Staff.DAT open in another program for the whole wait",
         [&] { lostKey(false, false)(), hold("/Staff.DAT", " rw 3 3"); },
         keyNotRebuilt("Staff", "がなかった", gui::U8("他のプログラムがこのテーブルを開いているため、作り直せません（作り直す"
                                                   "には、このテーブルを単独で使う必要があります）。\nそのプログラムを終了"
                                                   "してから、もう一度起動してください。"), 11013),
         {}, false, true, "Staff"},
        {"Staff.IDX missing in a folder where no file can be made",
         [&] { lostKey(false, false)(), folderRefused = true; },
         keyNotRebuilt("Staff", "がなかった", gui::U8("フォルダ %1 が読み取り専用か、ファイルを作る権限がありません。\nフォルダ"
                                                   "とファイルの権限を確かめてから、もう一度起動してください。").arg(qdb), 11013),
         {}, false, false, "Staff"},
        {"Staff.IDX missing, a full disk as its keys are built", [&] { lostKey(false, false)(), full = "/Staff.JNL"; },
         keyNotRebuilt("Staff", "がなかった", diskFull(db), 9218), {}, false, false, nullptr, {}, nothingMade(true)},
        gone("Gakureki", {".DAT", ".IDX"}),  // its journal there
        {"every file of Kazoku gone, as a table a new version adds",
         [&] { keepAll(); for (auto e : {".DAT", ".IDX", ".JNL"}) fs::remove(db + "/Kazoku" + e); }, {}, {}, true},
        {"Gakureki.DAT emptied", [&] { fs::resize_file(keep(db + "/Gakureki.DAT"), 0); }, damaged("Gakureki", 8961)},
        {"the disk full (the settings file is written first)", [] { full = "/"; }, settings + diskFull(dir.path())},
        {"no free file entry (the settings file is made first)", [&] { noEntry = ENOSPC; },
         settings + diskFull(dir.path())},
        {"a link where the settings file's temporary file goes",
         [&] { fs::create_symlink(outside.file("elsewhere"), changed = dir.file("yomitora.INI.tmp")); },
         settings + gui::U8("ファイル %1 の場所にシンボリックリンクがあるため、書き込みませんでした。\nリンクを取り除いてから、"
                            "もう一度起動してください。").arg(QString::fromStdString(dir.file("yomitora.INI.tmp")))},
        {"a folder where the settings file's temporary file goes",
         [&] { fs::create_directory(changed = iniTemp); },
         settings + gui::U8("ファイル %1 の場所にフォルダがあるため、書き込みませんでした。\nそのフォルダの名前を変えるか"
                            "別の場所に移してから、もう一度起動してください。").arg(QString::fromStdString(iniTemp))},
        {"a FIFO nobody reads where the settings file's temporary file goes",
         [&] { ASSERT_EQ(mkfifo((changed = iniTemp).c_str(), 0600), 0); },
         settings + gui::U8("ファイル %1 の場所に、ファイルではないもの（名前付きパイプなど）があるため、書き込みませんでした。"
                            "\nそれを取り除いてから、もう一度起動してください。").arg(QString::fromStdString(iniTemp))},
        {"a link at the settings file to settings elsewhere: replaced, what it leads to neither read nor written",
         [&] { fs::remove(keep(ini)), fs::create_symlink(outside.file("settings"), ini); }, {}, {}, true, false,
         nullptr, {}, [&] {
             EXPECT_FALSE(fs::is_symlink(ini));
             EXPECT_EQ(Read(ini).find("Outside"), std::string::npos) << Read(ini);
             EXPECT_NE(Read(ini).find("[Tobuna]\r\nVer=1.02\r\n"), std::string::npos) << Read(ini);
         }},
        {"the settings file's sync fails: the settings as they were",
         [&] {
             std::ofstream(keep(ini), std::ios::app) << "[Earlier]\r\nKept=1\r\n";
             syncFails = fs::canonical(home).string() + "/yomitora.INI.tmp";
         },
         settings + gui::U8("（システムのエラー番号 31）"), {}, false, false, nullptr, {}, [&] {
             EXPECT_EQ(atSync, std::vector<std::string>{"the temporary file"});
             EXPECT_NE(Read(ini).find("[Earlier]"), std::string::npos) << Read(ini);
             EXPECT_FALSE(fs::exists(fs::symlink_status(iniTemp)));
         }},
        {"the program folder's sync after the settings file took its name fails: the settings stand, nothing said",
         [&] {
             std::ofstream(keep(ini), std::ios::trunc) << "[Tobuna]\r\nVer=0.5\r\n";
             syncFails = fs::canonical(home).string();
         },
         {}, {}, true, false, nullptr, {}, [&] {
             ASSERT_EQ(atSync.size(), 1u);
             EXPECT_NE(atSync[0].find("[Tobuna]\r\nVer=1.02\r\n"), std::string::npos) << atSync[0];
             EXPECT_NE(Read(ini).find("[Tobuna]\r\nVer=1.02\r\n"), std::string::npos) << Read(ini);
         }},
        {"the database's disk full, a cut save to be settled", [&] { keepAll(), staffAndGakurekiCut(), full = "/DB/"; },
         head.arg("Staff") + diskFull(db) + gui::U8("\n（エラー番号 9218）")},
        {"the temporary folder's disk full", [] { full = fs::temp_directory_path().string() + "/KURA"; },
         gui::U8("従業員の一覧を作れないため、ヨミトラを起動できません。\n") +
             diskFull(fs::temp_directory_path().string()) + gui::U8("\n（エラー番号 9218）")},
        {"a file where the folder should be", [&] { std::ofstream(keep(db)) << "x"; }, inTheWay.arg(qdb)},
        {"a link to nowhere where the folder should be", [&] { fs::create_symlink(dir.file("nowhere"), keep(db)); },
         inTheWay.arg(qdb)},
        {"a folder that may not be made", [&] { keep(db); platform::FileCalls().mkdir = notMade; },
         folder.arg(qdb) + QString::fromUtf8("フォルダ %1 にフォルダを作る権限がありません。\n"
                                             "フォルダの権限を確かめてから、もう一度起動してください。")
                               .arg(QString::fromStdString(dir.path()))},
        {"a folder another program makes between the look and the making",
         [&] { keep(db); platform::FileCalls().mkdir = madeMeanwhile; }, {}, {}, true},
        madeByAnother("Staff"), madeByAnother("Kazoku"),
        {"a cut change's journal beside files put back from a copy older than the change before it", [&] {
             const char* const files[] = {"/Staff.DAT", "/Staff.IDX", "/Staff.BLB"};
             for (const char* file : files) fs::copy_file(db + file, db + file + ".old");
             StartMain();
             Exec("UPDATE Staff SET Simei = 'later'");
             full = files[0];
             EXPECT_FALSE(gui::Guarded([] { Exec("UPDATE Staff SET Simei = 'cut'"); }));  // said; its journal kept
             CloseMain();  // nor can it be taken back
             full.clear();
             for (const char* file : files) fs::rename(db + file + ".old", db + file);
             messages.clear();
         },
         gui::U8("テーブル Staff には途中で終わった変更が残っていましたが、その変更の記録がテーブルのファイルと合わない"
                 "（ファイルを以前のコピーから戻したときなど）か壊れているため、変更は行いませんでした。\n変更の記録は"
                 "ファイル %1/Staff.JNL.1 として残してあります。\nテーブル Staff は、いまのファイルの内容のまま開きます。"
                 "\n（エラー番号 8961）").arg(qdb), {}, true},
        {"a save over Kazoku and Gakureki cut once Kazoku's journal said it stands, Gakureki then put back from before it",
         [&] {
             keepAll();
             const char* const files[] = {"/Gakureki.DAT", "/Gakureki.IDX"};
             cutSave("Gakureki,Kazoku", kazoku + ";" + gakureki,
                     "UPDATE Kazoku SET Simei = 'k2';UPDATE Gakureki SET NAIYO = 'g2'", 1, [&] {
                         for (const char* file : files) fs::copy_file(db + file, db + file + ".old");
                     });
             EXPECT_EQ(fs::file_size(db + "/Gakureki.JNL"), 0u);  // it let go of the save
             EXPECT_GT(fs::file_size(db + "/Kazoku.JNL"), 0u);    // it decides: the save stands
             for (const char* file : files) fs::rename(db + file + ".old", db + file);
         },
         standsApart("Gakureki", "/Gakureki.JNL", "Kazoku", "Kazoku、Gakureki"), {}, true},
        {"a save over Staff and Gakureki killed late, Staff.JNL then cut to half",
         [&] {
             keepAll(), fs::remove(db + "/Staff.JNL.1");  // set aside by a cause before
             staffAndGakurekiCut();
             fs::resize_file(db + "/Staff.JNL", fs::file_size(db + "/Staff.JNL") / 2);
         },
         standsApart("Staff", "/Staff.JNL.1", "", ""), {}, true, false, nullptr,
         standsApart("Staff", "/Staff.JNL", "Gakureki", "Staff、Gakureki")},
        {"a save over Staff and Gakureki cut, in a folder where no file can be made",
         [&] { keepAll(), staffAndGakurekiCut(), folderRefused = true; },
         needsWrite(gui::U8("フォルダ %1 が読み取り専用か、ファイルを作る権限がありません。").arg(qdb))},
        {"a save over Staff and Gakureki cut, its record Staff.JNS then held by another program for the whole wait",
         [&] {  // the first save settled by the second: a record
             keepAll(), staffAndGakurekiCut(), staffAndGakurekiCut(), hold("/Staff.JNS", " rw 0 3");
         },
         inUse("Staff"), {}, false, true},
        {"a save over Staff and Gakureki cut, Staff.JNL then read-only",
         [&] {
             keepAll(), staffAndGakurekiCut();
             fs::permissions(db + "/Staff.JNL", fs::perms::owner_write, fs::perm_options::remove);
         },
         needsWrite(gui::U8("テーブル Staff のファイル（Staff.DAT など）か変更の記録（Staff.JNL）が読み取り専用か、"
                            "書き込む権限がありません。"))},
        {"a save over Kazoku and Staff cut once Staff's journal said it stands, Kazoku's files then moved away",
         [&] {
             keepAll();
             cutSave("Kazoku,Staff", kazoku, "UPDATE Staff SET Bu = 'b2';UPDATE Kazoku SET Simei = 'k2'", 1);
             fs::create_directories(dir.file("away"));
             for (const char* ext : {".DAT", ".IDX", ".JNL"})
                 fs::rename(db + "/Kazoku" + ext, dir.file("away/Kazoku") + ext);
         },
         kazokuNotFound(qdb)},
        {"a save over Staff and Gakureki killed late, Staff.JNL then cut to half, read-only: said at every open",
         [&] {
             keepAll(), staffAndGakurekiCut();
             fs::resize_file(db + "/Staff.JNL", fs::file_size(db + "/Staff.JNL") / 2);
             fs::permissions(db + "/Staff.JNL", fs::perms::all, fs::perm_options::remove);
             fs::permissions(db + "/Staff.JNL", fs::perms::owner_read, fs::perm_options::add);
         },
         unsettled + gui::U8("\n（%1）\n（エラー番号 8961）")
                         .arg(QString::fromUtf8(kura::kJournalStandsApart.data(), kura::kJournalStandsApart.size())),
         {}, false, false, "Staff", {}, {}, true},
        {"the folder and its files read-only", [&] { writable(fs::perm_options::remove), folderRefused = true; }, {},
         gui::U8("フォルダ %1 のファイル（Staff.DAT など）が読み取り専用か、書き込む権限がありません。").arg(qdb)},
        {"Staff.JNL read-only",
         [&] { fs::permissions(db + "/Staff.JNL", fs::perms::owner_write, fs::perm_options::remove); }, {},
         gui::U8("ファイル %1/Staff.JNL（テーブル Staff の変更の記録）が読み取り専用か、書き込む権限がありません。").arg(qdb)},
        {"the folder read-only and Kazoku.JNL missing", [&] { fs::remove(db + "/Kazoku.JNL"), folderRefused = true; },
         {}, gui::U8("フォルダ %1 が読み取り専用か、ファイルを作る権限がありません。").arg(qdb)},
        inProgram("ヨミトラ"), inProgram("人事部"), inProgram("台帳"), inProgram("社員台帳"), inProgram("従業員"),
        inProgram("ヨミトラ", {}, 4, "台帳/従業員"),
        {"Staff.DAT may not be opened in a program folder named 人事部",
         [&] { programIn("人事部"), refusedFile = "/Staff.DAT"; }, noRights("Staff", "/Staff.DAT", home + "/人事部/DB")},
        {"a file where the database folder should be, in a program folder named 台帳",
         [&] { programIn("台帳/表"), std::ofstream(home + "/台帳/表/DB") << "x"; },
         inTheWay.arg(QString::fromStdString(home + "/台帳/表/DB"))},
        inProgram("한글", unusable("한글", "한")),
        inProgram("社員〜台帳", unusable("社員〜台帳", "〜")),  // code page 932 turns its wave dash into another character
        inProgram("台帳\\2024", unusable("台帳\\2024", "\\")),
        inProgram("人事部/新",
                  unusable("한글", "한", "一時フォルダ",
                           "一時フォルダ（環境変数 TMPDIR）をそのような文字を含まないフォルダにしてから、もう一度起動してください。"),
                  3, "한글"),
        inProgram(longest), inProgram(longest, {}, 4),  // as long as the engine's file names leave room for
        {"a save over Kazoku and Staff cut once Staff's journal said it stands, Kazoku's files then moved away, in the "
         "longest program folder",
         [&] {
             programIn(longest), saveIn = longDb;
             const std::string native = kura::test::Native(longDb), away = dir.file("away-long/Kazoku");
             fs::copy(native, native + ".keep", fs::copy_options::recursive);
             changed = native;
             cutSave("Kazoku,Staff", kazoku, "UPDATE Staff SET Bu = 'b2';UPDATE Kazoku SET Simei = 'k2'", 1);
             fs::create_directories(dir.file("away-long"));
             for (const char* ext : {".DAT", ".IDX", ".JNL"}) fs::rename(native + "/Kazoku" + ext, away + ext);
         },
         kazokuNotFound(qlongDb)},
        inProgram("台帳", {}, 4, longestTemp),  // the lists and queries make their tables there
        inProgram("社員台帳/新",
                  gui::U8("一時フォルダ %1 のパスが長すぎるため、ヨミトラを起動できません。\n"
                          "データベースのファイルの名前はフォルダを含めて 255 バイトまでのため、一時フォルダのパスは"
                          "シフトJISで %2 バイトまでです（このフォルダは %3 バイト）。\n"
                          "一時フォルダ（環境変数 TMPDIR）をパスの短いフォルダにしてから、もう一度起動してください。")
                      .arg(QString::fromStdString(home + "/" + longestTemp + "a"), QString::number(LongestTempDir()),
                           QString::number(LongestTempDir() + 1)),
                  3, longestTemp + "a"),
        inProgram(longest + "a",
                  gui::U8("プログラムのフォルダ %1 のパスが長すぎるため、ヨミトラを起動できません。\n"
                          "データベースのファイルの名前はフォルダを含めて 255 バイトまでのため、プログラムのフォルダのパスは"
                          "シフトJISで %2 バイトまでです（このフォルダは %3 バイト）。\n"
                          "パスの短いフォルダにヨミトラをインストールしてから、もう一度起動してください。")
                      .arg(QString::fromStdString(home + "/" + longest + "a"), QString::number(LongestProgramDir()),
                           QString::number(LongestProgramDir() + 1))),
    };
    // Whatever a command that ought to be refused opens is closed at once.
    const auto shutEditor = WhileModal("FstaffDaityo", &QDialog::reject);
    const auto shutTable = WhileModal("Fstaff", &QDialog::reject);
    auto filesOf = [&](const char* table) {  // byte for byte; none for no table
        std::map<std::string, std::string> files;
        if (!table) return files;
        for (const auto& e : fs::directory_iterator(db))
            if (e.path().filename().string().starts_with(table + std::string("."))) files[e.path()] = Read(e.path());
        return files;
    };
    for (const auto& c : causes) {
        SCOPED_TRACE(c.what);
        c.plant();
        const auto before = filesOf(c.untouched);
        bool failed = false;
        int waits = 0;
        if (c.apart) {
            kura::test::ChildProcess start(KURA_TEST_DESK, {dir.path()});
            std::string line;
            while ((line = start.readLine(60000)).starts_with("message "))
                messages << QString::fromStdString(line.substr(8)).replace(" | ", "\n");
            failed = line.starts_with("ended ");
            ASSERT_TRUE(failed || line == "ready") << "the start did not end: " << line;
            if (failed) waits = std::stoi(line.substr(6));
            else start.send("quit");
            EXPECT_EQ(start.wait(), failed ? 1 : 0);
        } else {
            const TFmain& started = StartMain();
            failed = started.StartFailed();
            for (const auto& [step, ms] : started.StartupTimes) waits += step.ends_with("_waited");
        }
        EXPECT_EQ(failed, !c.starts);
        EXPECT_EQ(waits > 0, c.waits) << waits;
        const auto after = filesOf(c.untouched);
        for (const auto& [file, bytes] : before) {  // each file byte for byte; none gone, none made
            EXPECT_TRUE(after.count(file)) << file << " gone";
            const std::string now = after.count(file) ? after.at(file) : bytes;
            const auto at = std::mismatch(bytes.begin(), bytes.end(), now.begin(), now.end()).first - bytes.begin();
            EXPECT_TRUE(now == bytes) << file << " changed at byte " << at;
        }
        for (const auto& [file, bytes] : after) EXPECT_TRUE(before.count(file)) << file << " made";
        QStringList said = c.said.isEmpty() ? QStringList() : QStringList{c.said};
        if (!c.alsoSaid.isEmpty()) said << c.alsoSaid;
        if (!c.readOnlyWhy.isEmpty()) {  // said at the start, then by each command that would change the records
            said << gui::U8("データベースに書き込めないため、従業員の情報は見ることはできますが、追加・修正・削除などの"
                            "変更はできません。\n%1\n変更するときは、フォルダとファイルの権限を確かめてから、もう一度"
                            "起動してください。").arg(c.readOnlyWhy);
            Fmain->STAFFaddBTNClick(), Fmain->STAFFeditBTNClick(), Fmain->STAFFdelBTNClick(), Fmain->Staff1Click();
            TFsql sql;
            sql.Memo1->setPlainText("UPDATE Staff SET Simei = 'x'");
            sql.CuteButton1Click();
            for (const char* what : {"従業員を追加", "従業員の情報を修正", "従業員を削除", "従業員テーブルを編集",
                                     "データを変更するSQLを実行"})
                said << gui::U8("データベースに書き込めないため、%1できません。\n%2").arg(gui::U8(what), c.readOnlyWhy);
        }
        if (c.starts && !said.isEmpty()) {  // not a folder made anew
            EXPECT_EQ(Column("SELECT Simei FROM Staff"), (std::vector<std::string>{"N1"}));
        }
        if (c.check) c.check();
        CloseMain();
        if (desk) {  // the other start goes on and ends
            desk->kill(SIGCONT);
            EXPECT_EQ(desk->readLine(60000), "ready");
            desk->send("quit");
            EXPECT_EQ(desk->wait(), 0);
            desk.reset();
        }
        if (holder) {
            holder->send("quit");
            EXPECT_EQ(holder->wait(), 0);
            holder.reset();
        }
        SetProgramPath(QString::fromStdString(home + "/yomitora"));
        temp ? setenv("TMPDIR", temp->c_str(), 1) : unsetenv("TMPDIR");
        saveIn = db;
        refusedFile.clear(), full.clear(), folderRefused = false, noEntry = 0, syncFails.clear(), atSync.clear();
        platform::FileCalls().mkdir = platform::SystemFileCalls().mkdir;
        if (!changed.empty()) {
            fs::remove_all(changed);
            if (fs::exists(changed + ".keep")) fs::rename(changed + ".keep", changed);
            changed.clear();
        }
        writable(fs::perm_options::add);
        EXPECT_EQ(messages, said) << messages.join("\n").toStdString();
        messages.clear();
    }
    EXPECT_EQ(Read(outside.file("elsewhere")), "untouched");
    EXPECT_EQ(Read(outside.file("settings")), "[Outside]\r\nRead=1\r\n");
    StartMain();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_TRUE(Fmain->StartedUp());
    // The program's folder is looked at before anything is written there: no free file
    // entry or a full quota is said as a full disk, anything else as a folder that may
    // not be written.
    const QString program = ProgramDir();
    const QString programFull = gui::U8("プログラムのフォルダ %1 に書き込めないため、ヨミトラを起動できません。\n")
                                    .arg(program) + diskFull(program.toStdString());
    const std::pair<int, QString> folderRefusals[] = {
        {ENOSPC, programFull}, {EDQUOT, programFull}, {0, {}},
        {EACCES, gui::U8("プログラムのフォルダ %1 に書き込めません。\n設定ファイルとデータベースはこのフォルダに置かれます。")
                     .arg(program)},
    };
    for (const auto& [error, said] : folderRefusals) {
        noEntry = error;
        EXPECT_EQ(ProgramFolderRefusal(program), said) << error;
    }
    for (const auto& e : fs::directory_iterator(dir.path()))  // the probe leaves nothing behind
        EXPECT_FALSE(e.path().filename().string().starts_with(".yomitora")) << e.path();
    // A journal refused at every open (how its save ended cannot be told) leaves one
    // way that is known to be right: the tables restored together; records that
    // disagree name the one to remove (beside the journal where the engine names it
    // bare), whole in the longest program folder; a way out this program does not know
    // is carried as the engine says it. A cause this program does not tell in its words
    // is said in the engine's, with the file whole where that text leaves part of it out.
    auto removeRecord = [&](const QString& in) {
        return head.arg("Staff") + gui::U8("テーブル Staff には途中で終わった変更が残っていますが、その変更がどう終わったかの"
                                           "記録が食い違っているため、開けません（変更の記録：%1/Staff.JNL）。\nテーブルの"
                                           "ファイルと食い違っている記録 %1/Kazoku.JNS を削除してから、もう一度起動して"
                                           "ください（変更の記録 %1/Staff.JNL のほうを削除すると、テーブルどうしが"
                                           "食い違ったままになります）。\n（エラー番号 8961）").arg(in);
    };
    const std::string lastFile = longDb + "/Rirekisyo.DAT";  // 253 bytes: the engine's text leaves its end out
    const std::string writing = "Error writing to the table '" + lastFile;
    const QString said9218 = head.arg("Staff") + "Kura Engine Error # 9218 ";
    const std::tuple<uint32_t, std::string, std::string, QString> refusals[] = {  // the file, the advice, what is said
        {8961, db + "/Staff.JNL", "", unsettled + gui::U8("\n（エラー番号 8961）")},
        {8961, db + "/Staff.JNL", std::string(kura::kJournalCannotTell), unsettled + gui::U8("\n（エラー番号 8961）")},
        {8961, db + "/Staff.JNL",
         "the records of its commit disagree: remove '" + db + "/Kazoku.JNS', which its tables' files contradict",
         removeRecord(qdb)},
        {8961, db + "/Staff.JNL", kura::JournalRemoveRecord("Kazoku.JNS"), removeRecord(qdb)},
        {8961, longDb + "/Staff.JNL", kura::JournalRemoveRecord("Kazoku.JNS"), removeRecord(qlongDb)},
        {8961, db + "/Staff.JNL", "a way out of later programs",
         unsettled + gui::U8("\n（a way out of later programs）\n（エラー番号 8961）")},
        {9218, lastFile, "",
         said9218 + gui::QStr(writing.substr(0, platform::Cp932PrefixLength(writing, 254))) +
             gui::U8("\n（エラーの対象：%1/Rirekisyo.DAT）").arg(qlongDb)},
        {9218, db + "/Staff.DAT", "", said9218 + gui::QStr("Error writing to the table '" + db + "/Staff.DAT'")},
    };
    for (const auto& [code, file, advice, said] : refusals) {
        try {
            platform::SetLastError(0);  // no full disk
            kura::RaiseEngineError(code, {}, {}, {}, file, {}, {}, advice);
        } catch (const kura::EKuraEngineError& e) {
            EXPECT_EQ(app::TableFailure(e, "Staff", app::TRefusal::Unknown), said);
        }
    }
}

// A start that gives a lost index file its key again, cut off at any call that changes
// a file of the table: killed there, as a crash would end it, or the call failing. The
// next start finds what is left (no index file, one that was never filled, one without
// the key), makes it again and says so, or finds the work done; every employee is
// then found by its code, a second one under a code is refused, none is lost.
TEST_F(StartUp, AKeyRebuildCutOffAtAnyCallIsDoneAgainByTheNextStart) {
    StartMain();
    AddStaffRows(3);
    CloseMain();
    const std::string db = dir.file("DB"), lost = dir.file("lost");
    fs::remove(db + "/Staff.IDX");
    fs::copy(db, lost, fs::copy_options::recursive);
    const QString qdb = QString::fromStdString(db);
    const QString head = gui::U8("テーブル Staff を開けないため、ヨミトラを起動できません。\nテーブル Staff の索引ファイル %1/Staff.IDX ")
                             .arg(qdb);
    const QStringList rebuilt{KeyRebuilt(qdb, "Staff", "がなかった"), KeyRebuilt(qdb, "Staff", "にキー（StaffCD）がなかった")};
    uint64_t at = 1;
    for (bool done = false; !done; ++at) {
        for (const bool killed : {true, false}) {
            SCOPED_TRACE("call " + std::to_string(at) + (killed ? ": killed" : ": failed"));
            fs::remove_all(db);
            fs::copy(lost, db, fs::copy_options::recursive);
            if (killed) {
                kura::test::ChildProcess desk(KURA_TEST_DESK, {dir.path(), "kill-at", std::to_string(at), "/Staff."});
                std::string line = desk.readLine(60000);
                while (line.starts_with("message ")) line = desk.readLine(60000);
                if (line == "ready") desk.send("quit");
                done = desk.wait() == 0;  // it made fewer calls: the whole rebuild is counted
            } else {
                kura::test::FileCallFaults faults("/Staff.");
                faults.Arm(at);
                const bool failed = StartMain().StartFailed();
                CloseMain();
                // A start that failed said why: the rebuild it could not end.
                ASSERT_EQ(messages.size(), 1) << messages.join("\n").toStdString();
                EXPECT_TRUE(failed ? messages[0].startsWith(head) : rebuilt.contains(messages[0]))
                    << messages[0].toStdString();
                messages.clear();
            }
            ASSERT_TRUE(StartMain().StartedUp()) << messages.join("\n").toStdString();
            EXPECT_LE(messages.size(), 1);
            for (const QString& said : messages) EXPECT_TRUE(rebuilt.contains(said)) << said.toStdString();
            messages.clear();
            EXPECT_EQ(DMdata->Tstaff->RecordCount(), 3);
            ExpectKeyHolds("Staff", {1, 2, 3}, "INSERT INTO Staff (StaffCD, Simei) VALUES (2, 'again')");
            CloseMain();
        }
    }
    EXPECT_GT(at, 10u);  // the engine's making of the index file and the key's restructure
}

TEST_F(StartUp, ClosingTheMainWindowWritesItsSettings) {
    TFmain& main = StartMain();
    main.Settings.Komoku[0] = "氏名";
    main.Settings.Jyun[0] = "降順";
    main.Settings.HiHyoji = true;
    main.Settings.JidoKosin = false;
    CloseMain();
    gui::TIniFile ini(dir.file("yomitora.INI"));
    EXPECT_EQ(ini.ReadString("Sort", "Komoku1", ""), "氏名");
    EXPECT_EQ(ini.ReadString("Sort", "Jyun1", ""), "降順");
    EXPECT_EQ(ini.ReadString("Sort", "Komoku2", ""), "（なし）");
    EXPECT_TRUE(ini.ReadBool("Taisyoku", "HiHyoji", false));
    EXPECT_FALSE(ini.ReadBool("Option", "JidoKosin", true));
    EXPECT_EQ(ini.ReadInteger("HyojiColumnIndex", "Simei", -1), 1);
    EXPECT_TRUE(ini.ValueExists("Fmain", "WindowState"));
    // And they come back at the next start.
    TFmain& again = StartMain();
    EXPECT_EQ(again.Settings.Komoku[0], "氏名");
    EXPECT_FALSE(again.Settings.JidoKosin);
}

TEST(Schema, CreationAndUpgradeTextsAreTheStatementsTheQueriesRun) {
    EXPECT_EQ(CreationText(GakurekiSpec()),
              (std::vector<std::string>{"CREATE TABLE IF NOT EXISTS \"Gakureki\"", "(", "   \"StaffCD\" INTEGER NOT NULL,",
                                        "   \"YMD\" DATE,", "   \"NAIYO\" CHARACTER(60),",
                                        "   PRIMARY KEY (\"StaffCD\", \"YMD\") COMPRESS NONE",
                                        "   LANGUAGE \"ANSI Standard\" SORT \"Default Order\"", "   USER MAJOR VERSION 1",
                                        ");"}));
    const auto rirekisyo = CreationText(RirekisyoSpec());
    EXPECT_NE(std::find(rirekisyo.begin(), rirekisyo.end(), "   DESCRIPTION 'Rirekisyo'"), rirekisyo.end());
    EXPECT_EQ(CreationText(StaffSpec()).size(), 61u + 6u);
    EXPECT_EQ(StaffUpgradeText(), (std::vector<std::string>{"ALTER TABLE \"Staff\" ",
                                                            "ADD \"Furikomi_KozaMeigi\" CHARACTER(40),",
                                                            "ADD \"Fututyo_KozaMeigi\" CHARACTER(40)"}));
    EXPECT_EQ(GakurekiUpgradeText(), (std::vector<std::string>{"ALTER TABLE \"Gakureki\" ",
                                                               "REDEFINE \"NAIYO\" CHARACTER(60),",
                                                               "ADD \"V102\"      CHARACTER(1)"}));
    EXPECT_EQ(KeyRebuildText(KazokuSpec()),
              (std::vector<std::string>{"ALTER TABLE \"Kazoku\"",
                                        "REDEFINE PRIMARY KEY (\"StaffCD\", \"Seq\") COMPRESS NONE", "NOBACKUP"}));
    EXPECT_EQ(SpecOf("rirekisyo"), &RirekisyoSpec());
    EXPECT_EQ(SpecOf("Staff2"), nullptr);
    EXPECT_TRUE(StaffNeedsUpgrade({"StaffCD", "furikomi_kozameigX"}));
    EXPECT_FALSE(StaffNeedsUpgrade({"StaffCD", "FURIKOMI_KOZAMEIGI"}));
    EXPECT_FALSE(GakurekiNeedsUpgrade({"v102"}));
}

// The engine names a file by a path only where code page 932 holds each character
// both ways (to code page 932 and back to the same character) and no "\" stands in a
// name; the start names the first character of a program folder that it cannot.
TEST(ProgramPaths, TheEngineNamesFilesByPathsCodePage932HoldsBothWays) {
    const std::pair<const char*, const char*> paths[] = {  // and the first character the engine cannot name a file by
        {"/home/人事部/ヨミトラ", ""}, {"/表/ソ/十/能", ""},     {"/ｶﾀｶﾅ/～/－", ""},   {"/한글", "한"},
        {"/社員〜台帳", "〜"},         {"/a\\b", "\\"},       {"/円¥", "¥"},         {"/−1", "−"},
        {"/x/😀/y", "😀"},             {"/人事部/한/〜", "한"},
    };
    for (const auto& [text, unnamed] : paths) {
        SCOPED_TRACE(text);
        const QString path = gui::U8(text);
        std::string cp932;
        const bool named = EnginePath(path, cp932);
        EXPECT_EQ(named, !*unnamed);
        EXPECT_EQ(named ? gui::QStr(cp932) : path, path);  // back to the same characters
        SetProgramPath(path + "/yomitora");
        const QString refusal = ProgramDirRefusal();
        EXPECT_EQ(refusal.isEmpty(), named) << refusal.toStdString();
        EXPECT_EQ(refusal.contains(gui::U8("「%1」").arg(gui::U8(unnamed))), !named) << refusal.toStdString();
    }
    SetProgramPath("");
}

}  // namespace
}  // namespace app::test

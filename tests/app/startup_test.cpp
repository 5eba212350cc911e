// Start-up in a program folder: the "DB" folder with the four tables, the settings
// file with its version record, the upgrades run once, failures reported.
#include <sys/stat.h>

#include <QElapsedTimer>
#include <algorithm>
#include <cerrno>
#include <fstream>

#include "app/Schema.h"
#include "components/KuraDatabase.h"
#include "components/KuraTable.h"
#include "platform/FileCalls.h"
#include "platform/dataset/Field.h"
#include "tests/app/AppTestSupport.h"
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

class StartUp : public AppTest {};

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

// Every start that fails says why in Japanese, at once (no wait for another program),
// as the user can act on it, with the engine's code as a number where there is one: a
// table's file this user may not open, one that is damaged or no table of this
// program, a database folder that cannot be made. Each cause mended, the program
// starts again.
TEST_F(StartUp, EveryStartThatFailsSaysWhyInJapanese) {
    StartMain();
    AddStaffRows(1);
    CloseMain();
    const std::string db = dir.file("DB");
    const QString head = QString::fromUtf8("テーブル %1 を開けないため、ヨミトラを起動できません。\n");
    const QString folder = QString::fromUtf8("データベースのフォルダ %1 を作れないため、ヨミトラを起動できません。\n")
                               .arg(QString::fromStdString(db));
    auto noRights = [&](const char* table, const char* file) {
        return (head + QString::fromUtf8("ファイル %2 を読み書きする権限がありません。\n"
                                         "ファイルの権限を確かめてから、もう一度起動してください。\n"
                                         "（エラー番号 11013）"))
            .arg(table, QString::fromStdString(db + file));
    };
    auto damaged = [&](const char* table, int code) {
        return (head + QString::fromUtf8("テーブルのファイルが壊れているか、ヨミトラのテーブルのファイルではありません。\n"
                                         "フォルダ %2 にある %1 のファイル（%1.DAT など）をバックアップから戻してから、"
                                         "もう一度起動してください。\n（エラー番号 %3）"))
            .arg(table, QString::fromStdString(db))
            .arg(code);
    };
    // Each cause is planted in the calls, or in a file or the folder, kept meanwhile
    // beside it (the folder moved, a file copied); the loop mends them all.
    std::string refusedFile, changed;
    const kura::test::OpensThrough opens([&](const char* path, int flags, mode_t mode) {
        if (!refusedFile.empty() && std::string_view(path).ends_with(refusedFile)) return errno = EACCES, -1;
        return platform::SystemFileCalls().open(path, flags, mode);
    });
    auto refused = [&](const char* file) { return [&refusedFile, file] { refusedFile = file; }; };
    auto notMade = [](const char*, mode_t) { return errno = EACCES, -1; };
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
    const struct {
        const char* what;
        std::function<void()> plant;
        QString said;
    } causes[] = {
        {"Kazoku.DAT may not be opened", refused("/Kazoku.DAT"), noRights("Kazoku", "/Kazoku.DAT")},
        {"Kazoku.IDX may not be opened", refused("/Kazoku.IDX"), noRights("Kazoku", "/Kazoku.IDX")},
        {"Staff.BLB may not be opened", refused("/Staff.BLB"), noRights("Staff", "/Staff.BLB")},
        {"Staff.DAT may not be opened", refused("/Staff.DAT"), noRights("Staff", "/Staff.DAT")},
        {"Staff.DAT's header overwritten", overwritten("/Staff.DAT", 0, 64), damaged("Staff", 12035)},
        {"Staff.DAT's field list overwritten", overwritten("/Staff.DAT", 64, 64), damaged("Staff", 8961)},
        {"Staff.IDX's header overwritten", overwritten("/Staff.IDX", 0, 64), damaged("Staff", 12035)},
        {"Staff.IDX's pages overwritten", overwritten("/Staff.IDX", 4096, std::string::npos), damaged("Staff", 8965)},
        {"Staff.BLB's header overwritten", overwritten("/Staff.BLB", 0, 64), damaged("Staff", 12035)},
        {"Gakureki.DAT emptied", [&] { fs::resize_file(keep(db + "/Gakureki.DAT"), 0); }, damaged("Gakureki", 8961)},
        {"a file where the folder should be", [&] { std::ofstream(keep(db)) << "x"; },
         folder + QString::fromUtf8("同じ名前のファイルがあります。\n"
                                    "そのファイルの名前を変えるか別のフォルダに移してから、もう一度起動してください。")},
        {"a folder that may not be made", [&] { keep(db); platform::FileCalls().mkdir = notMade; },
         folder + QString::fromUtf8("フォルダ %1 にフォルダを作る権限がありません。\n"
                                    "フォルダの権限を確かめてから、もう一度起動してください。")
                      .arg(QString::fromStdString(dir.path()))},
    };
    for (const auto& c : causes) {
        SCOPED_TRACE(c.what);
        c.plant();
        QElapsedTimer clock;
        clock.start();
        EXPECT_TRUE(StartMain().StartFailed());
        EXPECT_LT(clock.elapsed(), StartWaitMs);
        CloseMain();
        refusedFile.clear();
        platform::FileCalls().mkdir = platform::SystemFileCalls().mkdir;
        if (!changed.empty()) {
            fs::remove(changed);
            fs::rename(changed + ".keep", changed);
            changed.clear();
        }
        EXPECT_EQ(messages, QStringList{c.said}) << messages.join("\n").toStdString();
        messages.clear();
    }
    StartMain();
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_TRUE(Fmain->StartedUp());
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
    EXPECT_TRUE(StaffNeedsUpgrade({"StaffCD", "furikomi_kozameigX"}));
    EXPECT_FALSE(StaffNeedsUpgrade({"StaffCD", "FURIKOMI_KOZAMEIGI"}));
    EXPECT_FALSE(GakurekiNeedsUpgrade({"v102"}));
}

}  // namespace
}  // namespace app::test

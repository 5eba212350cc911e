// The CSV exports: exact bytes (code page 932, CR LF, quoting by type), rows in key
// order, pictures never written as raw bytes, Python's csv module reading the files
// back to the same values, the save dialog's name rule, and failures that leave no
// half-written file and give the table's controls back.
#include <signal.h>
#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "app/CsvExport.h"
#include "app/Schema.h"
#include "components/KuraTable.h"
#include "platform/dataset/Fields.h"
#include "platform/gui/FileDialogs.h"
#include "platform/gui/Text.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/EditorTestSupport.h"
#include "tests/app/StaffData.h"

namespace app::test {
namespace {

namespace fs = std::filesystem;

std::string Sjis(const char* utf8) { return gui::Cp932(QString::fromUtf8(utf8)); }

class CsvExport : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        StartMain();
        ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    }
    void TearDown() override {
        gui::SetSaveDialogHook(nullptr);
        AppTest::TearDown();
    }
    // Answers the save dialog with a name and a filter; counts the questions.
    void Answer(const std::string& name, int filter = 1) {
        gui::SetSaveDialogHook([this, name, filter](gui::TSaveDialog& d) {
            ++asked;
            filters = d.Descriptions();
            d.FileName = QString::fromStdString(name);
            d.FilterIndex = filter;
            return true;
        });
    }
    // Runs Python's csv module over the file (code page 932) and answers its rows,
    // fields separated by U+241F and rows ended by a line feed, in UTF-8.
    std::string PythonRows(const std::string& path) {
        const std::string script = dir.file("read.py");
        std::ofstream(script) << "import csv, sys\n"
                                 "with open(sys.argv[1], encoding='cp932', newline='') as f:\n"
                                 "    for row in csv.reader(f):\n"
                                 "        sys.stdout.buffer.write(('\\u241f'.join(row) + '\\n').encode('utf-8'))\n";
        std::string out;
        FILE* p = popen(("python3 " + script + " " + path).c_str(), "r");
        if (!p) return "popen failed";
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) out.append(buffer, n);
        pclose(p);
        return out;
    }
    // Puts the table and the list on the employee and deletes it through the list, as
    // the user does, or through another session, as another desk does.
    void Delete(int code, bool elsewhere) {
        answer = gui::mrYes;
        ASSERT_TRUE(DMdata->Tstaff->Locate("StaffCD", kura::TVariant(int32_t(code)), 0));
        Fmain->SaisinBTNClick();
        ASSERT_TRUE(Fmain->Qstaff->Locate("StaffCD", kura::TVariant(int32_t(code)), 0));
        if (!elsewhere) return Click(Fmain, "STAFFdelBTN"), messages.clear();
        kura::TKuraTable other;
        other.SetDatabaseName(dir.file("DB"));
        other.SetTableName("Staff");
        other.Open();
        ASSERT_TRUE(other.Locate("StaffCD", kura::TVariant(int32_t(code)), 0));
        other.Delete();
    }
    // What the export f runs failed with; "" when it finished.
    static std::string Failure(const std::function<void()>& f) {
        try {
            f();
        } catch (const ECsvExportError& e) {
            return e.what();
        }
        return "";
    }
    int ListCode() { return Fmain->Qstaff->FieldByName("StaffCD")->AsInteger(); }
    int asked = 0;
    QStringList filters;
};

std::string StaffHeader() {
    std::string line;
    for (const TColumnSpec& c : StaffSpec().Columns) line += (line.empty() ? "" : ",") + c.Name;
    return line;
}

TEST_F(CsvExport, StaffFileHasTheHeaderAndOneLinePerEmployeeInCodeOrder) {
    AddEmployees(SampleStaff());
    kura::TKuraTable& t = *DMdata->Tstaff;
    // One employee with a memo of two lines, and a picture holding commas and line ends.
    ASSERT_TRUE(t.Locate("StaffCD", kura::TVariant(int32_t(3)), 0));
    t.Edit();
    t.FieldByName("Biko")->SetAsUtf8("一行目\r\n二行目");
    static_cast<kura::TBlobField*>(t.FieldByName("Photo"))->SetAsBytes(std::string("BM,\r\n\"\0\xff", 8));
    t.FieldByName("Seibetu")->SetAsUtf8("男");
    t.Post();
    ASSERT_TRUE(t.Locate("StaffCD", kura::TVariant(int32_t(5)), 0));
    const std::string path = dir.file("staff.csv");
    Answer(path);
    Fmain->PCP2->trigger();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(filters, (QStringList{QString::fromUtf8("ﾃｷｽﾄﾌｧｲﾙ(*.CSV)"), QString::fromUtf8("すべてのﾌｧｲﾙ(*.*)")}));
    EXPECT_EQ(t.FieldByName("StaffCD")->AsInteger(), 5);  // the table stays where it was
    EXPECT_FALSE(t.ControlsDisabled());

    const std::string text = Read(path);
    ASSERT_EQ(text.substr(0, StaffHeader().size() + 2), StaffHeader() + "\r\n");
    // Employee 3: code, name, kana, no former name, sex, birth date, ..., rent, picture
    // empty, memo with its line break, job description and pension numbers empty.
    // Employee 3, field by field: every text and date quoted (null ones as ""), the
    // numbers bare (a null one empty), the picture empty, the memo with its line break.
    std::vector<std::string> fields(StaffSpec().Columns.size(), "\"\"");
    auto set = [&](const char* name, const std::string& value) {
        for (std::size_t c = 0; c < fields.size(); ++c)
            if (StaffSpec().Columns[c].Name == name) fields[c] = value;
    };
    set("StaffCD", "3");
    set("Simei", "\"" + Sjis("山田太郎") + "\"");
    set("Furigana", "\"" + Sjis("やまだたろう") + "\"");
    set("Seibetu", "\"" + Sjis("男") + "\"");
    set("SeinenYMD", "\"1970/04/01\"");
    set("Bu", "\"" + Sjis("営業部") + "\"");
    set("Yatin", "45000");
    set("JyutakuTeate", "");
    set("Biko", "\"" + Sjis("一行目") + "\r\n" + Sjis("二行目") + "\"");
    std::string three;
    for (const std::string& f : fields) three += (three.empty() ? "" : ",") + f;
    const std::size_t at = text.find("\r\n3,");
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(text.substr(at + 2, three.size() + 2), three + "\r\n");
    // Lines begin with the codes in key order; the file ends with CR LF.
    std::vector<std::string> starts;
    for (std::size_t p = text.find("\r\n"); p + 2 < text.size(); p = text.find("\r\n", p + 2))
        if (std::isdigit(static_cast<unsigned char>(text[p + 2]))) starts.push_back(text.substr(p + 2, 2));
    EXPECT_EQ(starts, (std::vector<std::string>{"1,", "2,", "3,", "4,", "5,", "7,"}));
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(text.find("BM,"), std::string::npos);  // no picture bytes anywhere
}

TEST_F(CsvExport, PythonsCsvModuleReadsTheStaffFileBackToTheSameValues) {
    AddEmployees(SampleStaff());
    const std::string path = dir.file("staff");
    Answer(path);  // the first filter adds the extension
    Fmain->PCP2Click();
    ASSERT_TRUE(fs::exists(path + ".csv"));
    const std::string rows = PythonRows(path + ".csv");
    const std::string sep = "\u241f";
    auto row = [&](const Employee& e) {
        std::string line = std::to_string(e.code) + sep + e.name + sep + e.kana + sep + sep + sep +
                           std::to_string(e.birthYear) + "/04/01";
        std::vector<std::string> rest(StaffSpec().Columns.size() - 6);
        rest[23 - 6] = e.bu.value_or("");  // Bu
        if (e.retiredYear) rest[39 - 6] = std::to_string(*e.retiredYear) + "/03/31";
        if (e.rent) rest[42 - 6] = std::to_string(*e.rent);
        for (const std::string& v : rest) line += sep + v;
        return line + "\n";
    };
    std::string expected;
    std::string h;
    for (const TColumnSpec& c : StaffSpec().Columns) h += (h.empty() ? "" : sep) + c.Name;
    expected = h + "\n";
    auto staff = SampleStaff();
    std::sort(staff.begin(), staff.end(), [](const Employee& a, const Employee& b) { return a.code < b.code; });
    for (const Employee& e : staff) expected += row(e);
    EXPECT_EQ(rows, expected);
}

TEST_F(CsvExport, HistoryIsWrittenInCodeAndDateOrder) {
    kura::TKuraTable& g = *DMdata->Tgakureki;
    const struct {
        int code;
        int year;
        const char* text;
    } entries[] = {{2, 2001, "入社"}, {1, 1999, "○○大学 卒業"}, {2, 1995, "高校卒業"}, {1, 1995, "入学"}};
    for (const auto& e : entries) {
        g.Append();
        g.FieldByName("StaffCD")->SetAsInteger(e.code);
        g.FieldByName("YMD")->SetAsDateTime(EncodeDate(e.year, 4, 1));
        g.FieldByName("NAIYO")->SetAsUtf8(e.text);
        g.Post();
    }
    const std::string path = dir.file("rireki.txt");
    Answer(path);
    Fmain->A1->trigger();
    EXPECT_EQ(Read(path), "StaffCD,YMD,NAIYO\r\n"
                          "1,\"1995/04/01\",\"" + Sjis("入学") + "\"\r\n"
                          "1,\"1999/04/01\",\"" + Sjis("○○大学 卒業") + "\"\r\n"
                          "2,\"1995/04/01\",\"" + Sjis("高校卒業") + "\"\r\n"
                          "2,\"2001/04/01\",\"" + Sjis("入社") + "\"\r\n");
    EXPECT_EQ(PythonRows(path), "StaffCD\u241fYMD\u241fNAIYO\n1\u241f1995/04/01\u241f入学\n"
                                "1\u241f1999/04/01\u241f○○大学 卒業\n2\u241f1995/04/01\u241f高校卒業\n"
                                "2\u241f2001/04/01\u241f入社\n");
}

TEST_F(CsvExport, EmptyTableGivesTheHeaderLineOnlyAndCancelWritesNothing) {
    const std::string path = dir.file("empty.csv");
    Answer(path);
    Fmain->A1Click();
    EXPECT_EQ(Read(path), "StaffCD,YMD,NAIYO\r\n");
    gui::SetSaveDialogHook([this](gui::TSaveDialog&) {
        ++asked;
        return false;
    });
    Fmain->PCP2Click();
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(fs::exists(dir.file("staff.csv")));
}

TEST_F(CsvExport, QuotesInsideTextAreWrittenAsTheyAre) {
    AddEmployee({9, "\"X\", Y", "z", std::nullopt, 1990, std::nullopt, std::nullopt});
    ASSERT_TRUE(DMdata->Tstaff->Locate("StaffCD", kura::TVariant(int32_t(9)), 0));
    EXPECT_EQ(CsvLine(*DMdata->Tstaff).substr(0, 16), "9,\"\"X\", Y\",\"z\",\"");
}

// The employee the table was on is deleted, from the list or by another desk: the
// export, finished (the file without it) or failed, goes back to the nearest employee,
// saying nothing; so does the list, which still shows an employee deleted elsewhere.
TEST_F(CsvExport, AfterTheCurrentEmployeeIsDeletedTheExportGoesBackToTheNearest) {
    AddEmployees(SampleStaff());
    kura::TKuraTable& t = *DMdata->Tstaff;
    const std::string path = dir.file("after.csv");
    const std::tuple<int, int, bool, bool> rows[] = {  // deleted, nearest, by another desk, the export fails
        {3, 4, false, false}, {7, 5, false, false}, {1, 2, false, false}, {4, 5, true, false}, {5, 2, true, true}};
    for (const auto& [deleted, nearest, elsewhere, fails] : rows) {
        SCOPED_TRACE(deleted);
        Delete(deleted, elsewhere);
        const int list = elsewhere ? nearest : ListCode();
        Answer(fails ? dir.file("no/such/folder.csv") : path);
        fs::remove(path);
        const std::string error = Failure([&] { Fmain->PCP2Click(); }), text = Read(path);
        EXPECT_EQ(error.find("(フォルダがありません)") != std::string::npos, fails) << error;
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        EXPECT_EQ(text.find("\r\n" + std::to_string(deleted) + ","), std::string::npos);
        EXPECT_EQ(text.find("\r\n" + std::to_string(nearest) + ",") != std::string::npos, !fails);
        EXPECT_EQ(t.FieldByName("StaffCD")->AsInteger(), nearest);
        EXPECT_EQ(ListCode(), list);
        EXPECT_FALSE(t.ControlsDisabled());
    }
}

TEST(CsvFileNames, TheFirstFilterAddsCsvOnlyToANameWithoutExtension) {
    const struct {
        const char* chosen;
        int filter;
        const char* used;
    } cases[] = {{"/d/staff", 1, "/d/staff.csv"},     {"/d/staff.txt", 1, "/d/staff.txt"},
                 {"/d/staff.CSV", 1, "/d/staff.CSV"}, {"/d.x/staff", 1, "/d.x/staff.csv"},
                 {"/d/staff", 2, "/d/staff"},         {"/d/staff.txt", 2, "/d/staff.txt"},
                 {"staff", 1, "staff.csv"}};
    for (const auto& c : cases) EXPECT_EQ(CsvFileName(c.chosen, c.filter), c.used) << c.chosen;
}

TEST_F(CsvExport, AFailedWriteRemovesThePartialFileAndGivesTheControlsBack) {
    std::vector<Employee> many;
    for (int i = 0; i < 300; ++i) many.push_back({i + 1, "社員" + std::to_string(i), "しゃいん", "営業部", 1980, {}, i});
    AddEmployees(many);
    kura::TKuraTable& t = *DMdata->Tstaff;
    const std::string path = dir.file("full.csv");
    // The file system refuses to let the file grow past 4 KiB, long before the export
    // reaches the employee the table was on; deleted meanwhile, here or by another
    // desk, it goes back to the next one as a whole export does, or the last. The
    // cause is said in Japanese.
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit small{4096, old.rlim_max};
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    const std::tuple<int, int, bool> rows[] = {{42, 42, false}, {200, 201, false}, {300, 299, false}, {150, 151, true}};
    for (const auto& [on, back, elsewhere] : rows) {
        SCOPED_TRACE(on);
        if (back != on) Delete(on, elsewhere);
        else ASSERT_TRUE(t.Locate("StaffCD", kura::TVariant(int32_t(on)), 0));
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const std::string error = Failure([&] { ExportCsv(t, path); });
        setrlimit(RLIMIT_FSIZE, &old);
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find("(ファイルが大きすぎます)\n書きかけのファイルは削除しました"), std::string::npos) << error;
        EXPECT_FALSE(fs::exists(path));
        EXPECT_FALSE(t.ControlsDisabled());
        EXPECT_EQ(t.FieldByName("StaffCD")->AsInteger(), back);
    }
    signal(SIGXFSZ, oldHandler);
    // The export works again once the file can grow.
    EXPECT_EQ(ExportCsv(t, path), 297);
}

TEST_F(CsvExport, AFileThatCannotBeMadeIsReportedAndNothingThereIsRemoved) {
    AddEmployees(SampleStaff());
    kura::TKuraTable& t = *DMdata->Tstaff;
    EXPECT_THROW(ExportCsv(t, dir.file("no/such/folder/x.csv")), ECsvExportError);
    EXPECT_FALSE(t.ControlsDisabled());
    // A name that is a folder: refused, and the folder and what it holds stay.
    const std::string folder = dir.file("folder.csv");
    fs::create_directory(folder);
    std::ofstream(folder + "/inside") << "keep";
    EXPECT_THROW(ExportCsv(t, folder), ECsvExportError);
    EXPECT_EQ(Read(folder + "/inside"), "keep");
    EXPECT_FALSE(t.ControlsDisabled());
    // Through the menu the failure goes on to the application's message.
    Answer(folder);
    EXPECT_THROW(Fmain->PCP2Click(), ECsvExportError);
    EXPECT_TRUE(fs::is_directory(folder));
}

}  // namespace
}  // namespace app::test

// The worker register printed to PDF and previewed for chosen employees: one page each
// in code order, each with its own particulars and history; the era dates.
#include <QAction>
#include <QCoreApplication>
#include <QLineEdit>
#include <chrono>
#include <functional>
#include <tuple>

#include "app/DateFormat.h"
#include "app/DateText.h"
#include "app/LRstaffSheet.h"
#include "components/KuraQuery.h"
#include "components/KuraTable.h"
#include "platform/CodePage.h"
#include "platform/dataset/Field.h"
#include "platform/print/Printer.h"
#include "tests/app/AppTestSupport.h"
#include "tests/report/ReportTestSupport.h"

namespace app::test {
namespace {

std::string Sjis(const char* utf8) { return platform::Utf8ToCp932(utf8); }

bool PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done() && std::chrono::steady_clock::now() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

TEST(DateFormat, WesternAndEraFormsOfADate) {
    struct Case {
        int y, m, d;
        const char* format;
        const char* expected;
    } cases[] = {
        {1980, 4, 1, "yyyy(gee)/m/d 生", "1980(昭55)/4/1 生"},
        {1989, 1, 7, "yyyy(gee)/m/d", "1989(昭64)/1/7"},
        {1989, 1, 8, "yyyy(gee)/m/d", "1989(平01)/1/8"},
        {2019, 4, 30, "gg e", "平成 31"},
        {2019, 5, 1, "yyyy(gee)'年'm'月'd'日'", "2019(令01)年5月1日"},
        {1912, 7, 30, "gge", "大正1"},
        {1850, 1, 2, "yyyy(gee)/mm/dd", "1850()/01/02"},
    };
    for (const Case& c : cases) EXPECT_EQ(FormatDateTime(c.format, EncodeDate(c.y, c.m, c.d)), c.expected) << c.expected;
    EXPECT_EQ(FormatDateTime("yyyy/m/d h:nn", EncodeDate(2026, 12, 7) + (9 * 60 + 5) / 1440.0), "2026/12/7 9:05");
}

class StaffSheet : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        StartMain();
        report::TBaseLRep::MessageHandler = [this](const std::string& text) { reportMessages.push_back(text); };
        AddStaff(3, "三田 花子", "みた はなこ", 1980, "");
        AddStaff(1, "一色 太郎", "いっしき たろう", 0, "庶務\r\n経理");
        AddStaff(2, "二宮 次郎", "にのみや じろう", 1990, "");
        kura::TKuraTable& g = *DMdata->Tgakureki;
        g.Open();
        for (auto [code, year, text] : {std::tuple{1, 2001, "東西高校卒業"}, {1, 2005, "南北大学卒業"}, {3, 1999, "北高校卒業"}}) {
            g.Append();
            g.FieldByName("StaffCD")->SetAsInteger(code);
            g.FieldByName("YMD")->SetAsDateTime(EncodeDate(year, 3, 31));
            g.FieldByName("NAIYO")->SetAsString(Sjis(text));
            g.Post();
        }
    }
    void TearDown() override {
        report::TBaseLRep::MessageHandler = nullptr;
        AppTest::TearDown();
    }
    void AddStaff(int code, const char* name, const char* kana, int birthYear, const char* duties) {
        kura::TKuraTable& t = *DMdata->Tstaff;
        t.Open();
        t.Append();
        t.FieldByName("StaffCD")->SetAsInteger(code);
        t.FieldByName("Simei")->SetAsString(Sjis(name));
        t.FieldByName("Furigana")->SetAsString(Sjis(kana));
        if (birthYear) t.FieldByName("SeinenYMD")->SetAsDateTime(EncodeDate(birthYear, 4, 1));
        if (*duties) t.FieldByName("GyomuNaiyo")->SetAsString(Sjis(duties));
        t.Post();
    }
    // The sheet for the employees chosen, as the main window sets it up.
    std::unique_ptr<TLRstaffSheet> Sheet(const std::string& codes) {
        auto sheet = std::make_unique<TLRstaffSheet>();
        sheet->Qstaff->SetSQL("SELECT * FROM STAFF WHERE StaffCD IN (" + codes + ") ORDER BY StaffCD");
        sheet->Qstaff->Open();
        return sheet;
    }
    std::vector<std::string> reportMessages;
};

TEST_F(StaffSheet, TwoChosenEmployeesPrintTwoPagesInCodeOrderWithTheirOwnHistory) {
    auto sheet = Sheet("3, 1");
    sheet->FormShow();
    const std::string pdf = dir.file("sheet.pdf");
    platform::TPrinter printer;
    printer.SetOutputFileName(pdf);
    printer.SetResolution(300);
    sheet->LightRep1->SetPrinter(&printer);
    sheet->findChild<QAction*>("ActPrint")->trigger();
    QCoreApplication::processEvents();
    ASSERT_TRUE(reportMessages.empty()) << reportMessages.front();
    EXPECT_EQ(report_test::PdfInfo(pdf, "Pages"), "2");
    EXPECT_EQ(report_test::PdfInfo(pdf, "Page size"), "595 x 842 pts (A4)");
    auto page = [&](int n) {
        return report_test::RunCommand("pdftotext -f " + std::to_string(n) + " -l " + std::to_string(n) + " '" + pdf +
                                       "' - 2>/dev/null");
    };
    const std::string first = page(1), second = page(2);
    for (const std::string& text : {first, second}) EXPECT_NE(text.find("労 働 者 名 簿"), std::string::npos) << text;
    EXPECT_NE(first.find("一色 太郎"), std::string::npos) << first;
    EXPECT_NE(first.find("南北大学卒業"), std::string::npos);
    EXPECT_NE(first.find("経理"), std::string::npos);
    EXPECT_EQ(first.find("北高校卒業"), std::string::npos);
    EXPECT_NE(second.find("三田 花子"), std::string::npos) << second;
    EXPECT_NE(second.find("1980(昭55)/4/1 生"), std::string::npos);
    EXPECT_NE(second.find("1999(平11)年3月31日"), std::string::npos);
    EXPECT_EQ(second.find("南北大学卒業"), std::string::npos);
    EXPECT_EQ(second.find("経理"), std::string::npos);
    // Employee 1 has no birth date: the cell is empty, not a date of 1899.
    EXPECT_EQ(first.find("1899"), std::string::npos);
}

TEST_F(StaffSheet, ThePreviewShowsOnePagePerEmployee) {
    auto sheet = Sheet("1, 2");
    sheet->FormShow();
    ASSERT_TRUE(PumpUntil([&] { return !sheet->ThreadRunning(); }));
    EXPECT_TRUE(reportMessages.empty());
    EXPECT_EQ(sheet->LRPreviewControl1.GetPageCount(), 2);
    EXPECT_EQ(sheet->findChild<QLineEdit*>("Memo1")->text(), "1/2");
    // The last page filled was employee 2, who has no history rows.
    EXPECT_EQ(sheet->Item("Simei")->Text, Sjis("二宮 次郎"));
    EXPECT_EQ(sheet->VText1->Text, "");
    EXPECT_EQ(sheet->Item("SeinenYMD")->Text, Sjis("1990(平02)/4/1 生"));
    sheet->close();
}

}  // namespace
}  // namespace app::test

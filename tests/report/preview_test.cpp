// The preview: sheets in the page file, navigation and zoom through the form's actions,
// page range fields, and the preview thread against the window's lifetime.
#include <QAction>
#include <QLineEdit>
#include <QToolButton>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>

#include "tests/report/SampleReport.h"

using namespace report;
using namespace report_test;
namespace fs = std::filesystem;

namespace {

void Pump(int milliseconds) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool PumpUntil(const std::function<bool()>& done, int timeoutMs = 60000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct PreviewTest : ReportTest {
    static void Trigger(QWidget& form, const char* action) {
        QAction* a = form.findChild<QAction*>(action);
        ASSERT_NE(a, nullptr) << action;
        a->trigger();
    }
    static bool Enabled(QWidget& form, const char* action) { return form.findChild<QAction*>(action)->isEnabled(); }
    static QString Label(QWidget& form) { return form.findChild<QLineEdit*>("Memo1")->text(); }
    static std::vector<fs::path> PageFiles(const std::string& dir) {
        std::vector<fs::path> files;
        for (const auto& e : fs::directory_iterator(dir))
            if (e.path().filename().string().rfind("vLR", 0) == 0) files.push_back(e.path());
        return files;
    }
};

TEST_F(PreviewTest, NavigationByObjectNames) {
    SampleReport report(5);
    report.ShowPreview();
    EXPECT_EQ(Label(report), "1/1");
    EXPECT_TRUE(report.ThreadRunning());
    EXPECT_TRUE(Enabled(report, "ActSuspend"));
    EXPECT_FALSE(Enabled(report, "ActPriorPage"));
    report.findChild<QToolButton*>("SpeedButton1")->click();  // ">" renders sheet 2 at once
    EXPECT_EQ(Label(report), "2/2");
    ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), 5);
    EXPECT_EQ(Label(report), "2/5");
    EXPECT_FALSE(Enabled(report, "ActSuspend"));
    Trigger(report, "ActLastPage");
    EXPECT_EQ(Label(report), "5/5");
    EXPECT_FALSE(Enabled(report, "ActNextPage"));  // data ended and the last sheet shown
    EXPECT_TRUE(Enabled(report, "ActPriorPage"));
    Trigger(report, "ActPriorPage");
    EXPECT_EQ(Label(report), "4/5");
    EXPECT_TRUE(Enabled(report, "ActNextPage"));
    report.findChild<QToolButton*>("SpeedButton4")->click();
    EXPECT_EQ(Label(report), "1/5");
    // The image shows the stored sheet, read back from the page file.
    const QImage shown = report.Image()->Picture();
    EXPECT_EQ(shown.size(), QSize(794, 1123));
    EXPECT_EQ(shown.convertToFormat(QImage::Format_RGB32), report.LRPreviewControl1.ReadSheet(0).convertToFormat(QImage::Format_RGB32));
    EXPECT_NE(report.LRPreviewControl1.ReadSheet(0), report.LRPreviewControl1.ReadSheet(1));
    EXPECT_TRUE(messages.empty());
}

TEST_F(PreviewTest, ReducedPreviewsComposeSheetsAndMarkTheirPages) {
    SampleReport report(10);
    report.show();
    Trigger(report, "Act50");
    ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), 3);  // 4, 4 and 2 pages
    report.LRPreviewControl1.GotoMarkedPage(5);
    EXPECT_EQ(report.LRPreviewControl1.GetPageNumber(), 2);
    report.LRPreviewControl1.GotoMarkedPage(10);
    EXPECT_EQ(report.LRPreviewControl1.GetPageNumber(), 3);

    report.data.SetCount(16);
    Trigger(report, "Act25");
    ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), 1);
    for (int n = 1; n <= 16; ++n) {
        report.LRPreviewControl1.GotoMarkedPage(n);
        EXPECT_EQ(report.LRPreviewControl1.GetPageNumber(), 1);
    }
    report.data.SetCount(3);
    Trigger(report, "Act80");
    ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), 3);
    EXPECT_EQ(report.Zoom(), 80);
}

TEST_F(PreviewTest, OutOfRangeSheetsOnlyBeep) {
    SampleReport report(3);
    int beeps = 0;
    report.LRPreviewControl1.OnBeep = [&] { ++beeps; };
    report.ShowPreview();
    ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
    report.LRPreviewControl1.GotoPage(2);
    report.LRPreviewControl1.GotoPage(0);
    report.LRPreviewControl1.GotoPage(4);
    report.LRPreviewControl1.GotoMarkedPage(0);
    report.LRPreviewControl1.GotoMarkedPage(4);
    EXPECT_EQ(beeps, 4);
    EXPECT_EQ(report.LRPreviewControl1.GetPageNumber(), 2);
    EXPECT_FALSE(report.LRPreviewControl1.NextStoredPage() && report.LRPreviewControl1.NextStoredPage());
}

TEST_F(PreviewTest, NoDataOrNoDataSetShowsItsMessage) {
    SampleReport report(0);
    report.ShowPreview();
    EXPECT_EQ(messages, std::vector<std::string>{"印刷対象データがありません．"});
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), 0);
    EXPECT_FALSE(report.ThreadRunning());
    report.QuietNoData = true;
    report.ShowPreview();
    EXPECT_EQ(messages.size(), 1u);
    report.dsMast.DataSet = nullptr;
    report.ShowPreview();
    EXPECT_EQ(messages.back(), "dsMast.DataSet にデータセットを指定してください．");
    report.data.filtered_ = true;  // a filtered set that finds nothing
    report.dsMast.DataSet = &report.data;
    report.QuietNoData = false;
    report.ShowPreview();
    EXPECT_EQ(messages.back(), "印刷対象データがありません．");
    EXPECT_TRUE(report.ReportEnded());
    // The end of one run is not carried into the next.
    report.data.filtered_ = false;
    report.data.SetCount(1);
    const size_t shown = messages.size();
    report.ShowPreview();
    EXPECT_EQ(messages.size(), shown);
    EXPECT_FALSE(report.ReportEnded());
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), 1);
}

// The page file holds nothing but whole RLE-compressed BMP files, one per sheet.
TEST_F(PreviewTest, PageFileIsAChainOfRleBitmaps) {
    std::string firstFile;
    {
        SampleReport report(4);
        report.ShowPreview();
        ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
        firstFile = report.LRPreviewControl1.FileName();
        EXPECT_EQ(fs::path(firstFile).parent_path(), fs::path(dir));
        EXPECT_EQ(fs::path(firstFile).filename().string().substr(0, 3), "vLR");
        std::ifstream in(firstFile, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        auto u32 = [&](size_t at) {
            return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) |
                   static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 8 |
                   static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 16 |
                   static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 3])) << 24;
        };
        size_t at = 0;
        int sheets = 0;
        while (at < bytes.size()) {
            ASSERT_EQ(bytes.substr(at, 2), "BM");
            EXPECT_EQ(u32(at + 14 + 16), 1u);  // biCompression BI_RLE8
            EXPECT_EQ(u32(at + 14 + 4), 794u);
            at += u32(at + 2);
            ++sheets;
        }
        EXPECT_EQ(at, bytes.size());
        EXPECT_EQ(sheets, 4);
        EXPECT_LT(bytes.size(), 4u * 794 * 1123 / 4);  // compressed well below the raw 8 bits

        report.ShowPreview();  // a second start replaces the file
        EXPECT_FALSE(fs::exists(firstFile) && report.LRPreviewControl1.FileName() != firstFile);
        EXPECT_EQ(PageFiles(dir).size(), 1u);
    }
    EXPECT_TRUE(PageFiles(dir).empty());  // deleted with the form
}

// Two previews at once never share a page file, and a file someone else left under the
// first name is neither reused nor deleted.
TEST_F(PreviewTest, PreviewsNeverShareAPageFile) {
    {
        std::ofstream other(dir + "/vLR1.tmp");
        other << "another program's pages";
    }
    SampleReport a(2), b(2);
    a.ShowPreview();
    b.ShowPreview();
    const std::string fa = a.LRPreviewControl1.FileName(), fb = b.LRPreviewControl1.FileName();
    EXPECT_NE(fa, fb);
    EXPECT_NE(fs::path(fa).filename(), "vLR1.tmp");
    EXPECT_NE(fs::path(fb).filename(), "vLR1.tmp");
    ASSERT_TRUE(PumpUntil([&] { return !a.ThreadRunning() && !b.ThreadRunning(); }));
    EXPECT_EQ(a.LRPreviewControl1.GetPageCount(), 2);
    EXPECT_EQ(b.LRPreviewControl1.GetPageCount(), 2);
    std::ifstream other(dir + "/vLR1.tmp");
    std::string text;
    std::getline(other, text);
    EXPECT_EQ(text, "another program's pages");
}

TEST_F(PreviewTest, RangeFieldsSetThePageRange) {
    SampleReport report(5);
    report.ShowPreview();
    ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
    auto* edit1 = report.findChild<QLineEdit*>("Edit1");
    auto* edit2 = report.findChild<QLineEdit*>("Edit2");
    edit1->setText("2");
    edit1->setModified(true);
    edit2->setText(" 3");
    edit2->setModified(true);
    report.RestoreActiveControl();
    EXPECT_EQ(report.LightRep1->FirstPage, 2);
    EXPECT_EQ(report.LightRep1->LastPage, 3);
    EXPECT_EQ(edit2->text(), "3");
    EXPECT_EQ(Label(report), "3/5");  // moved to the sheet of report page 3
    edit2->setText("0");
    edit2->setModified(true);
    report.RestoreActiveControl();
    EXPECT_EQ(edit2->text(), "");
    EXPECT_EQ(report.LightRep1->LastPage, 0);
    edit1->setText("abc");
    edit1->setModified(true);
    report.RunGuarded([&] { report.RestoreActiveControl(); });
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "'abc' is not a valid integer value");
    EXPECT_EQ(report.LightRep1->FirstPage, 2);
}

TEST_F(PreviewTest, SuspendStopsThePacingUntilResumed) {
    SampleReport report(40);
    report.ShowPreview();
    Trigger(report, "ActSuspend");  // pause
    Pump(100);
    const int paused = report.LRPreviewControl1.GetPageCount();
    Pump(200);
    // A page the thread had asked for as it was paused may still come.
    EXPECT_LE(report.LRPreviewControl1.GetPageCount() - paused, 1);
    EXPECT_LT(paused, 40);
    Trigger(report, "ActSuspend");  // resume
    ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), 40);
}

// Freeing or closing a window whose preview thread is mid-way neither hangs nor touches
// freed objects (the sanitizers watch), in any state of the thread.
TEST_F(PreviewTest, WindowsGoAwayWhileTheirThreadRuns) {
    std::mt19937 random(20261207);
    for (int round = 0; round < 12; ++round) {
        auto report = std::make_unique<SampleReport>(500);
        report->ShowPreview();
        Pump(static_cast<int>(random() % 40));
        ASSERT_TRUE(report->ThreadRunning());
        ASSERT_LT(report->LRPreviewControl1.GetPageCount(), 500);
        switch (round % 3) {
        case 0:
            break;  // freed while running
        case 1: {
            Trigger(*report, "ActSuspend");  // freed while suspended
            break;
        }
        case 2: {
            report->close();  // the user closes it mid-way: no sheet is drawn after that
            EXPECT_FALSE(report->ThreadRunning());
            const int sheets = report->LRPreviewControl1.GetPageCount();
            Pump(50);
            EXPECT_EQ(report->LRPreviewControl1.GetPageCount(), sheets);
            break;
        }
        }
        report.reset();
        Pump(static_cast<int>(random() % 20));  // queued calls of the dead thread run into nothing
    }
}

// A page that fails while the thread draws it ends the preview with the page's message.
TEST_F(PreviewTest, AFailureInTheBackgroundEndsThePreviewWithItsMessage) {
    SampleReport report(10);
    report.Grid->BeforePrint = [&](TControl*, const TRect&, TPrintStatus&) {
        if (report.data.Row() == 3) throw ELRError("broken page");
    };
    report.ShowPreview();
    ASSERT_TRUE(PumpUntil([&] { return !report.ThreadRunning(); }));
    EXPECT_EQ(messages, std::vector<std::string>{"broken page"});
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), 3);
    EXPECT_FALSE(report.findChild<QAction*>("ActSuspend")->isEnabled());
}

TEST_F(PreviewTest, PaginationCountsThePagesAndSurvivesAFailure) {
    SampleReport report(7);
    report.findChild<QAction*>("ActPaginate")->trigger();
    EXPECT_EQ(report.LightRep1->PageCount, 7);
    EXPECT_EQ(report.LightRep1->GetStatus(), 0);
    report.Footer->BeforePrint = [&](TControl*, const TRect&, TPrintStatus&) {
        if (report.data.Row() == 2) throw ELRError("broken page");
    };
    report.PaginateFirst = true;
    report.ShowPreview();
    EXPECT_EQ(messages, std::vector<std::string>{"broken page"});
    EXPECT_EQ(report.LightRep1->GetStatus(), 0);  // the count ended with the failure
    EXPECT_EQ(report.LightRep1->PageCount, 3);  // two pages and the one that failed
}

// Printing stops the preview thread for good before it positions the data.
TEST_F(PreviewTest, PrintingStopsThePreviewThreadFirst) {
    SampleReport report(200);
    report.ShowPreview();
    Pump(20);
    report.LightRep1->FirstPage = 1;
    report.LightRep1->LastPage = 1;
    platform::TPrinter printer;
    printer.SetOutputFileName(dir + "/out.pdf");
    printer.SetResolution(96);
    report.LightRep1->SetPrinter(&printer);
    report.QuietPrint = true;
    Trigger(report, "ActPrint");
    EXPECT_FALSE(report.ThreadRunning());
    const int sheets = report.LRPreviewControl1.GetPageCount();
    Pump(50);
    EXPECT_EQ(report.LRPreviewControl1.GetPageCount(), sheets);
    EXPECT_TRUE(fs::exists(dir + "/out.pdf"));
}

}  // namespace

// The sample report printed to PDF at 600 dpi and checked with poppler: page count and
// paper, exactly the pages of a range, ruled lines where half-to-even rounding puts
// them, and text where the preview shows it.
#include <QAction>
#include <QLineEdit>

#include <gtest/gtest.h>

#include <filesystem>

#include "report/PrintMsg.h"
#include "tests/report/SampleReport.h"

using namespace report;
using namespace report_test;
namespace fs = std::filesystem;

namespace {

constexpr int kDpi = 600;
constexpr double kScale = kDpi / 96.0;

struct PrintTest : ReportTest {
    // Prints the report to a PDF through its ActPrint action.
    std::string Print(SampleReport& report, const std::string& name, double marginMm = 0) {
        const std::string pdf = dir + "/" + name + ".pdf";
        printer = std::make_unique<platform::TPrinter>();
        printer->SetOutputFileName(pdf);
        printer->SetResolution(kDpi);
        printer->SetUnprintableMargins(marginMm, marginMm);
        report.LightRep1->SetPrinter(printer.get());
        report.findChild<QAction*>("ActPrint")->trigger();
        QCoreApplication::processEvents();
        return pdf;
    }
    std::string PageText(const std::string& pdf, int page) {
        return RunCommand("pdftotext -layout -f " + std::to_string(page) + " -l " + std::to_string(page) + " '" +
                          pdf + "' - 2>/dev/null");
    }
    // A whole page rasterised at 600 dpi.
    QImage Raster(const std::string& pdf, int page) { return PdfRegion(pdf, page, kDpi, 0, 0, 4961, 7016); }

    std::unique_ptr<platform::TPrinter> printer;
};

TEST_F(PrintTest, PagesAndPaperOfTheJob) {
    SampleReport report(4);
    const std::string pdf = Print(report, "all");
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(PdfInfo(pdf, "Pages"), "4");
    EXPECT_EQ(PdfInfo(pdf, "Page size"), "595 x 842 pts (A4)");
    EXPECT_EQ(PdfInfo(pdf, "Title"), "Sample");
    for (int page = 1; page <= 4; ++page) {
        const std::string text = PageText(pdf, page);
        EXPECT_NE(text.find("- " + std::to_string(page) + " -"), std::string::npos) << text;
        EXPECT_NE(text.find("R" + std::to_string(page) + " C2,1"), std::string::npos);
        EXPECT_NE(text.find("R&D"), std::string::npos);
        EXPECT_EQ(text.find("XXXXXXXX"), std::string::npos);  // the child panel never prints
    }
    EXPECT_EQ(PrintMsg, nullptr);  // the box closed itself

    report.LightRep1->SetPaperSize(TPaperSize::psB5);
    report.LightRep1->SetOrientation(TPrinterOrientation::poLandscape);
    const std::string b5 = Print(report, "b5");
    EXPECT_EQ(PdfInfo(b5, "Pages"), "4");
    EXPECT_EQ(PdfInfo(b5, "Page size"), "729 x 516 pts");  // JIS B5 (182 x 257 mm), landscape
}

TEST_F(PrintTest, ARangePrintsExactlyThosePages) {
    SampleReport report(6);
    auto* edit1 = report.findChild<QLineEdit*>("Edit1");
    auto* edit2 = report.findChild<QLineEdit*>("Edit2");
    edit1->setText("3");
    edit1->setModified(true);
    edit2->setText("4");
    edit2->setModified(true);  // left pending: printing runs the field's exit first
    int before = 0;
    report.ActPageBeforePrint = [&] { ++before; };
    const std::string pdf = Print(report, "range");
    EXPECT_EQ(report.LightRep1->FirstPage, 3);
    EXPECT_EQ(PdfInfo(pdf, "Pages"), "2");
    EXPECT_NE(PageText(pdf, 1).find("- 3 -"), std::string::npos);
    EXPECT_NE(PageText(pdf, 2).find("- 4 -"), std::string::npos);
    EXPECT_EQ(before, 4);  // pages 1 and 2 consumed their data on the scratch bitmap; 5 ended the job
    EXPECT_EQ(report.data.Row(), 4);
}

TEST_F(PrintTest, AFailingPageEndsTheJobAndThePageCanPrintAgain) {
    SampleReport report(3);
    report.QuietPrint = true;
    bool fail = true;
    report.Grid->BeforePrint = [&](TControl*, const TRect&, TPrintStatus&) {
        if (fail && report.data.Row() == 1) throw ELRError("broken page");
    };
    Print(report, "failed");
    EXPECT_EQ(messages, std::vector<std::string>{"broken page"});
    EXPECT_EQ(report.LightRep1->GetStatus(), 0);
    fail = false;
    const std::string pdf = Print(report, "again");
    EXPECT_EQ(messages.size(), 1u);
    EXPECT_EQ(PdfInfo(pdf, "Pages"), "3");
}

// Design pixels scale by 6.25 and round half to even: the Code cell's corner (42, 130)
// lands on (262, 812), where rounding halves up would give (263, 813). Its single
// lines are 8 pixels wide and drawn 6 pixels outside the scaled rectangle.
TEST_F(PrintTest, RuledLinesLandWhereHalfToEvenRoundingPutsThem) {
    SampleReport report(1);
    const std::string pdf = Print(report, "lines");
    const TRect page = report.Code->BoundsRect();
    const TRect body = report.Body->GetPageRect();
    ASSERT_EQ(body.Left + page.Left, 42);
    ASSERT_EQ(body.Top + page.Top, 130);
    const QImage raster = PdfRegion(pdf, 1, kDpi, 200, 750, 1100, 250);
    ASSERT_FALSE(raster.isNull());
    const int left = 262 - 200, top = 812 - 750;
    // A column through the top line only, and a band of rows through the left line only.
    const Ink topLine = FindInk(raster, left + 100, 0, 50, top);
    EXPECT_EQ(topLine.top, top - 6 - 4);
    EXPECT_EQ(topLine.bottom, top - 6 + 4);
    const Ink leftLine = FindInk(raster, 0, top + 40, left, 40);
    EXPECT_EQ(leftLine.left, left - 6 - 4);
    EXPECT_EQ(leftLine.right, left - 6 + 4);
}

// The unprintable margin moves the drawing back by its size, so the paper looks the same.
TEST_F(PrintTest, PrinterOffsetsAreTakenOff) {
    SampleReport a(1), b(1);
    const std::string full = Print(a, "full");
    const std::string margin = Print(b, "margin", 5.0);
    EXPECT_NEAR(printer->GetDeviceCaps(platform::PHYSICALOFFSETX), 118, 1);  // 5 mm at 600 dpi
    const Ink x = FindInk(PdfRegion(full, 1, kDpi, 150, 700, 400, 300), 0, 0, 400, 300);
    const Ink y = FindInk(PdfRegion(margin, 1, kDpi, 150, 700, 400, 300), 0, 0, 400, 300);
    ASSERT_FALSE(x.Empty());
    EXPECT_NEAR(x.left, y.left, 1);
    EXPECT_NEAR(x.top, y.top, 1);
}

// Every text item starts where the preview shows it: the preview sheet scaled to the
// printer's resolution and the PDF page agree on the left and top of each text's ink
// within one preview pixel (6.25 printer pixels, the preview's own quantisation) plus one
// printer pixel of rounding.
TEST_F(PrintTest, TextSitsWhereThePreviewShowsIt) {
    SampleReport printed(2), previewed(2);
    const std::string pdf = Print(printed, "text");
    previewed.ShowPreview();
    ASSERT_EQ(previewed.LRPreviewControl1.GetPageCount(), 1);
    const QImage sheet = previewed.LRPreviewControl1.ReadSheet(0);
    const QImage raster = Raster(pdf, 1);
    ASSERT_NEAR(raster.width(), 4961, 3);  // the PDF page is A4 in whole points

    struct Probe {
        TControl* item;
        int inset;  // stays clear of the item's border lines
    };
    const Probe probes[] = {{printed.Ampersand, 0},  {printed.Name, 0},      {printed.Amount, 0},
                            {printed.PageLabel, 0},  {printed.Note, 0},      {printed.NestedItem, 0},
                            {printed.Title, 0},      {printed.Cell, 3}};
    for (const Probe& probe : probes) {
        TRect r = probe.item->BoundsRect();
        const auto* panel = dynamic_cast<TCustomLRPanel*>(probe.item->Parent());
        const TRect origin = panel->GetPageRect();
        r = platform::Bounds(origin.Left + r.Left + probe.inset, origin.Top + r.Top + probe.inset,
                             r.Width() - probe.inset - 2, r.Height() - probe.inset - 2);
        const Ink shown = FindInk(sheet, r.Left, r.Top, r.Width(), r.Height() - 3);
        const TRect s = ScaleRect(r, kScale);
        const Ink ink = FindInk(raster, s.Left, s.Top, s.Width(), s.Height() - 19);
        ASSERT_FALSE(shown.Empty()) << probe.item->Name;
        ASSERT_FALSE(ink.Empty()) << probe.item->Name;
        EXPECT_NEAR(ink.left, shown.left * kScale, kScale + 1) << probe.item->Name;
        EXPECT_NEAR(ink.top, shown.top * kScale, kScale + 1) << probe.item->Name;
    }
}

// Lines of running text advance by the font's height at the printer's resolution.
TEST_F(PrintTest, RunningTextLinesKeepTheirSpacingOnPaper) {
    SampleReport report(1);
    const std::string pdf = Print(report, "note");
    const TRect body = report.Body->GetPageRect();
    const TRect note = report.Note->BoundsRect();
    const TRect s = ScaleRect(platform::Bounds(body.Left + note.Left, body.Top + note.Top, note.Width(), note.Height()),
                              kScale);
    const QImage raster = PdfRegion(pdf, 1, kDpi, s.Left, s.Top, s.Width(), s.Height());
    // Start rows of the text lines: rows with ink after a blank row.
    std::vector<int> starts;
    bool blank = true;
    for (int y = 0; y < raster.height(); ++y) {
        const bool ink = !FindInk(raster, 0, y, raster.width(), 1).Empty();
        if (ink && blank) starts.push_back(y);
        blank = !ink;
    }
    ASSERT_GE(starts.size(), 3u);
    const double advance = (16 + 2) * kScale;  // font height plus leading, both scaled
    EXPECT_NEAR(starts[1] - starts[0], advance, kScale);
}

}  // namespace

namespace {

// Pages 1, 2, 5 and 6 of a 3..4 range consume their data on the scratch bitmap; two
// sheets come out and NewPage after page 4 ejects no blank one.
TEST_F(PrintTest, PagesOutsideTheRangeRenderOffPaper) {
    SampleReport report(6);
    platform::TPrinter pdfPrinter;
    const std::string pdf = dir + "/pages.pdf";
    pdfPrinter.SetOutputFileName(pdf);
    pdfPrinter.SetResolution(kDpi);
    report.LightRep1->SetPrinter(&pdfPrinter);
    report.LightRep1->FirstPage = 3;
    report.LightRep1->LastPage = 4;
    report.data.Open();
    report.LightRep1->BeginDoc();
    for (int page = 1; page <= 6; ++page) {
        report.LightRep1->PrintPage();
        EXPECT_EQ(report.LightRep1->GetPageNumber(), page);
        report.LightRep1->NewPage();
    }
    EXPECT_EQ(pdfPrinter.PageNumber(), 2);
    report.LightRep1->EndDoc();
    EXPECT_EQ(report.data.Row(), 6);
    EXPECT_EQ(PdfInfo(pdf, "Pages"), "2");
    EXPECT_NE(PageText(pdf, 1).find("- 3 -"), std::string::npos);
    EXPECT_NE(PageText(pdf, 2).find("- 4 -"), std::string::npos);
}

TEST_F(PrintTest, PaperSizeNoneLeavesThePaperToOnSetPrinter) {
    SampleReport report(1);
    int calls = 0;
    report.LightRep1->OnSetPrinter = [&](TLightRep* sender) {
        ++calls;
        EXPECT_EQ(sender, report.LightRep1);
    };
    report.LightRep1->SetPaperSize(TPaperSize::psNone);
    platform::TPrinter pdfPrinter;
    const std::string pdf = dir + "/none.pdf";
    pdfPrinter.SetOutputFileName(pdf);
    pdfPrinter.SetResolution(kDpi);
    pdfPrinter.SetDeviceMode(platform::TDeviceMode{11, 1});  // A5, chosen by the user
    report.LightRep1->SetPrinter(&pdfPrinter);
    report.QuietPrint = true;
    report.Print();
    EXPECT_EQ(calls, 1);
    EXPECT_NE(PdfInfo(pdf, "Page size").find("(A5)"), std::string::npos);
}

TEST_F(PrintTest, TheNowPrintingBoxStandsWhileTheJobRuns) {
    SampleReport report(2);
    std::vector<QString> titles;
    report.ActPageBeforePrint = [&] { titles.push_back(PrintMsg ? PrintMsg->windowTitle() : QString()); };
    Print(report, "box");
    EXPECT_EQ(titles, (std::vector<QString>{"Now Printing...", "Now Printing..."}));
    EXPECT_EQ(PrintMsg, nullptr);
    report.QuietPrint = true;
    titles.clear();
    Print(report, "quiet");
    EXPECT_EQ(titles, (std::vector<QString>{QString(), QString()}));
}

}  // namespace

namespace {

// Split jobs keep counting pages across jobs; a PDF file holds the last job.
TEST_F(PrintTest, SplitJobsContinueThePageNumbers) {
    SampleReport report(3);
    report.FirstJobPages = 2;
    std::vector<int> pages;
    report.ActPageAfterPrint = [&] { pages.push_back(report.LightRep1->GetPageNumber()); };
    const std::string pdf = Print(report, "split");
    EXPECT_EQ(pages, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(PdfInfo(pdf, "Pages"), "1");
    EXPECT_NE(PageText(pdf, 1).find("- 3 -"), std::string::npos);
}

}  // namespace

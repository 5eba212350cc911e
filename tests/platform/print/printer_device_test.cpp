// The printer object as a device: every capability the program reads answers the
// printer's real value for each paper, orientation, resolution and margin, and a job
// that cannot start leaves the printer usable for the next one.
#include <QApplication>
#include <QPrinter>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <functional>

#include "platform/print/Printer.h"
#include "tests/common/TestSupport.h"

using namespace platform;

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "printer_device_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

int Pixels(double mm, int dpi) { return static_cast<int>(std::lround(mm * dpi / 25.4)); }

TEST(PrinterDevice, EveryCapabilityAnswersThePapersRealValue) {
    App();
    const struct {
        int16_t paper, orientation;
        double widthMm, heightMm;
        int dpi;
        double marginMm;
    } cases[] = {
        {9, 1, 210, 297, 300, 0},  {9, 2, 297, 210, 150, 0},  {8, 1, 297, 420, 100, 5},
        {11, 1, 148, 210, 600, 0}, {13, 2, 257, 182, 200, 4.2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.paper) + "/" + std::to_string(c.orientation) + " at " + std::to_string(c.dpi));
        TPrinter printer;
        printer.SetDeviceMode({c.paper, c.orientation});
        printer.SetResolution(c.dpi);
        printer.SetUnprintableMargins(c.marginMm, c.marginMm);
        const int w = Pixels(c.widthMm, c.dpi), h = Pixels(c.heightMm, c.dpi), m = Pixels(c.marginMm, c.dpi);
        EXPECT_EQ(printer.GetDeviceCaps(LOGPIXELSX), c.dpi);
        EXPECT_EQ(printer.GetDeviceCaps(LOGPIXELSY), c.dpi);
        // Paper sizes are kept in points: a few pixels of rounding at high resolutions.
        const int near = std::max(2, c.dpi / 100);
        EXPECT_NEAR(printer.GetDeviceCaps(PHYSICALWIDTH), w, near);
        EXPECT_NEAR(printer.GetDeviceCaps(PHYSICALHEIGHT), h, near);
        EXPECT_NEAR(printer.GetDeviceCaps(PHYSICALOFFSETX), m, near);
        EXPECT_NEAR(printer.GetDeviceCaps(PHYSICALOFFSETY), m, near);
        // The printable area: the paper less the margins on both sides.
        EXPECT_NEAR(printer.GetDeviceCaps(HORZRES), w - 2 * m, 2 * near);
        EXPECT_NEAR(printer.GetDeviceCaps(VERTRES), h - 2 * m, 2 * near);
        EXPECT_EQ(printer.Canvas().GetDeviceCaps(HORZRES), printer.GetDeviceCaps(HORZRES));
    }
}

TEST(PrinterDevice, AJobThatCannotStartLeavesThePrinterUsable) {
    App();
    kura::test::TempDir dir;
    TPrinter printer;
    printer.SetResolution(72);
    const struct {
        const char* what;
        std::function<void()> spoil;
    } failures[] = {
        {"a file that cannot be written", [&] { printer.SetOutputFileName(dir.file("none/x.pdf")); }},
        // What a desk without a printer has before anything is chosen.
        {"no printer and no file", [&] { printer.SetOutputFileName(""); }},
    };
    int n = 0;
    for (const auto& f : failures) {
        SCOPED_TRACE(f.what);
        f.spoil();
        EXPECT_THROW(printer.BeginDoc(), EPrinter);
        EXPECT_FALSE(printer.Printing());
        // The same printer object, sent to a file, prints its pages.
        const std::string pdf = dir.file("job" + std::to_string(++n) + ".pdf");
        printer.SetOutputFileName(pdf);
        printer.SetDeviceMode({9, 2});
        ASSERT_NO_THROW(printer.BeginDoc());
        printer.Canvas().FillRect(Rect(0, 0, 100, 100));
        printer.NewPage();
        printer.EndDoc();
        EXPECT_GT(std::filesystem::file_size(pdf), 0u);
        EXPECT_GT(printer.GetDeviceCaps(HORZRES), printer.GetDeviceCaps(VERTRES));  // landscape taken
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("none")));
}

}  // namespace

// The printer object as a device: every capability the program reads answers the
// printer's real value for each paper, orientation, resolution and margin, and a job
// that fails, at its start or on its way, leaves the printer usable for the next one.
#include <QApplication>
#include <QPrinter>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

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

// Whether the PDF file was written to its end.
bool WholePdf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return bytes.rfind("%PDF", 0) == 0 && bytes.find("%%EOF", bytes.size() < 32 ? 0 : bytes.size() - 32) != std::string::npos;
}

// A job that fails, at its start or on its way, says so and leaves the printer usable:
// the next job, with the print dialog accepted as it stands, goes whole to the PDF file
// chosen before (or, where none was, to the one chosen now), with the paper taken.
TEST(PrinterDevice, AFailedJobLeavesThePrinterUsableForTheSameFile) {
    App();
    kura::test::TempDir dir;
    TPrinter printer;
    printer.SetResolution(72);
    printer.AskBeforePrinting = true;  // as the program's printer
    std::unique_ptr<kura::test::FileSizeLimit> limit;
    const struct {
        const char* what;
        std::string file;                          // chosen in the dialog ("" none)
        std::function<void()> spoil, mend;
        bool onItsWay;                             // the job starts, then fails
    } failures[] = {
        {"a file in a folder that is not there", dir.file("none/x.pdf"), [] {},
         [&] { std::filesystem::create_directory(dir.file("none")); }, false},
        {"no printer and no file", "", [] {}, [] {}, false},
        {"a file that fills the disk on its way", dir.file("full.pdf"),
         [&] { limit = std::make_unique<kura::test::FileSizeLimit>(3000); }, [&] { limit.reset(); }, true},
    };
    int n = 0;
    for (const auto& f : failures) {
        SCOPED_TRACE(f.what);
        SetPrintDialogHook([&](TPrinter& p) {
            p.SetOutputFileName(f.file);
            return true;
        });
        ASSERT_TRUE(ChoosePrinter(printer, nullptr));
        f.spoil();
        bool failed = false;
        try {
            printer.BeginDoc();
            EXPECT_TRUE(f.onItsWay);
            // Pages enough that the disk fills while they are written, not at the end.
            for (int page = 0; page < 20; ++page) {
                printer.Canvas().TextOut(10, 10, std::string(2400, 'x'));
                printer.NewPage();
            }
            printer.EndDoc();
        } catch (const EPrinter&) {
            failed = true;
        }
        // A job that cannot start makes nothing, not even the folder.
        if (!f.onItsWay && !f.file.empty()) {
            EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(f.file).parent_path()));
        }
        f.mend();
        EXPECT_TRUE(failed);
        EXPECT_FALSE(printer.Printing());
        EXPECT_EQ(printer.Native().outputFileName().toStdString(), f.file);
        // The dialog accepted as it stands, or a file chosen where none was.
        const std::string pdf = f.file.empty() ? dir.file("job" + std::to_string(++n) + ".pdf") : f.file;
        SetPrintDialogHook([&](TPrinter& p) {
            if (f.file.empty()) p.SetOutputFileName(pdf);
            return true;
        });
        ASSERT_TRUE(ChoosePrinter(printer, nullptr));
        printer.SetDeviceMode({9, 2});
        ASSERT_NO_THROW(printer.BeginDoc());
        printer.Canvas().FillRect(Rect(0, 0, 100, 100));
        printer.NewPage();
        EXPECT_NO_THROW(printer.EndDoc());
        EXPECT_TRUE(WholePdf(pdf));
        EXPECT_GT(printer.GetDeviceCaps(HORZRES), printer.GetDeviceCaps(VERTRES));  // landscape taken
        printer.SetDeviceMode({9, 1});
    }
    SetPrintDialogHook(nullptr);
}

}  // namespace

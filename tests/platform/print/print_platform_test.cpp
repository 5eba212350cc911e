// The printing layer: line geometry shared by bitmaps and printers, DrawText's flags,
// exclusive temporary files, and the thread class's synchronisation and shutdown.
#include <QApplication>
#include <QImage>
#include <QThread>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <thread>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/TempFile.h"
#include "platform/print/Graphics.h"
#include "platform/print/Thread.h"
#include "tests/common/TestSupport.h"

using namespace platform;
namespace fs = std::filesystem;

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "print_platform_test";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Rows (or columns) that hold ink along a line through the bitmap.
std::pair<int, int> Extent(TBitmap& bitmap, bool rows, int at) {
    int first = -1, last = -1;
    const int n = rows ? bitmap.Height() : bitmap.Width();
    for (int i = 0; i < n; ++i) {
        const TColor c = rows ? bitmap.Pixel(at, i) : bitmap.Pixel(i, at);
        if (c == clWhite) continue;
        if (first < 0) first = i;
        last = i;
    }
    return {first, last};
}

TEST(PrintGraphics, LinesCoverTheSameRowsAtEveryWidth) {
    App();
    const struct {
        int width, firstRow, lastRow, firstCol, lastCol;
    } kCases[] = {
        {1, 50, 50, 20, 79},  // the end point is left out, as LineTo does
        {2, 49, 50, 19, 80}, {3, 49, 51, 19, 81}, {8, 46, 53, 16, 83}, {12, 44, 55, 14, 85},
    };
    for (const auto& c : kCases) {
        TBitmap bitmap(120, 120);
        bitmap.Canvas().PenWidth = c.width;
        bitmap.Canvas().Line(20, 50, 80, 50);
        EXPECT_EQ(Extent(bitmap, true, 40), std::make_pair(c.firstRow, c.lastRow)) << c.width;
        EXPECT_EQ(Extent(bitmap, false, 50), std::make_pair(c.firstCol, c.lastCol)) << c.width;
    }
}

TEST(PrintGraphics, DrawTextFlags) {
    App();
    TBitmap bitmap(400, 100);
    TCanvas& canvas = bitmap.Canvas();
    TFont font;
    font.Height = -20;
    canvas.SetFont(font);
    TRect plain = Rect(0, 0, 400, 30), prefixed = plain, calc = Rect(0, 0, 400, 30);
    canvas.DrawText("A&&B", plain, DT_SINGLELINE | DT_CALCRECT);  // "&&" shows one "&"
    canvas.DrawText("A&B", prefixed, DT_SINGLELINE | DT_CALCRECT | DT_NOPREFIX);
    EXPECT_EQ(plain.Width(), prefixed.Width());
    EXPECT_EQ(prefixed.Width(), canvas.TextWidth("A&B"));
    TRect hidden = calc;
    canvas.DrawText("A&B", hidden, DT_SINGLELINE | DT_CALCRECT);  // the "&" marks an accelerator
    EXPECT_LT(hidden.Width(), prefixed.Width());
    // Word breaks wrap at the width; a single line does not.
    TRect wrapped = Rect(0, 0, 60, 30), single = Rect(0, 0, 60, 30);
    const int wrappedHeight = canvas.DrawText("aaa bbb ccc ddd", wrapped, DT_WORDBREAK | DT_CALCRECT);
    const int singleHeight = canvas.DrawText("aaa bbb ccc ddd", single, DT_SINGLELINE | DT_CALCRECT);
    EXPECT_EQ(singleHeight, canvas.TextHeight("|"));
    EXPECT_GE(wrappedHeight, 2 * singleHeight);
    EXPECT_GT(single.Width(), 60);
}

TEST(PrintGraphics, FontsScaleWithTheCanvasResolution) {
    App();
    TBitmap bitmap(10, 10);
    TFont font;
    font.Height = -16;
    bitmap.Canvas().SetFont(font);
    EXPECT_EQ(bitmap.Canvas().ScaledFontHeight(), -16);
    EXPECT_EQ(RoundHalfEven(2.5), 2);
    EXPECT_EQ(RoundHalfEven(3.5), 4);
    EXPECT_EQ(RoundHalfEven(-2.5), -2);
    EXPECT_EQ(RoundHalfEven(7.5), 8);
}

TEST(TempFiles, CreatedExclusivelyUnderTheFirstFreeNumber) {
    // Folder and names are engine text, as GetTempPath gives the folder.
    const std::string folder = GetTempPath() + "kura_tempfile_" + std::to_string(::getpid());
    const fs::path dir = NativePath(folder);
    fs::remove_all(dir);
    fs::create_directories(dir);
    {
        std::ofstream taken(dir / "vLR1.tmp");
        taken << "kept";
    }
    std::string name;
    EXPECT_EQ(GetTempFileName(folder, "vLRxyz", 0, &name), 2u);
    EXPECT_EQ(name, folder + "/vLR2.tmp");
    EXPECT_TRUE(fs::exists(NativePath(name)));
    EXPECT_EQ(fs::file_size(dir / "vLR1.tmp"), 4u);
    EXPECT_EQ(GetTempFileName(folder, "vLR", 0x1A, &name), 0x1Au);  // only named
    EXPECT_EQ(name, folder + "/vLR1A.tmp");
    EXPECT_FALSE(fs::exists(NativePath(name)));

    // Many takers at once all get files of their own.
    std::vector<std::string> names(16);
    std::vector<std::thread> takers;
    for (auto& n : names) takers.emplace_back([&folder, &n] { GetTempFileName(folder, "abc", 0, &n); });
    for (auto& t : takers) t.join();
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    EXPECT_EQ(GetTempFileName(folder + "/missing", "abc", 0, &name), 0u);
    fs::remove_all(dir);
}

class CountingThread : public TThread {
public:
    CountingThread() : TThread(true) {}
    ~CountingThread() override { Shutdown(); }
    std::atomic<int> calls{0};
    int onGui = 0;  // touched only inside synchronised calls
    std::atomic<bool> cancelled{false};
    std::atomic<pid_t> id{0};  // the worker's thread

protected:
    void Execute() override {
        id = gettid();
        while (!Terminated()) {
            if (!Synchronize([this] {
                    ++onGui;
                    EXPECT_EQ(QThread::currentThread(), QCoreApplication::instance()->thread());
                })) {
                cancelled = true;
                return;
            }
            ++calls;
        }
    }
};

void Pump(int ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

bool PumpUntil(const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!done() && std::chrono::steady_clock::now() < end) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return done();
}

TEST(PrintThread, SynchronizeRunsOnTheGuiThreadAndSuspendPauses) {
    App();
    CountingThread thread;
    EXPECT_TRUE(thread.Suspended());
    Pump(20);
    EXPECT_EQ(thread.calls, 0);  // created suspended
    thread.Resume();
    EXPECT_TRUE(PumpUntil([&] { return thread.calls > 0; }));
    thread.Suspend();
    Pump(20);
    const int paused = thread.calls;
    Pump(50);
    EXPECT_LE(thread.calls - paused, 1);
    thread.Resume();
    EXPECT_TRUE(PumpUntil([&] { return thread.calls > paused + 1; }));
    bool terminated = false;
    thread.OnTerminate = [&] { terminated = true; };
    thread.Terminate();
    EXPECT_TRUE(PumpUntil([&] { return terminated; }));
    EXPECT_TRUE(thread.Finished());
    EXPECT_EQ(thread.onGui, thread.calls);
}

// Shutdown on the GUI thread while the worker waits for it: no deadlock, and the call it
// waited for never runs afterwards.
TEST(PrintThread, ShutdownCancelsAWaitingCall) {
    App();
    for (int round = 0; round < 20; ++round) {
        auto thread = std::make_unique<CountingThread>();
        thread->Resume();
        Pump(round % 5);
        // With nobody running its calls the worker goes to sleep waiting for one.
        EXPECT_TRUE(kura::test::WaitUntil([&] { return thread->id != 0 && kura::test::TaskState(thread->id) == 'S'; }));
        thread->Shutdown();
        EXPECT_TRUE(thread->Finished());
        EXPECT_TRUE(thread->cancelled);
        EXPECT_EQ(thread->onGui, thread->calls);  // the waiting call was cancelled, not run
        thread.reset();
        Pump(5);  // a queued call of the freed thread runs into nothing
    }
}

}  // namespace

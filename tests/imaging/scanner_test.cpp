// The scanner component against SANE's "test" backend, through a private configuration
// folder with two test devices. Each page is compared with what `scanimage` makes of the
// same device and settings, after the bottom-up flip and the blue-green-red order.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "tests/common/TestSupport.h"
#include "imaging/Scanner.h"
#include "platform/twain/GlobalMemory.h"

using namespace kura::imaging;

namespace {

bool HaveScanimage() { return std::system("command -v scanimage >/dev/null 2>&1") == 0; }

// A picture as rows of 8-bit samples (1 channel or 3 in red-green-blue order).
struct Picture {
    int width = 0, height = 0, channels = 0;
    std::vector<uint8_t> samples;
    bool operator==(const Picture&) const = default;
};

// Reads a binary PNM as scanimage writes it (P4, P5 and P6; 16-bit samples big-endian).
Picture ReadPnm(const std::string& bytes) {
    std::istringstream in(bytes);
    std::string magic;
    in >> magic;
    auto number = [&] {
        std::string token;
        while (in >> token && token[0] == '#') std::getline(in, token);
        return std::stoi(token);
    };
    Picture p;
    p.width = number();
    p.height = number();
    const int max = magic == "P4" ? 1 : number();
    in.get();
    p.channels = magic == "P6" ? 3 : 1;
    const std::string data((std::istreambuf_iterator<char>(in)), {});
    if (magic == "P4") {
        const int stride = (p.width + 7) / 8;
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x)
                p.samples.push_back((uint8_t(data[size_t(y * stride + x / 8)]) >> (7 - x % 8)) & 1 ? 0 : 255);
        return p;
    }
    const size_t count = size_t(p.width) * p.height * p.channels;
    for (size_t i = 0; i < count; ++i)
        p.samples.push_back(max > 255 ? uint8_t(data[2 * i]) : uint8_t(data[i]));
    return p;
}

// Reads the component's bitmap file back into the same form.
Picture ReadBitmapFile(const std::vector<uint8_t>& f) {
    auto u16 = [&](size_t at) { return f[at] | f[at + 1] << 8; };
    auto u32 = [&](size_t at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
    Picture p;
    EXPECT_EQ(f[0], 'B');
    EXPECT_EQ(f[1], 'M');
    EXPECT_EQ(u32(2), f.size());
    const uint32_t offset = u32(10);
    p.width = int(u32(18));
    p.height = int(u32(22));
    const int bits = u16(28);
    p.channels = bits == 24 ? 3 : 1;
    const size_t stride = (size_t(p.width) * bits + 31) / 32 * 4;
    for (int y = p.height - 1; y >= 0; --y) {
        const uint8_t* row = f.data() + offset + stride * size_t(y);
        for (int x = 0; x < p.width; ++x) {
            if (bits == 1) {
                const int index = (row[x / 8] >> (7 - x % 8)) & 1;
                p.samples.push_back(f[14 + 40 + 4 * index]);  // the palette's grey
            } else if (bits == 8) {
                p.samples.push_back(f[14 + 40 + 4 * row[x]]);
            } else {
                for (int c = 2; c >= 0; --c) p.samples.push_back(row[3 * x + c]);
            }
        }
    }
    return p;
}

class ScannerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveScanimage()) GTEST_SKIP() << "scanimage is not installed";
        Configure({});
    }
    void TearDown() override {
        platform::twain::SetSourceManagerFactory(nullptr);
        unsetenv("SANE_CONFIG_DIR");
    }

    // Writes the private configuration: the test backend with two devices and the given
    // defaults ("key value" lines of its configuration file).
    void Configure(const std::vector<std::string>& settings, bool withBackend = true) {
        std::ofstream(dir_.file("dll.conf")) << (withBackend ? "test\n" : "");
        std::ofstream conf(dir_.file("test.conf"));
        // The backend's own defaults, which a configuration file without them would lose.
        conf << "number_of_devices 2\nmode Gray\ndepth 8\nhand-scanner false\nthree-pass false\n"
                "three-pass-order RGB\nresolution_min 1.0\nresolution_max 1200.0\nresolution_quant 1.0\n"
                "resolution 50.0\ntest-picture \"Solid black\"\nread-limit false\nread-status-code \"Default\"\n"
                "geometry_min 0.0\ngeometry_max 200.0\ngeometry_quant 1.0\ntl_x 0.0\ntl_y 0.0\n"
                "br_x 80.0\nbr_y 100.0\n";
        for (const std::string& s : settings) conf << s << "\n";
        conf.close();
        setenv("SANE_CONFIG_DIR", dir_.path().c_str(), 1);
    }

    Picture Reference(const std::string& options) {
        const std::string command = "SANE_CONFIG_DIR=" + dir_.path() +
                                    " scanimage -d test:0 --format=pnm " + options + " 2>/dev/null";
        std::string out;
        if (FILE* pipe = popen(command.c_str(), "r")) {
            char buffer[65536];
            size_t n;
            while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
            pclose(pipe);
        }
        EXPECT_FALSE(out.empty()) << command;
        return out.empty() ? Picture{} : ReadPnm(out);
    }

    // One scan with the component on device test:0.
    Picture ScanOnce(TScanner& scanner) {
        scanner.SetSourceName("test:0");
        EXPECT_TRUE(scanner.Acquire());
        EXPECT_EQ(scanner.State(), TWAINState::tsPRESESSION);
        return scanner.Bitmap().empty() ? Picture{} : ReadBitmapFile(scanner.Bitmap());
    }

    // One folder for the whole program: SANE reads the folder's name once per process.
    static kura::test::TempDir& Dir() {
        static kura::test::TempDir dir;
        return dir;
    }
    kura::test::TempDir& dir_ = Dir();
};

}  // namespace

TEST_F(ScannerTest, PagesMatchWhatScanimageMakesOfTheSameSettings) {
    struct Case {
        const char* name;
        std::vector<std::string> settings;
        const char* scanimageOptions;
        int channels;
    };
    const std::vector<Case> cases = {
        {"grey solid white", {"mode Gray", "test-picture \"Solid white\""},
         "--mode Gray --test-picture 'Solid white'", 1},
        {"grey grid", {"mode Gray", "test-picture \"Grid\""}, "--mode Gray --test-picture Grid", 1},
        {"colour pattern", {"mode Color", "test-picture \"Color pattern\""},
         "--mode Color --test-picture 'Color pattern'", 3},
        {"1-bit grid", {"mode Gray", "depth 1", "test-picture \"Grid\""},
         "--mode Gray --depth 1 --test-picture Grid", 1},
        {"16-bit colour pattern", {"mode Color", "depth 16", "test-picture \"Color pattern\""},
         "--mode Color --depth 16 --test-picture 'Color pattern'", 3},
        {"three-pass colour", {"mode Color", "three-pass true", "test-picture \"Color pattern\""},
         "--mode Color --three-pass=yes --test-picture 'Color pattern'", 3},
        {"hand scanner", {"mode Gray", "hand-scanner true", "test-picture \"Grid\""},
         "--mode Gray --hand-scanner=yes --test-picture Grid", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(c.settings);
        const Picture expected = Reference(c.scanimageOptions);
        TScanner scanner;
        const Picture got = ScanOnce(scanner);
        EXPECT_EQ(got.channels, c.channels);
        EXPECT_EQ(got.width, expected.width);
        EXPECT_EQ(got.height, expected.height);
        EXPECT_TRUE(got == expected);
    }
    EXPECT_EQ(platform::GlobalBlockCount(), 0u);
}

TEST_F(ScannerTest, FrameAndResolutionReachTheDevice) {
    Configure({"mode Gray", "test-picture \"Grid\""});
    {
        SCOPED_TRACE("40 x 30 mm at 25 dpi");
        TScanner scanner;
        scanner.SetSourceName("test:0");
        scanner.SetActive(true);
        scanner.SetUnitMode(TScanUnitMode::umCm);
        scanner.Resolution.SetValue(25);
        scanner.SetFrameLeft(0);
        scanner.SetFrameTop(0);
        scanner.SetFrameWidth(4);
        scanner.SetFrameHeight(3);
        ASSERT_TRUE(scanner.Acquire());
        const Picture got = ReadBitmapFile(scanner.Bitmap());
        EXPECT_EQ(got.width, 39);
        EXPECT_EQ(got.height, 29);
        EXPECT_TRUE(got == Reference("--mode Gray --test-picture Grid --resolution 25 -l 0 -t 0 -x 40 -y 30"));
        scanner.SetActive(false);
        EXPECT_EQ(scanner.State(), TWAINState::tsPRESESSION);
    }
    {
        SCOPED_TRACE("A4 on a 200 x 200 mm bed is clipped to the bed");
        TScanner scanner;
        scanner.SetSourceName("test:0");
        scanner.SetActive(true);
        scanner.SetPaperSize(TScanPaperSize::psA4);
        ASSERT_TRUE(scanner.Acquire());
        const Picture got = ReadBitmapFile(scanner.Bitmap());
        EXPECT_TRUE(got == Reference("--mode Gray --test-picture Grid -l 0 -t 0 -x 200 -y 200"));
        scanner.SetActive(false);
    }
}

TEST_F(ScannerTest, FeederDeliversEveryPageThenEndsTheBatch) {
    Configure({"mode Gray", "test-picture \"Solid white\""});
    TScanner scanner;
    scanner.SetSourceName("test:0");
    scanner.MultiTransfer = true;
    scanner.SetActive(true);
    EXPECT_TRUE(scanner.Caps() & CapBit(scAutoFeeder));
    EXPECT_TRUE(scanner.HasFeeder());
    scanner.SetFeederEnabled(true);
    int pages = 0;
    scanner.OnAfterScan = [&](TScanner&, const std::vector<uint8_t>& bitmap, bool&) {
        ++pages;
        EXPECT_FALSE(bitmap.empty());
    };
    EXPECT_TRUE(scanner.Acquire());
    EXPECT_EQ(pages, 10);
    scanner.SetActive(false);
    EXPECT_EQ(scanner.State(), TWAINState::tsPRESESSION);
    EXPECT_EQ(platform::GlobalBlockCount(), 0u);
}

TEST_F(ScannerTest, CancelAndFailureEndTheScanAndCloseTheDevice) {
    {
        SCOPED_TRACE("I/O error mid-page");
        Configure({"mode Gray", "read-status-code \"SANE_STATUS_IO_ERROR\""});
        TScanner scanner;
        scanner.SetSourceName("test:0");
        EXPECT_FALSE(scanner.Acquire());
        EXPECT_EQ(scanner.State(), TWAINState::tsPRESESSION);
        EXPECT_TRUE(scanner.Bitmap().empty());
    }
    {
        SCOPED_TRACE("cancelled before the transfer");
        Configure({"mode Gray"});
        TScanner scanner;
        scanner.SetSourceName("test:0");
        TScanImageInfo seen;
        scanner.OnBeforeScan = [&](TScanner&, const TScanImageInfo& info, bool& cancel) {
            seen = info;
            cancel = true;
        };
        EXPECT_FALSE(scanner.Acquire());
        EXPECT_EQ(scanner.State(), TWAINState::tsPRESESSION);
        EXPECT_EQ(seen.BitsPerPixel, 8);
        EXPECT_FLOAT_EQ(seen.XResolution, 50);
        EXPECT_GT(seen.ImageWidth, 0);
    }
    EXPECT_EQ(platform::GlobalBlockCount(), 0u);
}

TEST_F(ScannerTest, MissingManagerOrSourcesRaiseTheComponentsMessages) {
    platform::twain::SetSourceManagerFactory([] { return nullptr; });
    TScanner scanner;
    try {
        scanner.Acquire();
        ADD_FAILURE() << "no exception";
    } catch (const EScannerFaital& e) {
        EXPECT_STREQ(e.what(), SScannerNoManager);
    }
    EXPECT_THROW(scanner.SelectSource(), EScannerFaital);
    platform::twain::SetSourceManagerFactory(nullptr);

    Configure({}, /*withBackend=*/false);
    try {
        scanner.Acquire();
        ADD_FAILURE() << "no exception";
    } catch (const EScannerFaital& e) {
        EXPECT_STREQ(e.what(), SScannerNoSource);
    }
    EXPECT_EQ(scanner.State(), TWAINState::tsPRESESSION);
}

TEST_F(ScannerTest, SourcesAreListedAndASourceInUseIsNotTakenAsDefault) {
    TScanner first, second;
    EXPECT_EQ(first.SourceNames(), (std::vector<std::string>{"test:0", "test:1"}));
    EXPECT_EQ(first.State(), TWAINState::tsPRESESSION);
    first.UseDefaultSource = true;
    first.SetActive(true);
    EXPECT_EQ(first.SourceName(), "test:0");
    // The second scanner's manager offers the same default device, which is in use.
    second.UseDefaultSource = true;
    EXPECT_THROW(second.SetActive(true), EScannerFaital);
    EXPECT_EQ(second.State(), TWAINState::tsPRESESSION);
    first.SetActive(false);
}

TEST(ScannerCapabilities, FixedPointNamesAndFitRule) {
    const auto fix = platform::twain::ToFix32(2.2);
    EXPECT_EQ(fix.Whole, 2);
    EXPECT_EQ(fix.Frac, 13107);
    EXPECT_DOUBLE_EQ(platform::twain::FromFix32(fix), 2.2);
    EXPECT_EQ(TScanner::CapabilityName(0x1101), "ICAP_BRIGHTNESS ($1101)");
    EXPECT_EQ(TScanner::CapabilityName(0x7777), "Capability ($7777)");

    const TFitRect fit = StretchToRect(200, 100, 400, 100, true);
    EXPECT_EQ(fit.width, 200);
    EXPECT_EQ(fit.height, 50);
    EXPECT_EQ(fit.left, 0);
    EXPECT_EQ(fit.top, 25);
    EXPECT_EQ(StretchToRect(200, 100, 0, 0, true).width, 0);

    TScanner scanner;  // inactive defaults
    EXPECT_FLOAT_EQ(scanner.Gamma.Default(), 2.2f);
    EXPECT_EQ(scanner.PaperSize(), TScanPaperSize::psA4);
    EXPECT_NEAR(scanner.FrameWidth(), 21.0 * 567 / 1440, 1e-4);
    scanner.SetPaperSize(TScanPaperSize::psCustom);
    EXPECT_NEAR(scanner.FrameWidth(), 21.0 * 567 / 1440, 1e-4);
}

TEST(ScannerCapabilities, PackedBitmapsBecomeFilesOnlyWhenTheyHoldWhatTheyAnnounce) {
    // 2 x 1, 24 bits, image size 0 in the header: computed as one padded row.
    std::vector<uint8_t> dib(40 + 8, 0);
    dib[0] = 40, dib[4] = 2, dib[8] = 1, dib[12] = 1, dib[14] = 24;
    dib[32] = 7;  // colours used: cleared for 24-bit pictures
    const std::vector<uint8_t> file = PackedDibToBitmapFile(dib.data(), dib.size());
    ASSERT_EQ(file.size(), 14u + 48u);
    EXPECT_EQ(file[10], 54);
    EXPECT_EQ(file[14 + 20], 8);
    EXPECT_EQ(file[14 + 32], 0);
    // 15-bit pictures are written as 16-bit.
    dib[14] = 15;
    EXPECT_EQ(PackedDibToBitmapFile(dib.data(), dib.size())[14 + 14], 16);
    // Shorter than announced, or a header past the block: refused.
    dib[14] = 24;
    EXPECT_TRUE(PackedDibToBitmapFile(dib.data(), dib.size() - 1).empty());
    dib[0] = 200;
    EXPECT_TRUE(PackedDibToBitmapFile(dib.data(), dib.size()).empty());
}

// The test backend stops a cancelled page by cancelling its reader thread, which can leave
// the sanitizer's allocator locked; the leak check at exit would then wait forever. The
// tests account for the component's own memory blocks instead (GlobalBlockCount) and
// leave without that check.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::fflush(nullptr);
    _exit(result);
}

// The scanner component against SANE's "test" backend, through a private configuration
// folder with two test devices. Each page is compared with what `scanimage` made of the
// same device and settings, after the bottom-up flip and the blue-green-red order. Those
// pages are kept in tests/data/scanner; each was made once from the configuration the case
// writes (into FOLDER) with the scanimage options given beside the case:
//   SANE_CONFIG_DIR=FOLDER scanimage -d test:0 --format=pnm OPTIONS > tests/data/scanner/NAME.pnm
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/common/SaneTestSupport.h"
#include "imaging/Scanner.h"
#include "platform/twain/GlobalMemory.h"

using namespace kura::imaging;

namespace {

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
        if (!kura::test::UseSaneTestBackend()) GTEST_SKIP() << "SANE's test backend is not installed";
        Configure({});
    }
    void TearDown() override { platform::twain::SetSourceManagerFactory(nullptr); }

    // Writes the private configuration: the test backend with two devices and the given
    // defaults ("key value" lines of its configuration file).
    void Configure(const std::vector<std::string>& settings, bool withBackend = true) {
        kura::test::WriteSaneTestConfig(settings, withBackend);
    }

    // The page scanimage made, tests/data/scanner/NAME.pnm.
    Picture Reference(const std::string& name) {
        std::ifstream in(std::string(KURA_TEST_DATA) + "/scanner/" + name + ".pnm", std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(in)), {});
        EXPECT_FALSE(bytes.empty()) << name;
        return bytes.empty() ? Picture{} : ReadPnm(bytes);
    }

    // One scan with the component on device test:0.
    Picture ScanOnce(TScanner& scanner) {
        scanner.SetSourceName("test:0");
        EXPECT_TRUE(scanner.Acquire());
        EXPECT_EQ(scanner.State(), TWAINState::tsPRESESSION);
        return scanner.Bitmap().empty() ? Picture{} : ReadBitmapFile(scanner.Bitmap());
    }
};

}  // namespace

TEST_F(ScannerTest, PagesMatchWhatScanimageMakesOfTheSameSettings) {
    struct Case {
        const char* name;
        std::vector<std::string> settings;
        const char* reference;  // made with the scanimage options in the comment
        int channels;
    };
    const std::vector<Case> cases = {
        // --mode Gray --test-picture 'Solid white'
        {"grey solid white", {"mode Gray", "test-picture \"Solid white\""}, "grey-solid-white", 1},
        // --mode Gray --test-picture Grid
        {"grey grid", {"mode Gray", "test-picture \"Grid\""}, "grey-grid", 1},
        // --mode Color --test-picture 'Color pattern'
        {"colour pattern", {"mode Color", "test-picture \"Color pattern\""}, "colour-pattern", 3},
        // --mode Gray --depth 1 --test-picture Grid
        {"1-bit grid", {"mode Gray", "depth 1", "test-picture \"Grid\""}, "1-bit-grid", 1},
        // --mode Color --depth 16 --test-picture 'Color pattern'
        {"16-bit colour pattern", {"mode Color", "depth 16", "test-picture \"Color pattern\""},
         "16-bit-colour-pattern", 3},
        // --mode Color --three-pass=yes --test-picture 'Color pattern'
        {"three-pass colour", {"mode Color", "three-pass true", "test-picture \"Color pattern\""},
         "three-pass-colour", 3},
        // --mode Gray --hand-scanner=yes --test-picture Grid
        {"hand scanner", {"mode Gray", "hand-scanner true", "test-picture \"Grid\""}, "hand-scanner", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Configure(c.settings);
        const Picture expected = Reference(c.reference);
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
        // --mode Gray --test-picture Grid --resolution 25 -l 0 -t 0 -x 40 -y 30
        EXPECT_TRUE(got == Reference("grid-40x30mm-25dpi"));
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
        // --mode Gray --test-picture Grid -l 0 -t 0 -x 200 -y 200
        EXPECT_TRUE(got == Reference("grid-200x200mm"));
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
        // The failed read cancels the page at once.
        bool started = false;
        scanner.OnBeforeScan = [&](TScanner&, const TScanImageInfo&, bool&) { started = true; };
        EXPECT_FALSE(scanner.Acquire());
        EXPECT_TRUE(started);
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

// The held-back writes of a flush and the journal's own bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "engine/files/WriteCapture.h"

using namespace kura;

namespace {

// The file as the held-back writes leave it, against a plain byte model: every
// read sees the model, and writing the extents in place over the disk after the
// cut gives the model.
TEST(WriteCapture, ReadsAndTheFinalFileFollowAByteModel) {
    std::mt19937 rng(77);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> disk(rng() % 3000);
        for (auto& b : disk) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> model = disk;
        TWriteCapture capture;
        capture.Reset(static_cast<int64_t>(disk.size()));
        const TWriteCapture::TDiskRead fromDisk = [&](int64_t at, void* out, int32_t n) {
            const int64_t have = std::max<int64_t>(0, std::min<int64_t>(n, static_cast<int64_t>(disk.size()) - at));
            if (have > 0) std::memcpy(out, disk.data() + at, static_cast<std::size_t>(have));
            return static_cast<int32_t>(have);
        };
        for (int step = 0; step < 60; ++step) {
            const uint32_t what = rng() % 10;
            const auto at = static_cast<int64_t>(rng() % (model.size() + 600));
            if (what < 6) {
                std::vector<uint8_t> bytes(1 + rng() % 500);
                for (auto& b : bytes) b = static_cast<uint8_t>(rng());
                capture.Write(at, bytes.data(), static_cast<int32_t>(bytes.size()));
                if (model.size() < at + bytes.size()) model.resize(at + bytes.size(), 0);
                std::copy(bytes.begin(), bytes.end(), model.begin() + at);
            } else if (what == 6) {
                capture.Cut(at);
                model.resize(static_cast<std::size_t>(at), 0);
            } else {
                std::vector<uint8_t> got(1 + rng() % 700, 0xEE);
                const int32_t n = capture.Read(at, got.data(), static_cast<int32_t>(got.size()), fromDisk);
                const auto expected = static_cast<int32_t>(
                    std::max<int64_t>(0, std::min<int64_t>(got.size(), static_cast<int64_t>(model.size()) - at)));
                ASSERT_EQ(n, expected) << round << ":" << step;
                ASSERT_TRUE(std::equal(got.begin(), got.begin() + n, model.begin() + at)) << round << ":" << step;
            }
            ASSERT_EQ(capture.Size(), static_cast<int64_t>(model.size()));
        }
        // Extents never touch or overlap.
        int64_t end = -1;
        for (const auto& [offset, bytes] : capture.Extents()) {
            EXPECT_GT(offset, end);
            end = offset + static_cast<int64_t>(bytes.size());
        }
        std::vector<uint8_t> file(disk.begin(), disk.begin() + std::min<int64_t>(capture.KeptDiskBytes(),
                                                                                     static_cast<int64_t>(disk.size())));
        for (const auto& [offset, bytes] : capture.Extents()) {
            if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size(), 0);
            std::copy(bytes.begin(), bytes.end(), file.begin() + offset);
        }
        file.resize(static_cast<std::size_t>(capture.Size()), 0);
        EXPECT_EQ(file, model) << round;
    }
}

TEST(WriteCapture, RewritesOfOnePlaceStayOneExtent) {
    TWriteCapture c;
    c.Reset(100);
    EXPECT_TRUE(c.Empty());
    const uint8_t a[4] = {1, 2, 3, 4};
    for (int i = 0; i < 5; ++i) c.Write(10, a, 4);
    // Appended slots one after another grow one extent.
    for (int i = 0; i < 50; ++i) c.Write(100 + 4 * i, a, 4);
    EXPECT_EQ(c.Extents().size(), 2u);
    EXPECT_EQ(c.Size(), 300);
    EXPECT_EQ(c.KeptDiskBytes(), 100);
    c.Cut(50);
    EXPECT_EQ(c.Extents().size(), 1u);
    EXPECT_EQ(c.KeptDiskBytes(), 50);
    EXPECT_FALSE(c.Empty());
}

TEST(JournalFormat, ChecksumIsCrc32) {
    // The CRC-32 check value of "123456789".
    const char* text = "123456789";
    EXPECT_EQ(JournalChecksum(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
    EXPECT_EQ(JOURNAL_HEADER_SIZE, 64);
    EXPECT_EQ(JOURNAL_FORMAT, 2u);
}

}  // namespace

#include "engine/files/Compression.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"

namespace kura {
namespace {

std::vector<uint8_t> Incompressible(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (auto& b : v)
        b = static_cast<uint8_t>(rng());
    return v;
}

std::vector<uint8_t> TextLike(size_t n)
{
    const std::string words = "Staff Simei Furigana SeinenYMD TaisyokuYMD department section unit ";
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(words[(i * 7 + i / 13) % words.size()]);
    return v;
}

// The engine error code DecompressBuffer raises, 0 when it succeeds.
uint16_t DecompressCode(const std::vector<uint8_t>& in, int32_t hint, std::vector<uint8_t>& out)
{
    try {
        DecompressBuffer(in.data(), static_cast<int32_t>(in.size()), hint, out);
        return 0;
    } catch (const EKuraEngineError& e) {
        return e.ErrorCode();
    }
}

TEST(Compression, RoundTrips)
{
    const std::vector<std::vector<uint8_t>> inputs = {
        {}, {0x42}, TextLike(65536), Incompressible(65536, 1), Incompressible(10000, 2),
        std::vector<uint8_t>(65537, 0), TextLike(300000)};
    for (const auto& input : inputs) {
        std::vector<uint8_t> packed, unpacked{1, 2, 3};
        CompressBuffer(input.data(), static_cast<int32_t>(input.size()), packed);
        ASSERT_FALSE(packed.empty()) << "a zlib stream has at least a header";
        EXPECT_EQ(packed[0], 0x78) << "zlib header";
        ASSERT_EQ(DecompressCode(packed, static_cast<int32_t>(input.size()), unpacked), 0) << input.size();
        EXPECT_EQ(unpacked, input) << input.size();
        // A generous hint is a bound, not a size.
        ASSERT_EQ(DecompressCode(packed, static_cast<int32_t>(input.size()) + 1000, unpacked), 0);
        EXPECT_EQ(unpacked, input);
    }

    // Incompressible 10,000 bytes stay within the first estimate.
    const auto random = Incompressible(10000, 3);
    std::vector<uint8_t> packed;
    CompressBuf(random.data(), 10000, 9, packed);
    EXPECT_LE(packed.size(), 11264u);
    // Text shrinks at level 9.
    const auto text = TextLike(65536);
    CompressBuffer(text.data(), 65536, packed);
    EXPECT_LT(packed.size(), 65536u / 10);
    // A null pointer with no bytes is an empty input.
    CompressBuffer(nullptr, 0, packed);
    std::vector<uint8_t> out;
    EXPECT_EQ(DecompressCode(packed, 0, out), 0);
    EXPECT_TRUE(out.empty());
}

TEST(Compression, HostileAndBrokenInputRaise15002)
{
    // A small payload that inflates far past what the caller expects.
    const std::vector<uint8_t> zeros(1 << 20, 0);
    std::vector<uint8_t> bomb, out{9};
    CompressBuffer(zeros.data(), static_cast<int32_t>(zeros.size()), bomb);
    ASSERT_LT(bomb.size(), 4096u);
    EXPECT_EQ(DecompressCode(bomb, 65536, out), KURA_UNCOMPRESS);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(DecompressCode(bomb, (1 << 20) - 1, out), KURA_UNCOMPRESS);
    EXPECT_EQ(DecompressCode(bomb, -1, out), KURA_UNCOMPRESS);
    EXPECT_EQ(DecompressCode(bomb, 1 << 20, out), 0);
    EXPECT_EQ(out.size(), 1u << 20);

    // Not a zlib stream at all, and nothing at all.
    const std::vector<uint8_t> garbage = {'n', 'o', 't', ' ', 'z', 'l', 'i', 'b'};
    EXPECT_EQ(DecompressCode(garbage, 1000, out), KURA_UNCOMPRESS);
    EXPECT_EQ(DecompressCode({}, 1000, out), KURA_UNCOMPRESS);

    // Every truncation of a stream fails; none is taken for a short result.
    const auto text = TextLike(20000);
    std::vector<uint8_t> packed;
    CompressBuffer(text.data(), 20000, packed);
    for (size_t cut = 0; cut < packed.size(); ++cut) {
        const std::vector<uint8_t> head(packed.begin(), packed.begin() + static_cast<std::ptrdiff_t>(cut));
        ASSERT_EQ(DecompressCode(head, 20000, out), KURA_UNCOMPRESS) << "cut at " << cut;
    }
    // A flipped byte in the body is a data error (or a checksum mismatch).
    std::vector<uint8_t> damaged = packed;
    damaged[damaged.size() / 2] ^= 0x55;
    damaged[damaged.size() - 2] ^= 0x01;
    EXPECT_EQ(DecompressCode(damaged, 20000, out), KURA_UNCOMPRESS);
}

TEST(Compression, BufferRoutinesCarryZlibMessages)
{
    std::vector<uint8_t> out;
    const uint8_t data[4] = {1, 2, 3, 4};
    try {
        CompressBuf(data, 4, 42, out);  // no such level
        FAIL() << "level 42 accepted";
    } catch (const ECompressionError& e) {
        EXPECT_EQ(std::string(e.what()), "Compression error: stream error");
    }
    try {
        DecompressBuf("junkjunk", 8, 100, out);
        FAIL() << "junk inflated";
    } catch (const EDecompressionError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Decompression error: ", 0), 0u) << e.what();
    }
    try {
        CompressBuffer(data, -1, out);
        FAIL() << "negative length accepted";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_COMPRESS);
    }
}

}  // namespace
}  // namespace kura

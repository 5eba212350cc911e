#include "engine/files/KeyEncoding.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/files/Bcd.h"

namespace kura {
namespace {

using Image = std::vector<uint8_t>;

int Sign(int v) { return (v > 0) - (v < 0); }

int CompareImages(const Image& a, const Image& b)
{
    return Sign(std::memcmp(a.data(), b.data(), a.size()));
}

Image Descending(Image image)
{
    InvertBytes(image.data(), static_cast<uint8_t>(image.size()));
    return image;
}

// For every pair of values: the ascending images compare as the values do and
// the inverted (descending) images compare the other way round.
template <typename T>
void ExpectKeyOrder(const std::vector<T>& values, const std::function<Image(T)>& encode,
                    const std::function<int(T, T)>& compare)
{
    std::vector<Image> images;
    for (T v : values)
        images.push_back(encode(v));
    for (size_t i = 0; i < values.size(); ++i)
        for (size_t j = 0; j < values.size(); ++j) {
            const int expected = compare(values[i], values[j]);
            ASSERT_EQ(CompareImages(images[i], images[j]), expected) << "pair " << i << ", " << j;
            ASSERT_EQ(CompareImages(Descending(images[i]), Descending(images[j])), -expected);
        }
}

template <typename T>
int CompareValues(T a, T b)
{
    return (a > b) - (a < b);
}

template <typename T>
std::vector<T> IntegerSamples(std::mt19937_64& rng)
{
    using L = std::numeric_limits<T>;
    std::vector<T> v = {L::min(), static_cast<T>(L::min() + 1), static_cast<T>(L::max() - 1), L::max(), 0, 1};
    if constexpr (L::is_signed)
        v.insert(v.end(), {T(-1), T(-2), T(-256), T(255), T(256)});
    std::uniform_int_distribution<int64_t> any(static_cast<int64_t>(L::min()), static_cast<int64_t>(L::max()));
    for (int i = 0; i < 150; ++i)
        v.push_back(static_cast<T>(any(rng)));
    for (int i = 0; i < 40; ++i)  // small values exercise the low bytes
        v.push_back(static_cast<T>(static_cast<int64_t>(rng() % 1000) - (L::is_signed ? 500 : 0)));
    return v;
}

template <typename T, size_t W>
Image Encode(void (*encoder)(T, uint8_t*), T value)
{
    Image image(W);
    encoder(value, image.data());
    return image;
}

Image I32(int32_t v) { return Encode<int32_t, 4>(EncodeIntegerKey, v); }
Image I16(int16_t v) { return Encode<int16_t, 2>(EncodeSmallIntKey, v); }
Image W16(uint16_t v) { return Encode<uint16_t, 2>(EncodeWordKey, v); }
Image I64(int64_t v) { return Encode<int64_t, 8>(EncodeLargeIntKey, v); }
Image Cur(int64_t v) { return Encode<int64_t, 8>(EncodeCurrencyKey, v); }
Image Flt(double v) { return Encode<double, 8>(EncodeFloatKey, v); }

TEST(KeyEncoding, GoldenImages)
{
    EXPECT_EQ(I32(-1), (Image{0x7F, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(I32(0), (Image{0x80, 0x00, 0x00, 0x00}));
    EXPECT_EQ(I32(1), (Image{0x80, 0x00, 0x00, 0x01}));
    EXPECT_EQ(I32(0x12345678), (Image{0x92, 0x34, 0x56, 0x78}));
    EXPECT_EQ(I16(-32768), (Image{0x00, 0x00}));
    EXPECT_EQ(I16(32767), (Image{0xFF, 0xFF}));
    EXPECT_EQ(W16(65535), (Image{0xFF, 0xFF}));
    EXPECT_EQ(W16(0x0102), (Image{0x01, 0x02}));
    EXPECT_EQ(I64(INT64_MIN), Image(8, 0x00));
    EXPECT_EQ(I64(-2), (Image{0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(Cur(10000), (Image{0x80, 0, 0, 0, 0, 0, 0x27, 0x10}));
    EXPECT_EQ(Flt(1.0), (Image{0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Flt(-1.0), (Image{0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Flt(-0.0), Flt(0.0));
    EXPECT_EQ(Flt(0.0), (Image{0x80, 0, 0, 0, 0, 0, 0, 0}));

    // -2.5, -1.0, -0.0, 0.0, 1.5, 2.0 ascend (the two zeros equal).
    const double ordered[] = {-2.5, -1.0, -0.0, 0.0, 1.5, 2.0};
    for (int i = 0; i + 1 < 6; ++i) {
        const int c = CompareImages(Flt(ordered[i]),
                                    Flt(ordered[i + 1]));
        EXPECT_EQ(c, i == 2 ? 0 : -1) << ordered[i];
    }
}

TEST(KeyEncoding, IntegerImagesSortAsValues)
{
    std::mt19937_64 rng(20240601);
    ExpectKeyOrder<int32_t>(IntegerSamples<int32_t>(rng), [](int32_t v) { return I32(v); },
                            CompareValues<int32_t>);
    ExpectKeyOrder<int16_t>(IntegerSamples<int16_t>(rng), [](int16_t v) { return I16(v); },
                            CompareValues<int16_t>);
    ExpectKeyOrder<uint16_t>(IntegerSamples<uint16_t>(rng), [](uint16_t v) { return W16(v); },
                             CompareValues<uint16_t>);
    ExpectKeyOrder<int64_t>(IntegerSamples<int64_t>(rng), [](int64_t v) { return I64(v); },
                            CompareValues<int64_t>);
    // Currency: ten-thousandths, including whole units and the extremes.
    auto currencies = IntegerSamples<int64_t>(rng);
    currencies.insert(currencies.end(), {-10000, 10000, -1, 1, 9999, -9999, 922337203685477LL * 10000});
    ExpectKeyOrder<int64_t>(currencies, [](int64_t v) { return Cur(v); },
                            CompareValues<int64_t>);
}

TEST(KeyEncoding, FloatImagesSortAsValues)
{
    using L = std::numeric_limits<double>;
    std::vector<double> values = {0.0, -0.0, 1.0, -1.0, L::max(), L::lowest(), L::min(), -L::min(),
                                  L::denorm_min(), -L::denorm_min(), L::infinity(), -L::infinity(),
                                  0.1, -0.1, 1e300, -1e300, 1e-300, -1e-300, 2.5, -2.5};
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> wide(-1e6, 1e6);
    for (int i = 0; i < 120; ++i)
        values.push_back(wide(rng));
    for (int i = 0; i < 60; ++i) {  // arbitrary bit patterns, NaNs skipped
        const double d = std::bit_cast<double>(static_cast<uint64_t>(rng()));
        if (!std::isnan(d))
            values.push_back(d);
    }
    // -0.0 == 0.0 as values, and their images are equal too.
    ExpectKeyOrder<double>(values, [](double v) { return Flt(v); },
                           CompareValues<double>);
}

// A stored BCD: `digits` right-aligned in `precision` nibbles, the last
// `places` of them after the decimal point.
std::array<uint8_t, BCD_VALUE_SIZE> MakeBCD(bool negative, const std::string& digits, int places, int precision = 32)
{
    std::array<uint8_t, BCD_VALUE_SIZE> bcd{};
    bcd[0] = static_cast<uint8_t>(precision);
    bcd[1] = static_cast<uint8_t>((negative ? 0x80 : 0) | places);
    const int first = precision - static_cast<int>(digits.size());
    for (size_t i = 0; i < digits.size(); ++i) {
        const int nibble = first + static_cast<int>(i);
        const uint8_t d = static_cast<uint8_t>(digits[i] - '0');
        bcd[2 + nibble / 2] |= (nibble % 2 == 0) ? static_cast<uint8_t>(d << 4) : d;
    }
    return bcd;
}

Image BCDKey(const std::array<uint8_t, BCD_VALUE_SIZE>& bcd)
{
    Image image(BCD_KEY_SIZE);
    EncodeBCDKey(bcd.data(), image.data());
    return image;
}

Image CurrencyKey(int64_t c) { return Cur(c); }

TEST(KeyEncoding, BCDImagesSortAsValues)
{
    // Golden: 12.5 with 2 decimals is 20 02, nibbles ...1 2 5 0 at 28..31.
    std::array<uint8_t, BCD_VALUE_SIZE> twelveAndAHalf{};
    twelveAndAHalf[0] = 0x20;
    twelveAndAHalf[1] = 0x02;
    twelveAndAHalf[16] = 0x12;
    twelveAndAHalf[17] = 0x50;
    EXPECT_EQ(BCDKey(twelveAndAHalf), CurrencyKey(125000));
    EXPECT_EQ(BCDKey(MakeBCD(true, "0", 2)), CurrencyKey(0));  // negative zero
    EXPECT_EQ(BCDKey(MakeBCD(false, "", 0, 0)), CurrencyKey(0));
    // Decimals past the fourth round half to even.
    EXPECT_EQ(BCDKey(MakeBCD(false, "5", 5)), CurrencyKey(0));
    EXPECT_EQ(BCDKey(MakeBCD(false, "15", 5)), CurrencyKey(2));
    EXPECT_EQ(BCDKey(MakeBCD(false, "51", 6)), CurrencyKey(1));
    EXPECT_EQ(BCDKey(MakeBCD(true, "15", 5)), CurrencyKey(-2));
    // Values past the currency range hold to its ends; junk bytes stay in bounds.
    EXPECT_EQ(BCDKey(MakeBCD(false, std::string(40, '9'), 2, 64)), CurrencyKey(INT64_MAX));
    EXPECT_EQ(BCDKey(MakeBCD(true, std::string(40, '9'), 2, 64)), CurrencyKey(INT64_MIN));
    std::array<uint8_t, BCD_VALUE_SIZE> junk;
    junk.fill(0xFF);
    Image junkKey = BCDKey(junk);
    EXPECT_EQ(junkKey.size(), 8u);

    // Random decimals m / 10^p. Exact order on values with at most four
    // decimals; never reversed on the others (they round to ten-thousandths).
    std::mt19937_64 rng(99);
    struct Dec {
        __int128 scaled;  // value x 10^8
        int places;
        std::array<uint8_t, BCD_VALUE_SIZE> bcd;
    };
    std::vector<Dec> decs;
    auto add = [&](int64_t m, int places) {
        const uint64_t magnitude = m < 0 ? 0 - static_cast<uint64_t>(m) : static_cast<uint64_t>(m);
        __int128 scaled = static_cast<__int128>(magnitude);
        for (int i = places; i < 8; ++i)
            scaled *= 10;
        decs.push_back({m < 0 ? -scaled : scaled, places, MakeBCD(m < 0, std::to_string(magnitude), places)});
    };
    for (int64_t m : {0LL, 1LL, -1LL, 5LL, -5LL, 15LL, 25LL, 999999999999999LL, -999999999999999LL})
        for (int p = 0; p <= 8; ++p)
            add(m, p);
    for (int i = 0; i < 220; ++i) {
        const int64_t span = (i % 3 == 0) ? 1000 : (i % 3 == 1) ? 10'000'000 : 999'999'999'999'999;
        add(static_cast<int64_t>(rng() % (2 * span + 1)) - span, static_cast<int>(rng() % 9));
    }
    for (const Dec& a : decs)
        for (const Dec& b : decs) {
            const int valueOrder = (a.scaled > b.scaled) - (a.scaled < b.scaled);
            const int keyOrder = CompareImages(BCDKey(a.bcd), BCDKey(b.bcd));
            if (a.places <= 4 && b.places <= 4)
                ASSERT_EQ(keyOrder, valueOrder);
            else if (valueOrder != 0)
                ASSERT_NE(keyOrder, -valueOrder);
            else
                ASSERT_EQ(keyOrder, 0);
            // Descending segments reverse the order.
            ASSERT_EQ(CompareImages(Descending(BCDKey(a.bcd)), Descending(BCDKey(b.bcd))), -keyOrder);
        }

    // The stored form written by the value conversions keys as its currency.
    for (int i = 0; i < 300; ++i) {
        const int64_t c = static_cast<int64_t>(rng() % 2'000'000'000'000'000ULL) - 1'000'000'000'000'000LL;
        const int decimals = 4 + static_cast<int>(rng() % 5);
        uint8_t stored[BCD_VALUE_SIZE];
        ASSERT_TRUE(CurrToBCDValue(c, decimals, stored));
        Image key(BCD_KEY_SIZE);
        EncodeBCDKey(stored, key.data());
        ASSERT_EQ(key, CurrencyKey(c)) << c << " with " << decimals << " decimals";
    }
}

TEST(KeyEncoding, InvertBytesAndNegate)
{
    uint8_t buf[300];
    for (int i = 0; i < 300; ++i)
        buf[i] = static_cast<uint8_t>(i);
    InvertBytes(buf, 0);  // length 0 leaves everything alone
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(buf[i], static_cast<uint8_t>(i));
    InvertBytes(buf, 255);
    for (int i = 0; i < 255; ++i)
        ASSERT_EQ(buf[i], static_cast<uint8_t>(255 - i));
    EXPECT_EQ(buf[255], 255);  // untouched

    EXPECT_EQ(NegateInt(5), -5);
    EXPECT_EQ(NegateInt(-7), 7);
    EXPECT_EQ(NegateInt(0), 0);
    EXPECT_EQ(NegateInt(INT32_MIN), INT32_MIN);
}

TEST(KeyEncoding, ScrambleKeystreamAcrossTheWrap)
{
    // Golden keystream bytes (byte XOR low XOR high, low up, high down).
    std::vector<uint8_t> zeros(300, 0);
    ScrambleBuffer(zeros.data(), 300, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    EXPECT_EQ(Image(zeros.begin(), zeros.begin() + 8), (Image{0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xC7, 0xC7, 0xC7}));
    EXPECT_EQ(Image(zeros.begin() + 250, zeros.begin() + 262),
              (Image{0xE7, 0xE7, 0xE7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xF7, 0xC7}));
    std::vector<uint8_t> strings(260, 0);
    ScrambleBuffer(strings.data(), 260, STRING_SCRAMBLE_LOW, STRING_SCRAMBLE_HIGH);
    EXPECT_EQ(Image(strings.begin(), strings.begin() + 8), (Image{0x5F, 0x5F, 0x5F, 0x5F, 0x5F, 0x5F, 0x5F, 0x9F}));
    EXPECT_EQ(Image(strings.begin() + 252, strings.begin() + 260), Image(8, 0x5F));

    // The field-descriptor area: 1,024 x 768 bytes, a multiple of 65,536,
    // scrambled whole (a 16-bit length would scramble nothing).
    std::vector<uint8_t> area(1024 * 768, 0);
    ScrambleBuffer(area.data(), static_cast<int32_t>(area.size()), TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    for (size_t i = 0; i < area.size(); ++i)
        ASSERT_EQ(area[i], zeros[i % 256]) << i;
    EXPECT_EQ(Image(area.end() - 4, area.end()), (Image{0xE7, 0xF7, 0xF7, 0xF7}));
    UnscrambleBuffer(area.data(), static_cast<int32_t>(area.size()), TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    EXPECT_TRUE(std::all_of(area.begin(), area.end(), [](uint8_t b) { return b == 0; }));
}

TEST(KeyEncoding, ScrambleProperties)
{
    std::mt19937 rng(3);
    std::vector<uint8_t> plain(5000);
    for (auto& b : plain)
        b = static_cast<uint8_t>(rng());
    std::vector<uint8_t> data = plain;
    ScrambleBuffer(data.data(), 5000, 121, 38);
    EXPECT_NE(data, plain);
    UnscrambleBuffer(data.data(), 5000, 121, 38);
    EXPECT_EQ(data, plain);

    ScrambleBuffer(data.data(), 0, 83, 164);
    ScrambleBuffer(data.data(), -5, 83, 164);
    EXPECT_EQ(data, plain);

    // Two buffers under one seed differ exactly where their plain bytes do.
    std::vector<uint8_t> other = plain;
    for (int i = 0; i < 5000; i += 97)
        other[i] ^= static_cast<uint8_t>(1 + i % 255);
    std::vector<uint8_t> a = plain, b = other;
    ScrambleBuffer(a.data(), 5000, 83, 164);
    ScrambleBuffer(b.data(), 5000, 83, 164);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(a[i] != b[i], plain[i] != other[i]) << i;
}

TEST(KeyEncoding, CompressionCounters)
{
    std::vector<uint8_t> a(300, 0x41), b(300, 0x41);
    EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), 300), 254);
    EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), 10), 10);
    EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), 0), 0);
    b[7] = 0x42;
    EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), 300), 7);
    b[7] = 0x41;
    b[0] = 0x00;
    EXPECT_EQ(CommonPrefixLength(a.data(), b.data(), 300), 0);

    // Counted backwards from the key's last byte and bounded by its length:
    // zeros in front of the key are not counted (nor read).
    std::vector<uint8_t> zeros(5, 0);
    EXPECT_EQ(TrailingZeroCount(&zeros.back(), 5), 5);
    EXPECT_EQ(TrailingZeroCount(&zeros.back(), 3), 3);
    EXPECT_EQ(TrailingZeroCount(&zeros.back(), 0), 0);
    const uint8_t key[] = {'a', 'b', 0, 0, 0};
    EXPECT_EQ(TrailingZeroCount(&key[4], 5), 3);
    const uint8_t noTail[] = {0, 0, 'x'};
    EXPECT_EQ(TrailingZeroCount(&noTail[2], 3), 0);
    std::vector<uint8_t> longZeros(300, 0);
    EXPECT_EQ(TrailingZeroCount(&longZeros.back(), 300), 254);
}

}  // namespace
}  // namespace kura

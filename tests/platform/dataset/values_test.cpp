// Variant conversions, the packed-decimal form and the code page 932 helpers the
// fields rely on.
#include <gtest/gtest.h>

#include <random>

#include "platform/CodePage.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"
#include "platform/dataset/Variant.h"

namespace kura {
namespace {

TEST(Variants, ConvertWhereTheValueAllowsAndRefuseOtherwise) {
    EXPECT_EQ(TVariant("12").AsInteger(), 12);
    EXPECT_EQ(TVariant(" 7 ").AsInt64(), 7);
    EXPECT_DOUBLE_EQ(TVariant("2.5").AsFloat(), 2.5);
    EXPECT_EQ(TVariant(2.5).AsInteger(), 2);  // half to even
    EXPECT_EQ(TVariant(3.5).AsInteger(), 4);
    EXPECT_EQ(TVariant::FromCurrency(25000).AsInteger(), 2);
    EXPECT_EQ(TVariant(1.23456).AsCurrency(), 12346);
    EXPECT_TRUE(TVariant("True").AsBoolean());
    EXPECT_EQ(TVariant(true).AsString(), "True");
    EXPECT_THROW(TVariant("abc").AsInteger(), EDatabaseError);
    EXPECT_THROW(TVariant("1e400").AsFloat(), EDatabaseError);
    EXPECT_THROW(TVariant(int64_t(1) << 33).AsInteger(), EDatabaseError);
    EXPECT_THROW(TVariant("2024-01-01").AsDateTime(), EDatabaseError);
    EXPECT_THROW(TVariant(std::vector<TVariant>{1, 2}).AsString(), EDatabaseError);
    EXPECT_THROW(TVariant(1)[0], EDatabaseError);
    EXPECT_TRUE(TVariant::Null() == TVariant::Null());
    EXPECT_FALSE(TVariant::Null() == TVariant(0));
    EXPECT_TRUE(TVariant(2) == TVariant(2.0));
    EXPECT_EQ(TVariant::Null().AsString(), "");
}

TEST(PackedDecimals, RoundTripAndRoundHalfToEven) {
    uint8_t bcd[34];
    ASSERT_TRUE(CurrencyToBcd(125000, 2, bcd));  // 12.5 with 2 decimals
    EXPECT_EQ(bcd[0], 32);
    EXPECT_EQ(bcd[1], 2);
    EXPECT_EQ(bcd[16], 0x12);
    EXPECT_EQ(bcd[17], 0x50);
    int64_t v = 0;
    ASSERT_TRUE(BcdToCurrency(bcd, v));
    EXPECT_EQ(v, 125000);
    ASSERT_TRUE(CurrencyToBcd(-123450, 2, bcd));  // -12.345 -> -12.34
    ASSERT_TRUE(BcdToCurrency(bcd, v));
    EXPECT_EQ(v, -123400);
    ASSERT_TRUE(CurrencyToBcd(0, 0, bcd));
    EXPECT_EQ(bcd[1], 0);  // zero is never negative
    EXPECT_FALSE(CurrencyToBcd(1, 33, bcd));
    bcd[2] = 0xA0;  // not a digit
    bcd[0] = 32;
    EXPECT_FALSE(BcdToCurrency(bcd, v));

    std::mt19937_64 rng(3);
    for (int i = 0; i < 2000; ++i) {
        const auto value = static_cast<int64_t>(rng() % 2000000000000ull) - 1000000000000ll;
        const int decimals = static_cast<int>(rng() % 9) + 4;
        ASSERT_TRUE(CurrencyToBcd(value, decimals, bcd));
        ASSERT_TRUE(BcdToCurrency(bcd, v));
        ASSERT_EQ(v, value) << decimals;
    }
}

TEST(CodePage932, StrictConversionAndCharacterBoundaries) {
    std::string out;
    EXPECT_TRUE(platform::TryUtf8ToCp932("\xE5\xB1\xB1", out));
    EXPECT_EQ(out, "\x8E\x52");
    EXPECT_FALSE(platform::TryUtf8ToCp932("\xF0\x9F\x98\x80", out));
    EXPECT_FALSE(platform::TryUtf8ToCp932("\xC3", out));  // cut off
    EXPECT_TRUE(platform::IsValidCp932("abc\x8E\x52"));
    EXPECT_FALSE(platform::IsValidCp932("abc\x8E"));
    EXPECT_FALSE(platform::IsValidCp932("\x80"));
    EXPECT_EQ(platform::Cp932PrefixLength("ab\x8E\x52", 3), 2u);
    EXPECT_EQ(platform::Cp932PrefixLength("ab\x8E\x52", 4), 4u);
    EXPECT_EQ(platform::Cp932PrefixLength("\xB1\xB2\xB3", 2), 2u);  // half-width kana are single bytes
    EXPECT_EQ(platform::Cp932PrefixLength("a\x8E", 5), 1u);         // a lone lead byte is dropped
}

}  // namespace
}  // namespace kura

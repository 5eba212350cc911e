#include "engine/files/KeyEncoding.h"

#include <algorithm>
#include <bit>
#include <limits>

namespace kura {

namespace {

// Writes the low `width` bytes of `bits` most significant first.
void PutBigEndian(uint64_t bits, int width, uint8_t* dest)
{
    for (int i = 0; i < width; ++i)
        dest[width - 1 - i] = static_cast<uint8_t>(bits >> (8 * i));
}

// Nibble `index` of the BCD digit area, held to 9.
unsigned BCDDigit(const uint8_t* bcd, int index)
{
    const uint8_t packed = bcd[2 + index / 2];
    const unsigned digit = (index % 2 == 0) ? (packed >> 4) : (packed & 0x0F);
    return std::min(digit, 9u);
}

// The BCD value as a currency (ten-thousandths), rounded half to even at
// the fourth decimal and held to the currency range, so that the mapping
// never reverses the order of two values.
int64_t BCDToCurrencyForKey(const uint8_t* bcd)
{
    const int precision = std::min<int>(bcd[0], 64);
    const bool negative = (bcd[1] & 0x80) != 0;
    const int places = std::min<int>(bcd[1] & 0x3F, precision);
    const int integerDigits = precision - places;

    // The digits that land in the currency: every integer digit and the
    // first four decimals (missing decimals are zeros).
    constexpr uint64_t kAccumulateLimit = (std::numeric_limits<uint64_t>::max() - 9) / 10;
    uint64_t magnitude = 0;
    bool saturated = false;
    auto push = [&](unsigned digit) {
        if (magnitude > kAccumulateLimit)
            saturated = true;
        else
            magnitude = magnitude * 10 + digit;
    };
    for (int i = 0; i < integerDigits; ++i)
        push(BCDDigit(bcd, i));
    for (int i = 0; i < 4; ++i)
        push(i < places ? BCDDigit(bcd, integerDigits + i) : 0u);

    // Decimals beyond the fourth decide the rounding.
    if (!saturated && places > 4) {
        const unsigned first = BCDDigit(bcd, integerDigits + 4);
        bool restNonZero = false;
        for (int i = integerDigits + 5; i < precision; ++i)
            restNonZero = restNonZero || BCDDigit(bcd, i) != 0;
        const bool up = first > 5 || (first == 5 && (restNonZero || (magnitude & 1) != 0));
        if (up)
            ++magnitude;
    }

    const uint64_t limit = negative ? (uint64_t{1} << 63) : (uint64_t{1} << 63) - 1;
    if (saturated || magnitude > limit)
        magnitude = limit;
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace

void EncodeIntegerKey(int32_t value, uint8_t* dest)
{
    PutBigEndian(static_cast<uint32_t>(value), 4, dest);
    dest[0] ^= 0x80;
}

void EncodeSmallIntKey(int16_t value, uint8_t* dest)
{
    PutBigEndian(static_cast<uint16_t>(value), 2, dest);
    dest[0] ^= 0x80;
}

void EncodeWordKey(uint16_t value, uint8_t* dest)
{
    PutBigEndian(value, 2, dest);
}

void EncodeLargeIntKey(int64_t value, uint8_t* dest)
{
    PutBigEndian(static_cast<uint64_t>(value), 8, dest);
    dest[0] ^= 0x80;
}

void EncodeCurrencyKey(int64_t value, uint8_t* dest)
{
    EncodeLargeIntKey(value, dest);
}

void EncodeFloatKey(double value, uint8_t* dest)
{
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    if (value < 0.0) {
        PutBigEndian(~bits, 8, dest);
    } else {
        PutBigEndian(bits, 8, dest);
        dest[0] |= 0x80;
    }
}

void EncodeBCDKey(const uint8_t* bcd, uint8_t* dest)
{
    EncodeCurrencyKey(BCDToCurrencyForKey(bcd), dest);
}

void InvertBytes(uint8_t* buffer, uint8_t length)
{
    for (unsigned i = 0; i < length; ++i)
        buffer[i] = static_cast<uint8_t>(255 - buffer[i]);
}

void ScrambleBuffer(void* buffer, int32_t length, uint8_t low, uint8_t high)
{
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (int32_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(bytes[i] ^ low ^ high);
        ++low;
        --high;
    }
}

void UnscrambleBuffer(void* buffer, int32_t length, uint8_t low, uint8_t high)
{
    ScrambleBuffer(buffer, length, low, high);
}

uint8_t CommonPrefixLength(const uint8_t* a, const uint8_t* b, uint16_t length)
{
    const unsigned limit = std::min<unsigned>(length, 254);
    unsigned n = 0;
    while (n < limit && a[n] == b[n])
        ++n;
    return static_cast<uint8_t>(n);
}

uint8_t TrailingZeroCount(const uint8_t* last, uint16_t length)
{
    const unsigned limit = std::min<unsigned>(length, 254);
    unsigned n = 0;
    while (n < limit && *(last - n) == 0)
        ++n;
    return static_cast<uint8_t>(n);
}

int32_t NegateInt(int32_t value)
{
    return static_cast<int32_t>(0u - static_cast<uint32_t>(value));
}

}  // namespace kura

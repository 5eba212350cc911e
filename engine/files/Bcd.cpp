#include "engine/files/Bcd.h"

#include <cstring>

namespace kura {

namespace {

uint8_t GetNibble(const uint8_t* bcd, int index) {
    const uint8_t b = bcd[2 + index / 2];
    return (index % 2 == 0) ? static_cast<uint8_t>(b >> 4) : static_cast<uint8_t>(b & 0x0F);
}

void SetNibble(uint8_t* bcd, int index, uint8_t digit) {
    uint8_t& b = bcd[2 + index / 2];
    if (index % 2 == 0)
        b = static_cast<uint8_t>((b & 0x0F) | (digit << 4));
    else
        b = static_cast<uint8_t>((b & 0xF0) | (digit & 0x0F));
}

// 2^63: the magnitude of the most negative currency value.
constexpr uint64_t MaxMagnitude = uint64_t{1} << 63;

}  // namespace

bool CurrToBCDValue(TCurrency value, int decimals, uint8_t* bcd) {
    std::memset(bcd, 0, BcdSize);
    if (decimals < 0 || decimals > BcdPrecision) return false;

    const bool negative = value < 0;
    // Magnitude in unsigned arithmetic so that the minimum currency has one too.
    uint64_t magnitude = negative ? uint64_t{0} - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);

    // Scale the ten-thousandths to the wanted number of places.
    if (decimals < 4) {
        uint64_t divisor = 1;
        for (int i = decimals; i < 4; ++i) divisor *= 10;
        const uint64_t quotient = magnitude / divisor;
        const uint64_t remainder = magnitude % divisor;
        const uint64_t half = divisor / 2;
        uint64_t rounded = quotient;
        if (remainder > half || (remainder == half && (quotient & 1) != 0)) ++rounded;
        magnitude = rounded;
    }

    // Digits of the scaled magnitude, least significant first.
    uint8_t digits[BcdMaxDigits] = {};
    int count = 0;
    for (uint64_t m = magnitude; m != 0; m /= 10) digits[count++] = static_cast<uint8_t>(m % 10);
    // Extra places beyond four are trailing zeros of the fraction.
    const int zeros = decimals > 4 ? decimals - 4 : 0;
    const int total = count == 0 ? 0 : count + zeros;
    if (total > BcdPrecision) return false;

    bcd[0] = BcdPrecision;
    bcd[1] = static_cast<uint8_t>(decimals);
    if (negative && magnitude != 0) bcd[1] |= BcdSignBit;
    // Right-align: the last nibble of the 32 digits is the last decimal place.
    for (int i = 0; i < count; ++i) SetNibble(bcd, BcdPrecision - 1 - zeros - i, digits[i]);
    return true;
}

bool BCDToCurrValue(const uint8_t* bcd, TCurrency& value) {
    value = 0;
    const int precision = bcd[0];
    const uint8_t signPlaces = bcd[1];
    const int places = signPlaces & BcdPlacesMask;
    if (precision > BcdMaxDigits || places > precision || (signPlaces & BcdSpecialBit) != 0) return false;
    for (int i = 0; i < precision; ++i)
        if (GetNibble(bcd, i) > 9) return false;
    const bool negative = (signPlaces & BcdSignBit) != 0;

    // Digits up to the fourth place make the ten-thousandths; the rest round.
    const int kept = precision - places + (places < 4 ? places : 4);
    uint64_t magnitude = 0;
    bool overflow = false;
    for (int i = 0; i < kept; ++i) {
        const uint8_t d = GetNibble(bcd, i);
        if (magnitude > (MaxMagnitude - d) / 10) {
            overflow = true;
            break;
        }
        magnitude = magnitude * 10 + d;
    }
    for (int i = places; i < 4 && !overflow; ++i) {
        if (magnitude > MaxMagnitude / 10) overflow = true;
        else magnitude *= 10;
    }
    if (overflow) return false;

    if (kept < precision) {
        const uint8_t first = GetNibble(bcd, kept);
        bool rest = false;
        for (int i = kept + 1; i < precision; ++i)
            if (GetNibble(bcd, i) != 0) rest = true;
        if (first > 5 || (first == 5 && (rest || (magnitude & 1) != 0))) {
            if (magnitude == MaxMagnitude) return false;
            ++magnitude;
        }
    }

    if (negative) {
        if (magnitude > MaxMagnitude) return false;
        value = static_cast<TCurrency>(uint64_t{0} - magnitude);
    } else {
        if (magnitude >= MaxMagnitude) return false;
        value = static_cast<TCurrency>(magnitude);
    }
    return true;
}

}  // namespace kura

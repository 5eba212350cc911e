#pragma once
// The 34-byte packed decimal that BCD fields keep in records and value buffers.
//
// Byte layout (fixed; tables written by one build must read in every other):
//   offset 0      precision: number of decimal digits held (we always write 32;
//                 readers accept 0..64, 0 meaning "no digits", i.e. zero)
//   offset 1      sign and places: bit 7 set = negative, bit 6 must be clear,
//                 bits 0..5 = places (digits after the decimal point, <= precision)
//   offset 2..33  64 BCD nibbles, high nibble of each byte first. The first
//                 `precision` nibbles are the digits, most significant first; the
//                 last `places` of them follow the decimal point. Unused nibbles
//                 are zero.
// Example: 12.5 with 2 decimals is 20 02, then 28 zero nibbles, 1 2 5 0 and
// 32 zero nibbles (bytes 2..15 zero, 16 = 12, 17 = 50, 18..33 zero).
// Zero is never written with the sign bit set.
#include <cstddef>
#include <cstdint>

namespace kura {

constexpr std::size_t BcdSize = 34;
constexpr uint8_t BcdPrecision = 32;
constexpr uint8_t BcdMaxDigits = 64;
constexpr uint8_t BcdSignBit = 0x80;
constexpr uint8_t BcdSpecialBit = 0x40;
constexpr uint8_t BcdPlacesMask = 0x3F;

// Currency: a signed 64-bit count of ten-thousandths.
using TCurrency = int64_t;
constexpr int64_t CurrencyScale = 10000;

// Writes `value` as a precision-32 BCD with `decimals` places into bcd[0..33].
// With fewer than 4 decimals the ten-thousandths are rounded half to even (the
// platform's currency rounding); with more, the extra digits are zero.
// False (and 34 zero bytes) when decimals exceed 32 or the integer part does not
// fit in the 32 - decimals digits left for it.
bool CurrToBCDValue(TCurrency value, int decimals, uint8_t* bcd);

// Reads a BCD from bcd[0..33] as a currency; digits past the fourth decimal are
// rounded half to even. False (and value 0) when the bytes are not a valid BCD
// (precision above 64, places above precision, special bit, a nibble above 9)
// or the value lies outside the currency range.
bool BCDToCurrValue(const uint8_t* bcd, TCurrency& value);

}  // namespace kura

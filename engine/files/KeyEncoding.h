#pragma once

// Sortable key images, the table-structure XOR scramble and the two counters
// behind index-key prefix and suffix compression.
//
// Index keys are compared as plain byte strings, so every numeric value is
// written as a big-endian image whose unsigned byte order equals the value
// order. Each encoder writes exactly its image width at `dest`.

#include <cstddef>
#include <cstdint>

namespace kura {

// Seed pairs of the scramble: table-file structures and short strings.
constexpr uint8_t TABLE_SCRAMBLE_LOW = 83;
constexpr uint8_t TABLE_SCRAMBLE_HIGH = 164;
constexpr uint8_t STRING_SCRAMBLE_LOW = 121;
constexpr uint8_t STRING_SCRAMBLE_HIGH = 38;

// Size of a stored BCD value and of its key image (a currency key).
constexpr int BCD_VALUE_SIZE = 34;
constexpr int BCD_KEY_SIZE = 8;

// 4 bytes, big-endian, sign bit flipped.
void EncodeIntegerKey(int32_t value, uint8_t* dest);
// 2 bytes, big-endian, sign bit flipped.
void EncodeSmallIntKey(int16_t value, uint8_t* dest);
// 2 bytes, big-endian.
void EncodeWordKey(uint16_t value, uint8_t* dest);
// 8 bytes, big-endian, sign bit flipped.
void EncodeLargeIntKey(int64_t value, uint8_t* dest);
// Currency is the raw count of ten-thousandths; keyed like a 64-bit integer.
void EncodeCurrencyKey(int64_t value, uint8_t* dest);
// 8 bytes: negatives fully inverted, zero (either sign) and positives with
// the sign bit set, so -0.0 and 0.0 share one image.
void EncodeFloatKey(double value, uint8_t* dest);

// Key image of a stored 34-byte BCD value: the value as a currency (rounded
// half to even at the fourth decimal, held to the currency range), then the
// currency key. Layout read: byte 0 precision (digits used, 1..64), byte 1
// sign (0x80) | special (0x40) | decimal places (low 6 bits), bytes 2..33
// the digits as nibbles, most significant first, high nibble before low;
// the first `precision` nibbles are the digits and the last `places` of them
// lie after the decimal point. A malformed value (precision 0 or above 64,
// places above precision, a nibble above 9) is read as far as it is sound:
// precision is held to 64, places to precision and nibbles above 9 count 9.
void EncodeBCDKey(const uint8_t* bcd, uint8_t* dest);

// Each byte b becomes 255 - b; turns an ascending image into a descending
// one. A length of 0 inverts nothing.
void InvertBytes(uint8_t* buffer, uint8_t length);

// The engine's XOR scramble; it is its own inverse. Both names exist so that
// writers and readers say what they mean. A length of 0 or less does nothing.
void ScrambleBuffer(void* buffer, int32_t length, uint8_t low, uint8_t high);
void UnscrambleBuffer(void* buffer, int32_t length, uint8_t low, uint8_t high);

// Equal leading bytes of a and b, at most `length` and at most 254.
uint8_t CommonPrefixLength(const uint8_t* a, const uint8_t* b, uint16_t length);
// Zero bytes at the end of a key, counted backwards from `last` (the key's
// LAST byte), at most `length` and at most 254.
uint8_t TrailingZeroCount(const uint8_t* last, uint16_t length);

// Minus the value; the minimum wraps to itself.
int32_t NegateInt(int32_t value);

}  // namespace kura

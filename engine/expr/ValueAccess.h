#pragma once
// Reading and writing the values that expression nodes carry in their value
// buffers. A buffer holds one value in the engine's stored form (host order, which
// is the little-endian order of records): 16-bit booleans, smallints and words,
// 32-bit integers, dates and times, 64-bit largeints, doubles for floats and
// timestamps, 34-byte BCDs, and zero-terminated text for strings and memos.
//
// Every read is bounded by the buffer's capacity: a node whose buffer is shorter
// than its type needs (a damaged image, a freed buffer) reads as zero, and text
// without a terminator ends at the buffer's end.
#include <cstdint>
#include <cstring>
#include <string_view>

#include "engine/expr/ExpToken.h"
#include "engine/files/Bcd.h"
#include "engine/files/FieldTypes.h"

namespace kura::exv {

template <typename T>
inline T Load(const TExpToken& node) {
    T value{};
    if (node.Value.size() >= sizeof(T)) std::memcpy(&value, node.Value.data(), sizeof(T));
    return value;
}

// Grows the buffer when it cannot hold a T; the value's size stays the caller's.
template <typename T>
inline void Store(TExpToken& node, T value) {
    if (node.Value.size() < sizeof(T)) node.Value.resize(TExpToken::ValueBlockSize, 0);
    std::memcpy(node.Value.data(), &value, sizeof(T));
}

// The capacity needed for size bytes, in whole blocks.
inline void Reserve(TExpToken& node, int64_t size) {
    const int64_t block = TExpToken::ValueBlockSize;
    const int64_t wanted = size <= 0 ? block : ((size + block - 1) / block) * block;
    if (static_cast<int64_t>(node.Value.size()) < wanted) node.Value.resize(static_cast<std::size_t>(wanted), 0);
}

// Zero-fills the first size bytes (at least the buffer's first block).
inline void ZeroValue(TExpToken& node, int64_t size) {
    Reserve(node, size);
    const std::size_t n = size <= 0 ? 0 : static_cast<std::size_t>(size);
    std::memset(node.Value.data(), 0, n);
}

inline const char* Text(const TExpToken& node) {
    static const char empty = 0;
    return node.Value.empty() ? &empty : reinterpret_cast<const char*>(node.Value.data());
}
inline std::size_t TextLength(const TExpToken& node) { return strnlen(Text(node), node.Value.size()); }
inline std::string_view TextView(const TExpToken& node) { return {Text(node), TextLength(node)}; }

// Writes a zero-terminated text and sets DataSize to its length + 1.
inline void PutText(TExpToken& node, std::string_view text) {
    Reserve(node, static_cast<int64_t>(text.size()) + 1);
    if (!text.empty()) std::memmove(node.Value.data(), text.data(), text.size());
    node.Value[text.size()] = 0;
    node.DataSize = static_cast<int32_t>(text.size() + 1);
}

inline bool IsText(uint8_t type, uint8_t subtype) {
    return type == fldZSTRING || (type == fldBLOB && subtype == fldstMEMO);
}
inline bool IsText(const TExpToken& node) { return IsText(node.DataType, node.DataSubtype); }

// smallint, integer, word
inline bool IsSmallInteger(uint8_t type) { return type == fldINT16 || type == fldINT32 || type == fldUINT16; }
// the above and largeint
inline bool IsInteger(uint8_t type) { return IsSmallInteger(type) || type == fldINT64; }
// smallint, integer, float, BCD, word, largeint
inline bool IsNumeric(uint8_t type) { return IsInteger(type) || type == fldFLOAT || type == fldBCD; }
inline bool IsDateTime(uint8_t type) { return type == fldDATE || type == fldTIME || type == fldTIMESTAMP; }

// An integer-family value widened to 64 bits (smallint sign-extended, word zero-extended).
inline int64_t Integer(const TExpToken& node) {
    switch (node.DataType) {
        case fldINT16: return Load<int16_t>(node);
        case fldUINT16: return Load<uint16_t>(node);
        case fldINT64: return Load<int64_t>(node);
        case fldBOOL: return Load<int16_t>(node);
        default: return Load<int32_t>(node);  // integer, date, time
    }
}

// A BCD value as currency (ten-thousandths); 0 for a damaged BCD.
inline TCurrency Currency(const TExpToken& node) {
    TCurrency value = 0;
    if (node.Value.size() >= BcdSize && !BCDToCurrValue(node.Value.data(), value)) value = 0;
    return value;
}

// Any numeric value as an extended float; a BCD enters as its currency / 10,000.
inline long double Float(const TExpToken& node) {
    switch (node.DataType) {
        case fldFLOAT:
        case fldTIMESTAMP: return Load<double>(node);
        case fldBCD: return static_cast<long double>(Currency(node)) / CurrencyScale;
        default: return static_cast<long double>(Integer(node));
    }
}

// Any numeric value as currency: integers scaled, floats rounded to the nearest.
TCurrency AsCurrency(const TExpToken& node);

// Writes a currency as a BCD with the given scale.
inline void PutCurrency(TExpToken& node, TCurrency value, int scale) {
    Reserve(node, BcdSize);
    CurrToBCDValue(value, scale, node.Value.data());
}

// Wrapping integer arithmetic: two's complement results without signed overflow.
inline int32_t Wrap32(uint32_t v) { return static_cast<int32_t>(v); }
inline int64_t Wrap64(uint64_t v) { return static_cast<int64_t>(v); }
inline int32_t Add32(int64_t a, int64_t b) { return Wrap32(static_cast<uint32_t>(a) + static_cast<uint32_t>(b)); }
inline int32_t Sub32(int64_t a, int64_t b) { return Wrap32(static_cast<uint32_t>(a) - static_cast<uint32_t>(b)); }
inline int32_t Mul32(int64_t a, int64_t b) { return Wrap32(static_cast<uint32_t>(a) * static_cast<uint32_t>(b)); }
inline int64_t Add64(int64_t a, int64_t b) { return Wrap64(static_cast<uint64_t>(a) + static_cast<uint64_t>(b)); }
inline int64_t Sub64(int64_t a, int64_t b) { return Wrap64(static_cast<uint64_t>(a) - static_cast<uint64_t>(b)); }
inline int64_t Mul64(int64_t a, int64_t b) { return Wrap64(static_cast<uint64_t>(a) * static_cast<uint64_t>(b)); }

}  // namespace kura::exv

#pragma once
// The 768-byte description of one column as the data file stores it, and the
// little-endian helpers that read and write the table file structures field by
// field.
//
// A descriptor is kept as its raw bytes so that everything the file carries but
// does not interpret (bytes 248..767, the reserved byte) survives a read and a
// write unchanged; the accessors below name the fields the engine uses.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/files/FieldTypes.h"

namespace kura {

namespace dfbytes {

inline uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t GetU64(const uint8_t* p) {
    return static_cast<uint64_t>(GetU32(p)) | (static_cast<uint64_t>(GetU32(p + 4)) << 32);
}
inline double GetDouble(const uint8_t* p) { return std::bit_cast<double>(GetU64(p)); }

inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutU64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void PutDouble(uint8_t* p, double v) { PutU64(p, std::bit_cast<uint64_t>(v)); }

// A length-prefixed string of at most maxLength characters. A length byte above
// the maximum (a damaged file) reads only the characters the field has room for.
inline std::string GetPStr(const uint8_t* p, uint8_t maxLength) {
    uint8_t length = p[0] > maxLength ? maxLength : p[0];
    return std::string(reinterpret_cast<const char*>(p + 1), length);
}
// Longer texts are cut to the field; the bytes after the text are left as they were.
inline void PutPStr(uint8_t* p, uint8_t maxLength, std::string_view text) {
    std::size_t length = text.size() > maxLength ? maxLength : text.size();
    p[0] = static_cast<uint8_t>(length);
    if (length > 0) std::memcpy(p + 1, text.data(), length);
}

}  // namespace dfbytes

constexpr int32_t FIELD_DESC_SIZE = 768;
constexpr uint8_t FIELD_NAME_LENGTH = 30;
constexpr uint8_t FIELD_DESCRIPTION_LENGTH = 50;
constexpr uint8_t FIELD_VALUE_TEXT_LENGTH = 50;  // minimum, maximum and default
constexpr uint8_t FIELD_MAX_DECLARED_SIZE = 250;

// Byte offsets inside a descriptor.
namespace fdo {
constexpr int FieldNo = 0;
constexpr int Name = 2;
constexpr int Description = 33;
constexpr int FieldType = 84;
constexpr int SubType = 85;
constexpr int DeclaredSize = 86;
constexpr int DeclaredDecimals = 87;
constexpr int StoredSize = 88;
constexpr int StoredDecimals = 89;
constexpr int Offset = 90;
constexpr int Required = 92;
constexpr int Reserved = 93;
constexpr int MinValue = 94;
constexpr int MaxValue = 145;
constexpr int DefaultValue = 196;
constexpr int Computed = 247;
constexpr int Expression = 248;
constexpr int Hidden = 252;  // a cursor's own field that datasets leave out
constexpr int Descending = 253;
constexpr int Origin = 254;
constexpr int SourceFieldNo = 355;
constexpr int Position = 357;
constexpr int DatabaseText = 359;
}  // namespace fdo

struct TFieldDesc {
    std::array<uint8_t, FIELD_DESC_SIZE> Bytes{};

    uint8_t* Data() { return Bytes.data(); }
    const uint8_t* Data() const { return Bytes.data(); }

    uint16_t FieldNo() const { return dfbytes::GetU16(&Bytes[fdo::FieldNo]); }
    void SetFieldNo(uint16_t v) { dfbytes::PutU16(&Bytes[fdo::FieldNo], v); }
    std::string Name() const { return dfbytes::GetPStr(&Bytes[fdo::Name], FIELD_NAME_LENGTH); }
    void SetName(std::string_view v) { dfbytes::PutPStr(&Bytes[fdo::Name], FIELD_NAME_LENGTH, v); }
    std::string Description() const { return dfbytes::GetPStr(&Bytes[fdo::Description], FIELD_DESCRIPTION_LENGTH); }
    void SetDescription(std::string_view v) {
        dfbytes::PutPStr(&Bytes[fdo::Description], FIELD_DESCRIPTION_LENGTH, v);
    }
    TEngineFieldType FieldType() const { return Bytes[fdo::FieldType]; }
    void SetFieldType(TEngineFieldType v) { Bytes[fdo::FieldType] = v; }
    TEngineFieldSubtype SubType() const { return Bytes[fdo::SubType]; }
    void SetSubType(TEngineFieldSubtype v) { Bytes[fdo::SubType] = v; }
    uint8_t DeclaredSize() const { return Bytes[fdo::DeclaredSize]; }
    void SetDeclaredSize(uint8_t v) { Bytes[fdo::DeclaredSize] = v; }
    uint8_t DeclaredDecimals() const { return Bytes[fdo::DeclaredDecimals]; }
    void SetDeclaredDecimals(uint8_t v) { Bytes[fdo::DeclaredDecimals] = v; }
    uint8_t StoredSize() const { return Bytes[fdo::StoredSize]; }
    void SetStoredSize(uint8_t v) { Bytes[fdo::StoredSize] = v; }
    uint8_t StoredDecimals() const { return Bytes[fdo::StoredDecimals]; }
    void SetStoredDecimals(uint8_t v) { Bytes[fdo::StoredDecimals] = v; }
    uint16_t Offset() const { return dfbytes::GetU16(&Bytes[fdo::Offset]); }
    void SetOffset(uint16_t v) { dfbytes::PutU16(&Bytes[fdo::Offset], v); }
    uint8_t Required() const { return Bytes[fdo::Required]; }
    void SetRequired(uint8_t v) { Bytes[fdo::Required] = v; }
    std::string MinValue() const { return dfbytes::GetPStr(&Bytes[fdo::MinValue], FIELD_VALUE_TEXT_LENGTH); }
    void SetMinValue(std::string_view v) { dfbytes::PutPStr(&Bytes[fdo::MinValue], FIELD_VALUE_TEXT_LENGTH, v); }
    std::string MaxValue() const { return dfbytes::GetPStr(&Bytes[fdo::MaxValue], FIELD_VALUE_TEXT_LENGTH); }
    void SetMaxValue(std::string_view v) { dfbytes::PutPStr(&Bytes[fdo::MaxValue], FIELD_VALUE_TEXT_LENGTH, v); }
    std::string DefaultValue() const {
        return dfbytes::GetPStr(&Bytes[fdo::DefaultValue], FIELD_VALUE_TEXT_LENGTH);
    }
    void SetDefaultValue(std::string_view v) {
        dfbytes::PutPStr(&Bytes[fdo::DefaultValue], FIELD_VALUE_TEXT_LENGTH, v);
    }
    uint8_t Computed() const { return Bytes[fdo::Computed]; }
    void SetComputed(uint8_t v) { Bytes[fdo::Computed] = v; }
    // The field's position as the find operations of the data file store it.
    uint16_t Position() const { return dfbytes::GetU16(&Bytes[fdo::Position]); }
    void SetPosition(uint16_t v) { dfbytes::PutU16(&Bytes[fdo::Position], v); }

    // The auto-increment field lives in the record header and has no room of its own.
    bool IsAutoInc() const { return FieldType() == fldINT32 && SubType() == fldstAUTOINC; }
    // Bytes the field takes in a record: its presence byte and its value, or nothing.
    int32_t RecordRoom() const { return (IsAutoInc() || Computed() != 0) ? 0 : StoredSize() + 1; }
    // Stored size and decimals derived from the type and the declared values.
    void DerivePhysical() {
        SetStoredSize(static_cast<uint8_t>(GetFieldPhysicalSize(FieldType(), DeclaredSize())));
        SetStoredDecimals(GetFieldPhysicalDecimals(DeclaredDecimals()));
    }
};

}  // namespace kura

#include "engine/files/FieldTypes.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "engine/files/KeyEncoding.h"
#include "engine/files/Locale.h"

namespace kura {

namespace {

// Width of the fixed-width types; 0 for strings and the raw-byte types.
uint8_t FixedWidth(TEngineFieldType type) {
    switch (type) {
        case fldZSTRING:
        case fldBLOB:
        case fldBYTES:
        case fldUINT32:
        case fldFLOATIEEE:
        case fldVARBYTES:
            return 0;
        default:
            return static_cast<uint8_t>(GetFieldPhysicalSize(type, 0));
    }
}

int CompareNumbers(int32_t a, int32_t b) {
    if (a < b) return -1;
    return a > b ? 1 : 0;
}

uint16_t ReadU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t ReadU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint64_t ReadU64(const uint8_t* p) {
    return static_cast<uint64_t>(ReadU32(p)) | (static_cast<uint64_t>(ReadU32(p + 4)) << 32);
}

double ReadDouble(const uint8_t* p) {
    const uint64_t bits = ReadU64(p);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

// The string key: the text (upper-cased in the value first when asked) up to
// its terminator, at most storedSize - 1 characters, then zeros.
void StringToKey(uint8_t storedSize, uint8_t* value, uint8_t* key, uint16_t languageId, uint16_t sortId,
                 bool caseInsensitive) {
    if (storedSize == 0) return;
    const size_t room = storedSize - 1u;
    size_t length = 0;
    while (length < room && value[length] != 0) ++length;
    if (caseInsensitive && length > 0) {
        // Work on a terminated copy: a damaged value may lack its terminator.
        std::string text(reinterpret_cast<const char*>(value), length);
        LocaleUpperCase(languageId, sortId, text);
        const size_t upper = std::min(length, std::strlen(text.c_str()));
        std::memcpy(value, text.data(), upper);
        if (upper < length) {
            value[upper] = 0;
            length = upper;
        }
    }
    std::memcpy(key, value, length);
    std::memset(key + length, 0, storedSize - length);
}

}  // namespace

uint16_t GetFieldPhysicalSize(TEngineFieldType type, uint8_t declaredSize) {
    switch (type) {
        case fldZSTRING:
            return static_cast<uint16_t>(declaredSize + 1);
        case fldDATE:
        case fldINT32:
        case fldTIME:
        case fldUINT32:
            return 4;
        case fldBLOB:
        case fldFLOAT:
        case fldTIMESTAMP:
        case fldINT64:
            return 8;
        case fldBOOL:
        case fldINT16:
        case fldUINT16:
            return 2;
        case fldBCD:
            return 34;
        case fldFLOATIEEE:
            return 10;
        default:
            return declaredSize;
    }
}

uint8_t GetFieldPhysicalDecimals(uint8_t declaredDecimals) { return declaredDecimals; }

uint8_t GetFieldDataSize(TEngineFieldType type, uint8_t storedSize) {
    return type == fldBCD ? static_cast<uint8_t>(BCD_KEY_SIZE) : storedSize;
}

void FieldValueToKey(TEngineFieldType type, uint8_t storedSize, uint8_t* value, uint8_t* segment,
                     uint16_t languageId, uint16_t sortId, bool descending, bool caseInsensitive) {
    uint8_t* key = segment + 1;
    // A fixed-width type only uses its encoder when the stored size agrees;
    // a damaged descriptor falls back to the raw bytes it claims to have.
    const uint8_t width = FixedWidth(type);
    const bool fits = width == 0 || width == storedSize;
    switch (fits ? type : fldUNKNOWN) {
        case fldZSTRING:
            StringToKey(storedSize, value, key, languageId, sortId, caseInsensitive);
            break;
        case fldDATE:
        case fldINT32:
        case fldTIME:
            EncodeIntegerKey(static_cast<int32_t>(ReadU32(value)), key);
            break;
        case fldBOOL:
        case fldUINT16:
            EncodeWordKey(ReadU16(value), key);
            break;
        case fldINT16:
            EncodeSmallIntKey(static_cast<int16_t>(ReadU16(value)), key);
            break;
        case fldFLOAT:
        case fldTIMESTAMP:
            EncodeFloatKey(ReadDouble(value), key);
            break;
        case fldBCD:
            EncodeBCDKey(value, key);
            break;
        case fldINT64:
            EncodeLargeIntKey(static_cast<int64_t>(ReadU64(value)), key);
            break;
        default:
            if (type == fldBCD)
                std::memset(key, 0, BCD_KEY_SIZE);  // never read 34 bytes from a shorter value
            else
                std::memcpy(key, value, storedSize);
            break;
    }

    if (descending && languageId == 0) {
        InvertBytes(segment, 1);
        // The last text byte (a full-length string's terminator position) stays.
        const uint8_t length = type == fldZSTRING ? static_cast<uint8_t>(storedSize == 0 ? 0 : storedSize - 1)
                                                  : GetFieldDataSize(type, storedSize);
        InvertBytes(key, length);
    }
}

int CompareRecordNumber(int32_t cachedNumber, int32_t searchedNumber) {
    return CompareNumbers(cachedNumber, searchedNumber);
}

int ComparePageNumber(int32_t cachedNumber, int32_t searchedNumber) {
    return CompareNumbers(cachedNumber, searchedNumber);
}

int CompareBlockNumber(int32_t cachedNumber, int32_t searchedNumber) {
    return CompareNumbers(cachedNumber, searchedNumber);
}

int CompareCachedNumbers(int32_t numberA, int32_t numberB) { return CompareNumbers(numberA, numberB); }

}  // namespace kura

#pragma once
// Engine field type and subtype codes, the room a value of each type takes in a
// record and in a key, and the small procedures every table structure shares:
// stored size and decimals of a field, the width of a value in comparisons, the
// sortable key segment of one value, and the number comparisons of the caches.
#include <cstdint>

namespace kura {

// One byte in every field descriptor.
using TEngineFieldType = uint8_t;

constexpr TEngineFieldType fldUNKNOWN = 0;    // no type (the NULL constant of expressions)
constexpr TEngineFieldType fldZSTRING = 1;    // zero-terminated string
constexpr TEngineFieldType fldDATE = 2;       // i32 day number, 0001-01-01 is day 1
constexpr TEngineFieldType fldBLOB = 3;       // 8-byte BLOB reference
constexpr TEngineFieldType fldBOOL = 4;       // u16, 0 or 1
constexpr TEngineFieldType fldINT16 = 5;
constexpr TEngineFieldType fldINT32 = 6;
constexpr TEngineFieldType fldFLOAT = 7;      // IEEE double
constexpr TEngineFieldType fldBCD = 8;        // 34-byte packed decimal (engine/files/Bcd.h)
constexpr TEngineFieldType fldBYTES = 9;      // fixed bytes
constexpr TEngineFieldType fldTIME = 10;      // i32 milliseconds since midnight
constexpr TEngineFieldType fldTIMESTAMP = 11; // double: milliseconds since 0001-01-01 00:00
constexpr TEngineFieldType fldUINT16 = 12;
constexpr TEngineFieldType fldUINT32 = 13;
constexpr TEngineFieldType fldFLOATIEEE = 14; // ten-byte value
constexpr TEngineFieldType fldVARBYTES = 15;
constexpr TEngineFieldType fldCURSOR = 17;
constexpr TEngineFieldType fldINT64 = 18;
constexpr TEngineFieldType fldADT = 20;
constexpr TEngineFieldType fldARRAY = 21;
constexpr TEngineFieldType fldREF = 22;
constexpr TEngineFieldType fldTABLE = 23;     // nested dataset

// One byte beside the type in every field descriptor.
using TEngineFieldSubtype = uint8_t;

constexpr TEngineFieldSubtype fldstNONE = 0;
constexpr TEngineFieldSubtype fldstMONEY = 21;        // on FLOAT or BCD
constexpr TEngineFieldSubtype fldstMEMO = 22;         // BLOB subtypes from here to 28
constexpr TEngineFieldSubtype fldstBINARY = 23;
constexpr TEngineFieldSubtype fldstFMTMEMO = 24;
constexpr TEngineFieldSubtype fldstOLEOBJ = 25;
constexpr TEngineFieldSubtype fldstGRAPHIC = 26;
constexpr TEngineFieldSubtype fldstDBSOLEOBJ = 27;
constexpr TEngineFieldSubtype fldstTYPEDBINARY = 28;
constexpr TEngineFieldSubtype fldstAUTOINC = 29;      // on INT32
constexpr TEngineFieldSubtype fldstFIXED = 31;        // on ZSTRING
constexpr TEngineFieldSubtype fldstUNICODE = 32;      // on ZSTRING

// Bytes a value takes in a record, from the type and the declared size. A string
// needs one more byte for its terminator, which is why the result is wider than
// the descriptor's byte: a corrupt declared size of 255 must be seen as 256, not
// wrap to 0. Types without a fixed width (and unknown ones) keep the declared size.
uint16_t GetFieldPhysicalSize(TEngineFieldType type, uint8_t declaredSize);

// Stored decimals are the declared decimals.
uint8_t GetFieldPhysicalDecimals(uint8_t declaredDecimals);

// Width of a value in a key segment and in comparisons: 8 for BCD (it keys and
// compares as a currency), otherwise the stored size.
uint8_t GetFieldDataSize(TEngineFieldType type, uint8_t storedSize);

// Writes the sortable key of one value at segment[1 .. GetFieldDataSize]; the
// caller has written the presence flag at segment[0]. `value` holds the stored
// form (storedSize bytes). A case-insensitive string is upper-cased in place in
// `value` first, by the locale of languageId/sortId. With `descending` and
// language 0 the flag and the value bytes are inverted (for a string all but the
// last text byte); under a locale the comparison reverses descending segments
// itself. A string key is zero-filled after its terminator so that equal texts
// give equal segments. A fixed-width type whose stored size is not its width (a
// damaged descriptor) is keyed as raw bytes, and never read or written past
// storedSize.
void FieldValueToKey(TEngineFieldType type, uint8_t storedSize, uint8_t* value, uint8_t* segment,
                     uint16_t languageId, uint16_t sortId, bool descending, bool caseInsensitive);

// Comparisons of the signed numbers of cached records, index pages and BLOB
// blocks, for the caches' binary searches (cached number against the searched
// one) and the index file's page-list sort: -1, 0 or 1.
int CompareRecordNumber(int32_t cachedNumber, int32_t searchedNumber);
int ComparePageNumber(int32_t cachedNumber, int32_t searchedNumber);
int CompareBlockNumber(int32_t cachedNumber, int32_t searchedNumber);
int CompareCachedNumbers(int32_t numberA, int32_t numberB);

}  // namespace kura

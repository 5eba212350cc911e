#pragma once
// Giving an existing table a new definition while keeping its records
// (TDataCursor::RestructureTable, CursorRestructure.cpp, CursorIndexRebuild.cpp):
// the engine side of ALTER TABLE and of the dataset components' table
// restructuring.
//
// The cursor names the table and must be closed, set for exclusive use and not
// read-only; inside a transaction of its database it is refused (KURA_TABLEOPEN)
// before anything is opened, since the transaction would hold the files the
// restructure replaces. It takes the cheapest of three ways:
// - Neither the stored form of the fields nor any index changes (names,
//   descriptions, table description, password, user versions and the last
//   auto-increment value only): the headers are rewritten in place.
// - Only indexes change (keys, the primary index, "Sys Text" or its parameters):
//   the index file is copied to .IBK, then the changed indexes are built anew from
//   the records in the table's own index file; the data and BLOB files are not
//   written (but for changed names and header values). Every change stays in the
//   caches until one flush at the end that the table's journal makes all or
//   nothing, so a failure or a stop at any point leaves the old indexes whole, and
//   the .IBK goes again. With SuppressBackups the .IBK goes at the end too.
// - Any field changes: every live record is copied into a new table in the old
//   table's database (the in-memory database for an in-memory table), which is
//   then put in the old table's place (TableSwap.h): until then the old files are
//   not touched, and from then on a crash leaves a table that completes the swap
//   when it is next opened. With SuppressBackups false the old files stay as .DBK,
//   .IBK and .BBK.
// Both rebuilds leave indexes equal to those a new table with the new definition
// would get from the same rows.
//
// Field definitions name by their field number the old field whose values they
// receive; a number no old field has makes a new, empty field. Index definitions
// name their key fields by old field numbers too.
//
// The restructure question (cursor callback slot 10) is asked with a reason and a
// text; the callback answers stop-asking (initially false) and continue (initially
// true). Continue false ends the restructure without an error and leaves the old
// table as it was. Continue true: a dropped field is dropped; a row whose value
// cannot be converted, or that the new table or a new unique index refuses (a key
// violation, a value check), is left out (removed from the table).
#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/core/TableCreation.h"
#include "engine/files/DataFile.h"
#include "engine/files/StringList.h"

namespace kura {

// Reasons of the restructure question.
constexpr uint8_t rqOtherError = 0;    // text empty
constexpr uint8_t rqKeyViolation = 1;  // text: the index
constexpr uint8_t rqValueCheck = 2;    // text: the field (minimum, maximum, required)
constexpr uint8_t rqFieldDropped = 3;  // text: the old field
constexpr uint8_t rqConversion = 4;    // text: the old field

struct TRestructureParams {
    uint16_t LocaleId = 0;
    uint16_t SortId = 0;
    uint16_t UserMajor = 1;
    uint16_t UserMinor = 0;
    bool Encrypted = false;
    std::string Password;     // at most 15 characters
    std::string Description;  // at most 50 characters
    uint16_t BlobBlockSize = DEFAULT_BLOB_BLOCK_SIZE;
    std::vector<TFieldDesc> Fields;
    uint8_t IndexCount = 0;   // secondary indexes
    // Slot 0 the primary index (no key fields: none), 1..IndexCount the secondary
    // indexes, SYS_TEXT_SLOT the full-text index.
    TIndexDescSlots Indexes{};
    uint8_t Option = 0;       // passed on to the definition checks and table creation
    int32_t LastAutoInc = -1; // -1 keeps the table's value
    // nullptr keeps the table's current full-text parameters.
    const TStringList* StopWords = nullptr;
    const std::bitset<256>* SpaceChars = nullptr;
    const std::bitset<256>* IncludeChars = nullptr;
    bool SuppressBackups = false;
};

}  // namespace kura

#pragma once
// The checks that the field and index definitions of a new or restructured table
// must pass, and the comparisons restructuring makes between old and new
// definitions. The checks complete the derived bytes of each definition (trimmed
// names, stored sizes, offsets, key sizes) in place, and raise before anything is
// written, so a definition that fails leaves no files behind.
//
// The cursor operations built on them (CreateTable, DeleteTable, RenameTable,
// EmptyTable, GetDataHeader ...) are members of TDataCursor (TableCreation.cpp).
#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/BlobFile.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/IndexFile.h"

namespace kura {

// Slot 0 the primary index, 1..30 the secondary indexes, 32 the full-text index.
using TIndexDescSlots = std::array<TIndexDesc, INDEX_SLOT_COUNT>;

// What every error of the checks names besides the field or index.
struct TDefinitionContext {
    std::string Server;
    std::string Database;
    std::string Table;
    [[noreturn]] void Raise(TEngineErrorCode code, std::string_view field = {}, std::string_view index = {}) const;
};

// The record header before the first field: the auto-increment field lives at 5.
constexpr uint16_t FIRST_FIELD_OFFSET = 9;
constexpr uint16_t AUTOINC_FIELD_OFFSET = 5;

// The table-level checks (password, locale, counts, BLOB block size), then the
// field definitions with offsets assigned and the index definitions.
void ValidateTableDefs(const TDefinitionContext& context, uint16_t localeId, uint16_t sortId, bool encrypted,
                       std::string_view password, uint16_t blobBlockSize, std::vector<TFieldDesc>& fieldDefs,
                       TIndexDescSlots& indexDefs, uint32_t secondaryCount, bool noPrimaryIndex, bool allowComputed);
// Each field checked and completed in order (name trimmed, sizes and decimals
// derived, offsets assigned when asked).
void ValidateFieldDefs(const TDefinitionContext& context, bool allowComputed, std::vector<TFieldDesc>& fieldDefs,
                       bool assignOffsets);
// Each index 0..secondaryCount and the full-text index checked and completed (key
// field count, key size; root, free-page chain and raw-data page cleared).
void ValidateIndexDefs(const TDefinitionContext& context, TIndexDescSlots& indexDefs, uint32_t secondaryCount,
                       const std::vector<TFieldDesc>& fieldDefs, bool noPrimaryIndex);

// True when the two definitions differ in anything that changes stored values:
// field number, type, subtype, stored size and decimals, the required byte, byte
// 93, or the default, minimum and maximum texts (compared without regard to case).
bool CompareFieldDefs(const TFieldDesc& a, const TFieldDesc& b);
// True when an index must be rebuilt for its new definition: its key options
// differ, or a key field's number or definition (the old table's field against the
// new definition of that number) does. A key field that no new definition carries
// raises 9985 with the field number.
bool IndexNeedsRebuild(const TDefinitionContext& context, const TIndexDesc& oldDesc, const TIndexDesc& newDesc,
                       const std::vector<TFieldDesc>& oldFieldDefs, const std::vector<TFieldDesc>& newFieldDefs);

// Blanks (and control characters) removed at both ends.
std::string TrimDefinitionName(std::string_view name);

}  // namespace kura

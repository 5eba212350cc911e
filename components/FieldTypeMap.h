#pragma once
// The mapping between the dataset framework's field types and the engine's type
// and subtype codes, in both directions.
#include <cstdint>
#include <functional>
#include <string>

#include "engine/files/FieldDesc.h"
#include "engine/files/IndexFile.h"
#include "platform/dataset/FieldDefs.h"

namespace kura {

struct TEngineType {
    TEngineFieldType Type = 0;
    TEngineFieldSubtype SubType = 0;
};

TEngineType FieldTypeToEngine(TFieldType type);
// A field definition from an engine descriptor: type with its refinements, size and
// precision. DataType ftUnknown means the field is left out.
TFieldDef FieldDefFromDesc(const TFieldDesc& desc);
// A 768-byte engine descriptor from a field definition (number, name, type, size,
// decimals, required).
TFieldDesc FieldDescFromDef(const TFieldDef& def, uint16_t fieldNo);
// The index options an engine index descriptor gives (ixPrimary for slot 0).
TIndexOptions IndexOptionsOf(const TIndexDesc& desc, bool primary);
// A 120-byte engine index descriptor from an index definition: name, the descending
// flag on the index and on each of its fields, case-insensitive and unique flags,
// and up to 16 key fields, each name turned into its engine field number by fieldNo
// (which raises for an unknown name).
TIndexDesc IndexDescFromDef(const TIndexDef& def, const std::function<uint16_t(const std::string&)>& fieldNo);

}  // namespace kura

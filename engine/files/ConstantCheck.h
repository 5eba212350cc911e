#pragma once
// Whether a constant text fits a field type: the test applied to the minimum,
// maximum and default texts of field descriptors and to typed constants.
#include <string_view>

#include "engine/files/FieldTypes.h"

namespace kura {

// Empty text fits every type, and any text fits strings, bytes, variable bytes,
// BLOBs, types above 18 and types without a text form. Dates, times and timestamps
// also take the names CURRENT_DATE, CURRENT_TIME and (timestamps) CURRENT_TIMESTAMP
// in any letter case; numbers and booleans must convert in the engine-neutral form.
bool IsValidConstantForType(std::string_view text, TEngineFieldType fieldType);

}  // namespace kura

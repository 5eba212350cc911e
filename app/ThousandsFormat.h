#pragma once
// Whole numbers with their thousands separated by commas, as the pattern "#,#" shows
// them (1234 -> "1,234", -1234567 -> "-1,234,567"). Zero shows as "0": the pattern
// alone would show nothing, and a head count must never be blank.
#include <cstdint>
#include <string>

namespace app {

std::string FormatThousands(int64_t value);

}  // namespace app

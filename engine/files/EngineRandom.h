#pragma once
#include <cstdint>

namespace kura {

// A reader-lock byte for index and BLOB files: 1..65535, drawn from one generator
// for the whole process, seeded once from the clock and the process id so that
// programs started in the same instant draw different bytes.
int32_t RandomReaderByte();

}  // namespace kura

// The ":name" parameter parser over arbitrary SQL text: no crash, no over-read, and
// every parameter it creates has a marker in the output.
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/dataset/Params.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string sql(reinterpret_cast<const char*>(data), size);
    kura::TParams params;
    const std::string text = params.ParseSQL(sql, true);
    std::size_t markers = 0;
    for (char c : text) markers += c == '?';
    if (static_cast<std::size_t>(params.Count()) > markers) __builtin_trap();
    kura::TParams again;
    if (again.ParseSQL(sql, false) != text) __builtin_trap();
    return 0;
}

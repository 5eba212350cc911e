#pragma once
// Sizes a benchmark run takes from the environment, for profiling runs.
#include <cstdint>
#include <cstdlib>

namespace kura::bench {

// The count the variable gives when it lies within [least, most]; the fallback
// when it is unset or outside.
inline int32_t CountFromEnvironment(const char* variable, int32_t fallback, int32_t least = 10,
                                    int32_t most = 10'000'000) {
    const char* text = std::getenv(variable);
    const long n = text ? std::strtol(text, nullptr, 10) : 0;
    return n >= least && n <= most ? static_cast<int32_t>(n) : fallback;
}

}  // namespace kura::bench

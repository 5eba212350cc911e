#pragma once
// What the engine tests of every layer share, free of any test framework so that
// the helper processes can use it too: the engine error an action raises, and
// whole files read and written as bytes.
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"

namespace kura::test {

// Runs f; the engine error code it raised, 0 when none.
template <class F>
TEngineErrorCode ErrorOf(F&& f) {
    try {
        f();
    } catch (const EKuraEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

// The engine error an action raised with the table, field and index it names;
// code 0 when none.
struct Raised {
    TEngineErrorCode code = 0;
    std::string table, field, index;
};

template <class F>
Raised RaisedBy(F&& f) {
    Raised r;
    try {
        f();
    } catch (const EKuraEngineError& e) {
        r.code = e.ErrorCode();
        r.table = e.ErrorContext(3);
        r.field = e.ErrorContext(4);
        r.index = e.ErrorContext(5);
    }
    return r;
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFileBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace kura::test

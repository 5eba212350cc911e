#pragma once
// A byte stream with a position: the base of the BLOB streams through which BLOB
// fields are read and written.
#include <cstdint>
#include <string>

namespace kura {

enum TSeekOrigin : uint8_t { soBeginning = 0, soCurrent = 1, soEnd = 2 };

class TStream {
public:
    virtual ~TStream() = default;
    // Bytes actually read or written.
    virtual int32_t Read(void* buffer, int32_t count) = 0;
    virtual int32_t Write(const void* buffer, int32_t count) = 0;
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
    // Cuts the stream at the current position (BLOB streams).
    virtual void Truncate() {}

    int64_t Position() { return Seek(0, soCurrent); }
    void SetPosition(int64_t value) { Seek(value, soBeginning); }
    int64_t Size();
    // Everything from the current position to the end.
    std::string ReadAll();
};

}  // namespace kura

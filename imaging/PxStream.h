#pragma once
// Byte streams the pictures are read from and written to: a stream has a position
// and a size; ReadBuffer and WriteBuffer raise EReadError when the bytes cannot be
// read or written in full.
// TPxMemoryStream keeps its bytes in memory; TPxFileStream is a file on disk.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace imaging {

enum class TSeekOrigin { Beginning, Current, End };

class TPxStream {
public:
    virtual ~TPxStream() = default;
    // Reads up to count bytes; answers how many were read.
    virtual uint64_t Read(void* buffer, uint64_t count) = 0;
    virtual void Write(const void* buffer, uint64_t count) = 0;
    // Answers the new position; a position before 0 is refused with EReadError.
    virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::Current); }
    int64_t Size();
    // Bytes between the position and the end.
    uint64_t Remaining();
    void ReadBuffer(void* buffer, uint64_t count);
    void WriteBuffer(const void* buffer, uint64_t count) { Write(buffer, count); }
};

class TPxMemoryStream : public TPxStream {
public:
    TPxMemoryStream() = default;
    explicit TPxMemoryStream(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    uint64_t Read(void* buffer, uint64_t count) override;
    void Write(const void* buffer, uint64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    uint64_t pos_ = 0;
};

// Opens an existing file for reading and writing, or creates (truncates) it. The path
// is the system's name of the file (UTF-8), as Qt and the C library take it.
class TPxFileStream : public TPxStream {
public:
    enum class TMode { OpenRead, OpenReadWrite, Create };
    TPxFileStream(const std::string& path, TMode mode);  // raises EReadError when it cannot open
    ~TPxFileStream() override;
    TPxFileStream(const TPxFileStream&) = delete;
    TPxFileStream& operator=(const TPxFileStream&) = delete;
    uint64_t Read(void* buffer, uint64_t count) override;
    void Write(const void* buffer, uint64_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;

private:
    std::FILE* file_ = nullptr;
};

}  // namespace imaging

#include "imaging/PxStream.h"

#include <algorithm>
#include <cstring>

#include "imaging/PxDIBErrors.h"

namespace imaging {

int64_t TPxStream::Size()
{
    const int64_t here = Position();
    const int64_t end = Seek(0, TSeekOrigin::End);
    Seek(here, TSeekOrigin::Beginning);
    return end;
}

uint64_t TPxStream::Remaining()
{
    const int64_t here = Position();
    const int64_t size = Size();
    return size > here ? static_cast<uint64_t>(size - here) : 0;
}

void TPxStream::ReadBuffer(void* buffer, uint64_t count)
{
    if (count != 0 && Read(buffer, count) != count)
        throw EReadError("TPxStream.ReadBuffer: Stream read error");
}

uint64_t TPxMemoryStream::Read(void* buffer, uint64_t count)
{
    const uint64_t n = pos_ >= bytes_.size() ? 0 : std::min<uint64_t>(count, bytes_.size() - pos_);
    if (n != 0)
        std::memcpy(buffer, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
}

void TPxMemoryStream::Write(const void* buffer, uint64_t count)
{
    if (count == 0)
        return;
    if (bytes_.size() < pos_ + count)
        bytes_.resize(pos_ + count);
    std::memcpy(bytes_.data() + pos_, buffer, count);
    pos_ += count;
}

int64_t TPxMemoryStream::Seek(int64_t offset, TSeekOrigin origin)
{
    int64_t base = 0;
    if (origin == TSeekOrigin::Current)
        base = static_cast<int64_t>(pos_);
    else if (origin == TSeekOrigin::End)
        base = static_cast<int64_t>(bytes_.size());
    if (offset < -base)
        throw EReadError("TPxMemoryStream.Seek: Invalid Position");
    pos_ = static_cast<uint64_t>(base + offset);
    return static_cast<int64_t>(pos_);
}

TPxFileStream::TPxFileStream(const std::string& path, TMode mode)
{
    const char* how = mode == TMode::OpenRead ? "rb" : mode == TMode::OpenReadWrite ? "r+b" : "w+b";
    file_ = std::fopen(path.c_str(), how);
    if (file_ == nullptr)
        throw EReadError("TPxFileStream.Create: Cannot open file \"" + path + "\"");
}

TPxFileStream::~TPxFileStream()
{
    std::fclose(file_);
}

uint64_t TPxFileStream::Read(void* buffer, uint64_t count)
{
    return std::fread(buffer, 1, count, file_);
}

void TPxFileStream::Write(const void* buffer, uint64_t count)
{
    if (count != 0 && std::fwrite(buffer, 1, count, file_) != count)
        throw EReadError("TPxFileStream.Write: Stream write error");
}

int64_t TPxFileStream::Seek(int64_t offset, TSeekOrigin origin)
{
    const int whence = origin == TSeekOrigin::Beginning ? SEEK_SET
                       : origin == TSeekOrigin::Current ? SEEK_CUR
                                                        : SEEK_END;
    if (std::fseek(file_, offset, whence) != 0)
        throw EReadError("TPxFileStream.Seek: Invalid Position");
    return std::ftell(file_);
}

}  // namespace imaging

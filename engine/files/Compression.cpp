#include "engine/files/Compression.h"

#include <zlib.h>

#include <algorithm>
#include <cstdint>

#include "engine/errors/EngineErrors.h"

namespace kura {

namespace {

constexpr int64_t kGrowStep = 256;

int64_t RoundUp(int64_t size, int64_t step)
{
    return (size + step - 1) / step * step;
}

std::string ZlibMessage(int result)
{
    return zError(result);
}

// Ends the stream on every path out of the routine.
struct DeflateGuard {
    z_stream* stream;
    ~DeflateGuard() { deflateEnd(stream); }
};

struct InflateGuard {
    z_stream* stream;
    ~InflateGuard() { inflateEnd(stream); }
};

[[noreturn]] void CompressFailure(int result)
{
    throw ECompressionError("Compression error: " + ZlibMessage(result));
}

[[noreturn]] void DecompressFailure(int result)
{
    throw EDecompressionError("Decompression error: " + ZlibMessage(result));
}

}  // namespace

void CompressBuf(const void* in, int32_t inBytes, int32_t level, std::vector<uint8_t>& out)
{
    out.clear();
    if (inBytes < 0 || (in == nullptr && inBytes > 0))
        CompressFailure(Z_STREAM_ERROR);

    const int64_t estimate = RoundUp(int64_t{inBytes} + inBytes / 10 + 12, kGrowStep);
    std::vector<uint8_t> block(static_cast<size_t>(estimate));

    static const uint8_t kNoInput = 0;
    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(in != nullptr ? static_cast<const Bytef*>(in) : &kNoInput);
    stream.avail_in = static_cast<uInt>(inBytes);
    int result = deflateInit(&stream, level);
    if (result != Z_OK)
        CompressFailure(result);
    DeflateGuard guard{&stream};

    stream.next_out = block.data();
    stream.avail_out = static_cast<uInt>(block.size());
    for (;;) {
        result = deflate(&stream, Z_FINISH);
        if (result == Z_STREAM_END)
            break;
        // Z_BUF_ERROR only says the output was full; other negatives are real.
        if (result < 0 && result != Z_BUF_ERROR)
            CompressFailure(result);
        if (stream.avail_out == 0) {
            const size_t produced = block.size();
            if (static_cast<int64_t>(produced) + kGrowStep > INT32_MAX)
                CompressFailure(Z_BUF_ERROR);
            block.resize(produced + kGrowStep);
            stream.next_out = block.data() + produced;
            stream.avail_out = static_cast<uInt>(kGrowStep);
        } else if (result == Z_BUF_ERROR) {
            CompressFailure(result);  // no progress possible
        }
    }
    block.resize(stream.total_out);
    out.swap(block);
}

void DecompressBuf(const void* in, int32_t inBytes, int32_t maxOutBytes, std::vector<uint8_t>& out)
{
    out.clear();
    if (inBytes < 0 || (in == nullptr && inBytes > 0))
        DecompressFailure(Z_STREAM_ERROR);
    if (inBytes == 0)
        DecompressFailure(Z_BUF_ERROR);  // not even a stream header

    // One byte beyond the limit lets a stream that would overshoot show it.
    const int64_t hardLimit = int64_t{std::max(maxOutBytes, 0)} + 1;
    const int64_t step = RoundUp(inBytes, kGrowStep);
    std::vector<uint8_t> block(static_cast<size_t>(std::min(step, hardLimit)));

    z_stream stream{};
    stream.next_in = const_cast<Bytef*>(static_cast<const Bytef*>(in));
    stream.avail_in = static_cast<uInt>(inBytes);
    int result = inflateInit(&stream);
    if (result != Z_OK)
        DecompressFailure(result);
    InflateGuard guard{&stream};

    stream.next_out = block.data();
    stream.avail_out = static_cast<uInt>(block.size());
    for (;;) {
        result = inflate(&stream, Z_NO_FLUSH);
        if (result == Z_STREAM_END)
            break;
        if (result == Z_NEED_DICT)
            DecompressFailure(Z_NEED_DICT);  // zlib reports it positive; we have no dictionary
        if (result < 0 && result != Z_BUF_ERROR)
            DecompressFailure(result);
        if (stream.avail_out != 0) {
            // Output space left but no stream end: the input ran out.
            DecompressFailure(Z_BUF_ERROR);
        }
        const size_t produced = block.size();
        const int64_t grown = std::min<int64_t>(static_cast<int64_t>(produced) + step, hardLimit);
        if (grown <= static_cast<int64_t>(produced))
            DecompressFailure(Z_BUF_ERROR);  // more output than the caller allowed
        block.resize(static_cast<size_t>(grown));
        stream.next_out = block.data() + produced;
        stream.avail_out = static_cast<uInt>(grown - static_cast<int64_t>(produced));
    }
    if (static_cast<int64_t>(stream.total_out) > maxOutBytes)
        DecompressFailure(Z_BUF_ERROR);
    block.resize(stream.total_out);
    out.swap(block);
}

void CompressBuffer(const void* in, int32_t inBytes, std::vector<uint8_t>& out)
{
    try {
        CompressBuf(in, inBytes, ENGINE_COMPRESSION_LEVEL, out);
    } catch (const std::exception&) {
        out.clear();
        RaiseEngineError(KURA_COMPRESS);
    }
}

void DecompressBuffer(const void* in, int32_t inBytes, int32_t sizeHint, std::vector<uint8_t>& out)
{
    try {
        DecompressBuf(in, inBytes, sizeHint, out);
    } catch (const std::exception&) {
        out.clear();
        RaiseEngineError(KURA_UNCOMPRESS);
    }
}

}  // namespace kura

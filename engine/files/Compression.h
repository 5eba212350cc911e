#pragma once

// Whole-buffer zlib compression for remote payloads and compressed file
// copies. The output is exactly the zlib stream (compressing) or the plain
// bytes (decompressing); callers store the lengths themselves.
//
// CompressBuf / DecompressBuf throw ECompressionError / EDecompressionError
// carrying zlib's message; CompressBuffer / DecompressBuffer turn every
// failure into engine error 15001 / 15002.

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kura {

class ECompressionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class EDecompressionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The level the engine always uses.
constexpr int32_t ENGINE_COMPRESSION_LEVEL = 9;

// Deflates inBytes bytes at `level` into `out` (replaced).
void CompressBuf(const void* in, int32_t inBytes, int32_t level, std::vector<uint8_t>& out);

// Inflates one whole zlib stream into `out` (replaced). The output may not
// grow past maxOutBytes: a stream that inflates to more, and a truncated or
// corrupt stream, throw. Bytes after the end of the stream are ignored.
void DecompressBuf(const void* in, int32_t inBytes, int32_t maxOutBytes, std::vector<uint8_t>& out);

// CompressBuf at level 9; failures raise KURA_COMPRESS.
void CompressBuffer(const void* in, int32_t inBytes, std::vector<uint8_t>& out);

// DecompressBuf bounded by sizeHint, the uncompressed length the caller
// stored; failures (including output past the hint) raise KURA_UNCOMPRESS
// and leave `out` empty.
void DecompressBuffer(const void* in, int32_t inBytes, int32_t sizeHint, std::vector<uint8_t>& out);

}  // namespace kura

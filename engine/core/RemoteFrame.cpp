#include "engine/core/RemoteFrame.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/EngineErrors.h"
#include "engine/files/Compression.h"

namespace kura {

namespace {

void PutLE(uint8_t* dest, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) dest[i] = static_cast<uint8_t>(value >> (8 * i));
}

uint64_t GetLE(const uint8_t* src, int bytes) {
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) value |= static_cast<uint64_t>(src[i]) << (8 * i);
    return value;
}

size_t RoundUpToStep(size_t size) { return (size + REMOTE_BUFFER_STEP - 1) / REMOTE_BUFFER_STEP * REMOTE_BUFFER_STEP; }

}  // namespace

void WriteFrameHeader(uint8_t* dest, const TRemoteFrameHeader& header) {
    PutLE(dest, header.TotalSize, 4);
    PutLE(dest + 4, header.Code, 2);
    PutLE(dest + 6, header.PayloadSize, 4);
}

TRemoteFrameHeader ReadFrameHeader(const uint8_t* src) {
    TRemoteFrameHeader header;
    header.TotalSize = static_cast<uint32_t>(GetLE(src, 4));
    header.Code = static_cast<uint16_t>(GetLE(src + 4, 2));
    header.PayloadSize = static_cast<uint32_t>(GetLE(src + 6, 4));
    return header;
}

// ---- Requests --------------------------------------------------------------------

// Sized at once: growing an empty vector here trips a false array-bounds warning of g++ 12.
TRemoteRequest::TRemoteRequest() : FBuffer(REMOTE_BUFFER_STEP, 0) { Reset(); }

void TRemoteRequest::Reserve(size_t size) {
    if (size > FBuffer.size()) FBuffer.resize(RoundUpToStep(size), 0);
}

void TRemoteRequest::Reset() {
    Reserve(REMOTE_HEADER_SIZE);
    FPosition = REMOTE_HEADER_SIZE;
    FHeader.PayloadSize = 0;
    FHeader.TotalSize = REMOTE_HEADER_SIZE;
}

void TRemoteRequest::PutParam(const void* bytes, uint32_t length) {
    // A request the frame's 32-bit sizes cannot describe is refused before a byte moves.
    if (uint64_t{FPosition} + 4 + length > REMOTE_MAX_FRAME) RaiseEngineError(KURA_COMPRESS);
    Reserve(size_t{FPosition} + 4 + length);
    PutLE(FBuffer.data() + FPosition, length, 4);
    if (length > 0) std::memcpy(FBuffer.data() + FPosition + 4, bytes, length);
    FPosition += 4 + length;
    FHeader.PayloadSize += 4 + length;
}

void TRemoteRequest::PutU16(uint16_t value) {
    uint8_t b[2];
    PutLE(b, value, 2);
    PutParam(b, 2);
}

void TRemoteRequest::PutU32(uint32_t value) {
    uint8_t b[4];
    PutLE(b, value, 4);
    PutParam(b, 4);
}

void TRemoteRequest::PutI64(int64_t value) {
    uint8_t b[8];
    PutLE(b, static_cast<uint64_t>(value), 8);
    PutParam(b, 8);
}

void TRemoteRequest::Finish(bool compress) {
    if (compress) {
        std::vector<uint8_t> packed;
        CompressBuffer(FBuffer.data() + REMOTE_HEADER_SIZE, static_cast<int32_t>(FPosition - REMOTE_HEADER_SIZE),
                       packed);
        Reserve(REMOTE_HEADER_SIZE + packed.size());
        if (!packed.empty()) std::memcpy(FBuffer.data() + REMOTE_HEADER_SIZE, packed.data(), packed.size());
        FHeader.PayloadSize = static_cast<uint32_t>(packed.size());
        FPosition = REMOTE_HEADER_SIZE + FHeader.PayloadSize;
    }
    FHeader.TotalSize = FHeader.PayloadSize + REMOTE_HEADER_SIZE;
    WriteFrameHeader(FBuffer.data(), FHeader);
}

// ---- Replies ---------------------------------------------------------------------

void TRemoteReply::RaiseMalformed() {
    if (FOnMalformed) FOnMalformed();
    RaiseEngineError(KURA_UNCOMPRESS);
}

uint32_t TRemoteReply::CheckAnnouncedSize(const uint8_t* first4) {
    const auto total = static_cast<uint32_t>(GetLE(first4, 4));
    if (total < REMOTE_HEADER_SIZE || total > FMaxFrame) RaiseMalformed();
    return total;
}

void TRemoteReply::Load(std::vector<uint8_t> frame, bool compressed) {
    FBuffer.clear();
    FPosition = REMOTE_HEADER_SIZE;
    FHeader = {};
    if (frame.size() < REMOTE_HEADER_SIZE || frame.size() > FMaxFrame) RaiseMalformed();
    const TRemoteFrameHeader header = ReadFrameHeader(frame.data());
    if (header.TotalSize != frame.size() || header.PayloadSize != header.TotalSize - REMOTE_HEADER_SIZE)
        RaiseMalformed();
    FHeader = header;
    if (compressed && header.PayloadSize > 0) {
        std::vector<uint8_t> plain;
        try {
            DecompressBuf(frame.data() + REMOTE_HEADER_SIZE, static_cast<int32_t>(header.PayloadSize),
                          static_cast<int32_t>(FMaxFrame - REMOTE_HEADER_SIZE), plain);
        } catch (const EDecompressionError&) {
            FHeader = {};
            RaiseMalformed();
        }
        frame.resize(REMOTE_HEADER_SIZE + plain.size());
        if (!plain.empty()) std::memcpy(frame.data() + REMOTE_HEADER_SIZE, plain.data(), plain.size());
        FHeader.PayloadSize = static_cast<uint32_t>(plain.size());
        FHeader.TotalSize = FHeader.PayloadSize + REMOTE_HEADER_SIZE;
        WriteFrameHeader(frame.data(), FHeader);
    }
    FBuffer = std::move(frame);
}

std::span<const uint8_t> TRemoteReply::NextParam() {
    const uint64_t end = FBuffer.size();
    if (uint64_t{FPosition} + 4 > end) RaiseMalformed();
    const uint32_t length = static_cast<uint32_t>(GetLE(FBuffer.data() + FPosition, 4));
    if (uint64_t{FPosition} + 4 + length > end) RaiseMalformed();
    const std::span<const uint8_t> param(FBuffer.data() + FPosition + 4, length);
    FPosition += 4 + length;
    return param;
}

uint32_t TRemoteReply::GetParam(void* dest, uint32_t capacity) {
    const std::span<const uint8_t> param = NextParam();
    if (param.size() > capacity) RaiseMalformed();
    if (!param.empty()) std::memcpy(dest, param.data(), param.size());
    return static_cast<uint32_t>(param.size());
}

std::span<const uint8_t> TRemoteReply::FixedParam(uint32_t size) {
    const std::span<const uint8_t> param = NextParam();
    if (param.size() != size) RaiseMalformed();
    return param;
}

uint8_t TRemoteReply::GetByte() { return FixedParam(1)[0]; }
uint16_t TRemoteReply::GetU16() { return static_cast<uint16_t>(GetLE(FixedParam(2).data(), 2)); }
uint32_t TRemoteReply::GetU32() { return static_cast<uint32_t>(GetLE(FixedParam(4).data(), 4)); }
int64_t TRemoteReply::GetI64() { return static_cast<int64_t>(GetLE(FixedParam(8).data(), 8)); }

std::string TRemoteReply::GetString(uint32_t maxLength) {
    const std::span<const uint8_t> param = NextParam();
    if (param.size() > maxLength) RaiseMalformed();
    return std::string(param.begin(), param.end());
}

std::vector<uint8_t> TRemoteReply::GetBytes(uint32_t maxLength) {
    const std::span<const uint8_t> param = NextParam();
    if (param.size() > maxLength) RaiseMalformed();
    return std::vector<uint8_t>(param.begin(), param.end());
}

std::array<std::string, REMOTE_ERROR_STRINGS> TRemoteReply::ErrorStrings() {
    std::array<std::string, REMOTE_ERROR_STRINGS> strings;
    const uint64_t end = FBuffer.size();
    for (std::string& s : strings) {
        if (uint64_t{FPosition} + 4 > end) break;
        const uint32_t length = static_cast<uint32_t>(GetLE(FBuffer.data() + FPosition, 4));
        if (uint64_t{FPosition} + 4 + length > end) break;
        const uint8_t* text = FBuffer.data() + FPosition + 4;
        s.assign(text, text + std::min(length, REMOTE_SHORT_STRING));
        FPosition += 4 + length;
    }
    return strings;
}

}  // namespace kura

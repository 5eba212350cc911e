#pragma once
// One frame of the remote protocol, requests and replies alike (little-endian):
//
//   offset 0  u32  total size of the frame, header included
//   offset 4  u16  request code (request) / engine error code (reply, 0 = success)
//   offset 6  u32  payload size = total size - 10
//   offset 10      parameters: each a u32 length L followed by L bytes
//
// Parameters carry no type tags; both sides agree on the order per request code.
// On an internet connection the payload is one zlib stream and the header gives the
// compressed sizes; nothing in the frame says so.
//
// TRemoteRequest builds frames; TRemoteReply reads them. The reader trusts no length:
// the header must describe exactly the bytes received, every parameter must lie
// inside the payload and fit its destination, and inflation stops at the reader's
// frame limit. Any violation raises KURA_UNCOMPRESS (15002) after calling the
// reader's malformed handler (the channel drops its connection there).
#include <array>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/RemoteRequests.h"

namespace kura {

constexpr uint32_t REMOTE_HEADER_SIZE = 10;
// Frames go out and come in in pieces of at most this many bytes.
constexpr uint32_t REMOTE_CHUNK_SIZE = 65536;
// Request and reply buffers grow in steps of this many bytes.
constexpr uint32_t REMOTE_BUFFER_STEP = 32768;
// The largest frame the client accepts, before or after inflation.
constexpr uint32_t REMOTE_MAX_FRAME = 256u << 20;
// Error replies carry user, database, table, field, index and message.
constexpr int REMOTE_ERROR_STRINGS = 6;
constexpr uint32_t REMOTE_SHORT_STRING = 255;

struct TRemoteFrameHeader {
    uint32_t TotalSize = 0;
    uint16_t Code = 0;
    uint32_t PayloadSize = 0;
};

void WriteFrameHeader(uint8_t* dest, const TRemoteFrameHeader& header);
TRemoteFrameHeader ReadFrameHeader(const uint8_t* src);

class TRemoteRequest {
public:
    TRemoteRequest();

    void SetCode(TRequestCode code) { FHeader.Code = code; }
    TRequestCode Code() const { return FHeader.Code; }
    // Empties the payload; the code is kept.
    void Reset();
    void PutParam(const void* bytes, uint32_t length);
    void PutByte(uint8_t value) { PutParam(&value, 1); }
    void PutBool(bool value) { PutByte(value ? 1 : 0); }
    void PutU16(uint16_t value);
    void PutU32(uint32_t value);
    void PutI32(int32_t value) { PutU32(static_cast<uint32_t>(value)); }
    void PutI64(int64_t value);
    // The characters, without terminator or length byte.
    void PutString(std::string_view text) { PutParam(text.data(), static_cast<uint32_t>(text.size())); }

    // Writes the header, deflating the payload first when compress is set.
    void Finish(bool compress);
    const TRemoteFrameHeader& Header() const { return FHeader; }
    // The finished frame: Header().TotalSize bytes.
    const uint8_t* Data() const { return FBuffer.data(); }

private:
    void Reserve(size_t size);
    std::vector<uint8_t> FBuffer;
    uint32_t FPosition = REMOTE_HEADER_SIZE;
    TRemoteFrameHeader FHeader;
};

class TRemoteReply {
public:
    explicit TRemoteReply(uint32_t maxFrame = REMOTE_MAX_FRAME) : FMaxFrame(maxFrame) {}

    // Called before a malformed frame or parameter raises KURA_UNCOMPRESS.
    void SetMalformedHandler(std::function<void()> handler) { FOnMalformed = std::move(handler); }
    uint32_t MaxFrame() const { return FMaxFrame; }

    // Takes a whole received frame: the header must match its size, and a compressed
    // payload is inflated (at most to the frame limit) and the header rewritten.
    void Load(std::vector<uint8_t> frame, bool compressed);
    // The total size a frame announces in its first 4 bytes, checked against the
    // header size and the frame limit before anything is allocated for it.
    uint32_t CheckAnnouncedSize(const uint8_t* first4);

    const TRemoteFrameHeader& Header() const { return FHeader; }
    uint16_t Code() const { return FHeader.Code; }
    bool AtEnd() const { return FPosition >= FBuffer.size(); }
    // The raw frame after Load (inflated when it was compressed).
    const std::vector<uint8_t>& Frame() const { return FBuffer; }

    // The next parameter, inside the payload.
    std::span<const uint8_t> NextParam();
    // Copies the next parameter into dest; longer than capacity is malformed.
    uint32_t GetParam(void* dest, uint32_t capacity);
    // Fixed-size values must come with exactly their size.
    uint8_t GetByte();
    bool GetBool() { return GetByte() != 0; }
    uint16_t GetU16();
    uint32_t GetU32();
    int32_t GetI32() { return static_cast<int32_t>(GetU32()); }
    int64_t GetI64();
    std::string GetString(uint32_t maxLength = REMOTE_SHORT_STRING);
    std::vector<uint8_t> GetBytes(uint32_t maxLength);

    // The strings of an error reply: as many as the payload holds whole (a short
    // payload leaves the rest empty), each cut to 255 characters. Never raises.
    std::array<std::string, REMOTE_ERROR_STRINGS> ErrorStrings();

    [[noreturn]] void RaiseMalformed();

private:
    std::span<const uint8_t> FixedParam(uint32_t size);

    uint32_t FMaxFrame;
    std::vector<uint8_t> FBuffer;
    uint32_t FPosition = REMOTE_HEADER_SIZE;
    TRemoteFrameHeader FHeader;
    std::function<void()> FOnMalformed;
};

}  // namespace kura

// Frames and parameters of the remote protocol, without a socket: the layouts, the
// round trip of every parameter type, and replies that lie about their lengths.
#include "engine/core/RemoteFrame.h"

#include <gtest/gtest.h>

#include <random>

#include "engine/errors/EngineErrors.h"
#include "engine/files/Compression.h"

using namespace kura;

namespace {

std::vector<uint8_t> FrameOf(const TRemoteRequest& r) { return {r.Data(), r.Data() + r.Header().TotalSize}; }

TEngineErrorCode ErrorOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EKuraEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

// A reply frame made of raw payload bytes with an honest header.
std::vector<uint8_t> RawFrame(uint16_t code, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f(REMOTE_HEADER_SIZE);
    WriteFrameHeader(f.data(), {static_cast<uint32_t>(payload.size() + 10), code, static_cast<uint32_t>(payload.size())});
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

}  // namespace

TEST(RemoteFrame, RequestLayouts) {
    TRemoteRequest r;
    r.SetCode(REQUEST_DELALLPASSWORDS);
    r.Reset();
    r.Finish(false);
    EXPECT_EQ(FrameOf(r), (std::vector<uint8_t>{10, 0, 0, 0, 9, 0, 0, 0, 0, 0}));

    r.SetCode(REQUEST_ADDPASSWORD);
    r.Reset();
    r.PutString("abcde");
    r.Finish(false);
    EXPECT_EQ(r.Header().PayloadSize, 9u);
    EXPECT_EQ(FrameOf(r), (std::vector<uint8_t>{19, 0, 0, 0, 7, 0, 9, 0, 0, 0, 5, 0, 0, 0, 'a', 'b', 'c', 'd', 'e'}));

    // Reset keeps the code and forgets the parameters.
    r.Reset();
    r.Finish(false);
    EXPECT_EQ(FrameOf(r), (std::vector<uint8_t>{10, 0, 0, 0, 7, 0, 0, 0, 0, 0}));
}

TEST(RemoteFrame, CompressedRequestDescribesTheCompressedPayload) {
    std::vector<uint8_t> big(100000 - 4);
    std::mt19937 rng(7);
    for (auto& b : big) b = static_cast<uint8_t>(rng() % 16);
    TRemoteRequest plain;
    plain.SetCode(REQUEST_PUTBLOB);
    plain.PutParam(big.data(), static_cast<uint32_t>(big.size()));
    TRemoteRequest packed = plain;
    plain.Finish(false);
    packed.Finish(true);
    EXPECT_EQ(plain.Header().TotalSize, 100010u);
    EXPECT_LT(packed.Header().PayloadSize, 100000u);
    EXPECT_EQ(packed.Header().TotalSize, packed.Header().PayloadSize + 10);

    // Inflating the compressed frame gives the plain one back.
    TRemoteReply reply;
    reply.Load(FrameOf(packed), true);
    EXPECT_EQ(reply.Frame(), FrameOf(plain));
}

TEST(RemoteFrame, EveryParameterTypeRoundTrips) {
    const std::vector<uint8_t> blob = {0, 1, 2, 255, 0};
    for (const bool compress : {false, true}) {
        TRemoteRequest r;
        r.SetCode(0);
        r.PutByte(0xAB);
        r.PutBool(true);
        r.PutBool(false);
        r.PutU16(0xBEEF);
        r.PutU32(0xDEADBEEF);
        r.PutI32(-5);
        r.PutI64(-1234567890123LL);
        r.PutString("");
        r.PutString(std::string("\x83\x5c\x83\x74\x83\x67", 6));  // CP932 text with a 0x5C trail byte
        r.PutParam(blob.data(), static_cast<uint32_t>(blob.size()));
        r.Finish(compress);
        TRemoteReply reply;
        reply.Load(FrameOf(r), compress);
        EXPECT_EQ(reply.GetByte(), 0xAB);
        EXPECT_TRUE(reply.GetBool());
        EXPECT_FALSE(reply.GetBool());
        EXPECT_EQ(reply.GetU16(), 0xBEEF);
        EXPECT_EQ(reply.GetU32(), 0xDEADBEEFu);
        EXPECT_EQ(reply.GetI32(), -5);
        EXPECT_EQ(reply.GetI64(), -1234567890123LL);
        EXPECT_EQ(reply.GetString(), "");
        EXPECT_EQ(reply.GetString(), std::string("\x83\x5c\x83\x74\x83\x67", 6));
        EXPECT_EQ(reply.GetBytes(5), blob);
        EXPECT_TRUE(reply.AtEnd());
        EXPECT_EQ(ErrorOf([&] { reply.GetByte(); }), KURA_UNCOMPRESS);
    }
}

TEST(RemoteFrame, LengthsAreCheckedBeforeUse) {
    int dropped = 0;
    auto load = [&](const std::vector<uint8_t>& frame) {
        TRemoteReply reply(1 << 20);
        reply.SetMalformedHandler([&] { ++dropped; });
        reply.Load(frame, false);
        return reply;
    };
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        std::function<void(TRemoteReply&)> read;
    };
    const std::vector<Case> cases = {
        {"length past the end", {200, 0, 0, 0, 1, 2}, [](TRemoteReply& r) { r.NextParam(); }},
        {"length near 2^32", {0xFF, 0xFF, 0xFF, 0xFF, 1}, [](TRemoteReply& r) { r.NextParam(); }},
        {"three length bytes", {1, 0, 0}, [](TRemoteReply& r) { r.NextParam(); }},
        {"handle of 5 bytes", {5, 0, 0, 0, 1, 2, 3, 4, 5}, [](TRemoteReply& r) { r.GetU32(); }},
        {"handle of 2 bytes", {2, 0, 0, 0, 1, 2}, [](TRemoteReply& r) { r.GetU32(); }},
        {"version of 9 bytes", {9, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, [](TRemoteReply& r) { r.GetI64(); }},
        {"string over its limit", {3, 0, 0, 0, 'a', 'b', 'c'}, [](TRemoteReply& r) { r.GetString(2); }},
        {"buffer over its destination", {3, 0, 0, 0, 'a', 'b', 'c'},
         [](TRemoteReply& r) {
             uint8_t two[2];
             r.GetParam(two, 2);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TRemoteReply reply = load(RawFrame(0, c.payload));
        const int before = dropped;
        EXPECT_EQ(ErrorOf([&] { c.read(reply); }), KURA_UNCOMPRESS);
        EXPECT_EQ(dropped, before + 1);
    }
    // Headers that do not describe the bytes received.
    std::vector<uint8_t> frame = RawFrame(0, {1, 0, 0, 0, 7});
    frame[0] = 99;
    EXPECT_EQ(ErrorOf([&] { load(frame); }), KURA_UNCOMPRESS);
    frame = RawFrame(0, {1, 0, 0, 0, 7});
    frame[6] = 4;
    EXPECT_EQ(ErrorOf([&] { load(frame); }), KURA_UNCOMPRESS);
    EXPECT_EQ(ErrorOf([&] { load({1, 2, 3}); }), KURA_UNCOMPRESS);

    // Announced sizes below a header or above the limit are refused before allocation.
    TRemoteReply reply(1 << 20);
    const uint8_t tiny[4] = {9, 0, 0, 0};
    const uint8_t huge[4] = {0xF0, 0xFF, 0xFF, 0xFF};
    const uint8_t fine[4] = {10, 0, 0, 0};
    EXPECT_EQ(ErrorOf([&] { reply.CheckAnnouncedSize(tiny); }), KURA_UNCOMPRESS);
    EXPECT_EQ(ErrorOf([&] { reply.CheckAnnouncedSize(huge); }), KURA_UNCOMPRESS);
    EXPECT_EQ(reply.CheckAnnouncedSize(fine), 10u);
}

TEST(RemoteFrame, InflationStopsAtTheFrameLimit) {
    // 4 MiB of zeros deflate to a few KiB: a reply bomb against a 1 MiB limit.
    std::vector<uint8_t> zeros(4 << 20);
    std::vector<uint8_t> packed;
    CompressBuffer(zeros.data(), static_cast<int32_t>(zeros.size()), packed);
    TRemoteReply reply(1 << 20);
    EXPECT_EQ(ErrorOf([&] { reply.Load(RawFrame(0, packed), true); }), KURA_UNCOMPRESS);
    // Garbage that is no zlib stream.
    EXPECT_EQ(ErrorOf([&] { reply.Load(RawFrame(0, {1, 2, 3, 4, 5}), true); }), KURA_UNCOMPRESS);
}

TEST(RemoteFrame, ErrorStringsTakeWhatIsThere) {
    TRemoteReply reply;
    // Six strings, the message longer than a short string.
    TRemoteRequest r;
    r.SetCode(KURA_KEYVIOL);
    for (const char* s : {"user", "db", "table", "field", "index"}) r.PutString(s);
    r.PutString(std::string(300, 'm'));
    r.Finish(false);
    reply.Load(FrameOf(r), false);
    auto strings = reply.ErrorStrings();
    EXPECT_EQ(strings[0], "user");
    EXPECT_EQ(strings[4], "index");
    EXPECT_EQ(strings[5], std::string(255, 'm'));

    // Two strings and a cut-off third: the two, then empties.
    reply.Load(RawFrame(KURA_KEYVIOL, {1, 0, 0, 0, 'u', 2, 0, 0, 0, 'd', 'b', 50, 0, 0, 0, 't'}), false);
    strings = reply.ErrorStrings();
    EXPECT_EQ(strings[0], "u");
    EXPECT_EQ(strings[1], "db");
    for (int i = 2; i < 6; ++i) EXPECT_EQ(strings[i], "");
    reply.Load(RawFrame(KURA_KEYVIOL, {}), false);
    EXPECT_EQ(reply.ErrorStrings()[0], "");
}

TEST(RemoteFrame, RequestNames) {
    EXPECT_EQ(GetRequestName(0), "REQUEST_RECONNECT");
    EXPECT_EQ(GetRequestName(REQUEST_CONNECTPARAMS), "REQUEST_CONNECTPARAMS");
    EXPECT_EQ(GetRequestName(116), "REQUEST_EXPORTTABLE");
    EXPECT_EQ(GetRequestName(117), "");
    EXPECT_EQ(GetRequestName(119), "");
    EXPECT_EQ(GetRequestName(120), "REQUEST_TEXTINDEXPARAMS");
    EXPECT_EQ(GetRequestName(138), "REQUEST_DELETERECORDBLOCK");
    EXPECT_EQ(GetRequestName(139), "");
    EXPECT_EQ(GetRequestName(70000), "");
}

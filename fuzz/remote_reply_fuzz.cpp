// Replies from a hostile or broken database server, as the remote client reads them.
//
// Input: byte 0 holds flags (bit 0: the payload is compressed), byte 1 a read plan
// seed, the rest is the frame as it came off the wire. Every frame must load or raise
// KURA_UNCOMPRESS; every read the plan asks for (fixed-size values, strings, buffers,
// error strings, the state blocks of remote cursors and the field definitions of
// result cursors) must answer from inside the frame or raise KURA_UNCOMPRESS; nothing
// may grow past the reader's frame limit. A table state that reads whole is handed to
// stand-alone data and index files, whose header checks may refuse it with an engine
// error but never crash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/core/RemoteFrame.h"
#include "engine/core/RemoteState.h"
#include "engine/errors/EngineErrors.h"

namespace {

constexpr uint32_t kLimit = 1u << 20;

void Check(bool condition) {
    if (!condition) std::abort();
}

void AdoptTableState(kura::TRemoteTableState state) {
    Check(state.Fields.size() <= static_cast<size_t>(kura::MAX_TABLE_FIELDS));
    kura::TDataFile data(nullptr);
    kura::TIndexFile index(nullptr);
    try {
        data.AdoptRemoteHeader(state.Data);
        data.AdoptRemoteFieldDescs(std::move(state.Fields));
        index.AdoptRemoteHeader(state.Index);
    } catch (const kura::EKuraEngineError&) {
        // A refused header is the expected answer to most inputs.
    }
}

void ReadPlan(kura::TRemoteReply& reply, uint8_t seed) {
    for (int step = 0; step < 16 && !reply.AtEnd(); ++step) {
        switch ((seed + step * 7) % 12) {
            case 0: reply.GetByte(); break;
            case 1: reply.GetU16(); break;
            case 2: reply.GetU32(); break;
            case 3: reply.GetI64(); break;
            case 4: Check(reply.GetString().size() <= 255); break;
            case 5: Check(reply.GetBytes(4096).size() <= 4096); break;
            case 6: {
                uint8_t dest[16];
                Check(reply.GetParam(dest, sizeof dest) <= sizeof dest);
                break;
            }
            case 7: {
                for (const auto& s : reply.ErrorStrings()) Check(s.size() <= 255);
                break;
            }
            case 8: {
                const kura::TRemoteCursorState state = kura::ReadRemoteCursorState(reply);
                Check(state.IndexName.size() <= 255);
                break;
            }
            case 9: AdoptTableState(kura::ReadRemoteTableState(reply)); break;
            case 10: Check(kura::ReadRemoteOpenState(reply).TableName.size() <= 255); break;
            default: {
                const kura::TRemoteFieldDefs defs = kura::ReadRemoteFieldDefs(reply, (seed & 1) ? 30800 : 30700);
                Check(defs.Defs.size() <= kura::REMOTE_RESULT_FIELD_LIMIT);
                Check(defs.Expressions.size() == defs.Defs.size());
                break;
            }
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const bool compressed = (data[0] & 1) != 0;
    const uint8_t seed = data[1];
    std::vector<uint8_t> frame(data + 2, data + size);
    kura::TRemoteReply reply(kLimit);
    int dropped = 0;
    reply.SetMalformedHandler([&] { ++dropped; });
    if (frame.size() >= 4) {
        try {
            Check(reply.CheckAnnouncedSize(frame.data()) <= kLimit);
        } catch (const kura::EKuraEngineError& e) {
            Check(e.ErrorCode() == kura::KURA_UNCOMPRESS);
        }
    }
    try {
        reply.Load(std::move(frame), compressed);
        Check(reply.Frame().size() <= kLimit);
        Check(reply.Header().TotalSize == reply.Frame().size());
        ReadPlan(reply, seed);
    } catch (const kura::EKuraEngineError& e) {
        Check(e.ErrorCode() == kura::KURA_UNCOMPRESS);
        Check(dropped > 0);
    }
    return 0;
}

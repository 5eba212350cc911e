// Stepping a remote cursor record by record: the server answers GETNEXTRECORD and
// GETPRIORRECORD with up to FBlockRecordCount entries, and the cursor serves the
// following calls in the same direction from that block without asking again.
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"

namespace kura {

bool TDataCursor::NeedsBlockRequest(TRequestCode code) const {
    if (FBlock.Frame().empty() || FBlock.AtEnd()) return true;
    return ReadFrameHeader(FLastRequest.data()).Code != code;
}

void TDataCursor::ReadBlockBuffer() {
    TRemoteChannel& channel = RemoteChannel();
    // A broken entry leaves the exchange in an unknown state, as a broken reply does.
    FBlock.SetMalformedHandler([&channel] { channel.Disconnect(); });
    FBlock.Load(channel.Reply().Frame(), false);
}

TEngineErrorCode TDataCursor::ReadRemoteBlockRecord(TRequestCode code, uint8_t* buffer) {
    if (!FOpen) RaiseError(KURA_NOTINITIALIZED);
    if (NeedsBlockRequest(code)) {
        TRemoteRequest& request = BeginRemote(code);
        PutPosition(request);
        request.PutU32(FBlockRecordCount);
        SendRemote();
        ReadBlockBuffer();
    }
    const TEngineErrorCode result = FBlock.GetU16();
    ReadCursorState(FBlock);
    const std::span<const uint8_t> record = FBlock.NextParam();
    if (record.size() != FRecordSize) FBlock.RaiseMalformed();
    if (buffer) {
        if (result == 0)
            std::memcpy(buffer, record.data(), record.size());
        else
            std::memset(buffer, 0, FRecordSize);
    }
    return result;
}

}  // namespace kura

// Key search and key ranges of a remote cursor: the keys are built here, the search
// runs on the server, and the cursor takes back the state the server reports.
#include "engine/core/DataCursor.h"

namespace kura {

uint8_t TDataCursor::FindRemoteKey(uint8_t bufferIsKey, const uint8_t* buffer, int32_t fieldCount, uint8_t nearest,
                                   uint8_t partialLength, uint8_t* recordBuffer) {
    uint8_t key[RANGE_KEY_SIZE];
    MakeSearchKey(bufferIsKey, buffer, key);
    TRemoteReply& reply = SendPositioned(REQUEST_FIND, [&](TRemoteRequest& request) {
        request.PutParam(key, GetKeySize());
        request.PutI32(fieldCount);
        request.PutByte(nearest);
        request.PutByte(partialLength);
        request.PutBool(recordBuffer != nullptr);
    });
    const uint8_t found = reply.GetByte();
    ReadCursorState(reply);
    if (recordBuffer) {
        // The record must be exactly the cursor's record, no more and no less.
        if (reply.GetParam(recordBuffer, FRecordSize) != FRecordSize) reply.RaiseMalformed();
    }
    return found;
}

void TDataCursor::SetRemoteRange(uint8_t bufferIsKey, const uint8_t* startBuffer, int32_t startFieldCount,
                                 const uint8_t* endBuffer, int32_t endFieldCount) {
    // A missing bound goes as an empty key: zeros would be a real bound at the end.
    auto putBound = [&](TRemoteRequest& request, const uint8_t* buffer, int32_t count) {
        uint8_t key[RANGE_KEY_SIZE];
        if (buffer) {
            MakeSearchKey(bufferIsKey, buffer, key);
            request.PutParam(key, GetKeySize());
        } else {
            request.PutParam(nullptr, 0);
        }
        request.PutI32(count);
    };
    ReadCursorState(SendPositioned(REQUEST_SETRANGE, [&](TRemoteRequest& request) {
        putBound(request, startBuffer, startFieldCount);
        putBound(request, endBuffer, endFieldCount);
    }));
    FRangeActive = true;
}

}  // namespace kura

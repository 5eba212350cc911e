#pragma once
// The stream through which one BLOB field of the dataset's active record buffer is
// read and written. It works on the engine's open BLOB buffer of that field and
// record buffer: a BLOB written during an edit stays open in the engine until the
// record is posted or cancelled, so a second stream in the same edit sees the
// written bytes. Positions are 64-bit here; the engine's BLOB offsets are 32-bit,
// and a position beyond that range reads nothing and refuses writes.
#include <cstdint>

#include "platform/dataset/Fields.h"
#include "platform/dataset/Stream.h"

namespace kura {

class TKuraDataSet;

class TKuraBlobStream : public TStream {
public:
    TKuraBlobStream(TBlobField* field, TBlobStreamMode mode);
    ~TKuraBlobStream() override;

    int32_t Read(void* buffer, int32_t count) override;
    int32_t Write(const void* buffer, int32_t count) override;
    int64_t Seek(int64_t offset, TSeekOrigin origin) override;
    void Truncate() override;
    bool Opened() const { return FOpened; }

private:
    void Open(TBlobStreamMode mode);
    TBlobField* FField;
    TKuraDataSet* FDataSet;
    uint8_t* FRecBuf;
    uint16_t FFieldNo;
    bool FOpened = false;
    bool FModified = false;
    int64_t FPosition = 0;
};

}  // namespace kura

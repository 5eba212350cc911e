#include "components/KuraBlobStream.h"

#include <limits>

#include "components/KuraDataSet.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "engine/errors/EngineErrors.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {
constexpr uint8_t BlobOpenRead = 1;
constexpr uint8_t BlobOpenReadWrite = 2;
constexpr int64_t MaxBlobOffset = std::numeric_limits<uint32_t>::max();
}  // namespace

TKuraBlobStream::TKuraBlobStream(TBlobField* field, TBlobStreamMode mode)
    : FField(field),
      FDataSet(dynamic_cast<TKuraDataSet*>(field->DataSet())),
      FRecBuf(nullptr),
      FFieldNo(static_cast<uint16_t>(field->FieldNo)) {
    if (!FDataSet) DatabaseErrorFmt("Field '%s' does not belong to an engine dataset", field->DisplayName());
    Open(mode);
}

void TKuraBlobStream::Open(TBlobStreamMode mode) {
    for (int attempt = 0;; ++attempt) {
        FRecBuf = FDataSet->ActiveRecBuf();
        if (!FRecBuf || !FDataSet->Handle()) return;
        const TDataSetState state = FDataSet->State();
        if (state != dsFilter && state != dsOldValue && FField->Modified) break;
        uint8_t openMode = BlobOpenRead;
        if (mode == bmWrite || mode == bmReadWrite) {
            if (FField->ReadOnly) DatabaseErrorFmt(msg::FieldReadOnly, FField->DisplayName());
            if (state != dsEdit && state != dsInsert) DatabaseError(msg::NotEditing);
            openMode = BlobOpenReadWrite;
        }
        TSessionLock lock(FDataSet->DBSession());
        TDataCursor* cursor = FDataSet->Handle();
        uint32_t size = 0;
        TEngineErrorCode code = 0;
        try {
            code = cursor->OpenBlob(FFieldNo, FRecBuf, openMode, false, openMode == BlobOpenReadWrite, size);
        } catch (const EKuraEngineError& e) {
            if (openMode == BlobOpenRead && e.ErrorCode() == KURA_KEYORRECDELETED && attempt == 0) {
                cursor->Refresh();
                FDataSet->GetCurrentRecord(FRecBuf);
                continue;
            }
            throw;
        }
        if (code != 0) cursor->CheckBlobError(code, FField->FieldName);
        break;
    }
    FOpened = true;
    if (mode == bmWrite) {
        FPosition = 0;
        Truncate();
    }
}

TKuraBlobStream::~TKuraBlobStream() {
    if (!FOpened || !FDataSet->Handle()) return;
    try {
        if (FModified) FField->Modified = true;
        const TDataSetState state = FDataSet->State();
        if (state == dsFilter || state == dsOldValue || !FField->Modified) {
            TSessionLock lock(FDataSet->DBSession());
            FDataSet->Handle()->FreeBlob(FFieldNo, FRecBuf, false);
        }
        if (FModified) FDataSet->DataEvent(deFieldChange, reinterpret_cast<intptr_t>(FField));
    } catch (...) {
        // A destructor must not throw; the BLOB is released with the record.
    }
}

int32_t TKuraBlobStream::Read(void* buffer, int32_t count) {
    if (!FOpened || !FDataSet->Handle() || count <= 0 || FPosition > MaxBlobOffset) return 0;
    TSessionLock lock(FDataSet->DBSession());
    uint32_t read = 0;
    const TEngineErrorCode code = FDataSet->Handle()->GetBlob(FFieldNo, FRecBuf, static_cast<uint32_t>(FPosition),
                                                              buffer, static_cast<uint32_t>(count), read, false);
    if (code == 0 || code == KURA_ENDOFBLOB) {
        FPosition += read;
        return static_cast<int32_t>(read);
    }
    if (code == KURA_INVALIDBLOBOFFSET) return 0;
    RaiseKuraEngineError(code);
}

int32_t TKuraBlobStream::Write(const void* buffer, int32_t count) {
    if (!FOpened || count <= 0) return 0;
    if (FPosition + count > MaxBlobOffset) FDataSet->Handle()->CheckBlobError(KURA_INVALIDBLOBLEN, FField->FieldName);
    TSessionLock lock(FDataSet->DBSession());
    const TEngineErrorCode code = FDataSet->Handle()->PutBlob(FFieldNo, FRecBuf, static_cast<uint32_t>(FPosition),
                                                              buffer, static_cast<uint32_t>(count), false);
    if (code != 0) FDataSet->Handle()->CheckBlobError(code, FField->FieldName);
    FPosition += count;
    FModified = true;
    return count;
}

int64_t TKuraBlobStream::Seek(int64_t offset, TSeekOrigin origin) {
    switch (origin) {
        case soBeginning: FPosition = offset; break;
        case soCurrent: FPosition += offset; break;
        case soEnd: {
            uint32_t size = 0;
            if (FOpened && FDataSet->Handle()) {
                TSessionLock lock(FDataSet->DBSession());
                const TEngineErrorCode code = FDataSet->Handle()->GetBlobSize(FFieldNo, FRecBuf, size, false);
                if (code != 0) FDataSet->Handle()->CheckBlobError(code, FField->FieldName);
            }
            FPosition = static_cast<int64_t>(size) + offset;
            break;
        }
    }
    if (FPosition < 0) FPosition = 0;
    return FPosition;
}

void TKuraBlobStream::Truncate() {
    if (!FOpened || !FDataSet->Handle()) return;
    TSessionLock lock(FDataSet->DBSession());
    const TEngineErrorCode code = FDataSet->Handle()->TruncateBlob(
        FFieldNo, FRecBuf, static_cast<uint32_t>(std::min<int64_t>(FPosition, MaxBlobOffset)), false);
    if (code != 0) FDataSet->Handle()->CheckBlobError(code, FField->FieldName);
    FModified = true;
}

}  // namespace kura

#include "engine/files/FileHandler.h"

#include <algorithm>

#include "engine/errors/EngineErrors.h"
#include "engine/files/Routines.h"

namespace kura {

void RaiseFolderError(uint32_t code, std::string_view folder) {
    RaiseEngineError(code, {}, {}, {}, AddTrailingBackslash(folder));
}

TFileHandler::TFileHandler(void* /*owner*/) {}

TFileHandler::~TFileHandler() {
    if (IsOpen) TFileHandler::CloseFile();
}

void TFileHandler::CheckResult(int32_t result) {
    if (result < 0) RaiseEngineError(static_cast<uint32_t>(-static_cast<int64_t>(result)), {}, {}, {}, FileName);
}

void TFileHandler::OpenFile() {
    if (IsOpen) return;
    if (!FileList->FileExists(FileName, IsMemory)) RaiseEngineError(KURA_OSENOENT, {}, {}, {}, FileName);
    ReadOnlyByAttribute = false;
    TAbstractFile* file = nullptr;
    int32_t result = FileList->OpenFile(FileName, IsMemory, Temporary, Exclusive, ReadOnly, ReadOnlyByAttribute, file);
    CheckResult(result);
    File = file;
    Handle = result;
    IsOpen = true;
}

void TFileHandler::CloseFile() {
    if (Handle > 0 && File) {
        FileList->CloseFile(File, IsMemory, Handle);
        File = nullptr;
        Handle = 0;
    }
    IsOpen = false;
}

void TFileHandler::ShareFile() {
    if (IsOpen && File && !File->Share()) RaiseEngineError(KURA_OSEACCES, {}, {}, {}, FileName);
    Exclusive = false;
}

void TFileHandler::CreateFile() {
    TAbstractFile* file = nullptr;
    int32_t result = FileList->CreateFile(FileName, IsMemory, Temporary, file);
    CheckResult(result);
    File = file;
    Handle = result;
    IsOpen = true;
}

void TFileHandler::CreatePrivateFile() {
    Exclusive = true;
    try {
        CreateFile();
    } catch (const EKuraEngineError& e) {
        RaiseFolderError(e.ErrorCode(), ExtractFilePath(FileName));
    }
    // A name that stays (a system that refuses to drop it) only leaves the file
    // behind, as a name always did: the file itself works all the same.
    File->ReleaseName();
}

void TFileHandler::DeleteFile() { CheckResult(FileList->DeleteFile(FileName, IsMemory)); }

void TFileHandler::RenameFile(const std::string& newName) {
    CheckResult(FileList->RenameFile(FileName, IsMemory, newName));
    FileName = newName;
}

void TFileHandler::RenameOpenFile(const std::string& newName) {
    if (!IsOpen || !File) RaiseEngineError(KURA_OSEBADF, {}, {}, {}, FileName);
    CheckResult(File->RenameOpen(newName));
    FileName = newName;
}

void TFileHandler::CopyToNewFile(const std::string& destName, bool compress, const TFileProgressEvent& progress,
                                 uint16_t progressStep) {
    if (!IsOpen || !File) return;
    CheckResult(FileList->CopyToNewFile(File, Handle, destName, compress, progress, progressStep, IsMemory));
}

void TFileHandler::CopyFromFile(const std::string& sourceName, bool compress, const TFileProgressEvent& progress,
                                uint16_t progressStep) {
    if (!IsOpen || !File) return;
    CheckResult(FileList->CopyFromFile(File, Handle, sourceName, compress, progress, progressStep, IsMemory));
}

int32_t TFileHandler::ReadBuffer(void* buffer, int32_t count, bool allowPartial) {
    if (!File) RaiseEngineError(KURA_READERR, {}, {}, {}, FileName);
    int32_t result = 0;
    const bool held = Held && !Held->Empty();
    if (Capture || held) {
        TFileSectionGuard guard(*this);
        const int64_t position = File->Seek(Handle, soFromCurrent, 0);
        if (Capture) {
            if (!Capture->Known()) Capture->Reset(File->GetSize());
            result = Capture->Read(position, buffer, count, [&](int64_t at, void* bytes, int32_t n) {
                if (File->Seek(Handle, soFromBeginning, at) != at) return -1;
                return File->Read(Handle, bytes, n);
            });
        } else if (!Held->Covers(position, count)) {
            // A page or record held whole (an appended one, often) needs nothing
            // of the file.
            result = File->Read(Handle, buffer, count);
        }
        if (held && result >= 0) result = Held->Overlay(position, static_cast<uint8_t*>(buffer), count, result);
        File->Seek(Handle, soFromBeginning, position + std::max(result, 0));
    } else {
        result = File->Read(Handle, buffer, count);
    }
    // A failed read is never a byte count, partial or not.
    if (result < 0 || (result != count && !allowPartial)) RaiseEngineError(KURA_READERR, {}, {}, {}, FileName);
    return result;
}

void TFileHandler::WriteBuffer(const void* buffer, int32_t count) {
    // A transaction's writes are held before anything else sees them: also a write
    // bracket's journal must not take them to the file before the commit.
    if (File && Held && Held->Holding && count > 0) {
        if (!buffer) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FileName);
        TFileSectionGuard guard(*this);
        const int64_t position = File->Seek(Handle, soFromCurrent, 0);
        Held->Write(position, static_cast<const uint8_t*>(buffer), count);
        File->Seek(Handle, soFromBeginning, position + count);
        return;
    }
    // A cut still reaches the file; nothing held survives beyond it.
    if (File && Held && count == 0) Held->Cut(File->Seek(Handle, soFromCurrent, 0));
    if (File && Capture && count >= 0) {
        TFileSectionGuard guard(*this);
        if (!Capture->Known()) Capture->Reset(File->GetSize());
        const int64_t position = File->Seek(Handle, soFromCurrent, 0);
        if (count == 0) {
            Capture->Cut(position);
        } else {
            if (!buffer) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FileName);
            Capture->Write(position, buffer, count);
        }
        File->Seek(Handle, soFromBeginning, position + count);
        return;
    }
    if (!File || File->Write(Handle, buffer, count) != count) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FileName);
}

int64_t TFileHandler::WriteHeld() {
    if (!File || !Held || Held->Empty()) return 0;
    int64_t bytes = 0;
    if (!Capture) {
        Held->ForEach([&](int64_t offset, const uint8_t* piece, int32_t count) {
            TFileSectionGuard guard(*this);
            Seek(soFromBeginning, offset);
            WriteBuffer(piece, count);
            bytes += count;
        });
        return bytes;
    }
    {
        TFileSectionGuard guard(*this);
        if (!Capture->Known()) Capture->Reset(File->GetSize());
    }
    const THeldChanges* held = Held;
    const TWriteCapture::TSourceRead source = [held](int64_t offset, uint8_t* out, int32_t count) {
        return held->Overlay(offset, out, count, 0) == count;
    };
    Held->ForEachRange([&](int64_t offset, int64_t length) {
        TFileSectionGuard guard(*this);
        if (!Capture->Defer(offset, length, source)) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FileName);
        bytes += length;
    });
    return bytes;
}

void TFileHandler::FlushFile() {
    // What is held has not reached the file: there is nothing of it to sync.
    if (File && Held && Held->Holding) return;
    if (File && Capture) {
        Capture->SyncWanted = true;
        return;
    }
    if (File && !File->Flush()) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FileName);
}

bool TFileHandler::LockBytes(bool lock, int64_t start, int64_t length) {
    if (!File) return false;
    return lock ? File->Lock(start, length) : File->Unlock(start, length);
}

bool TFileHandler::UnlockByteRanges(int64_t start, int64_t length) { return File && File->UnlockRanges(start, length); }

bool TFileHandler::LockEachByte(int64_t start, int64_t length) { return File && File->LockEachByte(start, length); }

std::vector<platform::TLockHolder> TFileHandler::LockHolders(int64_t start, int64_t length) {
    const auto* disk = dynamic_cast<const TPhysicalFile*>(File);
    if (!disk || disk->OSHandle <= 0 || start < 0 || length <= 0) return {};
    return platform::LockHolders(disk->OSHandle, static_cast<uint64_t>(start), static_cast<uint64_t>(length));
}

bool TFileHandler::UnlockFoundNothing() { return OSLastError() == platform::ERROR_NOT_LOCKED; }

bool TFileHandler::LockEachByteOver(int64_t start, int64_t length, int64_t heldInside) {
    return File && File->LockEachByteOver(start, length, heldInside);
}

int64_t TFileHandler::Seek(uint16_t origin, int64_t offset) {
    if (!File) return 0;
    return File->Seek(Handle, origin, offset);
}

int64_t TFileHandler::GetFileSize() {
    if (!File) return 0;
    if (Capture) {
        if (!Capture->Known()) Capture->Reset(File->GetSize());
        return Capture->Size();
    }
    TFileSectionGuard guard(*this);
    int64_t position = Seek(soFromCurrent, 0);
    int64_t size = Seek(soFromEnd, 0);
    Seek(soFromBeginning, position);
    return Held ? std::max(size, Held->End()) : size;
}

bool TFileHandler::FileExists() { return FileList->FileExists(FileName, IsMemory); }

void TFileHandler::EnterFileSection() {
    if (File) File->EnterSection();
}

void TFileHandler::LeaveFileSection() {
    if (File) File->LeaveSection();
}

}  // namespace kura

#include "engine/files/EngineFile.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

#include "engine/files/Compression.h"
#include "engine/files/Routines.h"

namespace kura {

TFileList* FileList = nullptr;

namespace {

// The largest memory file: its block, rounded up to the granule, must still fit the
// 32-bit capacity.
constexpr int64_t MaxMemoryFileSize = (int64_t{std::numeric_limits<int32_t>::max()} / MemoryFileGranule) *
                                      MemoryFileGranule;

bool IsBlank(unsigned char c) { return c <= ' '; }

std::string_view TrimName(std::string_view s) {
    std::size_t b = 0, e = s.size();
    while (b < e && IsBlank(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && IsBlank(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

// Signed 64-bit addition that wraps instead of overflowing.
int64_t WrapAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}

}  // namespace

bool SameFileName(std::string_view a, std::string_view b) {
    // "\\" and "/" separate alike; a double-byte character compares exactly. Names
    // of other lengths (most, in a lookup over the open files) are told apart at once.
    const auto ta = TrimName(a), tb = TrimName(b);
    if (ta.size() != tb.size()) return false;
    return SameNameText(NormalizePathDelimiters(ta), NormalizePathDelimiters(tb));
}

// ---- TAbstractFile -----------------------------------------------------------

TAbstractFile::TAbstractFile(TFileList* /*owner*/) {
    FileSection = NewCriticalSection();
    InitCriticalSection(FileSection);
}

TAbstractFile::~TAbstractFile() {
    DoneCriticalSection(FileSection);
    FreeCriticalSection(FileSection);
}

int32_t TAbstractFile::IndexOfHandle(int32_t id) {
    TCriticalGuard guard(FileSection);
    if (OpenCount == 0) return -1;
    for (std::size_t i = 0; i < Handles.size(); ++i)
        if (Handles[i].Id == id) return static_cast<int32_t>(i);
    return -1;
}

int64_t TAbstractFile::GetSize() {
    TCriticalGuard guard(FileSection);
    return Size;
}

int32_t TAbstractFile::AddHandle() {
    // Ids are never reused while the object lives; the counter wraps past the
    // 32-bit range rather than overflow, skipping the values that mean "no handle".
    int32_t id = static_cast<int32_t>(static_cast<uint32_t>(LastHandleId) + 1u);
    if (id <= 0) id = 1;
    LastHandleId = id;
    Handles.push_back(TFileHandle{id, 0});
    ++OpenCount;
    return id;
}

int32_t TAbstractFile::CreateHandle() {
    TCriticalGuard guard(FileSection);
    int32_t id = AddHandle();
    Size = 0;
    return id;
}

int32_t TAbstractFile::OpenHandle() {
    TCriticalGuard guard(FileSection);
    return AddHandle();
}

bool TAbstractFile::Share() {
    Exclusive = false;
    return true;
}

void TAbstractFile::CloseHandle(int32_t id) {
    TCriticalGuard guard(FileSection);
    int32_t index = IndexOfHandle(id);
    if (index < 0) return;
    Handles.erase(Handles.begin() + index);
    --OpenCount;
}

int32_t TAbstractFile::Rename(const std::string& newName) {
    TCriticalGuard guard(FileSection);
    FileName = newName;
    return 0;
}

int32_t TAbstractFile::RenameOpen(const std::string& newName) { return Rename(newName); }

int32_t TAbstractFile::Delete() { return 0; }

int32_t TAbstractFile::Read(int32_t /*handle*/, void* /*buffer*/, int32_t /*count*/) { return -1; }

int32_t TAbstractFile::Write(int32_t /*handle*/, const void* /*buffer*/, int32_t /*count*/) { return -1; }

bool TAbstractFile::Flush() { return true; }

int64_t TAbstractFile::Seek(int32_t handle, uint16_t origin, int64_t offset) {
    TCriticalGuard guard(FileSection);
    int32_t index = IndexOfHandle(handle);
    if (index < 0) return 0;
    TFileHandle& h = Handles[static_cast<std::size_t>(index)];
    switch (origin) {
        case soFromBeginning: h.Position = offset; break;
        case soFromCurrent: h.Position = WrapAdd(h.Position, offset); break;
        case soFromEnd: h.Position = static_cast<int64_t>(static_cast<uint64_t>(Size) - static_cast<uint64_t>(offset)); break;
        default: break;
    }
    return h.Position;
}

bool TAbstractFile::Lock(int64_t start, int64_t length) {
    TCriticalGuard guard(FileSection);
    // An empty, negative or wrapping range cannot be held.
    if (length <= 0 || start < 0 || start > std::numeric_limits<int64_t>::max() - (length - 1)) return false;
    int64_t last = start + length - 1;
    for (const TFileLock& l : Locks) {
        if ((l.Start <= start && start <= l.Last) || (start <= l.Start && l.Start <= last)) return false;
    }
    Locks.push_back(TFileLock{start, last, length});
    return true;
}

bool TAbstractFile::Unlock(int64_t start, int64_t length) {
    TCriticalGuard guard(FileSection);
    for (auto it = Locks.begin(); it != Locks.end(); ++it) {
        if (it->Start == start && it->Length == length) {
            Locks.erase(it);
            return true;
        }
    }
    platform::SetLastError(platform::ERROR_NOT_LOCKED);
    return false;
}

bool TAbstractFile::UnlockRanges(int64_t start, int64_t length) {
    TCriticalGuard guard(FileSection);
    if (length <= 0 || start < 0 || start > std::numeric_limits<int64_t>::max() - (length - 1)) return false;
    const int64_t last = start + length - 1;
    // Inside the range: held ranges wholly within it, which must add up to it.
    int64_t inside = 0;
    for (const TFileLock& l : Locks) {
        const bool overlaps = l.Start <= last && start <= l.Last;
        if (!overlaps) continue;
        if (l.Start < start || l.Last > last) {
            platform::SetLastError(platform::ERROR_NOT_LOCKED);
            return false;
        }
        inside += l.Length;
    }
    if (inside != length) {
        platform::SetLastError(platform::ERROR_NOT_LOCKED);
        return false;
    }
    std::erase_if(Locks, [&](const TFileLock& l) { return l.Start >= start && l.Last <= last; });
    return true;
}

bool TAbstractFile::LockEachByte(int64_t start, int64_t length) {
    TCriticalGuard guard(FileSection);
    if (length <= 0 || start < 0 || start > std::numeric_limits<int64_t>::max() - (length - 1)) return false;
    const int64_t last = start + length - 1;
    for (const TFileLock& l : Locks)
        if (l.Start <= last && start <= l.Last) return false;
    for (int64_t b = start; b <= last; ++b) Locks.push_back(TFileLock{b, b, 1});
    return true;
}

bool TAbstractFile::LockEachByteOver(int64_t /*start*/, int64_t /*length*/, int64_t /*heldInside*/) {
    return false;
}

// ---- TMemoryFile -------------------------------------------------------------

TMemoryFile::TMemoryFile(TFileList* owner) : TAbstractFile(owner) {}

TMemoryFile::~TMemoryFile() {
    void* block = Memory;
    RoundUpToMultiple(0, MemoryFileGranule, block, Capacity);
    Memory = nullptr;
}

bool TMemoryFile::GrowTo(int64_t size) {
    if (size > MaxMemoryFileSize) return false;
    void* block = Memory;
    try {
        RoundUpToMultiple(static_cast<int32_t>(size), MemoryFileGranule, block, Capacity);
    } catch (const std::bad_alloc&) {
        return false;
    }
    Memory = static_cast<uint8_t*>(block);
    return true;
}

int32_t TMemoryFile::CreateHandle() {
    TCriticalGuard guard(FileSection);
    void* block = Memory;
    RoundUpToMultiple(0, MemoryFileGranule, block, Capacity);
    Memory = nullptr;
    return TAbstractFile::CreateHandle();
}

int32_t TMemoryFile::Read(int32_t handle, void* buffer, int32_t count) {
    TCriticalGuard guard(FileSection);
    int32_t index = IndexOfHandle(handle);
    if (index < 0 || count < 0) return -1;
    TFileHandle& h = Handles[static_cast<std::size_t>(index)];
    if (h.Position < 0 || h.Position > Size) return 0;
    int64_t n = std::min<int64_t>(count, Size - h.Position);
    if (n > 0) std::memcpy(buffer, Memory + h.Position, static_cast<std::size_t>(n));
    h.Position += n;
    return static_cast<int32_t>(n);
}

int32_t TMemoryFile::Write(int32_t handle, const void* buffer, int32_t count) {
    TCriticalGuard guard(FileSection);
    int32_t index = IndexOfHandle(handle);
    if (index < 0 || count < 0) return -1;
    TFileHandle& h = Handles[static_cast<std::size_t>(index)];
    // Nothing may land before the block or beyond what its 32-bit capacity can hold.
    if (h.Position < 0 || h.Position > MaxMemoryFileSize - count) return -1;
    if (count == 0) {
        if (h.Position == 0) {
            void* block = Memory;
            RoundUpToMultiple(0, MemoryFileGranule, block, Capacity);
            Memory = nullptr;
        } else if (h.Position < Size) {
            // Bytes past the end stay zero, so a later write beyond a gap shows
            // zeros there and not what the file held before it was cut.
            std::memset(Memory + h.Position, 0, static_cast<std::size_t>(Size - h.Position));
        } else if (!GrowTo(h.Position)) {
            return -1;
        }
        Size = h.Position;
        return 0;
    }
    int64_t end = h.Position + count;
    if (end > Size) {
        if (!GrowTo(end)) return -1;
        Size = end;
    }
    std::memcpy(Memory + h.Position, buffer, static_cast<std::size_t>(count));
    h.Position = end;
    return count;
}

// ---- TPhysicalFile -----------------------------------------------------------

TPhysicalFile::TPhysicalFile(TFileList* owner) : TAbstractFile(owner) {}

TPhysicalFile::~TPhysicalFile() {
    if (OSHandle > 0) OSCloseFile(OSHandle);
    OSHandle = 0;
}

int64_t TPhysicalFile::GetSize() {
    TCriticalGuard guard(FileSection);
    int64_t position = OSFileSeek(OSHandle, soFromCurrent, 0);
    int64_t size = OSFileSeek(OSHandle, soFromEnd, 0);
    OSFileSeek(OSHandle, soFromBeginning, position);
    return size;
}

int32_t TPhysicalFile::CreateHandle() {
    TCriticalGuard guard(FileSection);
    TOSHandle handle = OSCreateFile(FileName, Temporary);
    if (handle == OS_INVALID_HANDLE) return -static_cast<int32_t>(OSErrorToEngineError());
    if (OSHandle > 0) OSCloseFile(OSHandle);
    OSHandle = handle;
    ReadOnly = false;
    ReadOnlyByAttribute = false;
    return TAbstractFile::CreateHandle();
}

int32_t TPhysicalFile::OpenHandle() {
    TCriticalGuard guard(FileSection);
    if (OpenCount == 0) {
        // An object left registered by an earlier open starts afresh: what made
        // that open read-only need not hold any more.
        ReadOnly = false;
        ReadOnlyByAttribute = false;
        int32_t attributes = GetFileAttr(FileName);
        if (attributes == -1) return -static_cast<int32_t>(OSErrorToEngineError());
        if (static_cast<uint32_t>(attributes) & platform::FILE_ATTRIBUTE_READONLY) {
            ReadOnly = true;
            ReadOnlyByAttribute = true;
        }
        const uint8_t share = Exclusive ? fmShareExclusive : fmShareDenyNone;
        TOSHandle handle = OSOpenFile(FileName, (ReadOnly ? fmOpenRead : fmOpenReadWrite) | share, Temporary);
        if (handle == OS_INVALID_HANDLE) {
            if (ReadOnly) return -static_cast<int32_t>(OSErrorToEngineError());
            handle = OSOpenFile(FileName, fmOpenRead | share, Temporary);
            if (handle == OS_INVALID_HANDLE) return -static_cast<int32_t>(OSErrorToEngineError());
            ReadOnly = true;
        }
        OSHandle = handle;
    }
    return TAbstractFile::OpenHandle();
}

void TPhysicalFile::CloseHandle(int32_t id) {
    TCriticalGuard guard(FileSection);
    TAbstractFile::CloseHandle(id);
    if (OpenCount == 0 && OSHandle > 0) {
        OSCloseFile(OSHandle);
        OSHandle = 0;
    }
}

bool TPhysicalFile::Share() {
    TCriticalGuard guard(FileSection);
    if (Exclusive && OSHandle > 0 && !OSShareFile(OSHandle)) return false;
    Exclusive = false;
    return true;
}

int32_t TPhysicalFile::Rename(const std::string& newName) {
    TCriticalGuard guard(FileSection);
    if (!OSRenameFile(FileName, newName)) return -static_cast<int32_t>(OSErrorToEngineError());
    FileName = newName;
    return 0;
}

int32_t TPhysicalFile::RenameOpen(const std::string& newName) {
    TCriticalGuard guard(FileSection);
    if (OSHandle <= 0) return Rename(newName);
    if (!OSRenameHeldFile(OSHandle, newName)) return -static_cast<int32_t>(OSErrorToEngineError());
    FileName = newName;
    return 0;
}

int32_t TPhysicalFile::Delete() {
    TCriticalGuard guard(FileSection);
    if (!OSDeleteFile(FileName)) return -static_cast<int32_t>(OSErrorToEngineError());
    return 0;
}

bool TPhysicalFile::ReleaseName() {
    TCriticalGuard guard(FileSection);
    return OSHandle > 0 && OSReleaseFileName(OSHandle);
}

int32_t TPhysicalFile::Read(int32_t /*handle*/, void* buffer, int32_t count) {
    TCriticalGuard guard(FileSection);
    if (OSHandle <= 0) return -1;
    return OSFileRead(OSHandle, buffer, count);
}

int32_t TPhysicalFile::Write(int32_t /*handle*/, const void* buffer, int32_t count) {
    TCriticalGuard guard(FileSection);
    if (OSHandle <= 0) return -1;
    if (count == 0) return OSTruncateFile(OSHandle) ? 0 : -1;
    return OSFileWrite(OSHandle, buffer, count);
}

bool TPhysicalFile::Flush() {
    TCriticalGuard guard(FileSection);
    return OSHandle > 0 && OSFlushFile(OSHandle);
}

int64_t TPhysicalFile::Seek(int32_t /*handle*/, uint16_t origin, int64_t offset) {
    TCriticalGuard guard(FileSection);
    return OSFileSeek(OSHandle, origin, offset);
}

bool TPhysicalFile::Lock(int64_t start, int64_t length) {
    TCriticalGuard guard(FileSection);
    return OSHandle > 0 && OSLockFile(OSHandle, start, length);
}

bool TPhysicalFile::Unlock(int64_t start, int64_t length) {
    TCriticalGuard guard(FileSection);
    return OSHandle > 0 && OSUnlockFile(OSHandle, start, length);
}

bool TPhysicalFile::UnlockRanges(int64_t start, int64_t length) {
    TCriticalGuard guard(FileSection);
    return OSHandle > 0 && OSUnlockFileRanges(OSHandle, start, length);
}

bool TPhysicalFile::LockEachByte(int64_t start, int64_t length) {
    TCriticalGuard guard(FileSection);
    return OSHandle > 0 && OSLockFileBytes(OSHandle, start, length);
}

bool TPhysicalFile::LockEachByteOver(int64_t start, int64_t length, int64_t heldInside) {
    TCriticalGuard guard(FileSection);
    return OSHandle > 0 && OSLockFileBytesOver(OSHandle, start, length, heldInside);
}

// ---- TFileList ---------------------------------------------------------------

namespace {

std::unique_ptr<TAbstractFile> NewFileObject(bool isMemory, const std::string& name) {
    std::unique_ptr<TAbstractFile> file;
    if (isMemory)
        file = std::make_unique<TMemoryFile>();
    else
        file = std::make_unique<TPhysicalFile>();
    file->FileName = name;
    return file;
}

}  // namespace

TFileList::TFileList() {
    Section = NewCriticalSection();
    InitCriticalSection(Section);
}

TFileList::~TFileList() {
    Files.clear();
    DoneCriticalSection(Section);
    FreeCriticalSection(Section);
}

std::size_t TFileList::Count() {
    TCriticalGuard guard(Section);
    return Files.size();
}

TAbstractFile* TFileList::Find(const std::string& name, bool isMemory) {
    for (auto& file : Files)
        if (file->IsMemoryFile() == isMemory && SameFileName(file->FileName, name)) return file.get();
    return nullptr;
}

void TFileList::Remove(TAbstractFile* file) {
    auto it = std::find_if(Files.begin(), Files.end(), [file](const auto& f) { return f.get() == file; });
    if (it != Files.end()) Files.erase(it);
}

int32_t TFileList::CreateFile(const std::string& name, bool isMemory, bool temporary, TAbstractFile*& file) {
    TCriticalGuard guard(Section);
    file = nullptr;
    if (name.size() > MaxFileNameLength) return -KURA_OSENOENT;
    if (TAbstractFile* found = Find(name, isMemory)) {
        if (found->OpenCount > 0) return -KURA_OSEACCES;
        found->Exclusive = true;
        found->Temporary = temporary;
        int32_t result = found->CreateHandle();
        if (result > 0)
            file = found;
        else if (!isMemory)
            Remove(found);  // a failed physical create leaves no entry
        return result;
    }
    auto created = NewFileObject(isMemory, name);
    created->Exclusive = true;
    created->Temporary = temporary;
    int32_t result = created->CreateHandle();
    if (result > 0) {
        file = created.get();
        Files.push_back(std::move(created));
    }
    return result;
}

int32_t TFileList::OpenFile(const std::string& name, bool isMemory, bool temporary, bool exclusive, bool& readOnly,
                            bool& readOnlyByAttribute, TAbstractFile*& file) {
    TCriticalGuard guard(Section);
    file = nullptr;
    if (name.size() > MaxFileNameLength) return -KURA_OSENOENT;
    TAbstractFile* found = Find(name, isMemory);
    std::unique_ptr<TAbstractFile> created;
    if (found) {
        if (found->OpenCount == 0) {
            found->Exclusive = exclusive;
            found->Temporary = temporary;
        } else if (found->Exclusive || exclusive) {
            return -KURA_OSEACCES;
        }
    } else {
        if (isMemory) return -KURA_OSENOENT;
        created = NewFileObject(false, name);
        created->Exclusive = exclusive;
        created->Temporary = temporary;
        found = created.get();
    }
    int32_t result = found->OpenHandle();
    if (result <= 0) {
        // A failed physical open leaves no entry, also none that a copy left.
        if (!isMemory && !created && found->OpenCount == 0) Remove(found);
        return result;
    }
    readOnly = found->ReadOnly;
    readOnlyByAttribute = found->ReadOnlyByAttribute;
    file = found;
    if (created) Files.push_back(std::move(created));
    return result;
}

int32_t TFileList::CloseFile(TAbstractFile* file, bool isMemory, int32_t handle) {
    TCriticalGuard guard(Section);
    auto it = std::find_if(Files.begin(), Files.end(), [file](const auto& f) { return f.get() == file; });
    if (it == Files.end() || file->IsMemoryFile() != isMemory || file->OpenCount == 0) return -KURA_OSENOENT;
    file->CloseHandle(handle);
    if (file->OpenCount == 0) {
        if (!isMemory)
            Files.erase(it);
        else if (file->Temporary)
            file->Delete();
    }
    return 0;
}

int32_t TFileList::RenameFile(const std::string& name, bool isMemory, const std::string& newName) {
    TCriticalGuard guard(Section);
    if (name.size() > MaxFileNameLength || newName.size() > MaxFileNameLength) return -KURA_OSENOENT;
    if (TAbstractFile* found = Find(name, isMemory)) {
        if (found->OpenCount > 0) return -KURA_OSEACCES;
        // Memory files have no disk to refuse a move onto a name in use; two
        // entries of one name would hide one of the files for good.
        TAbstractFile* holder = isMemory ? Find(newName, true) : nullptr;
        if (holder && holder != found)
            return -static_cast<int32_t>(OSErrorToEngineError(platform::ERROR_ALREADY_EXISTS));
        return found->Rename(newName);
    }
    if (isMemory) return -KURA_OSENOENT;
    TPhysicalFile transient;
    transient.FileName = name;
    return transient.Rename(newName);
}

int32_t TFileList::DeleteFile(const std::string& name, bool isMemory) {
    TCriticalGuard guard(Section);
    if (name.size() > MaxFileNameLength) return -KURA_OSENOENT;
    if (TAbstractFile* found = Find(name, isMemory)) {
        if (found->OpenCount > 0) return -KURA_OSEACCES;
        int32_t result = found->Delete();
        Remove(found);
        return result;
    }
    if (isMemory) return -KURA_OSENOENT;
    TPhysicalFile transient;
    transient.FileName = name;
    return transient.Delete();
}

bool TFileList::FileExists(const std::string& name, bool isMemory) {
    TCriticalGuard guard(Section);
    if (name.size() > MaxFileNameLength) return false;
    TAbstractFile* found = Find(name, isMemory);
    if (isMemory) return found != nullptr;
    // An entry without open handles (left by a copy) says nothing about the disk:
    // the file may have been deleted or renamed since.
    if (found && found->OpenCount > 0) return true;
    return DiskFileExists(name);
}

int32_t TFileList::CopyChunks(TAbstractFile* source, int32_t sourceHandle, TAbstractFile* dest, int32_t destHandle,
                              bool compress, const TFileProgressEvent& progress, uint16_t progressStep,
                              int64_t total) {
    std::vector<uint8_t> buffer(FileCopyBufferSize);
    std::vector<uint8_t> packed;
    uint64_t done = 0;
    uint32_t lastPercent = 0;
    for (;;) {
        int32_t n = source->Read(sourceHandle, buffer.data(), FileCopyBufferSize);
        if (n < 0 || n > FileCopyBufferSize) return -KURA_READERR;
        if (n > 0) {
            if (compress) {
                CompressBuffer(buffer.data(), n, packed);
                auto size = static_cast<int32_t>(packed.size());
                if (size > 0 && dest->Write(destHandle, packed.data(), size) != size) return -KURA_WRITEERR;
            } else if (dest->Write(destHandle, buffer.data(), n) != n) {
                return -KURA_WRITEERR;
            }
            if (progress) {
                done += static_cast<uint64_t>(n);
                uint64_t percent = total > 0 ? done * 100 / static_cast<uint64_t>(total) : 100;
                if (percent > 100) percent = 100;
                if (lastPercent + progressStep <= percent) {
                    progress(static_cast<uint16_t>(percent));
                    lastPercent = static_cast<uint32_t>(percent);
                }
            }
        }
        if (n < FileCopyBufferSize) return 0;
    }
}

int32_t TFileList::CopyToNewFile(TAbstractFile* source, int32_t sourceHandle, const std::string& destName,
                                 bool compress, const TFileProgressEvent& progress, uint16_t progressStep,
                                 bool destIsMemory) {
    TCriticalGuard guard(Section);
    if (!source) return -KURA_OSENOENT;
    TAbstractFile* dest = nullptr;
    int32_t destHandle = CreateFile(destName, destIsMemory, false, dest);
    if (destHandle < 0) return destHandle;

    // A copy that did not complete must not stand as the destination.
    auto discard = [this, dest]() {
        dest->Delete();
        Remove(dest);
    };
    int32_t result;
    try {
        // The source's position is shared with its other handles: hold it for the
        // whole copy.
        TCriticalGuard fileGuard(source->FileSection);
        int64_t total = static_cast<uint32_t>(source->Seek(sourceHandle, soFromEnd, 0));
        source->Seek(sourceHandle, soFromBeginning, 0);
        result = CopyChunks(source, sourceHandle, dest, destHandle, compress, progress, progressStep, total);
    } catch (...) {
        dest->CloseHandle(destHandle);
        discard();
        throw;
    }
    dest->CloseHandle(destHandle);
    if (result < 0) discard();
    return result;
}

int32_t TFileList::CopyFromFile(TAbstractFile* target, int32_t targetHandle, const std::string& sourceName,
                                bool compress, const TFileProgressEvent& progress, uint16_t progressStep,
                                bool sourceIsMemory) {
    TCriticalGuard guard(Section);
    if (!target) return -KURA_OSENOENT;
    TAbstractFile* source = nullptr;
    bool readOnly = false, readOnlyByAttribute = false;
    int32_t sourceHandle = OpenFile(sourceName, sourceIsMemory, false, true, readOnly, readOnlyByAttribute, source);
    if (sourceHandle < 0) return sourceHandle;

    int32_t result;
    try {
        TCriticalGuard sourceGuard(source->FileSection);
        TCriticalGuard targetGuard(target->FileSection);
        int64_t total = static_cast<uint32_t>(source->GetSize());
        source->Seek(sourceHandle, soFromBeginning, 0);
        target->Seek(targetHandle, soFromBeginning, 0);
        result = CopyChunks(source, sourceHandle, target, targetHandle, compress, progress, progressStep, total);
        // Whatever the target held beyond the copied bytes is not part of the copy.
        if (result == 0 && target->Write(targetHandle, nullptr, 0) != 0) result = -KURA_WRITEERR;
    } catch (...) {
        source->CloseHandle(sourceHandle);
        throw;
    }
    source->CloseHandle(sourceHandle);
    return result;
}

}  // namespace kura

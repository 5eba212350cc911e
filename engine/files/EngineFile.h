#pragma once
// One object per open file in the process, and the registry that hands them out.
//
// Every byte the engine stores passes through a TAbstractFile: a TPhysicalFile keeps
// it in an OS file, a TMemoryFile in a heap block (tables of the in-memory
// database). Handlers never make file objects themselves; they ask the registry
// (TFileList), which finds the object by name and kind and gives out a numbered
// handle on it, so two handlers of one table file share one object, one OS handle
// and one set of locks.
//
// Nothing here raises for a failure of its own: results are handle ids (1 or more),
// 0, negative engine error codes, byte counts (-1 for a failed transfer) or Booleans.
// Only compression inside a compressed copy may raise its engine error.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/OSServices.h"

namespace kura {

class TFileList;

// Progress of a whole-file copy, PercentDone 0..100.
using TFileProgressEvent = std::function<void(uint16_t percentDone)>;

struct TFileHandle {
    int32_t Id = 0;
    int64_t Position = 0;  // memory files only: each handle has its own position
};

struct TFileLock {
    int64_t Start = 0;
    int64_t Last = 0;  // Start + Length - 1
    int64_t Length = 0;
};

// Seek origins.
constexpr uint16_t soFromBeginning = 0;
constexpr uint16_t soFromCurrent = 1;
constexpr uint16_t soFromEnd = 2;

// Names are short strings; a longer one (folder and extension included) cannot
// name a file of the engine.
constexpr std::size_t MaxFileNameLength = 255;

// Block granule of memory files.
constexpr int32_t MemoryFileGranule = 4096;
// Chunk of whole-file copies.
constexpr int32_t FileCopyBufferSize = 65536;

// The shared file object. Every operation holds FileSection for its whole run; the
// section is re-entrant, and a caller that seeks and then transfers on a physical
// file (one OS position shared by all handles) holds it across both.
class TAbstractFile {
public:
    explicit TAbstractFile(TFileList* owner = nullptr);
    virtual ~TAbstractFile();
    TAbstractFile(const TAbstractFile&) = delete;
    TAbstractFile& operator=(const TAbstractFile&) = delete;

    virtual bool IsMemoryFile() const { return false; }

    // List index of an open handle id, -1 when it is not open.
    virtual int32_t IndexOfHandle(int32_t id);
    virtual int64_t GetSize();
    // A new handle on a new, empty file: the id, or a negative engine code.
    virtual int32_t CreateHandle();
    // A new handle on the existing file: the id, or a negative engine code.
    virtual int32_t OpenHandle();
    // An id that is not open changes nothing.
    virtual void CloseHandle(int32_t id);
    // An exclusive file is shared from now on, without being closed; false when
    // the system refuses.
    virtual bool Share();
    virtual int32_t Rename(const std::string& newName);
    // The open file takes the new name while its handles keep it, held as they
    // hold it: 0 or a negative engine code.
    virtual int32_t RenameOpen(const std::string& newName);
    virtual int32_t Delete();
    // The open file loses its name (a private scratch file, gone with its last
    // handle however the process ends); a memory file has none to lose.
    virtual bool ReleaseName() { return true; }
    // Bytes transferred; -1 when the transfer failed.
    virtual int32_t Read(int32_t handle, void* buffer, int32_t count);
    // A count of 0 cuts the file at the current position.
    virtual int32_t Write(int32_t handle, const void* buffer, int32_t count);
    virtual bool Flush();
    virtual int64_t Seek(int32_t handle, uint16_t origin, int64_t offset);
    // Any overlap with a held range refuses, also through the same handle.
    virtual bool Lock(int64_t start, int64_t length);
    // Releases only a range locked with exactly this start and length.
    virtual bool Unlock(int64_t start, int64_t length);
    // Releases at once the ranges locked one by one that together cover exactly
    // this range; nothing (and false) when they do not.
    virtual bool UnlockRanges(int64_t start, int64_t length);
    // Locks each byte of the range as a range of its own, all or nothing.
    virtual bool LockEachByte(int64_t start, int64_t length);
    // Locks each byte of the range, taking in this file's own locks inside it,
    // which must come to exactly heldInside bytes; all or nothing. A memory file
    // does not (false).
    virtual bool LockEachByteOver(int64_t start, int64_t length, int64_t heldInside);

    void EnterSection() { EnterCritical(FileSection); }
    void LeaveSection() { LeaveCritical(FileSection); }

    PCriticalSection FileSection = nullptr;
    bool Exclusive = false;
    bool ReadOnly = false;
    bool ReadOnlyByAttribute = false;
    bool Temporary = false;
    std::string FileName;
    int64_t Size = 0;
    std::vector<TFileLock> Locks;
    uint16_t OpenCount = 0;
    std::vector<TFileHandle> Handles;
    int32_t LastHandleId = 0;

protected:
    // Appends a new handle record and counts it; the new id.
    int32_t AddHandle();
};

// A file in a heap block that grows in 4,096-byte granules and is zero-filled, so
// no byte beyond what was written can carry old content. Its size is limited to
// what a 32-bit capacity holds.
class TMemoryFile : public TAbstractFile {
public:
    explicit TMemoryFile(TFileList* owner = nullptr);
    ~TMemoryFile() override;

    bool IsMemoryFile() const override { return true; }
    int32_t CreateHandle() override;
    int32_t Read(int32_t handle, void* buffer, int32_t count) override;
    int32_t Write(int32_t handle, const void* buffer, int32_t count) override;

    uint8_t* Memory = nullptr;
    int32_t Capacity = 0;

private:
    bool GrowTo(int64_t size);
};

// A file on disk. The OS file is opened by the first handle and closed with the
// last; all handles share its one position.
class TPhysicalFile : public TAbstractFile {
public:
    explicit TPhysicalFile(TFileList* owner = nullptr);
    ~TPhysicalFile() override;

    int64_t GetSize() override;
    int32_t CreateHandle() override;
    int32_t OpenHandle() override;
    void CloseHandle(int32_t id) override;
    bool Share() override;
    int32_t Rename(const std::string& newName) override;
    int32_t RenameOpen(const std::string& newName) override;
    int32_t Delete() override;
    bool ReleaseName() override;
    int32_t Read(int32_t handle, void* buffer, int32_t count) override;
    int32_t Write(int32_t handle, const void* buffer, int32_t count) override;
    bool Flush() override;
    int64_t Seek(int32_t handle, uint16_t origin, int64_t offset) override;
    bool Lock(int64_t start, int64_t length) override;
    bool Unlock(int64_t start, int64_t length) override;
    bool UnlockRanges(int64_t start, int64_t length) override;
    bool LockEachByte(int64_t start, int64_t length) override;
    bool LockEachByteOver(int64_t start, int64_t length, int64_t heldInside) override;

    TOSHandle OSHandle = 0;  // 0 while no OS file is open
};

// The process-wide registry of file objects. Every operation runs wholly under its
// critical section; a file operation never takes it, so the order is always the
// registry first, then a file.
class TFileList {
public:
    TFileList();
    ~TFileList();  // frees every registered file object
    TFileList(const TFileList&) = delete;
    TFileList& operator=(const TFileList&) = delete;

    // A new, empty file held exclusively: its handle id, or a negative code
    // (-11013 while the file is open).
    int32_t CreateFile(const std::string& name, bool isMemory, bool temporary, TAbstractFile*& file);
    // A handle on an existing file: the id, or a negative code (-11013 when the file
    // is held exclusively or exclusive use is asked of an open file; -11010 for a
    // memory name never created).
    int32_t OpenFile(const std::string& name, bool isMemory, bool temporary, bool exclusive, bool& readOnly,
                     bool& readOnlyByAttribute, TAbstractFile*& file);
    // Closes a handle; the last close frees a physical file object. 0 or -11010.
    int32_t CloseFile(TAbstractFile* file, bool isMemory, int32_t handle);
    int32_t RenameFile(const std::string& name, bool isMemory, const std::string& newName);
    int32_t DeleteFile(const std::string& name, bool isMemory);
    bool FileExists(const std::string& name, bool isMemory);

    // Copies a whole open file into a new file. 0, or a negative code: the create
    // failure, -9217 for a failed read, -9218 for a failed or short write; a failed
    // copy leaves no destination behind.
    int32_t CopyToNewFile(TAbstractFile* source, int32_t sourceHandle, const std::string& destName,
                          bool compress, const TFileProgressEvent& progress, uint16_t progressStep,
                          bool destIsMemory);
    // Copies a whole file over an open target from offset 0 and cuts the target at
    // the end of the copied bytes. 0, or a negative code: the open failure, -9217
    // for a failed read, -9218 for a failed or short write.
    int32_t CopyFromFile(TAbstractFile* target, int32_t targetHandle, const std::string& sourceName,
                         bool compress, const TFileProgressEvent& progress, uint16_t progressStep,
                         bool sourceIsMemory);

    // Registered objects, in registration order; for inspection under the section.
    std::size_t Count();
    void Enter() { EnterCritical(Section); }
    void Leave() { LeaveCritical(Section); }

private:
    // The first registered object of this kind whose trimmed name equals the
    // trimmed name without regard to case; nullptr when none.
    TAbstractFile* Find(const std::string& name, bool isMemory);
    void Remove(TAbstractFile* file);  // unregisters and frees
    int32_t CopyChunks(TAbstractFile* source, int32_t sourceHandle, TAbstractFile* dest, int32_t destHandle,
                       bool compress, const TFileProgressEvent& progress, uint16_t progressStep, int64_t total);

    PCriticalSection Section = nullptr;
    std::vector<std::unique_ptr<TAbstractFile>> Files;
};

// The registry of the process: created by the engine library start-up and freed at
// its shut-down.
extern TFileList* FileList;

// Registry name comparison: surrounding blanks ignored, ASCII letters compared
// without regard to case (the trail byte of a double-byte character exactly), and
// "\" and "/" as the same separator.
bool SameFileName(std::string_view a, std::string_view b);

}  // namespace kura

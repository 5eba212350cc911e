#pragma once
// The engine's view of one named file: the base of the data, index and BLOB files of
// a table, and used plain for imports, exports and header reads. It holds the
// handle the registry gave it, raises the registry's failures as engine errors with
// the file name as the table of the error context, and offers the byte-range lock
// on which all sharing between programs rests.
//
// Transfers never use an implicit position: a caller enters the file section,
// seeks, reads or writes, and leaves the section (all handlers of one physical file
// share one OS position).
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/files/EngineFile.h"
#include "engine/files/HeldChanges.h"
#include "engine/files/WriteCapture.h"
#include "platform/Files.h"

namespace kura {

// Raises the engine error of a folder in which no file could be made (a scratch
// file's, a work folder's): what the user can do something about is the folder, not
// a file of it. The messages name a path in their table slot only, so the folder
// goes there written as a folder, with its trailing separator.
[[noreturn]] void RaiseFolderError(uint32_t code, std::string_view folder);

class TFileHandler {
public:
    // The owner is kept by subclasses; the base ignores it.
    explicit TFileHandler(void* owner = nullptr);
    // Closes the file when open. Subclasses that override CloseFile close in their
    // own destructor, since a base destructor cannot reach their override.
    virtual ~TFileHandler();
    TFileHandler(const TFileHandler&) = delete;
    TFileHandler& operator=(const TFileHandler&) = delete;

    // Nothing when already open; 11010 when the file does not exist.
    virtual void OpenFile();
    virtual void CloseFile();
    // An open file held exclusively is shared from now on; 11013 when the system
    // refuses.
    void ShareFile();
    // A new, empty file held exclusively.
    virtual void CreateFile();
    // A new, empty file held exclusively that has no name on the disk: a private
    // scratch file that goes when it is closed, and with the process however that
    // ends. Only closed then, never deleted. A refusal names the file's folder
    // (RaiseFolderError).
    void CreatePrivateFile();
    // On a closed handler (11013 while the file is open anywhere in the process).
    virtual void DeleteFile();
    virtual void RenameFile(const std::string& newName);
    // An open file takes the new name while this handler keeps it, held as it is
    // held (in its file system only).
    void RenameOpenFile(const std::string& newName);
    // Whole-file copies; only while open. The destination or source is of the
    // same kind (memory or physical) as this handler's file.
    virtual void CopyToNewFile(const std::string& destName, bool compress, const TFileProgressEvent& progress,
                               uint16_t progressStep);
    virtual void CopyFromFile(const std::string& sourceName, bool compress, const TFileProgressEvent& progress,
                              uint16_t progressStep);
    // Bytes read; a short read raises 9217 unless allowPartial, a failed one always.
    virtual int32_t ReadBuffer(void* buffer, int32_t count, bool allowPartial);
    // Anything but the whole count written raises 9218.
    virtual void WriteBuffer(const void* buffer, int32_t count);
    virtual void FlushFile();
    // Writes what the held changes hold (the commit), through the capture when one
    // is attached; the bytes it holds (0 when nothing). Through a capture the bytes
    // stay where they are held: the capture takes them from there as the journal
    // saves what they overwrite and as the flush is written, so that a large commit
    // is not held in memory again.
    int64_t WriteHeld();

    // Locks (lock true) or unlocks a byte range; never waits and never raises.
    bool LockBytes(bool lock, int64_t start, int64_t length);
    // Releases at once byte ranges locked one by one that together cover exactly
    // this range; false (nothing released) when they do not.
    bool UnlockByteRanges(int64_t start, int64_t length);
    // Locks each byte of the range as a range of its own, with one call.
    bool LockEachByte(int64_t start, int64_t length);
    // The other programs of this computer seen holding a lock on the range of the file
    // on disk (platform::LockHolders); none for a file in memory.
    std::vector<platform::TLockHolder> LockHolders(int64_t start, int64_t length);
    // Locks each byte of the range with one call, taking in the locks inside it
    // this file holds, which must come to exactly heldInside bytes.
    bool LockEachByteOver(int64_t start, int64_t length, int64_t heldInside);
    // After an unlock that failed: true when it failed because nothing was locked
    // there (nothing is left held), false when the system refused the release.
    static bool UnlockFoundNothing();
    int64_t Seek(uint16_t origin, int64_t offset);
    // The size, leaving the position where it was.
    int64_t GetFileSize();
    bool FileExists();
    void EnterFileSection();
    void LeaveFileSection();

    bool IsMemory = false;
    TAbstractFile* File = nullptr;  // owned by the registry
    std::string FileName;
    int32_t Handle = 0;
    bool Exclusive = false;
    bool ReadOnly = false;
    bool ReadOnlyByAttribute = false;
    bool IsOpen = false;
    bool Temporary = false;
    // While set, writes, cuts and flushes are held back there and reads and the
    // size see them (the table's journal sets it for the length of a flush).
    TWriteCapture* Capture = nullptr;
    // A transaction's changes to the file (HeldChanges.h): while it holds, writes go
    // there instead of to the file; reads and the size see what it holds.
    THeldChanges* Held = nullptr;

protected:
    // Raises the absolute value of a negative registry result, naming the file.
    void CheckResult(int32_t result);
};

// Holds a handler's file section for a scope.
class TFileSectionGuard {
public:
    // Leaves the very object it entered, even when the handler closes meanwhile.
    explicit TFileSectionGuard(TFileHandler& handler) : file_(handler.File) {
        if (file_) file_->EnterSection();
    }
    ~TFileSectionGuard() {
        if (file_) file_->LeaveSection();
    }
    TFileSectionGuard(const TFileSectionGuard&) = delete;
    TFileSectionGuard& operator=(const TFileSectionGuard&) = delete;

private:
    TAbstractFile* file_;
};

}  // namespace kura

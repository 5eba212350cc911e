#pragma once
// The writes a flush makes to one table file, held back in memory until the whole
// flush is known, so that the rollback journal can save what they overwrite in one
// piece before any byte on disk changes.
//
// While a capture is attached to a file handler, the handler's writes, cuts, sizes
// and reads go through it: a read sees the file as the held-back writes would leave
// it (disk bytes below the lowest cut, zeros in holes, held-back bytes on top), so
// the caches may drop and re-read what they wrote. The disk itself stays as it was
// when the capture began.
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace kura {

class TWriteCapture {
public:
    // Reads count bytes of the disk file at offset; bytes read or -1.
    using TDiskRead = std::function<int32_t(int64_t offset, void* buffer, int32_t count)>;

    // Starts over on a disk file of this size.
    void Reset(int64_t diskSize);
    // Starts over on a disk file whose size is learnt at the first use (a bracket
    // that writes nothing to the file never asks the system for it).
    void Forget();
    bool Known() const { return FKnown; }
    bool Empty() const { return !FKnown || (!FCut && FExtents.empty() && FSize == FDiskSize); }

    void Write(int64_t offset, const void* buffer, int32_t count);
    // Cuts (or extends with zeros) the file at offset.
    void Cut(int64_t offset);
    // Bytes read at offset (short at the end of the file), -1 when the disk failed.
    int32_t Read(int64_t offset, void* buffer, int32_t count, const TDiskRead& disk) const;

    int64_t Size() const { return FSize; }
    int64_t DiskSize() const { return FDiskSize; }
    // Disk bytes from here on are gone (zero or overwritten); DiskSize when nothing was cut.
    int64_t KeptDiskBytes() const { return FKept; }
    // The held-back bytes by offset; no two touch or overlap.
    const std::map<int64_t, std::vector<uint8_t>>& Extents() const { return FExtents; }

    // A flush of the file to the disk was asked for.
    bool SyncWanted = false;

private:
    bool FKnown = false;
    int64_t FDiskSize = 0;
    int64_t FSize = 0;
    int64_t FKept = 0;
    bool FCut = false;
    std::map<int64_t, std::vector<uint8_t>> FExtents;
};

}  // namespace kura

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
//
// Bytes that already lie elsewhere until the flush is written (a transaction's held
// changes, often spilled to their own file) need not be copied here: such a write
// is deferred, and its bytes are taken from their source when the journal saves
// what they overwrite, when the flush is written and whenever they are read
// before. So a commit of any size holds none of its bytes here.
#include <cstdint>
#include <functional>
#include <map>
#include <vector>

namespace kura {

// A file's leading bytes (its header, of which the journal keeps images before and
// after a flush) are always held back here, never deferred: the journal takes
// their after image from one held-back write.
constexpr int64_t CAPTURE_LEADING_BYTES = 128;

class TWriteCapture {
public:
    // Reads count bytes of the disk file at offset; bytes read or -1.
    using TDiskRead = std::function<int32_t(int64_t offset, void* buffer, int32_t count)>;
    // Reads count bytes a deferred write leaves at offset from where they lie;
    // false when they cannot be read.
    using TSourceRead = std::function<bool(int64_t offset, uint8_t* buffer, int32_t count)>;

    // Starts over on a disk file of this size.
    void Reset(int64_t diskSize);
    // Starts over on a disk file whose size is learnt at the first use (a bracket
    // that writes nothing to the file never asks the system for it).
    void Forget();
    bool Known() const { return FKnown; }
    bool Empty() const { return !FKnown || (!FCut && FExtents.empty() && FDeferred.empty() && FSize == FDiskSize); }

    void Write(int64_t offset, const void* buffer, int32_t count);
    // Writes count bytes at offset that the source holds (those among the leading
    // bytes are read from it at once and held back); false (nothing done) without a
    // source or when it fails those. The source must hold them until the capture is
    // reset; the last source given serves every deferred write.
    bool Defer(int64_t offset, int64_t count, const TSourceRead& source);
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
    // The deferred writes by offset, their lengths; none reaches into the leading
    // bytes and none touches another. Held-back bytes lie on top of them.
    const std::map<int64_t, int64_t>& Deferred() const { return FDeferred; }
    // Reads bytes of a deferred write from its source.
    bool ReadDeferred(int64_t offset, uint8_t* buffer, int32_t count) const;
    // Hands where held-back and deferred writes lie below `below`, in file order,
    // those that touch or overlap joined into one run.
    void ForEachWritten(int64_t below, const std::function<void(int64_t offset, int64_t length)>& take) const;

    // A flush of the file to the disk was asked for.
    bool SyncWanted = false;

private:
    bool FKnown = false;
    int64_t FDiskSize = 0;
    int64_t FSize = 0;
    int64_t FKept = 0;
    bool FCut = false;
    std::map<int64_t, std::vector<uint8_t>> FExtents;
    std::map<int64_t, int64_t> FDeferred;
    TSourceRead FSource;

    // Drops the held-back bytes of [from, to), splitting an extent that spans it.
    void Uncover(int64_t from, int64_t to);
};

}  // namespace kura

#include "engine/files/Journal.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <thread>

#include <zlib.h>

#include "engine/errors/EngineErrors.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;

namespace {

constexpr char kMagic[8] = {'K', 'U', 'R', 'A', '-', 'J', 'N', 'L'};
// Journals of earlier programs: entries of the changed files only, without states.
constexpr uint32_t kFirstFormat = 1;
constexpr int32_t kFirstEntrySize = 28;
constexpr int32_t kEntrySize = 46;
// Entry flag: the flush writes the file.
constexpr uint8_t kWritten = 1;
// Leading bytes of each file kept before and after the flush: the headers, with
// their change counters and (data file) the time of the last header write, which
// tell one table's files from another's.
constexpr int64_t kImageBytes = 128;
// Copies of journals the files did not fit: NAME.JNL.1 up to this.
constexpr int32_t kAsideNames = 999;
constexpr int32_t kRangeHeadSize = 12;
// Longest single transfer of journal, range or extent bytes.
constexpr int64_t kPiece = 1 << 22;
// No table file grows beyond this; a journal naming a longer one is not ours.
constexpr int64_t kLengthLimit = int64_t{1} << 33;
// Unchanged bytes that still join two changed spans into one saved range.
constexpr int64_t kSpanGap = 32;

// Byte access to one table file, through the registry's file object or an OS
// handle of the journal's own; every call answers success.
struct TFileAccess {
    std::function<bool(int64_t, const uint8_t*, int64_t)> Write;
    std::function<bool(int64_t, uint8_t*, int64_t)> Read;  // exactly that many bytes
    std::function<bool(int64_t)> Cut;
    std::function<int64_t()> Size;
    std::function<bool()> Sync;
};

TFileAccess RegistryAccess(TFileHandler& handler) {
    TAbstractFile* file = handler.File;
    const int32_t id = handler.Handle;
    struct Section {
        TAbstractFile* f;
        explicit Section(TAbstractFile* file) : f(file) { f->EnterSection(); }
        ~Section() { f->LeaveSection(); }
    };
    TFileAccess a;
    a.Write = [file, id](int64_t at, const uint8_t* bytes, int64_t count) {
        Section s(file);
        for (int64_t done = 0; done < count;) {
            const auto piece = static_cast<int32_t>(std::min(kPiece, count - done));
            if (file->Seek(id, soFromBeginning, at + done) != at + done) return false;
            if (file->Write(id, bytes + done, piece) != piece) return false;
            done += piece;
        }
        return true;
    };
    a.Read = [file, id](int64_t at, uint8_t* bytes, int64_t count) {
        Section s(file);
        for (int64_t done = 0; done < count;) {
            const auto piece = static_cast<int32_t>(std::min(kPiece, count - done));
            if (file->Seek(id, soFromBeginning, at + done) != at + done) return false;
            if (file->Read(id, bytes + done, piece) != piece) return false;
            done += piece;
        }
        return true;
    };
    a.Cut = [file, id](int64_t at) {
        Section s(file);
        return file->Seek(id, soFromBeginning, at) == at && file->Write(id, nullptr, 0) == 0;
    };
    a.Size = [file] { return file->GetSize(); };
    a.Sync = [file] { return file->Flush(); };
    return a;
}

TFileAccess OSAccess(TOSHandle handle) {
    TFileAccess a;
    a.Write = [handle](int64_t at, const uint8_t* bytes, int64_t count) {
        for (int64_t done = 0; done < count;) {
            const auto piece = static_cast<int32_t>(std::min(kPiece, count - done));
            if (OSFileSeek(handle, soFromBeginning, at + done) != at + done) return false;
            if (OSFileWrite(handle, bytes + done, piece) != piece) return false;
            done += piece;
        }
        return true;
    };
    a.Read = [handle](int64_t at, uint8_t* bytes, int64_t count) {
        for (int64_t done = 0; done < count;) {
            const auto piece = static_cast<int32_t>(std::min(kPiece, count - done));
            if (OSFileSeek(handle, soFromBeginning, at + done) != at + done) return false;
            if (OSFileRead(handle, bytes + done, piece) != piece) return false;
            done += piece;
        }
        return true;
    };
    a.Cut = [handle](int64_t at) { return OSFileSeek(handle, soFromBeginning, at) == at && OSTruncateFile(handle); };
    a.Size = [handle] { return OSFileSeek(handle, soFromEnd, 0); };
    a.Sync = [handle] { return OSFlushFileData(handle); };
    return a;
}

// One file's part of a journal, its ranges and images pointing into the payload.
struct TEntry {
    uint8_t File = 0;
    uint8_t Flags = kWritten;
    int64_t OldLength = 0;
    uint32_t CounterOffset = 0;
    uint32_t CounterMask = 0;
    uint32_t NewCounter = 0;
    int64_t NewLength = -1;  // -1: a first-format entry, which knows no more
    int64_t LowLength = 0;
    std::size_t ImageAt = 0;  // the image before, then the image after
    uint16_t ImageLength = 0;
    struct Range {
        int64_t Offset;
        std::size_t At;  // in the payload
        uint32_t Length;
    };
    std::vector<Range> Ranges;
};

// The entries of a payload; false when it does not hold together.
bool ParsePayload(const std::vector<uint8_t>& payload, uint32_t count, uint32_t format,
                  std::vector<TEntry>& entries) {
    const std::size_t head = format == kFirstFormat ? kFirstEntrySize : kEntrySize;
    std::size_t at = 0;
    unsigned seen = 0;
    auto room = [&](std::size_t n) { return payload.size() - at >= n; };
    for (uint32_t i = 0; i < count; ++i) {
        if (!room(head)) return false;
        TEntry e;
        e.File = payload[at];
        e.OldLength = static_cast<int64_t>(GetU64(&payload[at + 4]));
        e.CounterOffset = GetU32(&payload[at + 12]);
        e.CounterMask = GetU32(&payload[at + 16]);
        e.NewCounter = GetU32(&payload[at + 20]);
        const uint32_t ranges = GetU32(&payload[at + 24]);
        if (format != kFirstFormat) {
            e.Flags = payload[at + 1];
            e.NewLength = static_cast<int64_t>(GetU64(&payload[at + 28]));
            e.LowLength = static_cast<int64_t>(GetU64(&payload[at + 36]));
            e.ImageLength = GetU16(&payload[at + 44]);
        }
        at += head;
        if (e.File >= JOURNAL_FILES || (seen & (1u << e.File)) != 0 || e.OldLength < 0 ||
            e.OldLength > kLengthLimit)
            return false;
        seen |= 1u << e.File;
        if (format != kFirstFormat) {
            // Every state the writes pass through is at least as long as the image.
            if (e.NewLength < 0 || e.NewLength > kLengthLimit || e.LowLength < e.ImageLength ||
                e.LowLength > std::min(e.OldLength, e.NewLength) || e.ImageLength > kImageBytes ||
                (e.Flags & ~kWritten) != 0 || !room(2u * e.ImageLength))
                return false;
            // A file the flush does not write is bound to its state alone.
            if ((e.Flags & kWritten) == 0 && (ranges != 0 || e.OldLength != e.NewLength ||
                                               e.LowLength != e.OldLength))
                return false;
            e.ImageAt = at;
            at += 2u * e.ImageLength;
        }
        for (uint32_t r = 0; r < ranges; ++r) {
            if (!room(kRangeHeadSize)) return false;
            const auto offset = static_cast<int64_t>(GetU64(&payload[at]));
            const uint32_t length = GetU32(&payload[at + 8]);
            at += kRangeHeadSize;
            // Saved bytes always lie within the file's old length.
            if (offset < 0 || offset > e.OldLength - static_cast<int64_t>(length) || !room(length)) return false;
            e.Ranges.push_back({offset, at, length});
            at += length;
        }
        entries.push_back(std::move(e));
    }
    return at == payload.size();
}

// Whether a file is at the state the journal's flush took it from or left it in,
// or at one a writer that died in its writes leaves between the two: its length
// within the lengths the writes pass through, and each leading byte as it was
// before or after (a torn write mixes the two). A first-format entry knows only
// the change counter the flush writes and the old bytes it saved.
bool FileFits(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file) {
    const int64_t size = file.Size();
    if (size < 0) return false;
    if (e.NewLength >= 0) {
        if (size < e.LowLength || size > std::max(e.OldLength, e.NewLength)) return false;
        std::vector<uint8_t> now(e.ImageLength);
        if (!now.empty() && !file.Read(0, now.data(), e.ImageLength)) return false;
        const uint8_t* before = payload.data() + e.ImageAt;
        const uint8_t* after = before + e.ImageLength;
        for (std::size_t k = 0; k < now.size(); ++k)
            if (now[k] != before[k] && now[k] != after[k]) return false;
        return true;
    }
    const int64_t counterEnd = static_cast<int64_t>(e.CounterOffset) + 4;
    if (e.OldLength < counterEnd) return true;
    uint8_t now[4];
    uint8_t after[4];
    if (size < counterEnd || !file.Read(e.CounterOffset, now, 4)) return false;
    PutU32(after, e.NewCounter ^ e.CounterMask);
    for (int k = 0; k < 4; ++k) {
        if (now[k] == after[k]) continue;
        const int64_t at = e.CounterOffset + k;
        bool before = false;
        for (const TEntry::Range& r : e.Ranges)
            if (at >= r.Offset && at < r.Offset + r.Length) before = payload[r.At + (at - r.Offset)] == now[k];
        if (!before) return false;
    }
    return true;
}

// Puts the saved bytes back and the old length; with bumpCounter the change
// counter then moves past both the old value and the one the flush wrote.
bool RollBack(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file, bool bumpCounter) {
    for (const TEntry::Range& r : e.Ranges)
        if (!file.Write(r.Offset, payload.data() + r.At, r.Length)) return false;
    if (file.Size() != e.OldLength && !file.Cut(e.OldLength)) return false;
    if (bumpCounter && e.OldLength >= static_cast<int64_t>(e.CounterOffset) + 4) {
        uint8_t raw[4];
        if (!file.Read(e.CounterOffset, raw, 4)) return false;
        const uint32_t old = GetU32(raw) ^ e.CounterMask;
        uint32_t next = e.NewCounter + 1;
        if (next == old) ++next;
        PutU32(raw, next ^ e.CounterMask);
        if (!file.Write(e.CounterOffset, raw, 4)) return false;
    }
    return true;
}

// Writes one file's held-back bytes in place.
bool WriteInPlace(const TWriteCapture& capture, const TFileAccess& file) {
    int64_t size = capture.DiskSize();
    if (capture.KeptDiskBytes() < size) {
        if (!file.Cut(capture.KeptDiskBytes())) return false;
        size = capture.KeptDiskBytes();
    }
    for (const auto& [offset, bytes] : capture.Extents()) {
        if (!file.Write(offset, bytes.data(), static_cast<int64_t>(bytes.size()))) return false;
        size = std::max(size, offset + static_cast<int64_t>(bytes.size()));
    }
    return size == capture.Size() || file.Cut(capture.Size());
}

void Append(std::vector<uint8_t>& out, const void* bytes, std::size_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    out.insert(out.end(), p, p + size);
}

void AppendU32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    PutU32(b, v);
    Append(out, b, 4);
}

void AppendU64(std::vector<uint8_t>& out, uint64_t v) {
    uint8_t b[8];
    PutU64(b, v);
    Append(out, b, 8);
}

void SleepMs(uint32_t ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

uint32_t JournalChecksum(const uint8_t* bytes, std::size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        const auto piece = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
        crc = crc32(crc, bytes, piece);
        bytes += piece;
        size -= piece;
    }
    return static_cast<uint32_t>(crc);
}

TTableJournal::~TTableJournal() { Close(); }

bool TTableJournal::Open(const std::string& name, const std::array<std::string, JOURNAL_FILES>& fileNames) {
    Close();
    const bool created = !DiskFileExists(name);
    const TOSHandle handle = OSOpenSideFile(name);
    if (handle == OS_INVALID_HANDLE) return false;
    // A journal that vanished with a power cut could not roll anything back, so
    // its folder entry is made durable before the first flush can rely on it.
    if (created) OSSyncFolderOf(name);
    FHandle = handle;
    FWrittenBytes = -1;  // whatever an earlier program left
    FName = name;
    FFileNames = fileNames;
    return true;
}

void TTableJournal::Close() {
    Detach();
    FDepth = 0;
    Release();
    if (FHandle > 0) OSCloseFile(FHandle);
    FHandle = 0;
    FSynced = {};
}

// A header whose own checksum holds, of any format: a journal of another format
// is not ignored, or the files it should restore would stay half written.
bool TTableJournal::ReadHeader(uint8_t* header) {
    if (OSFileSeek(FHandle, soFromBeginning, 0) != 0) return false;
    if (OSFileRead(FHandle, header, JOURNAL_HEADER_SIZE) != JOURNAL_HEADER_SIZE) return false;
    return std::memcmp(header, kMagic, sizeof kMagic) == 0 &&
           GetU32(header + 12) == static_cast<uint32_t>(JOURNAL_HEADER_SIZE) &&
           GetU32(header + 60) == JournalChecksum(header, 60);
}

bool TTableJournal::IsHot() {
    uint8_t header[JOURNAL_HEADER_SIZE];
    return IsOpen() && ReadHeader(header);
}

bool TTableJournal::Invalidate(bool sync) {
    const uint8_t zero[JOURNAL_HEADER_SIZE] = {};
    const TFileAccess journal = OSAccess(FHandle);
    if (FWrittenBytes < 0 || FWrittenBytes > JOURNAL_KEEP_SIZE) {
        if (journal.Cut(0)) FWrittenBytes = 0;
    }
    bool done = journal.Write(0, zero, JOURNAL_HEADER_SIZE);
    // A header that cannot be overwritten can still be cut away.
    if (!done && journal.Cut(0)) {
        FWrittenBytes = 0;
        done = true;
    }
    if (done) FWrittenBytes = std::max<int64_t>(FWrittenBytes, JOURNAL_HEADER_SIZE);
    return done && (!sync || journal.Sync());
}

void TTableJournal::Reset() {
    if (!IsOpen()) return;
    if (OSAccess(FHandle).Cut(0)) FWrittenBytes = 0;
}

bool TTableJournal::Lock() {
    if (FHeld) return false;
    for (int32_t attempt = 1; !OSLockFile(FHandle, JOURNAL_WRITER_LOCK_OFFSET, 1); ++attempt) {
        if (attempt >= JOURNAL_LOCK_ATTEMPTS) RaiseEngineError(KURA_LOCKTIMEOUT, {}, {}, {}, FName);
        SleepMs(JOURNAL_LOCK_SLEEP_MS);
    }
    return true;
}

void TTableJournal::Unlock() { OSUnlockFile(FHandle, JOURNAL_WRITER_LOCK_OFFSET, 1); }

bool TTableJournal::Recover() {
    if (!IsOpen()) return false;
    if (FHeld) return RecoverLocked();
    for (int32_t attempt = 1; attempt <= JOURNAL_LOCK_ATTEMPTS; ++attempt) {
        if (!IsHot()) return false;
        if (!OSLockFile(FHandle, JOURNAL_WRITER_LOCK_OFFSET, 1)) {
            // A live writer is inside its flush: it ends it or dies.
            SleepMs(JOURNAL_LOCK_SLEEP_MS);
            continue;
        }
        struct Unlocker {
            TTableJournal* j;
            ~Unlocker() { j->Unlock(); }
        } unlock{this};
        return RecoverLocked();
    }
    RaiseEngineError(KURA_LOCKTIMEOUT, {}, {}, {}, FName);
}

void TTableJournal::Hold() {
    if (!IsOpen() || !Lock()) return;
    FHeld = true;
    try {
        RecoverLocked();
    } catch (...) {
        Release();
        throw;
    }
}

void TTableJournal::Release() {
    if (!FHeld) return;
    FHeld = false;
    Unlock();
}

std::string TTableJournal::SetAside(const uint8_t* bytes, std::size_t size) {
    for (int32_t n = 1; n <= kAsideNames; ++n) {
        const std::string name = FName + "." + std::to_string(n);
        if (DiskFileExists(name)) continue;
        // Only a program holding the writer lock sets a journal aside: no other
        // takes the name meanwhile.
        const TOSHandle h = OSCreateFile(name, false);
        if (h == OS_INVALID_HANDLE) return {};
        const TFileAccess copy = OSAccess(h);
        const bool ok = copy.Write(0, bytes, static_cast<int64_t>(size)) && copy.Sync();
        OSCloseFile(h);
        if (!ok || !OSSyncFolderOf(name)) {
            OSDeleteFile(name);
            return {};
        }
        return name;
    }
    return {};
}

bool TTableJournal::RecoverLocked() {
    uint8_t header[JOURNAL_HEADER_SIZE];
    if (!ReadHeader(header)) return false;
    const TFileAccess journal = OSAccess(FHandle);
    const uint32_t format = GetU32(header + 8);
    const uint64_t length = GetU64(header + 16);
    const int64_t size = journal.Size();
    std::vector<uint8_t> bytes;
    bool whole = size >= JOURNAL_HEADER_SIZE && length <= static_cast<uint64_t>(size - JOURNAL_HEADER_SIZE);
    if (whole) {
        bytes.resize(JOURNAL_HEADER_SIZE + length);
        std::memcpy(bytes.data(), header, JOURNAL_HEADER_SIZE);
        whole = journal.Read(JOURNAL_HEADER_SIZE, bytes.data() + JOURNAL_HEADER_SIZE, static_cast<int64_t>(length)) &&
                JournalChecksum(bytes.data() + JOURNAL_HEADER_SIZE, length) == GetU32(header + 24);
    }
    if (!whole) {
        // Torn while it was written: nothing in place had changed yet.
        Invalidate(true);
        return false;
    }
    const std::vector<uint8_t> payload(bytes.begin() + JOURNAL_HEADER_SIZE, bytes.end());
    std::vector<TEntry> entries;
    const bool known = format == kFirstFormat || format == JOURNAL_FORMAT;
    if (known && !ParsePayload(payload, GetU32(header + 28), format, entries)) {
        // Its checksums hold but its entries do not: not a journal of ours.
        Invalidate(true);
        return false;
    }

    struct Files {
        std::array<TOSHandle, JOURNAL_FILES> h;
        Files() { h.fill(OS_INVALID_HANDLE); }
        ~Files() {
            for (TOSHandle x : h)
                if (x != OS_INVALID_HANDLE) OSCloseFile(x);
        }
    } files;
    // A journal of another format cannot be checked against the files, nor played
    // back: it is kept for the program that wrote it.
    bool fits = known;
    for (const TEntry& e : entries) {
        if (!fits) break;
        const std::string& name = FFileNames[e.File];
        if (!DiskFileExists(name)) {
            fits = false;
            break;
        }
        files.h[e.File] = OSOpenFile(name, fmOpenReadWrite | fmShareDenyNone, false);
        if (files.h[e.File] == OS_INVALID_HANDLE) RaiseEngineError(OSErrorToEngineError(), {}, {}, {}, name);
        fits = FileFits(e, payload, OSAccess(files.h[e.File]));
    }
    if (!fits) {
        // Played back onto files it does not belong to, it would damage them: they
        // stay as they are, and the journal is kept aside for whoever looks into it.
        const std::string aside = SetAside(bytes.data(), bytes.size());
        if (aside.empty()) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FName);
        Invalidate(true);
        RaiseEngineError(KURA_FOREIGNJOURNAL, {}, {}, {}, FFileNames[0], {}, {}, ExtractFileName(aside));
    }
    for (const TEntry& e : entries) {
        if ((e.Flags & kWritten) == 0) continue;
        const TFileAccess file = OSAccess(files.h[e.File]);
        if (!RollBack(e, payload, file, true) || !file.Sync())
            RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FFileNames[e.File]);
    }
    Invalidate(true);
    FSynced = {};
    return true;
}

// ---- Holding back a flush -------------------------------------------------------

void TTableJournal::Begin(const TJournalHandlers& handlers) {
    if (!IsOpen() || FDepth++ > 0) return;
    FHandlers = {};
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        TFileHandler* h = handlers[i];
        if (!h || !h->IsOpen || !h->File || h->IsMemory || h->Capture) continue;
        FCaptures[i].Forget();
        h->Capture = &FCaptures[i];
        FHandlers[i] = h;
    }
}

bool TTableJournal::End() {
    if (FDepth == 0) return false;
    return --FDepth == 0;
}

bool TTableJournal::HasPending() const {
    for (int i = 0; i < JOURNAL_FILES; ++i)
        if (FHandlers[i] && !FCaptures[i].Empty()) return true;
    return false;
}

void TTableJournal::Detach() {
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (FHandlers[i] && FHandlers[i]->Capture == &FCaptures[i]) FHandlers[i]->Capture = nullptr;
        FHandlers[i] = nullptr;
        FCaptures[i].Forget();
    }
}

// Starts holding back anew from the files as they are, or lets go when no
// bracket is open any more.
void TTableJournal::Restart() {
    if (FDepth == 0) {
        Detach();
        return;
    }
    for (auto& capture : FCaptures) capture.Forget();
}

void TTableJournal::Discard() { Restart(); }

void TTableJournal::Apply(const TJournalTargets& targets, bool hard) {
    if (!HasPending()) {
        Restart();
        return;
    }
    struct Restarter {
        TTableJournal* j;
        ~Restarter() { j->Restart(); }
    } restart{this};

    // The journal: the state of every open file, and what every held-back write and
    // cut will overwrite.
    std::size_t bytes = JOURNAL_HEADER_SIZE;
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (!FHandlers[i]) continue;
        bytes += kEntrySize + 2 * kImageBytes;
        if (FCaptures[i].Empty()) continue;
        const TWriteCapture& c = FCaptures[i];
        const int64_t kept = c.KeptDiskBytes();
        for (const auto& [offset, extent] : c.Extents()) {
            if (offset >= kept) break;
            const int64_t length = std::min<int64_t>(offset + static_cast<int64_t>(extent.size()), kept) - offset;
            bytes += static_cast<std::size_t>(length + (length / kPiece + 1) * kRangeHeadSize);
        }
        const int64_t cut = c.DiskSize() - kept;
        if (cut > 0) bytes += static_cast<std::size_t>(cut + (cut / kPiece + 1) * kRangeHeadSize);
    }
    std::vector<uint8_t> journal;
    journal.reserve(bytes);
    journal.resize(JOURNAL_HEADER_SIZE, 0);
    std::array<TFileAccess, JOURNAL_FILES> files;
    // Where each file's images lie in the journal, and their length.
    std::array<std::size_t, JOURNAL_FILES> imageAt{};
    std::array<int64_t, JOURNAL_FILES> imageLength{};
    std::vector<uint8_t> old;
    uint32_t entries = 0;
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (!FHandlers[i]) continue;
        const TWriteCapture& c = FCaptures[i];
        const bool written = !c.Empty();
        if (written) hard = hard || c.SyncWanted;
        files[i] = RegistryAccess(*FHandlers[i]);
        auto readError = [&] { RaiseEngineError(KURA_READERR, {}, {}, {}, FHandlers[i]->FileName); };
        const int64_t oldLength = written ? c.DiskSize() : files[i].Size();
        const int64_t newLength = written ? c.Size() : oldLength;
        const int64_t lowLength = written ? std::min(c.KeptDiskBytes(), newLength) : oldLength;
        if (oldLength < 0) readError();
        // The leading bytes: a write that starts the file gives them before (its
        // old bytes, read below) and after; otherwise they stay as they are.
        const auto first = written ? c.Extents().begin() : c.Extents().end();
        const bool leading = written && first != c.Extents().end() && first->first == 0;
        int64_t length = std::min(kImageBytes, lowLength);
        if (leading) length = std::min<int64_t>(length, static_cast<int64_t>(first->second.size()));
        // Otherwise the image stops where the first write starts, so that its "after"
        // copy of the "before" bytes stays true.
        else if (written && first != c.Extents().end()) length = std::min<int64_t>(length, first->first);
        imageLength[i] = length;
        ++entries;
        journal.push_back(static_cast<uint8_t>(i));
        journal.push_back(written ? kWritten : 0);
        journal.insert(journal.end(), 2, 0);
        AppendU64(journal, static_cast<uint64_t>(oldLength));
        AppendU32(journal, 0);
        AppendU32(journal, targets[i].CounterMask);
        AppendU32(journal, targets[i].NewCounter);
        const std::size_t countAt = journal.size();
        AppendU32(journal, 0);
        AppendU64(journal, static_cast<uint64_t>(newLength));
        AppendU64(journal, static_cast<uint64_t>(lowLength));
        uint8_t l[2];
        PutU16(l, static_cast<uint16_t>(length));
        Append(journal, l, 2);
        imageAt[i] = journal.size();
        journal.resize(journal.size() + 2 * static_cast<std::size_t>(length));
        uint8_t* image = journal.data() + imageAt[i];
        if (leading) {
            std::memcpy(image + length, first->second.data(), static_cast<std::size_t>(length));
        } else {
            if (length > 0 && !files[i].Read(0, image, length)) readError();
            std::memcpy(image + length, image, static_cast<std::size_t>(length));
        }
        if (!written) continue;
        uint32_t ranges = 0;
        auto save = [&](int64_t from, int64_t to) {
            for (; from < to; from += kPiece) {
                const auto span = static_cast<uint32_t>(std::min(kPiece, to - from));
                AppendU64(journal, static_cast<uint64_t>(from));
                AppendU32(journal, span);
                const std::size_t at = journal.size();
                journal.resize(at + span);
                if (!files[i].Read(from, journal.data() + at, span)) readError();
                ++ranges;
            }
        };
        // Of a held-back write only the spans that change a byte: a header page
        // rewritten for a counter costs its counter, not the page.
        auto saveChanges = [&](int64_t from, const uint8_t* now, int64_t count) {
            old.resize(static_cast<std::size_t>(count));
            if (!files[i].Read(from, old.data(), count)) readError();
            if (from == 0 && leading)
                std::memcpy(journal.data() + imageAt[i], old.data(), static_cast<std::size_t>(length));
            const uint8_t* was = old.data();
            // The first byte from at on that the write changes; count when none.
            auto firstChange = [&](int64_t at) {
                for (uint64_t a = 0, b = 0; at + 8 <= count; at += 8) {
                    std::memcpy(&a, was + at, 8);
                    std::memcpy(&b, now + at, 8);
                    if (a != b) break;
                }
                while (at < count && was[at] == now[at]) ++at;
                return at;
            };
            for (int64_t at = firstChange(0); at < count;) {
                const int64_t start = at;
                int64_t end = at;  // one past the last changed byte of the span
                for (;;) {
                    while (end < count && was[end] != now[end]) ++end;
                    at = firstChange(end);
                    if (at >= count || at - end > kSpanGap) break;
                    end = at;
                }
                const auto span = static_cast<uint32_t>(end - start);
                AppendU64(journal, static_cast<uint64_t>(from + start));
                AppendU32(journal, span);
                Append(journal, was + start, span);
                ++ranges;
            }
        };
        const int64_t kept = c.KeptDiskBytes();
        for (const auto& [offset, extent] : c.Extents()) {
            if (offset >= kept) break;
            const int64_t end = std::min<int64_t>(offset + static_cast<int64_t>(extent.size()), kept);
            for (int64_t from = offset; from < end; from += kPiece)
                saveChanges(from, extent.data() + (from - offset), std::min(kPiece, end - from));
        }
        save(kept, c.DiskSize());
        PutU32(journal.data() + countAt, ranges);
    }
    uint8_t* header = journal.data();
    std::memcpy(header, kMagic, sizeof kMagic);
    PutU32(header + 8, JOURNAL_FORMAT);
    PutU32(header + 12, JOURNAL_HEADER_SIZE);
    PutU64(header + 16, journal.size() - JOURNAL_HEADER_SIZE);
    PutU32(header + 24, JournalChecksum(header + JOURNAL_HEADER_SIZE, journal.size() - JOURNAL_HEADER_SIZE));
    PutU32(header + 28, entries);
    PutU64(header + 32, ++FSequence);
    PutU32(header + 60, JournalChecksum(header, 60));
    // The change counter (as stored) a file's leading bytes hold; false when they
    // are too short to hold it.
    auto counterIn = [&](int i, bool after, uint32_t& counter) {
        if (imageLength[i] < 4) return false;
        counter = GetU32(journal.data() + imageAt[i] + (after ? imageLength[i] : 0));
        return true;
    };

    // Another table of this program may be rolling the files back: wait for it.
    const bool locked = Lock();
    struct Unlocker {
        TTableJournal* j;
        bool locked;
        ~Unlocker() {
            if (locked) j->Unlock();
        }
    } unlock{this, locked};

    const TFileAccess journalFile = OSAccess(FHandle);
    if (hard) {
        // The state the journal restores must be the one on the disk: writes that
        // reached a file without a sync since (an earlier flush of this program or of
        // another) would otherwise be lost in part, beside a journal that restores
        // the spans around them.
        for (int i = 0; i < JOURNAL_FILES; ++i) {
            if (!FHandlers[i]) continue;
            uint32_t counter = 0;
            const bool known = counterIn(i, false, counter);
            if (known && FSynced[i] && FSyncedCounter[i] == counter) continue;
            FSynced[i] = false;
            if (!files[i].Sync()) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FHandlers[i]->FileName);
            FSynced[i] = known;
            FSyncedCounter[i] = counter;
        }
    }
    FWrittenBytes = std::max(FWrittenBytes, static_cast<int64_t>(journal.size()));
    if (!journalFile.Write(0, journal.data(), static_cast<int64_t>(journal.size())) || (hard && !journalFile.Sync())) {
        Invalidate(false);
        RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FName);
    }
    bool ok = true;
    std::string failed;
    for (int i = 0; i < JOURNAL_FILES && ok; ++i) {
        if (!FHandlers[i] || FCaptures[i].Empty()) continue;
        FSynced[i] = false;
        ok = WriteInPlace(FCaptures[i], files[i]) && (!hard || files[i].Sync());
        if (!ok) failed = FHandlers[i]->FileName;
        if (ok && hard) FSynced[i] = counterIn(i, true, FSyncedCounter[i]);
    }
    // A journal left valid behind a flush reported done would be played back by
    // the next program, undoing it: then the flush is undone here and fails. After a
    // hard flush the invalidation is synced as well, or a power cut could bring the
    // journal back and with it the flush undone.
    if (ok && !Invalidate(hard)) {
        ok = false;
        failed = FName;
    }
    if (!ok) {
        // Back to the state before the flush, from the journal just written.
        std::vector<uint8_t> payload(journal.begin() + JOURNAL_HEADER_SIZE, journal.end());
        std::vector<TEntry> parsed;
        bool restored = ParsePayload(payload, entries, JOURNAL_FORMAT, parsed);
        for (const TEntry& e : parsed) {
            if ((e.Flags & kWritten) == 0) continue;
            FSynced[e.File] = false;
            restored = restored && RollBack(e, payload, files[e.File], false);
        }
        // A journal that could not be played back stays for the next program; one
        // that was, and stays all the same, only writes the same bytes again.
        if (restored) Invalidate(hard);
        RaiseEngineError(KURA_WRITEERR, {}, {}, {}, failed);
    }
}

}  // namespace kura

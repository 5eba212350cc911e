#include "engine/files/Journal.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <random>

#include <zlib.h>

#include "engine/errors/EngineErrors.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/JournalFormat.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;
using namespace jnl;

namespace {

// Unchanged bytes that still join two changed spans into one saved range.
constexpr int64_t kSpanGap = 32;
// The bytes of a deferred write taken from their source at a time.
constexpr int64_t kDeferredPiece = 1 << 20;

// Writes one file's held-back bytes in place.
bool WriteCaptured(const TWriteCapture& capture, const TFileAccess& file) {
    int64_t size = capture.DiskSize();
    if (capture.KeptDiskBytes() < size) {
        if (!file.Cut(capture.KeptDiskBytes())) return false;
        size = capture.KeptDiskBytes();
    }
    // The deferred writes (appended bytes, in file order) first: the held-back
    // bytes lie on top of them.
    std::vector<uint8_t> piece;
    for (const auto& [offset, length] : capture.Deferred()) {
        for (int64_t at = offset; at < offset + length; at += kDeferredPiece) {
            const auto n = static_cast<int32_t>(std::min(kDeferredPiece, offset + length - at));
            piece.resize(static_cast<std::size_t>(n));
            if (!capture.ReadDeferred(at, piece.data(), n) || !file.Write(at, piece.data(), n)) return false;
        }
        size = std::max(size, offset + length);
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

// An id no other commit of any program takes: the clock, a count of this
// process's commits, an address and the system's randomness, mixed.
uint64_t NewCommitId() {
    static std::atomic<uint64_t> count{0};
    uint64_t x = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    x ^= (count.fetch_add(1) + 1) * 0x9E3779B97F4A7C15ULL;
    x ^= reinterpret_cast<std::uintptr_t>(&count) << 17;
    try {
        std::random_device device;
        x ^= (static_cast<uint64_t>(device()) << 32) ^ device();
    } catch (...) {
    }
    // splitmix64's finaliser.
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    x ^= x >> 31;
    return x != 0 ? x : 1;
}

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

bool TTableJournal::Open(const std::string& name, const TJournalFileNames& fileNames) {
    Close();
    FName = name;
    FFileNames = fileNames;
    FWrittenBytes = -1;  // whatever an earlier program left
    const bool created = !DiskFileExists(name);
    TOSHandle handle = OSOpenSideFile(name);
    if (handle != OS_INVALID_HANDLE) {
        // A journal that vanished with a power cut could not roll anything back, so
        // its folder entry is made durable before the first flush can rely on it.
        if (created) OSSyncFolderOf(name);
        FHandle = handle;
        FWritable = true;
        return true;
    }
    // Without a journal no flush is safe: they are refused. One that is there is
    // still read, so that a flush it holds is never taken for the table's state.
    FRefused = true;
    if (!created) {
        handle = OSOpenFile(name, fmOpenRead | fmShareDenyNone, false);
        if (handle != OS_INVALID_HANDLE) FHandle = handle;
    }
    return false;
}

void TTableJournal::Close() {
    Detach();
    FDepth = 0;
    Unstage();
    Release();
    if (FHandle > 0) OSCloseFile(FHandle);
    FHandle = 0;
    FWritable = false;
    FRefused = false;
    FSynced = {};
    FLeftAlone.clear();
}

bool TTableJournal::IsHot() {
    uint8_t header[JOURNAL_HEADER_SIZE];
    return FHandle > 0 && ReadHeader(header);
}

bool TTableJournal::Invalidate(bool sync) {
    const uint8_t zero[JOURNAL_HEADER_SIZE] = {};
    const TFileAccess journal = OSAccess(FHandle);
    bool done = false;
    // A journal that ends in a copy of its header is cut away whole: the copy left
    // behind would bring it back.
    if (FWrittenBytes < 0 || FWrittenBytes > JOURNAL_KEEP_SIZE || FTrailerAt >= 0) {
        if (journal.Cut(0)) {
            FWrittenBytes = 0;
            FTrailerAt = -1;
            done = true;
        }
    }
    if (!done) {
        done = journal.Write(0, zero, JOURNAL_HEADER_SIZE) &&
               (FTrailerAt < 0 || journal.Write(FTrailerAt, zero, JOURNAL_HEADER_SIZE));
        // A header that cannot be overwritten can still be cut away.
        if (!done && journal.Cut(0)) {
            FWrittenBytes = 0;
            done = true;
        }
        if (done) {
            FTrailerAt = -1;
            FWrittenBytes = std::max<int64_t>(FWrittenBytes, JOURNAL_HEADER_SIZE);
        }
    }
    return done && (!sync || journal.Sync());
}

void TTableJournal::Reset() {
    if (!IsOpen()) return;
    if (OSAccess(FHandle).Cut(0)) {
        FWrittenBytes = 0;
        FTrailerAt = -1;
    }
}

void TTableJournal::SettleJournal(const std::string& name, const TJournalFileNames& fileNames) {
    if (!DiskFileExists(name)) return;
    TTableJournal journal;
    journal.Open(name, fileNames);
    journal.Hold();
    journal.Close();
}

bool TTableJournal::Lock() {
    if (FHeld) return false;
    for (int32_t attempt = 1; !OSLockFile(FHandle, JOURNAL_WRITER_LOCK_OFFSET, 1); ++attempt) {
        if (attempt >= JOURNAL_LOCK_ATTEMPTS) RaiseEngineError(KURA_LOCKTIMEOUT, {}, {}, {}, FName);
        platform::Sleep(JOURNAL_LOCK_SLEEP_MS);
    }
    return true;
}

void TTableJournal::Unlock() { OSUnlockFile(FHandle, JOURNAL_WRITER_LOCK_OFFSET, 1); }

// ---- Holding back a flush -------------------------------------------------------

void TTableJournal::Begin(const TJournalHandlers& handlers) {
    if (!InUse() || FDepth++ > 0) return;
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

bool TTableJournal::SyncWanted() const {
    for (int i = 0; i < JOURNAL_FILES; ++i)
        if (FHandlers[i] && !FCaptures[i].Empty() && FCaptures[i].SyncWanted) return true;
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

void TTableJournal::RefuseUnjournalled() {
    if (IsOpen()) return;
    Restart();
    RaiseEngineError(KURA_OSEACCES, {}, {}, {}, TableNameOf(FFileNames[0]));
}

void TTableJournal::Apply(const TJournalTargets& targets, bool hard) {
    if (!HasPending()) {
        Restart();
        return;
    }
    RefuseUnjournalled();
    struct Restarter {
        TTableJournal* j;
        ~Restarter() { j->Restart(); }
    } restart{this};
    hard = hard || SyncWanted();
    try {
        Build(targets);
        Seal(0, {});
        Write(hard);
    } catch (...) {
        Unstage();
        throw;
    }
    try {
        WriteInPlace();
    } catch (...) {
        Undo(false);
        throw;
    }
    // A journal left valid behind a flush reported done would be played back by
    // the next program, undoing it: then the flush is undone here and fails. After a
    // hard flush the invalidation is synced as well, or a power cut could bring the
    // journal back and with it the flush undone.
    if (!Finish(hard)) {
        Undo(false);
        RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FName);
    }
}

void TTableJournal::Build(const TJournalTargets& targets) {
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
    std::array<std::size_t, JOURNAL_FILES>& imageAt = FImageAt;
    std::array<int64_t, JOURNAL_FILES>& imageLength = FImageLength;
    imageAt = {};
    imageLength = {};
    std::vector<uint8_t> old;
    uint32_t entries = 0;
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (!FHandlers[i]) continue;
        const TWriteCapture& c = FCaptures[i];
        const bool written = !c.Empty();
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
        FEntryAt[i] = journal.size();
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
    // The files' states, as a commit record gives them for every table it binds.
    FStates.assign(1, static_cast<uint8_t>(entries));
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (!FHandlers[i]) continue;
        const std::size_t head = FEntryAt[i];
        FStates.insert(FStates.end(), journal.begin() + static_cast<std::ptrdiff_t>(head),
                       journal.begin() + static_cast<std::ptrdiff_t>(head + kEntrySize));
        PutU32(&FStates[FStates.size() - kEntrySize + 24], 0);  // no saved ranges
        const auto images = static_cast<std::ptrdiff_t>(imageAt[i]);
        FStates.insert(FStates.end(), journal.begin() + images, journal.begin() + images + 2 * imageLength[i]);
    }
    FStaged = std::move(journal);
    FStagedEntries = entries;
    FStage = TStage::Built;
}

void TTableJournal::Seal(uint64_t commitId, const std::vector<uint8_t>& record) {
    Append(FStaged, record.data(), record.size());
    THeader h;
    h.Format = commitId != 0 ? JOURNAL_BOUND_FORMAT : JOURNAL_FORMAT;
    h.PayloadLength = FStaged.size() - JOURNAL_HEADER_SIZE;
    h.PayloadCrc = JournalChecksum(FStaged.data() + JOURNAL_HEADER_SIZE, FStaged.size() - JOURNAL_HEADER_SIZE);
    h.Entries = FStagedEntries;
    h.Sequence = ++FSequence;
    h.CommitId = commitId;
    if (commitId != 0) {
        h.RecordLength = static_cast<uint32_t>(record.size());
        h.RecordCrc = JournalChecksum(record.data(), record.size());
    }
    PutHeader(FStaged.data(), h);
    // The journal of a commit over several tables ends in a copy of its header.
    if (commitId != 0) Append(FStaged, FStaged.data(), JOURNAL_HEADER_SIZE);
}

bool TTableJournal::StagedBound() const {
    return FStaged.size() >= static_cast<std::size_t>(JOURNAL_HEADER_SIZE) &&
           GetU32(FStaged.data() + 8) == JOURNAL_BOUND_FORMAT;
}

void TTableJournal::Write(bool hard) {
    FStagedHard = hard;
    const std::array<std::size_t, JOURNAL_FILES>& imageAt = FImageAt;
    const std::array<int64_t, JOURNAL_FILES>& imageLength = FImageLength;
    std::array<TFileAccess, JOURNAL_FILES> files;
    for (int i = 0; i < JOURNAL_FILES; ++i)
        if (FHandlers[i]) files[i] = RegistryAccess(*FHandlers[i]);
    // The change counter (as stored) a file's leading bytes hold; false when they
    // are too short to hold it.
    auto counterIn = [&](int i, bool after, uint32_t& counter) {
        if (imageLength[i] < 4) return false;
        counter = GetU32(FStaged.data() + imageAt[i] + (after ? imageLength[i] : 0));
        return true;
    };

    // Another table of this program may be rolling the files back: wait for it.
    FStagedLocked = Lock();
    FStage = TStage::Locked;
    try {
        const TFileAccess journalFile = OSAccess(FHandle);
        // A journal that still holds something (a commit whose other tables could
        // not be settled yet) is never written over: it may be their only record.
        uint8_t held[JOURNAL_HEADER_SIZE];
        if (ReadHeader(held)) RaiseEngineError(KURA_OSEACCES, {}, {}, {}, TableNameOf(FFileNames[0]));
        if (hard) {
            // The state the journal restores must be the one on the disk: writes that
            // reached a file without a sync since (an earlier flush of this program or
            // of another) would otherwise be lost in part, beside a journal that
            // restores the spans around them.
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
        const auto size = static_cast<int64_t>(FStaged.size());
        bool written = false;
        if (StagedBound()) {
            // The header last, once the rest is on the disk: a whole header then
            // vouches for the payload, and a payload that does not hold under one
            // was damaged later, not torn.
            FTrailerAt = size - JOURNAL_HEADER_SIZE;
            FWrittenBytes = std::max<int64_t>(FWrittenBytes, size);
            written = journalFile.Write(JOURNAL_HEADER_SIZE, FStaged.data() + JOURNAL_HEADER_SIZE,
                                        size - JOURNAL_HEADER_SIZE) &&
                      (journalFile.Size() == size || journalFile.Cut(size)) && (!hard || journalFile.Sync()) &&
                      journalFile.Write(0, FStaged.data(), JOURNAL_HEADER_SIZE);
            if (written) FWrittenBytes = size;
        } else {
            FWrittenBytes = std::max(FWrittenBytes, size);
            written = journalFile.Write(0, FStaged.data(), size);
        }
        if (!written || (hard && !journalFile.Sync())) {
            Invalidate(false);
            RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FName);
        }
    } catch (...) {
        Unstage();
        throw;
    }
    FStage = TStage::Journalled;
}

void TTableJournal::WriteInPlace() {
    FStage = TStage::Writing;
    for (int i = 0; i < JOURNAL_FILES; ++i) {
        if (!FHandlers[i] || FCaptures[i].Empty()) continue;
        FSynced[i] = false;
        const TFileAccess file = RegistryAccess(*FHandlers[i]);
        if (!WriteCaptured(FCaptures[i], file) || (FStagedHard && !file.Sync()))
            RaiseEngineError(KURA_WRITEERR, {}, {}, {}, FHandlers[i]->FileName);
        if (FStagedHard && FImageLength[i] >= 4) {
            FSynced[i] = true;
            FSyncedCounter[i] = GetU32(FStaged.data() + FImageAt[i] + FImageLength[i]);
        }
    }
}

bool TTableJournal::Decide(bool hard) {
    THeader h;
    if (!ParseHeader(FStaged.data(), h)) return false;
    h.Decided = true;
    uint8_t decided[JOURNAL_HEADER_SIZE];
    PutHeader(decided, h);
    // The copy first, then the header, which decides: while the header is whole
    // its word holds, so a commit whose header write failed did not stand whatever
    // the copy says; the copy speaks only for a header damaged later.
    const TFileAccess journal = OSAccess(FHandle);
    return (FTrailerAt < 0 || journal.Write(FTrailerAt, decided, JOURNAL_HEADER_SIZE)) &&
           journal.Write(0, decided, JOURNAL_HEADER_SIZE) && (!hard || journal.Sync());
}

bool TTableJournal::Finish(bool sync) {
    if (!Invalidate(sync)) return false;
    Unstage();
    return true;
}

bool TTableJournal::Undo(bool keepHot) {
    bool restored = true;
    if (FStage == TStage::Writing) {
        // Back to the state before the flush, from the journal just written.
        const auto end = JOURNAL_HEADER_SIZE + static_cast<std::ptrdiff_t>(GetU64(FStaged.data() + 16));
        const std::vector<uint8_t> payload(FStaged.begin() + JOURNAL_HEADER_SIZE, FStaged.begin() + end);
        std::vector<TEntry> parsed;
        TCommitRecord record;
        restored = ParsePayload(payload, FStagedEntries, GetU32(FStaged.data() + 8), parsed, &record);
        for (const TEntry& e : parsed) {
            if ((e.Flags & kWritten) == 0 || !FHandlers[e.File]) continue;
            FSynced[e.File] = false;
            restored = RollBack(e, payload, RegistryAccess(*FHandlers[e.File]), false) && restored;
        }
    }
    // A journal that could not be played back stays for the next program; one
    // that was, and stays all the same, only writes the same bytes again.
    if (restored && !keepHot && FStage != TStage::Locked && FStage != TStage::Built) Invalidate(FStagedHard);
    Unstage();
    return restored;
}

bool TTableJournal::Rewrite() {
    const TFileAccess journal = OSAccess(FHandle);
    const auto size = static_cast<int64_t>(FStaged.size());
    // As Write wrote it: the header last.
    return journal.Write(JOURNAL_HEADER_SIZE, FStaged.data() + JOURNAL_HEADER_SIZE, size - JOURNAL_HEADER_SIZE) &&
           (!FStagedHard || !StagedBound() || journal.Sync()) && journal.Write(0, FStaged.data(), JOURNAL_HEADER_SIZE) &&
           (!FStagedHard || journal.Sync());
}

void TTableJournal::Unstage() {
    if (FStage == TStage::Idle) return;
    if (FStagedLocked) Unlock();
    FStagedLocked = false;
    FStage = TStage::Idle;
    std::vector<uint8_t>().swap(FStaged);
}

// ---- A commit over several tables ----------------------------------------------

void TJournalCommit::Add(TTableJournal& journal, const TJournalTargets& targets, bool hard) {
    FMembers.push_back({&journal, targets});
    FHard = FHard || hard;
}

void TJournalCommit::Apply() {
    if (FMembers.empty()) return;
    if (FMembers.size() == 1) {
        FMembers[0].Journal->Apply(FMembers[0].Targets, FHard);
        return;
    }
    struct Restarter {
        std::vector<TMember>& members;
        ~Restarter() {
            for (TMember& m : members) m.Journal->Restart();
        }
    } restart{FMembers};
    bool hard = FHard;
    std::vector<std::array<std::string, kBoundNames>> tables;
    for (TMember& m : FMembers) {
        m.Journal->RefuseUnjournalled();
        hard = hard || m.Journal->SyncWanted();
        const TTableJournal& j = *m.Journal;
        tables.push_back({j.FName, j.FFileNames[0], j.FFileNames[1], j.FFileNames[2]});
    }
    // Back to the state before the commit, the deciding journal last: while it
    // holds the commit, a recovery rolls every table back. It stays so when another
    // table could not be put back. Journals built and not written are dropped.
    auto undo = [&](std::size_t staged) {
        bool restored = true;
        for (std::size_t i = staged; i-- > 1;) restored = FMembers[i].Journal->Undo(false) && restored;
        if (staged > 0) FMembers[0].Journal->Undo(!restored);
        for (TMember& m : FMembers) m.Journal->Unstage();
    };
    const uint64_t id = NewCommitId();
    std::size_t staged = 0;
    try {
        // Every journal's record carries every table's file states, so all are built
        // before the first is written.
        std::vector<std::vector<uint8_t>> states;
        for (TMember& m : FMembers) {
            m.Journal->Build(m.Targets);
            states.push_back(m.Journal->FStates);
        }
        for (std::size_t i = 0; i < FMembers.size(); ++i) {
            TTableJournal& j = *FMembers[i].Journal;
            j.Seal(id, CommitRecordBytes(static_cast<uint16_t>(i), tables, j.FName, states));
        }
        for (; staged < FMembers.size(); ++staged) FMembers[staged].Journal->Write(hard);
        for (TMember& m : FMembers) m.Journal->WriteInPlace();
    } catch (...) {
        undo(staged);
        throw;
    }
    // The commit stands once the deciding journal says so.
    TTableJournal& first = *FMembers[0].Journal;
    if (!first.Decide(hard)) {
        // Whether it stands is not known until that journal holds it undecided
        // again; if it cannot be made to, every table is left for the next recovery
        // to settle.
        if (first.Rewrite()) {
            undo(FMembers.size());
        } else {
            for (TMember& m : FMembers) m.Journal->Unstage();
        }
        RaiseEngineError(KURA_WRITEERR, {}, {}, {}, first.FName);
    }
    // The others go, synced, before the deciding journal: a power cut must never
    // bring one back beside a deciding journal that no longer says the commit
    // stood. Should one stay, so does the deciding journal, for the recovery that
    // settles it.
    bool settled = true;
    for (std::size_t i = 1; i < FMembers.size(); ++i) {
        if (FMembers[i].Journal->Finish(hard)) continue;
        settled = false;
        FMembers[i].Journal->Unstage();
    }
    if (!settled || !first.Finish(false)) first.Unstage();
}

}  // namespace kura

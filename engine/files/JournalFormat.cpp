#include "engine/files/JournalFormat.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "engine/files/Routines.h"

namespace kura::jnl {

using namespace dfbytes;

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

namespace {

constexpr uint64_t kLowBits = 0x0101010101010101u;
constexpr uint64_t kHighBits = 0x8080808080808080u;
// Eight bytes at a time where the host keeps the first byte lowest in a word: the
// byte loops then only finish the tail.
constexpr bool kWordWise = std::endian::native == std::endian::little;

uint64_t Differences(const uint8_t* was, const uint8_t* is, int64_t at) {
    uint64_t a = 0;
    uint64_t b = 0;
    std::memcpy(&a, was + at, 8);
    std::memcpy(&b, is + at, 8);
    return a ^ b;
}

// A stretch that stays unchanged for a few words is passed over a block at a time
// by the library's compare, which reads wider than a word; a rewritten index page
// changes nearly every byte, and gives the blocks no chance.
constexpr int64_t kEqualBlock = 128;
constexpr int kWordsBeforeBlocks = 8;

// Moves `at` over the unchanged words that end by `limit`; true when it stops in a
// changed one, on its first changed byte.
[[gnu::always_inline]] inline bool PassUnchangedWords(const uint8_t* was, const uint8_t* is, int64_t& at, int64_t limit) {
    for (; at + 8 <= limit; at += 8) {
        const uint64_t x = Differences(was, is, at);
        if (x != 0) {
            at += std::countr_zero(x) / 8;
            return true;
        }
    }
    return false;
}

// The first changed byte from `at` on; count when none.
[[gnu::always_inline]] inline int64_t NextChanged(const uint8_t* was, const uint8_t* is, int64_t at, int64_t count) {
    if constexpr (kWordWise) {
        if (PassUnchangedWords(was, is, at, std::min(count, at + kWordsBeforeBlocks * 8))) return at;
        while (at + kEqualBlock <= count && std::memcmp(was + at, is + at, kEqualBlock) == 0) at += kEqualBlock;
        if (PassUnchangedWords(was, is, at, count)) return at;
    }
    while (at < count && was[at] == is[at]) ++at;
    return at;
}

// The first unchanged byte from `at` on; count when none. Most changed runs are a
// few bytes (a counter, a field): those end before a word is worth its setup. Of
// the bytes a word flags as zero the lowest is always a true one.
[[gnu::always_inline]] inline int64_t NextUnchanged(const uint8_t* was, const uint8_t* is, int64_t at, int64_t count) {
    for (const int64_t bytes = std::min(count, at + 8); at < bytes; ++at)
        if (was[at] == is[at]) return at;
    if constexpr (kWordWise) {
        for (; at + 8 <= count; at += 8) {
            const uint64_t x = Differences(was, is, at);
            const uint64_t zero = (x - kLowBits) & ~x & kHighBits;
            if (zero != 0) return at + std::countr_zero(zero) / 8;
        }
    }
    while (at < count && was[at] != is[at]) ++at;
    return at;
}

}  // namespace

void ChangedSpans(const uint8_t* was, const uint8_t* is, int64_t count, int64_t gap,
                  std::vector<std::pair<int64_t, int64_t>>& spans) {
    spans.clear();
    for (int64_t at = NextChanged(was, is, 0, count); at < count;) {
        const int64_t start = at;
        int64_t end = at;  // one past the last changed byte of the span
        for (;;) {
            end = NextUnchanged(was, is, end, count);
            at = NextChanged(was, is, end, count);
            if (at >= count || at - end > gap) break;
            end = at;
        }
        spans.emplace_back(start, end);
    }
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

namespace {

// Whether the saved ranges hold every byte of [from, to).
bool Covers(const TEntry& e, int64_t from, int64_t to) {
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const TEntry::Range& r : e.Ranges) spans.emplace_back(r.Offset, r.Offset + r.Length);
    std::sort(spans.begin(), spans.end());
    for (const auto& [start, end] : spans) {
        if (from >= to) break;
        if (start > from) return false;
        from = std::max(from, end);
    }
    return from >= to;
}

// The change counter (unmasked) the file held before the flush, from the journal
// alone: each byte from the image before or the saved bytes. A later-format
// journal that holds neither for a byte knows that the flush left it alone.
std::optional<uint32_t> CounterBefore(const TEntry& e, const std::vector<uint8_t>& payload) {
    uint8_t raw[4];
    for (int k = 0; k < 4; ++k) {
        const int64_t at = static_cast<int64_t>(e.CounterOffset) + k;
        bool found = false;
        if (e.NewLength >= 0 && at < e.ImageLength) {
            raw[k] = payload[e.ImageAt + static_cast<std::size_t>(at)];
            found = true;
        }
        for (const TEntry::Range& r : e.Ranges)
            if (!found && at >= r.Offset && at < r.Offset + r.Length) {
                raw[k] = payload[r.At + static_cast<std::size_t>(at - r.Offset)];
                found = true;
            }
        if (!found) return std::nullopt;
    }
    return GetU32(raw) ^ e.CounterMask;
}

// The counter a playback leaves: past the one the flush wrote and the one before it.
uint32_t CounterAfterPlayback(const TEntry& e, uint32_t before) {
    uint32_t next = e.NewCounter + 1;
    if (next == before) ++next;
    return next;
}

bool Counted(const TEntry& e) { return e.OldLength >= static_cast<int64_t>(e.CounterOffset) + 4; }

}  // namespace

bool ParseHeader(const uint8_t* bytes, THeader& header) {
    const bool open = std::memcmp(bytes, kMagic, sizeof kMagic) == 0;
    const bool decided = std::memcmp(bytes, kDecidedMagic, sizeof kDecidedMagic) == 0;
    if ((!open && !decided) || GetU32(bytes + 12) != static_cast<uint32_t>(JOURNAL_HEADER_SIZE) ||
        GetU32(bytes + 60) != JournalChecksum(bytes, 60))
        return false;
    header.Decided = decided;
    header.Format = GetU32(bytes + 8);
    header.PayloadLength = GetU64(bytes + 16);
    header.PayloadCrc = GetU32(bytes + 24);
    header.Entries = GetU32(bytes + 28);
    header.Sequence = GetU64(bytes + 32);
    header.CommitId = GetU64(bytes + kCommitIdAt);
    header.RecordLength = GetU32(bytes + kRecordLengthAt);
    header.RecordCrc = GetU32(bytes + kRecordCrcAt);
    return true;
}

void PutHeader(uint8_t* bytes, const THeader& header) {
    std::memset(bytes, 0, JOURNAL_HEADER_SIZE);
    std::memcpy(bytes, header.Decided ? kDecidedMagic : kMagic, sizeof kMagic);
    PutU32(bytes + 8, header.Format);
    PutU32(bytes + 12, JOURNAL_HEADER_SIZE);
    PutU64(bytes + 16, header.PayloadLength);
    PutU32(bytes + 24, header.PayloadCrc);
    PutU32(bytes + 28, header.Entries);
    PutU64(bytes + 32, header.Sequence);
    PutU64(bytes + kCommitIdAt, header.CommitId);
    PutU32(bytes + kRecordLengthAt, header.RecordLength);
    PutU32(bytes + kRecordCrcAt, header.RecordCrc);
    PutU32(bytes + 60, JournalChecksum(bytes, 60));
}

namespace {

// `count` entries from `at` on; their images and ranges point into `bytes`. The
// file states of a commit record are entries without saved ranges (rangeless).
bool ParseEntries(const std::vector<uint8_t>& bytes, std::size_t& at, uint32_t count, uint32_t format,
                  std::vector<TEntry>& entries, bool rangeless) {
    const std::size_t head = format == kFirstFormat ? kFirstEntrySize : kEntrySize;
    unsigned seen = 0;
    auto room = [&](std::size_t n) { return bytes.size() - at >= n; };
    for (uint32_t i = 0; i < count; ++i) {
        if (!room(head)) return false;
        TEntry e;
        e.File = bytes[at];
        e.OldLength = static_cast<int64_t>(GetU64(&bytes[at + 4]));
        e.CounterOffset = GetU32(&bytes[at + 12]);
        e.CounterMask = GetU32(&bytes[at + 16]);
        e.NewCounter = GetU32(&bytes[at + 20]);
        const uint32_t ranges = GetU32(&bytes[at + 24]);
        if (format != kFirstFormat) {
            e.Flags = bytes[at + 1];
            e.NewLength = static_cast<int64_t>(GetU64(&bytes[at + 28]));
            e.LowLength = static_cast<int64_t>(GetU64(&bytes[at + 36]));
            e.ImageLength = GetU16(&bytes[at + 44]);
        }
        at += head;
        if (e.File >= 3 || (seen & (1u << e.File)) != 0 || e.OldLength < 0 || e.OldLength > kLengthLimit ||
            e.CounterOffset > kLengthLimit || (rangeless && ranges != 0))
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
            const auto offset = static_cast<int64_t>(GetU64(&bytes[at]));
            const uint32_t length = GetU32(&bytes[at + 8]);
            at += kRangeHeadSize;
            // Saved bytes always lie within the file's old length.
            if (offset < 0 || offset > e.OldLength - static_cast<int64_t>(length) || !room(length)) return false;
            e.Ranges.push_back({offset, at, length});
            at += length;
        }
        // A playback makes the file as long as it was; every byte beyond the
        // shortest state the writes passed through comes from the journal, so an
        // old length the journal cannot fill is a lie.
        if (format != kFirstFormat && !rangeless && !Covers(e, e.LowLength, e.OldLength)) return false;
        entries.push_back(std::move(e));
    }
    return true;
}

}  // namespace

bool ParsePayload(const std::vector<uint8_t>& payload, uint32_t count, uint32_t format, std::vector<TEntry>& entries,
                  TCommitRecord* record) {
    std::size_t at = 0;
    if (!ParseEntries(payload, at, count, format, entries, false)) return false;
    if (format == kLegacyBoundFormat || format == JOURNAL_BOUND_FORMAT)
        return record && ParseRecord(payload.data() + at, payload.size() - at, format, *record);
    return at == payload.size();
}

bool ParseRecord(const uint8_t* bytes, std::size_t size, uint32_t format, TCommitRecord& record) {
    std::size_t at = 0;
    auto room = [&](std::size_t n) { return size - at >= n; };
    if (!room(4)) return false;
    const uint16_t tables = GetU16(bytes);
    record.Self = GetU16(bytes + 2);
    at += 4;
    if (tables < 2 || record.Self >= tables) return false;
    record.Tables.assign(tables, {});
    for (auto& names : record.Tables)
        for (std::string& name : names) {
            if (!room(2)) return false;
            const uint16_t length = GetU16(bytes + at);
            at += 2;
            if (length == 0 || length > kNameLimit || !room(length)) return false;
            name.assign(reinterpret_cast<const char*>(bytes + at), length);
            at += length;
        }
    record.States.assign(tables, {});
    record.StateBytes.clear();
    if (format == kLegacyBoundFormat) return at == size;
    record.StateBytes.assign(bytes + at, bytes + size);
    std::size_t state = 0;
    for (auto& entries : record.States) {
        if (state >= record.StateBytes.size()) return false;
        const uint8_t count = record.StateBytes[state++];
        if (count > JOURNAL_FILES ||
            !ParseEntries(record.StateBytes, state, count, JOURNAL_FORMAT, entries, true))
            return false;
    }
    return state == record.StateBytes.size();
}

std::vector<uint8_t> CommitRecordBytes(uint16_t self, const std::vector<std::array<std::string, kBoundNames>>& tables,
                                       const std::string& own, const std::vector<std::vector<uint8_t>>& states) {
    std::vector<uint8_t> out(4);
    PutU16(out.data(), static_cast<uint16_t>(tables.size()));
    PutU16(out.data() + 2, self);
    const std::string folder = ExtractFilePath(own);
    for (const auto& names : tables)
        for (const std::string& name : names) {
            const std::string stored = ExtractFilePath(name) == folder ? ExtractFileName(name) : name;
            uint8_t length[2];
            PutU16(length, static_cast<uint16_t>(stored.size()));
            out.insert(out.end(), length, length + 2);
            out.insert(out.end(), stored.begin(), stored.end());
        }
    for (const std::vector<uint8_t>& state : states) out.insert(out.end(), state.begin(), state.end());
    return out;
}

std::string BoundName(const std::string& stored, const std::string& own) {
    return ContainsPath(stored) ? stored : ExtractFilePath(own) + stored;
}

std::string TableNameOf(const std::string& dataFile) {
    std::string table;
    SplitFileNameExt(dataFile, ".DAT", table);
    return table;
}

bool FileFits(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file) {
    const int64_t size = file.Size();
    if (size < 0) return false;
    // The counter bytes a playback leaves, as stored.
    uint8_t played[4] = {};
    const std::optional<uint32_t> before = CounterBefore(e, payload);
    const bool knowsPlayed = before && Counted(e);
    if (knowsPlayed) PutU32(played, CounterAfterPlayback(e, *before) ^ e.CounterMask);
    auto isPlayed = [&](int64_t at, uint8_t byte) {
        return knowsPlayed && at >= e.CounterOffset && at < static_cast<int64_t>(e.CounterOffset) + 4 &&
               played[at - e.CounterOffset] == byte;
    };
    if (e.NewLength >= 0) {
        if (size < e.LowLength || size > std::max(e.OldLength, e.NewLength)) return false;
        std::vector<uint8_t> now(e.ImageLength);
        if (!now.empty() && !file.Read(0, now.data(), e.ImageLength)) return false;
        const uint8_t* imageBefore = payload.data() + e.ImageAt;
        const uint8_t* imageAfter = imageBefore + e.ImageLength;
        for (std::size_t k = 0; k < now.size(); ++k)
            if (now[k] != imageBefore[k] && now[k] != imageAfter[k] && !isPlayed(static_cast<int64_t>(k), now[k]))
                return false;
        return true;
    }
    // A first-format journal knows the counter the flush writes and the old bytes
    // it saved; a playback lengthens a file only over bytes it saved.
    if (size < e.OldLength && !Covers(e, size, e.OldLength)) return false;
    const int64_t counterEnd = static_cast<int64_t>(e.CounterOffset) + 4;
    if (e.OldLength < counterEnd) return true;
    uint8_t now[4];
    uint8_t after[4];
    if (size < counterEnd || !file.Read(e.CounterOffset, now, 4)) return false;
    PutU32(after, e.NewCounter ^ e.CounterMask);
    for (int k = 0; k < 4; ++k) {
        const int64_t at = e.CounterOffset + k;
        if (now[k] == after[k] || isPlayed(at, now[k])) continue;
        bool saved = false;
        for (const TEntry::Range& r : e.Ranges)
            if (at >= r.Offset && at < r.Offset + r.Length) saved = payload[r.At + (at - r.Offset)] == now[k];
        if (!saved) return false;
    }
    return true;
}

bool FileUntouched(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file) {
    if ((e.Flags & kWritten) == 0) return true;
    if (file.Size() != e.OldLength) return false;
    uint8_t played[4] = {};
    const std::optional<uint32_t> before = CounterBefore(e, payload);
    const bool knowsPlayed = before && Counted(e);
    if (knowsPlayed) PutU32(played, CounterAfterPlayback(e, *before) ^ e.CounterMask);
    std::vector<uint8_t> now(e.ImageLength);
    if (!now.empty() && !file.Read(0, now.data(), e.ImageLength)) return false;
    const uint8_t* imageBefore = payload.data() + e.ImageAt;
    for (std::size_t k = 0; k < now.size(); ++k) {
        const auto at = static_cast<int64_t>(k);
        if (now[k] == imageBefore[k]) continue;
        // Only the change counter a playback of the journal moves on may differ.
        const bool counter = knowsPlayed && at >= e.CounterOffset && at < static_cast<int64_t>(e.CounterOffset) + 4;
        if (!counter || played[at - e.CounterOffset] != now[k]) return false;
    }
    return true;
}

bool FileWritten(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file) {
    if ((e.Flags & kWritten) == 0) return true;
    if (file.Size() != e.NewLength) return false;
    std::vector<uint8_t> now(e.ImageLength);
    if (!now.empty() && !file.Read(0, now.data(), e.ImageLength)) return false;
    return std::equal(now.begin(), now.end(), payload.begin() + static_cast<std::ptrdiff_t>(e.ImageAt + e.ImageLength));
}

bool RollBack(const TEntry& e, const std::vector<uint8_t>& payload, const TFileAccess& file, bool bumpCounter) {
    for (const TEntry::Range& r : e.Ranges)
        if (!file.Write(r.Offset, payload.data() + r.At, r.Length)) return false;
    if (file.Size() != e.OldLength && !file.Cut(e.OldLength)) return false;
    if (bumpCounter && Counted(e)) {
        uint8_t raw[4];
        std::optional<uint32_t> before = CounterBefore(e, payload);
        // A flush that did not change the whole counter leaves it as it was once
        // its bytes are back. A first-format journal that keeps no old counter takes
        // the one now on the disk.
        if (!before && e.NewLength >= 0) return true;
        if (!before) {
            if (!file.Read(e.CounterOffset, raw, 4)) return false;
            before = GetU32(raw) ^ e.CounterMask;
        }
        PutU32(raw, CounterAfterPlayback(e, *before) ^ e.CounterMask);
        if (!file.Write(e.CounterOffset, raw, 4)) return false;
    }
    return true;
}

}  // namespace kura::jnl

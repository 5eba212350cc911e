// TDataFile::SortRecords: gathering the live records, the in-memory sort, and the
// output rules (distinct, grouping, limit) that rewrite the file from its first
// slot. The runs and their merge are in RecordSortRuns.cpp.
#include <algorithm>
#include <cstring>
#include <numeric>

#include "engine/files/KeyEncoding.h"
#include "engine/files/RecordSorter.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;

void TRecordSorter::BuildLayout() {
    L.LanguageId = F.GetLocaleID();
    L.SortId = F.GetSortID();
    L.CaseInsensitive = Q.CaseInsensitive;
    L.KeyLength = 4;
    bool localeSegments = false;
    for (const TFieldDesc& d : Q.Fields) {
        TSortSegment s;
        s.Type = d.FieldType();
        s.StoredSize = d.StoredSize();
        s.DataSize = GetFieldDataSize(s.Type, s.StoredSize);
        s.Descending = d.Bytes[fdo::Descending] != 0;
        s.AutoInc = d.IsAutoInc();
        s.Offset = d.Offset();
        if (s.AutoInc) {
            s.StoredSize = 4;
            s.DataSize = 4;
        } else if (d.Computed() != 0 || s.Type == fldBLOB || s.Offset < RECORD_HEADER_SIZE ||
                   static_cast<int32_t>(s.Offset) + 1 + s.StoredSize > R) {
            // Only stored, comparable values can be sort fields.
            F.RaiseError(KURA_INVALIDFLDTYPE);
        }
        if (L.LanguageId != 0 && (s.Descending || s.Type == fldZSTRING)) localeSegments = true;
        L.KeyLength += 1 + s.DataSize;
        L.Segments.push_back(s);
    }
    L.ByteWise = !localeSegments;
}

bool TRecordSorter::TakeSlot(const uint8_t* slot, uint32_t recordNo, bool scrambled, uint8_t* entry) {
    std::memcpy(entry, slot, static_cast<std::size_t>(R));
    if (scrambled && Encrypted) UnscrambleBuffer(entry, R, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    if (entry[RH_DELETED] != 0) {
        RowIdsKept = false;
        return false;
    }
    PutU32(entry + RH_NUMBER, recordNo);
    if (GetU32(entry + RH_AUTOINC) != recordNo) RowIdsKept = false;
    // The entry's room may hold an earlier entry: no key byte is left from it.
    std::memset(entry + R, 0, static_cast<std::size_t>(L.KeyLength));
    BuildSortKey(L, entry, entry + R, Scratch.data());
    return true;
}

void TRecordSorter::SortEntries(uint8_t* entries, uint32_t count, std::vector<uint32_t>& order) const {
    order.resize(count);
    const std::size_t e = static_cast<std::size_t>(E);
    const std::size_t r = static_cast<std::size_t>(R);
    const std::size_t length = static_cast<std::size_t>(L.KeyLength);
    if (L.ByteWise) {
        // Byte-wise keys order as their bytes. When the tails (auto-increment values)
        // ascend with the entries, as records appended one after another have them,
        // equal values order by their places and the tail need not be compared. The
        // first sixteen bytes, read big-endian, settle most comparisons without
        // touching the entries again.
        bool tailsAscend = true;
        for (uint32_t i = 1; i < count && tailsAscend; ++i)
            tailsAscend = std::memcmp(entries + (i - 1) * e + r + length - 4, entries + i * e + r + length - 4, 4) < 0;
        const std::size_t body = tailsAscend ? length - 4 : length;
        const std::size_t head = std::min<std::size_t>(16, body);
        struct TKeyed {
            uint64_t High, Low;
            uint32_t Index;
        };
        std::vector<TKeyed> keyed(count);
        for (uint32_t i = 0; i < count; ++i) {
            const uint8_t* key = entries + i * e + r;
            uint64_t words[2] = {0, 0};
            for (std::size_t b = 0; b < 16; ++b) words[b / 8] = words[b / 8] << 8 | (b < head ? key[b] : 0u);
            keyed[i] = {words[0], words[1], i};
        }
        std::sort(keyed.begin(), keyed.end(), [&](const TKeyed& x, const TKeyed& y) {
            if (x.High != y.High) return x.High < y.High;
            if (x.Low != y.Low) return x.Low < y.Low;
            if (body > head) {
                const int c = std::memcmp(entries + x.Index * e + r + head, entries + y.Index * e + r + head, body - head);
                if (c != 0) return c < 0;
            }
            return x.Index < y.Index;
        });
        for (uint32_t i = 0; i < count; ++i) order[i] = keyed[i].Index;
        return;
    }
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
        int32_t c = CompareSortKeys(L, entries + x * e + r, entries + y * e + r, true);
        return c != 0 ? c < 0 : x < y;
    });
}

void TRecordSorter::Prepare() {
    R = F.GetRecordSize();
    Encrypted = F.IsEncrypted();
    BuildLayout();
    E = R + L.KeyLength;
    Pending.resize(static_cast<std::size_t>(R));
    Previous.resize(static_cast<std::size_t>(R));
    PendingKey.resize(static_cast<std::size_t>(L.KeyLength));
    LastKey.resize(static_cast<std::size_t>(L.KeyLength));
    Stopped = Q.MaxRecords == 0;
    WritePos = F.DataStart();
}

TSortResult TRecordSorter::Run() {
    Prepare();
    const uint32_t slots = F.GetNextRecordNumber() - 1;
    if (static_cast<uint32_t>(F.GetCachedRecordCount()) == slots) {
        // Every slot is cached: nothing needs reading or flushing.
        std::vector<uint8_t> entries(static_cast<std::size_t>(slots) * static_cast<std::size_t>(E));
        uint32_t count = 0;
        for (TRecord* record : F.FCache.SortedWhere([](const TRecord*) { return true; })) {
            uint8_t* entry = entries.data() + static_cast<std::size_t>(count) * static_cast<std::size_t>(E);
            // Cached images are plain, never scrambled.
            if (TakeSlot(record->GetBuffer(), record->RecordNumber, false, entry)) ++count;
        }
        Result.InputCount = count;
        SortInMemory(entries.data(), count);
        F.FreeRecordCache();
    } else {
        F.FlushRecords();
        F.FreeRecordCache();
        SortExternally(slots);
    }
    return Complete(slots);
}

TSortResult TRecordSorter::RunRows(const TSortRowSource& next) {
    Prepare();
    F.FlushRecords();
    F.FreeRecordCache();
    StartRuns();
    Folding = CanFold();
    if (Folding) StartFoldedRun();
    std::vector<uint8_t> image(static_cast<std::size_t>(R));
    uint32_t fed = 0;
    for (const uint8_t* row = next(); row; row = next()) {
        // As an append would store it: live, in the next new slot, with the next
        // auto-increment value (which orders equal keys as the appends would).
        std::memcpy(image.data() + RECORD_HEADER_SIZE, row + RECORD_HEADER_SIZE,
                    static_cast<std::size_t>(R - RECORD_HEADER_SIZE));
        image[RH_DELETED] = 0;
        ++fed;
        PutU32(image.data() + RH_NUMBER, fed);
        PutU32(image.data() + RH_AUTOINC, F.GetNextAutoInc());
        if (!Folding || !FoldRow(image.data(), fed)) AddSlot(image.data(), fed, false);
    }
    EndRuns();
    return Complete(fed);
}

TSortResult TRecordSorter::Complete(uint32_t slots) {
    Finish();

    // The file ends after the last output record and has no deleted slots left.
    {
        TFileSectionGuard guard(F);
        F.Seek(soFromBeginning, WritePos);
        uint8_t none = 0;
        F.WriteBuffer(&none, 0);
    }
    PutU32(&F.FHeader[dho::NextRecord], Result.OutputCount + 1);
    PutU32(&F.FHeader[dho::DeletedHead], 0);
    F.FHeader[dho::Modified] = 1;
    F.SetWritten();
    if (F.FOwner) F.FOwner->SetRecordCount(Result.OutputCount);
    Result.RowIdsKept = RowIdsKept && Result.OutputCount == slots;
    return Result;
}

void TRecordSorter::SortInMemory(uint8_t* entries, uint32_t count) {
    std::vector<uint32_t> order;
    SortEntries(entries, count, order);
    OfferInOrder(entries, order);
}

void TRecordSorter::OfferInOrder(const uint8_t* entries, const std::vector<uint32_t>& order) {
    OutCapacity = std::max<int32_t>(1, std::min<int64_t>(static_cast<int64_t>(order.size()), SORT_OUTPUT_BYTES / std::max(R, 1)));
    for (uint32_t i : order) {
        if (Stopped) break;
        Offer(entries + static_cast<std::size_t>(i) * static_cast<std::size_t>(E));
    }
}

// ---- Output rules ------------------------------------------------------------

void TRecordSorter::Offer(const uint8_t* entry) {
    if (Stopped) return;
    const uint8_t* key = entry + R;
    const std::size_t r = static_cast<std::size_t>(R);
    const std::size_t k = static_cast<std::size_t>(L.KeyLength);
    if (Q.Distinct) {
        if (HasLastKey && CompareSortKeys(L, key, LastKey.data(), false) == 0) return;
        std::memcpy(LastKey.data(), key, k);
        HasLastKey = true;
        std::memcpy(Pending.data(), entry, r);
        HasPending = true;
        CompletePending();
        return;
    }
    if (Q.Grouping) {
        if (HasPending && CompareSortKeys(L, key, PendingKey.data(), false) == 0) {
            std::memcpy(Previous.data(), entry, r);  // the member, handed over as a copy
            if (Q.Accumulate) Q.Accumulate(Q.CallbackData, false, Previous.data(), Pending.data());
            return;
        }
        if (HasPending) {
            CompletePending();
            if (Stopped) return;
            Previous.swap(Pending);
            HasPrevious = true;
        }
        std::memcpy(Pending.data(), entry, r);
        std::memcpy(PendingKey.data(), key, k);
        HasPending = true;
        if (Q.Accumulate)
            Q.Accumulate(Q.CallbackData, true, HasPrevious ? Previous.data() : Pending.data(), Pending.data());
        return;
    }
    std::memcpy(Pending.data(), entry, r);
    HasPending = true;
    CompletePending();
}

void TRecordSorter::CompletePending() {
    HasPending = false;
    uint8_t* record = Pending.data();
    if (Q.HasFinish && Q.Finish) Q.Finish(Q.CallbackData, nullptr, record, record);
    if (Q.HasFilter && Q.Filter && !Q.Filter(Q.CallbackData, nullptr, record, record)) return;
    Emit(record);
}

void TRecordSorter::Emit(uint8_t* record) {
    const uint32_t number = Result.OutputCount + 1;
    record[RH_DELETED] = 0;
    PutU32(record + RH_NUMBER, number);
    PutU32(record + RH_AUTOINC, number);
    const std::size_t r = static_cast<std::size_t>(R);
    if (Out.size() < static_cast<std::size_t>(OutCapacity) * r) Out.resize(static_cast<std::size_t>(OutCapacity) * r);
    uint8_t* slot = Out.data() + static_cast<std::size_t>(OutCount) * r;
    std::memcpy(slot, record, r);
    if (Encrypted) ScrambleBuffer(slot, R, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    ++OutCount;
    Result.OutputCount = number;
    if (OutCount >= OutCapacity) FlushOutput();
    if (Q.MaxRecords >= 0 && Result.OutputCount >= static_cast<uint32_t>(Q.MaxRecords)) Stopped = true;
}

void TRecordSorter::FlushOutput() {
    if (OutCount == 0) return;
    const int32_t bytes = OutCount * R;
    {
        TFileSectionGuard guard(F);
        F.Seek(soFromBeginning, WritePos);
        F.WriteBuffer(Out.data(), bytes);
    }
    WritePos += bytes;
    OutCount = 0;
}

void TRecordSorter::Finish() {
    if (HasPending && !Stopped) CompletePending();
    FlushOutput();
}

// ---- TDataFile ------------------------------------------------------------------

TSortResult TDataFile::SortRecords(const TSortRequest& request) {
    if (!FPool || !IsOpen) RaiseError(KURA_NOTINITIALIZED);
    TRecordSorter sorter(*this, request);
    return sorter.Run();
}

TSortResult TDataFile::SortRows(const TSortRequest& request, const TSortRowSource& next) {
    if (!FPool || !IsOpen) RaiseError(KURA_NOTINITIALIZED);
    if (GetNextRecordNumber() != 1) RaiseError(KURA_NOTINITIALIZED);
    TRecordSorter sorter(*this, request);
    return sorter.RunRows(next);
}

}  // namespace kura

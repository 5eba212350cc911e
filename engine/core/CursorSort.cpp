// TDataCursor::SortRecords: the physical sort of an index-less table (an SQL result
// table) through its data file, with the row-identifier index kept true to the
// renumbered records.
#include <algorithm>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/files/KeyEncoding.h"

namespace kura {

TSortResult TDataCursor::SortRecords(const TSortRequest& request) {
    CheckExclusive();
    if (IsRemote()) RaiseNoRemote();
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    TSortResult result;
    // Only a table kept in record-number order without secondary indexes (and
    // without full-text keys) can have its records moved: no index key points at a
    // slot.
    if (!Sortable()) {
        CompleteRowIds();
        return result;
    }
    FreeAllBlobs(true);
    const bool deferred = FRowIdsDeferred;
    // From here the sort's output decides the row identifiers: a failure leaves
    // the table partly rewritten either way.
    FRowIdsDeferred = false;
    FDeferredAutoIncs.clear();
    result = FTable->GetDataFile().SortRecords(request);
    if (!result.RowIdsKept || deferred) RebuildRowIdIndex(result.OutputCount);
    FTable->FlushBuffers(false, true, false, true, true);
    SaveChangeCounters();
    RebuildFilterSet();
    SetToBegin();
    return result;
}

bool TDataCursor::CanSortRows() const {
    return FOpen && FTable && !IsRemote() && FExclusive && !FReadOnly && Sortable() && !FTable->HasBlobFields() &&
           GetTextIndexFields().empty() && FTable->GetDataFile().GetNextRecordNumber() == 1 &&
           FTable->GetRecordCount() == 0;
}

TSortResult TDataCursor::SortRows(const TSortRequest& request, const TSortRowSource& next) {
    if (!CanSortRows()) RaiseError(KURA_NOTINITIALIZED);
    FreeAllBlobs(true);
    // No row is filed before the sort, which decides the row identifiers.
    FRowIdsDeferred = false;
    FDeferredAutoIncs.clear();
    const TSortResult result = FTable->GetDataFile().SortRows(request, next);
    RebuildRowIdIndex(result.OutputCount);
    FTable->FlushBuffers(false, true, false, true, true);
    SaveChangeCounters();
    RebuildFilterSet();
    SetToBegin();
    return result;
}

bool TDataCursor::Sortable() const {
    return FTable->GetIndexCount() == 0 && FTable->GetNoPrimaryIndex() &&
           FTable->GetIndexFile().GetRootPage(SYS_TEXT_SLOT) == 0;
}

void TDataCursor::DeferRowIds() {
    if (FRowIdsDeferred || !FOpen || !FTable || IsRemote() || !FExclusive || !FQueryResult || !Sortable() ||
        !GetTextIndexFields().empty())
        return;
    const uint32_t next = FTable->GetDataFile().GetNextRecordNumber();
    // Only a table without records: every append then takes the next new slot.
    if (next != 1 || GetRecordCount() != 0) return;
    FRowIdsDeferred = true;
    FDeferredFirstRecord = next;
    FDeferredAutoIncs.clear();
}

void TDataCursor::DeferAppendedRowIds() {
    if (FRowIdsDeferred || !FOpen || !FTable || IsRemote() || FSuppressAutoInc || !GetTextIndexFields().empty())
        return;
    FRowIdsDeferred = true;
    FDeferredFirstRecord = FTable->GetDataFile().GetNextRecordNumber();
    FDeferredAutoIncs.clear();
}

void TDataCursor::CompleteRowIds() {
    if (!FRowIdsDeferred) return;
    FRowIdsDeferred = false;
    std::vector<uint32_t> values;
    values.swap(FDeferredAutoIncs);
    FileRowIds(FDeferredFirstRecord, static_cast<uint32_t>(values.size()), values.data(), false);
    FlushBuffers(false, false, false, true, false);
}

void TDataCursor::RebuildRowIdIndex(uint32_t count) {
    // After a sort record N is live and carries the auto-increment value N.
    FileRowIds(1, count, nullptr, true);
}

void TDataCursor::FileRowIds(uint32_t first, uint32_t count, const uint32_t* autoIncs, bool anew) {
    const uint8_t saved = FIndexNo;
    TIndexFile& file = FTable->GetIndexFile();
    try {
        SetIndexNumber(SYS_DELETED_SLOT);
        const uint32_t root = file.GetRootPage(SYS_DELETED_SLOT);
        if (anew && root != 0) {
            FreeIndexPages(root);
            file.SetRootPage(SYS_DELETED_SLOT, 0);
        }
        std::vector<uint8_t> record(std::max<std::size_t>(FTable->GetRecordSize(), RECORD_HEADER_SIZE), 0);
        if (!BuildAscendingTree(first, count, autoIncs)) {
            const std::size_t stride = std::max<std::size_t>(FKeySize, SYS_DELETED_KEY_SIZE);
            std::vector<uint8_t> keys(stride * count);
            std::vector<uint32_t> recordNos(count);
            for (uint32_t i = 0; i < count; ++i) {
                recordNos[i] = first + i;
                SetBufferAutoInc(record.data(), autoIncs ? autoIncs[i] : recordNos[i]);
                BuildRowIdKey(record.data(), keys.data() + i * stride);
            }
            InsertKeyRun(keys.data(), stride, recordNos.data(), count);
        }
        SetIndexNumber(saved);
    } catch (...) {
        try {
            SetIndexNumber(saved);
        } catch (...) {
        }
        throw;
    }
}

}  // namespace kura

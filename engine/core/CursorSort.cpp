// TDataCursor::SortRecords: the physical sort of an index-less table (an SQL result
// table) through its data file, with the row-identifier index kept true to the
// renumbered records.
#include <array>
#include <cstring>

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
    if (FTable->GetIndexCount() != 0 || !FTable->GetNoPrimaryIndex() ||
        FTable->GetIndexFile().GetRootPage(SYS_TEXT_SLOT) != 0)
        return result;
    FreeAllBlobs(true);
    result = FTable->GetDataFile().SortRecords(request);
    if (!result.RowIdsKept) RebuildRowIdIndex(result.OutputCount);
    FTable->FlushBuffers(false, true, false, true, true);
    SaveChangeCounters();
    RebuildFilterSet();
    SetToBegin();
    return result;
}

void TDataCursor::RebuildRowIdIndex(uint32_t count) {
    const uint8_t saved = FIndexNo;
    TIndexFile& file = FTable->GetIndexFile();
    try {
        SetIndexNumber(SYS_DELETED_SLOT);
        const uint32_t root = file.GetRootPage(SYS_DELETED_SLOT);
        if (root != 0) {
            FreeIndexPages(root);
            file.SetRootPage(SYS_DELETED_SLOT, 0);
        }
        // After a sort record N is live and carries the auto-increment value N.
        std::vector<uint8_t> record(std::max<std::size_t>(FTable->GetRecordSize(), RECORD_HEADER_SIZE), 0);
        std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE> key{};
        for (uint32_t recordNo = 1; recordNo <= count; ++recordNo) {
            SetBufferAutoInc(record.data(), recordNo);
            key.fill(0);
            BuildRowIdKey(record.data(), key.data());
            InsertKeyIntoTree(key.data(), recordNo);
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

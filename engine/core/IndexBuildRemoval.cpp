// Removing a record that a new unique index rejects while the index is being built
// (or while a restructure builds several): the record leaves every index already
// holding it, "Sys Deleted" files its slot as deleted, its words and BLOB chains
// go, and the slot joins the free list. The build holds the table's write lock
// throughout.
#include <array>
#include <bitset>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"

namespace kura {

void TDataCursor::RemoveRejectedRecord(TRecord* record, uint8_t buildIndexNo) {
    std::bitset<INDEX_SLOT_COUNT> unbuilt;
    if (buildIndexNo < INDEX_SLOT_COUNT) unbuilt.set(buildIndexNo);
    RemoveRejectedRecord(record, unbuilt);
}

void TDataCursor::RemoveRejectedRecord(TRecord* record, const std::bitset<INDEX_SLOT_COUNT>& unbuilt) {
    if (!record || !FTable) RaiseError(KURA_NOTINITIALIZED);
    const uint32_t recordNo = record->GetRecordNumber();
    if (recordNo == 0) RaiseError(KURA_FILECORRUPT);
    uint8_t* image = record->GetBuffer();
    // The build goes on inserting into the index it selected; it must find that
    // index selected again, also when a step here fails.
    const uint8_t savedIndex = FIndexNo;
    try {
        std::array<uint8_t, 1024> key{};
        std::array<uint8_t, 1024> oldKey{};
        const uint8_t indexCount = GetIndexCount();
        for (uint16_t i = 0; i <= indexCount; ++i) {
            if (i == 0 && GetNoPrimaryIndex()) continue;
            if (unbuilt.test(i)) continue;
            SetIndexNumber(static_cast<uint8_t>(i));
            BuildIndexKey(image, key.data());
            DeleteIndexKey2(key.data());
        }
        SetIndexNumber(SYS_DELETED_SLOT);
        BuildLiveRowIdKey(image, oldKey.data());
        BuildDeletedRowIdKey(image, key.data());
        DeleteIndexKey(oldKey.data(), key.data(), recordNo);
        DecRecordCount();
        // The words are in "Sys Text" unless it is being built too.
        const bool hasWords = !unbuilt.test(SYS_TEXT_SLOT);
        if (FTable->HasBlobFields()) {
            FreeRecordBlobs(image);
            if (hasWords) DeleteTextIndexWords(image);
            AssignBlobIDs(image, true);
            SaveOpenBlobs();
            PutOpenBlobsIntoRecord(image, true);
            FreeAllBlobs(false, false);
        } else if (hasWords) {
            DeleteTextIndexWords(image);
        }
        // The slot is freed in the cache, whether the caller handed in the cached
        // record itself or a copy of it.
        TRecord* stored = nullptr;
        if (!GetRecord(recordNo, grLock, stored) || !stored) RaiseError(KURA_KEYORRECDELETED);
        try {
            if (stored != record) stored->Assign(*record);
            FTable->GetDataFile().FreeRecord(stored);
            stored->Modified = 1;
            if (stored != record) record->Assign(*stored);
        } catch (...) {
            ReleaseRecord(stored);
            throw;
        }
        ReleaseRecord(stored);
    } catch (...) {
        try {
            SetIndexNumber(savedIndex);
        } catch (...) {
        }
        throw;
    }
    SetIndexNumber(savedIndex);
}

}  // namespace kura

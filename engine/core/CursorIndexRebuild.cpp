// The rebuild of a restructure that changes no field, only indexes (contract in
// Restructure.h): the index file saved as .IBK, the changed slots given their new
// descriptors and their keys built from every live record, all held in the caches
// until one flush through the table's journal at the end.
#include <algorithm>
#include <array>
#include <bitset>
#include <cmath>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/core/Restructure.h"

namespace kura {

namespace {

// The descriptor a changed slot gets: for "Sys Text" the name and key
// compression every index file gives that slot.
TIndexDesc SlotDescriptor(uint8_t slot, const TIndexDesc& wanted) {
    TIndexDesc desc = wanted;
    if (slot == SYS_TEXT_SLOT) {
        std::fill_n(desc.Bytes.begin() + ido::Name, 1 + INDEX_NAME_LENGTH, 0);
        desc.SetName("Sys Text");
        desc.SetByte(ido::Compression, kcBoth);
    }
    desc.SetByte(ido::Build, 0);
    return desc;
}

}  // namespace

void TDataCursor::BuildMarkedIndexes(const std::bitset<INDEX_SLOT_COUNT>& marked, uint8_t& stopAsking,
                                     uint8_t& carryOn) {
    std::vector<uint8_t> slots;
    for (uint8_t s = 0; s < INDEX_SLOT_COUNT; ++s)
        if (marked.test(s) && s != SYS_TEXT_SLOT) slots.push_back(s);
    const bool words = marked.test(SYS_TEXT_SLOT);
    std::vector<std::array<uint8_t, CURSOR_KEY_BUFFER_SIZE>> keys(slots.size());
    auto ask = [&](uint8_t reason, const std::string& text) {
        if (stopAsking == 0) DoRestructureQuestion(reason, text, stopAsking, carryOn);
        return carryOn != 0;
    };
    const uint32_t last = FTable->GetLastRecordNumber();
    const int32_t interval = GetProgressInterval();
    int32_t reported = -1;
    for (uint32_t recordNo = 1; recordNo <= last; ++recordNo) {
        TRecord* record = nullptr;
        int32_t attempts = 0;
        while (!GetRecord(recordNo, grBlockRead, record))
            if (++attempts >= 16) RaiseError(KURA_LOCKTIMEOUT);
        try {
            if (!record->IsDeleted()) {
                // Every new key is made and every new unique index asked first, so
                // that a refused record has no key in any of them yet.
                uint8_t refusedBy = NATURAL_ORDER;
                bool other = false;
                try {
                    for (std::size_t i = 0; i < slots.size() && refusedBy == NATURAL_ORDER; ++i) {
                        SetIndexNumber(slots[i]);
                        keys[i].fill(0);
                        BuildIndexKey(record->GetBuffer(), keys[i].data());
                        if (IsKeyViolation(keys[i].data())) refusedBy = slots[i];
                    }
                } catch (const EKuraEngineError&) {
                    other = true;
                }
                if (refusedBy != NATURAL_ORDER || other) {
                    const bool go = other ? ask(rqOtherError, std::string()) : ask(rqKeyViolation, FIndexName);
                    if (!go) {
                        ReleaseRecord(record);
                        return;
                    }
                    RemoveRejectedRecord(record, marked);
                } else {
                    for (std::size_t i = 0; i < slots.size(); ++i) {
                        SetIndexNumber(slots[i]);
                        InsertIndexKey(keys[i].data(), recordNo);
                    }
                    if (words) RebuildTextIndexWords(record->GetBuffer());
                }
            }
        } catch (...) {
            ReleaseRecord(record);
            throw;
        }
        ReleaseRecord(record);
        const int32_t percent = static_cast<int32_t>(std::trunc(static_cast<double>(recordNo) / last * 100.0));
        if (reported < 0 || percent - reported >= interval) {
            DoRestructureProgress(static_cast<uint16_t>(percent));
            reported = percent;
        }
    }
    if (reported != 100) DoRestructureProgress(100);
}

bool TDataCursor::RebuildChangedIndexes(const TRestructureParams& params, const std::vector<TFieldDesc>& fields,
                                        const std::array<TIndexDesc, INDEX_SLOT_COUNT>& indexes,
                                        const TStringList& stopWords, const std::bitset<256>& spaces,
                                        const std::bitset<256>& includes, bool textParamsChanged,
                                        uint32_t lastAutoInc) {
    TDataTable& table = *FTable;
    TIndexFile& file = table.GetIndexFile();
    const uint8_t oldCount = file.GetIndexCount();
    const uint8_t newCount = params.IndexCount;
    const bool hadPrimary = !table.GetNoPrimaryIndex();
    const bool hasPrimary = indexes[0].GetField(0) != 0;
    auto changed = [&](uint8_t slot) {
        TIndexDesc old;
        file.GetIndexDesc(slot, old);
        return IndexNeedsRebuild(old, indexes[slot], fields);
    };
    // The slots whose keys are made anew from the records.
    std::bitset<INDEX_SLOT_COUNT> marked;
    if (hasPrimary && (!hadPrimary || changed(0))) marked.set(0);
    for (uint8_t s = 1; s <= newCount; ++s)
        if (s > oldCount || changed(s)) marked.set(s);
    const bool textChanged = textParamsChanged || changed(SYS_TEXT_SLOT);
    if (textChanged && indexes[SYS_TEXT_SLOT].GetFieldCount() > 0) marked.set(SYS_TEXT_SLOT);

    // The index file as it was is the backup this restructure leaves (an in-memory
    // table keeps none). One that is not wanted and cannot be dropped only stays.
    if (!FInMemory) table.BackupIndexFile();
    auto dropBackup = [&] {
        if (FInMemory) return;
        try {
            table.RestoreIndexFile(true, true);
        } catch (...) {
        }
    };
    // Everything below stays in the caches until the one flush at the end, which
    // the journal makes all or nothing: a failure or a stop before it drops the
    // caches and leaves the files as they were.
    table.HoldWritesInBrackets = true;
    BeginWrite();
    bool done = false;
    try {
        for (uint8_t s = oldCount; s > newCount; --s) DropIndexSlot(s, true);
        if (hadPrimary && (!hasPrimary || marked.test(0))) DropIndexSlot(0, false);
        // A dropped primary index may have left its descriptor behind.
        if (hadPrimary != hasPrimary || marked.test(0)) file.ClearIndexDesc(0);
        if (marked.test(0)) file.SetPrimaryIndexDesc(indexes[0]);
        for (uint8_t s = 1; s <= newCount; ++s) {
            if (!marked.test(s)) continue;
            if (s <= oldCount) DropIndexSlot(s, false);
            file.SetIndexDesc(s, SlotDescriptor(s, indexes[s]));
        }
        file.SetIndexCount(newCount);
        if (textChanged) {
            DropIndexSlot(SYS_TEXT_SLOT, false);
            file.SetIndexDesc(SYS_TEXT_SLOT, SlotDescriptor(SYS_TEXT_SLOT, indexes[SYS_TEXT_SLOT]));
        }
        if (textParamsChanged) {
            SetTextIndexParams(&stopWords, spaces, includes);
            SaveTextIndexParams();
        }
        uint8_t stopAsking = 0;
        uint8_t carryOn = 1;
        if (marked.any()) BuildMarkedIndexes(marked, stopAsking, carryOn);
        if (carryOn != 0) {
            for (uint8_t s = 0; s <= newCount; ++s)
                if (!marked.test(s) && !(s == 0 && !hasPrimary)) file.SetIndexNameAndFields(s, indexes[s]);
            // The data file is written only where its names or header values change.
            TDataFile& data = table.GetDataFile();
            for (std::size_t i = 0; i < fields.size(); ++i) {
                TFieldDesc current;
                table.GetFieldDesc(static_cast<int32_t>(i + 1), current);
                if (current.Name() != fields[i].Name() || current.Description() != fields[i].Description())
                    data.SetFieldDesc(static_cast<int32_t>(i + 1), fields[i]);
            }
            if (table.GetDescription() != params.Description.substr(0, TABLE_DESCRIPTION_LENGTH) ||
                table.GetPassword() != params.Password.substr(0, TABLE_PASSWORD_LENGTH) ||
                table.GetUserMajorVersion() != params.UserMajor || table.GetUserMinorVersion() != params.UserMinor ||
                table.GetLastAutoInc() != lastAutoInc)
                data.SetDescriptionAndPassword(params.Password, params.Description, params.UserMajor,
                                               params.UserMinor, lastAutoInc);
            data.SetFutureBlobBlockSize(params.BlobBlockSize);
            table.FlushBuffers(false, false, true, false, true);
            done = true;
        }
    } catch (...) {
        FTextParamsChanged = false;
        try {
            table.DiscardBuffers(false, true);
            table.GetDataFile().ReadFieldDescs();
        } catch (...) {
        }
        table.HoldWritesInBrackets = false;
        try {
            EndWrite();
        } catch (...) {
        }
        dropBackup();
        throw;
    }
    if (!done) {
        FTextParamsChanged = false;
        table.DiscardBuffers(false, true);
    }
    table.HoldWritesInBrackets = false;
    EndWrite();
    if (!done || params.SuppressBackups) dropBackup();
    return done;
}

}  // namespace kura

// Selecting the index that orders the cursor and taking over its descriptor.
#include <algorithm>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/NameRoutines.h"

namespace kura {

uint8_t TDataCursor::GetIndexCount() const { return FTable ? FTable->GetIndexCount() : 0; }

void TDataCursor::FreeIndexFieldDescs() { FKeyFields.clear(); }

static_assert(sizeof(TDataCursor::TFieldlessIndexMemo::Source) == ido::RootPage + (ido::Reserved - ido::NoCounts));

void TDataCursor::LoadIndexDescriptor() {
    FKeyFieldFlags.fill(0);
    if (!FTable || FIndexNo >= INDEX_SLOT_COUNT) {
        FreeIndexFieldDescs();
        FIndexName.clear();
        FKeySize = 0;
        FKeyFieldCount = 0;
        FKeyCompression = 0;
        FDescending = FUnique = FCaseInsensitive = false;
        FNoSubtreeCounts = FTemporaryIndex = false;
        return;
    }
    // The bytes the settings are read from: name to key fields, and the counts and
    // temporary flags.
    const uint8_t* source = FTable->GetIndexFile().Header().data() + iho::Descs + FIndexNo * INDEX_DESC_SIZE;
    TFieldlessIndexMemo& memo = FFieldlessIndexMemo;
    const auto sameSource = [&] {
        return std::equal(source, source + ido::RootPage, memo.Source.begin()) &&
               std::equal(source + ido::NoCounts, source + ido::Reserved, memo.Source.begin() + ido::RootPage);
    };
    if (memo.Valid && memo.Slot == FIndexNo && sameSource()) {
        FKeyFields.clear();
        if (FIndexName != memo.Name) FIndexName = memo.Name;
        FKeySize = memo.KeySize;
        FKeyFieldCount = 0;
        FDescending = memo.Descending;
        FKeyFieldFlags = memo.Flags;
        FCaseInsensitive = memo.CaseInsensitive;
        FUnique = memo.Unique;
        FKeyCompression = memo.Compression;
        FNoSubtreeCounts = memo.NoSubtreeCounts;
        FTemporaryIndex = memo.Temporary;
        return;
    }
    TIndexDesc desc;
    FTable->GetIndexFile().GetIndexDesc(FIndexNo, desc);
    const uint16_t keySize = desc.GetKeySize();
    const uint8_t fieldCount = desc.GetFieldCount();
    // Every key buffer of the engine holds 522 bytes: a descriptor that asks for
    // more (row identifier included) would make key building write past them.
    if (keySize > RANGE_KEY_SIZE || fieldCount > MAX_INDEX_FIELDS) {
        FreeIndexFieldDescs();
        RaiseError(KURA_INVALIDKEY, {}, desc.GetName());
    }
    // The key fields go straight into the cursor's list, whose room stays from
    // load to load: a write that moves through the indexes of every record it
    // changes loads a descriptor several times per record.
    FKeyFields.resize(fieldCount);
    uint32_t needed = 0;
    for (uint8_t i = 0; i < fieldCount; ++i) {
        TFieldDesc& field = FKeyFields[i];
        if (!FTable->GetFieldDesc(desc.GetField(i), field)) {
            FKeyFields.clear();
            RaiseError(KURA_INDEXCORRUPT, {}, desc.GetName());
        }
        needed += GetFieldDataSize(field.FieldType(), field.StoredSize()) + 1u;
    }
    if (FIndexNo < SYS_DELETED_SLOT) {
        if (desc.GetByte(ido::Unique) == 0) needed += 4;
        if (needed > static_cast<uint32_t>(RANGE_KEY_SIZE)) {
            FKeyFields.clear();
            RaiseError(KURA_INVALIDKEY, {}, desc.GetName());
        }
    }
    FIndexName = desc.GetName();
    FKeySize = keySize;
    FKeyFieldCount = fieldCount;
    FDescending = desc.GetByte(ido::Descending) != 0;
    for (int i = 0; i < MAX_INDEX_FIELDS; ++i) FKeyFieldFlags[static_cast<std::size_t>(i)] = desc.GetOption(i);
    FCaseInsensitive = desc.GetByte(ido::CaseInsensitive) != 0;
    FUnique = desc.GetByte(ido::Unique) != 0;
    FKeyCompression = desc.GetByte(ido::Compression);
    FNoSubtreeCounts = desc.GetByte(ido::NoCounts) != 0;
    FTemporaryIndex = desc.IsTemporary();
    // A descriptor with key fields depends on the table's field descriptors too; the
    // memo keeps the last fieldless one while such indexes come and go.
    if (fieldCount != 0) return;
    std::copy(source, source + ido::RootPage, memo.Source.begin());
    std::copy(source + ido::NoCounts, source + ido::Reserved, memo.Source.begin() + ido::RootPage);
    memo.Slot = FIndexNo;
    memo.Name = FIndexName;
    memo.KeySize = FKeySize;
    memo.Compression = FKeyCompression;
    memo.Descending = FDescending;
    memo.CaseInsensitive = FCaseInsensitive;
    memo.Unique = FUnique;
    memo.NoSubtreeCounts = FNoSubtreeCounts;
    memo.Temporary = FTemporaryIndex;
    memo.Flags = FKeyFieldFlags;
    memo.Valid = true;
}

void TDataCursor::SetIndexNumber(uint8_t indexNo) {
    FIndexNo = indexNo;
    if (IsNaturalOrder()) FVisibleSetActive = true;
    if (indexNo < NATURAL_ORDER) {
        LoadIndexDescriptor();
    } else {
        FreeIndexFieldDescs();
        FIndexName.clear();
        FKeySize = 0;
        FKeyFieldCount = 0;
        FKeyCompression = 0;
        FDescending = FUnique = FCaseInsensitive = false;
        FNoSubtreeCounts = FTemporaryIndex = false;
        FKeyFieldFlags.fill(0);
    }
}

namespace {

// The visible-set flag and sets after a change of order.
void AdjustVisibleSet(TDataCursor& c) {
    if (c.IsNaturalOrder()) {
        c.FVisibleSetActive = true;
        return;
    }
    c.FVisibleSetActive = false;
}

}  // namespace

void TDataCursor::SwitchToIndex(uint8_t indexNo) {
    if (indexNo == FIndexNo) return;
    FReadAheadLength = 0;
    if (!FOpen) RaiseError(KURA_NOTINITIALIZED);
    if (IsRemote()) {
        // A server selects indexes by name; the primary index is the empty name.
        // Natural order and the system indexes have none to send.
        if (indexNo > GetIndexCount()) RaiseNoRemote();
        TIndexDesc desc;
        FTable->GetIndexFile().GetIndexDesc(indexNo, desc);
        return SetRemoteIndexName(desc.GetName());
    }
    const bool known = indexNo == NATURAL_ORDER || indexNo <= GetIndexCount() ||
                       ((indexNo == SYS_DELETED_SLOT || indexNo == SYS_TEXT_SLOT) &&
                        FTable->GetIndexFile().GetRootPage(indexNo) != 0);
    if (!known) RaiseError(KURA_INVALIDINDEXNAME);
    CheckForChanges();
    try {
        ClearRangeBounds();
        const uint8_t previous = FIndexNo;
        try {
            SetIndexNumber(indexNo);
        } catch (...) {
            SetIndexNumber(previous);
            throw;
        }
        AdjustVisibleSet(*this);
        if (!FVisibleSetActive && AnyFilterActive()) FVisibleSetActive = true;
        if (!FVisibleSetActive)
            for (TRecordsBitmap* set : FRecordSets)
                if (set) set->SetRecordCount(0);
        RebuildFilterSet();
        Resync();
    } catch (...) {
        EndRead();
        throw;
    }
    EndRead();
}

void TDataCursor::SetIndexName(std::string_view name) {
    if (!FOpen) {
        // A closed cursor keeps the index it last had (the primary one, named "").
        if (FIndexNo != NATURAL_ORDER && SameNameText(name, FIndexName)) return;
        RaiseError(KURA_NOTINITIALIZED);
    }
    // The comparison that AddIndex and DeleteIndex use, so the name selects the index
    // they would find, also for names whose second byte looks like a letter.
    TIndexFile& index = FTable->GetIndexFile();
    if (FIndexNo != NATURAL_ORDER && index.SameIndexName(name, FIndexName)) return;
    if (IsRemote()) return SetRemoteIndexName(name);
    const int32_t found = index.FindIndexSlot(name);
    if (found < 0) RaiseError(KURA_INVALIDINDEXNAME, {}, name);
    const uint8_t target = static_cast<uint8_t>(found);
    if (target == FIndexNo) return;
    SwitchToIndex(target);
}

}  // namespace kura

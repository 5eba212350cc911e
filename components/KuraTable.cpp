#include "components/KuraTable.h"

#include <cstring>
#include <stdexcept>

#include "components/FieldTypeMap.h"
#include "components/KuraDatabase.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/TableCreation.h"
#include "engine/files/Routines.h"
#include "platform/CodePage.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {

int32_t KeyCountOf(const uint8_t* keyBuffer) {
    int32_t v;
    std::memcpy(&v, keyBuffer + 1, 4);
    return v;
}

}  // namespace

TKuraTable::TKuraTable(TComponent* owner) : TKuraDBDataSet(owner), FIndexDefs(this), FMasterLink(this) {
    FMasterLink.OnMasterChange = [this] { MasterChanged(); };
    FMasterLink.OnMasterDisable = [this] { MasterDisabled(); };
    FieldDefs().OnChange = [this] { StoreDefs = true; };
    FIndexDefs.OnChange = [this] { StoreDefs = true; };
}

TKuraTable::~TKuraTable() {
    try {
        Close();
    } catch (...) {
    }
    FMasterLink.SetDataSource(nullptr);
}

// ---- properties --------------------------------------------------------------------------

void TKuraTable::SetExclusive(bool value) {
    CheckInactive();
    FExclusive = value;
}

void TKuraTable::SetReadOnly(bool value) {
    CheckInactive();
    FReadOnly = value;
}

void TKuraTable::SetTableName(const std::string& value) {
    if (Loading()) {
        FTableName = value;
        return;
    }
    std::string v = NormalizePathDelimiters(value);
    if (v == FTableName) return;
    CheckInactive();
    const std::size_t sep = LastDelimiter(v, "\\");
    if (sep != std::string::npos) {
        if (!FInMemory) SetDatabaseName(v.substr(0, sep));
        v = v.substr(sep + 1);
    }
    FTableName = v;
    FIndexDefs.Updated = false;
    FieldDefs().Updated = false;
    DataEvent(dePropertyChange, 0);
}

void TKuraTable::DataEvent(TDataEvent event, intptr_t info) {
    if (event == dePropertyChange) {
        FIndexDefs.Updated = false;
        FRestructureFieldDefs.Updated = false;
        FRestructureIndexDefs.Updated = false;
    }
    TKuraDBDataSet::DataEvent(event, info);
}

void TKuraTable::DatabaseNameChanged() { FInMemory = SameText(DatabaseName(), "Memory"); }

const std::string& TKuraTable::IndexName() const {
    static const std::string empty;
    return FFieldsIndex ? empty : FIndexName;
}

std::string TKuraTable::IndexFieldNames() const { return FFieldsIndex ? FIndexName : std::string(); }

void TKuraTable::SetIndexName(const std::string& value) {
    FFieldsIndex = false;
    FIndexName = value;
    if (Active()) SwitchToIndex(value);
}

void TKuraTable::SetIndexFieldNames(const std::string& value) {
    FFieldsIndex = !value.empty();
    FIndexName = value;
    if (Active()) SwitchToIndex(ResolveIndexName(FHandle));
}

void TKuraTable::SetMasterFields(const std::string& value) { FMasterLink.SetFieldNames(value); }

void TKuraTable::SetMasterSource(TDataSource* value) {
    if (value && IsLinkedTo(value)) DatabaseError(msg::CircularDataLink);
    FMasterLink.SetDataSource(value);
}

// ---- cursors -----------------------------------------------------------------------------

std::unique_ptr<TDataCursor> TKuraTable::NewCursor(bool exclusive, bool open) {
    if (!FDatabase || !FDatabase->Handle()) DatabaseError(msg::DatabaseClosed);
    TKuraSession* session = FDatabase->Session();
    TSessionLock lock(session);
    auto cursor = std::make_unique<TDataCursor>(FDatabase->Handle());
    cursor->SetTableName(FTableName);
    cursor->SetExclusive(exclusive);
    cursor->SetReadOnly(FReadOnly);
    cursor->SetInMemory(FInMemory);
    cursor->SetPasswordEvent([session](TDataCursor*) { return session && session->GetPassword(); });
    if (open) cursor->OpenCursor();
    return cursor;
}

void TKuraTable::ReadIndexDefs(TDataCursor* cursor) {
    FIndexDefs.Clear();
    const uint8_t count = cursor->GetIndexCount();
    for (int slot = 0; slot <= count && slot < SYS_TEXT_SLOT; ++slot) {
        if (slot == 0 && cursor->GetNoPrimaryIndex()) continue;
        TIndexDesc desc;
        cursor->GetIndexDesc(static_cast<uint8_t>(slot), desc);
        if (desc.GetFieldCount() == 0) continue;
        const TIndexOptions options = IndexOptionsOf(desc, slot == 0);
        std::string fields;
        for (int k = 0; k < desc.GetFieldCount(); ++k) {
            const uint16_t no = desc.GetField(k);
            for (int d = 0; d < FieldDefs().Count(); ++d) {
                if (FieldDefs()[d].FieldNo != no) continue;
                if (!fields.empty()) fields += ';';
                fields += FieldDefs()[d].Name;
            }
        }
        TIndexDef def{desc.GetName(), fields, options};
        FIndexDefs.Insert(FIndexDefs.Count(), def);
    }
}

void TKuraTable::InitFieldDefs() {
    if (FHandle) {
        TKuraDBDataSet::InternalInitFieldDefs();
        return;
    }
    TDBFlagScope flag(*this, 4);
    if (FTableName.empty()) DatabaseError(msg::NoTableName);
    auto cursor = NewCursor(FExclusive, true);
    TDataCursor* saved = FHandle;
    FHandle = cursor.get();
    try {
        TKuraDBDataSet::InternalInitFieldDefs();
    } catch (...) {
        FHandle = saved;
        throw;
    }
    FHandle = saved;
    TSessionLock lock(DBSession());
    cursor->CloseCursor(false);
}

void TKuraTable::UpdateIndexDefs() {
    TDBFlagScope flag(*this, 5);
    FieldDefs().Update();
    if (FHandle) {
        ReadIndexDefs(FHandle);
        return;
    }
    if (FTableName.empty()) DatabaseError(msg::NoTableName);
    auto cursor = NewCursor(FExclusive, true);
    ReadIndexDefs(cursor.get());
    TSessionLock lock(DBSession());
    cursor->CloseCursor(false);
}

std::string TKuraTable::ResolveIndexName(TDataCursor* cursor) {
    if (!FFieldsIndex) return FIndexName;
    if (FIndexName.empty()) return {};
    FieldDefs().Update();
    ReadIndexDefs(cursor);
    FIndexDefs.Updated = true;
    const TIndexDef* def = FIndexDefs.FindIndexForFields(FIndexName);
    if (!def) DatabaseErrorFmt("Index for fields '%s' not found", FIndexName);
    return def->Name;
}

TDataCursor* TKuraTable::CreateHandle() {
    if (FTableName.empty()) DatabaseError(msg::NoTableName);
    if (Designing() && FInMemory) {
        if (FieldDefs().Count() == 0) throw std::runtime_error(msg::MemoryTableNoFields);
        if (!Exists()) CreateTable();
    }
    FIndexDefs.Updated = false;
    std::unique_ptr<TDataCursor> cursor = NewCursor(FExclusive, true);
    TSessionLock lock(DBSession());
    if (cursor->IsReadOnly()) FReadOnly = true;
    TDataCursor* saved = FHandle;
    FHandle = cursor.get();
    std::string index;
    try {
        // The field definitions are read from this cursor, which resolving the
        // index by field names needs.
        TKuraDBDataSet::InternalInitFieldDefs();
        FieldDefs().Updated = true;
        index = ResolveIndexName(cursor.get());
    } catch (...) {
        FHandle = saved;
        throw;
    }
    FHandle = saved;
    if (!index.empty()) cursor->SetIndexName(index);
    return cursor.release();
}

void TKuraTable::DestroyHandle() {
    DestroyLookupCursor();
    TKuraDBDataSet::DestroyHandle();
}

void TKuraTable::CloseCursor() {
    TKuraDBDataSet::CloseCursor();
    // An in-memory table made for the designer lives only while it is open there.
    if (Designing() && FInMemory && !Destroying() && Exists()) DeleteTable();
}

void TKuraTable::PrepareCursor() {
    if (FMasterLink.Active() && !FMasterLink.Fields().empty()) {
        SetLinkRanges(FMasterLink.Fields());
        SetCursorRange();
        TSessionLock lock(DBSession());
        FHandle->SetToBegin();
    }
}

TDataCursor* TKuraTable::GetLookupCursor(const std::string& keyFields, bool caseInsensitive) {
    if (FLookupCursor && SameText(keyFields, FLookupKeyFields) && caseInsensitive == FLookupCaseIns)
        return FLookupCursor.get();
    DestroyLookupCursor();
    if (KeyBuffer(kiCurRangeStart)[0] || KeyBuffer(kiCurRangeEnd)[0]) return nullptr;
    FIndexDefs.Updated = false;
    FIndexDefs.Update();
    const auto wanted = SplitFieldNames(keyFields);
    auto qualifies = [&](const TIndexDef& def) {
        if (def.Options & (ixDescending | ixExpression)) return false;
        bool hasString = false;
        for (const auto& name : SplitFieldNames(def.Fields)) {
            const TField* f = FindField(name);
            if (f && IsStringType(f->DataType())) hasString = true;
        }
        return !hasString || ((def.Options & ixCaseInsensitive) != 0) == caseInsensitive;
    };
    const TIndexDef* chosen = nullptr;
    for (int pass = 0; pass < 2 && !chosen; ++pass) {
        for (int i = 0; i < FIndexDefs.Count() && !chosen; ++i) {
            const TIndexDef& def = FIndexDefs[i];
            if (!qualifies(def)) continue;
            const auto have = SplitFieldNames(def.Fields);
            if (have.size() < wanted.size() || (pass == 0 && have.size() != wanted.size())) continue;
            bool same = true;
            for (std::size_t k = 0; k < wanted.size() && same; ++k) same = SameText(have[k], wanted[k]);
            if (same) chosen = &def;
        }
    }
    if (!chosen) return nullptr;
    TSessionLock lock(DBSession());
    FLookupCursor.reset(FHandle->CloneCursor());
    FLookupCursor->SetIndexName((chosen->Options & ixPrimary) ? std::string() : chosen->Name);
    FLookupKeyFields = keyFields;
    FLookupCaseIns = caseInsensitive;
    return FLookupCursor.get();
}

void TKuraTable::DestroyLookupCursor() {
    if (!FLookupCursor) return;
    TSessionLock lock(DBSession());
    FLookupCursor->CloseCursor(false);
    FLookupCursor.reset();
    FLookupKeyFields.clear();
}

void TKuraTable::InternalRefresh() {
    TKuraDBDataSet::InternalRefresh();
    if (FLookupCursor) {
        TSessionLock lock(DBSession());
        FLookupCursor->Refresh();
    }
}

// ---- keys and ranges ---------------------------------------------------------------------

void TKuraTable::SetKey() { SetKeyBuffer(kiLookup, true); }

bool TKuraTable::GotoKey() {
    CheckBrowseMode();
    DoBeforeScroll();
    CursorPosChanged();
    bool found = false;
    {
        TSessionLock lock(DBSession());
        std::vector<uint8_t> key(static_cast<std::size_t>(FKeySize) + 1, 0);
        FHandle->BuildIndexKey(KeyRecord(kiLookup), key.data());
        found = FHandle->FindKey(1, key.data(), KeyCountOf(KeyBuffer(kiLookup)), 0, 0) != 0;
    }
    if (found) {
        Resync(rmExact | rmCenter);
        DoAfterScroll();
    }
    return found;
}

void TKuraTable::SetRangeStart() { SetKeyBuffer(kiRangeStart, true); }
void TKuraTable::SetRangeEnd() { SetKeyBuffer(kiRangeEnd, true); }

void TKuraTable::ApplyRange() {
    CheckBrowseMode();
    if (SetCursorRange()) First();
}

void TKuraTable::CancelRange() {
    CheckBrowseMode();
    UpdateCursorPos();
    if (ResetCursorRange()) Resync(0);
}

// ---- master and detail -------------------------------------------------------------------

void TKuraTable::MasterChanged() {
    if (!Active()) return;
    CheckBrowseMode();
    SetLinkRanges(FMasterLink.Fields());
    ApplyRange();
}

void TKuraTable::MasterDisabled() {
    if (Active()) CancelRange();
}

void TKuraTable::DoOnNewRecord() {
    if (FMasterLink.Active() && !FMasterLink.Fields().empty()) {
        const auto& masters = FMasterLink.Fields();
        for (std::size_t i = 0; i < masters.size() && static_cast<int>(i) < KeyFieldCount(); ++i)
            GetIndexField(static_cast<int>(i))->SetValue(masters[i]->Value());
    }
    TKuraDBDataSet::DoOnNewRecord();
}

}  // namespace kura

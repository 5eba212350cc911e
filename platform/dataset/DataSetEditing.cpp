// Editing operations of TDataSet: Edit, Insert, Append, Post, Cancel, Delete,
// CheckBrowseMode and the new-record steps.
#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"

namespace kura {

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(deCheckBrowseMode, 0);
    switch (FState) {
        case dsEdit:
        case dsInsert:
            UpdateRecord();
            if (FModified) Post();
            else Cancel();
            break;
        case dsSetKey: Post(); break;
        default: break;
    }
}

void TDataSet::CheckBrowseModeBeforeEdit() {
    FEditStarting = true;
    try {
        CheckBrowseMode();
    } catch (...) {
        FEditStarting = false;
        throw;
    }
    FEditStarting = false;
}

void TDataSet::UpdateRecord() {
    if (FState != dsEdit && FState != dsInsert && FState != dsSetKey)
        DatabaseError("Dataset not in edit or insert mode");
    DataEvent(deUpdateRecord, 0);
}

void TDataSet::Edit() {
    if (FState == dsEdit || FState == dsInsert) return;
    if (FRecordCount == 0) {
        Insert();
        return;
    }
    CheckBrowseModeBeforeEdit();
    if (!GetCanModify()) DatabaseError("Cannot modify a read-only dataset");
    if (BeforeEdit) BeforeEdit(this);
    UpdateCursorPos();
    CheckOperation([this] { InternalEdit(); }, OnEditError);
    GetCalcFields(ActiveBuffer());
    SetState(dsEdit);
    DataEvent(deRecordChange, 0);
    if (AfterEdit) AfterEdit(this);
}

void TDataSet::BeginInsertAppend() {
    CheckBrowseModeBeforeEdit();
    if (!GetCanModify()) DatabaseError("Cannot modify a read-only dataset");
    if (BeforeInsert) BeforeInsert(this);
    DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
    SetState(dsInsert);
    try {
        DoOnNewRecord();
    } catch (...) {
        UpdateCursorPos();
        InternalCancel();
        SetState(dsBrowse);
        Resync(0);
        throw;
    }
    FModified = false;
    DataEvent(deDataSetChange, 0);
    if (AfterInsert) AfterInsert(this);
    DoAfterScroll();
}

void TDataSet::Insert() {
    BeginInsertAppend();
    const TBookmark current = GetBookmark();
    UpdateCursorPos();
    MoveBuffer(FRecordCount, FActiveRecord);
    uint8_t* buffer = ActiveBuffer();
    InitRecord(buffer);
    if (FRecordCount == 0) SetBookmarkFlag(buffer, bfBOF);
    else SetBookmarkData(buffer, current);
    if (FRecordCount < FBufferCount) ++FRecordCount;
    FCurrentRecord = -1;
    InternalInsert();
    EndInsertAppend();
}

void TDataSet::Append() {
    BeginInsertAppend();
    ClearBuffers();
    uint8_t* buffer = FBuffers[0];
    InitRecord(buffer);
    SetBookmarkFlag(buffer, bfEOF);
    FRecordCount = 1;
    FBOF = false;
    FEOF = false;
    FActiveRecord = 0;
    FCurrentRecord = 0;
    InternalLast();
    GetPriorRecords();
    InternalInsert();
    EndInsertAppend();
}

void TDataSet::InitRecord(uint8_t* buffer) {
    InternalInitRecord(buffer);
    ClearCalcFields(buffer);
    SetBookmarkFlag(buffer, bfInserted);
}

void TDataSet::DoOnNewRecord() {
    if (OnNewRecord) OnNewRecord(this);
}

// A BLOB written during the edit belongs to the record buffer only until the post or
// cancel: the controls that read the record again in the resync that follows must read
// the stored BLOB, not the edit's own (by then released) one.
void TDataSet::FreeFieldBuffers() {
    for (const auto& f : FFields)
        if (auto* blob = dynamic_cast<TBlobField*>(f.get())) blob->Modified = false;
}

void TDataSet::Post() {
    UpdateRecord();
    switch (FState) {
        case dsEdit:
        case dsInsert: {
            DataEvent(deCheckBrowseMode, 0);
            if (BeforePost) BeforePost(this);
            for (const auto& f : FFields) {
                if (f->FieldKind == fkData && f->Required && !f->ReadOnly && f->DataType() != ftAutoInc && f->IsNull())
                    DatabaseErrorFmt("Field '%s' must have a value", f->DisplayName());
            }
            if (FState == dsEdit) UpdateCursorPos();
            CheckOperation([this] { InternalPost(); }, OnPostError);
            FreeFieldBuffers();
            SetState(dsBrowse);
            Resync(0);
            if (AfterPost) AfterPost(this);
            break;
        }
        default: break;
    }
}

void TDataSet::Cancel() {
    switch (FState) {
        case dsEdit:
        case dsInsert: {
            DataEvent(deCheckBrowseMode, 0);
            if (BeforeCancel) BeforeCancel(this);
            const bool wasInsert = FState == dsInsert;
            UpdateCursorPos();
            InternalCancel();
            FreeFieldBuffers();
            SetState(dsBrowse);
            if (wasInsert || FRecordCount > 0) Resync(0);
            if (AfterCancel) AfterCancel(this);
            break;
        }
        default: break;
    }
}

void TDataSet::Delete() {
    CheckActive();
    if (FState == dsInsert || FState == dsSetKey) {
        Cancel();
        return;
    }
    if (FRecordCount == 0) DatabaseError("Cannot perform this operation on an empty dataset");
    DataEvent(deCheckBrowseMode, 0);
    if (BeforeDelete) BeforeDelete(this);
    DoBeforeScroll();
    UpdateCursorPos();
    CheckOperation([this] { InternalDelete(); }, OnDeleteError);
    FreeFieldBuffers();
    SetState(dsBrowse);
    Resync(0);
    if (AfterDelete) AfterDelete(this);
    DoAfterScroll();
}

}  // namespace kura

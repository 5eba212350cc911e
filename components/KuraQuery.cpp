#include "components/KuraQuery.h"

#include <cstring>
#include <vector>

#include "components/FieldTypeMap.h"
#include "components/KuraDatabase.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "engine/files/FieldDesc.h"
#include "engine/sql/QueryModel.h"
#include "engine/sql/QueryStatement.h"
#include "platform/CodePage.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Field.h"

namespace kura {

namespace {

constexpr int32_t MaxStatementParameters = 1024;

bool IsBlobParamType(TFieldType type) { return type >= ftBlob && type <= ftTypedBinary; }

// Trailing blanks go; a text of blanks only is no value.
std::string TrimRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

TKuraQuery::TKuraQuery(TComponent* owner) : TKuraDBDataSet(owner), FDataLink(*this) {}

TKuraQuery::~TKuraQuery() {
    try {
        Disconnect();
    } catch (...) {
    }
    FDataLink.SetDataSource(nullptr);
}

// ---- properties ------------------------------------------------------------------------

void TKuraQuery::SetSQL(const std::string& text) {
    if (text == FSQL) return;
    Disconnect();
    FSQL = text;
    QueryChanged();
}

void TKuraQuery::QueryChanged() {
    if (Loading()) {
        TParams scratch;
        FText = scratch.ParseSQL(FSQL, false);
        FMarkers = scratch.MarkerNames;
        return;
    }
    Disconnect();
    if (!FParamCheck && !Designing()) {
        FText = FSQL;
        FMarkers.clear();
        DataEvent(dePropertyChange, 0);
        return;
    }
    TParams fresh;
    FText = fresh.ParseSQL(FSQL, true);
    FMarkers = fresh.MarkerNames;
    fresh.AssignValues(FParams);
    FParams = std::move(fresh);
    DataEvent(dePropertyChange, 0);
}

void TKuraQuery::SetRequestLive(bool value) {
    if (value == FRequestLive) return;
    // The live request is part of the plan: plan again on the next open.
    if (Prepared()) Disconnect();
    FRequestLive = value;
}

void TKuraQuery::SetMaxRowCount(int32_t value) {
    FMaxRowCount = value < 0 ? -1 : value;
    if (FStatement) {
        TSessionLock lock(DBSession());
        FStatement->SetMaxRowCount(FMaxRowCount);
    }
}

void TKuraQuery::SetReadOnly(bool value) {
    CheckInactive();
    FReadOnly = value;
}

void TKuraQuery::SetDataSource(TDataSource* value) {
    if (value && IsLinkedTo(value)) DatabaseError(msg::CircularDataLink);
    FDataLink.SetDataSource(value);
}

void TKuraQuery::DatabaseNameChanged() {
    if (!Loading()) Disconnect();
}

// ---- preparing -------------------------------------------------------------------------

void TKuraQuery::SetPrepared(bool value) {
    if (value == Prepared()) return;
    if (Active()) DatabaseError("データセットが開かれているため, この操作は実行できません");
    if (!value) {
        FreeStatement();
        return;
    }
    if (FText.size() < 2) DatabaseError(msg::NoSQLStatement);
    SetDBFlag(1, true);
    try {
        if (!FDatabase || !FDatabase->Handle()) DatabaseError(msg::DatabaseClosed);
        TKuraSession* session = DBSession();
        TSessionLock lock(session);
        auto statement = std::make_unique<TQueryStatement>(FDatabase->Handle());
        statement->LiveRequest = FRequestLive ? 1 : 0;
        statement->SetMaxRowCount(FMaxRowCount);
        statement->SetPasswordEvent([session](TQueryStatement*) { return session && session->GetPassword(); });
        statement->Prepare(FText);
        FStatement = std::move(statement);
    } catch (...) {
        SetDBFlag(1, false);
        throw;
    }
}

void TKuraQuery::FreeStatement() {
    if (!FStatement) return;
    {
        TSessionLock lock(DBSession());
        FStatement.reset();
    }
    SetDBFlag(1, false);
}

void TKuraQuery::Disconnect() {
    Close();
    SetPrepared(false);
}

// ---- running ---------------------------------------------------------------------------

TDataCursor* TKuraQuery::CreateHandle() {
    if (FExecuting) return FExecCursor;
    return GetQueryCursor();
}

TDataCursor* TKuraQuery::GetQueryCursor() {
    if (FSQL.empty()) DatabaseError(msg::NoSQLStatement);
    SetPrepared(true);
    if (GetDataSource()) SetParamsFromCursor();
    return ExecuteStatement();
}

void TKuraQuery::SetParamsFromCursor() {
    TDataSet* master = GetDataSource() ? GetDataSource()->DataSet() : nullptr;
    if (!master) return;
    for (int i = 0; i < FParams.Count(); ++i) {
        TParam& param = FParams[i];
        if (param.Bound) continue;
        TField* field = master->FindField(param.Name);
        if (!field) DatabaseErrorFmt("Field '%s' not found", param.Name);
        param.SetDataType(field->DataType());
        param.SetValue(field->Value());
        param.Bound = false;
    }
}

TDataCursor* TKuraQuery::ExecuteStatement() {
    TKuraSession* session = DBSession();
    TSessionLock lock(session);
    TQueryStatement& statement = *FStatement;
    statement.SetProgressEvent([this](TQueryStatement*, uint16_t percent, bool& abort) {
        if (OnQueryProgress) OnQueryProgress(this, percent, abort);
    });
    // One value per "?" of the text: a name used twice gives its value twice.
    std::vector<const TParam*> order;
    if (FMarkers.empty()) {
        for (int i = 0; i < FParams.Count(); ++i) order.push_back(&FParams[i]);
    } else {
        for (const std::string& name : FMarkers) {
            const TParam* param = FParams.FindParam(name);
            if (!param) DatabaseErrorFmt(msg::NoParameterValue, name);
            order.push_back(param);
        }
    }
    const int count = std::min(static_cast<int>(order.size()), MaxStatementParameters);
    std::vector<TFieldDesc> descs(static_cast<size_t>(count));
    std::vector<const TFieldDesc*> pointers;
    size_t total = 0;
    std::vector<int32_t> sizes(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        const TParam& param = *order[static_cast<size_t>(i)];
        TEngineType engine = FieldTypeToEngine(param.DataType());
        const bool byReference = param.IsByReference();
        if (byReference) {
            engine.Type = fldBLOB;
            engine.SubType = IsBlobParamType(param.DataType()) ? FieldTypeToEngine(param.DataType()).SubType
                                                               : fldstMEMO;
        }
        if (param.DataType() == ftUnknown || engine.Type == 0) DatabaseErrorFmt(msg::NoParameterValue, param.Name);
        sizes[static_cast<size_t>(i)] = param.GetDataSize();
        total += static_cast<size_t>(sizes[static_cast<size_t>(i)]) + 1;
        TFieldDesc& d = descs[static_cast<size_t>(i)];
        d.SetFieldNo(static_cast<uint16_t>(i + 1));
        d.SetName(param.Name.substr(0, platform::Cp932PrefixLength(param.Name, FIELD_NAME_LENGTH)));
        d.SetFieldType(engine.Type);
        d.SetSubType(engine.SubType);
        if (param.DataType() == ftBCD) d.SetStoredDecimals(4);
    }
    std::vector<uint8_t> buffer(total + 1, 0);
    size_t offset = 0;
    for (int i = 0; i < count; ++i) {
        const TParam& param = *order[static_cast<size_t>(i)];
        TFieldDesc& d = descs[static_cast<size_t>(i)];
        int32_t size = sizes[static_cast<size_t>(i)];
        d.SetOffset(static_cast<uint16_t>(std::min<size_t>(offset, UINT16_MAX)));
        if (offset > UINT16_MAX) DatabaseError("Parameter values are too large");
        uint8_t* slot = buffer.data() + offset;
        bool present = !param.IsNull();
        const bool isString = d.FieldType() == fldZSTRING;
        if (present && isString) {
            const std::string text = TrimRight(param.AsString());
            present = !text.empty();
            std::memcpy(slot + 1, text.data(), text.size());
            size = static_cast<int32_t>(text.size()) + 1;
        } else if (present) {
            param.GetData(slot + 1);
        }
        slot[0] = present ? 1 : 0;
        d.SetStoredSize(static_cast<uint8_t>(std::clamp(size, 0, 255)));
        offset += static_cast<size_t>(sizes[static_cast<size_t>(i)]) + 1;
        pointers.push_back(&d);
    }
    TDataCursor* cursor = nullptr;
    statement.Execute(cursor, static_cast<uint16_t>(count), pointers.empty() ? nullptr : pointers.data(),
                      buffer.data(), OnQueryProgress ? 1 : 0);
    if (cursor && cursor->IsReadOnly()) FReadOnly = true;
    FRowsAffected = statement.RowsAffected();
    FExecutionTime = statement.ExecutionTime();
    return cursor;
}

void TKuraQuery::ExecSQL() {
    CheckInactive();
    SetDBFlag(0, true);
    TDataCursor* cursor = nullptr;
    try {
        cursor = GetQueryCursor();
    } catch (...) {
        SetDBFlag(0, false);
        throw;
    }
    if (FStatement && FStatement->StatementKind() == skSelect && cursor) {
        FExecuting = true;
        FExecCursor = cursor;
        try {
            Open();
        } catch (...) {
            FExecuting = false;
            FExecCursor = nullptr;
            throw;
        }
        FExecuting = false;
        FExecCursor = nullptr;
    } else {
        SetDBFlag(0, false);
    }
}

// ---- master dataset --------------------------------------------------------------------

void TKuraQuery::RefreshParams() {
    DisableControls();
    try {
        TDataSet* master = GetDataSource() ? GetDataSource()->DataSet() : nullptr;
        if (master && master->Active() && master->State() != dsSetKey) {
            Close();
            Open();
        }
    } catch (...) {
        EnableControls();
        throw;
    }
    EnableControls();
}

void TKuraQuery::TQueryDataLink::ActiveChanged() {
    if (FQuery.Active()) FQuery.RefreshParams();
}

void TKuraQuery::TQueryDataLink::RecordChanged(TField* field) {
    if (!field && FQuery.Active()) FQuery.RefreshParams();
}

void TKuraQuery::TQueryDataLink::CheckBrowseMode() {
    if (FQuery.Active()) FQuery.CheckBrowseMode();
}

}  // namespace kura

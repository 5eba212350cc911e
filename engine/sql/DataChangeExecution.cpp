// Execution of INSERT, UPDATE and DELETE: values written into the target's record
// buffer, the statement's own transaction with its commit interval, progress.
#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <string>
#include <unordered_set>
#include <utility>

#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/core/FilterLeaf.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTokenPool.h"
#include "engine/expr/TypeCheck.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/Routines.h"
#include "engine/sql/ChangingRows.h"
#include "engine/sql/DataChange.h"
#include "engine/sql/QueryPlan.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/TargetTable.h"

namespace kura {

namespace {

// One value to store: a typed value with its bytes.
struct TValue {
    uint8_t Type = 0;
    uint8_t Subtype = 0;
    int32_t Size = 0;
    uint8_t Scale = 0;
    bool Null = true;
    const uint8_t* Data = nullptr;
    int32_t Length = 0;
};

TValue ValueOf(const TExpToken& token) {
    TValue v;
    v.Type = token.DataType;
    v.Subtype = token.DataSubtype;
    v.Size = token.DataSize;
    v.Scale = token.Scale;
    v.Null = token.IsNull != 0 || token.DataType == fldUNKNOWN;
    v.Data = token.Value.data();
    v.Length = std::min<int32_t>(token.DataSize, static_cast<int32_t>(token.Value.size()));
    return v;
}

struct TTokenHolder {
    TExpToken* Token = nullptr;
    TTokenHolder() = default;
    TTokenHolder(const TTokenHolder&) = delete;
    TTokenHolder& operator=(const TTokenHolder&) = delete;
    TTokenHolder(TTokenHolder&& other) noexcept : Token(other.Token) { other.Token = nullptr; }
    TTokenHolder& operator=(TTokenHolder&& other) noexcept {
        if (this != &other) {
            Release();
            Token = other.Token;
            other.Token = nullptr;
        }
        return *this;
    }
    ~TTokenHolder() { Release(); }
    void Release() {
        if (Token) ReleaseEvaluationResult(Token);
        Token = nullptr;
    }
};

bool IsTextValue(const TValue& v) {
    return v.Type == fldZSTRING || (v.Type == fldBLOB && (v.Subtype == fldstMEMO || v.Subtype == fldstFMTMEMO));
}

class TValueWriter {
public:
    TValueWriter(TDataQuery& query, TDataChangePlan& plan)
        : FQuery(query), FPlan(plan), FCursor(plan.Target->Cursor()),
          FStatementWord(query.Kind == skUpdate ? "UPDATE" : "INSERT") {}

    void Write(const TDataChangePlan::TColumn& column, const TValue& value) {
        uint8_t* record = FPlan.Record.data();
        const bool update = FQuery.Kind == skUpdate;
        if (column.Desc.FieldType() == fldBLOB) {
            if (value.Null && !update) {
                FCursor.PutField(column.FieldNo, record, nullptr);
                return;
            }
            uint32_t size = 0;
            FCursor.CheckBlobError(FCursor.OpenBlob(column.FieldNo, record, 2, false, true, size), column.Desc.Name());
            if (update) FCursor.CheckBlobError(FCursor.TruncateBlob(column.FieldNo, record, 0, false), column.Desc.Name());
            if (value.Null) return;
            uint32_t length = static_cast<uint32_t>(std::max(value.Length, 0));
            if (IsTextValue(value) && value.Data) length = static_cast<uint32_t>(strnlen(reinterpret_cast<const char*>(value.Data), length));
            if (length > 0) {
                FCursor.CheckBlobError(FCursor.PutBlob(column.FieldNo, record, 0, value.Data, length, false),
                                       column.Desc.Name());
            }
            return;
        }
        if (value.Null) {
            FCursor.PutField(column.FieldNo, record, nullptr);
            return;
        }
        uint8_t buffer[FieldValueBufferSize + 261] = {};
        const size_t taken = std::min<size_t>(static_cast<size_t>(std::max(value.Length, 0)), FieldValueBufferSize);
        if (value.Data && taken > 0) std::memcpy(buffer, value.Data, taken);
        uint8_t sourceType = value.Type;
        uint16_t sourceSize = static_cast<uint16_t>(std::min<int32_t>(value.Size, FieldValueBufferSize));
        if (sourceType == fldBLOB && IsTextValue(value)) sourceType = fldZSTRING;
        const uint8_t targetType = column.Desc.FieldType();
        if (sourceType != targetType) {
            if (!ConvertFieldData(sourceType, sourceSize, value.Scale, targetType, column.Desc.StoredSize(),
                                  column.Desc.StoredDecimals(), buffer)) {
                RaiseStatementError("Type mismatch between column " + column.Desc.Name() + " and " + ValueName(column) +
                                        " in " + FStatementWord + " statement",
                                    FPlan.Target->TableName());
            }
        }
        if (targetType == fldZSTRING) {
            // Never past the column, and never half of a double-byte character.
            const size_t room = column.Desc.StoredSize() > 0 ? column.Desc.StoredSize() - 1u : 0u;
            const std::string_view text(reinterpret_cast<const char*>(buffer), strnlen(reinterpret_cast<const char*>(buffer), FieldValueBufferSize));
            const size_t keep = text.size() > room ? CharPrefixDBCS(text, SIZE_MAX, room) : text.size();
            std::memset(buffer + keep, 0, sizeof(buffer) - keep);
        }
        FCursor.PutField(column.FieldNo, record, buffer);
    }

private:
    // A value as messages name it: a parameter by its number and type, since its
    // text is only the mark.
    std::string ValueName(const TDataChangePlan::TColumn& column) const {
        if (column.Value && column.Value->IsParameter != 0 && FQuery.Statement) {
            std::string name = ParameterName(FQuery.Statement->Parameters(), *column.Value);
            if (!name.empty()) return name;
        }
        return "constant value " + column.ValueText;
    }

    TDataQuery& FQuery;
    TDataChangePlan& FPlan;
    TDataCursor& FCursor;
    std::string FStatementWord;
};

// The statement's own transaction (when the caller has none) and its commit interval.
class TChangeTransaction {
public:
    TChangeTransaction(TDataQuery& query, TDataChangePlan& plan)
        : FQuery(query), FCursor(plan.Target->Cursor()), FDatabase(plan.Target->Database()) {
        FOwn = !FDatabase->InTransaction();
        if (query.CommitIntervalGiven) {
            FInterval = std::max<uint32_t>(query.CommitInterval, 1);
        } else {
            const TDataSession* session = FDatabase->Session;
            const int64_t bufferSize = session ? session->RecordBufferSize : 16384;
            const int64_t bufferCount = session ? session->RecordBufferCount : 8192;
            const int64_t recordSize = std::max<int64_t>(FCursor.GetRecordSize(), 1);
            FInterval = static_cast<uint32_t>(std::clamp<int64_t>(std::min(2 * bufferSize / recordSize, bufferCount), 1,
                                                                  INT32_MAX));
        }
        if (FOwn) FDatabase->StartTransaction();
    }
    ~TChangeTransaction() {
        if (FOwn && !FFinished && FDatabase->InTransaction()) {
            try {
                FDatabase->Rollback();
            } catch (...) {
            }
        }
    }
    TChangeTransaction(const TChangeTransaction&) = delete;
    TChangeTransaction& operator=(const TChangeTransaction&) = delete;

    // True when the row ended a stretch with an intermediate commit.
    bool RowDone() {
        ++FCount;
        if (!FOwn) FQuery.RowsAffected = FCount;
        if ((FOwn || FQuery.CommitIntervalGiven) && FCount % FInterval == 0) {
            FDatabase->Commit(false, FQuery.CommitFlush != 0);
            // The tables keep their transaction through an intermediate commit; the
            // database joins it again so that the statement, or its caller, still
            // ends it.
            if (!FDatabase->InTransaction()) FDatabase->StartTransaction();
            FCursor.SaveChangeCounters();
            FQuery.RowsAffected = FCount;
            return true;
        }
        return false;
    }
    uint32_t Interval() const { return FInterval; }
    // The next RowDone commits.
    bool CommitsNext() const { return (FOwn || FQuery.CommitIntervalGiven) && (FCount + 1) % FInterval == 0; }
    void Finish() {
        if (FOwn) FDatabase->Commit(true, FQuery.CommitFlush != 0);
        FFinished = true;
        FQuery.RowsAffected = FCount;
    }

private:
    TDataQuery& FQuery;
    TDataCursor& FCursor;
    TDataDirectory* FDatabase;
    bool FOwn = false;
    bool FFinished = false;
    uint32_t FInterval = 1;
    uint32_t FCount = 0;
};

// Progress over a known number of rows, in steps of the session's interval.
class TRowProgress {
public:
    TRowProgress(TQueryStatement* statement, uint32_t total) : FStatement(statement), FTotal(total) {
        FInterval = statement ? statement->GetProgressInterval() : 100;
    }
    // The callee may ask to stop (Aborted); the row at hand is still done.
    void Step() {
        const bool reports = ReportsNext();
        ++FCounter;
        if (reports) {
            const int32_t percent = Percent(FCounter);
            FStatement->DoProgress(static_cast<uint16_t>(percent), FAbort);
            FLast = percent;
        }
    }
    // The next Step calls the progress event.
    bool ReportsNext() const { return FTotal > 0 && FStatement && Percent(FCounter + 1) >= FLast + FInterval; }
    bool Aborted() const { return FAbort; }
    void Finish() {
        if (FLast != 100 && FStatement) FStatement->DoProgress(100, FAbort);
    }

private:
    int32_t Percent(uint32_t counter) const {
        return static_cast<int32_t>(std::min<uint64_t>(uint64_t{counter} * 100 / FTotal, 100));
    }
    TQueryStatement* FStatement;
    uint32_t FTotal;
    uint32_t FCounter = 0;
    int32_t FInterval = 100;
    int32_t FLast = 0;
    bool FAbort = false;
};

// Inside a transaction a write bracket takes no lock and writes nothing (the
// commit takes the writer ranges and writes the files), so the writes of a run
// of rows share one bracket instead of each beginning and ending its own. The
// run ends before every progress event, whose handler may write to the table
// through another session, before every commit, and at the statement's end or
// error.
//
// Rows appended in a stretch may also have their row identifiers filed together
// at its end (deferRowIds), when nothing else reads the target meanwhile: the
// source is another table.
class TWriteStretch {
public:
    explicit TWriteStretch(TDataCursor& cursor, bool deferRowIds = false)
        : FCursor(cursor), FDeferRowIds(deferRowIds) {}
    ~TWriteStretch() {
        try {
            End();
        } catch (...) {
        }
    }
    TWriteStretch(const TWriteStretch&) = delete;
    TWriteStretch& operator=(const TWriteStretch&) = delete;
    void Enter() {
        if (FOpen) return;
        const TDataTable* table = FCursor.GetTable();
        if (!table || !table->IsTransactionLocked()) return;
        FCursor.BeginWrite();
        FOpen = true;
        if (FDeferRowIds) FCursor.DeferAppendedRowIds();
    }
    void End() {
        if (!FOpen) return;
        FOpen = false;
        try {
            FCursor.CompleteRowIds();
        } catch (...) {
            FCursor.EndWrite();
            throw;
        }
        FCursor.EndWrite();
    }
    // Around the steps of a row: the progress event and the commit after it.
    void BeforeStep(const TRowProgress& progress) {
        if (progress.ReportsNext()) End();
    }
    void BeforeRowDone(const TChangeTransaction& transaction) {
        if (transaction.CommitsNext()) End();
    }

private:
    TDataCursor& FCursor;
    bool FDeferRowIds = false;
    bool FOpen = false;
};

// The row identifiers of a stretch's appends may wait when no cursor of the
// statement's other queries (the source, its sub-queries) reads the target table.
bool OthersLeaveTarget(const TDataQuery& query, const TDataCursor& target) {
    if (!query.Statement) return false;
    for (const auto& other : query.Statement->Queries()) {
        if (!other || other.get() == &query || !other->Plan) continue;
        for (const TPlanTable& level : other->Plan->Tables)
            if (!level.Cursor || level.Cursor->GetTable() == target.GetTable()) return false;
    }
    return true;
}

TTokenHolder Evaluate(const TExpToken* node, TDataCursor* cursor, uint8_t* record) {
    TTokenHolder holder;
    holder.Token = EvaluateExpression(node, cursor ? record : nullptr, cursor, cursor ? cursor->GetLocaleID() : 0,
                                      cursor ? cursor->GetSortID() : 0, cursor ? &TDataCursor::ColumnValue : nullptr);
    return holder;
}

void ExecuteInsertValues(TDataQuery& query, TDataChangePlan& plan) {
    TDataCursor& cursor = plan.Target->Cursor();
    uint8_t* record = plan.Record.data();
    cursor.InitRecord(record);
    TValueWriter writer(query, plan);
    try {
        for (const auto& column : plan.Columns) {
            if (!column.Value) continue;
            TTokenHolder value = Evaluate(column.Value, nullptr, nullptr);
            writer.Write(column, ValueOf(*value.Token));
        }
        cursor.AppendRecord(record, false);
        // A prepared INSERT runs again on the same cursor: nothing of this row's
        // BLOBs may stay open.
        cursor.FreeAllBlobs(true);
    } catch (...) {
        cursor.DiscardRecordBlobs(record);
        throw;
    }
    query.RowsAffected = 1;
}

// A target column filled from a plain column of a source table of the same type
// and size: the field's stored bytes go to the column's store as they are, which
// is what evaluating the column and writing its value would store (the same NULL,
// trimming and case rules), without the evaluation and the copies in between.
// A text too long for the column, or for a value, takes the evaluated way with its
// cut on a character boundary.
struct TFieldCopy {
    const TPlanTable* Level = nullptr;  // none: the value is evaluated
    uint16_t Offset = 0;                // of the presence byte in the level's record
    uint8_t Size = 0;
    bool Text = false;
    std::size_t Room = 0;  // characters the target column keeps
};

TFieldCopy PlanFieldCopy(const TQueryPlan& source, const TExpToken* value, const TFieldDesc& target) {
    TFieldCopy copy;
    if (!value || value->Kind != ekColumn || value->BindSlot2 != 0 || value->BindSlot1 < 0 ||
        static_cast<std::size_t>(value->BindSlot1) >= source.Tables.size() || value->FromStringConstant != 0 ||
        value->Name == "*") {
        return copy;
    }
    const TPlanTable& level = source.Tables[static_cast<std::size_t>(value->BindSlot1)];
    if (!level.Cursor) return copy;
    TFieldDesc desc;
    level.Cursor->GetFieldDesc(value->FieldNumber, desc);
    const uint8_t type = desc.FieldType();
    const bool text = type == fldZSTRING;
    if (type != value->DataType || type != target.FieldType() || type == fldBLOB || desc.IsAutoInc() ||
        target.IsAutoInc() || desc.StoredSize() > FieldValueBufferSize || (!text && desc.StoredSize() != target.StoredSize()) ||
        static_cast<std::size_t>(desc.Offset()) + desc.StoredSize() + 1 > level.Buffer.size()) {
        return copy;
    }
    copy.Level = &level;
    copy.Offset = desc.Offset();
    copy.Size = desc.StoredSize();
    copy.Text = text;
    copy.Room = target.StoredSize() > 0 ? target.StoredSize() - 1u : 0u;
    return copy;
}

// Stores the field as the evaluated way would; false when only that way can.
bool CopyField(const TFieldCopy& copy, TDataCursor& cursor, const TDataChangePlan::TColumn& column, uint8_t* record) {
    const uint8_t* field = copy.Level->Buffer.data() + copy.Offset;
    if (copy.Level->AtEnd || field[0] == 0) {
        cursor.PutField(column.FieldNo, record, nullptr);
        return true;
    }
    if (copy.Text) {
        // An evaluated value holds at most FieldValueBufferSize bytes with its zero.
        const void* end = std::memchr(field + 1, 0, copy.Size);
        if (!end) return false;
        const auto length = static_cast<std::size_t>(static_cast<const uint8_t*>(end) - (field + 1));
        if (length > copy.Room || length + 1 > FieldValueBufferSize) return false;
    }
    cursor.PutField(column.FieldNo, record, field + 1);
    return true;
}

// The source's joined rows, each evaluated and appended as it is met.
void ExecuteInsertDirect(TDataQuery& query, TDataChangePlan& plan) {
    TQueryPlan& source = *query.InsertSource->Plan;
    TDataCursor& cursor = plan.Target->Cursor();
    uint8_t* record = plan.Record.data();
    for (TPlanTable& level : source.Tables) level.Cursor->Refresh();
    source.InSetLoaded = false;
    source.InSet.clear();
    source.ResetRows();
    TValueWriter writer(query, plan);
    TChangeTransaction transaction(query, plan);
    TRowProgress progress(query.Statement, source.Tables.empty() ? 0 : source.Tables[0].Cursor->GetRecordCount());
    const size_t count = std::min(plan.Columns.size(), source.Columns.size());
    std::vector<TFieldCopy> copies(count);
    for (size_t i = 0; i < count; ++i) copies[i] = PlanFieldCopy(source, source.Columns[i].Value, plan.Columns[i].Desc);
    TWriteStretch stretch(cursor, OthersLeaveTarget(query, cursor));
    while (source.NextRow()) {
        if (progress.Aborted()) break;
        stretch.BeforeStep(progress);
        progress.Step();
        bool accepted = true;
        for (const TExpToken* condition : source.Residual) accepted = accepted && source.Accepts(condition);
        if (!accepted) continue;
        cursor.InitRecord(record);
        try {
            for (size_t i = 0; i < count; ++i) {
                if (copies[i].Level && CopyField(copies[i], cursor, plan.Columns[i], record)) continue;
                TTokenHolder value;
                value.Token = EvaluateExpression(source.Columns[i].Value, nullptr, &source, source.LocaleId,
                                                 source.SortId, &TQueryPlan::ColumnValue);
                writer.Write(plan.Columns[i], ValueOf(*value.Token));
            }
            stretch.Enter();
            cursor.AppendRecord(record, false);
            cursor.FreeAllBlobs(true);
        } catch (...) {
            cursor.DiscardRecordBlobs(record);
            throw;
        }
        stretch.BeforeRowDone(transaction);
        transaction.RowDone();
    }
    stretch.End();
    progress.Finish();
    transaction.Finish();
}

void ExecuteInsertSelect(TDataQuery& query, TDataChangePlan& plan) {
    if (plan.DirectSource) {
        ExecuteInsertDirect(query, plan);
        return;
    }
    TDataCursor* source = plan.SourceCursor;
    if (!source) RaiseStatementError("INSERT source query has no result", plan.Target->TableName());
    TDataCursor& cursor = plan.Target->Cursor();
    uint8_t* record = plan.Record.data();
    const size_t count = plan.Columns.size();
    std::vector<TFieldDesc> descs(count);
    for (size_t i = 0; i < count; ++i) source->GetFieldDesc(static_cast<uint16_t>(i + 1), descs[i]);
    std::vector<uint8_t> sourceRecord(std::max<size_t>(source->GetCursorRecordSize(), source->GetRecordSize()), 0);
    TValueWriter writer(query, plan);
    TChangeTransaction transaction(query, plan);
    source->SetToBegin();
    TRowProgress progress(query.Statement, source->GetRecordCount());
    std::vector<uint8_t> blob;
    uint8_t buffer[FieldValueBufferSize + 261];
    TWriteStretch stretch(cursor, OthersLeaveTarget(query, cursor) && source->GetTable() != cursor.GetTable());
    while (source->GetNextRecord(sourceRecord.data()) == 0) {
        if (progress.Aborted()) break;
        stretch.BeforeStep(progress);
        progress.Step();
        cursor.InitRecord(record);
        try {
            for (size_t i = 0; i < count; ++i) {
                const uint16_t fieldNo = static_cast<uint16_t>(i + 1);
                TValue value;
                value.Type = descs[i].FieldType();
                value.Subtype = descs[i].SubType();
                value.Size = descs[i].StoredSize();
                value.Scale = descs[i].StoredDecimals();
                bool blank = true;
                if (value.Type == fldBLOB) {
                    source->GetField(fieldNo, sourceRecord.data(), nullptr, blank);
                    uint32_t size = 0;
                    if (!blank) {
                        source->CheckBlobError(source->OpenBlob(fieldNo, sourceRecord.data(), 1, false, false, size),
                                               descs[i].Name());
                        blob.assign(size + 1, 0);
                        uint32_t read = 0;
                        const TEngineErrorCode code =
                            size > 0 ? source->GetBlob(fieldNo, sourceRecord.data(), 0, blob.data(), size, read, false)
                                     : 0;
                        source->FreeBlob(fieldNo, sourceRecord.data(), false);
                        if (code != 0 && code != KURA_ENDOFBLOB) source->CheckBlobError(code, descs[i].Name());
                        value.Data = blob.data();
                        value.Length = static_cast<int32_t>(read);
                        value.Size = value.Length;
                    }
                } else {
                    std::memset(buffer, 0, sizeof(buffer));
                    source->GetField(fieldNo, sourceRecord.data(), buffer, blank);
                    value.Data = buffer;
                    value.Length = std::min<int32_t>(value.Size, FieldValueBufferSize);
                }
                value.Null = blank;
                writer.Write(plan.Columns[i], value);
            }
            stretch.Enter();
            cursor.AppendRecord(record, false);
            // The BLOBs written for this row are stored: nothing of them stays open.
            cursor.FreeAllBlobs(true);
        } catch (...) {
            cursor.DiscardRecordBlobs(record);
            throw;
        }
        stretch.BeforeRowDone(transaction);
        transaction.RowDone();
    }
    stretch.End();
    progress.Finish();
    transaction.Finish();
}

// A bound the WHERE condition puts on the first field of an index: the rows it
// accepts all lie in that key range, so only the range is read (the whole
// condition is still tested on each of its rows).
struct TKeyRange {
    uint8_t Index = NATURAL_ORDER;
    uint16_t FieldNo = 0;
    const TExpToken* Low = nullptr;   // key >= Low
    const TExpToken* High = nullptr;  // key <= High
    // The condition says no more than the range: it is an AND of at most one
    // inclusive lower and one inclusive upper bound on an integer field, so a row
    // of the range is accepted exactly when its field is not blank.
    bool Exact = true;
    int Lows = 0;
    int Highs = 0;
};

bool IsIntegerType(uint8_t type) {
    switch (type) {
        case fldINT16:
        case fldINT32:
        case fldINT64:
        case fldUINT16:
        case fldUINT32: return true;
        default: return false;
    }
}

bool IsRangeType(uint8_t type) {
    switch (type) {
        case fldINT16:
        case fldINT32:
        case fldINT64:
        case fldUINT16:
        case fldUINT32:
        case fldFLOAT:
        case fldDATE:
        case fldTIME:
        case fldTIMESTAMP: return true;
        default: return false;
    }
}

// The ascending index (primary first) whose first key field is fieldNo, for a text
// one that keeps the case; 255 none.
uint8_t IndexLeadingWith(TDataCursor& cursor, uint16_t fieldNo, bool text) {
    const uint8_t count = cursor.GetIndexCount();
    for (uint8_t slot = 0; slot <= count && slot < SYS_TEXT_SLOT; ++slot) {
        if (slot == 0 && cursor.GetNoPrimaryIndex()) continue;
        TIndexDesc desc;
        cursor.GetIndexDesc(slot, desc);
        if (desc.GetFieldCount() > 0 && desc.GetField(0) == fieldNo && desc.GetByte(ido::Descending) == 0 &&
            desc.GetOption(0) == 0 && (!text || desc.GetByte(ido::CaseInsensitive) == 0)) {
            return slot;
        }
    }
    return NATURAL_ORDER;
}

// A text bound the keys can hold as written: without a language the keys order
// as the bytes do, and the text fits the column, ends in no blank and takes no
// case the column would give it.
bool TextBoundFits(TDataCursor& cursor, const TExpToken& column, const TExpToken& value) {
    TFieldDesc field;
    cursor.GetFieldDesc(column.FieldNumber, field);
    const std::string_view text = exv::TextView(value);
    return cursor.GetLocaleID() == 0 && !text.empty() && text.size() < field.StoredSize() && text.back() != ' ' &&
           field.Bytes[fdo::Reserved] == 0;
}

// The order of two constants of one range type as the keys order them.
int BoundOrder(const TExpToken& a, const TExpToken& b) {
    auto order = [](auto x, auto y) { return x < y ? -1 : (x > y ? 1 : 0); };
    switch (a.DataType) {
        case fldZSTRING: return order(exv::TextView(a).compare(exv::TextView(b)), 0);
        case fldFLOAT:
        case fldTIMESTAMP: return order(exv::Load<double>(a), exv::Load<double>(b));
        case fldUINT32: return order(exv::Load<uint32_t>(a), exv::Load<uint32_t>(b));
        default: return order(exv::Integer(a), exv::Integer(b));
    }
}

// A comparison of a column with a constant taken into the range as its bound:
// false when it can be none.
bool AddBound(const TExpToken* column, const TExpToken* value, uint8_t code, TDataCursor& cursor, TKeyRange& range) {
    if (!column || !value || column->Kind != ekColumn || value->Kind != ekConstant || value->IsNull) return false;
    const bool text = column->DataType == fldZSTRING;
    if (!(IsRangeType(column->DataType) || text) || value->DataType != column->DataType) return false;
    if (text && !TextBoundFits(cursor, *column, *value)) return false;
    if (range.FieldNo != 0 && range.FieldNo != column->FieldNumber) return false;
    if (range.FieldNo == 0) {
        const uint8_t index = IndexLeadingWith(cursor, column->FieldNumber, text);
        if (index == NATURAL_ORDER) return false;
        range.Index = index;
        range.FieldNo = column->FieldNumber;
    }
    // Of two bounds on one side the range keeps the narrower.
    if (code == opEqual || code == opGreater || code == opGreaterEqual) {
        if (!range.Low || BoundOrder(*value, *range.Low) > 0) range.Low = value;
        ++range.Lows;
    }
    if (code == opEqual || code == opLess || code == opLessEqual) {
        if (!range.High || BoundOrder(*value, *range.High) < 0) range.High = value;
        ++range.Highs;
    }
    return true;
}

void CollectBounds(const TExpToken* node, TDataCursor& cursor, TKeyRange& range) {
    if (node && node->Kind == ekBinary && node->Code == opAnd) {
        CollectBounds(node->Left, cursor, range);
        CollectBounds(node->Right, cursor, range);
        return;
    }
    // Whatever is not taken as an inclusive bound below leaves a test to make.
    const bool exactBefore = range.Exact;
    range.Exact = false;
    if (!node) return;
    if (node->Kind == ekPredicate && node->Code == prBetween && node->ArgumentCount() == 3) {
        // The two inclusive bounds it names.
        const TExpToken* column = node->GetArgument(0);
        if (AddBound(column, node->GetArgument(1), opGreaterEqual, cursor, range) &&
            AddBound(column, node->GetArgument(2), opLessEqual, cursor, range))
            range.Exact = exactBefore && IsIntegerType(column->DataType);
        return;
    }
    if (node->Kind != ekBinary || !IsComparisonCode(node->Code) || node->Code == opNotEqual) return;
    const TComparisonOperands o = ColumnFirst(*node);
    if (AddBound(o.Subject, o.Constant, o.Op, cursor, range))
        range.Exact = exactBefore && o.Op != opGreater && o.Op != opLess && IsIntegerType(o.Subject->DataType);
}

// The level of the join that steps the target's records; -1 without a join.
int32_t TargetLevel(TDataQuery& query, const TDataChangePlan& plan) {
    return plan.Join ? plan.Join->LevelOf(query.FirstSourceTable()) : -1;
}

// Whether the join's current row passes the conditions left to the whole row.
bool RowPasses(TQueryPlan& join) {
    return std::all_of(join.Residual.begin(), join.Residual.end(),
                       [&](const TExpToken* condition) { return join.Accepts(condition); });
}

// A row to change: the target record's natural-order bookmark.
struct TMark {
    uint32_t RecordNo = 0;
};

// The records of a joined DELETE that a joined row accepts, each once, in record
// order. Deleting changes no record a condition reads, so every row is known
// before the first delete; a self-join's other name so reads the table as it was
// when the statement started.
std::vector<TMark> MarkJoinedRows(TDataQuery& query, TDataChangePlan& plan) {
    TQueryPlan& join = *plan.Join;
    const int32_t targetLevel = TargetLevel(query, plan);
    if (targetLevel < 0)
        RaiseStatementError("Internal join error attempting to validate table correlation names involved in join");
    const TPlanTable* target = &join.Tables[static_cast<std::size_t>(targetLevel)];
    std::vector<TMark> marks;
    std::unordered_set<uint32_t> seen;
    join.ResetRows();
    while (join.NextRow()) {
        if (target->AtEnd || !RowPasses(join)) continue;
        const uint32_t recordNo = TDataCursor::GetBufferRecordNo(target->Record());
        if (seen.insert(recordNo).second) marks.push_back({recordNo});
    }
    std::sort(marks.begin(), marks.end(), [](const TMark& a, const TMark& b) { return a.RecordNo < b.RecordNo; });
    return marks;
}

// Record numbers ascending: two counting passes of 16 bits, far cheaper than a
// comparison sort for the tens of thousands of rows a statement marks.
void SortNumbers(std::vector<uint32_t>& numbers) {
    if (std::is_sorted(numbers.begin(), numbers.end())) return;
    std::vector<uint32_t> scratch(numbers.size());
    for (const int shift : {0, 16}) {
        std::vector<std::size_t> start((1u << 16) + 1, 0);
        for (uint32_t n : numbers) ++start[(n >> shift & 0xFFFFu) + 1];
        for (std::size_t b = 1; b < start.size(); ++b) start[b] += start[b - 1];
        for (uint32_t n : numbers) scratch[start[n >> shift & 0xFFFFu]++] = n;
        numbers.swap(scratch);
    }
}

// Every record the WHERE condition accepts, as bookmarks of the natural order, in
// record-number order: the order of a walk of the table, whichever index found
// them. The records of a stretch then lie together in the file, so their reads,
// their locks and the commit's writes take few calls; and a change to a key of any
// index, also of the one the rows were found in, can neither bring a record round
// a second time nor keep the walk going for ever.
std::vector<TMark> MarkRows(TDataQuery& query, TDataChangePlan& plan) {
    if (plan.Join) return MarkJoinedRows(query, plan);
    TDataCursor& cursor = plan.Target->Cursor();
    uint8_t* record = plan.Record.data();
    TKeyRange range;
    if (query.Where) CollectBounds(query.Where, cursor, range);
    const bool ranged = range.Index != NATURAL_ORDER && (range.Low || range.High);
    // Of two bounds on one side the range holds one: the other is tested.
    const bool exact = ranged && range.Exact && range.Lows <= 1 && range.Highs <= 1;
    std::vector<uint32_t> numbers;
    if (ranged) {
        cursor.SwitchToIndex(range.Index);
        std::vector<uint8_t> low(plan.Record.size(), 0), high(plan.Record.size(), 0);
        if (range.Low) cursor.PutField(range.FieldNo, low.data(), range.Low->Value.data());
        if (range.High) cursor.PutField(range.FieldNo, high.data(), range.High->Value.data());
        cursor.SetRange(0, range.Low ? low.data() : nullptr, 1, range.High ? high.data() : nullptr, 1);
    } else {
        cursor.SwitchToIndex(NATURAL_ORDER);
    }
    cursor.SetToBegin();
    // The keys say it all: no record is read, and the rows whose field is blank
    // are passed over by the key's first byte (the index is ascending).
    if (exact) cursor.CollectKeyRecordNumbers(numbers, true);
    while (!exact && cursor.GetNextRecord(record) == 0) {
        if (query.Where) {
            TTokenHolder result = Evaluate(query.Where, &cursor, record);
            const TExpToken& t = *result.Token;
            if (t.IsNull || t.Value.size() < 2 || (t.Value[0] == 0 && t.Value[1] == 0)) continue;
        }
        numbers.push_back(cursor.GetCurrentRecordNumber());
    }
    if (ranged) cursor.ResetRange();
    cursor.SwitchToIndex(NATURAL_ORDER);
    SortNumbers(numbers);
    std::vector<TMark> marks(numbers.size());
    for (size_t i = 0; i < numbers.size(); ++i) marks[i].RecordNo = numbers[i];
    return marks;
}

// The locks of the marked rows a stretch between two commits will write, taken
// ahead by the table in runs of consecutive record numbers. The statement gives
// back at its end those of rows it did not write (an abort, an error), so that
// the transaction it runs in holds no lock of a record it did not touch.
//
// Rows visited in record-number order also tell the cursor which records the
// stretch reads (TDataCursor::PlanRecordVisits): a miss reads those after it
// along with it.
class TLocksAhead {
public:
    TLocksAhead(TDataCursor& cursor, const std::vector<TMark>& marks, uint32_t stretch)
        : FCursor(cursor), FMarks(marks), FStretch(std::max<uint32_t>(stretch, 1)),
          FInFileOrder(std::is_sorted(marks.begin(), marks.end(),
                                      [](const TMark& a, const TMark& b) { return a.RecordNo < b.RecordNo; })) {}
    ~TLocksAhead() {
        FCursor.PlanRecordVisits(nullptr);
        try {
            FCursor.ReleaseLocksAhead();
        } catch (...) {
            // The statement's own outcome is what the caller must see.
        }
    }
    TLocksAhead(const TLocksAhead&) = delete;
    TLocksAhead& operator=(const TLocksAhead&) = delete;
    void Before(std::size_t i) {
        if (i < FNext) return;
        FNext = i + FStretch;
        FNumbers.clear();
        // The joined rows of one record follow each other: it is visited once.
        for (std::size_t k = i; k < std::min(FNext, FMarks.size()); ++k)
            if (FNumbers.empty() || FNumbers.back() != FMarks[k].RecordNo) FNumbers.push_back(FMarks[k].RecordNo);
        FCursor.LockRecordsAhead(FNumbers);
        if (FInFileOrder) FCursor.PlanRecordVisits(&FNumbers);
    }
    // A commit gave back what was not written: the next row starts a stretch.
    void Committed() { FNext = 0; }

private:
    TDataCursor& FCursor;
    const std::vector<TMark>& FMarks;
    std::size_t FStretch;
    bool FInFileOrder;
    std::vector<uint32_t> FNumbers;  // the stretch's records
    std::size_t FNext = 0;
};

// The locks of a joined UPDATE's records, taken ahead where the rows are not
// known before they come: a run of the record numbers from the one about to
// change on, which the target's level reads next. The run doubles (up to a
// stretch between two commits) while each change lies within a run's length of
// the one before, and is two records where they lie apart, so a change that
// finds its record among them takes no lock call of its own. What no row claimed
// goes back at the next commit, or at the statement's end.
class TLocksOfComingRows {
public:
    TLocksOfComingRows(TDataCursor& cursor, uint32_t stretch)
        : FCursor(cursor), FMost(std::max<uint32_t>(stretch, 2)) {}
    ~TLocksOfComingRows() {
        try {
            FCursor.ReleaseLocksAhead();
        } catch (...) {
            // The statement's own outcome is what the caller must see.
        }
    }
    TLocksOfComingRows(const TLocksOfComingRows&) = delete;
    TLocksOfComingRows& operator=(const TLocksOfComingRows&) = delete;
    void Before(uint32_t recordNo) {
        const uint32_t last = std::exchange(FLast, recordNo);
        if (recordNo >= FFirst && recordNo < FEnd) return;
        FLength = recordNo > last && recordNo - last <= FLength ? std::min(FLength * 2, FMost) : 2;
        FFirst = recordNo;
        FEnd = recordNo + std::min(FLength, UINT32_MAX - recordNo);
        FNumbers.resize(FEnd - FFirst);
        std::iota(FNumbers.begin(), FNumbers.end(), FFirst);
        FCursor.LockRecordsAhead(FNumbers);
    }
    void Committed() { FEnd = FFirst; }

private:
    TDataCursor& FCursor;
    uint32_t FMost;
    uint32_t FLast = 0;  // the record of the row before
    uint32_t FLength = 2;
    uint32_t FFirst = 0;
    uint32_t FEnd = 0;
    std::vector<uint32_t> FNumbers;
};

// The row's values, each worked out on the record as it was before this row
// changed it, written into the record, which is stored; a failure gives up the
// edit and its lock.
template <typename Evaluator>
void StoreRow(TDataChangePlan& plan, TValueWriter& writer, TWriteStretch& stretch, std::vector<TTokenHolder>& values,
              Evaluator evaluate) {
    TDataCursor& cursor = plan.Target->Cursor();
    try {
        for (size_t c = 0; c < plan.Columns.size(); ++c) values[c] = evaluate(plan.Columns[c].Value);
        for (size_t c = 0; c < plan.Columns.size(); ++c) {
            if (values[c].Token) writer.Write(plan.Columns[c], ValueOf(*values[c].Token));
            values[c].Release();
        }
        stretch.Enter();
        cursor.ModifyRecord(plan.Record.data(), true, false);
        cursor.FreeAllBlobs(true);
    } catch (...) {
        try {
            cursor.CancelRecord();
        } catch (...) {
        }
        throw;
    }
}

// A joined UPDATE steps the join's nested loop and applies each joined row as it
// comes, its levels in the join tree's order (JoinTree.h): the target's level
// first, unless a RIGHT OUTER JOIN turns the loops round (its joined table first,
// then the table that owns the join, then the tables that one was joined to, the
// target among them, restarting under the level before it), each table in record
// order. After each row the target's record is stored and read again into its
// level, so that every condition sees the record where the loop decides it
// (TQueryPlan::PlaceConditions): a joined table's own when that table reads a
// record, a join's comparison with the target when the joined table restarts,
// the rest of WHERE on each joined row.
void ExecuteJoinedUpdate(TDataQuery& query, TDataChangePlan& plan) {
    TQueryPlan& join = *plan.Join;
    TDataCursor& cursor = plan.Target->Cursor();
    uint8_t* record = plan.Record.data();
    const int32_t targetLevel = TargetLevel(query, plan);
    if (targetLevel < 0)
        RaiseStatementError("Internal join error attempting to validate table correlation names involved in join");
    TPlanTable& target = join.Tables[static_cast<std::size_t>(targetLevel)];
    const std::size_t recordSize =
        std::min({target.Buffer.size(), plan.Record.size(), std::size_t{cursor.GetRecordSize()}});
    TChangeTransaction transaction(query, plan);
    std::vector<uint16_t> written;
    for (const auto& column : plan.Columns) written.push_back(column.FieldNo);
    for (TPlanTable& level : join.Tables) level.Cursor->Refresh();
    join.ResetRows();
    TChangingRows rows(join, static_cast<std::size_t>(targetLevel), written);
    TRowProgress progress(query.Statement, join.Tables[0].Cursor->GetRecordCount());
    TValueWriter writer(query, plan);
    std::vector<TTokenHolder> values(plan.Columns.size());
    TLocksOfComingRows ahead(cursor, transaction.Interval());
    TWriteStretch stretch(cursor);
    uint32_t outer = 0;    // the driving level's record
    uint32_t changed = 0;  // the record the last row changed
    while (!progress.Aborted() && join.NextRow()) {
        const TPlanTable& driving = join.Tables[0];
        const uint32_t drivingNo = driving.AtEnd ? 0 : TDataCursor::GetBufferRecordNo(driving.Record());
        if (drivingNo != outer) {
            outer = drivingNo;
            stretch.BeforeStep(progress);
            progress.Step();
        }
        if (target.AtEnd || !RowPasses(join)) continue;
        const uint32_t recordNo = TDataCursor::GetBufferRecordNo(target.Record());
        ahead.Before(recordNo);
        if (!cursor.ReadRecordToChange(recordNo, record, true)) continue;
        std::memcpy(target.Buffer.data(), record, recordSize);
        rows.TargetChanging();
        // Where the table changed only by this row, the record stays where it
        // stood in record order: the cursor that steps the target's level need not
        // find its place again.
        const bool onlyThisRow = !rows.ReadsTarget() && !target.Cursor->TableHasChanged();
        StoreRow(plan, writer, stretch, values, [&](const TExpToken* value) {
            TTokenHolder holder;
            holder.Token =
                EvaluateExpression(value, nullptr, &join, join.LocaleId, join.SortId, &TQueryPlan::ColumnValue);
            return holder;
        });
        if (cursor.ReadRecordToChange(recordNo, record, false)) {
            std::memcpy(target.Buffer.data(), record, recordSize);
            rows.TargetChanged();
        }
        if (onlyThisRow) target.Cursor->SaveChangeCounters();
        // The further joined rows of a record change it again but count once; a
        // record met again after another (another table drives) counts again.
        if (recordNo == changed) continue;
        changed = recordNo;
        stretch.BeforeRowDone(transaction);
        if (transaction.RowDone()) ahead.Committed();
    }
    stretch.End();
    progress.Finish();
    transaction.Finish();
}

void ExecuteUpdate(TDataQuery& query, TDataChangePlan& plan) {
    TDataCursor& cursor = plan.Target->Cursor();
    uint8_t* record = plan.Record.data();
    cursor.SuppressAutoInc(query.NoAutoInc != 0);
    if (plan.Join) {
        ExecuteJoinedUpdate(query, plan);
        return;
    }
    TChangeTransaction transaction(query, plan);
    std::vector<TMark> marks = MarkRows(query, plan);
    TRowProgress progress(query.Statement, static_cast<uint32_t>(marks.size()));
    TValueWriter writer(query, plan);
    std::vector<TTokenHolder> values(plan.Columns.size());
    TLocksAhead ahead(cursor, marks, transaction.Interval());
    TWriteStretch stretch(cursor);
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const TMark& mark = marks[i];
        if (progress.Aborted()) break;
        stretch.BeforeStep(progress);
        progress.Step();
        ahead.Before(i);
        if (!cursor.ReadRecordToChange(mark.RecordNo, record, true)) continue;
        StoreRow(plan, writer, stretch, values,
                 [&](const TExpToken* value) { return Evaluate(value, &cursor, record); });
        stretch.BeforeRowDone(transaction);
        if (transaction.RowDone()) ahead.Committed();
    }
    stretch.End();
    progress.Finish();
    transaction.Finish();
}

void ExecuteDelete(TDataQuery& query, TDataChangePlan& plan) {
    TDataCursor& cursor = plan.Target->Cursor();
    uint8_t* record = plan.Record.data();
    TChangeTransaction transaction(query, plan);
    const std::vector<TMark> marks = MarkRows(query, plan);
    TRowProgress progress(query.Statement, static_cast<uint32_t>(marks.size()));
    TLocksAhead ahead(cursor, marks, transaction.Interval());
    TWriteStretch stretch(cursor);
    for (std::size_t i = 0; i < marks.size(); ++i) {
        const TMark& mark = marks[i];
        if (progress.Aborted()) break;
        stretch.BeforeStep(progress);
        progress.Step();
        ahead.Before(i);
        if (!cursor.ReadRecordToChange(mark.RecordNo, record, false)) continue;
        stretch.Enter();
        cursor.DeleteRecord(record, false);
        stretch.BeforeRowDone(transaction);
        if (transaction.RowDone()) ahead.Committed();
    }
    stretch.End();
    progress.Finish();
    transaction.Finish();
}

}  // namespace

void ExecuteDataChange(TDataQuery& query, TDataChangePlan& plan) {
    if (!plan.Prepared || !plan.Target) RaiseStatementError("Statement is not prepared");
    query.RowsAffected = 0;
    // Conditions and values are evaluated for every row: their nodes stay on this
    // thread for the whole statement.
    TEvaluationBatch batch;
    TDataCursor& cursor = plan.Target->Cursor();
    if (query.Kind != skDelete) cursor.SuppressAutoInc(query.NoAutoInc != 0);
    // Rows are written without moving the cursor onto them (the walks position it
    // themselves), so a bulk statement costs no repositioning per row.
    if (query.Kind != skInsert || query.InsertFromSelect) cursor.Refresh();
    switch (query.Kind) {
        case skInsert:
            if (query.InsertFromSelect) {
                ExecuteInsertSelect(query, plan);
            } else {
                ExecuteInsertValues(query, plan);
            }
            break;
        case skUpdate: ExecuteUpdate(query, plan); break;
        case skDelete: ExecuteDelete(query, plan); break;
        default: break;
    }
}

}  // namespace kura

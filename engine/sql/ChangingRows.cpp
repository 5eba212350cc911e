#include "engine/sql/ChangingRows.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>

#include "engine/core/DataCursor.h"
#include "engine/core/DataSession.h"
#include "engine/core/DataTable.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/Evaluate.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/RecordCache.h"
#include "engine/files/HeldChanges.h"
#include "engine/files/Locale.h"
#include "engine/files/NameRoutines.h"
#include "engine/sql/SourceTable.h"

namespace kura {

namespace {

// Whether the tree reads one of the level's fields.
bool ReadsField(const TExpToken* node, int32_t level, const std::vector<uint16_t>& fields) {
    if (!node) return false;
    if (node->Kind == ekColumn && node->BindSlot2 == 0 && node->BindSlot1 == level &&
        std::find(fields.begin(), fields.end(), node->FieldNumber) != fields.end())
        return true;
    if (ReadsField(node->Left, level, fields) || ReadsField(node->Right, level, fields) ||
        ReadsField(node->Third, level, fields))
        return true;
    return std::any_of(node->Arguments.begin(), node->Arguments.end(),
                       [&](const TExpToken* a) { return ReadsField(a, level, fields); });
}

// The fields of the level that the tree reads.
void CollectFields(const TExpToken* node, int32_t level, std::vector<uint16_t>& fields) {
    if (!node) return;
    if (node->Kind == ekColumn && node->BindSlot2 == 0 && node->BindSlot1 == level &&
        std::find(fields.begin(), fields.end(), node->FieldNumber) == fields.end())
        fields.push_back(node->FieldNumber);
    CollectFields(node->Left, level, fields);
    CollectFields(node->Right, level, fields);
    CollectFields(node->Third, level, fields);
    for (const TExpToken* a : node->Arguments) CollectFields(a, level, fields);
}

// The 32-bit key of a value a memory join compares exactly: an integral number
// in the range of 32 bits as itself, in order (direct), any other value as a
// hash.
uint32_t NumberKey(const THashKey& packed, bool& direct) {
    uint8_t bytes[16];
    std::memcpy(bytes, &packed.Head, 8);
    std::memcpy(bytes + 8, &packed.Tail, 8);
    int64_t n = 0;
    std::memcpy(&n, bytes + 1, 8);
    direct = bytes[15] == 9 && bytes[0] == 'I' && n >= INT32_MIN && n <= INT32_MAX;
    if (direct) return static_cast<uint32_t>(static_cast<int32_t>(n)) ^ 0x80000000u;
    const size_t hash = THashKeyHash{}(packed);
    return static_cast<uint32_t>(hash ^ (uint64_t{hash} >> 32));
}

// The statement's memory: the session's budget for a transaction's changes.
int64_t MemoryOf(const TQueryPlan& join) {
    return (join.Context.Session ? join.Context.Session->TransactionMemory : DEFAULT_TRANSACTION_MEMORY) / 2;
}

std::string FolderOf(const TQueryPlan& join, size_t target) {
    const TDataTable* table = join.Tables[target].Cursor->GetTable();
    if (table) return table->GetPrivateDirectory();
    return join.Context.Session ? join.Context.Session->GetDatabasePath() : std::string();
}

// Where the before-images lie (by record number) and the BLOB values they hold.
constexpr int64_t BEFORE_REGION = 0;
constexpr int64_t BLOB_REGION = TStatementKey::REGION_SIZE;
// A before-image's BLOB value: presence, declared size, length, then its bytes.
constexpr int64_t BLOB_HEADER = 9;

// What a record moved to another key takes at the most: its node in the list of
// moved records, its share of the list's buckets, and its place among those of
// one restart.
constexpr int64_t MOVED_ENTRY_BYTES = 52;
// The gathered keys' records take a thirty-second of the statement's memory at
// the most, shared among the levels that gather.
constexpr int64_t GATHER_SHARE = 32;
// The key of every record number a gathered key keeps: one, so that they sort by number.
constexpr uint8_t NO_KEY[4] = {};

// An evaluated value, given back however the caller leaves.
struct TValue {
    TExpToken* Token;
    ~TValue() { ReleaseExpToken(Token); }
};

}  // namespace

TChangingRows::TChangingRows(TQueryPlan& join, size_t targetLevel, const std::vector<uint16_t>& writtenFields)
    : FJoin(join), FTarget(targetLevel), FLevels(join.Tables.size()),
      FScratch(MemoryOf(join), FolderOf(join, targetLevel)) {
    FMovedLimit = static_cast<size_t>(std::max<int64_t>(1, FScratch.Budget() / 192));
    TDataCursor& target = *join.Tables[targetLevel].Cursor;
    for (uint16_t field : writtenFields) {
        TFieldDesc desc;
        target.GetFieldDesc(field, desc);
        TWritten w;
        w.FieldNo = field;
        w.Blob = desc.FieldType() == fldBLOB;
        w.SubType = desc.SubType();
        w.Offset = desc.Offset();
        w.Size = w.Blob ? 8 : static_cast<uint16_t>(desc.StoredSize() + 1u);
        w.Slot = FSlotSize;
        FSlotSize += w.Size;
        FWritten.push_back(w);
    }
    join.Changing = this;
    try {
        // Another table whose records take little of the memory is held whole, as
        // a SELECT holds it: its records need no reading by number. What such
        // tables take, the scratch file keeps no longer in memory.
        int64_t whole = 0;
        for (size_t level = 0; level < join.Tables.size(); ++level) {
            FieldsRead(level);
            const TPlanTable& t = join.Tables[level];
            const int64_t bytes = int64_t{t.Cursor->GetRecordCount()} * static_cast<int64_t>(t.Buffer.size() + 32);
            FLevels[level].Whole = level != FTarget && t.HashColumn && !SameTable(level) &&
                                   whole + bytes <= FScratch.Budget() / 2;
            if (FLevels[level].Whole) whole += bytes;
        }
        for (size_t level = 0; level < join.Tables.size(); ++level) Plan(level, writtenFields);
        // The gathered keys' records and the moved records are held apart from
        // the scratch file, in what it keeps no longer in memory either; a
        // gathered key holds half its share, so that its lists' growth keeps
        // within it.
        const int64_t free = FScratch.Budget() - whole;
        const auto gathers = static_cast<int64_t>(
            std::count_if(FLevels.begin(), FLevels.end(), [](const TLevel& l) { return l.Way == TWay::Gather; }));
        int64_t aside = 0;
        for (size_t level = 0; level < join.Tables.size(); ++level) {
            if (FLevels[level].Way != TWay::Gather) continue;
            const int64_t share = free / GATHER_SHARE / gathers;
            const auto entry = static_cast<int64_t>(join.Tables[level].Buffer.size() + 8);
            FLevels[level].GatherMost = static_cast<size_t>(std::max<int64_t>(1, share / 2 / entry));
            aside += share;
        }
        if (FLevels[FTarget].KeyWritten) aside += static_cast<int64_t>(FMovedLimit) * MOVED_ENTRY_BYTES;
        FScratch.SetLimit(free - aside);
        // Another name's key as the table is before the first change.
        for (size_t level = 0; level < join.Tables.size(); ++level)
            if (FLevels[level].Way == TWay::Keyed && SameTable(level)) BuildKey(level);
    } catch (...) {
        for (TPlanTable& t : join.Tables) t.ReadByChange = false;
        join.Changing = nullptr;
        throw;
    }
}

TChangingRows::~TChangingRows() {
    for (TPlanTable& t : FJoin.Tables) t.ReadByChange = false;
    FJoin.Changing = nullptr;
}

bool TChangingRows::SameTable(size_t level) const {
    const TPlanTable& t = FJoin.Tables[level];
    const TPlanTable& target = FJoin.Tables[FTarget];
    // A remote cursor holds no table of its own: the name tells.
    return level != FTarget && (t.Cursor->GetTable() ? t.Cursor->GetTable() == target.Cursor->GetTable()
                                                     : t.Database == target.Database &&
                                                           SameNameText(t.Source->TableName, target.Source->TableName));
}

void TChangingRows::Plan(size_t level, const std::vector<uint16_t>& writtenFields) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    if (!SameTable(level)) {
        // An index finds a key's records in the order they were filed, not in
        // record order; a key made for the statement holds no record.
        l.Changing = level == FTarget && t.HashColumn;
        l.KeyWritten = l.Changing && std::find(writtenFields.begin(), writtenFields.end(),
                                               t.HashColumn->FieldNumber) != writtenFields.end();
        if (t.HashColumn && !l.Whole)
            MakeKey(level, TKeyKind::Hash, t.HashColumn, t.HashValue);
        else if (t.RangeValue)
            l.Way = TWay::Gather;
        t.ReadByChange = l.Way != TWay::Cursor;
        return;
    }
    const auto index = static_cast<int32_t>(level);
    const TDataQuery& query = FJoin.Query;
    bool reads = ReadsField(query.Where, index, writtenFields);
    for (const auto& join : query.Joins) reads = reads || ReadsField(join->Condition, index, writtenFields);
    for (const auto& value : query.UpdateValues) reads = reads || ReadsField(value->Expression, index, writtenFields);
    l.Before = reads;
    FKeepsBefore = FKeepsBefore || reads;
    const auto writes = [&](uint16_t field) {
        return std::find(writtenFields.begin(), writtenFields.end(), field) != writtenFields.end();
    };
    if (t.HashColumn) {
        MakeKey(level, TKeyKind::Hash, t.HashColumn, t.HashValue);
    } else if (t.RangeValue && t.RangeIndex != NATURAL_ORDER && !writes(t.RangeField)) {
        // Through the index as the table is, while no row writes its key; a
        // key range of the changing table takes descents of the index for its
        // bounds and its start, and finds its place again after every change, so
        // started again many times against the table's size (about what making
        // a key costs: a range costs as much as taking 50 to 60 records into a
        // key, measured), the level takes a key made for the statement instead.
        l.Way = TWay::Gather;
        if (t.Cursor->GetTable()) l.KeyAfter = t.Cursor->GetTableRecordCount() / 64;
    } else {
        // An equality with a value of the levels before on a column of the
        // level: the index's own where no index serves it or a row writes it.
        for (const TExpToken* c : t.Conditions) {
            if (l.Way != TWay::Cursor) break;
            if (c->Kind != ekBinary || c->Code != opEqual || !c->Left || !c->Right) continue;
            for (const TExpToken* column : {c->Left, c->Right}) {
                const TExpToken* value = column == c->Left ? c->Right : c->Left;
                if (!IsSourceColumn(column) || column->BindSlot1 != index || DeepestLevel(value) >= index ||
                    HasSubSelect(value) || (t.RangeValue && value != t.RangeValue))
                    continue;
                MakeKeyOf(level, column, value);
                if (l.Way != TWay::Cursor) break;
            }
        }
        if (l.Way == TWay::Cursor && reads) l.Way = TWay::Scan;
    }
    t.ReadByChange = l.Way != TWay::Cursor;
}

void TChangingRows::FieldsRead(size_t level) {
    const TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    const auto index = static_cast<int32_t>(level);
    std::vector<uint16_t> fields;
    const TDataQuery& query = FJoin.Query;
    for (const TExpToken* root : {query.Where, query.Residual, query.Deferred}) CollectFields(root, index, fields);
    for (const auto& join : query.Joins) CollectFields(join->Condition, index, fields);
    for (const auto& value : query.UpdateValues) CollectFields(value->Expression, index, fields);
    for (const TQueryPlan::TConjunct& c : FJoin.Conjuncts) CollectFields(c.Node, index, fields);
    for (const TExpToken* c : FJoin.Residual) CollectFields(c, index, fields);
    for (const TPlanTable& other : FJoin.Tables) {
        for (const auto* list : {&other.Conditions, &other.GroupConditions, &other.LocalConditions})
            for (const TExpToken* c : *list) CollectFields(c, index, fields);
        for (const TExpToken* c : {other.HashColumn, other.HashValue, other.RangeValue}) CollectFields(c, index, fields);
    }
    std::sort(fields.begin(), fields.end());
    l.Fields.clear();
    l.CarriedSize = 0;
    for (uint16_t field : fields) {
        TFieldDesc desc;
        t.Cursor->GetFieldDesc(field, desc);
        if (desc.FieldType() == fldBLOB || desc.Computed() != 0) {
            l.Fields.clear();
            return;
        }
        TCarried c;
        c.Offset = desc.Offset();
        c.Size = desc.IsAutoInc() ? uint16_t{4} : static_cast<uint16_t>(desc.StoredSize() + 1u);
        l.Fields.push_back(c);
        l.CarriedSize = static_cast<uint16_t>(l.CarriedSize + c.Size);
    }
    // Carried bytes take at most a quarter of a page an entry, and never more
    // than the record.
    l.Carries = l.CarriedSize <= std::min<size_t>(SCRATCH_PAGE_SIZE / 4, t.Buffer.size());
}

void TChangingRows::MakeKey(size_t level, TKeyKind kind, const TExpToken* column, const TExpToken* value) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    l.Way = TWay::Keyed;
    if (l.Numbers) l.Numbers->Clear();
    l.Numbers.reset();
    l.Kind = kind;
    l.Column = column;
    l.Value = value;
    TStatementKey::TCompare compare;
    switch (kind) {
        case TKeyKind::Hash:
        case TKeyKind::TextHash: l.Width = 4; break;
        case TKeyKind::Text: {
            l.Width = static_cast<uint16_t>(std::clamp<int32_t>(column->DataSize + 1, 2, 1024));
            const uint16_t width = l.Width;
            compare = [this, width](const uint8_t* a, const uint8_t* b) {
                return CompareStringsByLocale(FJoin.LocaleId, FJoin.SortId, reinterpret_cast<const char*>(a), false,
                                              width, reinterpret_cast<const char*>(b));
            };
            break;
        }
        case TKeyKind::IndexKey: {
            // The first key field's bytes, as the index compares them.
            TFieldDesc field;
            t.Cursor->GetFieldDesc(t.RangeField, field);
            l.Width = static_cast<uint16_t>(1 + GetFieldDataSize(field.FieldType(), field.StoredSize()));
            TDataCursor* cursor = t.Cursor.get();
            const uint16_t width = l.Width;
            compare = [cursor, width](const uint8_t* a, const uint8_t* b) { return cursor->CompareKeys(a, b, width); };
            break;
        }
    }
    l.Key = std::make_unique<TStatementKey>(FScratch, FNextRegion++ * TStatementKey::REGION_SIZE, l.Width,
                                            l.Carries ? l.CarriedSize : uint16_t{0}, std::move(compare),
                                            kind == TKeyKind::TextHash);
    if (t.RangeIndex != NATURAL_ORDER) ReadInRecordOrder(level);
}

void TChangingRows::ReadInRecordOrder(size_t level) {
    TLevel& l = FLevels[level];
    if (l.Reader) return;
    l.Reader.reset(FJoin.Tables[level].Cursor->CloneCursor());
    l.Reader->ResetRange();
    l.Reader->SwitchToIndex(NATURAL_ORDER);
}

void TChangingRows::MakeKeyOf(size_t level, const TExpToken* column, const TExpToken* value) {
    const TPlanTable& t = FJoin.Tables[level];
    if (column->DataType == fldZSTRING && value->DataType == fldZSTRING && value->DataSize <= column->DataSize)
        // "=" compares the texts' bytes without a locale: equal texts hash alike.
        MakeKey(level, FJoin.LocaleId == 0 ? TKeyKind::TextHash : TKeyKind::Text, column, value);
    else if (value == t.RangeValue && t.RangeIndex != NATURAL_ORDER && t.Cursor->GetTable())
        MakeKey(level, TKeyKind::IndexKey, column, value);
}

uint32_t TChangingRows::TextHashOf(const TExpToken& value) const {
    // NULL equals only NULL: a hash of its own (another that meets it is tested).
    if (value.IsNull != 0) return 0xFFFFFFFFu;
    const auto* text = reinterpret_cast<const char*>(value.Value.data());
    const size_t hash = std::hash<std::string_view>{}(std::string_view(text, strnlen(text, value.Value.size())));
    return static_cast<uint32_t>(hash ^ (uint64_t{hash} >> 32));
}

void TChangingRows::RecordKey(size_t level, const uint8_t* record, uint8_t* key) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    if (l.Kind == TKeyKind::IndexKey) {
        std::array<uint8_t, RANGE_KEY_SIZE> built{};
        t.Cursor->BuildIndexKey(record, built.data());
        std::memcpy(key, built.data(), l.Width);
        return;
    }
    TExpToken& value = FKeyValue;
    PrepareKeyToken(value, *l.Column);
    t.Cursor->GetFieldValue(record, &value);
    if (l.Kind == TKeyKind::TextHash) {
        const uint32_t hash = TextHashOf(value);
        std::memcpy(key, &hash, 4);
        return;
    }
    if (l.Kind == TKeyKind::Hash) {
        bool direct = false;
        const uint32_t number = NumberKey(PackHashKey(value), direct);
        l.Hashed = l.Hashed || !direct;
        std::memcpy(key, &number, 4);
        return;
    }
    std::memset(key, 0, l.Width);
    if (value.IsNull == 0)
        std::memcpy(key, value.Value.data(), strnlen(reinterpret_cast<const char*>(value.Value.data()),
                                                     std::min<size_t>(value.Value.size(), l.Width - 1u)));
}

bool TChangingRows::WantedKey(size_t level, uint8_t* key) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    if (l.Kind == TKeyKind::IndexKey) {
        FJoin.LoadRangeValue(t);
        RecordKey(level, t.RangeBuffer.data(), key);
        return true;
    }
    const TValue value{EvaluateExpression(l.Value, nullptr, &FJoin, FJoin.LocaleId, FJoin.SortId,
                                          &TQueryPlan::ColumnValue)};
    if (l.Kind == TKeyKind::Hash) {
        l.SoughtValue = PackHashKey(*value.Token);
        const uint32_t number = NumberKey(l.SoughtValue, l.SoughtDirect);
        std::memcpy(key, &number, 4);
        return true;
    }
    if (l.Kind == TKeyKind::TextHash) {
        const uint32_t hash = TextHashOf(*value.Token);
        std::memcpy(key, &hash, 4);
        return true;
    }
    std::memset(key, 0, l.Width);
    if (value.Token->IsNull != 0) return true;
    const auto* text = reinterpret_cast<const char*>(value.Token->Value.data());
    const size_t length = strnlen(text, value.Token->Value.size());
    // No record's text is longer than the column: such a value finds none.
    if (length >= l.Width) return false;
    std::memcpy(key, text, length);
    return true;
}

void TChangingRows::BuildKey(size_t level) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    // In record order, through a cursor that stands in no index.
    TDataCursor& cursor = l.Reader ? *l.Reader : *t.Cursor;
    l.Key->Clear();
    l.Moved.clear();
    l.Hashed = false;
    if (t.RangeActive) t.Cursor->ResetRange();
    t.RangeActive = false;
    cursor.SetToBegin();
    std::vector<uint8_t> key(l.Width), carried(l.CarriedSize);
    for (;;) {
        const TEngineErrorCode code = cursor.GetNextRecord(t.Buffer.data());
        if (code == KURA_EOF) break;
        if (code != 0) cursor.CheckError(code, {});
        t.AtEnd = false;
        if (l.Before) PutBefore(level);
        // Records that the level's own conditions refuse never enter, unless a
        // row may change them so that they hold later (the changed table's own).
        bool local = true;
        for (const TExpToken* c : t.LocalConditions) local = local && (l.Changing || FJoin.Accepts(c));
        if (!local) continue;
        RecordKey(level, t.Buffer.data(), key.data());
        if (l.Carries) {
            uint8_t* at = carried.data();
            for (const TCarried& f : l.Fields) {
                std::memcpy(at, t.Buffer.data() + f.Offset, f.Size);
                at += f.Size;
            }
        }
        l.Key->Add(key.data(), TDataCursor::GetBufferRecordNo(t.Buffer.data()), carried.data());
    }
    t.AtEnd = true;
    l.Key->Finish();
    l.Built = true;
    if (l.Before && l.Carries) DropBeforeImages();
}

void TChangingRows::DropBeforeImages() {
    if (!FKeepsBefore) return;
    for (const TLevel& l : FLevels)
        if (l.Before && !(l.Way == TWay::Keyed && l.Carries && l.Built)) return;
    FKeepsBefore = false;
    FScratch.Forget(BEFORE_REGION, 2 * TStatementKey::REGION_SIZE);
}

void TChangingRows::Gather(size_t level) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    TDataCursor& cursor = *t.Cursor;
    FJoin.LoadRangeValue(t);
    l.Records.clear();
    l.Entries.clear();
    l.Position = 0;
    l.ByNumber = false;
    // Setting the range and reading its records make one read of the table.
    ReadInOneBracket(cursor, [&] {
        cursor.SetRange(0, t.RangeBuffer.data(), 1, t.RangeBuffer.data(), 1);
        t.RangeActive = true;
        cursor.SetToBegin();
        for (;;) {
            const TEngineErrorCode code = cursor.GetNextRecord(t.Buffer.data());
            if (code == KURA_EOF) break;
            if (code != 0) cursor.CheckError(code, {});
            const uint32_t recordNo = TDataCursor::GetBufferRecordNo(t.Buffer.data());
            if (!l.ByNumber && l.Entries.size() >= l.GatherMost) GatherByNumber(level);
            if (l.ByNumber) {
                l.Numbers->Add(NO_KEY, recordNo);
                continue;
            }
            l.Entries.emplace_back(recordNo, static_cast<uint32_t>(l.Records.size()));
            l.Records.insert(l.Records.end(), t.Buffer.begin(), t.Buffer.end());
        }
        return true;
    });
    if (!l.ByNumber) {
        std::sort(l.Entries.begin(), l.Entries.end());
        return;
    }
    l.Numbers->Finish();
    l.Numbers->Seek(NO_KEY);
}

void TChangingRows::GatherByNumber(size_t level) {
    TLevel& l = FLevels[level];
    if (!l.Numbers)
        l.Numbers = std::make_unique<TStatementKey>(FScratch, FNextRegion++ * TStatementKey::REGION_SIZE,
                                                    uint16_t{sizeof NO_KEY}, uint16_t{0}, TStatementKey::TCompare(),
                                                    false);
    ReadInRecordOrder(level);
    l.Numbers->Clear();
    for (const auto& [recordNo, at] : l.Entries) l.Numbers->Add(NO_KEY, recordNo);
    l.Records.clear();
    l.Entries.clear();
    l.ByNumber = true;
}

bool TChangingRows::ReadByNumber(size_t level, uint32_t recordNo) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    TDataCursor& reader = l.Reader ? *l.Reader : *t.Cursor;
    // Records read one after another in the file (keys met in record order) read
    // the slots after them along; scattered ones alone.
    const bool block = recordNo > l.LastRead && recordNo - l.LastRead <= 8;
    l.LastRead = recordNo;
    return reader.ReadRecordByNumber(recordNo, t.Buffer.data(), block);
}

void TChangingRows::Restart(size_t level) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    l.RestartPending = !t.AtRestart.empty();
    l.RestartKept = false;
    if (!t.ReadByChange) return;
    l.Position = 0;
    switch (l.Way) {
        case TWay::Cursor: break;
        case TWay::Scan: t.Cursor->SetToBegin(); break;
        case TWay::Gather:
            if (++l.Restarts <= l.KeyAfter) {
                Gather(level);
                break;
            }
            for (const TExpToken* c : t.Conditions) {
                if (l.Way != TWay::Gather) break;
                if (c->Kind == ekBinary && c->Code == opEqual && (c->Left == t.RangeValue || c->Right == t.RangeValue))
                    MakeKeyOf(level, c->Left == t.RangeValue ? c->Right : c->Left, t.RangeValue);
            }
            if (l.Way == TWay::Gather) {
                l.KeyAfter = UINT32_MAX;
                Gather(level);
                break;
            }
            [[fallthrough]];
        case TWay::Keyed: {
            if (!l.Built) BuildKey(level);
            l.KeyDone = true;
            l.Peeked = false;
            l.MovedHere.clear();
            l.MovedAt = 0;
            l.Sought.resize(l.Width);
            uint8_t* key = l.Sought.data();
            if (!WantedKey(level, key)) break;
            l.Key->Seek(key);
            l.KeyDone = false;
            if (!l.Changing || l.Moved.empty()) break;
            uint32_t hash = 0;
            std::memcpy(&hash, key, 4);
            // In record order, once each: a record may have left the key and come
            // back (a row changed it: it is read as it is).
            const auto [first, last] = l.Moved.equal_range(hash);
            for (auto moved = first; moved != last; ++moved) l.MovedHere.push_back(moved->second);
            std::sort(l.MovedHere.begin(), l.MovedHere.end());
            l.MovedHere.erase(std::unique(l.MovedHere.begin(), l.MovedHere.end()), l.MovedHere.end());
            break;
        }
    }
}

bool TChangingRows::NextOfKey(TLevel& l, uint32_t& recordNo, const uint8_t*& carried) {
    carried = nullptr;
    const uint8_t* payload = nullptr;
    if (l.MovedHere.empty()) {
        if (l.KeyDone || !l.Key->Next(recordNo, payload)) return false;
        if (l.Carries) carried = payload;
        return true;
    }
    if (!l.Peeked && !l.KeyDone) {
        l.Peeked = l.Key->Next(l.PeekedNo, payload);
        l.KeyDone = !l.Peeked;
        if (l.Peeked && l.Carries) l.PeekedBytes.assign(payload, payload + l.CarriedSize);
    }
    const bool moved = l.MovedAt < l.MovedHere.size();
    if (l.Peeked && (!moved || l.PeekedNo <= l.MovedHere[l.MovedAt])) {
        if (moved && l.PeekedNo == l.MovedHere[l.MovedAt]) ++l.MovedAt;
        l.Peeked = false;
        recordNo = l.PeekedNo;
        if (l.Carries) carried = l.PeekedBytes.data();
        return true;
    }
    if (!moved) return false;
    recordNo = l.MovedHere[l.MovedAt++];
    return true;
}

bool TChangingRows::Next(size_t level) {
    TPlanTable& t = FJoin.Tables[level];
    TLevel& l = FLevels[level];
    switch (l.Way) {
        case TWay::Cursor: return false;
        case TWay::Gather: {
            if (l.ByNumber) {
                bool found = false;
                uint32_t recordNo = 0;
                for (const uint8_t* none = nullptr; !found && l.Numbers->Next(recordNo, none);)
                    found = ReadByNumber(level, recordNo);
                if (!found) return false;
                break;
            }
            if (l.Position >= l.Entries.size()) return false;
            std::memcpy(t.Buffer.data(), l.Records.data() + l.Entries[l.Position++].second, t.Buffer.size());
            break;
        }
        case TWay::Scan: {
            const TEngineErrorCode code = t.Cursor->GetNextRecord(t.Buffer.data());
            if (code == KURA_EOF) return false;
            if (code != 0) t.Cursor->CheckError(code, {});
            break;
        }
        case TWay::Keyed: {
            bool found = false;
            const bool exact = l.Kind == TKeyKind::Hash && t.HashCondition;
            uint32_t recordNo = 0;
            for (const uint8_t* bytes = nullptr; !found && NextOfKey(l, recordNo, bytes);) {
                const bool carried = bytes && !(l.Changing && IsChanged(recordNo));
                if (carried) {
                    PutCarried(level, recordNo, bytes);
                    found = true;
                } else {
                    found = ReadByNumber(level, recordNo);
                    if (found && l.Before) PutBefore(level);
                }
                // Where no key is hashed, a record's key as the key was made is
                // the value sought itself.
                if (!found || !exact || (carried && l.SoughtDirect && !l.Hashed)) continue;
                // Another key of the same hash, or a record a row moved away.
                TExpToken& value = FKeyValue;
                PrepareKeyToken(value, *l.Column);
                t.Cursor->GetFieldValue(t.Buffer.data(), &value);
                found = PackHashKey(value) == l.SoughtValue;
            }
            if (!found) return false;
            break;
        }
    }
    if (l.Before && l.Way != TWay::Keyed) PutBefore(level);
    return true;
}

const uint8_t* TChangingRows::TargetAtRestart(size_t level) const {
    const TLevel& l = FLevels[level];
    return l.RestartKept ? l.AtRestart.data() : nullptr;
}

bool TChangingRows::ReadsTarget() const { return FLevels[FTarget].Way != TWay::Cursor; }

void TChangingRows::PutCarried(size_t level, uint32_t recordNo, const uint8_t* carried) {
    TPlanTable& t = FJoin.Tables[level];
    // What the statement does not read of the record reads as zeros.
    std::fill(t.Buffer.begin(), t.Buffer.end(), uint8_t{0});
    dfbytes::PutU32(t.Buffer.data() + RH_NUMBER, recordNo);
    for (const TCarried& f : FLevels[level].Fields) {
        std::memcpy(t.Buffer.data() + f.Offset, carried, f.Size);
        carried += f.Size;
    }
}

bool TChangingRows::IsChanged(uint32_t recordNo) const {
    const size_t word = recordNo / 64;
    return word < FChanged.size() && (FChanged[word] >> (recordNo % 64) & 1) != 0;
}

void TChangingRows::KeepBefore(const uint8_t* record) {
    const uint32_t recordNo = TDataCursor::GetBufferRecordNo(record);
    std::vector<uint8_t> slot(FSlotSize);
    TDataCursor& cursor = *FJoin.Tables[FTarget].Cursor;
    for (const TWritten& w : FWritten) {
        if (!w.Blob) {
            std::memcpy(slot.data() + w.Slot, record + w.Offset, w.Size);
            continue;
        }
        // A BLOB the UPDATE writes may be stored again where it was: its value is kept.
        TExpToken value;
        value.Kind = ekColumn;
        value.DataType = fldBLOB;
        value.FieldNumber = w.FieldNo;
        value.DataSubtype = w.SubType;
        cursor.GetFieldValue(record, &value);
        // With the terminating zero a memo's value carries.
        const auto length = static_cast<int32_t>(
            std::min(value.Value.size(), static_cast<size_t>(std::max(value.DataSize, 0)) + 1));
        uint8_t header[BLOB_HEADER];
        header[0] = value.IsNull;
        std::memcpy(header + 1, &value.DataSize, 4);
        std::memcpy(header + 5, &length, 4);
        FScratch.Write(BLOB_REGION + FBlobEnd, header, BLOB_HEADER);
        FScratch.Write(BLOB_REGION + FBlobEnd + BLOB_HEADER, value.Value.data(), length);
        std::memcpy(slot.data() + w.Slot, &FBlobEnd, 8);
        FBlobEnd += BLOB_HEADER + length;
    }
    FScratch.Write(BEFORE_REGION + int64_t{recordNo} * FSlotSize, slot.data(), FSlotSize);
}

void TChangingRows::PutBefore(size_t level) {
    TPlanTable& t = FJoin.Tables[level];
    const uint32_t recordNo = TDataCursor::GetBufferRecordNo(t.Buffer.data());
    if (!FKeepsBefore || !IsChanged(recordNo)) return;
    for (const TWritten& w : FWritten)
        if (!w.Blob) FScratch.Read(BEFORE_REGION + int64_t{recordNo} * FSlotSize + w.Slot, t.Buffer.data() + w.Offset, w.Size);
}

bool TChangingRows::ColumnValue(size_t level, TExpToken* node) {
    const TPlanTable& t = FJoin.Tables[level];
    if (!FLevels[level].Before) return false;
    const auto w = std::find_if(FWritten.begin(), FWritten.end(),
                                [&](const TWritten& f) { return f.Blob && f.FieldNo == node->FieldNumber; });
    const uint32_t recordNo = TDataCursor::GetBufferRecordNo(t.Record());
    if (w == FWritten.end() || !FKeepsBefore || !IsChanged(recordNo)) return false;
    int64_t at = 0;
    FScratch.Read(BEFORE_REGION + int64_t{recordNo} * FSlotSize + w->Slot, &at, 8);
    uint8_t header[BLOB_HEADER];
    FScratch.Read(BLOB_REGION + at, header, BLOB_HEADER);
    int32_t dataSize = 0, length = 0;
    std::memcpy(&dataSize, header + 1, 4);
    std::memcpy(&length, header + 5, 4);
    node->SetDataSize(length);
    FScratch.Read(BLOB_REGION + at + BLOB_HEADER, node->Value.data(), length);
    node->DataSize = dataSize;
    node->IsNull = header[0];
    return true;
}

TDataCursor* TChangingRows::ReaderOnTarget(size_t level) {
    TLevel& l = FLevels[level];
    TDataCursor* reader = l.Reader ? l.Reader.get() : l.Way == TWay::Keyed ? FJoin.Tables[level].Cursor.get() : nullptr;
    return reader && reader->GetTable() && reader->GetTable() == FJoin.Tables[FTarget].Cursor->GetTable() ? reader
                                                                                                         : nullptr;
}

void TChangingRows::TargetChanging() {
    // A cursor that reads by number stands nowhere it must find again: where the
    // table changed only by this row, it takes the change as seen, instead of
    // rebuilding its record sets at its next read.
    for (size_t level = 0; level < FLevels.size(); ++level)
        if (TDataCursor* reader = ReaderOnTarget(level)) FLevels[level].OnlyThisRow = !reader->TableHasChanged();
    const TPlanTable& changed = FJoin.Tables[FTarget];
    const uint8_t* record = changed.Record();
    const uint32_t recordNo = TDataCursor::GetBufferRecordNo(record);
    if (!IsChanged(recordNo)) {
        if (FKeepsBefore) KeepBefore(record);
        if (recordNo / 64 >= FChanged.size()) FChanged.resize(recordNo / 64 + 1 + FChanged.size() / 2);
        FChanged[recordNo / 64] |= uint64_t{1} << (recordNo % 64);
    }
    for (TLevel& l : FLevels) {
        if (!l.RestartPending) continue;
        l.AtRestart.assign(record, record + changed.Buffer.size());
        l.RestartPending = false;
        l.RestartKept = true;
    }
    TLevel& own = FLevels[FTarget];
    if (own.KeyWritten) RecordKey(FTarget, record, reinterpret_cast<uint8_t*>(&FHashBefore));
}

void TChangingRows::TargetChanged() {
    for (size_t level = 0; level < FLevels.size(); ++level) {
        TDataCursor* reader = ReaderOnTarget(level);
        if (reader && std::exchange(FLevels[level].OnlyThisRow, false)) reader->SaveChangeCounters();
    }
    TLevel& own = FLevels[FTarget];
    const TPlanTable& t = FJoin.Tables[FTarget];
    if (!own.KeyWritten || !own.Built || t.AtEnd) return;
    uint32_t hash = 0;
    RecordKey(FTarget, t.Buffer.data(), reinterpret_cast<uint8_t*>(&hash));
    if (hash == FHashBefore) return;
    own.Moved.emplace(hash, TDataCursor::GetBufferRecordNo(t.Buffer.data()));
    // Past its bound the list goes, and the key is made again at the level's next
    // restart from the table as the rows so far left it.
    if (own.Moved.size() > FMovedLimit) {
        own.Built = false;
        own.Moved.clear();
    }
}

}  // namespace kura

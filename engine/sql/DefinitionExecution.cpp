#include "engine/sql/DefinitionExecution.h"

#include <algorithm>
#include <vector>

#include "engine/core/Restructure.h"
#include "engine/core/TableCreation.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpToken.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"
#include "engine/sql/TargetTable.h"
#include "platform/CodePage.h"

namespace kura {

namespace {

constexpr uint8_t CHAR_CASE_BYTE = fdo::Reserved;

std::string CutName(const std::string& name, size_t maxBytes) {
    return name.substr(0, platform::Cp932PrefixLength(name, maxBytes));
}

// A field or index name as the descriptor stores it. One longer than the
// descriptor holds (counted in bytes: a double-byte character takes two) is
// refused, as a table name too long for its files is: cut, it would no longer be
// the name the statement wrote, nor tell apart two names that differ further on.
std::string DefinitionName(const char* kind, const std::string& name, size_t maxBytes, const std::string& table) {
    const size_t length = TrimDefinitionName(name).size();
    if (length > maxBytes) {
        RaiseStatementError(std::string(kind) + " name '" + NameForMessage(name) + "' is too long: " + std::to_string(length) +
                                " bytes, at most " + std::to_string(maxBytes),
                            table);
    }
    return name;
}

// The options every definition statement opens its cursor with.
void SetDefinitionOptions(TDataQuery& query, TTargetTable& target) {
    TDataCursor& cursor = target.Cursor();
    cursor.SetExclusive(true);
    cursor.SetInMemory(target.InMemory() || query.InMemory != 0);
    cursor.SetReadOnly(false);
    cursor.SetQueryResult(false);
}

// Type, size and decimals of a column definition as written.
void SetFieldType(TFieldDesc& desc, const TCreateField& field) {
    desc.SetFieldType(field.FieldType);
    desc.SetSubType(field.FieldSubtype);
    desc.SetDeclaredSize(0);
    desc.SetDeclaredDecimals(0);
    if (field.FieldType == fldZSTRING || field.FieldType == fldBYTES || field.FieldType == fldVARBYTES) {
        desc.SetDeclaredSize(static_cast<uint8_t>(std::clamp(field.Size, 0, 255)));
    }
    if (field.FieldType == fldBCD) desc.SetDeclaredDecimals(static_cast<uint8_t>(std::clamp(field.Decimals, 0, 255)));
    desc.DerivePhysical();
}

// The attributes of a column definition; with onlyGiven (ALTER TABLE REDEFINE) only
// those the statement wrote replace the old ones.
void SetFieldAttributes(TFieldDesc& desc, const TCreateField& field, bool onlyGiven) {
    if (!onlyGiven || field.DescriptionGiven) desc.SetDescription(CutName(field.Description, FIELD_DESCRIPTION_LENGTH));
    if (!onlyGiven || field.NotNullGiven) desc.SetRequired(field.NotNull);
    if (!onlyGiven || field.CharCaseGiven) desc.Bytes[CHAR_CASE_BYTE] = field.CharCase;
    if (!onlyGiven || field.MinimumGiven) desc.SetMinValue(field.MinimumText.substr(0, FIELD_VALUE_TEXT_LENGTH));
    if (!onlyGiven || field.MaximumGiven) desc.SetMaxValue(field.MaximumText.substr(0, FIELD_VALUE_TEXT_LENGTH));
    if (!onlyGiven || field.DefaultGiven) desc.SetDefaultValue(field.DefaultText.substr(0, FIELD_VALUE_TEXT_LENGTH));
    desc.SetComputed(0);
}

TFieldDesc NewFieldDesc(const TCreateField& field, uint16_t fieldNo, const std::string& table) {
    TFieldDesc desc;
    desc.SetFieldNo(fieldNo);
    desc.SetName(DefinitionName("Field", field.ColumnName, FIELD_NAME_LENGTH, table));
    SetFieldType(desc, field);
    SetFieldAttributes(desc, field, false);
    return desc;
}

// Position of the column of that name among the definitions; -1 when none.
int32_t FindColumn(const std::vector<TFieldDesc>& fields, const std::string& name) {
    for (size_t i = 0; i < fields.size(); ++i) {
        if (SameNameText(fields[i].Name(), name)) return static_cast<int32_t>(i);
    }
    return -1;
}

// An index descriptor whose key fields are looked up among the given definitions;
// unknownMessage receives the column and makes the message of an unknown one.
template <typename UnknownMessage>
TIndexDesc MakeIndexDesc(TCreateIndex& index, const std::vector<TFieldDesc>& fields, const std::string& name,
                         UnknownMessage unknownMessage, const std::string& table) {
    index.LoadColumnNames();
    TIndexDesc desc;
    desc.SetName(DefinitionName("Index", name, INDEX_NAME_LENGTH, table));
    desc.SetByte(ido::Descending, index.Descending ? 1 : 0);
    desc.SetByte(ido::CaseInsensitive, index.NoCase ? 1 : 0);
    desc.SetByte(ido::Unique, index.Unique ? 1 : 0);
    desc.SetByte(ido::Compression, index.Compression);
    const int32_t count = std::min(index.ColumnNames.Count(), static_cast<int32_t>(MAX_INDEX_FIELDS));
    for (int32_t i = 0; i < count; ++i) {
        const std::string column = index.ColumnNames[i];
        const int32_t at = FindColumn(fields, column);
        if (at < 0) RaiseStatementError(unknownMessage(column), table);
        desc.SetField(i, fields[static_cast<size_t>(at)].FieldNo());
        desc.SetOption(i, index.Descending ? 1 : 0);
    }
    desc.SetByte(ido::FieldCount, static_cast<uint8_t>(count));
    return desc;
}

TIndexDesc MakeKeyDesc(TCreateIndex& index, const std::vector<TFieldDesc>& fields, const std::string& table) {
    return MakeIndexDesc(
        index, fields, index.IndexName,
        [&index](const std::string& column) {
            return "Invalid field name '" + column + "' specified for index '" + index.IndexName + "'";
        },
        table);
}

TIndexDesc MakeTextIndexDesc(TCreateIndex& index, const std::vector<TFieldDesc>& fields, const std::string& table) {
    TIndexDesc desc = MakeIndexDesc(
        index, fields, "Sys Text",
        [](const std::string& column) { return "Invalid field name '" + column + "' specified for text index"; },
        table);
    desc.SetByte(ido::Descending, 0);
    desc.SetByte(ido::CaseInsensitive, 0);
    desc.SetByte(ido::Unique, 0);
    desc.SetByte(ido::Compression, icFull);
    for (int i = 0; i < MAX_INDEX_FIELDS; ++i) desc.SetOption(i, 0);
    return desc;
}

// A secondary index of that name with key fields (a dropped slot may keep its name).
bool SecondaryIndexExists(TDataCursor& cursor, const std::string& name) {
    const uint8_t count = cursor.GetIndexCount();
    for (uint8_t slot = 1; slot <= count && slot < SYS_TEXT_SLOT; ++slot) {
        TIndexDesc desc;
        cursor.GetIndexDesc(slot, desc);
        if (desc.GetFieldCount() > 0 && SameNameText(desc.GetName(), name)) return true;
    }
    return false;
}

// Building a unique index removes the rows whose key is taken already: find such
// rows first through a twin index without the uniqueness, and refuse the index.
void CheckUniqueKeys(TDataCursor& cursor, const TIndexDesc& unique, const std::string& name) {
    if (cursor.GetRecordCount() < 2) return;
    static constexpr const char* kCheckName = "Sys Unique Check";
    TIndexDesc twin = unique;
    twin.SetName(kCheckName);
    twin.SetByte(ido::Unique, 0);
    cursor.AddSecondaryIndex(twin, 0);
    bool duplicate = false;
    try {
        cursor.SetIndexName(kCheckName);
        // The twin's keys end in the row's 4-byte number; the fields come before it.
        const int32_t fieldBytes = std::max<int32_t>(cursor.GetKeySize() - 4, 0);
        std::vector<uint8_t> record(std::max<size_t>(cursor.GetCursorRecordSize(), cursor.GetRecordSize()) + 16, 0);
        std::vector<uint8_t> key(CURSOR_KEY_BUFFER_SIZE, 0), previous(CURSOR_KEY_BUFFER_SIZE, 0);
        bool first = true;
        cursor.SetToBegin();
        while (!duplicate && cursor.GetNextRecord(record.data()) == 0) {
            cursor.BuildIndexKey(record.data(), key.data());
            duplicate = !first && std::equal(key.begin(), key.begin() + fieldBytes, previous.begin());
            key.swap(previous);
            first = false;
        }
    } catch (...) {
        cursor.SwitchToIndex(NATURAL_ORDER);
        cursor.DeleteIndex(kCheckName, 1);
        throw;
    }
    cursor.SwitchToIndex(NATURAL_ORDER);
    cursor.DeleteIndex(kCheckName, 1);
    if (duplicate) cursor.RaiseError(KURA_KEYVIOL, {}, name);
}

const TStringList* StopWordsOf(const TDataQuery& query) { return query.StopWordsGiven ? &query.StopWords : nullptr; }

void ExecuteCreateTable(TDataQuery& query, TTargetTable& target) {
    std::vector<TFieldDesc> fields;
    for (size_t i = 0; i < query.CreateFields.size(); ++i) {
        TCreateField& field = *query.CreateFields[i];
        field.LoadFromToken(static_cast<uint16_t>(i + 1));
        fields.push_back(NewFieldDesc(field, static_cast<uint16_t>(i + 1), target.TableName()));
    }
    TIndexDescSlots slots{};
    const bool hasKey = !query.CreateIndexes.empty();
    if (hasKey) slots[0] = MakeKeyDesc(*query.CreateIndexes.front(), fields, target.TableName());
    if (query.TextIndex) slots[SYS_TEXT_SLOT] = MakeTextIndexDesc(*query.TextIndex, fields, target.TableName());

    SetDefinitionOptions(query, target);
    TDataCursor& cursor = target.Cursor();
    if (query.IfNotExists && target.Database()->TableExists(cursor.GetTableName(), cursor.IsInMemory())) return;
    target.CheckFileNameLength();
    cursor.CreateTable(query.LanguageId, query.SortId, false, StopWordsOf(query), query.SpaceChars,
                       query.IncludeChars, fields, slots, 0, query.BlobBlockSize, query.Description, query.Password,
                       query.Encrypted != 0, query.UserMajorVersion, query.UserMinorVersion, !hasKey);
}

// The column actions of ALTER TABLE applied to the table's current definitions.
void ApplyColumnActions(TDataQuery& query, std::vector<TFieldDesc>& fields, uint16_t highestFieldNo,
                        const std::string& table) {
    for (auto& node : query.CreateFields) {
        TCreateField& field = *node;
        const size_t at = field.AtPosition;  // 1-based, 0 = none
        if (field.Add) {
            field.LoadFromToken(++highestFieldNo);
            TFieldDesc desc = NewFieldDesc(field, highestFieldNo, table);
            if (at >= 1 && at <= fields.size() + 1) {
                fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at - 1), desc);
            } else {
                fields.push_back(desc);
            }
            continue;
        }
        const std::string name = field.ColumnName;
        const int32_t found = FindColumn(fields, name);
        if (found < 0) RaiseStatementError("Column " + name + " not found", table);
        if (field.Drop) {
            fields.erase(fields.begin() + found);
            continue;
        }
        // REDEFINE: same field number, the written parts replaced.
        TFieldDesc desc = fields[static_cast<size_t>(found)];
        const uint16_t fieldNo = desc.FieldNo();
        field.LoadFromToken(fieldNo);
        field.ColumnName = name;
        if (field.TypeGiven) SetFieldType(desc, field);
        if (!field.NewColumnName.empty())
            desc.SetName(DefinitionName("Field", field.NewColumnName, FIELD_NAME_LENGTH, table));
        SetFieldAttributes(desc, field, true);
        fields.erase(fields.begin() + found);
        if (at >= 1 && at <= fields.size() + 1) {
            fields.insert(fields.begin() + static_cast<std::ptrdiff_t>(at - 1), desc);
        } else if (at >= 1) {
            fields.push_back(desc);
        } else {
            fields.insert(fields.begin() + found, desc);
        }
    }
}

void ExecuteAlterTable(TDataQuery& query, TTargetTable& target) {
    SetDefinitionOptions(query, target);
    TDataCursor& cursor = target.Cursor();
    TQueryStatement* statement = query.Statement;
    cursor.Events().RestructureProgress = [statement](TDataCursor*, uint16_t percent) {
        bool abort = false;
        if (statement) statement->DoProgress(percent, abort);
    };
    const std::string& table = target.TableName();
    TRestructureParams params;
    std::vector<TFieldDesc> fields;
    {
        cursor.OpenCursor();
        struct CloseAtEnd {
            TDataCursor& c;
            ~CloseAtEnd() {
                try {
                    c.CloseCursor(false);
                } catch (...) {
                }
            }
        } closeAtEnd{cursor};

        TDataTable* opened = cursor.GetTable();
        params.Encrypted = query.EncryptionGiven ? query.Encrypted != 0 : opened->IsEncrypted();
        params.Password = query.EncryptionGiven ? query.Password : opened->GetPassword();
        params.LocaleId = query.LanguageGiven ? query.LanguageId : cursor.GetLocaleID();
        params.SortId = query.SortGiven ? query.SortId : cursor.GetSortID();
        const uint16_t blockSize = cursor.GetBlobBlockSize();
        params.BlobBlockSize = query.BlobBlockSizeGiven ? query.BlobBlockSize
                                                        : (blockSize != 0 ? blockSize : DEFAULT_BLOB_BLOCK_SIZE);
        params.Description = query.DescriptionGiven ? query.Description : opened->GetDescription();
        params.UserMajor = query.MajorVersionGiven ? query.UserMajorVersion : cursor.GetUserMajorVersion();
        params.UserMinor = query.MinorVersionGiven ? query.UserMinorVersion : cursor.GetUserMinorVersion();

        uint16_t highest = 0;
        const uint16_t count = cursor.GetFieldCount();
        for (uint16_t n = 1; n <= count; ++n) {
            TFieldDesc desc;
            cursor.GetFieldDesc(n, desc);
            highest = std::max(highest, desc.FieldNo());
            fields.push_back(desc);
        }
        ApplyColumnActions(query, fields, highest, table);

        const uint8_t indexCount = cursor.GetIndexCount();
        params.IndexCount = indexCount;
        for (uint8_t slot = 0; slot <= indexCount && slot < SYS_TEXT_SLOT; ++slot) {
            cursor.GetIndexDesc(slot, params.Indexes[slot]);
        }
        bool hasPrimary = !cursor.GetNoPrimaryIndex();
        for (auto& index : query.CreateIndexes) {
            if (index->Drop) {
                params.Indexes[0] = TIndexDesc{};
                hasPrimary = false;
                continue;
            }
            if (index->Add && hasPrimary) RaiseStatementError("Cannot REDEFINE the primary key using the ADD keyword", table);
            params.Indexes[0] = MakeKeyDesc(*index, fields, table);
            hasPrimary = true;
        }
        cursor.GetIndexDesc(SYS_TEXT_SLOT, params.Indexes[SYS_TEXT_SLOT]);
        if (query.TextIndex) params.Indexes[SYS_TEXT_SLOT] = MakeTextIndexDesc(*query.TextIndex, fields, table);
    }
    SetDefinitionOptions(query, target);
    params.Fields = std::move(fields);
    params.LastAutoInc = query.LastAutoInc;
    params.SuppressBackups = query.NoBackup != 0;
    if (query.StopWordsGiven) {
        params.StopWords = &query.StopWords;
        params.SpaceChars = &query.SpaceChars;
        params.IncludeChars = &query.IncludeChars;
    }
    // A restructure would leave out the rows the new definition refuses: refuse
    // the statement instead and keep the table as it was.
    uint8_t refusal = 0;
    std::string refused;
    cursor.Events().RestructureQuestion = [&refusal, &refused](TDataCursor*, uint8_t kind, const std::string& text,
                                                               uint8_t& /*stopAsking*/, uint8_t& carryOn) {
        if (kind == rqFieldDropped) return;
        carryOn = 0;
        if (refusal == 0) {
            refusal = kind == rqOtherError ? rqConversion : kind;
            refused = text;
        }
    };
    cursor.RestructureTable(params);
    if (refusal == rqKeyViolation) cursor.RaiseError(KURA_KEYVIOL, {}, refused);
    if (refusal != 0) {
        RaiseStatementError("The values of column '" + refused + "' do not fit its new definition in every row",
                            table);
    }
}

void ExecuteCreateIndex(TDataQuery& query, TTargetTable& target) {
    if (query.CreateIndexes.empty()) return;
    SetDefinitionOptions(query, target);
    TDataCursor& cursor = target.Cursor();
    cursor.OpenCursor();
    try {
        std::vector<TFieldDesc> fields;
        for (uint16_t n = 1; n <= cursor.GetCursorFieldCount(); ++n) {
            TFieldDesc desc;
            cursor.GetFieldDesc(n, desc);
            fields.push_back(desc);
        }
        TCreateIndex& index = *query.CreateIndexes.front();
        TIndexDesc desc = MakeKeyDesc(index, fields, target.TableName());
        // Checked before the engine call, which must not see a taken name.
        if (SecondaryIndexExists(cursor, index.IndexName)) {
            if (!query.IfNotExists) cursor.RaiseError(KURA_INDEXEXISTS, {}, index.IndexName);
        } else {
            if (desc.GetByte(ido::Unique) != 0) CheckUniqueKeys(cursor, desc, index.IndexName);
            cursor.AddSecondaryIndex(desc, 0);
        }
    } catch (...) {
        cursor.CloseCursor(false);
        throw;
    }
    cursor.CloseCursor(false);
}

void ExecuteDropTable(TDataQuery& query, TTargetTable& target) {
    SetDefinitionOptions(query, target);
    TDataCursor& cursor = target.Cursor();
    if (query.IfExists && !target.Database()->TableExists(cursor.GetTableName(), cursor.IsInMemory())) return;
    cursor.DeleteTable();
}

void ExecuteDropIndex(TDataQuery& query, TTargetTable& target) {
    if (query.CreateIndexes.empty()) return;
    SetDefinitionOptions(query, target);
    TDataCursor& cursor = target.Cursor();
    const std::string name = query.CreateIndexes.back()->IndexName;
    cursor.OpenCursor();
    try {
        if (SameNameText(name, "PRIMARY")) {
            if (!query.IfExists || !cursor.GetNoPrimaryIndex()) cursor.DeleteIndex({}, 0);
        } else if (SecondaryIndexExists(cursor, name)) {
            cursor.DeleteIndex(name, 1);
        } else if (!query.IfExists) {
            cursor.RaiseError(KURA_INVALIDINDEXNAME, {}, name);
        }
    } catch (...) {
        cursor.CloseCursor(false);
        throw;
    }
    cursor.CloseCursor(false);
}

}  // namespace

void ExecuteDefinition(TDataQuery& query) {
    TSourceTable* table = query.FirstSourceTable();
    if (!table || !query.Statement) RaiseStatementError("Table name expected");
    TTargetTable target(*query.Statement, *table);
    query.NotifyTableAccess(&target.Cursor());
    switch (query.Kind) {
        case skCreateTable: ExecuteCreateTable(query, target); break;
        case skAlterTable: ExecuteAlterTable(query, target); break;
        case skCreateIndex: ExecuteCreateIndex(query, target); break;
        case skDropTable: ExecuteDropTable(query, target); break;
        case skDropIndex: ExecuteDropIndex(query, target); break;
        default: break;
    }
}

}  // namespace kura

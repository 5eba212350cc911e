#pragma once
// The node objects of the query model: select-list columns, INSERT/UPDATE targets
// and values, column and index definitions, ORDER BY and GROUP BY items, with the
// codes they carry. Each node belongs to one TDataQuery (QueryModel.h) and owns its
// expression trees.
#include <cstdint>
#include <string>
#include <vector>

#include "engine/expr/ExpTree.h"
#include "engine/files/StringList.h"

namespace kura {

// --- Aggregate kinds of a result column
constexpr uint8_t akNone = 0;
constexpr uint8_t akSum = 1;
constexpr uint8_t akRunSum = 2;
constexpr uint8_t akMin = 3;
constexpr uint8_t akMax = 4;
constexpr uint8_t akAvg = 5;
constexpr uint8_t akCount = 6;
// The aggregate kind of an aggregate function code (fnSum .. fnAvg); akNone otherwise.
uint8_t AggregateKindOf(uint8_t functionCode);

// --- Join kinds
constexpr uint8_t jkLink = 0;
constexpr uint8_t jkInner = 1;
constexpr uint8_t jkLeftOuter = 2;
constexpr uint8_t jkRightOuter = 3;

// --- Character case of a column
constexpr uint8_t ccNoChange = 0;
constexpr uint8_t ccLower = 1;
constexpr uint8_t ccUpper = 2;

// --- Index key compression
constexpr uint8_t icNone = 0;
constexpr uint8_t icDupByte = 1;
constexpr uint8_t icTrailByte = 2;
constexpr uint8_t icFull = 3;

class TDataQuery;

// One column of the select list.
class TResultField {
public:
    explicit TResultField(TDataQuery* query) : Query(query) {}
    virtual ~TResultField();
    TResultField(const TResultField&) = delete;
    TResultField& operator=(const TResultField&) = delete;

    // Sets the column name; the result name follows it while no alias was given and
    // the name is not "*".
    void SetColumnName(const std::string& name);

    TDataQuery* Query;
    std::string ColumnName;
    std::string CorrelationName;  // when written as correlation.column
    std::string ResultName;       // the alias, or the column name
    uint8_t NameIsGenerated = 1;  // 0 once an alias is given
    uint8_t Computed = 0;         // an expression, not a plain column
    uint8_t AggregateKind = akNone;
    std::string ExpressionText;   // as written
    TExpToken* Expression = nullptr;
};

// One target column of INSERT or UPDATE; "*" stands for every column in table order.
class TUpdateField {
public:
    explicit TUpdateField(TDataQuery* query) : Query(query) {}
    virtual ~TUpdateField();
    TUpdateField(const TUpdateField&) = delete;
    TUpdateField& operator=(const TUpdateField&) = delete;

    TDataQuery* Query;
    std::string ColumnName;
    std::string CorrelationName;
    std::string ExpressionText;
    TExpToken* Expression = nullptr;
};

// One value of INSERT ... VALUES or of UPDATE ... SET.
class TUpdateValue {
public:
    explicit TUpdateValue(TDataQuery* query) : Query(query) {}
    virtual ~TUpdateValue();
    TUpdateValue(const TUpdateValue&) = delete;
    TUpdateValue& operator=(const TUpdateValue&) = delete;

    TDataQuery* Query;
    std::string ExpressionText;
    TExpToken* Expression = nullptr;
};

// One column definition of CREATE TABLE or one column action of ALTER TABLE.
class TCreateField {
public:
    explicit TCreateField(TDataQuery* query) : Query(query) {}
    virtual ~TCreateField();
    TCreateField(const TCreateField&) = delete;
    TCreateField& operator=(const TCreateField&) = delete;

    // Copies name, field number, type, subtype, size and decimals from the definition
    // token (see the field comments for how size and decimals are taken).
    void LoadFromToken(uint16_t fieldNumber);

    TDataQuery* Query;
    std::string ColumnName;
    std::string NewColumnName;  // ALTER TABLE REDEFINE old new ...
    uint16_t FieldNumber = 0;
    uint8_t FieldType = 0;
    uint8_t FieldSubtype = 0;
    int32_t Size = 0;      // declared length of a string, size of BYTES/VARBYTES
    int32_t Decimals = 0;  // BCD scale
    uint16_t AtPosition = 0;  // 1-based, ALTER TABLE ... AT n; 0 = append
    uint8_t DescriptionGiven = 0;
    uint8_t NotNull = 0;
    uint8_t NotNullGiven = 0;
    uint8_t CharCase = ccNoChange;
    uint8_t CharCaseGiven = 0;
    uint8_t MinimumGiven = 0;
    uint8_t MaximumGiven = 0;
    uint8_t DefaultGiven = 0;
    uint8_t Add = 0;
    uint8_t Redefine = 0;
    uint8_t Drop = 0;
    uint8_t TypeGiven = 0;  // a data type was written (REDEFINE may leave it out)
    std::string Description;
    std::string DefaultText;
    std::string MinimumText;
    std::string MaximumText;
    // The column as the expression parser returned it, with the data type in
    // DataType, DataSubtype and arguments 1 and 2. A REDEFINE with a new name keeps
    // the new name and its type here.
    TExpToken* Definition = nullptr;
    std::string DefinitionText;
};

// One index definition: CREATE INDEX, a PRIMARY KEY clause, ALTER TABLE ... PRIMARY
// KEY, or the TEXT INDEX of a table.
class TCreateIndex {
public:
    explicit TCreateIndex(TDataQuery* query) : Query(query) {}
    virtual ~TCreateIndex();
    TCreateIndex(const TCreateIndex&) = delete;
    TCreateIndex& operator=(const TCreateIndex&) = delete;

    // Refills ColumnNames from the column token chain, in order.
    void LoadColumnNames();

    TDataQuery* Query;
    std::string IndexName;
    TStringList ColumnNames;
    uint8_t Descending = 0;
    uint8_t Unique = 0;
    uint8_t NoCase = 0;
    uint8_t Compression = icNone;
    uint8_t Add = 0;
    uint8_t Redefine = 0;
    uint8_t Drop = 0;
    std::string ColumnsText;
    // The column nodes in order (each one tree; owned).
    std::vector<TExpToken*> Columns;
};

class TOrderByField {
public:
    explicit TOrderByField(TDataQuery* query) : Query(query) {}
    virtual ~TOrderByField() = default;

    TDataQuery* Query;
    std::string ColumnName;
    std::string CorrelationName;
    uint16_t ColumnNumber = 0;  // 1-based when written as a number, else 0
    uint8_t Descending = 0;
};

class TGroupByField {
public:
    explicit TGroupByField(TDataQuery* query) : Query(query) {}
    virtual ~TGroupByField() = default;

    TDataQuery* Query;
    std::string ColumnName;
    std::string CorrelationName;
    uint16_t ColumnNumber = 0;
};

}  // namespace kura

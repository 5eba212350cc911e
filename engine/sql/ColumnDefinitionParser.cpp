// Column definitions with their attributes, and the key pieces of index
// definitions (modifiers, column lists, compression, PRIMARY KEY), shared by CREATE
// TABLE, ALTER TABLE and CREATE INDEX.
#include <algorithm>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpParser.h"
#include "engine/expr/TypeCheck.h"
#include "engine/sql/ParserSupport.h"
#include "engine/sql/QueryModel.h"
#include "engine/sql/QueryStatement.h"

namespace kura {

using sqlparse::ColumnLimitMessage;
using sqlparse::IsOneOf;

namespace {

// Sizes the data type of a definition token with the type checker's CAST rules,
// which also refuse arguments out of range (a length of 0, a scale above 4).
void CheckDataTypeArguments(TExpToken* definition, std::string_view context) {
    TExpressionPtr cast(AllocExpToken());
    cast->Kind = ekFunction;
    cast->Code = fnCast;
    cast->Text = "CAST";
    cast->DataType = definition->DataType;
    cast->DataSubtype = definition->DataSubtype;
    TExpToken* value = AllocExpToken();
    value->Kind = ekConstant;
    value->Text = "NULL";
    value->IsNull = 1;
    cast->SetArgument(0, value);
    // The arguments move into the CAST node and come back after the check; when the
    // check raises they are freed with it and the definition keeps empty slots.
    for (int32_t slot = 1; slot <= 2; ++slot) {
        cast->SetArgument(slot, definition->GetArgument(slot));
        if (slot < definition->ArgumentCount()) definition->Arguments[static_cast<size_t>(slot)] = nullptr;
    }
    CheckExpressionTypes(KURA_SQLPARSE, {}, {}, false, false, nullptr, nullptr, nullptr, cast.get(), context);
    for (int32_t slot = 1; slot <= 2; ++slot) {
        definition->SetArgument(slot, cast->GetArgument(slot));
        cast->Arguments[static_cast<size_t>(slot)] = nullptr;
    }
    definition->DataSubtype = cast->DataSubtype;
    definition->DataSize = cast->DataSize;
    definition->Scale = cast->Scale;
}

}  // namespace

void TDataQuery::ParseColumnDefinition(TCreateField& field, bool alter) {
    TExpressionParser& t = Tokens();
    TExpToken* first = ParseColumnName("table column", "Table column name is empty", &field.DefinitionText);
    field.Definition = first;
    field.ColumnName = first->Name;
    const std::string context = "table column";
    t.ContextName = context;
    t.ParseDataType(first, 0, field.Redefine != 0);
    t.ContextName = "SQL statement";
    if (first->DataType == 0 && field.Redefine &&
        t.IsSymbolToken() && !IsOneOf(t, {"AT", "DESCRIPTION", "NOT", "DEFAULT", "MIN", "MINIMUM", "MAX", "MAXIMUM",
                                          "CHARCASE"})) {
        // REDEFINE old new [type]: the second name and its type define the column.
        TExpToken* second = ParseColumnName("table column", "Table column name is empty", nullptr);
        FreeExpression(field.Definition);
        field.Definition = second;
        field.NewColumnName = second->Name;
        t.ContextName = context;
        t.ParseDataType(second, 0, true);
        t.ContextName = "SQL statement";
    }
    if (field.Definition->DataType != 0) {
        field.TypeGiven = 1;
        CheckDataTypeArguments(field.Definition, context);
    }
    if (t.TokenKindIs(',')) return;
    if (alter && t.TokenIs("AT")) {
        t.NextToken();
        const int32_t position = ParseIntegerValue("Integer value expected after AT keyword, instead found '");
        field.AtPosition = static_cast<uint16_t>(std::clamp(position, 0, 65535));
    }
    ParseColumnAttributes(field, alter);
}

void TDataQuery::ParseColumnAttributes(TCreateField& field, bool alter) {
    TExpressionParser& t = Tokens();
    const uint8_t given = alter ? 1 : 0;
    if (t.TokenIs("DESCRIPTION")) {
        t.NextToken();
        if (!t.IsSymbolToken()) RaiseFound("Description text expected after DESCRIPTION keyword, instead found '");
        field.Description = t.GetTokenText().substr(0, 255);
        field.DescriptionGiven = given;
        t.NextToken();
    }
    if (t.TokenIs("NOT")) {
        t.NextToken();
        if (!t.TokenIs("NULL")) RaiseFound("NULL keyword expected after NOT keyword, instead found '");
        t.NextToken();
        field.NotNull = 1;
        field.NotNullGiven = given;
    }
    if (t.TokenIs("DEFAULT")) {
        t.NextToken();
        field.DefaultText = ParseDefault("Default expression expected after DEFAULT keyword, instead found '");
        field.DefaultGiven = given;
    }
    if (t.TokenIs("MIN") || t.TokenIs("MINIMUM")) {
        t.NextToken();
        field.MinimumText = ParseDefault("Minimum expression expected after MIN or MINIMUM keyword, instead found '");
        field.MinimumGiven = given;
    }
    if (t.TokenIs("MAX") || t.TokenIs("MAXIMUM")) {
        t.NextToken();
        field.MaximumText = ParseDefault("Maximum expression expected after MAX or MAXIMUM keyword, instead found '");
        field.MaximumGiven = given;
    }
    if (t.TokenIs("CHARCASE")) {
        t.NextToken();
        if (t.TokenIs("UPPER")) {
            field.CharCase = ccUpper;
        } else if (t.TokenIs("LOWER")) {
            field.CharCase = ccLower;
        } else if (t.TokenIs("NOCHANGE")) {
            field.CharCase = ccNoChange;
        } else {
            RaiseFound("UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '");
        }
        t.NextToken();
        field.CharCaseGiven = given;
    }
}

std::string TDataQuery::ParseDefault(std::string_view message) {
    TExpressionParser& t = Tokens();
    if (IsOneOf(t, {"CURRENT_DATE", "CURRENT_TIME", "CURRENT_TIMESTAMP", "TRUE", "FALSE"})) {
        std::string word = t.GetTokenText();
        t.NextToken();
        return word;
    }
    std::string sign;
    if (t.TokenKindIs('-') || t.TokenKindIs('+')) {
        sign = t.TokenKindIs('-') ? "-" : "+";
        t.NextToken();
    }
    if (!t.TokenKindIs(tkSingleQuoted) && !t.TokenKindIs(tkDoubleQuoted) && !t.TokenKindIs(tkInteger) &&
        !t.TokenKindIs(tkFloat)) {
        RaiseFound(message);
    }
    std::string text = (sign + t.GetTokenText()).substr(0, 255);
    t.NextToken();
    return text;
}

void TDataQuery::ParseIndexOptions(TCreateIndex& index) {
    TExpressionParser& t = Tokens();
    if (t.TokenIs("UNIQUE")) {
        index.Unique = 1;
        t.NextToken();
    }
    if (t.TokenIs("ASC") || t.TokenIs("ASCENDING")) {
        index.Descending = 0;
        t.NextToken();
    } else if (t.TokenIs("DESC") || t.TokenIs("DESCENDING")) {
        index.Descending = 1;
        t.NextToken();
    }
    if (t.TokenIs("NOCASE")) {
        index.NoCase = 1;
        t.NextToken();
    }
}

void TDataQuery::ParseIndexColumns(TCreateIndex& index, std::string_view leftMessage, std::string_view rightMessage) {
    TExpressionParser& t = Tokens();
    if (!t.TokenKindIs('(')) RaiseFound(leftMessage);
    t.NextToken();
    t.MarkTokenStart();
    for (;;) {
        if (static_cast<int32_t>(index.Columns.size()) >= MaxIndexColumns) {
            Raise(ColumnLimitMessage(MaxIndexColumns, "index"));
        }
        TExpToken* column = ParseColumnName("index column", "Index column name is empty", nullptr);
        index.Columns.push_back(column);
        if (!column->TableName.empty()) {
            Raise("Invalid use of table correlation name '" + column->TableName + "' specified in indexed columns");
        }
        if (!t.TokenKindIs(',')) break;
        t.NextToken();
    }
    index.ColumnsText = t.GetRawTokenText().substr(0, 255);
    if (!t.TokenKindIs(')')) RaiseFound(rightMessage);
    t.NextToken();
    index.LoadColumnNames();
}

void TDataQuery::ParseCompress(TCreateIndex& index) {
    TExpressionParser& t = Tokens();
    if (!t.TokenIs("COMPRESS")) return;
    t.NextToken();
    if (t.TokenIs("FULL")) {
        index.Compression = icFull;
    } else if (t.TokenIs("DUPBYTE")) {
        index.Compression = icDupByte;
    } else if (t.TokenIs("TRAILBYTE")) {
        index.Compression = icTrailByte;
    } else if (t.TokenIs("NONE")) {
        index.Compression = icNone;
    } else {
        RaiseFound("FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, instead found '");
    }
    t.NextToken();
}

void TDataQuery::ParsePrimaryKey(TCreateIndex& index) {
    TExpressionParser& t = Tokens();
    ParseIndexOptions(index);
    if (!t.TokenIs("PRIMARY")) RaiseFound("PRIMARY keyword expected, instead found '");
    t.NextToken();
    if (!t.TokenIs("KEY")) RaiseFound("KEY keyword expected after PRIMARY keyword, instead found '");
    t.NextToken();
    ParseIndexColumns(index, "Left parentheses expected, instead found '", "Right parentheses expected, instead found '");
    ParseCompress(index);
}

}  // namespace kura

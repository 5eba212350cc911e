// CREATE TABLE, ALTER TABLE, CREATE INDEX, DROP TABLE, DROP INDEX and the
// transaction statements. The dispatcher has read the leading keywords.
#include <algorithm>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpParser.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/SysConvert.h"
#include "engine/sql/ParserSupport.h"
#include "engine/sql/QueryModel.h"
#include "engine/sql/QueryStatement.h"
#include "engine/sql/SourceTable.h"

namespace kura {

using sqlparse::ColumnLimitMessage;
using sqlparse::IsOneOf;

namespace {

bool IsIndexModifier(const TExpressionParser& t) {
    return IsOneOf(t, {"UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE"});
}


}  // namespace

// ---- Shared pieces -----------------------------------------------------------------

void TDataQuery::ParseIfNotExists() {
    TExpressionParser& t = Tokens();
    if (!t.TokenIs("IF")) return;
    t.NextToken();
    if (!t.TokenIs("NOT")) RaiseFound("NOT keyword expected after IF keyword, instead found '");
    t.NextToken();
    if (!t.TokenIs("EXISTS")) RaiseFound("EXISTS keyword expected after NOT keyword, instead found '");
    t.NextToken();
    IfNotExists = 1;
}

void TDataQuery::ParseIfExists() {
    TExpressionParser& t = Tokens();
    if (!t.TokenIs("IF")) return;
    t.NextToken();
    if (!t.TokenIs("EXISTS")) RaiseFound("EXISTS keyword expected after IF keyword, instead found '");
    t.NextToken();
    IfExists = 1;
}

// ---- Table options -----------------------------------------------------------------

std::string TDataQuery::ParseOptionText(std::string_view context, std::string_view emptyMessage) {
    TExpressionParser& t = Tokens();
    if (t.TokenKindIs(tkEnd)) Raise(emptyMessage);
    if (!t.TokenKindIs(tkSingleQuoted) && !t.TokenKindIs(tkDoubleQuoted)) {
        RaiseFound("String constant expected for " + std::string(context) + ", instead found '");
    }
    std::string text = t.GetTokenText();
    if (text.empty()) Raise(emptyMessage);
    t.NextToken();
    return text;
}

void TDataQuery::ParseTextIndex() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // TEXT
    if (!t.TokenIs("INDEX")) RaiseFound("INDEX keyword expected after TEXT keyword, instead found '");
    t.NextToken();
    TextIndex = std::make_unique<TCreateIndex>(this);
    TextIndex->Compression = icFull;
    ParseIndexColumns(*TextIndex, "Left parentheses expected after TEXTINDEX keyword, instead found '",
                      "Right parentheses expected after TEXT INDEX clause, instead found '");
    if (t.TokenIs("STOP")) {
        t.NextToken();
        if (!t.TokenIs("WORDS")) RaiseFound("WORDS keyword expected after STOP keyword, instead found '");
        t.NextToken();
        const std::string words = ParseOptionText("stop words", "Stop words are empty");
        StopWords.Clear();
        size_t start = 0;
        while (start < words.size()) {
            while (start < words.size() && static_cast<uint8_t>(words[start]) <= ' ') ++start;
            size_t end = start;
            while (end < words.size() && static_cast<uint8_t>(words[end]) > ' ') ++end;
            if (end > start) StopWords.Add(words.substr(start, end - start));
            start = end;
        }
        StopWordsGiven = 1;
    }
    auto charSet = [&](std::string_view keyword, TCharSet& set) {
        t.NextToken();
        if (!t.TokenIs("CHARS")) {
            RaiseFound("CHARS keyword expected after " + std::string(keyword) + " keyword, instead found '");
        }
        t.NextToken();
        const std::string chars = ParseOptionText("character set", "Character set is empty");
        set.reset();
        for (const char c : chars) set.set(static_cast<uint8_t>(c));
    };
    if (t.TokenIs("SPACE")) charSet("SPACE", SpaceChars);
    if (t.TokenIs("INCLUDE")) charSet("INCLUDE", IncludeChars);
}

void TDataQuery::ParseCreateTableOptions() {
    TExpressionParser& t = Tokens();
    if (t.TokenIs("TEXT")) ParseTextIndex();
    if (t.TokenIs("DESCRIPTION")) {
        t.NextToken();
        if (!t.IsSymbolToken()) RaiseFound("Description text expected after DESCRIPTION keyword, instead found '");
        Description = t.GetTokenText().substr(0, 255);
        DescriptionGiven = 1;
        t.NextToken();
    }
    if (t.TokenIs("BLOB")) {
        t.NextToken();
        if (!t.TokenIs("BLOCK")) RaiseFound("BLOCK keyword expected after BLOB keyword, instead found '");
        t.NextToken();
        if (!t.TokenIs("SIZE")) RaiseFound("SIZE keyword expected after BLOCK keyword, instead found '");
        t.NextToken();
        const std::string written = t.GetTokenText();
        const int32_t size = ParseIntegerValue("Integer value expected after SIZE keyword, instead found '");
        if (size > 65535) Raise("Integer value expected after SIZE keyword, instead found '" + written + "'");
        BlobBlockSize = static_cast<uint16_t>(size);
        BlobBlockSizeGiven = 1;
    }
    ParseLanguage();
    ParseEncryption();
    for (int32_t i = 0; i < 2 && t.TokenIs("USER"); ++i) {
        t.NextToken();
        const bool major = t.TokenIs("MAJOR");
        if (!major && !t.TokenIs("MINOR")) {
            RaiseFound("MAJOR or MINOR keyword expected after USER keyword, instead found '");
        }
        t.NextToken();
        if (!t.TokenIs("VERSION")) {
            RaiseFound(major ? "VERSION keyword expected after MAJOR keyword, instead found '"
                             : "VERSION keyword expected after MINOR keyword, instead found '");
        }
        t.NextToken();
        const std::string written = t.GetTokenText();
        const int32_t version = ParseIntegerValue("Integer value expected after VERSION keyword, instead found '");
        if (version > 65535) Raise("Integer value expected after VERSION keyword, instead found '" + written + "'");
        if (major) {
            UserMajorVersion = static_cast<uint16_t>(version);
            MajorVersionGiven = 1;
        } else {
            UserMinorVersion = static_cast<uint16_t>(version);
            MinorVersionGiven = 1;
        }
    }
    if (t.TokenIs("LAST")) {
        t.NextToken();
        if (!t.TokenIs("AUTOINC")) RaiseFound("AUTOINC keyword expected after LAST keyword, instead found '");
        t.NextToken();
        t.ContextName = "next auto-increment number";
        if (t.TokenKindIs(tkEnd)) Raise("Next auto-increment number is empty");
        int32_t value = 0;
        if (!t.TokenKindIs(tkInteger) || !TryStrToInt(t.GetTokenText(), value)) {
            RaiseFound("Integer constant expected after AUTOINC keyword, instead found '");
        }
        t.ContextName = "SQL statement";
        LastAutoInc = value;
        t.NextToken();
    }
}

void TDataQuery::ParseAlterTableOptions() {
    ParseCreateTableOptions();
    if (Tokens().TokenIs("NOBACKUP")) {
        Tokens().NextToken();
        NoBackup = 1;
    }
}

// ---- Statements --------------------------------------------------------------------

void TDataQuery::ParseCreateTable() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // TABLE
    ParseIfNotExists();
    std::string name;
    bool memory = false;
    ParseTableName(name, memory, "Table name expected after CREATE TABLE keywords, instead found '",
                   "Table name expected after CREATE TABLE keywords, instead found '");
    AddSourceTable(name, memory);
    if (!t.TokenKindIs('(')) RaiseFound("Left parentheses expected before list of table columns, instead found '");
    t.NextToken();
    const auto endsColumns = [&] {
        return t.TokenKindIs(')') ||
               IsOneOf(t, {"CONSTRAINT", "PRIMARY", "UNIQUE", "ASC", "ASCENDING", "DESC", "DESCENDING", "NOCASE",
                           "TEXT", "DESCRIPTION", "BLOB", "LANGUAGE", "ENCRYPTED", "USER"});
    };
    while (!endsColumns()) {
        if (static_cast<int32_t>(CreateFields.size()) >= MaxTableColumns) {
            Raise(ColumnLimitMessage(MaxTableColumns, "table"));
        }
        CreateFields.push_back(std::make_unique<TCreateField>(this));
        ParseColumnDefinition(*CreateFields.back(), false);
        if (!t.TokenKindIs(',')) break;
        t.NextToken();
    }
    if (t.TokenIs("CONSTRAINT") || t.TokenIs("PRIMARY") || IsIndexModifier(t)) {
        if (t.TokenIs("CONSTRAINT")) {
            t.NextToken();
            t.NextToken();  // its name
        }
        CreateIndexes.push_back(std::make_unique<TCreateIndex>(this));
        ParsePrimaryKey(*CreateIndexes.back());
    }
    ParseCreateTableOptions();
    if (!t.TokenKindIs(')')) RaiseFound("Right parentheses expected after CREATE TABLE statement, instead found '");
    t.NextToken();
    CheckEndOfStatement();
}

void TDataQuery::ParseAlterTable() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // TABLE
    std::string name;
    bool memory = false;
    ParseTableName(name, memory, "Table name expected after ALTER TABLE keywords, instead found '",
                   "Table name expected after ALTER TABLE keywords, instead found '");
    AddSourceTable(name, memory);
    while (IsOneOf(t, {"ADD", "REDEFINE", "DROP"})) {
        const bool add = t.TokenIs("ADD");
        const bool drop = t.TokenIs("DROP");
        t.NextToken();
        const bool constraint = t.TokenIs("CONSTRAINT");
        if (constraint) {
            t.NextToken();
            t.NextToken();  // its name
        }
        if (constraint || t.TokenIs("PRIMARY") || (!drop && IsIndexModifier(t))) {
            CreateIndexes.push_back(std::make_unique<TCreateIndex>(this));
            TCreateIndex& index = *CreateIndexes.back();
            if (drop) {
                index.Drop = 1;
                if (!t.TokenIs("PRIMARY")) RaiseFound("PRIMARY keyword expected, instead found '");
                t.NextToken();
                if (!t.TokenIs("KEY")) RaiseFound("KEY keyword expected after PRIMARY keyword, instead found '");
                t.NextToken();
            } else {
                index.Add = add ? 1 : 0;
                index.Redefine = add ? 0 : 1;
                ParsePrimaryKey(index);
            }
        } else {
            if (static_cast<int32_t>(CreateFields.size()) >= MaxTableColumns) {
                Raise(ColumnLimitMessage(MaxTableColumns, "table"));
            }
            if (t.TokenIs("COLUMN")) t.NextToken();
            CreateFields.push_back(std::make_unique<TCreateField>(this));
            TCreateField& field = *CreateFields.back();
            if (drop) {
                field.Drop = 1;
                field.Definition = ParseColumnName("table column", "Table column name is empty", &field.DefinitionText);
                field.ColumnName = field.Definition->Name;
            } else {
                field.Add = add ? 1 : 0;
                field.Redefine = add ? 0 : 1;
                ParseColumnDefinition(field, true);
            }
        }
        if (!t.TokenKindIs(',')) break;
        t.NextToken();
    }
    ParseAlterTableOptions();
    CheckEndOfStatement();
}

void TDataQuery::ParseCreateIndex() {
    TExpressionParser& t = Tokens();
    CreateIndexes.push_back(std::make_unique<TCreateIndex>(this));
    TCreateIndex& index = *CreateIndexes.back();
    ParseIndexOptions(index);
    if (!t.TokenIs("INDEX")) RaiseFound("INDEX keyword expected, instead found '");
    t.NextToken();
    ParseIfNotExists();
    if (!t.IsSymbolToken()) RaiseFound("Index name expected after INDEX keyword, instead found '");
    index.IndexName = t.GetTokenText().substr(0, 255);
    t.NextToken();
    if (!t.TokenIs("ON")) RaiseFound("ON keyword expected after index name, instead found '");
    t.NextToken();
    std::string name;
    bool memory = false;
    ParseTableName(name, memory, "Table name expected after ON keyword, instead found '",
                   "Table name expected after ON keyword, instead found '");
    AddSourceTable(name, memory);
    ParseIndexColumns(index, "Left parentheses expected, instead found '", "Right parentheses expected, instead found '");
    ParseCompress(index);
    CheckEndOfStatement();
}

void TDataQuery::ParseDropTable() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // TABLE
    ParseIfExists();
    std::string name;
    bool memory = false;
    ParseTableName(name, memory, "Table name expected after DROP TABLE keywords, instead found '",
                   "Table name expected after DROP TABLE keywords, instead found '");
    AddSourceTable(name, memory);
    CheckEndOfStatement();
}

void TDataQuery::ParseDropIndex() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // INDEX
    ParseIfExists();
    bool memory = false;
    if (t.TokenIs("MEMORY")) {
        memory = true;
        t.NextToken();
    }
    const char* missing = "Table name expected after DROP INDEX keywords, instead found '";
    if (!t.IsSymbolToken()) RaiseFound(missing);
    TExpressionPtr qualified(ParseColumnName("index name expression", "Index name expression is empty", nullptr));
    std::string path;
    if (t.TokenKindIs('\\') && qualified->TableName.empty()) {
        path = qualified->Name;
        t.NextToken();
        if (!t.IsSymbolToken()) RaiseFound(missing);
        qualified.reset(ParseColumnName("index name expression", "Index name expression is empty", nullptr));
    }
    if (qualified->Kind != ekColumn || qualified->TableName.empty()) {
        Raise(std::string(missing) + qualified->Text + "'");
    }
    // The table part as written (a quoted one may hold a path of its own).
    const std::string& text = qualified->Text;
    std::string table = text.substr(0, text.size() - std::min(text.size(), qualified->Name.size() + 1));
    if (!path.empty()) table = path + "\\" + table;
    AddSourceTable(table, memory);
    CreateIndexes.push_back(std::make_unique<TCreateIndex>(this));
    CreateIndexes.back()->IndexName = qualified->Name;
    CreateIndexes.back()->Drop = 1;
    CheckEndOfStatement();
}

void TDataQuery::ParseTransaction() {
    TExpressionParser& t = Tokens();
    t.NextToken();  // TRANSACTION, ROLLBACK or COMMIT
    if (Kind != skStartTransaction && t.TokenIs("WORK")) t.NextToken();
    if (Kind == skCommit && t.TokenIs("FLUSH")) {
        CommitFlush = 1;
        t.NextToken();
    }
    CheckEndOfStatement();
}

}  // namespace kura

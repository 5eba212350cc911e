#pragma once
// The field scanner of delimited import lines: splits one zero-terminated line
// into fields, separators and line-end tokens. The import of the engine core
// (CursorImport.cpp) drives it line by line.
//
// Tokens: a field without quotes (kind 1, running to the next stop character), a
// field in single (kind 3) or double quotes (kind 4) in which the enclosing quote
// written twice stands for itself, or a stop character met at the start of a token,
// whose kind is its code: 0 end of text, 10 LF, 13 CR, or the Separator. Blanks
// before a token are skipped; blanks inside or after an unquoted field belong to it.
//
// A quoted field that reaches the end of the text raises ErrorCode with "Missing
// single quote after '...' in <ContextName>" (or double), ErrorObjectName and
// ErrorTableName as context. With MoreFollows set the text is only a part of the
// input: such a field ends the scan with kind 0 and StoppedInQuote set instead,
// so that the caller can read on and scan the line again.
#include <cstdint>
#include <string>

namespace kura {

constexpr uint8_t IMPORT_FIELD = 1;
constexpr uint8_t IMPORT_SINGLE_QUOTED = 3;
constexpr uint8_t IMPORT_DOUBLE_QUOTED = 4;
constexpr uint8_t IMPORT_END = 0;
constexpr uint8_t IMPORT_LF = 10;
constexpr uint8_t IMPORT_CR = 13;

class TImportParser {
public:
    // The owner is kept, never used.
    explicit TImportParser(void* owner = nullptr);
    virtual ~TImportParser();
    TImportParser(const TImportParser&) = delete;
    TImportParser& operator=(const TImportParser&) = delete;

    // Position, token start and token end at the start of the text; kind 0.
    void SetLine(const char* line);
    void SkipSpaces();
    // The next token's kind.
    uint8_t NextField();
    // Quoted fields without their quotes and with doubled quotes made single; any
    // other token from its start to the scan position with both kinds of doubled
    // quotes collapsed.
    void GetFieldText(std::string& text) const;
    bool TokenKindIs(uint8_t kind) const { return TokenKind == kind; }

    void* Owner;
    char Separator = ',';
    uint16_t ErrorCode = 0;
    std::string ErrorObjectName;
    std::string ErrorTableName;
    std::string ContextName;
    const char* Line = nullptr;
    const char* Position = nullptr;
    const char* TokenStart = nullptr;
    uint8_t TokenKind = 0;
    const char* TokenEnd = nullptr;
    const char* PreviousEnd = nullptr;
    bool MoreFollows = false;
    bool StoppedInQuote = false;

private:
    uint8_t ScanQuoted(char quote, uint8_t kind);
    [[noreturn]] void RaiseError(const std::string& message) const;
};

}  // namespace kura

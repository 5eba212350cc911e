#pragma once
// The scanner under the expression parser and the SQL parsers. It holds its own
// zero-terminated copy of a text and reads it one token at a time: names, bracketed
// names, quoted texts, "#" character constants, integer and floating-point numbers,
// and single characters that stand for themselves (the token kind is then the
// character's code). Blanks are the bytes 1 to 32; "/* ... */" comments are skipped.
// Two-character operators ("<>", "<=", ">=", "||") are assembled by the grammar.
//
// Every error of scanning and parsing goes through RaiseError: the engine error
// ErrorCode (KURA_SQLPARSE for a statement, KURA_INVALIDFILTER for a filter) with the
// message, cut to 255 bytes, as the message context, ErrorTableName as the table and
// ErrorObjectName as the database context. Messages end in " in " + ContextName.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpCodes.h"

namespace kura {

class TExpressionScanner {
public:
    // owner is kept for the caller (a statement or a cursor); the scanner never uses it.
    explicit TExpressionScanner(void* owner = nullptr);
    virtual ~TExpressionScanner() = default;
    TExpressionScanner(const TExpressionScanner&) = delete;
    TExpressionScanner& operator=(const TExpressionScanner&) = delete;

    void* Owner = nullptr;
    TEngineErrorCode ErrorCode = KURA_SQLPARSE;
    std::string ErrorObjectName;
    std::string ErrorTableName;
    std::string ContextName;

    // Forgets the text and every position; TokenKind becomes tkEnd.
    void ClearText();
    // Takes a copy of the text up to its first zero byte and sets the scan position at
    // its start. The caller then loads the first token with NextToken.
    void SetText(std::string_view text);
    bool HasText() const { return FHasText; }
    // Size of the text buffer (length + 1), 0 without a text.
    uint32_t TextSize() const { return FHasText ? static_cast<uint32_t>(FText.size() + 1) : 0; }

    // Scans the next token and makes it current; tkEnd at the end, and again on
    // every further call.
    uint8_t NextToken();
    uint8_t TokenKind() const { return FTokenKind; }
    bool TokenKindIs(uint8_t kind) const { return FTokenKind == kind; }
    // A name or a quoted text (kinds 1 to 4).
    bool IsSymbolToken() const { return FTokenKind >= tkIdentifier && FTokenKind <= tkDoubleQuoted; }
    // The current token is a name (never a quoted or bracketed one) equal to the keyword
    // without regard to case.
    bool TokenIs(std::string_view keyword) const;

    // Text of the current token: the characters between the delimiters of bracketed and
    // quoted tokens, else from its start to the scan position; doubled quote characters
    // collapsed (only the enclosing quote for a quoted text, both kinds otherwise).
    std::string GetTokenText() const;
    void GetTokenText(std::string& s) const { s = GetTokenText(); }

    // Marks the start of the current token; GetRawTokenText then gives the source from
    // there to the end of the last token consumed, without CR and LF.
    void MarkTokenStart() { FMarkStart = FTokenStart; FHasMark = true; }
    std::string GetRawTokenText() const;
    void GetRawTokenText(std::string& s) const { s = GetRawTokenText(); }

    // Offset of the current token's first character in the text (for callers that
    // report positions).
    size_t TokenOffset() const { return FTokenStart; }

    void SkipBlanks();
    // Skips blanks and "/* ... */" comments; an unclosed comment raises.
    void SkipComments();

    // Raises the parse error with this message. Never returns.
    [[noreturn]] void RaiseError(std::string_view message) const;
    // Raises prefix + current token text + "'" + " in " + ContextName: the common shape
    // of "..., instead found '" messages.
    [[noreturn]] void RaiseFound(std::string_view prefix) const;
    // Raises message + " in " + ContextName.
    [[noreturn]] void RaiseIn(std::string_view message) const;

protected:
    char CharAt(size_t position) const { return position < FText.size() ? FText[position] : '\0'; }

    std::string FText;  // the text; the scanner reads '\0' past its end
    bool FHasText = false;
    size_t FPosition = 0;     // next character
    size_t FTokenStart = 0;   // first character of the current token
    size_t FTokenEnd = 0;     // quoted tokens: after the closing delimiter
    size_t FMarkStart = 0;
    size_t FPreviousEnd = 0;  // scan position before the current token was read
    bool FHasMark = false;
    uint8_t FTokenKind = tkEnd;

private:
    void ScanQuoted(char quote, uint8_t kind, std::string_view missingMessage);
    void ScanNumber();
};

}  // namespace kura

#include "engine/expr/ExpLexer.h"

#include "engine/expr/ExpToken.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

bool IsLeadByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

bool IsBlank(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b >= 1 && b <= 32;
}

}  // namespace

TExpressionScanner::TExpressionScanner(void* owner) : Owner(owner) {}

void TExpressionScanner::ClearText() {
    FText.clear();
    FHasText = false;
    FPosition = FTokenStart = FTokenEnd = FMarkStart = FPreviousEnd = 0;
    FHasMark = false;
    FTokenKind = tkEnd;
}

void TExpressionScanner::SetText(std::string_view text) {
    ClearText();
    const size_t end = text.find('\0');
    FText.assign(text.substr(0, end));
    FHasText = true;
}

bool TExpressionScanner::TokenIs(std::string_view keyword) const {
    if (FTokenKind != tkIdentifier) return false;
    return SameNameText(std::string_view(FText).substr(FTokenStart, FPosition - FTokenStart), keyword);
}

std::string TExpressionScanner::GetTokenText() const {
    if (!FHasText) return {};
    std::string_view text(FText);
    std::string_view raw;
    switch (FTokenKind) {
        case tkBracketName:
        case tkSingleQuoted:
        case tkDoubleQuoted: {
            const size_t from = FTokenStart + 1;
            const size_t to = FTokenEnd >= 1 ? FTokenEnd - 1 : 0;
            if (to > from && from <= text.size()) raw = text.substr(from, to - from);
            break;
        }
        default:
            if (FPosition > FTokenStart && FTokenStart <= text.size()) raw = text.substr(FTokenStart, FPosition - FTokenStart);
            break;
    }
    if (FTokenKind == tkSingleQuoted) return UnquoteDoubled('\'', raw);
    if (FTokenKind == tkDoubleQuoted) return UnquoteDoubled('"', raw);
    return UnquoteDoubled(' ', raw);
}

std::string TExpressionScanner::GetRawTokenText() const {
    if (!FHasText || !FHasMark || FPreviousEnd <= FMarkStart) return {};
    return RemoveLineBreaks(std::string_view(FText).substr(FMarkStart, FPreviousEnd - FMarkStart));
}

void TExpressionScanner::SkipBlanks() {
    while (FPosition < FText.size() && IsBlank(FText[FPosition])) ++FPosition;
}

void TExpressionScanner::SkipComments() {
    for (;;) {
        SkipBlanks();
        if (CharAt(FPosition) != '/' || CharAt(FPosition + 1) != '*') return;
        const size_t close = FText.find("*/", FPosition + 2);
        if (close == std::string::npos) {
            FPosition = FText.size();
            RaiseIn("Missing ending comment slash and asterisk");
        }
        FPosition = close + 2;
    }
}

void TExpressionScanner::ScanQuoted(char quote, uint8_t kind, std::string_view missingMessage) {
    FTokenKind = kind;
    size_t p = FTokenStart + 1;
    for (;;) {
        const char c = CharAt(p);
        if (c == '\0') {
            // The text ends inside the quotes: the message names what lies between the
            // opening quote and the last two characters, as the scanner has always done.
            FPosition = FText.empty() ? 0 : FText.size() - 1;
            FTokenEnd = FPosition;
            RaiseFound(missingMessage);
        }
        if (c == quote) {
            if (CharAt(p + 1) == quote) {
                p += 2;
                continue;
            }
            FPosition = FTokenEnd = p + 1;
            return;
        }
        ++p;
    }
}

void TExpressionScanner::ScanNumber() {
    // Digits, then "." and exponents make a floating-point token; a sign belongs to
    // the number only directly after "E". Whether the text is a valid number is the
    // grammar's question.
    FTokenKind = tkInteger;
    size_t p = FPosition;
    for (;;) {
        const char c = CharAt(p);
        if (IsDigitChar(c)) {
            ++p;
        } else if (c == '.' || c == 'E' || c == 'e') {
            FTokenKind = tkFloat;
            ++p;
        } else if ((c == '+' || c == '-') && p > FTokenStart && (FText[p - 1] == 'E' || FText[p - 1] == 'e')) {
            FTokenKind = tkFloat;
            ++p;
        } else {
            break;
        }
    }
    FPosition = p;
}

uint8_t TExpressionScanner::NextToken() {
    FPreviousEnd = FPosition;
    SkipComments();
    FTokenStart = FTokenEnd = FPosition;
    const char c = CharAt(FPosition);
    if (c == '\0') {
        FTokenKind = tkEnd;
        return FTokenKind;
    }
    if (IsIdentStartChar(c)) {
        // A double-byte character is taken whole: its second byte may be any of
        // 0x40-0xFC, also "\" or "]", and never ends the name.
        size_t p = FPosition;
        for (;;) {
            const char d = CharAt(p);
            if (IsLeadByte(d) && CharAt(p + 1) != '\0') {
                p += 2;
            } else if (IsIdentChar(d) || IsSpecialIdentChar(d)) {
                ++p;
            } else {
                break;
            }
        }
        FPosition = p;
        FTokenKind = tkIdentifier;
    } else if (c == '#') {
        size_t p = FPosition + 1;
        while (IsDigitChar(CharAt(p))) ++p;
        FPosition = p;
        FTokenKind = tkCharConstant;
    } else if (c == '\'') {
        ScanQuoted('\'', tkSingleQuoted, "Missing single quote after '");
    } else if (c == '"') {
        ScanQuoted('"', tkDoubleQuoted, "Missing double quote after '");
    } else if (c == '[') {
        size_t p = FPosition + 1;
        for (;;) {
            const char d = CharAt(p);
            if (d == '\0') {
                FTokenKind = tkBracketName;
                FPosition = FText.size();
                FTokenEnd = FText.size() + 1;  // the whole partial name
                RaiseFound("Missing right bracket after '");
            }
            if (d == ']') break;
            p += IsLeadByte(d) && CharAt(p + 1) != '\0' ? 2 : 1;
        }
        FPosition = FTokenEnd = p + 1;
        FTokenKind = tkBracketName;
    } else if (IsDigitChar(c)) {
        ScanNumber();
    } else if (c == '.' && IsDigitChar(CharAt(FPosition + 1))) {
        size_t p = FPosition + 1;
        for (;;) {
            const char d = CharAt(p);
            if (IsDigitChar(d) || d == 'E' || d == 'e') {
                ++p;
            } else if ((d == '+' || d == '-') && (FText[p - 1] == 'E' || FText[p - 1] == 'e')) {
                ++p;
            } else {
                break;
            }
        }
        FPosition = p;
        FTokenKind = tkFloat;
    } else {
        ++FPosition;
        FTokenKind = static_cast<uint8_t>(c);
    }
    return FTokenKind;
}

void TExpressionScanner::RaiseError(std::string_view message) const {
    RaiseEngineError(ErrorCode, {}, {}, ErrorObjectName, ErrorTableName, {}, {}, message.substr(0, 255));
}

void TExpressionScanner::RaiseFound(std::string_view prefix) const {
    std::string message(prefix);
    message += GetTokenText();
    message += "' in ";
    message += ContextName;
    RaiseError(message);
}

void TExpressionScanner::RaiseIn(std::string_view message) const {
    std::string text(message);
    text += " in ";
    text += ContextName;
    RaiseError(text);
}

}  // namespace kura

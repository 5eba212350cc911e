#include "engine/expr/ImportParser.h"

#include "engine/errors/EngineErrors.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

// Every doubled quote of this kind made single.
void CollapseDoubled(std::string& text, char quote) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == quote && i + 1 < text.size() && text[i + 1] == quote) ++i;
    }
    text.swap(out);
}

constexpr std::size_t MESSAGE_LIMIT = 255;

}  // namespace

TImportParser::TImportParser(void* owner) : Owner(owner) {}

TImportParser::~TImportParser() { Line = Position = TokenStart = TokenEnd = PreviousEnd = nullptr; }

void TImportParser::SetLine(const char* line) {
    Line = Position = TokenStart = TokenEnd = line;
    PreviousEnd = nullptr;
    TokenKind = 0;
    StoppedInQuote = false;
}

void TImportParser::SkipSpaces() {
    while (Position && *Position == ' ') ++Position;
}

void TImportParser::RaiseError(const std::string& message) const {
    RaiseEngineError(ErrorCode, {}, {}, ErrorObjectName, ErrorTableName, {}, {}, message.substr(0, MESSAGE_LIMIT));
}

uint8_t TImportParser::ScanQuoted(char quote, uint8_t kind) {
    ++Position;
    for (;;) {
        if (*Position == 0) {
            if (MoreFollows) {
                StoppedInQuote = true;
                return IMPORT_END;
            }
            std::string text(TokenStart + 1, Position);
            RaiseError(std::string(quote == '\'' ? "Missing single quote after '" : "Missing double quote after '") +
                       text + "' in " + ContextName);
        }
        if (*Position == quote) {
            if (Position[1] == quote) {
                Position += 2;
                continue;
            }
            ++Position;
            TokenEnd = Position;
            return kind;
        }
        ++Position;
    }
}

uint8_t TImportParser::NextField() {
    if (!Position) return TokenKind = IMPORT_END;
    PreviousEnd = Position;
    SkipSpaces();
    TokenStart = Position;
    TokenEnd = Position;
    const char c = *Position;
    uint8_t kind = 0;
    if (c == '\'') {
        kind = ScanQuoted('\'', IMPORT_SINGLE_QUOTED);
    } else if (c == '"') {
        kind = ScanQuoted('"', IMPORT_DOUBLE_QUOTED);
    } else if (c == 0 || c == '\n' || c == '\r' || c == Separator) {
        kind = static_cast<uint8_t>(c);
        if (c != 0) ++Position;
    } else {
        // By characters: a delimiter such as "\\" or "|" may be the second byte of a
        // double-byte character (表, ポ), which never ends the field. No second byte
        // lies below 0x40, so a stray lead byte never swallows a line break or a
        // separator such as "," or a tab: the malformed field ends where it should.
        while (*Position != 0 && *Position != '\n' && *Position != '\r' && *Position != Separator) {
            const char* next = Position;
            NextCharDBCS(next);
            Position = next - Position == 2 && static_cast<uint8_t>(Position[1]) < 0x40 ? Position + 1 : next;
        }
        kind = IMPORT_FIELD;
    }
    TokenKind = kind;
    return kind;
}

void TImportParser::GetFieldText(std::string& text) const {
    if (!TokenStart || !Position) {
        text.clear();
        return;
    }
    if (TokenKind == IMPORT_SINGLE_QUOTED || TokenKind == IMPORT_DOUBLE_QUOTED) {
        const char quote = TokenKind == IMPORT_SINGLE_QUOTED ? '\'' : '"';
        text.assign(TokenStart + 1, TokenEnd - 1);
        CollapseDoubled(text, quote);
        return;
    }
    text.assign(TokenStart, Position);
    CollapseDoubled(text, '\'');
    CollapseDoubled(text, '"');
}

}  // namespace kura

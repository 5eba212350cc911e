// The import line scanner: the token sequences of typical and awkward lines, and the
// error of a quoted field without its closing quote.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ImportParser.h"

namespace kura {
namespace {

// Tokens as text: a field as its text, any other token as "<code>".
std::vector<std::string> Tokens(const char* line, char separator = ',') {
    TImportParser p;
    p.Separator = separator;
    p.ErrorCode = KURA_IMPORTERROR;
    p.ContextName = "import data";
    p.SetLine(line);
    std::vector<std::string> out;
    for (;;) {
        const uint8_t kind = p.NextField();
        if (kind == IMPORT_FIELD || kind == IMPORT_SINGLE_QUOTED || kind == IMPORT_DOUBLE_QUOTED) {
            std::string text;
            p.GetFieldText(text);
            out.push_back(std::to_string(kind) + ":" + text);
        } else {
            out.push_back("<" + std::to_string(kind) + ">");
            if (kind == IMPORT_END) break;
        }
    }
    return out;
}

using V = std::vector<std::string>;

TEST(ImportParser, SplitsLinesIntoTokens) {
    struct Case {
        const char* line;
        char separator;
        V tokens;
    } cases[] = {
        {"'a,b',c", ',', {"3:a,b", "<44>", "1:c", "<0>"}},
        {"a,,b", ',', {"1:a", "<44>", "<44>", "1:b", "<0>"}},
        {"'It''s'", ',', {"3:It's", "<0>"}},
        {"\"say \"\"hi\"\"\",x", ',', {"4:say \"hi\"", "<44>", "1:x", "<0>"}},
        {"a\r\n", ',', {"1:a", "<13>", "<10>", "<0>"}},
        {"  x  ,y", ',', {"1:x  ", "<44>", "1:y", "<0>"}},
        {"a\tb c\t'd'", '\t', {"1:a", "<9>", "1:b c", "<9>", "3:d", "<0>"}},
        {"'q'x,y", ',', {"3:q", "1:x", "<44>", "1:y", "<0>"}},
        {"", ',', {"<0>"}},
        {"a\nb", ',', {"1:a", "<10>", "1:b", "<0>"}},
        {"\"\"", ',', {"4:", "<0>"}},
        {"\"\x82\xA0,\x82\xA2\"", ',', {"4:\x82\xA0,\x82\xA2", "<0>"}},
        // A delimiter that is the second byte of a character (ポ 0x83 0x7C, 表 0x95
        // 0x5C) ends no field.
        {"\x83\x7C|x", '|', {"1:\x83\x7C", "<124>", "1:x", "<0>"}},
        {"\x95\x5C\\\x95\x5C", '\\', {"1:\x95\x5C", "<92>", "1:\x95\x5C", "<0>"}},
        {"a\x83", '|', {"1:a\x83", "<0>"}},
        // A stray lead byte keeps the separator or line break after it.
        {"a\x83,b", ',', {"1:a\x83", "<44>", "1:b", "<0>"}},
        {"a\x83\nb", ',', {"1:a\x83", "<10>", "1:b", "<0>"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_EQ(Tokens(c.line, c.separator), c.tokens);
    }
}

TEST(ImportParser, MissingClosingQuoteRaisesWithTheContext) {
    for (const char* line : {"'abc", "\"abc", "x,'ab''"}) {
        SCOPED_TRACE(line);
        TImportParser p;
        p.ErrorCode = KURA_IMPORTERROR;
        p.ErrorTableName = "Staff";
        p.ContextName = "import data";
        p.SetLine(line);
        try {
            while (p.NextField() != IMPORT_END) {
            }
            FAIL() << "no error";
        } catch (const EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), KURA_IMPORTERROR);
            EXPECT_EQ(e.ErrorContext(ctxTable), "Staff");
            const std::string message = e.ErrorContext(ctxMessage);
            EXPECT_EQ(message.rfind(line[0] == '"' ? "Missing double quote after '" : "Missing single quote after '", 0),
                      0u)
                << message;
            EXPECT_NE(message.find("' in import data"), std::string::npos) << message;
        }
    }
}

TEST(ImportParser, PartialTextStopsInsideAQuoteInsteadOfRaising) {
    TImportParser p;
    p.SetLine("a,'unfinished");
    p.MoreFollows = true;
    EXPECT_EQ(p.NextField(), IMPORT_FIELD);
    EXPECT_EQ(p.NextField(), ',');
    EXPECT_EQ(p.NextField(), IMPORT_END);
    EXPECT_TRUE(p.StoppedInQuote);
}

}  // namespace
}  // namespace kura

#include <gtest/gtest.h>

#include <string>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpLexer.h"

using namespace kura;

namespace {

// Every token of a text as kind:text, blank-separated.
std::string Tokens(std::string_view text) {
    TExpressionScanner scanner;
    scanner.ContextName = "SQL statement";
    scanner.SetText(text);
    std::string out;
    while (scanner.NextToken() != tkEnd) {
        if (!out.empty()) out += ' ';
        const uint8_t kind = scanner.TokenKind();
        out += kind <= tkFloat ? std::to_string(kind) : std::string(1, static_cast<char>(kind));
        out += ":" + scanner.GetTokenText();
    }
    // The end stays the end.
    EXPECT_EQ(scanner.NextToken(), tkEnd);
    return out;
}

TEST(ExpressionScanner, TokensOfTexts) {
    struct Case {
        const char* Text;
        const char* Tokens;
    };
    const Case cases[] = {
        {"a<>b", "1:a <:< >:> 1:b"},
        {"1.5e-3", "7:1.5e-3"},
        {"1-3", "6:1 -:- 6:3"},
        {"12abc", "6:12 1:abc"},
        {".5", "7:.5"},
        {".", ".:."},
        {"1.2.3", "7:1.2.3"},
        {"1e+5+2", "7:1e+5 +:+ 6:2"},
        {"'It''s'", "3:It's"},
        {"\"say \"\"hi\"\"\"", "4:say \"hi\""},
        {"[Order Date]", "2:Order Date"},
        {"/* x */ a", "1:a"},
        {"/* x *//* y */a/**/b", "1:a 1:b"},
        {"#13 #", "5:#13 5:#"},
        {"name$1!@x", "1:name$1!@x"},
        {"_x\x01\x1f y", "1:_x 1:y"},
        {"\xff", "\xff:\xff"},
        {"a\0b", "1:a"},
        // A double-byte name keeps a second byte that is "\" or "]".
        {"\x83\x5c\x83\x5d = [\x83\x5d]", "1:\x83\x5c\x83\x5d =:= 2:\x83\x5d"},
        {"?,|", "?:? ,:, |:|"},
    };
    for (const Case& c : cases) EXPECT_EQ(Tokens(c.Text), c.Tokens) << c.Text;
}

TEST(ExpressionScanner, KeywordsAndMarks) {
    TExpressionScanner scanner;
    scanner.SetText("select 'SELECT' [SELECT]\r\n  x + y z");
    scanner.NextToken();
    EXPECT_TRUE(scanner.TokenIs("SELECT"));
    EXPECT_TRUE(scanner.IsSymbolToken());
    scanner.NextToken();
    EXPECT_FALSE(scanner.TokenIs("SELECT"));  // quoted texts are never keywords
    EXPECT_TRUE(scanner.IsSymbolToken());
    scanner.NextToken();
    EXPECT_FALSE(scanner.TokenIs("SELECT"));
    scanner.MarkTokenStart();
    scanner.NextToken();  // x
    scanner.MarkTokenStart();
    scanner.NextToken();  // +
    EXPECT_FALSE(scanner.IsSymbolToken());
    scanner.NextToken();  // y
    scanner.NextToken();  // z
    EXPECT_EQ(scanner.GetRawTokenText(), "x + y");
    EXPECT_EQ(scanner.TextSize(), 36u);
    scanner.ClearText();
    EXPECT_EQ(scanner.TextSize(), 0u);
    EXPECT_EQ(scanner.NextToken(), tkEnd);
}

TEST(ExpressionScanner, UnclosedTokensRaiseWithThePartialText) {
    struct Case {
        const char* Text;
        const char* Message;
    };
    const Case cases[] = {
        {"'abcd", "Missing single quote after 'ab' in filter expression"},
        {"x = \"abcd", "Missing double quote after 'ab' in filter expression"},
        {"'", "Missing single quote after '' in filter expression"},
        {"'a", "Missing single quote after '' in filter expression"},
        {"[Order Da", "Missing right bracket after 'Order Da' in filter expression"},
        {"[", "Missing right bracket after '' in filter expression"},
        {"/* x", "Missing ending comment slash and asterisk in filter expression"},
        {"a /*/", "Missing ending comment slash and asterisk in filter expression"},
    };
    for (const Case& c : cases) {
        TExpressionScanner scanner;
        scanner.ErrorCode = KURA_INVALIDFILTER;
        scanner.ErrorTableName = "staff";
        scanner.ErrorObjectName = "obj";
        scanner.ContextName = "filter expression";
        scanner.SetText(c.Text);
        try {
            while (scanner.NextToken() != tkEnd) {
            }
            ADD_FAILURE() << c.Text;
        } catch (const EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), KURA_INVALIDFILTER);
            EXPECT_EQ(e.ErrorContext(ctxMessage), c.Message) << c.Text;
            EXPECT_EQ(e.ErrorContext(ctxTable), "staff");
            EXPECT_EQ(e.ErrorContext(ctxDatabase), "obj");
        }
    }
}

}  // namespace

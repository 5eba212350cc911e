// The expression parser over untrusted filter and clause texts. The first input byte
// chooses the permission flags (low five bits) and whether the text is an SQL clause
// (bit 7); the rest is the text.
//
// Every text must give either a tree or the parser's engine error, never anything
// else; a tree must copy to an equal tree and survive its flat image; type checking
// of the tree (columns typed by their first letter) must end in a typed tree or the
// same error code; and every node taken from the pool must come back, also when
// parsing or checking fails halfway.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpParser.h"
#include "engine/expr/ExpStream.h"
#include "engine/expr/ExpTokenPool.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/FieldTypes.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

int64_t Outstanding() { return kura::TExpToken::LiveCount() - kura::ExpTokenStack->Count(); }

// The image carries neither correlation names nor parameter marks.
void ForgetUnwritten(kura::TExpToken* node) {
    if (!node) return;
    node->TableName.clear();
    node->IsParameter = 0;
    ForgetUnwritten(node->Left);
    ForgetUnwritten(node->Right);
    for (kura::TExpToken* argument : node->Arguments) ForgetUnwritten(argument);
}

void CheckTree(kura::TExpToken* tree) {
    kura::TExpToken* copy = kura::CopyExpression(tree);
    Check(kura::SameExpression(tree, copy));
    ForgetUnwritten(copy);
    std::vector<uint8_t> image;
    kura::ExpressionStreamSizeEx(copy, image);
    kura::TExpToken* back = nullptr;
    kura::ReadExpressionStream(image.data(), image.size(), back);
    Check(kura::SameExpression(copy, back));
    kura::NormalizeFunctionArguments(back);
    kura::ExpressionStreamSize(back, image);
    kura::FreeExpression(back);
    kura::FreeExpression(copy);
}

// Columns are typed by the first letter of their name; names starting with "x" do
// not exist.
bool Resolve(void*, kura::TExpToken* node) {
    struct TType {
        uint8_t Type, Subtype;
        int32_t Size;
    };
    static const TType types[] = {{kura::fldZSTRING, 0, 21}, {kura::fldINT32, 0, 4}, {kura::fldFLOAT, 0, 8},
                                  {kura::fldDATE, 0, 4},     {kura::fldBOOL, 0, 2},  {kura::fldBLOB, 22, 10},
                                  {kura::fldTIMESTAMP, 0, 8}, {kura::fldBCD, 0, 34}, {kura::fldINT16, 0, 2}};
    if (node->Name.empty() || node->Name[0] == 'x') return false;
    const TType& t = types[static_cast<uint8_t>(node->Name[0]) % std::size(types)];
    node->DataType = t.Type;
    node->DataSubtype = t.Subtype;
    node->DataSize = t.Size;
    node->Scale = t.Type == kura::fldBCD ? 2 : 0;
    return true;
}

void CheckTypes(kura::TExpToken* tree, uint16_t errorCode, bool sql) {
    kura::TExpToken* typed = kura::CopyExpression(tree);
    try {
        kura::CheckExpressionTypes(errorCode, "t", "", sql, !sql, Resolve, nullptr, nullptr, typed,
                                   sql ? "SQL statement" : "filter expression");
        kura::TExpToken* copy = kura::CopyExpression(typed);
        Check(kura::SameExpression(typed, copy));
        kura::FreeExpression(copy);
    } catch (const kura::EKuraEngineError& e) {
        Check(e.ErrorCode() == errorCode);
    }
    kura::FreeExpression(typed);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (!kura::ExpTokenStack) kura::ExpTokenStack = new kura::TExpTokenStack();
    const int64_t before = Outstanding();
    const uint8_t flags = data[0] & 0x0F;  // no sub-selects: a filter has no statement
    const bool sql = (data[0] & 0x80) != 0;
    const std::string_view text(reinterpret_cast<const char*>(data + 1), size - 1);

    kura::TExpressionParser parser;
    parser.ErrorCode = sql ? kura::KURA_SQLPARSE : kura::KURA_INVALIDFILTER;
    parser.ContextName = sql ? "SQL statement" : "filter expression";
    parser.Clock = [] { return 45000.25; };
    kura::TExpToken* tree = nullptr;
    try {
        parser.SetText(text);
        parser.NextToken();
        tree = parser.ParseExpression(flags);
    } catch (const kura::EKuraEngineError& e) {
        Check(e.ErrorCode() == parser.ErrorCode);
        Check(tree == nullptr);
    }
    if (tree) {
        Check(kura::ExpressionDepth(tree) <= kura::MaxExpressionDepth);
        CheckTree(tree);
        CheckTypes(tree, parser.ErrorCode, sql);
        kura::FreeExpression(tree);
    }
    Check(Outstanding() == before);
    return 0;
}

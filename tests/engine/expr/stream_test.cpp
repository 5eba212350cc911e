#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ExprTestSupport.h"
#include "engine/expr/ExpStream.h"
#include "engine/files/FieldTypes.h"

using namespace kura;
using namespace kura::exprtest;

namespace {

// Writes form B and reads it back.
TExpToken* RoundTripB(const TExpToken* tree) {
    std::vector<uint8_t> image;
    const uint32_t size = ExpressionStreamSizeEx(tree, image);
    EXPECT_EQ(size, image.size());
    TExpToken* back = nullptr;
    ReadExpressionStream(image.data(), image.size(), back);
    return back;
}

// A reader of form A for the tests (the engine only writes it): follows the offsets.
TExpToken* DecodeFormA(const std::vector<uint8_t>& image, uint32_t offset) {
    size_t p = offset;
    auto count = [&] {
        uint32_t n = 0;
        std::memcpy(&n, image.data() + p, 4);
        p += 4;
        return n;
    };
    auto bytes = [&](std::string& out) {
        const uint32_t n = count();
        out.assign(reinterpret_cast<const char*>(image.data() + p), n);
        p += n;
    };
    auto u = [&](auto& field) {
        const uint32_t n = count();
        field = 0;
        std::memcpy(&field, image.data() + p, n);
        p += n;
    };
    TExpToken* node = AllocExpToken();
    std::string value;
    bytes(node->Text);
    u(node->Kind);
    u(node->Code);
    u(node->Flag);
    bytes(node->Name);
    u(node->FieldNumber);
    u(node->DataSize);
    bytes(value);
    node->SetDataSize(node->DataSize);
    if (!value.empty()) std::memcpy(node->Value.data(), value.data(), value.size());
    u(node->IsNull);
    u(node->PartialLength);
    u(node->CaseInsensitive);
    u(node->DataType);
    u(node->DataSubtype);
    u(node->Scale);
    u(node->LeftOffset);
    u(node->RightOffset);
    u(node->ThirdOffset);
    if (node->LeftOffset) node->Left = DecodeFormA(image, node->LeftOffset);
    if (node->RightOffset) node->Right = DecodeFormA(image, node->RightOffset);
    if (node->ThirdOffset) node->Third = DecodeFormA(image, node->ThirdOffset);
    return node;
}

bool SameWithThird(const TExpToken* a, const TExpToken* b) {
    if (!a || !b) return a == b;
    return a->SameValue(*b) && SameWithThird(a->Left, b->Left) && SameWithThird(a->Right, b->Right) &&
           SameWithThird(a->Third, b->Third);
}

// The image carries neither correlation names nor parameter marks.
void ForgetUnwritten(TExpToken* node) {
    if (!node) return;
    node->TableName.clear();
    node->IsParameter = 0;
    ForgetUnwritten(node->Left);
    ForgetUnwritten(node->Right);
    for (TExpToken* argument : node->Arguments) ForgetUnwritten(argument);
}

TEST(ExpressionImage, BothFormsRoundTrip) {
    PoolScope pool;
    for (const char* text : Corpus) {
        TExpToken* tree = Parse(text);
        ASSERT_NE(tree, nullptr) << text;
        ForgetUnwritten(tree);

        TExpToken* back = RoundTripB(tree);
        EXPECT_TRUE(SameExpression(tree, back)) << text << "\n" << Dump(tree) << "\n" << Dump(back);
        EXPECT_EQ(Dump(tree), Dump(back));
        FreeExpression(back);

        TExpToken* shaped = CopyExpression(tree);
        NormalizeFunctionArguments(shaped);
        std::vector<uint8_t> image;
        const uint32_t written = ExpressionStreamSize(shaped, image);
        ASSERT_EQ(written, image.size());
        TExpToken* decoded = DecodeFormA(image, 0);
        EXPECT_TRUE(SameWithThird(shaped, decoded)) << text;
        FreeExpression(decoded);
        FreeExpression(shaped);
        FreeExpression(tree);
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ExpressionImage, LayoutOfABinaryNodeOverTwoConstants) {
    PoolScope pool;
    TExpToken* tree = Parse("1 = 'ab'");
    std::vector<uint8_t> image;
    const uint32_t size = ExpressionStreamSizeEx(tree, image);
    // Record of the root: 18 counts, "=", 30 fixed bytes, 4 more for form B.
    const uint32_t rootSize = 18 * 4 + 1 + 30 + 4;
    const uint32_t leftSize = 18 * 4 + 1 + 30 + 4 + 4;   // "1" and a 4-byte integer
    const uint32_t rightSize = 18 * 4 + 2 + 30 + 4 + 3;  // "ab" and "ab\0"
    EXPECT_EQ(size, rootSize + leftSize + rightSize);
    // Golden bytes of the root record.
    const std::vector<uint8_t> root = {
        1, 0, 0, 0, '=',  1, 0, 0, 0, ekBinary, 1, 0, 0, 0, opEqual, 1, 0, 0, 0, 0,  // Text Kind Code Flag
        0, 0, 0, 0,  2, 0, 0, 0, 0, 0,  4, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0,         // Name FieldNumber DataSize Value
        1, 0, 0, 0, 0,  4, 0, 0, 0, 0, 0, 0, 0,  1, 0, 0, 0, 0,                        // IsNull PartialLength Case
        1, 0, 0, 0, fldBOOL,  1, 0, 0, 0, 0,  1, 0, 0, 0, 0,                           // DataType Subtype Scale
        4, 0, 0, 0, static_cast<uint8_t>(rootSize), 0, 0, 0,                           // LeftOffset
        4, 0, 0, 0, static_cast<uint8_t>(rootSize + leftSize), 0, 0, 0,                // RightOffset
        4, 0, 0, 0, 0, 0, 0, 0,  4, 0, 0, 0, 0, 0, 0, 0,                               // count, ArgumentsOffset
    };
    ASSERT_EQ(root.size(), rootSize);
    EXPECT_EQ(std::vector<uint8_t>(image.begin(), image.begin() + rootSize), root);
    // The left constant's value: 4 bytes, little-endian 1.
    const std::vector<uint8_t> value = {4, 0, 0, 0, 1, 0, 0, 0};
    EXPECT_EQ(std::vector<uint8_t>(image.begin() + rootSize + 4 + 1 + 15 + 4 + 6 + 8,
                                   image.begin() + rootSize + 4 + 1 + 15 + 4 + 6 + 16),
              value);
    TExpToken* back = nullptr;
    ReadExpressionStream(image.data(), image.size(), back);
    EXPECT_TRUE(SameExpression(tree, back));
    EXPECT_EQ(back->Left->Parent, back);

    std::vector<uint8_t> none = {1, 2, 3};
    EXPECT_EQ(ExpressionStreamSizeEx(nullptr, none), 0u);
    EXPECT_TRUE(none.empty());
    TExpToken* untouched = back;
    ReadExpressionStream(nullptr, 10, untouched);
    EXPECT_EQ(untouched, back);
    FreeExpression(back);
    FreeExpression(tree);
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ExpressionImage, NormalisedShapesOfFormA) {
    PoolScope pool;
    struct Case {
        const char* Text;
        const char* Shape;  // Dump of the normalised tree: Left, Right (and Third) as children
    };
    const Case cases[] = {
        {"SUBSTRING(a FROM 2 FOR 3)", "SUBSTRING(a,2)"},
        {"REPLACE('x' WITH 'y' IN a)", "REPLACE(a,'x')"},
        {"POS('c' IN a)", "POS(a,'c')"},
        {"TRIM(BOTH ' ' FROM a)", "TRIM(a,' ')"},
        {"a IN (1, 2, 3)", "IN(a,1)"},
        {"a BETWEEN 1 AND 2", "BETWEEN(a,1)"},
        {"a LIKE 'x'", "LIKE(a,'x')"},
        {"UPPER(a)", "UPPER(a)"},
        {"ROUND(f TO 2)", "ROUND(f,2)"},
    };
    for (const Case& c : cases) {
        TExpToken* tree = Parse(c.Text);
        NormalizeFunctionArguments(tree);
        EXPECT_TRUE(tree->Arguments.empty()) << c.Text;
        // The dump shows Left and Right once the arguments are gone.
        tree->Kind = ekBinary;
        if (!tree->Right) tree->Kind = ekUnary;
        EXPECT_EQ(Dump(tree), c.Shape) << c.Text;
        FreeExpression(tree);
    }
    TExpToken* list = Parse("a IN (1, 2, 3)");
    NormalizeFunctionArguments(list);
    EXPECT_EQ(Dump(list->Right->Right->Right), "3");
    NormalizeFunctionArguments(list);  // twice is harmless
    FreeExpression(list);
    TExpToken* cond = Parse("IF(a THEN b ELSE c)");
    NormalizeFunctionArguments(cond);
    EXPECT_EQ(cond->Third->Name, "c");
    FreeExpression(cond);
    TExpToken* kept = Parse("COALESCE(a, b)");
    NormalizeFunctionArguments(kept);
    EXPECT_EQ(kept->ArgumentCount(), 2);
    FreeExpression(kept);
    // An argument whose slot is taken stays in the list instead of being lost.
    TExpToken* clash = Parse("SUBSTRING(a FROM b + 1 FOR 2)");
    NormalizeFunctionArguments(clash);
    EXPECT_EQ(Dump(clash->Right), "+(b,1)");
    ASSERT_EQ(clash->ArgumentCount(), 1);
    EXPECT_EQ(Dump(clash->Arguments[0]), "2");
    FreeExpression(clash);
    EXPECT_EQ(pool.Outstanding(), 0);
}

// Appends one field: a 32-bit count and the bytes.
void Field(std::vector<uint8_t>& out, const void* data, uint32_t n) {
    const auto* p = static_cast<const uint8_t*>(data);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    out.insert(out.end(), p, p + n);
}
void U8(std::vector<uint8_t>& out, uint8_t v) { Field(out, &v, 1); }
void U32(std::vector<uint8_t>& out, uint32_t v) { Field(out, &v, 4); }

// A form B record with the given kind, code, child marks and argument count.
std::vector<uint8_t> Record(uint8_t kind, uint8_t code, bool left, bool right, uint32_t count) {
    std::vector<uint8_t> out;
    Field(out, "x", 1);
    U8(out, kind);
    U8(out, code);
    U8(out, 0);
    Field(out, "x", 1);
    uint16_t field = 0;
    Field(out, &field, 2);
    U32(out, 0);
    Field(out, "", 0);
    U8(out, 0);
    U32(out, 0);
    U8(out, 0);
    U8(out, 0);
    U8(out, 0);
    U8(out, 0);
    U32(out, left ? 1 : 0);
    U32(out, right ? 1 : 0);
    U32(out, count);
    U32(out, count ? 1 : 0);
    return out;
}

std::string ReadError(const std::vector<uint8_t>& image) {
    TExpToken* tree = nullptr;
    try {
        static const uint8_t nothing = 0;
        ReadExpressionStream(image.empty() ? &nothing : image.data(), image.size(), tree);
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(tree, nullptr);
        EXPECT_EQ(e.ErrorCode(), KURA_UNCOMPRESS);
        return e.ErrorContext(ctxMessage);
    }
    FreeExpression(tree);
    return "";
}

TEST(ExpressionImage, DamagedImagesAreRefused) {
    PoolScope pool;
    const std::vector<uint8_t> column = Record(ekColumn, 0, false, false, 0);
    EXPECT_EQ(ReadError(column), "");

    auto concat = [](std::initializer_list<std::vector<uint8_t>> parts) {
        std::vector<uint8_t> out;
        for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
        return out;
    };
    struct Case {
        std::vector<uint8_t> Image;
        const char* Why;
    };
    std::vector<uint8_t> wrongWidth = column;
    wrongWidth[4 + 1] = 2;  // Kind's count
    std::vector<uint8_t> longName = column;
    {
        longName = {};
        Field(longName, "", 0);
        U8(longName, ekColumn);
        U8(longName, 0);
        U8(longName, 0);
        const std::string name(300, 'n');
        Field(longName, name.data(), 300);
    }
    std::vector<uint8_t> hugeValue = column;
    {
        hugeValue.assign(column.begin(), column.begin() + 4 + 1 + 5 + 5 + 5 + 4 + 1 + 6);
        U32(hugeValue, 0x7FFFFFF0);
        Field(hugeValue, "", 0);
    }
    const Case cases[] = {
        {{}, "truncated at byte 0"},
        {{1, 0, 0}, "truncated at byte 0"},
        {{0xFF, 0xFF, 0xFF, 0xFF}, "truncated at byte 4"},
        {wrongWidth, "field of the wrong size at byte 5"},
        {longName, "name longer than 255 bytes"},
        {hugeValue, "value size differs from its field"},
        {Record(6, 0, false, false, 0), "unknown node kind 6"},
        {Record(99, 0, false, false, 0), "unknown node kind 99"},
        {Record(ekUnary, opNot, false, false, 0), "unary operator without one operand"},
        {concat({Record(ekUnary, 77, true, false, 0), column}), "unknown unary operator"},
        {concat({Record(ekBinary, opEqual, true, false, 0), column}), "binary operator without two operands"},
        {concat({Record(ekBinary, 99, true, true, 0), column, column}), "unknown binary operator"},
        {concat({Record(ekPartialCompare, opLess, true, true, 0), column, column}), "unknown binary operator"},
        {concat({Record(ekConstant, 0, true, false, 0), column}), "operands below a column or constant"},
        {Record(ekFunction, 99, false, false, 1), "unknown function or predicate"},
        {Record(ekFunction, fnUpper, false, false, 0), "wrong number of arguments"},
        {Record(ekFunction, fnSubstring, false, false, 1), "wrong number of arguments"},
        {Record(ekPredicate, prBetween, false, false, 2), "wrong number of arguments"},
        {Record(ekPredicate, prInSelect, false, false, 2), "unknown function or predicate"},
        {Record(ekFunction, fnCoalesce, false, false, 0x40000000), "more arguments than the image holds"},
        {concat({Record(ekFunction, fnUpper, true, false, 1), column, column}), "function with operands outside its arguments"},
        {concat({Record(ekPredicate, prIn, false, false, 3), column, column}), "more arguments than the image holds"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ReadError(c.Image), std::string("Expression image is damaged: ") + c.Why);
    }
    // An IN list whose last value is missing, in an image long enough to hold it.
    std::vector<uint8_t> shortList = concat({Record(ekPredicate, prIn, false, false, 3), column, column});
    const size_t end = shortList.size();
    shortList.resize(end + 106, 0);
    EXPECT_EQ(ReadError(shortList), "Expression image is damaged: field of the wrong size at byte " + std::to_string(end + 4));

    // A chain of NOTs deeper than the limit.
    std::vector<uint8_t> deep;
    for (int i = 0; i < MaxExpressionDepth + 5; ++i) {
        const auto r = Record(ekUnary, opNot, true, false, 0);
        deep.insert(deep.end(), r.begin(), r.end());
    }
    deep.insert(deep.end(), column.begin(), column.end());
    EXPECT_EQ(ReadError(deep), "Expression image is damaged: nested more deeply than 1024 levels");
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ExpressionImage, EveryTruncationAndRandomDamageGivesATreeOrTheError) {
    PoolScope pool;
    std::mt19937 random(20261207);
    for (const char* text : Corpus) {
        TExpToken* tree = Parse(text);
        std::vector<uint8_t> image;
        ExpressionStreamSizeEx(tree, image);
        for (size_t n = 0; n < image.size(); n += 1 + n / 64) {
            std::vector<uint8_t> cut(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(n));
            EXPECT_NE(ReadError(cut), "") << text << " cut at " << n;
        }
        for (int round = 0; round < 200; ++round) {
            std::vector<uint8_t> damaged = image;
            const int flips = 1 + static_cast<int>(random() % 4);
            for (int f = 0; f < flips; ++f) {
                damaged[random() % damaged.size()] = static_cast<uint8_t>(random());
            }
            ReadError(damaged);  // either outcome; no crash, no over-read, no lost node
        }
        FreeExpression(tree);
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

}  // namespace

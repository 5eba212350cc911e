#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "ExprTestSupport.h"
#include "engine/expr/ExpStream.h"
#include "engine/files/FieldTypes.h"

using namespace kura;
using namespace kura::exprtest;

namespace {

TEST(ExpressionTree, CopiesEqualTheirSourceAndStandAlone) {
    PoolScope pool;
    for (const char* text : Corpus) {
        TExpToken* tree = Parse(text);
        TExpToken* copy = CopyExpression(tree);
        EXPECT_TRUE(SameExpression(tree, copy)) << text;
        EXPECT_EQ(Dump(tree), Dump(copy));
        EXPECT_EQ(copy->Parent, nullptr);
        // Freeing the source leaves the copy whole.
        FreeExpression(tree);
        EXPECT_EQ(tree, nullptr);
        TExpToken* again = Parse(text);
        EXPECT_TRUE(SameExpression(again, copy)) << text;
        FreeExpression(again);
        FreeExpression(copy);
    }
    EXPECT_EQ(CopyExpression(nullptr), nullptr);
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ExpressionTree, SameExpression) {
    PoolScope pool;
    struct Case {
        const char* A;
        const char* B;
        bool Same;
    };
    const Case cases[] = {
        {"a = 1", "a = 1", true},
        {"a = 1", "a = 2", false},
        {"Name = 'x'", "NAME = 'x'", true},      // names compare without case
        {"t.a = 1", "T.a = 1", true},
        {"t.a = 1", "u.a = 1", false},
        {"'x' = a", "'X' = a", false},           // values compare exactly
        {"a < > 1", "a<>1", true},               // the text is not compared
        {"a = 1", "a <> 1", false},
        {"a = 1", "1 = a", false},
        {"a IN (1, 2)", "a IN (1, 2, 3)", false},
        {"SUBSTRING(a FROM 1)", "SUBSTRING(a FROM 1 FOR 2)", false},
        {"NULL", "''", false},                   // type 0 against a string
        {"a", "+a", false},
    };
    for (const Case& c : cases) {
        TExpToken* a = Parse(c.A);
        TExpToken* b = Parse(c.B);
        EXPECT_EQ(SameExpression(a, b), c.Same) << c.A << " / " << c.B;
        EXPECT_EQ(SameExpression(b, a), c.Same) << c.A << " / " << c.B;
        EXPECT_FALSE(SameExpression(a, nullptr));
        FreeExpression(a);
        FreeExpression(b);
    }
    EXPECT_TRUE(SameExpression(nullptr, nullptr));
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ExpressionTree, NodeBuffersAndArgumentSlots) {
    TExpToken node;
    node.SetDataSize(300);
    EXPECT_EQ(node.ValueCapacity(), 512);
    EXPECT_EQ(node.DataSize, 300);
    EXPECT_EQ(node.Value[511], 0);
    node.Value[0] = 7;
    node.SetDataSize(10);  // never shrinks
    EXPECT_EQ(node.ValueCapacity(), 512);
    EXPECT_EQ(node.Value[0], 7);
    node.SetDataSize(0);
    EXPECT_EQ(node.ValueCapacity(), 0);
    EXPECT_EQ(node.DataSize, 0);
    node.DataSize = 8;  // set by hand on a freed buffer
    node.SetDataSize(8);
    EXPECT_EQ(node.ValueCapacity(), 256);

    TExpToken child;
    EXPECT_EQ(node.GetArgument(0), nullptr);
    node.SetArgument(5, &child);
    EXPECT_EQ(node.ArgumentCount(), 6);
    EXPECT_EQ(node.GetArgument(4), nullptr);
    EXPECT_EQ(node.GetArgument(5), &child);
    EXPECT_EQ(node.GetArgument(6), nullptr);
    EXPECT_EQ(node.GetArgument(-1), nullptr);
    EXPECT_EQ(GetArgument(nullptr, 0), nullptr);

    TExpToken copy;
    node.Text = "f";
    node.ThirdOffset = 9;
    node.Third = &child;
    copy.Assign(node);
    EXPECT_EQ(copy.Text, "f");
    EXPECT_EQ(copy.Arguments, node.Arguments);  // shared, not copied
    EXPECT_EQ(copy.Third, nullptr);
    EXPECT_EQ(copy.ThirdOffset, 0u);
    node.Arguments.clear();
    node.Third = nullptr;
    copy.Arguments.clear();
}

TEST(ExpressionTree, QuestionsTheOptimiserAsks) {
    PoolScope pool;
    struct Case {
        const char* Text;
        bool Column, Aggregate, CaseOfColumn, TextSearch, NotOrOr;
    };
    const Case cases[] = {
        {"1 + 2", false, false, false, false, false},
        {"a + 2", true, false, false, false, false},
        {"UPPER(a)", true, false, true, false, false},
        {"lower(a)", true, false, true, false, false},
        {"UPPER('a')", false, false, false, false, false},
        {"UPPER(a || b)", true, false, false, false, false},
        {"TEXTSEARCH('w' IN m)", true, false, false, true, false},
        {"SUM(a) + 1", true, true, false, false, false},
        {"COUNT(*)", true, true, false, false, false},  // "*" is a column node
        {"NOT (a OR b)", true, false, false, false, true},
        {"a OR b", true, false, false, false, true},
        {"x IN (1, y)", true, false, false, false, false},
    };
    for (const Case& c : cases) {
        TExpToken* tree = Parse(c.Text);
        ASSERT_NE(tree, nullptr) << c.Text;
        EXPECT_EQ(ContainsColumn(tree), c.Column) << c.Text;
        EXPECT_EQ(ContainsAggregate(tree), c.Aggregate) << c.Text;
        EXPECT_EQ(IsCaseFunctionOfColumn(tree), c.CaseOfColumn) << c.Text;
        EXPECT_EQ(IsTextSearchCall(tree), c.TextSearch) << c.Text;
        EXPECT_EQ(IsNotOrOr(tree), c.NotOrOr) << c.Text;
        FreeExpression(tree);
    }
    TExpToken* tree = Parse("1 + UPPER(b) = c");
    EXPECT_EQ(FindFirstColumn(tree)->Name, "b");
    EXPECT_TRUE(IsNotOrAnd(tree) == false);
    FreeExpression(tree);
    EXPECT_EQ(AggregateCode("avg"), fnAvg);
    EXPECT_EQ(AggregateCode("RunSum"), fnRunSum);
    EXPECT_EQ(AggregateCode("TOTAL"), 0);
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(ExpressionTree, RewritesInPlace) {
    PoolScope pool;
    struct Case {
        const char* Text;
        uint8_t Mirrored;
    };
    const Case mirrors[] = {{"a > 1", opLess}, {"a < 1", opGreater}, {"a >= 1", opLessEqual},
                            {"a <= 1", opGreaterEqual}, {"a = 1", opEqual}, {"a <> 1", opNotEqual}};
    for (const Case& c : mirrors) {
        TExpToken* tree = Parse(c.Text);
        SwapComparison(tree);
        EXPECT_EQ(tree->Code, c.Mirrored) << c.Text;
        EXPECT_EQ(tree->Left->Text, "1");
        EXPECT_EQ(tree->Right->Name, "a");
        FreeExpression(tree);
    }

    // Exchange two nodes of different parents (parents as type checking sets them).
    TExpToken* tree = Parse("(a + b) * (c - d)");
    TExpToken* plus = tree->Left;
    TExpToken* minus = tree->Right;
    plus->Parent = minus->Parent = tree;
    plus->Left->Parent = plus;
    minus->Right->Parent = minus;
    ExchangeNodes(plus->Left, minus->Right);
    EXPECT_EQ(Dump(tree), "*(+(d,b),-(c,a))");
    EXPECT_EQ(plus->Left->Parent, plus);
    EXPECT_EQ(minus->Right->Parent, minus);
    FreeExpression(tree);

    // AND chains, also with the connective of the condition's parent.
    TExpToken* root = nullptr;
    AppendAndCondition(root, Parse("a = 1"));
    AppendAndCondition(root, Parse("b = 2"));
    EXPECT_EQ(Dump(root), "AND(=(a,1),=(b,2))");
    TExpToken* orTree = Parse("c = 3 OR d = 4");
    TExpToken* condition = orTree->Right;
    orTree->Right = nullptr;
    condition->Parent = orTree;
    AppendAndCondition(root, condition);
    EXPECT_EQ(Dump(root), "OR(AND(=(a,1),=(b,2)),=(d,4))");
    EXPECT_EQ(root->Code, opOr);
    condition->Parent = nullptr;
    FreeExpression(orTree);
    FreeExpression(root);

    // A boolean operand becomes a comparison with True, keeping its subtree.
    TExpToken* active = Parse("NOT TEXTSEARCH('w' IN m)");
    MakeTrueComparison(active->Left);
    EXPECT_EQ(Dump(active), "NOT(=(TEXTSEARCH('w',m),True))");
    EXPECT_EQ(active->Left->DataType, fldBOOL);
    EXPECT_EQ(active->Left->Left->Arguments[1]->Parent, active->Left->Left);
    active->Left->Parent = active;
    EXPECT_TRUE(IsUnderNot(active->Left));
    EXPECT_FALSE(IsUnderNot(active->Left->Left));
    FreeExpression(active);
    EXPECT_EQ(pool.Outstanding(), 0);
}

// Parses, copies, compares, images, normalises and frees at random, with more nodes
// than the pool keeps: every node must come back.
TEST(ExpressionTree, PoolReturnsEveryNodeAfterAMixedWorkload) {
    PoolScope pool;
    std::mt19937 random(7);
    std::vector<TExpToken*> live;
    const size_t corpusSize = std::size(Corpus);
    for (int step = 0; step < 3000; ++step) {
        switch (random() % 6) {
            case 0:
                live.push_back(Parse(Corpus[random() % corpusSize]));
                break;
            case 1:
                if (!live.empty()) live.push_back(CopyExpression(live[random() % live.size()]));
                break;
            case 2:
                if (!live.empty()) {
                    std::vector<uint8_t> image;
                    ExpressionStreamSizeEx(live[random() % live.size()], image);
                    TExpToken* back = nullptr;
                    ReadExpressionStream(image.data(), image.size(), back);
                    live.push_back(back);
                }
                break;
            case 3:
                if (!live.empty()) {
                    TExpToken* shaped = CopyExpression(live[random() % live.size()]);
                    NormalizeFunctionArguments(shaped);
                    std::vector<uint8_t> image;
                    ExpressionStreamSize(shaped, image);
                    FreeExpression(shaped);
                }
                break;
            case 4: {
                ParseOutcome failed = ParseText("a = (1 +", AllFlags);  // raises; nothing kept
                EXPECT_EQ(failed.Tree, nullptr);
                break;
            }
            default:
                if (!live.empty()) {
                    const size_t i = random() % live.size();
                    FreeExpression(live[i]);
                    live.erase(live.begin() + static_cast<std::ptrdiff_t>(i));
                }
                break;
        }
    }
    for (TExpToken*& tree : live) FreeExpression(tree);
    EXPECT_EQ(pool.Outstanding(), 0);
    EXPECT_EQ(pool.Count(), TExpTokenStack::Capacity);
}

}  // namespace

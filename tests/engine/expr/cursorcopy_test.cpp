// Filter trees prepared for a cursor: constant parts folded, prefix comparisons
// made partial, and the prepared tree agreeing with its source on every record.
#include <gtest/gtest.h>

#include <random>

#include "EvalTestSupport.h"

using namespace kura;
using namespace kura::evaltest;

namespace {

struct TPrepared {
    TExpressionPtr Source;
    TExpressionPtr Copy;
};

TPrepared Prepare(std::string_view text, TTestRecord& record, bool noPartial = false, bool caseInsensitive = false) {
    TChecked checked = ParseAndCheck(text, record);
    EXPECT_TRUE(checked.Error.empty()) << text << ": " << checked.Error;
    TPrepared out;
    out.Source = std::move(checked.Tree);
    out.Copy.reset(CopyExpressionForCursor(out.Source.get(), &record, &TTestRecord::Value, noPartial,
                                           caseInsensitive, 0, 0));
    return out;
}

std::string Evaluate(const TExpToken* tree, TTestRecord& record) {
    TExpToken* result = EvaluateExpression(tree, nullptr, &record, 0, 0, &TTestRecord::Value);
    const std::string shown = Show(*result);
    ReleaseExpToken(result);
    return shown;
}

}  // namespace

TEST(CursorCopy, TrailingWildcardPatterns) {
    EXPECT_TRUE(IsTrailingWildcardPattern("ab%", '%'));
    EXPECT_TRUE(IsTrailingWildcardPattern("ab%%", '%'));
    EXPECT_FALSE(IsTrailingWildcardPattern("%ab", '%'));
    EXPECT_FALSE(IsTrailingWildcardPattern("a%b", '%'));
    EXPECT_FALSE(IsTrailingWildcardPattern("a%b%", '%'));
    EXPECT_FALSE(IsTrailingWildcardPattern("ab", '%'));
    EXPECT_FALSE(IsTrailingWildcardPattern("", '%'));
    EXPECT_TRUE(IsTrailingWildcardPattern("Sm*", '*'));
}

TEST(CursorCopy, PrefixComparisonsBecomePartial) {
    exprtest::PoolScope pool;
    {
        TTestRecord record;
        FillStaff(record);
        TPrepared p = Prepare("Name = 'Sm*'", record);
        EXPECT_EQ(p.Copy->Kind, ekPartialCompare);
        EXPECT_EQ(p.Copy->PartialLength, 2);
        EXPECT_EQ(std::string(exv::TextView(*p.Copy->Right)), "Sm");
        EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
        // The source is left as it was.
        EXPECT_EQ(p.Source->Kind, ekBinary);
        EXPECT_EQ(std::string(exv::TextView(*p.Source->Right)), "Sm*");

        p = Prepare("Name = 'Sm*'", record, true);
        EXPECT_EQ(p.Copy->Kind, ekPartialCompare);
        EXPECT_EQ(p.Copy->PartialLength, 0);
        EXPECT_EQ(std::string(exv::TextView(*p.Copy->Right)), "Sm*");
        EXPECT_EQ(Evaluate(p.Copy.get(), record), "false");

        p = Prepare("Name <> 'Sm*'", record);
        EXPECT_EQ(p.Copy->Code, opNotEqual);
        EXPECT_EQ(Evaluate(p.Copy.get(), record), "false");

        p = Prepare("Name LIKE 'Sm%'", record);
        EXPECT_EQ(p.Copy->Kind, ekPartialCompare);
        EXPECT_EQ(p.Copy->Code, opEqual);
        EXPECT_EQ(p.Copy->PartialLength, 2);
        EXPECT_TRUE(p.Copy->Arguments.empty());
        EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");

        p = Prepare("Name NOT LIKE 'Sx%%'", record);
        EXPECT_EQ(p.Copy->Kind, ekPartialCompare);
        EXPECT_EQ(p.Copy->Code, opNotEqual);
        EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");

        p = Prepare("Name LIKE 'S_m%'", record);
        EXPECT_EQ(p.Copy->Kind, ekPredicate);
        p = Prepare("Empty LIKE 'S%'", record);
        EXPECT_EQ(Evaluate(p.Copy.get(), record), "false");
        p = Prepare("Empty NOT LIKE 'S%'", record);
        EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
    }
    EXPECT_EQ(pool.Count(), exprtest::PoolScope::Warm);
}

TEST(CursorCopy, CaseInsensitiveFilters) {
    TTestRecord record;
    FillStaff(record);
    TPrepared p = Prepare("Name = 'smith'", record, false, true);
    EXPECT_EQ(p.Copy->Kind, ekPartialCompare);
    EXPECT_EQ(p.Copy->CaseInsensitive, 1);
    EXPECT_EQ(p.Copy->PartialLength, 0);  // a plain text still compares whole values
    EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
    p = Prepare("Name = 'smi'", record, false, true);
    EXPECT_EQ(Evaluate(p.Copy.get(), record), "false");
    p = Prepare("Name = 'smi*'", record, false, true);
    EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
    // The text written first ignores case alike; ordered comparisons keep it, and
    // a '*' written first is a character.
    const std::pair<const char*, const char*> eitherSide[] = {
        {"'SMITH' = Name", "true"},   {"'SMITH' <> Name", "false"}, {"'smith' <> Name", "false"},
        {"'SMITH' < Name", "true"},   {"'smith' > Name", "true"},   {"'Smi*' = Name", "false"},
        {"'SMITH' = Empty", "false"}, {"'SMITH' <> Empty", "true"},
    };
    for (const auto& [text, expected] : eitherSide) {
        p = Prepare(text, record, false, true);
        EXPECT_EQ(Evaluate(p.Copy.get(), record), expected) << text;
    }

    p = Prepare("UPPER(Name) = UPPER('smith')", record);
    EXPECT_EQ(p.Copy->CaseInsensitive, 1);
    EXPECT_EQ(p.Copy->Right->Kind, ekConstant);
    EXPECT_EQ(std::string(exv::TextView(*p.Copy->Right)), "SMITH");
    EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
    p = Prepare("LOWER(Name) IN (LOWER('A'), LOWER('SMITH'))", record);
    EXPECT_EQ(p.Copy->CaseInsensitive, 1);
    EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
}

TEST(CursorCopy, ConstantOperandsAreComputedOnce) {
    TTestRecord record;
    FillStaff(record);
    TPrepared p = Prepare("Age > 40 + 1 AND Rate < 1.5 * 2", record);
    ASSERT_EQ(p.Copy->Kind, ekBinary);
    const TExpToken* ageTest = p.Copy->Left;
    EXPECT_EQ(ageTest->Right->Kind, ekConstant);
    EXPECT_EQ(exv::Load<int32_t>(*ageTest->Right), 41);
    EXPECT_EQ(p.Copy->Right->Right->Kind, ekConstant);
    EXPECT_EQ(exv::Load<double>(*p.Copy->Right->Right), 3.0);
    record.Reads = 0;
    EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
    EXPECT_EQ(record.Reads, 2);
    // A constant the column's type cannot hold keeps its own type and value.
    p = Prepare("Age < 5000000000 AND Age > -5000000000 AND Age <> 2.5", record);
    EXPECT_EQ(p.Copy->Left->Left->Right->DataType, fldINT64);
    EXPECT_EQ(p.Copy->Right->Right->DataType, fldFLOAT);
    EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
    p = Prepare("Rate > 2", record);
    EXPECT_EQ(p.Copy->Right->DataType, fldFLOAT);  // widened to the column's type
    p = Prepare("SUBSTRING(Name FROM 1 + 1 FOR 2) = 'mi' AND Age BETWEEN 10 * 4 AND 50", record);
    EXPECT_EQ(p.Copy->Left->Left->GetArgument(1)->Kind, ekConstant);
    EXPECT_EQ(p.Copy->Right->GetArgument(1)->Kind, ekConstant);
    EXPECT_EQ(Evaluate(p.Copy.get(), record), "true");
}

// The prepared tree answers like its source on records of every kind of value.
TEST(CursorCopy, PreparedTreesAgreeWithTheirSourceOnRandomRecords) {
    exprtest::PoolScope pool;
    const char* filters[] = {
        "Name = 'Smith'",           "Name <> 'Jones' AND Age > 20 + 5", "Name LIKE 'Sm%'",
        "Name NOT LIKE 'J%'",       "Name LIKE 'a_c%'",                 "Age IN (1, 2 + 3, 42)",
        "Age NOT BETWEEN 18 AND 60", "Rate * 2 >= 3.5 OR Missing IS NULL", "UPPER(Name) = UPPER('smith')",
        "Born >= '2000-01-01'",     "LENGTH(Name) + 1 > 4",             "NOT (Active AND Age < 30)",
        "Age < 5000000000 AND Rate <> 2", "Age IN (4294967338, 42.5, 7)",
    };
    const char* names[] = {"Smith", "Smithers", "Jones", "abc", "aXcd", "sm", "S", ""};
    std::mt19937 random(20240317);
    for (int round = 0; round < 200; ++round) {
        TTestRecord record;
        const char* name = names[random() % std::size(names)];
        record.Add("Name", *name ? testvalues::Text(name) : testvalues::Null(fldZSTRING));
        record.Add("Age", random() % 5 == 0 ? testvalues::Null(fldINT32) : testvalues::Int(static_cast<int32_t>(random() % 80)));
        record.Add("Rate", testvalues::Float(static_cast<double>(random() % 400) / 100.0));
        record.Add("Missing", random() % 2 ? testvalues::Null(fldINT32) : testvalues::Int(1));
        record.Add("Born", testvalues::Date(static_cast<int32_t>(729000 + random() % 10000)));
        record.Add("Active", testvalues::Bool(random() % 2 == 0));
        for (const char* filter : filters) {
            TPrepared p = Prepare(filter, record);
            EXPECT_EQ(Evaluate(p.Copy.get(), record), Evaluate(p.Source.get(), record))
                << filter << " with Name '" << name << "'";
        }
    }
    EXPECT_EQ(pool.Count(), exprtest::PoolScope::Warm);
}

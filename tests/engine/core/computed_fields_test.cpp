// Computed fields of a cursor: their expressions evaluate from the record's other
// fields whenever a field is stored and whenever a record is read.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpParser.h"
#include "engine/expr/ExpTree.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CursorTestRows.h"
#include "tests/engine/core/TableTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

enum : uint16_t { fPrice = 1, fQty, fName, fNotes, fTotal, fLabel, fHalf, fWords };

TExpressionPtr Parse(const std::string& text) {
    TExpressionParser parser;
    parser.ErrorCode = KURA_SQLPARSE;
    parser.ContextName = "SQL statement";
    parser.SetText(text);
    parser.NextToken();
    return TExpressionPtr(parser.ParseExpression(pfExtendedPredicates));
}

TFieldDesc Computed(const char* name, TEngineFieldType type, uint8_t size, uint16_t number) {
    TFieldDesc d = NewField(name, type, size);
    d.DerivePhysical();
    d.SetFieldNo(number);
    d.SetComputed(1);
    return d;
}

struct ComputedCursor {
    TempDir tmp;
    CursorDb db{tmp.path()};
    std::unique_ptr<TDataCursor> c;
    std::vector<TExpressionPtr> trees;

    explicit ComputedCursor(const std::vector<std::string>& texts) {
        test::CreateTableOf(*db.dir, "T", DefinitionOf({NewField("Price", fldINT32), NewField("Qty", fldINT16),
                                                        NewField("Name", fldZSTRING, 10),
                                                        NewField("Notes", fldBLOB, 0, fldstMEMO)}));
        c = OpenCursorOn(db.dir, "T");
        std::vector<TFieldDesc> defs(4);
        for (uint16_t n = 1; n <= 4; ++n) c->GetTableFieldDesc(n, defs[n - 1u]);
        defs.push_back(Computed("Total", fldINT32, 0, fTotal));
        defs.push_back(Computed("Label", fldZSTRING, 20, fLabel));
        defs.push_back(Computed("Half", fldFLOAT, 0, fHalf));
        defs.push_back(Computed("Words", fldINT32, 0, fWords));
        std::vector<const TExpToken*> expressions(defs.size(), nullptr);
        for (std::size_t i = 0; i < texts.size(); ++i) {
            trees.push_back(Parse(texts[i]));
            expressions[4 + i] = trees.back().get();
        }
        c->SetComputedFieldDefs(defs.data(), static_cast<int32_t>(defs.size()), COMPUTED_FIELD_LIMIT,
                                expressions.data());
    }
};

int32_t ReadInt(TDataCursor& c, uint16_t field, const uint8_t* buffer, bool& blank) {
    uint8_t value[8] = {};
    c.GetField(field, buffer, value, blank);
    int32_t v = 0;
    std::memcpy(&v, value, 4);
    return v;
}

std::string ReadText(TDataCursor& c, uint16_t field, const uint8_t* buffer) {
    char value[256] = {};
    bool blank = false;
    c.GetField(field, buffer, value, blank);
    return blank ? "<blank>" : value;
}

}  // namespace

TEST(ComputedFields, EvaluateFromTheRecordsOtherFields) {
    ComputedCursor t({"Price * Qty", "UPPER(Name) || '!'", "Price / 2", "OCCURS('a' IN Notes)"});
    TDataCursor& c = *t.c;
    std::vector<uint8_t> buffer(c.GetCursorRecordSize(), 0);
    c.InitRecord(buffer.data());
    const int32_t price = 250;
    const int16_t qty = 4;
    c.PutField(fPrice, buffer.data(), &price);
    c.PutField(fQty, buffer.data(), &qty);
    c.PutField(fName, buffer.data(), "widget");
    bool blank = true;
    EXPECT_EQ(ReadInt(c, fTotal, buffer.data(), blank), 1000);
    EXPECT_FALSE(blank);
    EXPECT_EQ(ReadText(c, fLabel, buffer.data()), "WIDGET!");
    double half = 0;
    c.GetField(fHalf, buffer.data(), &half, blank);
    EXPECT_DOUBLE_EQ(half, 125.0);

    // Storing a field recomputes; a NULL operand leaves the computed field blank.
    const int32_t cheaper = 10;
    c.PutField(fPrice, buffer.data(), &cheaper);
    EXPECT_EQ(ReadInt(c, fTotal, buffer.data(), blank), 40);
    c.PutField(fQty, buffer.data(), nullptr);
    ReadInt(c, fTotal, buffer.data(), blank);
    EXPECT_TRUE(blank);
    // A computed field cannot be stored directly.
    const int32_t forced = 7;
    c.PutField(fTotal, buffer.data(), &forced);
    ReadInt(c, fTotal, buffer.data(), blank);
    EXPECT_TRUE(blank);
}

TEST(ComputedFields, RecordsReadFromTheTableCarryTheirValues) {
    ComputedCursor t({"Price * Qty", "Name || '?'", "Price / 4", "OCCURS('a' IN Notes)"});
    TDataCursor& c = *t.c;
    for (int32_t i = 1; i <= 3; ++i) {
        std::vector<uint8_t> buffer(c.GetCursorRecordSize(), 0);
        c.InitRecord(buffer.data());
        const int16_t qty = static_cast<int16_t>(i);
        const int32_t price = 100 * i;
        c.PutField(fPrice, buffer.data(), &price);
        c.PutField(fQty, buffer.data(), &qty);
        c.PutField(fName, buffer.data(), ("n" + std::to_string(i)).c_str());
        c.AppendRecord(buffer.data(), true);
    }
    c.SetToBegin();
    std::vector<uint8_t> row(c.GetCursorRecordSize(), 0);
    int32_t seen = 0;
    while (c.GetNextRecord(row.data()) == KURA_NONE) {
        ++seen;
        bool blank = true;
        EXPECT_EQ(ReadInt(c, fTotal, row.data(), blank), 100 * seen * seen);
        EXPECT_EQ(ReadText(c, fLabel, row.data()), "n" + std::to_string(seen) + "?");
        EXPECT_EQ(ReadInt(c, fWords, row.data(), blank), 0);
    }
    EXPECT_EQ(seen, 3);

    // A clone computes with its own copies of the expressions.
    std::unique_ptr<TDataCursor> clone(c.CloneCursor());
    ASSERT_NE(clone->GetComputedFieldExpression(fTotal), nullptr);
    EXPECT_NE(clone->GetComputedFieldExpression(fTotal), c.GetComputedFieldExpression(fTotal));
    clone->SetToBegin();
    ASSERT_EQ(clone->GetNextRecord(row.data()), KURA_NONE);
    bool blank = true;
    EXPECT_EQ(ReadInt(*clone, fTotal, row.data(), blank), 100);
}

TEST(ComputedFields, MemoColumnsAreReadWhole) {
    ComputedCursor t({"Price", "Name", "Price", "OCCURS('ab' IN Notes)"});
    TDataCursor& c = *t.c;
    std::vector<uint8_t> buffer(c.GetCursorRecordSize(), 0);
    c.InitRecord(buffer.data());
    const int32_t price = 1;
    c.PutField(fPrice, buffer.data(), &price);
    uint32_t size = 0;
    ASSERT_EQ(c.OpenBlob(fNotes, buffer.data(), 2, false, false, size), KURA_NONE);
    const std::string notes = "ab cd ab ef ab";
    ASSERT_EQ(c.PutBlob(fNotes, buffer.data(), 0, notes.data(), static_cast<uint32_t>(notes.size()), false), KURA_NONE);
    c.AppendRecord(buffer.data(), true);
    c.SetToBegin();
    std::vector<uint8_t> row(c.GetCursorRecordSize(), 0);
    ASSERT_EQ(c.GetNextRecord(row.data()), KURA_NONE);
    bool blank = true;
    EXPECT_EQ(ReadInt(c, fWords, row.data(), blank), 3);
}

TEST(ComputedFields, UnknownColumnsAreRefused) {
    try {
        ComputedCursor t({"Price * Nothing"});
        FAIL() << "accepted";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_SQLPARSE);
        EXPECT_EQ(e.ErrorContext(ctxMessage),
                  "Invalid column name 'Nothing' or table correlation name '' specified in computed field expression");
    }
}

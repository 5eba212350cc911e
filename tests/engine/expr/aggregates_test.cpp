// Aggregates over many rows: 64-bit sums for integers, dates and times, the result
// types of type checking, NULLs skipped, RUNSUM across groups.
#include <gtest/gtest.h>

#include "ValueTestSupport.h"
#include "engine/expr/Aggregates.h"
#include "engine/expr/ExpCodes.h"

using namespace kura;
using namespace kura::testvalues;

namespace {

template <typename F>
TNode Accumulate(uint8_t code, uint8_t type, int64_t rows, F valueOf, uint8_t scale = 0) {
    TAggregateAccumulator acc(code, type, scale);
    for (int64_t i = 0; i < rows; ++i) acc.Add(*valueOf(i));
    TNode result = Constant(0, 0);
    acc.Result(*result);
    return result;
}

}  // namespace

TEST(Aggregates, AverageOfManyDatesDoesNotOverflow) {
    // 100,000 day numbers near 739,000 sum to about 7.4e10, far beyond 32 bits.
    const int32_t base = 739000;
    TNode avg = Accumulate(fnAvg, fldDATE, 100000, [&](int64_t i) { return Date(base + static_cast<int32_t>(i % 11)); });
    EXPECT_EQ(avg->DataType, fldDATE);
    EXPECT_EQ(avg->IsNull, 0);
    EXPECT_EQ(exv::Load<int32_t>(*avg), base + 4);  // mean 4.9999..: truncated
    TNode times = Accumulate(fnAvg, fldTIME, 50000, [](int64_t) { return Time(86399999); });
    EXPECT_EQ(exv::Load<int32_t>(*times), 86399999);
}

TEST(Aggregates, IntegerSumsUseSixtyFourBits) {
    TNode sum = Accumulate(fnSum, fldINT32, 3000, [](int64_t) { return Int(2000000000); });
    EXPECT_EQ(sum->DataType, fldINT64);
    EXPECT_EQ(exv::Load<int64_t>(*sum), 6000000000000LL);
    TNode avg = Accumulate(fnAvg, fldINT32, 3000, [](int64_t i) { return Int(i % 2 ? 2000000000 : 2000000001); });
    EXPECT_EQ(avg->DataType, fldFLOAT);
    EXPECT_DOUBLE_EQ(exv::Load<double>(*avg), 2000000000.5);
    TNode small = Accumulate(fnSum, fldINT16, 4, [](int64_t) { return Small(32767); });
    EXPECT_EQ(small->DataType, fldINT32);
    EXPECT_EQ(exv::Load<int32_t>(*small), 131068);
    TNode wrapped = Accumulate(fnSum, fldINT64, 2, [](int64_t) { return Large(INT64_MAX); });
    EXPECT_EQ(exv::Load<int64_t>(*wrapped), -2);  // wraps, without undefined behaviour
}

TEST(Aggregates, FloatBcdMinMaxCountAndNulls) {
    TNode fsum = Accumulate(fnSum, fldFLOAT, 4, [](int64_t i) { return i == 2 ? Null(fldFLOAT) : Float(0.5); });
    EXPECT_DOUBLE_EQ(exv::Load<double>(*fsum), 1.5);
    TNode bavg = Accumulate(fnAvg, fldBCD, 3, [](int64_t i) { return Bcd(10000 * (i + 1), 2); }, 2);
    EXPECT_EQ(bavg->DataType, fldBCD);
    EXPECT_EQ(CurrencyOf(*bavg), 20000);
    TNode bavg3 = Accumulate(fnAvg, fldBCD, 3, [](int64_t i) { return Bcd(i == 0 ? 10000 : 0, 4); }, 4);
    EXPECT_EQ(CurrencyOf(*bavg3), 3333);
    TNode min = Accumulate(fnMin, fldINT32, 5, [](int64_t i) { return i == 0 ? Null(fldINT32) : Int(10 - static_cast<int32_t>(i)); });
    EXPECT_EQ(exv::Load<int32_t>(*min), 6);
    TNode max = Accumulate(fnMax, fldZSTRING, 3, [](int64_t i) { return Text(i == 1 ? "pear" : "apple"); });
    EXPECT_EQ(std::string(exv::TextView(*max)), "pear");
    TNode count = Accumulate(fnCount, fldINT32, 5, [](int64_t i) { return i % 2 ? Null(fldINT32) : Int(1); });
    EXPECT_EQ(exv::Load<int32_t>(*count), 3);
    // Rows without values: SUM and MIN NULL, AVG 0, COUNT 0; no rows: NULL.
    EXPECT_EQ(Accumulate(fnSum, fldINT32, 2, [](int64_t) { return Null(fldINT32); })->IsNull, 1);
    EXPECT_EQ(Accumulate(fnMin, fldDATE, 2, [](int64_t) { return Null(fldDATE); })->IsNull, 1);
    TNode avg0 = Accumulate(fnAvg, fldINT32, 2, [](int64_t) { return Null(fldINT32); });
    EXPECT_EQ(avg0->IsNull, 0);
    EXPECT_DOUBLE_EQ(exv::Load<double>(*avg0), 0.0);
    EXPECT_EQ(exv::Load<int32_t>(*Accumulate(fnCount, fldINT32, 2, [](int64_t) { return Null(fldINT32); })), 0);
    EXPECT_EQ(Accumulate(fnAvg, fldINT32, 0, [](int64_t) { return Int(1); })->IsNull, 1);
}

TEST(Aggregates, RunSumContinuesAcrossGroupsAndSumRestarts) {
    TAggregateAccumulator run(fnRunSum, fldINT32);
    TAggregateAccumulator sum(fnSum, fldINT32);
    TNode out = Constant(0, 0);
    for (int group = 0; group < 3; ++group) {
        run.NextGroup();
        sum.NextGroup();
        for (int i = 0; i < 2; ++i) {
            run.Add(*Int(5));
            sum.Add(*Int(5));
        }
        run.Result(*out);
        EXPECT_EQ(exv::Load<int64_t>(*out), 10 * (group + 1));
        sum.Result(*out);
        EXPECT_EQ(exv::Load<int64_t>(*out), 10);
    }
}

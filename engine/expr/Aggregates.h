#pragma once
// Accumulation of the aggregates SUM, RUNSUM, MIN, MAX, AVG and COUNT over the
// values of many rows, for the SQL engine's grouping.
//
// Sums of integers, dates and times are kept in 64 bits whatever the result type,
// so that AVG over many dates (day numbers near 740,000) or SUM over many integers
// cannot overflow a 32-bit sum before it is divided or narrowed; float and
// timestamp sums are extended floats, BCD sums currency (ten-thousandths).
// Integer sums that leave even 64 bits wrap around (unsigned arithmetic).
//
// Results follow the types type checking gives aggregate nodes: SUM of a smallint
// or word is an integer, of an integer a largeint; AVG of an integer type is a
// float, of a date or time the truncated mean in the argument's type, of a BCD the
// rounded mean at the column's decimals. NULL values are skipped; COUNT counts the
// others. With no row at all the result is NULL; with rows but no value, SUM, MIN
// and MAX are NULL, AVG is 0 and COUNT 0.
#include <cstdint>

#include "engine/expr/ExpToken.h"
#include "engine/files/Bcd.h"

namespace kura {

class TAggregateAccumulator {
public:
    // code: the aggregate function code (fnSum .. fnAvg); argumentType the type of
    // the values added; resultScale the decimals of a BCD result.
    TAggregateAccumulator(uint8_t code, uint8_t argumentType, uint8_t resultScale = 0);

    void Add(const TExpToken& value);
    // Starts a new group; RUNSUM keeps its running total across groups.
    void NextGroup();
    // Writes the result's type, size, value and NULL flag.
    void Result(TExpToken& result) const;

    int64_t Count() const { return FCount; }

private:
    uint8_t FCode;
    uint8_t FType;
    uint8_t FScale;
    bool FAnyRow = false;
    int64_t FCount = 0;
    int64_t FIntegerSum = 0;
    long double FFloatSum = 0;
    TCurrency FCurrencySum = 0;
    bool FHasBest = false;
    TExpToken FBest;  // MIN and MAX
};

}  // namespace kura

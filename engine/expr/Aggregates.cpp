// Accumulation of aggregate values over rows.
#include "engine/expr/Aggregates.h"

#include <cmath>

#include "engine/expr/ExpCodes.h"
#include "engine/expr/Operators.h"
#include "engine/expr/ValueAccess.h"

namespace kura {

using namespace exv;

namespace {

// Whole-number division rounded half to even, as currency arithmetic rounds.
int64_t DivideRounded(int64_t sum, int64_t count) {
    int64_t q = sum / count;
    const int64_t r = sum % count;
    const int64_t twice = 2 * (r < 0 ? -r : r);
    if (twice > count || (twice == count && (q & 1) != 0)) q += sum < 0 ? -1 : 1;
    return q;
}

}  // namespace

TAggregateAccumulator::TAggregateAccumulator(uint8_t code, uint8_t argumentType, uint8_t resultScale)
    : FCode(code), FType(argumentType), FScale(resultScale) {
    FBest.DataType = argumentType;
}

void TAggregateAccumulator::NextGroup() {
    FAnyRow = false;
    FHasBest = false;
    if (FCode == fnRunSum) return;
    FCount = 0;
    FIntegerSum = 0;
    FFloatSum = 0;
    FCurrencySum = 0;
}

void TAggregateAccumulator::Add(const TExpToken& value) {
    FAnyRow = true;
    if (value.IsNull != 0) return;
    ++FCount;
    switch (FCode) {
        case fnMin:
        case fnMax: {
            if (FHasBest) {
                TExpToken better;
                better.DataType = fldBOOL;
                EvaluateBinaryOperator(FCode == fnMin ? opLess : opGreater, value, FBest, better, 0, 0);
                if (Load<int16_t>(better) == 0) return;
            }
            FBest.Value = value.Value;
            FBest.DataSize = value.DataSize;
            FBest.Scale = value.Scale;
            FBest.IsNull = 0;
            FHasBest = true;
            return;
        }
        case fnSum:
        case fnRunSum:
        case fnAvg:
            if (IsInteger(FType) || FType == fldDATE || FType == fldTIME)
                FIntegerSum = Add64(FIntegerSum, Integer(value));
            else if (FType == fldBCD)
                FCurrencySum = Add64(FCurrencySum, Currency(value));
            else
                FFloatSum += Float(value);
            return;
        default: return;  // COUNT
    }
}

void TAggregateAccumulator::Result(TExpToken& result) const {
    result.Scale = 0;
    result.IsNull = 0;
    const auto put = [&result](uint8_t type, int32_t size) {
        result.DataType = type;
        result.DataSize = size;
        Reserve(result, size);
    };
    if (FCode == fnCount) {
        put(fldINT32, 4);
        Store<int32_t>(result, static_cast<int32_t>(static_cast<uint32_t>(FCount)));
        result.IsNull = FAnyRow || FCount > 0 ? 0 : 1;
        return;
    }
    if (FCode == fnMin || FCode == fnMax) {
        put(FType, FBest.DataSize);
        result.Value = FBest.Value;
        result.DataSize = FBest.DataSize;
        result.Scale = FBest.Scale;
        result.IsNull = FHasBest ? 0 : 1;
        return;
    }
    const bool integral = IsInteger(FType) || FType == fldDATE || FType == fldTIME;
    if (FCode == fnAvg) {
        const int64_t n = FCount;
        if (FType == fldDATE || FType == fldTIME) {
            put(FType, 4);
            Store<int32_t>(result, n == 0 ? 0 : static_cast<int32_t>(FIntegerSum / n));
        } else if (FType == fldBCD) {
            put(fldBCD, static_cast<int32_t>(BcdSize));
            result.Scale = FScale;
            PutCurrency(result, n == 0 ? 0 : DivideRounded(FCurrencySum, n), FScale);
        } else {
            put(FType == fldTIMESTAMP ? fldTIMESTAMP : fldFLOAT, 8);
            const long double sum = integral ? static_cast<long double>(FIntegerSum) : FFloatSum;
            Store<double>(result, n == 0 ? 0.0 : static_cast<double>(sum / n));
        }
        result.IsNull = FAnyRow ? 0 : 1;
        return;
    }
    // SUM, RUNSUM
    if (FType == fldINT16 || FType == fldUINT16) {
        put(fldINT32, 4);
        Store<int32_t>(result, static_cast<int32_t>(static_cast<uint32_t>(FIntegerSum)));
    } else if (integral) {
        put(FType == fldINT32 || FType == fldINT64 ? fldINT64 : FType, FType == fldINT32 || FType == fldINT64 ? 8 : 4);
        if (result.DataType == fldINT64)
            Store<int64_t>(result, FIntegerSum);
        else
            Store<int32_t>(result, static_cast<int32_t>(static_cast<uint32_t>(FIntegerSum)));
    } else if (FType == fldBCD) {
        put(fldBCD, static_cast<int32_t>(BcdSize));
        result.Scale = FScale;
        PutCurrency(result, FCurrencySum, FScale);
    } else {
        put(FType, 8);
        Store<double>(result, static_cast<double>(FFloatSum));
    }
    result.IsNull = FCount > 0 ? 0 : 1;
}

}  // namespace kura

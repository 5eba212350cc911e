// Evaluation of the unary and binary operators over their operand values.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/expr/ExpCodes.h"
#include "engine/expr/Operators.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"
#include "engine/files/SysConvert.h"

namespace kura {

using namespace exv;

TCurrency exv::AsCurrency(const TExpToken& node) {
    switch (node.DataType) {
        case fldBCD: return Currency(node);
        case fldFLOAT: {
            const long double scaled = std::nearbyint(static_cast<long double>(Load<double>(node)) * CurrencyScale);
            if (!(std::fabs(scaled) < 9.2e18L)) return 0;
            return static_cast<TCurrency>(scaled);
        }
        default: return Mul64(Integer(node), CurrencyScale);
    }
}

namespace {

int16_t Truth(bool value) { return value ? -1 : 0; }

void PutBool(TExpToken& result, bool value) {
    Store<int16_t>(result, BoolToWordBool(Truth(value)));
    result.IsNull = 0;
}

void SetNullResult(TExpToken& result) {
    ZeroValue(result, result.DataSize);
    result.IsNull = 1;
}

// Rounds half to even and narrows by wrapping, as the currency unit does.
int64_t RoundToInt64(__int128 numerator, __int128 denominator) {
    if (denominator < 0) {
        numerator = -numerator;
        denominator = -denominator;
    }
    __int128 q = numerator / denominator;
    __int128 r = numerator % denominator;
    if (r < 0) r = -r;
    if (2 * r > denominator || (2 * r == denominator && (q & 1) != 0)) q += numerator < 0 ? -1 : 1;
    return static_cast<int64_t>(static_cast<uint64_t>(static_cast<unsigned __int128>(q)));
}

// -1, 0, 1 of two ordered values.
template <typename T>
int Order(T a, T b) {
    return a < b ? -1 : (a > b ? 1 : 0);
}

// The order of two non-text values of comparable types (the acceptance rules hold).
int CompareValues(const TExpToken& l, const TExpToken& r) {
    const uint8_t lt = l.DataType;
    const uint8_t rt = r.DataType == fldUNKNOWN ? l.DataType : r.DataType;
    if (lt == fldBOOL) return Order<int>(Load<int16_t>(l) != 0, Load<int16_t>(r) != 0);
    if (lt == fldBYTES) {
        const std::size_t n = std::min({static_cast<std::size_t>(std::max(l.DataSize, 0)), l.Value.size(),
                                        r.Value.size(), static_cast<std::size_t>(65535)});
        return CompareBuffers(l.Value.data(), r.Value.data(), static_cast<uint16_t>(n), false);
    }
    if ((lt == fldDATE && rt == fldDATE) || (lt == fldTIME && rt == fldTIME))
        return Order(Load<int32_t>(l), Load<int32_t>(r));
    if (lt == fldDATE || lt == fldTIMESTAMP) {
        const auto moment = [](const TExpToken& t, uint8_t type) {
            return type == fldDATE ? static_cast<double>(Load<int32_t>(t)) * MSecsPerDay : Load<double>(t);
        };
        return Order(moment(l, lt), moment(r, rt));
    }
    if (IsInteger(lt) && IsInteger(rt)) return Order(Integer(l), Integer(r));
    if (lt == fldBCD || rt == fldBCD) {
        const auto scaled = [](const TExpToken& t, uint8_t type) -> long double {
            if (type == fldBCD) return static_cast<long double>(Currency(t));
            return (type == fldFLOAT ? static_cast<long double>(Load<double>(t)) : Integer(t)) * CurrencyScale;
        };
        return Order(scaled(l, lt), scaled(r, rt));
    }
    return Order(Float(l), Float(r));
}

bool Decide(uint8_t op, int order) {
    switch (op) {
        case opEqual: return order == 0;
        case opNotEqual: return order != 0;
        case opGreater: return order > 0;
        case opLess: return order < 0;
        case opGreaterEqual: return order >= 0;
        default: return order <= 0;  // opLessEqual
    }
}

void Concatenate(const TExpToken& l, const TExpToken& r, TExpToken& result) {
    const std::size_t ln = TextLength(l);
    const std::size_t rn = TextLength(r);
    const int32_t declared = result.DataSize;
    // The operands may be this node's own buffers only through copies, so plain
    // copies are safe; the buffer is sized to what the texts really hold.
    Reserve(result, static_cast<int64_t>(ln + rn) + 1);
    std::memcpy(result.Value.data(), Text(l), ln);
    std::memcpy(result.Value.data() + ln, Text(r), rn);
    result.Value[ln + rn] = 0;
    result.DataSize = std::max<int32_t>(declared, static_cast<int32_t>(ln + rn + 1));
    result.IsNull = 0;
}

bool IsZeroDivisor(const TExpToken& r) {
    switch (r.DataType) {
        case fldFLOAT: return Load<double>(r) == 0.0;
        case fldBCD: return Currency(r) == 0;
        default: return Integer(r) == 0;
    }
}

// day number and milliseconds of a timestamp, rounded to whole milliseconds
void SplitStamp(double stamp, int64_t& day, int64_t& msec) {
    const long double ms = std::nearbyint(static_cast<long double>(stamp));
    const int64_t whole = std::fabs(ms) < 9.2e18L ? static_cast<int64_t>(ms) : 0;
    day = whole / MSecsPerDay;
    msec = whole % MSecsPerDay;
    if (msec < 0) {
        msec += MSecsPerDay;
        --day;
    }
}

void DateTimeArithmetic(uint8_t op, const TExpToken& l, const TExpToken& r, TExpToken& result) {
    const uint8_t lt = l.DataType;
    const uint8_t rt = r.DataType;
    const uint8_t type = result.DataType;
    if (type == fldDATE || type == fldTIME) {
        // a day or millisecond count shifted by an integer (a largeint by its low 32 bits)
        const bool leftIsCount = IsDateTime(lt);
        const int64_t count = leftIsCount ? Load<int32_t>(l) : Load<int32_t>(r);
        const int64_t shift = leftIsCount ? Integer(r) : Integer(l);
        Store<int32_t>(result, op == opSubtract ? Sub32(count, shift) : Add32(count, shift));
    } else if (type == fldTIMESTAMP) {
        const bool leftIsStamp = lt == fldTIMESTAMP;
        int64_t day = 0;
        int64_t msec = 0;
        SplitStamp(Load<double>(leftIsStamp ? l : r), day, msec);
        const int64_t shift = Integer(leftIsStamp ? r : l);
        day = op == opSubtract ? Sub64(day, shift) : Add64(day, shift);
        Store<double>(result, static_cast<double>(day) * MSecsPerDay + static_cast<double>(msec));
    } else if (type == fldINT32) {
        if (lt == fldTIMESTAMP) {
            int64_t day = 0;
            int64_t msec = 0;
            SplitStamp(Load<double>(l), day, msec);
            Store<int32_t>(result, Sub32(rt == fldDATE ? day : msec, Load<int32_t>(r)));
        } else {
            Store<int32_t>(result, Sub32(Load<int32_t>(l), Load<int32_t>(r)));
        }
    } else if (type == fldFLOAT) {
        Store<double>(result, Load<double>(l) - Load<double>(r));
    } else {
        return;
    }
    result.IsNull = 0;
}

void BcdArithmetic(uint8_t op, const TExpToken& l, const TExpToken& r, TExpToken& result) {
    const bool lb = l.DataType == fldBCD;
    const bool rb = r.DataType == fldBCD;
    const TCurrency lc = AsCurrency(l);
    const TCurrency rc = AsCurrency(r);
    TCurrency value = 0;
    switch (op) {
        case opAdd: value = Add64(lc, rc); break;
        case opSubtract: value = Sub64(lc, rc); break;
        case opMultiply:
            if (lb && rb)
                value = RoundToInt64(static_cast<__int128>(lc) * rc, CurrencyScale);
            else
                value = lb ? Mul64(lc, Integer(r)) : Mul64(Integer(l), rc);
            break;
        case opDivide:
            if (rc == 0) {
                SetNullResult(result);
                return;
            }
            value = RoundToInt64(static_cast<__int128>(lc) * CurrencyScale, rc);
            break;
        default: return;
    }
    PutCurrency(result, value, lb ? l.Scale : r.Scale);
    result.IsNull = 0;
}

void NumericArithmetic(uint8_t op, const TExpToken& l, const TExpToken& r, TExpToken& result) {
    const uint8_t type = result.DataType;
    if (op == opDivide && IsZeroDivisor(r)) {
        SetNullResult(result);
        return;
    }
    if (type == fldINT32 || type == fldINT64) {
        const int64_t a = Integer(l);
        const int64_t b = Integer(r);
        if (type == fldINT32) {
            Store<int32_t>(result, op == opAdd ? Add32(a, b) : op == opSubtract ? Sub32(a, b) : Mul32(a, b));
        } else {
            Store<int64_t>(result, op == opAdd ? Add64(a, b) : op == opSubtract ? Sub64(a, b) : Mul64(a, b));
        }
    } else if (type == fldFLOAT) {
        const long double a = Float(l);
        const long double b = Float(r);
        long double v = 0;
        switch (op) {
            case opAdd: v = a + b; break;
            case opSubtract: v = a - b; break;
            case opMultiply: v = a * b; break;
            default: v = a / b; break;
        }
        Store<double>(result, static_cast<double>(v));
    } else if (type == fldBCD) {
        BcdArithmetic(op, l, r, result);
        return;
    } else {
        return;
    }
    result.IsNull = 0;
}

}  // namespace

void EvaluateUnaryOperator(uint8_t op, const TExpToken& operand, TExpToken& result) {
    switch (op) {
        case opIsNull: PutBool(result, operand.IsNull != 0); break;
        case opIsNotNull: PutBool(result, operand.IsNull == 0); break;
        case opNot: PutBool(result, Load<int16_t>(operand) == 0); break;
        case opNegate:
        case opPlus: {
            if (operand.IsNull != 0) {
                SetNullResult(result);
                break;
            }
            const bool negate = op == opNegate;
            result.IsNull = 0;
            switch (operand.DataType) {
                case fldDATE:
                case fldINT32:
                case fldTIME: {
                    const int32_t v = Load<int32_t>(operand);
                    Store<int32_t>(result, negate ? Sub32(0, v) : v);
                    break;
                }
                case fldINT16: {
                    const int16_t v = Load<int16_t>(operand);
                    Store<int16_t>(result, negate ? static_cast<int16_t>(-static_cast<int32_t>(v)) : v);
                    break;
                }
                case fldUINT16: Store<uint16_t>(result, Load<uint16_t>(operand)); break;
                case fldFLOAT:
                case fldTIMESTAMP: {
                    const double v = Load<double>(operand);
                    Store<double>(result, negate ? -v : v);
                    break;
                }
                case fldINT64: {
                    const int64_t v = Load<int64_t>(operand);
                    Store<int64_t>(result, negate ? Sub64(0, v) : v);
                    break;
                }
                case fldBCD: {
                    const TCurrency c = Currency(operand);
                    PutCurrency(result, negate ? Sub64(0, c) : c, operand.Scale);
                    break;
                }
                default: break;
            }
            break;
        }
        default: break;
    }
    if (result.DataType == fldBOOL) Store<int16_t>(result, BoolToWordBool(Load<int16_t>(result)));
}

void EvaluateBinaryOperator(uint8_t op, const TExpToken& l, const TExpToken& r, TExpToken& result,
                            uint16_t localeId, uint16_t sortId) {
    const bool ln = l.IsNull != 0;
    const bool rn = r.IsNull != 0;
    const bool leftText = IsText(l);
    switch (op) {
        case opEqual:
        case opNotEqual:
        case opGreater:
        case opLess:
        case opGreaterEqual:
        case opLessEqual: {
            if (op == opEqual && (ln || rn)) {
                PutBool(result, ln && rn);
                break;
            }
            if (op == opNotEqual && (ln || rn)) {
                PutBool(result, ln != rn);
                break;
            }
            if (!leftText && ln != rn) {
                PutBool(result, false);
                break;
            }
            if (leftText) {
                const int order = CompareStringsByLocale(localeId, sortId, Text(l), false, 0, Text(r));
                PutBool(result, Decide(op, order));
            } else if (l.DataType == fldBLOB) {
                PutBool(result, Decide(op, 0));  // two NULL BLOBs
            } else {
                PutBool(result, Decide(op, CompareValues(l, r)));
            }
            break;
        }
        case opAnd: PutBool(result, Load<int16_t>(l) != 0 && Load<int16_t>(r) != 0); break;
        case opOr: PutBool(result, Load<int16_t>(l) != 0 || Load<int16_t>(r) != 0); break;
        case opAdd:
        case opSubtract:
        case opMultiply:
        case opDivide: {
            if (op == opAdd && (leftText || IsText(r))) {
                Concatenate(l, r, result);
                break;
            }
            if (ln || rn || r.DataType == fldUNKNOWN) {
                SetNullResult(result);
                break;
            }
            if (IsDateTime(l.DataType) || IsDateTime(r.DataType))
                DateTimeArithmetic(op, l, r, result);
            else
                NumericArithmetic(op, l, r, result);
            break;
        }
        default: break;
    }
    if (result.DataType == fldBOOL) Store<int16_t>(result, BoolToWordBool(Load<int16_t>(result)));
}

}  // namespace kura

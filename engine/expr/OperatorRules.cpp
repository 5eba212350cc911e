// Which operand types each operator accepts and what its result is.
#include <algorithm>

#include "engine/expr/ExpCodes.h"
#include "engine/expr/Operators.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldTypes.h"

namespace kura {

using namespace exv;

namespace {

bool IsMemo(uint8_t type, uint8_t subtype) { return type == fldBLOB && subtype == fldstMEMO; }
// 5, 6, 12, 18: the types a day or millisecond count may be shifted by.
bool IsShift(uint8_t type) { return IsInteger(type); }

bool EqualityAccepts(uint8_t lt, uint8_t ls, uint8_t rs, uint8_t rt) {
    if (IsText(lt, ls)) return IsText(rt, rs);
    switch (lt) {
        case fldDATE:
        case fldTIMESTAMP: return rt == fldDATE || rt == fldTIMESTAMP;
        case fldBLOB: return false;  // only the NULL constant, accepted by the caller
        case fldBOOL: return rt == fldBOOL;
        case fldBYTES: return rt == fldBYTES;
        case fldTIME: return rt == fldTIME;
        default: return IsNumeric(lt) && IsNumeric(rt);
    }
}

bool LeftAccepted(uint8_t op, uint8_t lt, uint8_t ls) {
    switch (op) {
        case opEqual:
        case opNotEqual:
            return IsText(lt, ls) || lt == fldDATE || lt == fldTIMESTAMP || lt == fldBLOB || lt == fldBOOL ||
                   IsNumeric(lt) || lt == fldBYTES || lt == fldTIME;
        case opGreater:
        case opLess:
        case opGreaterEqual:
        case opLessEqual:
            return IsText(lt, ls) || lt == fldDATE || lt == fldTIMESTAMP || lt == fldBLOB || IsNumeric(lt) ||
                   lt == fldTIME;
        case opAnd:
        case opOr: return lt == fldBOOL;
        case opAdd: return IsText(lt, ls) || IsDateTime(lt) || lt == fldBLOB || IsNumeric(lt);
        case opSubtract: return lt == fldDATE || IsNumeric(lt) || lt == fldTIME || lt == fldTIMESTAMP;
        case opMultiply:
        case opDivide: return IsNumeric(lt);
        default: return false;
    }
}

}  // namespace

bool IsUnaryOperatorAllowedForType(uint8_t op, uint8_t operandType) {
    switch (op) {
        case opIsNull:
        case opIsNotNull:
        case opNot: return operandType == fldBOOL;
        case opPlus:
            return operandType == fldUNKNOWN || operandType == fldDATE || IsNumeric(operandType) ||
                   operandType == fldTIME || operandType == fldTIMESTAMP;
        case opNegate:
            return operandType != fldUINT16 && IsUnaryOperatorAllowedForType(opPlus, operandType);
        default: return false;
    }
}

uint8_t UnaryResultType(uint8_t op, uint8_t operandType) {
    switch (op) {
        case opIsNull:
        case opIsNotNull:
        case opNot: return fldBOOL;
        case opNegate:
        case opPlus: return operandType;
        default: return fldUNKNOWN;
    }
}

uint8_t UnaryResultSubtype(uint8_t op, uint8_t /*operandType*/, uint8_t operandSubtype) {
    return (op == opNegate || op == opPlus) ? operandSubtype : fldstNONE;
}

bool IsOperatorAllowedForType(uint8_t op, uint8_t lt, uint8_t ls, uint8_t rs, uint8_t rt) {
    if (!LeftAccepted(op, lt, ls)) return false;
    if (rt == fldUNKNOWN) return true;
    switch (op) {
        case opEqual:
        case opNotEqual: return EqualityAccepts(lt, ls, rs, rt);
        case opGreater:
        case opLess:
        case opGreaterEqual:
        case opLessEqual: return EqualityAccepts(lt, ls, rs, rt);
        case opAnd:
        case opOr: return rt == fldBOOL;
        case opAdd:
            if (IsText(lt, ls)) return IsText(rt, rs);
            if (IsDateTime(lt)) return IsShift(rt);
            if (lt == fldBLOB) return false;
            if (IsInteger(lt)) return rt == fldDATE || IsNumeric(rt) || rt == fldTIME || rt == fldTIMESTAMP;
            return IsNumeric(rt);  // float, BCD
        case opSubtract:
            switch (lt) {
                case fldDATE: return rt == fldDATE || IsShift(rt);
                case fldTIME: return rt == fldTIME || IsShift(rt);
                case fldTIMESTAMP: return rt == fldDATE || rt == fldTIME || rt == fldTIMESTAMP || IsShift(rt);
                default: return IsNumeric(rt);
            }
        case opMultiply:
        case opDivide: return IsNumeric(rt);
        default: return false;
    }
}

uint8_t ResultTypeOfOperator(uint8_t op, uint8_t lt, uint8_t rt) {
    if (IsComparisonCode(op) || op == opAnd || op == opOr) return fldBOOL;
    if (rt == fldUNKNOWN) return fldUNKNOWN;
    // Which of the two sides carries the money, text or day count decides below; a
    // memo on the left arrives as a BLOB.
    switch (op) {
        case opAdd:
            if (lt == fldZSTRING) return rt == fldZSTRING ? fldZSTRING : (rt == fldBLOB ? fldBLOB : fldUNKNOWN);
            if (lt == fldBLOB) return (rt == fldZSTRING || rt == fldBLOB) ? fldBLOB : fldUNKNOWN;
            if (IsDateTime(lt)) return IsShift(rt) ? lt : fldUNKNOWN;
            if (IsSmallInteger(lt)) {
                if (IsSmallInteger(rt)) return fldINT32;
                if (rt == fldDATE || rt == fldFLOAT || rt == fldBCD || rt == fldTIME || rt == fldTIMESTAMP ||
                    rt == fldINT64)
                    return rt;
                return fldUNKNOWN;
            }
            if (lt == fldINT64) {
                if (IsInteger(rt)) return fldINT64;
                if (rt == fldDATE || rt == fldFLOAT || rt == fldBCD || rt == fldTIME || rt == fldTIMESTAMP) return rt;
                return fldUNKNOWN;
            }
            break;
        case opSubtract:
            if (lt == fldDATE) return rt == fldDATE ? fldINT32 : (IsShift(rt) ? fldDATE : fldUNKNOWN);
            if (lt == fldTIME) return rt == fldTIME ? fldINT32 : (IsShift(rt) ? fldTIME : fldUNKNOWN);
            if (lt == fldTIMESTAMP) {
                if (rt == fldDATE || rt == fldTIME) return fldINT32;
                if (IsShift(rt)) return fldTIMESTAMP;
                return rt == fldTIMESTAMP ? fldFLOAT : fldUNKNOWN;
            }
            if (IsSmallInteger(lt)) {
                if (IsSmallInteger(rt)) return fldINT32;
                return (rt == fldFLOAT || rt == fldBCD || rt == fldINT64) ? rt : fldUNKNOWN;
            }
            if (lt == fldINT64) {
                if (IsInteger(rt)) return fldINT64;
                return (rt == fldFLOAT || rt == fldBCD) ? rt : fldUNKNOWN;
            }
            break;
        case opMultiply:
            if (IsSmallInteger(lt)) {
                if (IsSmallInteger(rt)) return fldINT32;
                return (rt == fldFLOAT || rt == fldBCD || rt == fldINT64) ? rt : fldUNKNOWN;
            }
            if (lt == fldINT64) {
                if (IsInteger(rt)) return fldINT64;
                return (rt == fldFLOAT || rt == fldBCD) ? rt : fldUNKNOWN;
            }
            break;
        case opDivide:
            if (IsInteger(lt)) {
                if (IsInteger(rt) || rt == fldFLOAT) return fldFLOAT;
                return rt == fldBCD ? fldBCD : fldUNKNOWN;
            }
            break;
        default: return fldUNKNOWN;
    }
    if (lt == fldFLOAT) return IsNumeric(rt) ? fldFLOAT : fldUNKNOWN;
    if (lt == fldBCD) {
        if (rt == fldFLOAT) return fldFLOAT;
        return IsNumeric(rt) ? fldBCD : fldUNKNOWN;
    }
    return fldUNKNOWN;
}

uint8_t ResultSubtypeOfOperator(uint8_t op, uint8_t lt, uint8_t ls, uint8_t rs, uint8_t rt) {
    if (op == opAdd && IsText(lt, ls) && IsText(rt, rs))
        return (IsMemo(lt, ls) || IsMemo(rt, rs)) ? fldstMEMO : fldstNONE;
    if (op != opAdd && op != opSubtract && op != opMultiply && op != opDivide) return fldstNONE;
    if (ls == fldstMONEY && IsNumeric(rt)) return fldstMONEY;
    if ((op == opAdd || op == opMultiply) && ls == fldstNONE && rs == fldstMONEY) return fldstMONEY;
    return fldstNONE;
}

void SetBinaryResultType(TExpToken& node, const TExpToken& left, const TExpToken& right) {
    const uint8_t op = node.Code;
    node.DataType = ResultTypeOfOperator(op, left.DataType, right.DataType);
    node.DataSubtype = ResultSubtypeOfOperator(op, left.DataType, left.DataSubtype, right.DataSubtype, right.DataType);
    node.Scale = 0;
    int32_t size = 0;
    if (op == opAdd && IsText(left) && IsText(right)) {
        size = std::max<int32_t>(left.DataSize, 1) + std::max<int32_t>(right.DataSize, 1) - 1;
    } else {
        switch (node.DataType) {
            case fldZSTRING: size = std::max(left.DataSize, right.DataSize); break;
            case fldDATE:
            case fldINT32:
            case fldTIME: size = 4; break;
            case fldBLOB:
            case fldFLOAT:
            case fldTIMESTAMP:
            case fldINT64: size = 8; break;
            case fldBOOL:
            case fldINT16:
            case fldUINT16: size = 2; break;
            case fldBCD:
                size = static_cast<int32_t>(BcdSize);
                node.Scale = std::max(left.Scale, right.Scale);
                break;
            default: size = node.DataSize; break;
        }
    }
    node.DataSize = size;
    Reserve(node, size);
}

bool IsCastAllowed(uint8_t targetType, uint8_t sourceType) {
    const uint8_t s = sourceType;
    const bool unknownTextOrBytes = s == fldUNKNOWN || s == fldZSTRING || s == fldBYTES || s == fldVARBYTES;
    switch (targetType) {
        case fldZSTRING:
        case fldBLOB:
        case fldBYTES:
        case fldVARBYTES: return true;
        case fldDATE: return unknownTextOrBytes || s == fldDATE || s == fldTIMESTAMP;
        case fldBOOL:
            return unknownTextOrBytes || s == fldBOOL || s == fldINT16 || s == fldINT32 || s == fldBCD ||
                   s == fldUINT16 || s == fldINT64;
        case fldINT16:
        case fldUINT16: return unknownTextOrBytes || s == fldBOOL || IsNumeric(s);
        case fldINT32:
        case fldFLOAT:
        case fldBCD:
        case fldINT64: return unknownTextOrBytes || IsNumeric(s);
        case fldTIME: return unknownTextOrBytes || s == fldTIME || s == fldTIMESTAMP;
        case fldTIMESTAMP: return unknownTextOrBytes || s == fldDATE || s == fldTIME || s == fldTIMESTAMP;
        default: return false;
    }
}

}  // namespace kura

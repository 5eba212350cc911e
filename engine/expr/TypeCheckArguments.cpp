// Type checking of argument lists: the value arguments of IF, IFNULL and COALESCE
// and the data type arguments of CAST.
#include <algorithm>
#include <string>
#include <vector>

#include "engine/expr/Operators.h"
#include "engine/expr/TypeCheckInternal.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/Bcd.h"

namespace kura::typecheck {

using namespace exv;

namespace {
constexpr int32_t MaxCastLength = 250;
}  // namespace

void TTypeChecker::CheckFunctionArguments(std::string_view name, TExpToken* node, int32_t first) {
    const std::string n(name);
    std::vector<TExpToken*> args;
    for (int32_t i = first; i < node->ArgumentCount(); ++i)
        if (TExpToken* a = node->GetArgument(i)) args.push_back(a);
    const auto isNull = [](const TExpToken* a) { return IsNullConstant(a); };
    if (std::all_of(args.begin(), args.end(), isNull))
        FailRaw("At least one of the " + n + " expression arguments in " + ContextName + " must be a non-NULL value");
    // The NULL constant has no type of its own and fits beside any argument.
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        const TExpToken* a = args[i];
        const TExpToken* b = args[i + 1];
        if (a->DataType == fldUNKNOWN || b->DataType == fldUNKNOWN) continue;
        if (!IsOperatorAllowedForType(opEqual, a->DataType, a->DataSubtype, b->DataSubtype, b->DataType))
            FailRaw("Type mismatch between " + n + " expression arguments in " + ContextName);
    }
    const TExpToken* typed = *std::find_if(args.begin(), args.end(), [](const TExpToken* a) {
        return a->DataType != fldUNKNOWN;
    } ) ;
    if (typed->DataType != fldZSTRING) {
        SetType(node, typed->DataType, typed->DataSubtype, typed->DataSize, typed->Scale);
    } else {
        const auto blob = std::find_if(args.begin(), args.end(), [](const TExpToken* a) { return a->DataType == fldBLOB; });
        if (blob != args.end()) {
            SetType(node, typed->DataType, typed->DataSubtype, (*blob)->DataSize, (*blob)->Scale);
        } else {
            int32_t size = 0;
            uint8_t scale = 0;
            for (const TExpToken* a : args) {
                size = std::max(size, a->DataSize);
                scale = std::max(scale, a->Scale);
            }
            SetType(node, typed->DataType, typed->DataSubtype, size, scale);
        }
    }
    ApplyBooleanRule(node);
}

void TTypeChecker::CheckCastArguments(TExpToken* node) {
    const TExpToken* a0 = node->GetArgument(0);
    TExpToken* a1 = node->GetArgument(1);
    TExpToken* a2 = node->GetArgument(2);
    if (a1) a1->Parent = node;
    if (a2) a2->Parent = node;
    const auto lengthOf = [&](const TExpToken* arg) -> int64_t {
        if (!IsIntegerType(arg)) Fail("Length argument must be an integer");
        return Integer(*arg);
    };
    const auto checkLength = [&](int64_t length) {
        if (length < 1 || length > MaxCastLength)
            Fail("Length argument must be an integer greater than 0 and less than or equal to " +
                 std::to_string(MaxCastLength));
    };
    switch (node->DataType) {
        case fldZSTRING:
            if (a1) {
                const int64_t length = lengthOf(a1);
                checkLength(length);
                SetType(node, fldZSTRING, node->DataSubtype, static_cast<int32_t>(length + 1));
            } else {
                SetType(node, fldZSTRING, node->DataSubtype, a0 ? a0->DataSize : 10);
            }
            break;
        case fldDATE:
        case fldINT32:
        case fldTIME: SetType(node, node->DataType, node->DataSubtype, 4); break;
        case fldBOOL:
        case fldINT16:
        case fldUINT16: SetType(node, node->DataType, node->DataSubtype, 2); break;
        case fldFLOAT:
        case fldTIMESTAMP:
        case fldINT64: SetType(node, node->DataType, node->DataSubtype, 8); break;
        case fldBCD: {
            uint8_t scale = 0;
            if (a1 && a2) {
                if (!IsIntegerType(a2)) Fail("Scale argument must be an integer");
                const int64_t s = Integer(*a2);
                if (s < 0 || s > 4)
                    FailRaw("Scale argument must be an integer less than or equal to 4 but greater than or equal "
                            "to 0 for the BCD data type " + ContextName);
                scale = static_cast<uint8_t>(s);
            }
            SetType(node, fldBCD, node->DataSubtype, static_cast<int32_t>(BcdSize), scale);
            break;
        }
        case fldBYTES:
        case fldVARBYTES: {
            const int64_t length = a1 ? lengthOf(a1) : (a0 ? a0->DataSize : 10);
            checkLength(length);
            SetType(node, node->DataType, node->DataSubtype, static_cast<int32_t>(length));
            break;
        }
        case fldBLOB: {
            const int32_t size = a0 ? a0->DataSize : 0;
            uint8_t subtype = node->DataSubtype;
            if (subtype == fldstNONE) {
                if (!IsIntegerType(a1)) Fail("First BLOB type argument must be an integer");
                if (!IsIntegerType(a2)) Fail("BLOB type argument must be an integer");
                const int64_t s = Integer(*a2) + 21;
                if (s != 22 && s != 23 && s != 24 && s != 26 && s != 28)
                    Fail("BLOB type argument must be an integer with a value of 1,2,3,5, or 7");
                subtype = static_cast<uint8_t>(s);
            }
            SetType(node, fldBLOB, subtype, size);
            break;
        }
        default: break;
    }
}

}  // namespace kura::typecheck

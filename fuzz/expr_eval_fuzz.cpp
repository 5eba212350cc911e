// Filter texts typed and evaluated against a record holding a value of every type:
// the text is parsed, type-checked, evaluated, prepared for a cursor and the
// prepared tree evaluated again.
//
// Every text must end in a value or an engine error of the filter's code (never a
// crash, a hang or undefined behaviour); the prepared tree must agree with its
// source wherever no prefix wildcard makes them differ by design; every node taken
// from the pool must come back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpParser.h"
#include "engine/expr/ExpTokenPool.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/TypeCheck.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/Bcd.h"
#include "engine/files/FieldTypes.h"

namespace {

using namespace kura;

void Check(bool condition) {
    if (!condition) std::abort();
}

int64_t Outstanding() { return TExpToken::LiveCount() - ExpTokenStack->Count(); }

struct TColumn {
    const char* Name;
    uint8_t Type;
    uint8_t Subtype;
    int32_t Size;
    bool Null;
};
const TColumn Columns[] = {
    {"Name", fldZSTRING, 0, 21, false}, {"Age", fldINT32, 0, 4, false},     {"Small", fldINT16, 0, 2, false},
    {"Big", fldINT64, 0, 8, false},     {"Rate", fldFLOAT, 0, 8, false},    {"Pay", fldBCD, 0, 34, false},
    {"Born", fldDATE, 0, 4, false},     {"Noon", fldTIME, 0, 4, false},     {"Stamp", fldTIMESTAMP, 0, 8, false},
    {"Active", fldBOOL, 0, 2, false},   {"Notes", fldBLOB, 22, 10, false},  {"Missing", fldINT32, 0, 4, true},
    {"Word", fldUINT16, 0, 2, false},   {"Code", fldBYTES, 0, 4, false},    {"Empty", fldZSTRING, 0, 21, true},
};

bool Resolve(void*, TExpToken* node) {
    for (uint16_t i = 0; i < std::size(Columns); ++i) {
        if (node->Name != Columns[i].Name) continue;
        node->FieldNumber = static_cast<uint16_t>(i + 1);
        node->DataType = Columns[i].Type;
        node->DataSubtype = Columns[i].Subtype;
        node->DataSize = Columns[i].Size;
        node->Scale = Columns[i].Type == fldBCD ? 2 : 0;
        return true;
    }
    return false;
}

void Value(void*, void*, TExpToken* result) {
    const TColumn& column = Columns[result->FieldNumber - 1u];
    result->IsNull = column.Null ? 1 : 0;
    exv::ZeroValue(*result, 64);
    switch (column.Type) {
        case fldZSTRING: exv::PutText(*result, "Smith"); break;
        case fldBLOB: exv::PutText(*result, "long text"); break;
        case fldINT32: exv::Store<int32_t>(*result, 2147483600); break;
        case fldINT16: exv::Store<int16_t>(*result, -32768); break;
        case fldINT64: exv::Store<int64_t>(*result, INT64_MIN + 5); break;
        case fldFLOAT: exv::Store<double>(*result, 1e300); break;
        case fldBCD: CurrToBCDValue(-922337203685477LL * 10000, 2, result->Value.data()); break;
        case fldDATE: exv::Store<int32_t>(*result, 3652059); break;
        case fldTIME: exv::Store<int32_t>(*result, 86399999); break;
        case fldTIMESTAMP: exv::Store<double>(*result, 3652059.0 * 86400000.0); break;
        case fldBOOL: exv::Store<int16_t>(*result, 1); break;
        case fldUINT16: exv::Store<uint16_t>(*result, 65535); break;
        default: std::memcpy(result->Value.data(), "\x81\x40\xff\x00", 4); break;
    }
}

std::string Evaluate(const TExpToken* tree) {
    TExpToken* result = EvaluateExpression(tree, nullptr, nullptr, 0, 0, &Value);
    std::string shown = result->IsNull ? "NULL" : "";
    if (!result->IsNull && result->DataType == fldBOOL) shown = exv::Load<int16_t>(*result) ? "true" : "false";
    ReleaseExpToken(result);
    return shown;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (!ExpTokenStack) ExpTokenStack = new TExpTokenStack();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const int64_t before = Outstanding();
    {
        TExpressionParser parser;
        parser.ErrorCode = KURA_INVALIDFILTER;
        parser.ContextName = "filter expression";
        parser.Clock = [] { return 45000.25; };
        TExpressionPtr tree;
        try {
            parser.SetText(text);
            parser.NextToken();
            tree.reset(parser.ParseExpression(pfExtendedPredicates | pfAggregates));
            if (tree) {
                CheckExpressionTypes(KURA_INVALIDFILTER, "staff", "", true, true, &Resolve, nullptr, nullptr,
                                     tree.get(), "filter expression");
                const std::string direct = Evaluate(tree.get());
                TExpressionPtr prepared(CopyExpressionForCursor(tree.get(), nullptr, &Value, false, false, 0, 0));
                const std::string again = Evaluate(prepared.get());
                // Prefix wildcards ('x*') and LIKE patterns compare differently by design.
                if (text.find('*') == std::string_view::npos && text.find('%') == std::string_view::npos)
                    Check(direct == again);
            }
        } catch (const EKuraEngineError& e) {
            Check(e.ErrorCode() == KURA_INVALIDFILTER || e.ErrorCode() == KURA_SQLPARSE);
        }
    }
    Check(Outstanding() == before);
    return 0;
}

// The evaluation driver: walks a typed tree for one record (functions, predicates
// and value conversions have files of their own), and the partial comparison.
#include "engine/expr/Evaluate.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/errors/EngineErrors.h"
#include "engine/expr/EvaluateInternal.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/Operators.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/Locale.h"

namespace kura {

using namespace exv;

namespace evalimpl {

namespace {

struct TSpareTokens {
    int32_t Depth = 0;
    std::vector<TExpToken*> Nodes;
};
thread_local TSpareTokens Spares;

}  // namespace

// An evaluation takes its nodes from the global pool a handful at a time and
// gives them all back at its end, under one lock each way rather than two per
// node of every record.
constexpr int32_t SPARE_BATCH = 16;

TExpToken* TakeToken() {
    if (Spares.Nodes.empty() && Spares.Depth > 0 && ExpTokenStack) ExpTokenStack->PopMany(Spares.Nodes, SPARE_BATCH);
    if (Spares.Nodes.empty()) return AllocExpToken();
    TExpToken* node = Spares.Nodes.back();
    Spares.Nodes.pop_back();
    node->Clear();
    return node;
}

void RecycleToken(TExpToken*& node) {
    if (!node) return;
    if (Spares.Depth > 0 && Spares.Nodes.size() < 64) {
        Spares.Nodes.push_back(node);
        node = nullptr;
        return;
    }
    ReleaseExpToken(node);
}


void CopyValue(TExpToken& target, const TExpToken& source) {
    const std::size_t n = source.Value.size();
    if (target.Value.size() < n) target.Value.resize(n, 0);
    if (n > 0) std::memcpy(target.Value.data(), source.Value.data(), n);
    target.DataSize = source.DataSize;
    target.IsNull = source.IsNull;
}

void PutNumber(TExpToken& result, int64_t value) {
    switch (result.DataType) {
        case fldINT16: Store<int16_t>(result, static_cast<int16_t>(value)); break;
        case fldUINT16: Store<uint16_t>(result, static_cast<uint16_t>(value)); break;
        case fldINT64: Store<int64_t>(result, value); break;
        case fldFLOAT: Store<double>(result, static_cast<double>(value)); break;
        default: Store<int32_t>(result, static_cast<int32_t>(static_cast<uint32_t>(value))); break;
    }
    result.IsNull = 0;
}

void PutBoolean(TExpToken& result, bool value) {
    Store<int16_t>(result, value ? 1 : 0);
    result.IsNull = 0;
}

void PutNull(TExpToken& result) {
    ZeroValue(result, std::max<int32_t>(result.DataSize, 0));
    result.IsNull = 1;
}

namespace {

[[noreturn]] void RaiseIllegalColumn(const TExpToken& node) {
    RaiseEngineError(KURA_SQLPARSE, {}, {}, {}, {}, {}, {},
                     "Internal error: Column '" + node.Name + "' specified illegally");
}

void EvaluateColumn(const TExpToken& node, TExpToken& result, const TEvalContext& c) {
    if (node.Name == "*") {
        // COUNT(*): every row counts once, whatever its columns hold.
        result.DataType = fldINT32;
        result.DataSize = 4;
        PutNumber(result, 1);
        return;
    }
    if (c.ColumnValue) {
        c.ColumnValue(c.Owner, c.Context, &result);
        return;
    }
    if (node.FromStringConstant == 0) RaiseIllegalColumn(node);
    // A quoted name that type checking took for a column stays the text it was.
    result.DataType = node.SavedType;
    result.DataSubtype = node.SavedSubtype;
    result.DataSize = node.SavedSize;
    result.Scale = node.SavedScale;
}

void EvaluateLogical(const TExpToken& node, TExpToken& result, const TEvalContext& c) {
    // The right operand first: it decides alone when OR meets true or AND meets false.
    TOperand right(node.Right, c);
    const bool rightTrue = Load<int16_t>(*right) != 0;
    if ((node.Code == opOr && rightTrue) || (node.Code == opAnd && !rightTrue)) {
        PutBoolean(result, rightTrue);
        return;
    }
    TOperand left(node.Left, c);
    EvaluateBinaryOperator(node.Code, *left, *right, result, c.LocaleId, c.SortId);
}

// The result starts as the node: its fields, and its value where the node carries
// one (constants, sub-selects, columns standing for a quoted text). Operators,
// functions and columns write their values themselves, so their nodes' buffers are
// not copied once per record; the children stay the tree's.
void StartResult(TExpToken& result, const TExpToken& node) {
    const bool carriesValue = node.Kind == ekConstant || node.Kind == ekSubSelect ||
                              (node.Kind == ekColumn && node.FromStringConstant != 0);
    if (carriesValue) {
        result.Assign(node);
        result.Left = nullptr;
        result.Right = nullptr;
        result.Arguments.clear();
        return;
    }
    result.Kind = node.Kind;
    result.Code = node.Code;
    result.Flag = node.Flag;
    result.BindSlot1 = node.BindSlot1;
    result.BindSlot2 = node.BindSlot2;
    result.PlannerWord = node.PlannerWord;
    result.PlannerFlag1 = node.PlannerFlag1;
    result.PlannerFlag2 = node.PlannerFlag2;
    if (node.Kind == ekColumn) {
        result.Name = node.Name;
        result.TableName = node.TableName;
    }
    result.FieldNumber = node.FieldNumber;
    result.Owner = node.Owner;
    result.Query = node.Query;
    result.IsNull = node.IsNull;
    result.IsParameter = node.IsParameter;
    result.PartialLength = node.PartialLength;
    result.CaseInsensitive = node.CaseInsensitive;
    result.DataType = node.DataType;
    result.DataSubtype = node.DataSubtype;
    result.DataSize = node.DataSize;
    result.Scale = node.Scale;
    result.FromStringConstant = node.FromStringConstant;
    result.SavedType = node.SavedType;
    result.SavedSubtype = node.SavedSubtype;
    result.SavedSize = node.SavedSize;
    result.SavedScale = node.SavedScale;
    result.Parent = node.Parent;
    Reserve(result, node.DataSize);
}

}  // namespace

TExpToken* Eval(const TExpToken* node, const TEvalContext& c) {
    TPooledToken result(TakeToken());
    if (!node) {
        result->Kind = ekConstant;
        result->IsNull = 1;
        return result.Release();
    }
    StartResult(*result, *node);
    switch (node->Kind) {
        case ekUnary: {
            TOperand operand(node->Left, c);
            EvaluateUnaryOperator(node->Code, *operand, *result);
            break;
        }
        case ekBinary:
            if (node->Code == opAnd || node->Code == opOr) {
                EvaluateLogical(*node, *result, c);
            } else {
                TOperand left(node->Left, c);
                TOperand right(node->Right, c);
                SetBinaryResultType(*result, *left, *right);
                EvaluateBinaryOperator(node->Code, *left, *right, *result, c.LocaleId, c.SortId);
            }
            break;
        case ekPartialCompare: {
            TOperand left(node->Left, c);
            TOperand right(node->Right, c);
            if (left->DataType == fldZSTRING || left->DataType == fldBLOB) {
                EvaluatePartialCompare(node->Code, node->PartialLength, node->CaseInsensitive != 0, c.LocaleId,
                                       c.SortId, *result, *right, *left);
            } else {
                result->DataType = fldBOOL;
                result->DataSize = 2;
                EvaluateBinaryOperator(node->Code, *left, *right, *result, c.LocaleId, c.SortId);
            }
            break;
        }
        case ekColumn: EvaluateColumn(*node, *result, c); break;
        case ekFunction: EvaluateFunction(*node, *result, c); break;
        case ekPredicate: EvaluatePredicate(*node, *result, c); break;
        default: break;  // constants, parameters, sub-selects: the copy is the value
    }
    result->Kind = node->Kind == ekSubSelect ? ekColumn : ekConstant;
    result->Left = nullptr;
    result->Right = nullptr;
    result->Arguments.clear();
    return result.Release();
}

}  // namespace evalimpl

using namespace evalimpl;

TExpToken* EvaluateExpression(const TExpToken* node, void* context, void* owner, uint16_t localeId, uint16_t sortId,
                              TColumnValueProc columnValue) {
    const TEvalContext c{context, owner, localeId, sortId, columnValue};
    // The spare list lives while any batch is open: one for every evaluation.
    TEvaluationBatch scope;
    return Eval(node, c);
}

TEvaluationBatch::TEvaluationBatch() {
    if (Spares.Depth++ == 0) Spares.Nodes.reserve(64);
}

TEvaluationBatch::~TEvaluationBatch() {
    if (--Spares.Depth > 0) return;
    if (ExpTokenStack) {
        ExpTokenStack->PushMany(Spares.Nodes);
        return;
    }
    for (TExpToken*& node : Spares.Nodes) ReleaseExpToken(node);
    Spares.Nodes.clear();
}

void ReleaseEvaluationResult(TExpToken*& value) { RecycleToken(value); }

TExpToken* EvaluateAgainstRecord(const TExpToken* templ, const TExpToken* node, void* owner, uint16_t localeId,
                                 uint16_t sortId, TColumnValueProc columnValue) {
    TPooledToken result(EvaluateExpression(node, nullptr, owner, localeId, sortId, columnValue));
    if (templ && result->IsNull == 0 && result->DataType != fldZSTRING && result->DataType != templ->DataType) {
        uint8_t converted[FieldValueBufferSize + 5] = {};
        ConvertTokenValue(*result, result->Value.data(), *templ, converted);
        Reserve(*result, std::max<int32_t>(templ->DataSize, 8));
        std::memcpy(result->Value.data(), converted, std::min<std::size_t>(sizeof converted, result->Value.size()));
        result->DataType = templ->DataType;
        result->DataSubtype = templ->DataSubtype;
        result->DataSize = templ->DataSize;
        result->Scale = templ->Scale;
    }
    return result.Release();
}

void EvaluatePartialCompare(uint8_t code, int32_t partialLength, bool caseInsensitive, uint16_t localeId,
                            uint16_t sortId, TExpToken& result, const TExpToken& right, const TExpToken& left) {
    bool equal = false;
    if (left.IsNull != 0 || right.IsNull != 0) {
        equal = left.IsNull != 0 && right.IsNull != 0;
    } else {
        equal = CompareStringsByLocale(localeId, sortId, Text(left), caseInsensitive,
                                       partialLength > 0 ? partialLength : 0, Text(right)) == 0;
    }
    result.DataType = fldBOOL;
    result.DataSize = 2;
    PutBoolean(result, code == opNotEqual ? !equal : equal);
}

}  // namespace kura

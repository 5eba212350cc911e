// Preparing a filter tree for a cursor: constant operands computed once, prefix
// comparisons turned into partial comparisons an index can serve.
#include <algorithm>
#include <cstring>
#include <string>

#include "engine/expr/EvaluateInternal.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace exv;
using evalimpl::TPooledToken;

bool IsTrailingWildcardPattern(std::string_view text, char wildcard) {
    if (text.empty() || text.front() == wildcard) return false;
    const std::size_t first = text.find(wildcard);
    if (first == std::string_view::npos) return false;
    return text.find_first_not_of(wildcard, first) == std::string_view::npos;
}

namespace {

struct TCopyOptions {
    void* Owner;
    TColumnValueProc ColumnValue;
    bool NoPartialCompare;
    bool CaseInsensitive;
    uint16_t LocaleId;
    uint16_t SortId;
};

TExpToken* Prepare(const TExpToken* node, const TCopyOptions& o);

// A character of a code page 932 text, walking whole characters.
bool ContainsCharacter(const std::string& text, char c) {
    for (const char* p = text.c_str(); *p != '\0'; NextCharDBCS(p))
        if (*p == c) return true;
    return false;
}

bool IsStringConstant(const TExpToken* node) {
    return node && node->Kind == ekConstant && node->DataType == fldZSTRING && node->IsNull == 0;
}

// UPPER or LOWER of one column compared with a call of the same function.
bool SameCaseFunction(const TExpToken* column, const TExpToken* other) {
    return IsCaseFunctionOfColumn(column) && other && other->Kind == ekFunction && other->Code == column->Code;
}

// Whether a value converted to another type reads back as itself.
bool SurvivesConversion(const TExpToken& own, const TExpToken& converted) {
    uint8_t back[FieldValueBufferSize + 5] = {};
    ConvertTokenValue(converted, converted.Value.data(), own, back);
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(std::max(own.DataSize, 0)), own.Value.size());
    return n <= sizeof back && std::memcmp(back, own.Value.data(), n) == 0;
}

// Copied when it reaches a column, else computed now and, where that loses
// nothing, converted to the template's type: a constant beyond the range of the
// column it is compared with (IntCol < 5000000000) keeps its own type and value.
TExpToken* CopyOrCompute(const TExpToken* node, const TExpToken* templ, const TCopyOptions& o) {
    if (!node) return nullptr;
    if (ContainsColumn(node) || node->Kind == ekSubSelect) return Prepare(node, o);
    TPooledToken value(EvaluateAgainstRecord(templ, node, o.Owner, o.LocaleId, o.SortId, o.ColumnValue));
    if (templ && value->DataType == templ->DataType && node->DataType != templ->DataType) {
        TPooledToken own(EvaluateAgainstRecord(nullptr, node, o.Owner, o.LocaleId, o.SortId, o.ColumnValue));
        if (own->DataType != templ->DataType && !SurvivesConversion(*own, *value)) value.Reset(own.Release());
    }
    value->Text = node->Text;
    return value.Release();
}

// Cuts the trailing wildcards off a string constant; the length that remains.
int32_t CutTrailing(TExpToken* constant, char wildcard) {
    std::string text(TextView(*constant));
    while (!text.empty() && text.back() == wildcard) text.pop_back();
    PutText(*constant, text);
    return static_cast<int32_t>(text.size());
}

void Attach(TExpToken* parent, TExpToken* child, int32_t slot) {
    if (child) child->Parent = parent;
    if (slot < 0)
        (slot == -1 ? parent->Left : parent->Right) = child;
    else
        parent->SetArgument(slot, child);
}

void PrepareComparison(const TExpToken* node, TExpToken* copy, const TCopyOptions& o) {
    if (SameCaseFunction(node->Left, node->Right)) copy->CaseInsensitive = 1;
    // A constant written first meets the column as one written second does.
    if (!ContainsColumn(node->Left) && ContainsColumn(node->Right)) {
        Attach(copy, CopyOrCompute(node->Left, node->Right, o), -1);
        Attach(copy, Prepare(node->Right, o), -2);
        // The case-insensitive option holds on either side of = and <>, which read
        // the same both ways round: the column goes first, as the indexes and the
        // record pass look for it. A '*' written first stays a character.
        if (o.CaseInsensitive && IsStringConstant(copy->Left) && (node->Code == opEqual || node->Code == opNotEqual)) {
            SwapChildren(copy);
            copy->Kind = ekPartialCompare;
            copy->CaseInsensitive = 1;
            copy->PartialLength = 0;
        }
        return;
    }
    Attach(copy, Prepare(node->Left, o), -1);
    Attach(copy, CopyOrCompute(node->Right, node->Left, o), -2);
    TExpToken* right = copy->Right;
    if (!IsStringConstant(right) || (node->Code != opEqual && node->Code != opNotEqual)) return;
    const bool prefix = IsTrailingWildcardPattern(TextView(*right), '*');
    if (!prefix && !o.CaseInsensitive) return;
    copy->Kind = ekPartialCompare;
    copy->CaseInsensitive = o.CaseInsensitive ? 1 : 0;
    // Only a written prefix compares part of the value; a plain text compares whole.
    copy->PartialLength = (prefix && !o.NoPartialCompare) ? CutTrailing(right, '*') : 0;
}

void PrepareLike(const TExpToken* node, TExpToken* copy, const TCopyOptions& o) {
    const TExpToken* value = node->GetArgument(0);
    const TExpToken* pattern = node->GetArgument(1);
    if (SameCaseFunction(value, pattern)) copy->CaseInsensitive = 1;
    TExpToken* valueCopy = Prepare(value, o);
    Attach(copy, valueCopy, 0);
    TExpToken* patternCopy = CopyOrCompute(pattern, value, o);
    Attach(copy, patternCopy, 1);
    if (!IsStringConstant(patternCopy)) return;
    const std::string text(TextView(*patternCopy));
    if (!IsTrailingWildcardPattern(text, '%') || ContainsCharacter(text, '_')) return;
    copy->Kind = ekPartialCompare;
    copy->Code = node->Code == prLike ? opEqual : opNotEqual;
    copy->Arguments.clear();
    copy->Left = valueCopy;
    copy->Right = patternCopy;
    copy->PartialLength = CutTrailing(patternCopy, '%');
}

void PrepareList(const TExpToken* node, TExpToken* copy, const TCopyOptions& o) {
    const TExpToken* value = node->GetArgument(0);
    bool sameCase = node->ArgumentCount() > 1;
    for (int32_t i = 1; i < node->ArgumentCount(); ++i)
        sameCase = sameCase && SameCaseFunction(value, node->GetArgument(i));
    if (sameCase) copy->CaseInsensitive = 1;
    Attach(copy, Prepare(value, o), 0);
    for (int32_t i = 1; i < node->ArgumentCount(); ++i) Attach(copy, CopyOrCompute(node->GetArgument(i), value, o), i);
}

TExpToken* Prepare(const TExpToken* node, const TCopyOptions& o) {
    if (!node) return nullptr;
    TExpressionPtr copy(AllocExpToken());
    copy->Assign(*node);
    copy->Left = nullptr;
    copy->Right = nullptr;
    copy->Third = nullptr;
    copy->Parent = nullptr;
    copy->Arguments.clear();
    switch (node->Kind) {
        case ekUnary: Attach(copy.get(), Prepare(node->Left, o), -1); break;
        case ekBinary:
            if (IsComparisonCode(node->Code)) {
                PrepareComparison(node, copy.get(), o);
            } else {
                Attach(copy.get(), Prepare(node->Left, o), -1);
                Attach(copy.get(), Prepare(node->Right, o), -2);
            }
            break;
        case ekPartialCompare:
            Attach(copy.get(), Prepare(node->Left, o), -1);
            Attach(copy.get(), Prepare(node->Right, o), -2);
            break;
        case ekFunction:
            for (int32_t i = 0; i < node->ArgumentCount(); ++i) {
                const TExpToken* arg = node->GetArgument(i);
                Attach(copy.get(), CopyOrCompute(arg, arg, o), i);
            }
            break;
        case ekPredicate:
            if (node->Code == prLike || node->Code == prNotLike) {
                PrepareLike(node, copy.get(), o);
            } else if (node->Code == prInSelect || node->Code == prNotInSelect) {
                for (int32_t i = 0; i < node->ArgumentCount(); ++i) Attach(copy.get(), Prepare(node->GetArgument(i), o), i);
            } else {
                PrepareList(node, copy.get(), o);
            }
            break;
        default: break;
    }
    return copy.release();
}

}  // namespace

TExpToken* CopyExpressionForCursor(const TExpToken* node, void* owner, TColumnValueProc columnValue,
                                   bool noPartialCompare, bool caseInsensitive, uint16_t localeId, uint16_t sortId) {
    const TCopyOptions options{owner, columnValue, noPartialCompare, caseInsensitive, localeId, sortId};
    return Prepare(node, options);
}

}  // namespace kura

// Which conditions of a filter tree an index can answer, and the index that
// answers each: the first key field must be the column, keyed the way the
// condition compares (case-insensitive keys for UPPER/LOWER and case-insensitive
// comparisons of texts).
#include <cstring>
#include <utility>

#include "engine/core/DataTable.h"
#include "engine/core/FilterLeaf.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpTree.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldTypes.h"

namespace kura {

namespace {

bool IsPlainConstant(const TExpToken* node) {
    return node && node->Kind == ekConstant && node->IsParameter == 0;
}

// The first field of the index's key is fieldNo, keyed in a way a value
// interval can be walked.
bool IndexFits(TDataCursor& c, uint8_t indexNo, uint16_t fieldNo, bool wantFolded, bool isText) {
    TIndexDesc desc;
    c.GetIndexDesc(indexNo, desc);
    if (desc.GetFieldCount() == 0) return false;
    // The cursor's field numbers are the table's (result cursors never filter
    // through indexes: they carry none).
    if (desc.GetField(0) != fieldNo) return false;
    if (desc.GetOption(0) != 0) return false;  // a per-field descending key
    const bool folded = desc.GetByte(ido::CaseInsensitive) != 0;
    return !isText || folded == wantFolded;
}

// The primary index first, then the secondary ones; 255 when none fits.
uint8_t SelectIndexForField(TDataCursor& c, uint16_t fieldNo, bool wantFolded, bool isText) {
    if (!c.GetNoPrimaryIndex() && IndexFits(c, PRIMARY_INDEX, fieldNo, wantFolded, isText)) return PRIMARY_INDEX;
    const uint8_t count = c.GetIndexCount();
    for (uint8_t i = 1; i <= count && i < SYS_DELETED_SLOT; ++i)
        if (IndexFits(c, i, fieldNo, wantFolded, isText)) return i;
    return NATURAL_ORDER;
}

bool HasUpperAsciiOrDoubleByte(std::string_view text) {
    for (unsigned char ch : text)
        if ((ch >= 'A' && ch <= 'Z') || ch >= 0x80) return true;
    return false;
}

// The column under the node: a column itself, or UPPER/LOWER of one.
const TExpToken* ColumnOf(const TExpToken* node, bool& upper, bool& lower) {
    upper = lower = false;
    if (!node) return nullptr;
    if (node->Kind == ekColumn) return node;
    if (IsCaseFunctionOfColumn(node)) {
        upper = node->Code == fnUpper;
        lower = node->Code == fnLower;
        return node->GetArgument(0);
    }
    return nullptr;
}

// A constant the column's keys can be compared with: of the column's type (a text
// longer than the column's values included: its interval is built from the part
// that fits).
bool ConstantFits(const TFieldDesc& field, const TExpToken* constant, const TLeafCondition& leaf) {
    if (!IsPlainConstant(constant)) return false;
    if (constant->IsNull) return true;
    if (constant->DataType != field.FieldType()) return false;
    if (field.FieldType() == fldZSTRING && leaf.Lower && HasUpperAsciiOrDoubleByte(exv::TextView(*constant)))
        return false;
    return true;
}

}  // namespace

// ---- Recognising index conditions -----------------------------------------------------------

TComparisonOperands ColumnFirst(const TExpToken& node) {
    TComparisonOperands o{node.Left, node.Right, node.Code};
    if (o.Subject && o.Subject->Kind == ekConstant && o.Constant && o.Constant->Kind != ekConstant) {
        std::swap(o.Subject, o.Constant);
        o.Op = MirroredCode(o.Op);
    }
    return o;
}

bool RecogniseLeaf(TDataCursor& c, const TExpToken* node, TLeafCondition& leaf) {
    leaf = TLeafCondition{};
    if (!node || !c.FTable) return false;
    const TExpToken* column = nullptr;
    const TExpToken* search = nullptr;
    if (IsTextSearchCall(node)) {
        search = node;
    } else if (node->Kind == ekBinary && node->Code == opEqual && IsTextSearchCall(node->Left) &&
               IsPlainConstant(node->Right) && node->Right->IsNull == 0 && node->Right->DataType == fldBOOL &&
               exv::Load<int16_t>(*node->Right) != 0) {
        search = node->Left;  // TEXTSEARCH(...) = True
    }
    if (search) {
        const TExpToken* text = search->GetArgument(0);
        column = search->GetArgument(1);
        if (!column || column->Kind != ekColumn || !IsPlainConstant(text) || text->IsNull) return false;
        if (!c.IsTextIndexField(FieldDescOf(c, column->FieldNumber).FieldNo())) return false;
        leaf.Kind = TLeafKind::TextSearch;
        leaf.FieldNo = column->FieldNumber;
        leaf.IndexNo = SYS_TEXT_SLOT;
        leaf.Constants.push_back(text);
        return true;
    }

    if ((node->Kind == ekBinary && IsComparisonCode(node->Code)) ||
        (node->Kind == ekPartialCompare && (node->Code == opEqual || node->Code == opNotEqual))) {
        // A prefix compares the column's start with the constant, one way only.
        const TComparisonOperands operands =
            node->Kind == ekBinary ? ColumnFirst(*node) : TComparisonOperands{node->Left, node->Right, node->Code};
        column = ColumnOf(operands.Subject, leaf.Upper, leaf.Lower);
        const TExpToken* constant = operands.Constant;
        if (!column || !IsPlainConstant(constant)) return false;
        if (constant->IsNull) {
            if (operands.Op == opEqual) leaf.Kind = TLeafKind::IsNull;
            else if (operands.Op == opNotEqual) leaf.Kind = TLeafKind::IsNotNull;
            else return false;  // an ordered comparison with NULL is left to the records
        } else {
            leaf.Kind = TLeafKind::Compare;
            leaf.Op = operands.Op;
            leaf.Constants.push_back(constant);
            if (node->Kind == ekPartialCompare) {
                leaf.PartialLength = node->PartialLength;
                leaf.FoldCase = node->CaseInsensitive != 0 && !leaf.Lower;
            }
        }
    } else if (node->Kind == ekUnary && (node->Code == opIsNull || node->Code == opIsNotNull)) {
        column = ColumnOf(node->Left, leaf.Upper, leaf.Lower);
        leaf.Kind = node->Code == opIsNull ? TLeafKind::IsNull : TLeafKind::IsNotNull;
    } else if (node->Kind == ekPredicate) {
        switch (node->Code) {
            case prBetween: leaf.Kind = TLeafKind::Between; break;
            case prNotBetween: leaf.Kind = TLeafKind::NotBetween; break;
            case prIn: leaf.Kind = TLeafKind::InList; break;
            case prNotIn: leaf.Kind = TLeafKind::NotInList; break;
            default: return false;
        }
        column = ColumnOf(node->GetArgument(0), leaf.Upper, leaf.Lower);
        for (int32_t i = 1; i < node->ArgumentCount(); ++i) leaf.Constants.push_back(node->GetArgument(i));
        if (leaf.Kind == TLeafKind::Between || leaf.Kind == TLeafKind::NotBetween) {
            if (leaf.Constants.size() != 2) return false;
            for (const TExpToken* k : leaf.Constants)
                if (!IsPlainConstant(k) || k->IsNull) return false;
        } else if (leaf.Constants.empty()) {
            return false;
        }
    } else {
        return false;
    }
    if (!column || column->Kind != ekColumn) return false;
    const TFieldDesc field = FieldDescOf(c, column->FieldNumber);
    const uint8_t type = field.FieldType();
    if (type == fldBLOB || type == fldBCD || field.Computed() != 0) return false;
    const bool isText = type == fldZSTRING;
    if ((leaf.Upper || leaf.Lower) && !isText) return false;
    // A collated text orders by the locale, not by the bytes the evaluator sees.
    if (isText && c.FLocaleID != 0) return false;
    // LOWER(column) only answers equality and lists through upper-cased keys.
    if (leaf.Lower && !(leaf.Kind == TLeafKind::InList || leaf.Kind == TLeafKind::NotInList ||
                        leaf.Kind == TLeafKind::IsNull || leaf.Kind == TLeafKind::IsNotNull ||
                        (leaf.Kind == TLeafKind::Compare && leaf.PartialLength == 0 &&
                         (leaf.Op == opEqual || leaf.Op == opNotEqual))))
        return false;
    for (const TExpToken* k : leaf.Constants)
        if (!ConstantFits(field, k, leaf)) return false;
    if (leaf.PartialLength < 0) return false;
    leaf.FieldNo = column->FieldNumber;
    const bool wantFolded = leaf.Upper || leaf.Lower || leaf.FoldCase;
    leaf.IndexNo = SelectIndexForField(c, field.FieldNo(), wantFolded, isText);
    return leaf.IndexNo != NATURAL_ORDER;
}

// ---- Index swap ---------------------------------------------------------------------------

TIndexSwap::TIndexSwap(TDataCursor& cursor, uint8_t indexNo)
    : FCursor(cursor), FSaved(cursor.FIndexNo), FSavedFlag(cursor.FIndexSwappedForScan),
      FSavedVisible(cursor.FVisibleSetActive) {
    if (indexNo == FSaved) return;
    FCursor.FIndexSwappedForScan = true;
    FCursor.SetIndexNumber(indexNo);
}

TIndexSwap::~TIndexSwap() {
    if (FCursor.FIndexNo != FSaved) {
        try {
            FCursor.SetIndexNumber(FSaved);
        } catch (...) {
        }
    }
    FCursor.FVisibleSetActive = FSavedVisible;
    FCursor.FIndexSwappedForScan = FSavedFlag;
}

}  // namespace kura

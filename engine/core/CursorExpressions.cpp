// Expressions over a cursor's fields: the column resolver and value callback the
// evaluator uses, the full-text and auto-increment services it reaches through a
// column's owner, and the computed fields of live SQL results.
#include <algorithm>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/FieldTypes.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

constexpr std::string_view COMPUTED_CONTEXT = "computed field expression";

// Value buffers grow in whole blocks.
void FitToken(TExpToken* token, int32_t size) {
    const int32_t block = TExpToken::ValueBlockSize;
    const int32_t wanted = ((std::max(size, 1) + block - 1) / block) * block;
    if (token->ValueCapacity() < wanted) token->Value.resize(static_cast<std::size_t>(wanted), 0);
}

}  // namespace

// ---- Column binding and values ----------------------------------------------------

bool TDataCursor::ResolveColumn(void* cursor, TExpToken* node) {
    auto* self = static_cast<TDataCursor*>(cursor);
    if (!self || !node) return false;
    for (uint16_t n = 1; n <= self->FFieldCount; ++n) {
        const TFieldDesc& desc = self->FFieldDefs[n - 1u];
        if (!SameNameByLocale(self->FLocaleID, self->FSortID, desc.Name(), node->Name)) continue;
        node->FieldNumber = n;
        node->DataType = desc.FieldType();
        node->DataSubtype = desc.SubType();
        node->DataSize = desc.FieldType() == fldBCD ? 34 : desc.StoredSize();
        node->Scale = desc.FieldType() == fldBCD ? desc.StoredDecimals() : 0;
        SetTokenOwner(*node, self);
        return true;
    }
    return false;
}

void TDataCursor::ColumnValue(void* cursor, void* record, TExpToken* token) {
    static_cast<TDataCursor*>(cursor)->GetFieldValue(static_cast<const uint8_t*>(record), token);
}

void TDataCursor::GetFieldValue(const uint8_t* buffer, TExpToken* token) {
    if (!token || FCalculating) return;
    FCalculating = true;
    try {
        const uint16_t fieldNo = token->FieldNumber;
        const TFieldDesc& desc = CursorFieldDesc(fieldNo);
        bool blank = true;
        if (token->DataType == fldBLOB) {
            GetFieldData(desc, buffer, nullptr, blank);
            std::string text;
            if (!blank) text = StoredMemoText(fieldNo, buffer);
            // A memo reads as text and gets its terminating zero.
            const bool memo = token->DataSubtype == fldstMEMO;
            FitToken(token, static_cast<int32_t>(text.size()) + 1);
            std::memcpy(token->Value.data(), text.data(), text.size());
            token->Value[text.size()] = 0;
            token->DataSize = static_cast<int32_t>(text.size()) + (memo ? 1 : 0);
        } else if (token->DataType == fldZSTRING) {
            FitToken(token, desc.StoredSize() + 1);
            GetFieldData(desc, buffer, token->Value.data(), blank);
            token->Value[desc.StoredSize()] = 0;
            token->DataSize = static_cast<int32_t>(strnlen(reinterpret_cast<const char*>(token->Value.data()),
                                                           desc.StoredSize())) + 1;
        } else {
            FitToken(token, std::max<int32_t>(desc.StoredSize(), 8));
            GetFieldData(desc, buffer, token->Value.data(), blank);
            token->DataSize = desc.StoredSize();
        }
        token->IsNull = blank ? 1 : 0;
    } catch (...) {
        FCalculating = false;
        throw;
    }
    FCalculating = false;
}

// ---- Services reached through a column's owner ------------------------------------

bool TDataCursor::ExpressionTextSearch(const char* search, int32_t searchLength, const char* text,
                                       int32_t textLength) {
    return TextSearch(search, searchLength, text, textLength);
}

int32_t TDataCursor::ExpressionTextOccurs(const char* search, int32_t searchLength, const char* text,
                                          int32_t textLength) {
    return TextOccurs(search, searchLength, text, textLength);
}

int64_t TDataCursor::ExpressionLastAutoInc() { return GetLastAutoIncValue(); }

// ---- Computed fields ----------------------------------------------------------------

void TDataCursor::BindComputedExpression(TExpToken* tree) {
    CheckExpressionTypes(KURA_SQLPARSE, FTableName, {}, false, false, &TDataCursor::ResolveColumn, this, nullptr,
                         tree, COMPUTED_CONTEXT);
}

void TDataCursor::SetComputedFieldDefs(const TFieldDesc* defs, int32_t count, int32_t limit,
                                       const TExpToken* const* expressions) {
    // The expressions are bound to the new definitions; a refused one raises before
    // any of them is installed.
    std::vector<TExpressionPtr> copies(static_cast<std::size_t>(std::max(count, 0)));
    SetComputedFieldDefs(defs, count, limit);
    for (int32_t i = 0; expressions && i < count; ++i) {
        if (!expressions[i] || defs[i].Computed() == 0) continue;
        copies[static_cast<std::size_t>(i)].reset(CopyExpression(expressions[i]));
        BindComputedExpression(copies[static_cast<std::size_t>(i)].get());
    }
    FComputedExpressions = std::move(copies);
}

void TDataCursor::SetResultFieldDefs(const std::vector<TFieldDesc>& defs,
                                     const std::vector<const TExpToken*>& expressions) {
    std::vector<TExpressionPtr> copies(defs.size());
    SetComputedFieldDefs(defs, 2 * CURSOR_MAX_FIELDS);
    for (std::size_t i = 0; i < defs.size() && i < expressions.size(); ++i) {
        if (!expressions[i] || defs[i].Computed() == 0) continue;
        copies[i].reset(CopyExpression(expressions[i]));
        BindComputedExpression(copies[i].get());
    }
    FComputedExpressions = std::move(copies);
}

void TDataCursor::AdoptComputedExpressions(const std::vector<TExpressionPtr>& expressions) {
    for (std::size_t i = 0; i < expressions.size() && i < FComputedExpressions.size(); ++i) {
        if (!expressions[i]) continue;
        FComputedExpressions[i].reset(CopyExpression(expressions[i].get()));
        BindComputedExpression(FComputedExpressions[i].get());
    }
}

const TExpToken* TDataCursor::GetComputedFieldExpression(uint16_t fieldNo) const {
    if (fieldNo == 0 || fieldNo > FComputedExpressions.size()) return nullptr;
    return FComputedExpressions[fieldNo - 1u].get();
}

void TDataCursor::CalculateFields(uint8_t* buffer) {
    // Not while a column value is being read for an expression (its reads may store
    // into record images), nor into a table's own record image.
    if (!FHasComputedFields || !buffer || FCalculating) return;
    for (uint16_t n = 1; n <= FFieldCount && n <= FComputedExpressions.size(); ++n) {
        const TExpToken* expression = FComputedExpressions[n - 1u].get();
        // A BLOB field holds a BLOB reference, which no expression value is.
        if (!expression || FFieldDefs[n - 1u].Computed() == 0 || FFieldDefs[n - 1u].FieldType() == fldBLOB) continue;
        TExpToken* result = EvaluateExpression(expression, buffer, this, FLocaleID, FSortID, &TDataCursor::ColumnValue);
        try {
            TExpToken converted;
            converted.DataType = FFieldDefs[n - 1u].FieldType();
            converted.DataSubtype = FFieldDefs[n - 1u].SubType();
            converted.DataSize = FFieldDefs[n - 1u].StoredSize();
            converted.Scale = FFieldDefs[n - 1u].StoredDecimals();
            AssignConvertedValue(converted, *result);
            PutField(n, buffer, converted.IsNull != 0 ? nullptr : converted.Value.data(), true);
        } catch (...) {
            ReleaseExpToken(result);
            throw;
        }
        ReleaseExpToken(result);
    }
}

}  // namespace kura

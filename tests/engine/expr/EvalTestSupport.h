#pragma once
// A record of named values that expressions are parsed, typed and evaluated
// against, standing in for a cursor: its resolver binds columns by name and its
// value callback hands out the values.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "ExprTestSupport.h"
#include "ValueTestSupport.h"
#include "engine/expr/Evaluate.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/expr/TypeCheck.h"
#include "engine/files/SysConvert.h"

namespace kura::evaltest {

using testvalues::TNode;

class TTestRecord : public TExpressionOwner {
public:
    std::vector<std::pair<std::string, TNode>> Columns;
    int32_t Reads = 0;  // column values handed out
    std::vector<std::string> Searches;

    void Add(const std::string& name, TNode value) { Columns.emplace_back(name, std::move(value)); }

    static bool Resolve(void* data, TExpToken* node) {
        auto* self = static_cast<TTestRecord*>(data);
        for (std::size_t i = 0; i < self->Columns.size(); ++i) {
            if (self->Columns[i].first != node->Name) continue;
            const TExpToken& v = *self->Columns[i].second;
            node->FieldNumber = static_cast<uint16_t>(i + 1);
            node->DataType = v.DataType;
            node->DataSubtype = v.DataSubtype;
            node->DataSize = v.DataType == fldZSTRING ? 21 : v.DataSize;
            node->Scale = v.Scale;
            SetTokenOwner(*node, self);
            return true;
        }
        return false;
    }
    static void Value(void* owner, void* /*context*/, TExpToken* result) {
        auto* self = static_cast<TTestRecord*>(owner);
        ++self->Reads;
        const TExpToken& v = *self->Columns.at(result->FieldNumber - 1u).second;
        if (result->Value.size() < v.Value.size()) result->Value.resize(v.Value.size());
        std::copy(v.Value.begin(), v.Value.end(), result->Value.begin());
        result->DataSize = v.DataSize;
        result->IsNull = v.IsNull;
    }

    bool ExpressionTextSearch(const char* search, int32_t, const char* text, int32_t) override {
        Searches.push_back(std::string(search) + "|" + text);
        return std::string(text).find(search) != std::string::npos;
    }
    int32_t ExpressionTextOccurs(const char* search, int32_t, const char* text, int32_t) override {
        Searches.push_back(std::string(search) + "|" + text);
        return std::string(text).find(search) != std::string::npos ? 2 : 0;
    }
    int64_t ExpressionLastAutoInc() override { return 41; }
};

// A checked tree, or the message type checking raised.
struct TChecked {
    TExpressionPtr Tree;
    std::string Error;
};

inline TChecked ParseAndCheck(std::string_view text, TTestRecord& record, bool conditions = false,
                              uint8_t flags = pfExtendedPredicates | pfAggregates | pfAllColumns) {
    exprtest::ParseOutcome parsed = exprtest::ParseText(text, flags);
    TChecked out;
    if (parsed.Code != 0) {
        out.Error = "parse: " + parsed.Message;
        return out;
    }
    out.Tree.reset(parsed.Tree);
    try {
        CheckExpressionTypes(KURA_INVALIDFILTER, "staff", "", true, conditions, &TTestRecord::Resolve, &record,
                             nullptr, out.Tree.get(), "filter expression");
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_INVALIDFILTER);
        EXPECT_EQ(e.ErrorContext(ctxTable), "staff");
        out.Error = e.ErrorContext(ctxMessage);
    }
    return out;
}

// The evaluated value in a readable form: NULL, a number, a text or a boolean.
inline std::string Show(const TExpToken& r) {
    if (r.IsNull) return "NULL";
    switch (r.DataType) {
        case fldZSTRING: return "'" + std::string(exv::TextView(r)) + "'";
        case fldBLOB: return "memo'" + std::string(exv::TextView(r)) + "'";
        case fldBOOL: return exv::Load<int16_t>(r) == 1 ? "true" : exv::Load<int16_t>(r) == 0 ? "false" : "bad bool";
        case fldFLOAT: return "f" + FloatToStr(exv::Load<double>(r), '.');
        case fldBCD: return "bcd" + CurrToStr(exv::Currency(r), '.');
        case fldTIMESTAMP: return "ts" + FloatToStr(exv::Load<double>(r), '.');
        case fldDATE: return "d" + std::to_string(exv::Load<int32_t>(r));
        case fldTIME: return "t" + std::to_string(exv::Load<int32_t>(r));
        default: return std::to_string(exv::Integer(r));
    }
}

inline std::string EvalText(std::string_view text, TTestRecord& record, bool conditions = false) {
    TChecked checked = ParseAndCheck(text, record, conditions);
    if (!checked.Error.empty()) return "error: " + checked.Error;
    TExpToken* result = EvaluateExpression(checked.Tree.get(), nullptr, &record, 0, 0, &TTestRecord::Value);
    const std::string shown = Show(*result);
    ReleaseExpToken(result);
    return shown;
}

// The record most tests use.
inline void FillStaff(TTestRecord& r) {
    using namespace testvalues;
    r.Add("Name", Text("Smith"));
    r.Add("Empty", Null(fldZSTRING));
    r.Add("Age", Int(42));
    r.Add("Small", Small(-7));
    r.Add("Big", Large(5000000000));
    r.Add("Rate", Float(2.345));
    r.Add("Pay", Bcd(123456, 2));  // 12.35 at two decimals
    r.Add("Born", Date(static_cast<int32_t>(DateToDays(2024, 3, 17)) + 693594));  // a Sunday
    r.Add("Noon", Time(12 * 3600000 + 34 * 60000 + 56000));
    r.Add("Active", Bool(true));
    r.Add("Notes", Memo("long text"));
    r.Add("Missing", Null(fldINT32));
}

}  // namespace kura::evaltest

#pragma once
// Value nodes for the operator and evaluator tests.
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpToken.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/Bcd.h"
#include "engine/files/FieldTypes.h"

namespace kura::testvalues {

using TNode = std::shared_ptr<TExpToken>;

inline TNode Constant(uint8_t type, int32_t size) {
    auto node = std::make_shared<TExpToken>();
    node->Kind = ekConstant;
    node->DataType = type;
    node->DataSize = size;
    return node;
}
template <typename T>
inline TNode Number(uint8_t type, T value) {
    TNode node = Constant(type, sizeof(T));
    exv::Store<T>(*node, value);
    return node;
}
inline TNode Small(int16_t v) { return Number<int16_t>(fldINT16, v); }
inline TNode Int(int32_t v) { return Number<int32_t>(fldINT32, v); }
inline TNode Word(uint16_t v) { return Number<uint16_t>(fldUINT16, v); }
inline TNode Large(int64_t v) { return Number<int64_t>(fldINT64, v); }
inline TNode Float(double v) { return Number<double>(fldFLOAT, v); }
inline TNode Bool(bool v) { return Number<int16_t>(fldBOOL, v ? 1 : 0); }
inline TNode Date(int32_t day) { return Number<int32_t>(fldDATE, day); }
inline TNode Time(int32_t ms) { return Number<int32_t>(fldTIME, ms); }
inline TNode Stamp(double ms) { return Number<double>(fldTIMESTAMP, ms); }
// currency: ten-thousandths
inline TNode Bcd(int64_t currency, uint8_t scale) {
    TNode node = Constant(fldBCD, static_cast<int32_t>(BcdSize));
    node->Scale = scale;
    CurrToBCDValue(currency, scale, node->Value.data());
    return node;
}
inline TNode Text(std::string_view text) {
    TNode node = Constant(fldZSTRING, 0);
    exv::PutText(*node, text);
    node->Text = std::string(text);
    return node;
}
inline TNode Memo(std::string_view text) {
    TNode node = Text(text);
    node->DataType = fldBLOB;
    node->DataSubtype = fldstMEMO;
    return node;
}
inline TNode Bytes(std::string_view bytes) {
    TNode node = Constant(fldBYTES, static_cast<int32_t>(bytes.size()));
    std::memcpy(node->Value.data(), bytes.data(), bytes.size());
    return node;
}
inline TNode Blob() { return Constant(fldBLOB, 8); }
// A NULL of the given type (type 0 is the NULL constant).
inline TNode Null(uint8_t type = fldUNKNOWN, uint8_t subtype = 0) {
    TNode node = Constant(type, type == fldUNKNOWN ? 0 : 8);
    node->DataSubtype = subtype;
    node->IsNull = 1;
    return node;
}

inline TCurrency CurrencyOf(const TExpToken& node) { return exv::Currency(node); }

}  // namespace kura::testvalues

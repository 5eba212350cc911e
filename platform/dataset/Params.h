#pragma once
// Parameters of SQL texts: the ":name" parser and the parameter values.
//
// ParseSQL finds the markers outside quoted text and comments: a colon followed by
// a name (letters, digits, "_", double-byte characters) or by a double-quoted name
// becomes "?"; "::" stands for one literal colon; a colon followed by anything else
// stays as it is. Quotes are '...', "..." and `...`; comments are "--" to the end of
// the line and "/* ... */".
//
// A parameter's native value (GetData) is the field buffer form of its type. Long
// strings and BLOB values are handed over by reference: a 32-bit length followed by
// a full-width pointer to the bytes (TParamBlobRef); nothing ever stores a pointer
// in 32 bits.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/DataTypes.h"
#include "platform/dataset/Variant.h"

namespace kura {

enum TParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

// The by-reference slot of a long string or BLOB parameter value.
struct TParamBlobRef {
    uint32_t Length = 0;
    const char* Data = nullptr;
};
constexpr int32_t ParamBlobRefSize = static_cast<int32_t>(sizeof(uint32_t) + sizeof(const char*));
void WriteParamBlobRef(uint8_t* buffer, const TParamBlobRef& ref);
TParamBlobRef ReadParamBlobRef(const uint8_t* buffer);

class TParam {
public:
    std::string Name;
    TParamType ParamType = ptInput;
    bool Bound = false;

    TFieldType DataType() const { return dataType_; }
    // Changing the type of a parameter with a value converts the value; a value that
    // cannot be converted raises EDatabaseError.
    void SetDataType(TFieldType type);
    const TVariant& Value() const { return value_; }
    // The type follows the value when the parameter has none yet.
    void SetValue(const TVariant& value);
    void Clear();
    bool IsNull() const { return value_.IsNullOrEmpty(); }

    void SetAsString(const std::string& v);
    void SetAsInteger(int32_t v);
    void SetAsFloat(double v);
    void SetAsCurrency(int64_t v);
    void SetAsBoolean(bool v);
    void SetAsDate(double v);
    void SetAsDateTime(double v);
    void SetAsBlob(const std::string& v);
    std::string AsString() const { return value_.AsString(); }
    int32_t AsInteger() const { return value_.AsInteger(); }
    double AsFloat() const { return value_.AsFloat(); }

    // Bytes of the native value; strings count their terminator; long strings and
    // BLOBs the by-reference slot.
    int32_t GetDataSize() const;
    // Writes GetDataSize() bytes; raises EDatabaseError when the value does not fit
    // the type. The by-reference slot points into this parameter's value.
    void GetData(uint8_t* buffer) const;
    // True for the types sent by reference: BLOB types and strings over 250 bytes.
    bool IsByReference() const;

private:
    TFieldType dataType_ = ftUnknown;
    TVariant value_;
    mutable std::string bytes_;  // what a by-reference slot points to
};

class TParams {
public:
    int Count() const { return static_cast<int>(items_.size()); }
    TParam& operator[](int i) { return *items_.at(static_cast<std::size_t>(i)); }
    const TParam& operator[](int i) const { return *items_.at(static_cast<std::size_t>(i)); }
    TParam& CreateParam(TFieldType type, const std::string& name, TParamType paramType);
    TParam* FindParam(std::string_view name);
    // Raises "Parameter '%s' not found" for an unknown name.
    TParam& ParamByName(std::string_view name);
    void Clear() { items_.clear(); }
    // Values of the parameters of the same names (ignoring case) are copied over.
    void AssignValues(const TParams& source);
    // The text with every marker replaced by "?"; with doCreate, one parameter per
    // marker in order of appearance (a name seen again gets no second parameter).
    std::string ParseSQL(std::string_view sql, bool doCreate);
    // The name of every marker the last ParseSQL replaced, in text order (a name
    // used twice is listed twice).
    std::vector<std::string> MarkerNames;

private:
    std::vector<std::unique_ptr<TParam>> items_;
};

}  // namespace kura

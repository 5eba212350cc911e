#pragma once
// A variant value: unassigned, Null, or one of the scalar kinds the fields and
// parameters hold, or an array of variants (several key values for Locate).
// Conversions follow the framework's rules; one that cannot be made raises
// EDatabaseError naming both types, never a silent zero.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kura {

enum class TVarType : uint8_t { Unassigned, Null, Boolean, Integer, Int64, Double, Currency, DateTime, String, Array };

class TVariant {
public:
    TVariant() = default;  // unassigned
    TVariant(bool v) : type_(TVarType::Boolean), value_(int64_t(v)) {}
    TVariant(int32_t v) : type_(TVarType::Integer), value_(int64_t(v)) {}
    TVariant(int64_t v) : type_(TVarType::Int64), value_(v) {}
    TVariant(double v) : type_(TVarType::Double), value_(v) {}
    TVariant(const char* v) : type_(TVarType::String), value_(std::string(v)) {}
    TVariant(std::string v) : type_(TVarType::String), value_(std::move(v)) {}
    TVariant(std::vector<TVariant> v) : type_(TVarType::Array), value_(std::move(v)) {}

    static TVariant Null();
    // A Currency value given as ten-thousandths.
    static TVariant FromCurrency(int64_t scaled);
    static TVariant FromDateTime(double dateTime);

    TVarType Type() const { return type_; }
    bool IsNull() const { return type_ == TVarType::Null; }
    bool IsEmpty() const { return type_ == TVarType::Unassigned; }
    bool IsNullOrEmpty() const { return IsNull() || IsEmpty(); }
    bool IsArray() const { return type_ == TVarType::Array; }

    bool AsBoolean() const;
    int32_t AsInteger() const;  // out of the 32-bit range raises
    int64_t AsInt64() const;
    double AsFloat() const;
    int64_t AsCurrency() const;  // ten-thousandths, rounded half to even
    double AsDateTime() const;
    std::string AsString() const;

    int ArrayCount() const;
    const TVariant& operator[](int index) const;

    bool operator==(const TVariant& other) const;
    static const char* TypeName(TVarType type);

private:
    [[noreturn]] void CastError(TVarType to) const;
    TVarType type_ = TVarType::Unassigned;
    std::variant<std::monostate, int64_t, double, std::string, std::vector<TVariant>> value_;
};

}  // namespace kura

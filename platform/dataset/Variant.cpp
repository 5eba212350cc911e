#include "platform/dataset/Variant.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/dataset/DatabaseError.h"

namespace kura {

namespace {

bool ParseInt64(const std::string& text, int64_t& out) {
    std::size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    if (b == e) return false;
    const std::string t = text.substr(b, e - b);
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(t.c_str(), &end, 10);
    if (errno != 0 || *end != 0) return false;
    out = v;
    return true;
}

bool ParseDouble(const std::string& text, double& out) {
    std::size_t b = 0, e = text.size();
    while (b < e && text[b] == ' ') ++b;
    while (e > b && text[e - 1] == ' ') --e;
    if (b == e) return false;
    const std::string t = text.substr(b, e - b);
    errno = 0;
    char* end = nullptr;
    const double v = std::strtod(t.c_str(), &end);
    if (errno != 0 || *end != 0 || !std::isfinite(v)) return false;
    out = v;
    return true;
}

std::string FormatDouble(double v) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.15g", v);
    return buffer;
}

}  // namespace

TVariant TVariant::Null() {
    TVariant v;
    v.type_ = TVarType::Null;
    return v;
}

TVariant TVariant::FromCurrency(int64_t scaled) {
    TVariant v(scaled);
    v.type_ = TVarType::Currency;
    return v;
}

TVariant TVariant::FromDateTime(double dateTime) {
    TVariant v(dateTime);
    v.type_ = TVarType::DateTime;
    return v;
}

const char* TVariant::TypeName(TVarType type) {
    switch (type) {
        case TVarType::Unassigned: return "Empty";
        case TVarType::Null: return "Null";
        case TVarType::Boolean: return "Boolean";
        case TVarType::Integer: return "Integer";
        case TVarType::Int64: return "Int64";
        case TVarType::Double: return "Double";
        case TVarType::Currency: return "Currency";
        case TVarType::DateTime: return "Date";
        case TVarType::String: return "String";
        case TVarType::Array: return "Array";
    }
    return "Unknown";
}

void TVariant::CastError(TVarType to) const {
    throw EDatabaseError(std::string("Could not convert variant of type (") + TypeName(type_) + ") into type (" +
                         TypeName(to) + ")");
}

bool TVariant::AsBoolean() const {
    switch (type_) {
        case TVarType::Boolean:
        case TVarType::Integer:
        case TVarType::Int64:
        case TVarType::Currency: return std::get<int64_t>(value_) != 0;
        case TVarType::Double:
        case TVarType::DateTime: return std::get<double>(value_) != 0;
        case TVarType::String: {
            const std::string& s = std::get<std::string>(value_);
            if (s == "True" || s == "TRUE" || s == "true") return true;
            if (s == "False" || s == "FALSE" || s == "false") return false;
            int64_t n = 0;
            if (ParseInt64(s, n)) return n != 0;
            break;
        }
        default: break;
    }
    CastError(TVarType::Boolean);
}

int64_t TVariant::AsInt64() const {
    switch (type_) {
        case TVarType::Boolean: return std::get<int64_t>(value_) != 0 ? -1 : 0;
        case TVarType::Integer:
        case TVarType::Int64: return std::get<int64_t>(value_);
        case TVarType::Currency: {
            // Half to even, as Pascal rounds.
            const double r = std::nearbyint(static_cast<double>(std::get<int64_t>(value_)) / 10000.0);
            return static_cast<int64_t>(r);
        }
        case TVarType::Double:
        case TVarType::DateTime: {
            const double d = std::nearbyint(std::get<double>(value_));
            if (d >= -9.2e18 && d <= 9.2e18) return static_cast<int64_t>(d);
            break;
        }
        case TVarType::String: {
            int64_t n = 0;
            if (ParseInt64(std::get<std::string>(value_), n)) return n;
            double d = 0;
            if (ParseDouble(std::get<std::string>(value_), d) && d >= -9.2e18 && d <= 9.2e18)
                return static_cast<int64_t>(std::nearbyint(d));
            break;
        }
        default: break;
    }
    CastError(TVarType::Int64);
}

int32_t TVariant::AsInteger() const {
    const int64_t v = AsInt64();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
        CastError(TVarType::Integer);
    return static_cast<int32_t>(v);
}

double TVariant::AsFloat() const {
    switch (type_) {
        case TVarType::Boolean: return std::get<int64_t>(value_) != 0 ? -1.0 : 0.0;
        case TVarType::Integer:
        case TVarType::Int64: return static_cast<double>(std::get<int64_t>(value_));
        case TVarType::Currency: return static_cast<double>(std::get<int64_t>(value_)) / 10000.0;
        case TVarType::Double:
        case TVarType::DateTime: return std::get<double>(value_);
        case TVarType::String: {
            double d = 0;
            if (ParseDouble(std::get<std::string>(value_), d)) return d;
            break;
        }
        default: break;
    }
    CastError(TVarType::Double);
}

int64_t TVariant::AsCurrency() const {
    if (type_ == TVarType::Currency) return std::get<int64_t>(value_);
    if (type_ == TVarType::Integer || type_ == TVarType::Int64) {
        const int64_t v = std::get<int64_t>(value_);
        if (v > 922337203685477 || v < -922337203685477) CastError(TVarType::Currency);
        return v * 10000;
    }
    const double d = AsFloat() * 10000.0;
    if (!(d >= -9.2e18 && d <= 9.2e18)) CastError(TVarType::Currency);
    return static_cast<int64_t>(std::nearbyint(d));
}

double TVariant::AsDateTime() const {
    if (type_ == TVarType::String) CastError(TVarType::DateTime);
    return AsFloat();
}

std::string TVariant::AsString() const {
    switch (type_) {
        case TVarType::Unassigned:
        case TVarType::Null: return {};
        case TVarType::Boolean: return std::get<int64_t>(value_) != 0 ? "True" : "False";
        case TVarType::Integer:
        case TVarType::Int64: return std::to_string(std::get<int64_t>(value_));
        case TVarType::Currency: return FormatDouble(static_cast<double>(std::get<int64_t>(value_)) / 10000.0);
        case TVarType::Double:
        case TVarType::DateTime: return FormatDouble(std::get<double>(value_));
        case TVarType::String: return std::get<std::string>(value_);
        case TVarType::Array: break;
    }
    CastError(TVarType::String);
}

int TVariant::ArrayCount() const {
    return type_ == TVarType::Array ? static_cast<int>(std::get<std::vector<TVariant>>(value_).size()) : 0;
}

const TVariant& TVariant::operator[](int index) const {
    if (type_ != TVarType::Array || index < 0 || index >= ArrayCount())
        throw EDatabaseError("Variant array index out of bounds");
    return std::get<std::vector<TVariant>>(value_)[static_cast<std::size_t>(index)];
}

bool TVariant::operator==(const TVariant& other) const {
    if (IsNullOrEmpty() || other.IsNullOrEmpty()) return type_ == other.type_;
    if (type_ == TVarType::String || other.type_ == TVarType::String) return AsString() == other.AsString();
    if (IsArray() || other.IsArray()) {
        if (ArrayCount() != other.ArrayCount()) return false;
        for (int i = 0; i < ArrayCount(); ++i)
            if (!((*this)[i] == other[i])) return false;
        return true;
    }
    return AsFloat() == other.AsFloat();
}

}  // namespace kura

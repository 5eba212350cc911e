#include "platform/dataset/Params.h"

#include <cctype>
#include <cmath>
#include <cstring>

#include "platform/CodePage.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/FieldDefs.h"
#include "platform/dataset/Fields.h"

namespace kura {

namespace {

constexpr std::size_t MaxInlineString = 250;

bool IsNameChar(unsigned char c) { return std::isalnum(c) || c == '_' || c >= 0x80; }

}  // namespace

void WriteParamBlobRef(uint8_t* buffer, const TParamBlobRef& ref) {
    std::memcpy(buffer, &ref.Length, sizeof ref.Length);
    std::memcpy(buffer + sizeof ref.Length, &ref.Data, sizeof ref.Data);
}

TParamBlobRef ReadParamBlobRef(const uint8_t* buffer) {
    TParamBlobRef ref;
    std::memcpy(&ref.Length, buffer, sizeof ref.Length);
    std::memcpy(&ref.Data, buffer + sizeof ref.Length, sizeof ref.Data);
    return ref;
}

// ---- TParam --------------------------------------------------------------------------------

namespace {

// The value in the form of the type; a value that cannot take it raises.
TVariant ConvertTo(const TVariant& value, TFieldType type) {
    if (value.IsNullOrEmpty()) return value;
    switch (type) {
        case ftSmallint:
        case ftInteger:
        case ftWord:
        case ftAutoInc: return TVariant(value.AsInteger());
        case ftLargeint: return TVariant(value.AsInt64());
        case ftFloat: return TVariant(value.AsFloat());
        case ftCurrency:
        case ftBCD: return TVariant::FromCurrency(value.AsCurrency());
        case ftBoolean: return TVariant(value.AsBoolean());
        case ftDate:
        case ftTime:
        case ftDateTime: return TVariant::FromDateTime(value.AsDateTime());
        case ftUnknown: return value;
        default: return TVariant(value.AsString());
    }
}

TFieldType TypeOfValue(const TVariant& value) {
    switch (value.Type()) {
        case TVarType::Boolean: return ftBoolean;
        case TVarType::Integer: return ftInteger;
        case TVarType::Int64: return ftLargeint;
        case TVarType::Double: return ftFloat;
        case TVarType::Currency: return ftCurrency;
        case TVarType::DateTime: return ftDateTime;
        case TVarType::String: return ftString;
        default: return ftUnknown;
    }
}

}  // namespace

void TParam::SetDataType(TFieldType type) {
    value_ = ConvertTo(value_, type);
    dataType_ = type;
}

void TParam::SetValue(const TVariant& value) {
    if (dataType_ == ftUnknown) dataType_ = TypeOfValue(value);
    value_ = ConvertTo(value, dataType_);
    Bound = true;
}

void TParam::Clear() {
    value_ = TVariant::Null();
}

void TParam::SetAsString(const std::string& v) {
    dataType_ = ftString;
    SetValue(TVariant(v));
}
void TParam::SetAsInteger(int32_t v) {
    dataType_ = ftInteger;
    SetValue(TVariant(v));
}
void TParam::SetAsFloat(double v) {
    dataType_ = ftFloat;
    SetValue(TVariant(v));
}
void TParam::SetAsCurrency(int64_t v) {
    dataType_ = ftCurrency;
    SetValue(TVariant::FromCurrency(v));
}
void TParam::SetAsBoolean(bool v) {
    dataType_ = ftBoolean;
    SetValue(TVariant(v));
}
void TParam::SetAsDate(double v) {
    dataType_ = ftDate;
    SetValue(TVariant::FromDateTime(v));
}
void TParam::SetAsDateTime(double v) {
    dataType_ = ftDateTime;
    SetValue(TVariant::FromDateTime(v));
}
void TParam::SetAsBlob(const std::string& v) {
    dataType_ = ftBlob;
    SetValue(TVariant(v));
}

bool TParam::IsByReference() const {
    if (IsBlobType(dataType_)) return true;
    return (dataType_ == ftString || dataType_ == ftFixedChar) && !value_.IsNullOrEmpty() &&
           value_.AsString().size() > MaxInlineString;
}

int32_t TParam::GetDataSize() const {
    if (IsByReference()) return ParamBlobRefSize;
    switch (dataType_) {
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftGuid: return static_cast<int32_t>(value_.IsNullOrEmpty() ? 1 : value_.AsString().size() + 1);
        case ftSmallint:
        case ftWord:
        case ftBoolean: return 2;
        case ftInteger:
        case ftAutoInc:
        case ftDate:
        case ftTime: return 4;
        case ftLargeint:
        case ftFloat:
        case ftCurrency:
        case ftDateTime: return 8;
        case ftBCD: return 34;
        case ftBytes:
        case ftVarBytes: return static_cast<int32_t>(value_.IsNullOrEmpty() ? 0 : value_.AsString().size());
        default: return 0;
    }
}

void TParam::GetData(uint8_t* buffer) const {
    const int32_t size = GetDataSize();
    std::memset(buffer, 0, static_cast<std::size_t>(size));
    if (value_.IsNullOrEmpty()) return;
    if (IsByReference()) {
        bytes_ = value_.AsString();
        if (bytes_.size() > UINT32_MAX) DatabaseErrorFmt("Value of parameter '%s' is too large", Name);
        WriteParamBlobRef(buffer, TParamBlobRef{static_cast<uint32_t>(bytes_.size()), bytes_.data()});
        return;
    }
    auto put = [&](const auto v) { std::memcpy(buffer, &v, sizeof v); };
    switch (dataType_) {
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftGuid: {
            const std::string s = value_.AsString();
            std::memcpy(buffer, s.data(), s.size());
            break;
        }
        case ftSmallint: {
            const int32_t v = value_.AsInteger();
            if (v < INT16_MIN || v > INT16_MAX) DatabaseErrorFmt("Value of parameter '%s' is out of range", Name);
            put(static_cast<int16_t>(v));
            break;
        }
        case ftWord: {
            const int32_t v = value_.AsInteger();
            if (v < 0 || v > UINT16_MAX) DatabaseErrorFmt("Value of parameter '%s' is out of range", Name);
            put(static_cast<uint16_t>(v));
            break;
        }
        case ftBoolean: put(static_cast<uint16_t>(value_.AsBoolean() ? 1 : 0)); break;
        case ftInteger:
        case ftAutoInc: put(value_.AsInteger()); break;
        case ftLargeint: put(value_.AsInt64()); break;
        case ftFloat:
        case ftCurrency: put(value_.AsFloat()); break;
        case ftDate: put(static_cast<int32_t>(std::floor(value_.AsDateTime())) + DayNumberDelta); break;
        case ftTime: {
            const double d = value_.AsDateTime();
            put(static_cast<int32_t>(std::nearbyint((d - std::floor(d)) * DayMSecs)) % 86400000);
            break;
        }
        case ftDateTime: put(std::nearbyint((value_.AsDateTime() + DayNumberDelta) * DayMSecs)); break;
        case ftBCD:
            if (!CurrencyToBcd(value_.AsCurrency(), 4, buffer))
                DatabaseErrorFmt("Value of parameter '%s' is out of range", Name);
            break;
        case ftBytes:
        case ftVarBytes: {
            const std::string s = value_.AsString();
            std::memcpy(buffer, s.data(), s.size());
            break;
        }
        default: break;
    }
}

// ---- TParams -------------------------------------------------------------------------------

TParam& TParams::CreateParam(TFieldType type, const std::string& name, TParamType paramType) {
    auto p = std::make_unique<TParam>();
    p->Name = name;
    p->SetDataType(type);
    p->ParamType = paramType;
    items_.push_back(std::move(p));
    return *items_.back();
}

TParam* TParams::FindParam(std::string_view name) {
    for (auto& p : items_)
        if (SameText(p->Name, name)) return p.get();
    return nullptr;
}

TParam& TParams::ParamByName(std::string_view name) {
    TParam* p = FindParam(name);
    if (!p) DatabaseErrorFmt("Parameter '%s' not found", name);
    return *p;
}

void TParams::AssignValues(const TParams& source) {
    for (const auto& s : source.items_) {
        TParam* p = FindParam(s->Name);
        if (!p) continue;
        p->SetDataType(s->DataType());
        if (!s->Value().IsEmpty()) p->SetValue(s->Value());
        p->Bound = s->Bound;
    }
}

std::string TParams::ParseSQL(std::string_view sql, bool doCreate) {
    std::string out;
    out.reserve(sql.size());
    std::size_t i = 0;
    const std::size_t n = sql.size();
    MarkerNames.clear();
    auto create = [&](const std::string& name) {
        MarkerNames.push_back(name);
        if (doCreate && !FindParam(name)) CreateParam(ftUnknown, name, ptInput);
    };
    while (i < n) {
        const char c = sql[i];
        if (platform::Cp932CharLength(sql, i) == 2) {
            out += sql.substr(i, 2);  // a double-byte character; its trail byte is never a quote
            i += 2;
        } else if (c == '\'' || c == '"' || c == '`') {
            std::size_t j = i + 1;
            while (j < n && sql[j] != c) j += platform::Cp932CharLength(sql, j);
            j = std::min(j + 1, n);
            out += sql.substr(i, j - i);
            i = j;
        } else if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
            std::size_t j = sql.find('\n', i);
            if (j == std::string_view::npos) j = n;
            out += sql.substr(i, j - i);
            i = j;
        } else if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
            std::size_t j = sql.find("*/", i + 2);
            j = j == std::string_view::npos ? n : j + 2;
            out += sql.substr(i, j - i);
            i = j;
        } else if (c == ':' && i + 1 < n && sql[i + 1] == ':') {
            out += ':';
            i += 2;
        } else if (c == ':' && i + 1 < n && sql[i + 1] == '"') {
            const std::size_t close = sql.find('"', i + 2);
            if (close == std::string_view::npos) {
                out += sql.substr(i);
                i = n;
            } else {
                create(std::string(sql.substr(i + 2, close - i - 2)));
                out += '?';
                i = close + 1;
            }
        } else if (c == ':' && i + 1 < n && IsNameChar(static_cast<unsigned char>(sql[i + 1]))) {
            std::size_t j = i + 1;
            while (j < n && IsNameChar(static_cast<unsigned char>(sql[j]))) j += platform::Cp932CharLength(sql, j);
            create(std::string(sql.substr(i + 1, j - i - 1)));
            out += '?';
            i = j;
        } else {
            out += c;
            ++i;
        }
    }
    return out;
}

}  // namespace kura

#include "platform/dataset/Fields.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "platform/CodePage.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Stream.h"

namespace kura {

// ---- strings ---------------------------------------------------------------------------

std::string TStringField::AsString() const {
    const auto size = static_cast<std::size_t>(DataSize());
    char small[257];
    std::vector<char> large;
    char* buffer = small;
    if (size + 1 > sizeof small) {
        large.resize(size + 1);
        buffer = large.data();
    }
    buffer[size] = 0;
    if (!GetData(buffer)) return {};
    return std::string(buffer, strnlen(buffer, size));
}

void TStringField::SetAsString(const std::string& value) {
    CheckCp932(*this, value);
    std::vector<char> buffer(static_cast<std::size_t>(DataSize()), 0);
    const std::size_t length = platform::Cp932PrefixLength(value, static_cast<std::size_t>(size_));
    std::memcpy(buffer.data(), value.data(), length);
    SetData(buffer.data());
}

int32_t TStringField::AsInteger() const { return IsNull() ? 0 : TVariant(AsString()).AsInteger(); }
double TStringField::AsFloat() const { return IsNull() ? 0 : TVariant(AsString()).AsFloat(); }
bool TStringField::AsBoolean() const { return !IsNull() && TVariant(AsString()).AsBoolean(); }

TVariant TStringField::Value() const { return IsNull() ? TVariant::Null() : TVariant(AsString()); }

void TStringField::SetValue(const TVariant& value) {
    if (value.IsNullOrEmpty()) Clear();
    else SetAsString(value.AsString());
}

// ---- integers --------------------------------------------------------------------------

template <typename T, TFieldType Type>
int64_t TIntegerFieldOf<T, Type>::AsLargeInt() const {
    T v{};
    if (!GetData(&v)) return 0;
    return static_cast<int64_t>(v);
}

template <typename T, TFieldType Type>
int32_t TIntegerFieldOf<T, Type>::AsInteger() const {
    const int64_t v = AsLargeInt();
    if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max()) AccessError("Integer");
    return static_cast<int32_t>(v);
}

template <typename T, TFieldType Type>
void TIntegerFieldOf<T, Type>::SetAsLargeInt(int64_t value) {
    if (value < static_cast<int64_t>(std::numeric_limits<T>::min()) ||
        (value > 0 && static_cast<uint64_t>(value) > static_cast<uint64_t>(std::numeric_limits<T>::max())))
        throw EDatabaseError(std::to_string(value) + " is not a valid value for field '" + DisplayName() + "'");
    const T v = static_cast<T>(value);
    SetData(&v);
}

template <typename T, TFieldType Type>
std::string TIntegerFieldOf<T, Type>::AsString() const {
    return IsNull() ? std::string() : std::to_string(AsLargeInt());
}

template <typename T, TFieldType Type>
void TIntegerFieldOf<T, Type>::SetAsString(const std::string& value) {
    if (value.find_first_not_of(' ') == std::string::npos) {
        Clear();
        return;
    }
    SetValue(TVariant(value));
}

template <typename T, TFieldType Type>
TVariant TIntegerFieldOf<T, Type>::Value() const {
    if (IsNull()) return TVariant::Null();
    if (sizeof(T) == 8) return TVariant(AsLargeInt());
    return TVariant(static_cast<int32_t>(AsLargeInt()));
}

template <typename T, TFieldType Type>
void TIntegerFieldOf<T, Type>::SetValue(const TVariant& value) {
    if (value.IsNullOrEmpty()) Clear();
    else SetAsLargeInt(value.AsInt64());
}

template class TIntegerFieldOf<int16_t, ftSmallint>;
template class TIntegerFieldOf<uint16_t, ftWord>;
template class TIntegerFieldOf<int32_t, ftInteger>;
template class TIntegerFieldOf<int32_t, ftAutoInc>;
template class TIntegerFieldOf<int64_t, ftLargeint>;

// ---- floats ----------------------------------------------------------------------------

double TFloatField::AsFloat() const {
    double v = 0;
    return GetData(&v) ? v : 0.0;
}

void TFloatField::SetAsFloat(double value) {
    if (!std::isfinite(value)) throw EDatabaseError("Invalid floating point value for field '" + DisplayName() + "'");
    SetData(&value);
}

int32_t TFloatField::AsInteger() const { return TVariant(AsFloat()).AsInteger(); }
int64_t TFloatField::AsCurrency() const { return TVariant(AsFloat()).AsCurrency(); }
std::string TFloatField::AsString() const { return IsNull() ? std::string() : TVariant(AsFloat()).AsString(); }

void TFloatField::SetAsString(const std::string& value) {
    if (value.find_first_not_of(' ') == std::string::npos) Clear();
    else SetAsFloat(TVariant(value).AsFloat());
}

TVariant TFloatField::Value() const { return IsNull() ? TVariant::Null() : TVariant(AsFloat()); }

void TFloatField::SetValue(const TVariant& value) {
    if (value.IsNullOrEmpty()) Clear();
    else SetAsFloat(value.AsFloat());
}

// ---- booleans --------------------------------------------------------------------------

bool TBooleanField::AsBoolean() const {
    uint16_t v = 0;
    return GetData(&v) && v != 0;
}

void TBooleanField::SetAsBoolean(bool value) {
    const uint16_t v = value ? 1 : 0;
    SetData(&v);
}

std::string TBooleanField::AsString() const { return IsNull() ? std::string() : (AsBoolean() ? "True" : "False"); }

void TBooleanField::SetAsString(const std::string& value) {
    if (value.empty()) Clear();
    else SetAsBoolean(TVariant(value).AsBoolean());
}

TVariant TBooleanField::Value() const { return IsNull() ? TVariant::Null() : TVariant(AsBoolean()); }

void TBooleanField::SetValue(const TVariant& value) {
    if (value.IsNullOrEmpty()) Clear();
    else SetAsBoolean(value.AsBoolean());
}

// ---- dates and times -------------------------------------------------------------------

namespace {

// Day number (0001-01-01 = 1) of a proleptic Gregorian date.
int64_t DayNumber(int64_t y, int64_t m, int64_t d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 305;  // 0001-01-01 is day 1
}

void CivilDate(int64_t day, int& y, int& m, int& d) {
    const int64_t z = day + 305;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const int64_t doe = z - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

bool ValidDate(int y, int m, int d) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (y < 1 || y > 9999 || m < 1 || m > 12 || d < 1) return false;
    const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
    return d <= days[m - 1] + (m == 2 && leap ? 1 : 0);
}

}  // namespace

double TDateTimeField::AsDateTime() const {
    if (DataType() == ftDateTime) {
        double ms = 0;
        if (!GetData(&ms)) return 0;
        return ms / DayMSecs - DayNumberDelta;
    }
    int32_t v = 0;
    if (!GetData(&v)) return 0;
    if (DataType() == ftDate) return static_cast<double>(v) - DayNumberDelta;
    return v / DayMSecs;
}

void TDateTimeField::SetAsDateTime(double value) {
    if (!std::isfinite(value) || value < -DayNumberDelta + 1 || value > 2958466.0)
        throw EDatabaseError("Invalid date/time value for field '" + DisplayName() + "'");
    if (DataType() == ftDateTime) {
        const double ms = std::nearbyint((value + DayNumberDelta) * DayMSecs);
        SetData(&ms);
        return;
    }
    int32_t v = 0;
    if (DataType() == ftDate) {
        v = static_cast<int32_t>(std::floor(value)) + DayNumberDelta;
    } else {
        const double frac = value - std::floor(value);
        v = static_cast<int32_t>(std::nearbyint(frac * DayMSecs)) % 86400000;
    }
    SetData(&v);
}

std::string TDateTimeField::AsString() const {
    if (IsNull()) return {};
    const double dt = AsDateTime();
    const double whole = std::floor(dt);
    const auto day = static_cast<int64_t>(whole) + DayNumberDelta;
    auto ms = static_cast<int64_t>(std::nearbyint((dt - whole) * DayMSecs));
    if (ms >= 86400000) ms = 86399999;
    char text[64];
    int y = 0, m = 0, d = 0;
    CivilDate(day, y, m, d);
    const int hh = static_cast<int>(ms / 3600000), nn = static_cast<int>(ms / 60000 % 60),
              ss = static_cast<int>(ms / 1000 % 60);
    if (DataType() == ftDate) std::snprintf(text, sizeof text, "%04d/%02d/%02d", y, m, d);
    else if (DataType() == ftTime) std::snprintf(text, sizeof text, "%02d:%02d:%02d", hh, nn, ss);
    else std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", y, m, d, hh, nn, ss);
    return text;
}

void TDateTimeField::SetAsString(const std::string& value) {
    if (value.find_first_not_of(' ') == std::string::npos) {
        Clear();
        return;
    }
    int y = 0, m = 0, d = 0, hh = 0, nn = 0, ss = 0;
    double dt = 0;
    char sep1 = 0, sep2 = 0;
    int consumed = 0;
    bool ok = false;
    if (std::sscanf(value.c_str(), "%d%c%d%c%d%n", &y, &sep1, &m, &sep2, &d, &consumed) == 5 && sep1 == sep2 &&
        (sep1 == '/' || sep1 == '-') && ValidDate(y, m, d)) {
        dt = static_cast<double>(DayNumber(y, m, d) - DayNumberDelta);
        const char* rest = value.c_str() + consumed;
        int n = 0;
        if (*rest == 0) ok = true;
        else if (std::sscanf(rest, " %d:%d%n", &hh, &nn, &n) == 2) {
            std::sscanf(rest + n, ":%d", &ss);
            ok = hh < 24 && nn < 60 && ss < 60 && hh >= 0 && nn >= 0 && ss >= 0;
            dt += (hh * 3600000.0 + nn * 60000.0 + ss * 1000.0) / DayMSecs;
        }
    } else if (std::sscanf(value.c_str(), "%d:%d%n", &hh, &nn, &consumed) == 2) {
        std::sscanf(value.c_str() + consumed, ":%d", &ss);
        ok = hh < 24 && nn < 60 && ss < 60 && hh >= 0 && nn >= 0 && ss >= 0;
        dt = (hh * 3600000.0 + nn * 60000.0 + ss * 1000.0) / DayMSecs;
    }
    if (!ok) throw EDatabaseError("'" + value + "' is not a valid date and time");
    SetAsDateTime(dt);
}

TVariant TDateTimeField::Value() const {
    return IsNull() ? TVariant::Null() : TVariant::FromDateTime(AsDateTime());
}

void TDateTimeField::SetValue(const TVariant& value) {
    if (value.IsNullOrEmpty()) Clear();
    else if (value.Type() == TVarType::String) SetAsString(value.AsString());
    else SetAsDateTime(value.AsDateTime());
}

// ---- packed decimals -------------------------------------------------------------------

bool CurrencyToBcd(int64_t value, int decimals, uint8_t* bcd) {
    std::memset(bcd, 0, 34);
    if (decimals < 0 || decimals > 32) return false;
    const bool negative = value < 0;
    unsigned __int128 n = negative ? static_cast<unsigned __int128>(-(static_cast<__int128>(value)))
                                   : static_cast<unsigned __int128>(value);
    if (decimals < 4) {
        unsigned __int128 div = 1;
        for (int i = decimals; i < 4; ++i) div *= 10;
        const unsigned __int128 q = n / div, r = n % div;
        n = q + ((r * 2 > div || (r * 2 == div && (q & 1))) ? 1 : 0);
    } else {
        for (int i = 4; i < decimals; ++i) {
            if (n > (~static_cast<unsigned __int128>(0)) / 10) return false;
            n *= 10;
        }
    }
    bcd[0] = 32;
    bcd[1] = static_cast<uint8_t>(decimals | (negative && n != 0 ? 0x80 : 0));
    for (int nibble = 31; nibble >= 0 && n != 0; --nibble) {
        const auto digit = static_cast<uint8_t>(n % 10);
        n /= 10;
        uint8_t& byte = bcd[2 + nibble / 2];
        byte = static_cast<uint8_t>(nibble % 2 == 0 ? (byte & 0x0F) | (digit << 4) : (byte & 0xF0) | digit);
    }
    return n == 0;
}

bool BcdToCurrency(const uint8_t* bcd, int64_t& value) {
    value = 0;
    const int precision = bcd[0];
    const int places = bcd[1] & 0x3F;
    if (precision > 64 || places > precision || (bcd[1] & 0x40)) return false;
    unsigned __int128 n = 0;
    for (int nibble = 0; nibble < precision; ++nibble) {
        const uint8_t byte = bcd[2 + nibble / 2];
        const int digit = nibble % 2 == 0 ? byte >> 4 : byte & 0x0F;
        if (digit > 9) return false;
        if (n > static_cast<unsigned __int128>(1) << 120) return false;
        n = n * 10 + static_cast<unsigned>(digit);
    }
    if (places <= 4) {
        for (int i = places; i < 4; ++i) n *= 10;
    } else {
        unsigned __int128 div = 1;
        for (int i = 4; i < places; ++i) div *= 10;
        const unsigned __int128 q = n / div, r = n % div;
        n = q + ((r * 2 > div || (r * 2 == div && (q & 1))) ? 1 : 0);
    }
    if (n > static_cast<unsigned __int128>(std::numeric_limits<int64_t>::max())) return false;
    value = (bcd[1] & 0x80) ? -static_cast<int64_t>(n) : static_cast<int64_t>(n);
    return true;
}

int64_t TBCDField::AsCurrency() const {
    uint8_t bcd[34] = {};
    if (!GetData(bcd)) return 0;
    int64_t v = 0;
    if (!BcdToCurrency(bcd, v)) throw EDatabaseError("Field '" + DisplayName() + "' holds an invalid BCD value");
    return v;
}

void TBCDField::SetAsCurrency(int64_t value) {
    uint8_t bcd[34] = {};
    if (!CurrencyToBcd(value, size_, bcd))
        throw EDatabaseError("Value out of range for field '" + DisplayName() + "'");
    SetData(bcd);
}

std::string TBCDField::AsString() const {
    return IsNull() ? std::string() : TVariant::FromCurrency(AsCurrency()).AsString();
}

void TBCDField::SetAsString(const std::string& value) {
    if (value.find_first_not_of(' ') == std::string::npos) Clear();
    else SetAsCurrency(TVariant(value).AsCurrency());
}

TVariant TBCDField::Value() const { return IsNull() ? TVariant::Null() : TVariant::FromCurrency(AsCurrency()); }

void TBCDField::SetValue(const TVariant& value) {
    if (value.IsNullOrEmpty()) Clear();
    else SetAsCurrency(value.AsCurrency());
}

// ---- bytes -----------------------------------------------------------------------------

std::string TBytesField::AsString() const {
    std::string buffer(static_cast<std::size_t>(DataSize()), '\0');
    if (!GetData(buffer.data())) return {};
    return buffer;
}

void TBytesField::SetAsString(const std::string& value) {
    std::string buffer(static_cast<std::size_t>(DataSize()), '\0');
    std::memcpy(buffer.data(), value.data(), std::min(value.size(), buffer.size()));
    SetData(buffer.data());
}

TVariant TBytesField::Value() const { return IsNull() ? TVariant::Null() : TVariant(AsString()); }

void TBytesField::SetValue(const TVariant& value) {
    if (value.IsNullOrEmpty()) Clear();
    else SetAsString(value.AsString());
}

// ---- BLOBs -----------------------------------------------------------------------------

std::string TBlobField::AsString() const {
    TDataSet* ds = DataSet();
    if (!ds) return {};
    std::unique_ptr<TStream> stream(ds->CreateBlobStream(const_cast<TBlobField*>(this), bmRead));
    return stream ? stream->ReadAll() : std::string();
}

void TBlobField::SetAsBytes(const std::string& bytes) {
    TDataSet* ds = DataSet();
    if (!ds) return;
    std::unique_ptr<TStream> stream(ds->CreateBlobStream(this, bmWrite));
    if (!stream) return;
    std::size_t at = 0;
    while (at < bytes.size()) {
        const auto chunk = static_cast<int32_t>(std::min<std::size_t>(bytes.size() - at, 1 << 20));
        stream->Write(bytes.data() + at, chunk);
        at += static_cast<std::size_t>(chunk);
    }
}

void TBlobField::SetAsString(const std::string& value) {
    if (IsMemo()) CheckCp932(*this, value);
    SetAsBytes(value);
}

TVariant TBlobField::Value() const { return IsNull() ? TVariant::Null() : TVariant(AsString()); }

void TBlobField::SetValue(const TVariant& value) {
    if (value.IsNullOrEmpty()) SetAsBytes({});
    else SetAsString(value.AsString());
}

}  // namespace kura

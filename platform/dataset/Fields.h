#pragma once
// The field classes and their native buffer forms (what GetData and SetData move):
//   TStringField      Size + 1 bytes: code page 932 text, zero-terminated
//   TSmallintField    int16       TWordField     uint16
//   TIntegerField     int32       TAutoIncField  int32
//   TLargeintField    int64       TFloatField    double (TCurrencyField too)
//   TBooleanField     16-bit 0 or 1
//   TDateField        int32 day number, 0001-01-01 is day 1
//   TTimeField        int32 milliseconds since midnight
//   TDateTimeField    double: day number * 86,400,000 + milliseconds of the day
//   TBCDField         34-byte packed decimal (precision, sign and places, 64 nibbles)
//   TBytesField       Size bytes       TVarBytesField   Size bytes
//   TBlobField        no buffer: read and written through the dataset's BLOB stream
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/Field.h"

namespace kura {

class TStringField : public TField {
public:
    explicit TStringField(int32_t size, TFieldType type = ftString) : TField(type, size) {}
    int32_t DataSize() const override { return size_ + 1; }
    std::string AsString() const override;
    // Refused when not valid code page 932; longer text is cut at the last whole
    // character that fits.
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    void SetAsInteger(int32_t value) override { SetAsString(std::to_string(value)); }
    double AsFloat() const override;
    void SetAsFloat(double value) override { SetAsString(TVariant(value).AsString()); }
    bool AsBoolean() const override;
    void SetAsBoolean(bool value) override { SetAsString(value ? "True" : "False"); }
    TVariant Value() const override;
    void SetValue(const TVariant& value) override;
};

// Integer fields of every width share one implementation over the native type.
template <typename T, TFieldType Type>
class TIntegerFieldOf : public TField {
public:
    TIntegerFieldOf() : TField(Type, 0) {}
    int32_t DataSize() const override { return sizeof(T); }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    void SetAsInteger(int32_t value) override { SetAsLargeInt(value); }
    int64_t AsLargeInt() const override;
    void SetAsLargeInt(int64_t value) override;
    double AsFloat() const override { return static_cast<double>(AsLargeInt()); }
    void SetAsFloat(double value) override { SetValue(TVariant(value)); }
    bool AsBoolean() const override { return AsLargeInt() != 0; }
    TVariant Value() const override;
    void SetValue(const TVariant& value) override;
};

using TSmallintField = TIntegerFieldOf<int16_t, ftSmallint>;
using TWordField = TIntegerFieldOf<uint16_t, ftWord>;
using TIntegerField = TIntegerFieldOf<int32_t, ftInteger>;
using TAutoIncField = TIntegerFieldOf<int32_t, ftAutoInc>;
using TLargeintField = TIntegerFieldOf<int64_t, ftLargeint>;

class TFloatField : public TField {
public:
    explicit TFloatField(TFieldType type = ftFloat) : TField(type, 0) {}
    int32_t DataSize() const override { return 8; }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int32_t AsInteger() const override;
    double AsFloat() const override;
    void SetAsFloat(double value) override;
    void SetAsInteger(int32_t value) override { SetAsFloat(value); }
    int64_t AsCurrency() const override;
    void SetAsCurrency(int64_t value) override { SetAsFloat(static_cast<double>(value) / 10000.0); }
    TVariant Value() const override;
    void SetValue(const TVariant& value) override;
};

class TCurrencyField : public TFloatField {
public:
    TCurrencyField() : TFloatField(ftCurrency) {}
};

class TBooleanField : public TField {
public:
    TBooleanField() : TField(ftBoolean, 0) {}
    int32_t DataSize() const override { return 2; }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    bool AsBoolean() const override;
    void SetAsBoolean(bool value) override;
    int32_t AsInteger() const override { return AsBoolean() ? 1 : 0; }
    void SetAsInteger(int32_t value) override { SetAsBoolean(value != 0); }
    TVariant Value() const override;
    void SetValue(const TVariant& value) override;
};

// ftDate, ftTime and ftDateTime; values as Pascal TDateTime (days since 1899-12-30).
class TDateTimeField : public TField {
public:
    explicit TDateTimeField(TFieldType type = ftDateTime) : TField(type, 0) {}
    int32_t DataSize() const override { return DataType() == ftDateTime ? 8 : 4; }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    double AsDateTime() const override;
    void SetAsDateTime(double value) override;
    double AsFloat() const override { return AsDateTime(); }
    void SetAsFloat(double value) override { SetAsDateTime(value); }
    TVariant Value() const override;
    void SetValue(const TVariant& value) override;
};

class TBCDField : public TField {
public:
    // size: the decimals.
    explicit TBCDField(int32_t size) : TField(ftBCD, size) {}
    int32_t DataSize() const override { return 34; }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    int64_t AsCurrency() const override;
    void SetAsCurrency(int64_t value) override;
    double AsFloat() const override { return static_cast<double>(AsCurrency()) / 10000.0; }
    void SetAsFloat(double value) override { SetValue(TVariant(value)); }
    int32_t AsInteger() const override { return TVariant::FromCurrency(AsCurrency()).AsInteger(); }
    void SetAsInteger(int32_t value) override { SetAsCurrency(int64_t(value) * 10000); }
    TVariant Value() const override;
    void SetValue(const TVariant& value) override;
};

class TBytesField : public TField {
public:
    TBytesField(int32_t size, TFieldType type = ftBytes) : TField(type, size) {}
    int32_t DataSize() const override { return size_; }
    std::string AsString() const override;
    void SetAsString(const std::string& value) override;
    TVariant Value() const override;
    void SetValue(const TVariant& value) override;
};

class TBlobField : public TField {
public:
    explicit TBlobField(TFieldType type = ftBlob) : TField(type, 0) {}
    int32_t DataSize() const override { return 0; }
    // The whole BLOB, read through the dataset's BLOB stream.
    std::string AsString() const override;
    // Replaces the whole BLOB (text fields: valid code page 932 only).
    void SetAsString(const std::string& value) override;
    void SetAsBytes(const std::string& bytes);
    bool IsMemo() const { return DataType() == ftMemo || DataType() == ftFmtMemo; }
    TVariant Value() const override;
    void SetValue(const TVariant& value) override;
    // Marked by a BLOB stream that wrote into the field during the current edit.
    bool Modified = false;
};

// Packed decimal helpers of the BCD native form.
bool CurrencyToBcd(int64_t value, int decimals, uint8_t* bcd);
bool BcdToCurrency(const uint8_t* bcd, int64_t& value);

}  // namespace kura

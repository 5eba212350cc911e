#pragma once
// A field of a dataset: one column as the dataset shows it. A field reads and
// writes its value through the dataset in the framework's native buffer form of its
// type (the subclasses in Fields.h give each form) and converts between that form
// and the As... accessors. Data fields have a FieldNo in the source; calculated and
// lookup fields live in the calculated part of the record buffer at Offset.
//
// Text is code page 932 bytes. A text that is not valid code page 932, or a UTF-8
// text with a character code page 932 cannot hold, is refused with EDatabaseError
// instead of being stored damaged.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dataset/DataTypes.h"
#include "platform/dataset/Variant.h"

namespace kura {

class TDataSet;
class TField;

using TFieldNotifyEvent = std::function<void(TField* sender)>;

class TField {
public:
    TField(TFieldType type, int32_t size);
    virtual ~TField() = default;
    TField(const TField&) = delete;
    TField& operator=(const TField&) = delete;

    std::string FieldName;
    std::string DisplayLabel;  // DisplayName falls back to FieldName
    std::string Origin;
    TFieldKind FieldKind = fkData;
    int32_t FieldNo = 0;
    int32_t Offset = 0;  // in the calculated part of a record buffer
    bool Required = false;
    bool ReadOnly = false;
    bool Visible = true;
    TFieldNotifyEvent OnChange;
    TFieldNotifyEvent OnValidate;
    // The text a control shows (displayText) or edits, and the text a control stores:
    // with a handler set, the handler gives or takes the text instead of AsString.
    // Texts are code page 932 bytes.
    std::function<void(TField* sender, std::string& text, bool displayText)> OnGetText;
    std::function<void(TField* sender, const std::string& text)> OnSetText;
    // Lookup fields: the key fields here, the dataset and fields to look in, the result.
    TDataSet* LookupDataSet = nullptr;
    std::string KeyFields, LookupKeyFields, LookupResultField;

    TDataSet* DataSet() const { return dataSet_; }
    void SetDataSet(TDataSet* dataSet);
    TFieldType DataType() const { return dataType_; }
    int32_t Size() const { return size_; }
    void SetSize(int32_t size) { size_ = size; }
    const std::string& DisplayName() const { return DisplayLabel.empty() ? FieldName : DisplayLabel; }
    bool Calculated() const { return FieldKind == fkCalculated; }
    bool Lookup() const { return FieldKind == fkLookup; }
    bool IsBlob() const { return IsBlobType(dataType_); }
    // Bytes of the native buffer form.
    virtual int32_t DataSize() const = 0;

    // The raw native value; false when the field is null (buffer untouched then).
    bool GetData(void* buffer) const;
    // nullptr stores null.
    void SetData(const void* buffer);
    bool IsNull() const;
    void Clear() { SetData(nullptr); }
    // Called by the dataset before it stores a new value: OnValidate.
    virtual void Validate(const void* buffer);
    // Called by the dataset after the value changed.
    void Change();

    virtual std::string AsString() const = 0;
    std::string DisplayText() const;
    // Stores text typed by the user (OnSetText, else AsString).
    void SetText(const std::string& text);
    virtual void SetAsString(const std::string& value) = 0;
    // UTF-8 at the GUI boundary: refused when a character has no code page 932 form.
    std::string AsUtf8() const;
    void SetAsUtf8(const std::string& value);
    // UTF-8 text in code page 932; EDatabaseError naming the field when it cannot be.
    std::string Cp932Of(const std::string& utf8) const;
    virtual int32_t AsInteger() const;
    virtual void SetAsInteger(int32_t value);
    virtual int64_t AsLargeInt() const { return AsInteger(); }
    virtual void SetAsLargeInt(int64_t value);
    virtual double AsFloat() const;
    virtual void SetAsFloat(double value);
    virtual int64_t AsCurrency() const;  // ten-thousandths
    virtual void SetAsCurrency(int64_t value);
    virtual bool AsBoolean() const;
    virtual void SetAsBoolean(bool value);
    virtual double AsDateTime() const;
    virtual void SetAsDateTime(double value);
    virtual TVariant Value() const = 0;
    virtual void SetValue(const TVariant& value) = 0;
    // The value before the current edit began.
    TVariant OldValue() const;

protected:
    [[noreturn]] void AccessError(const char* typeName) const;
    // Stores text that must be valid code page 932 (EDatabaseError otherwise).
    static void CheckCp932(const TField& field, const std::string& text);

    TDataSet* dataSet_ = nullptr;
    TFieldType dataType_;
    int32_t size_;
};

// The field class of a type; nullptr for types without one.
std::unique_ptr<TField> CreateField(TFieldType type, int32_t size);

}  // namespace kura

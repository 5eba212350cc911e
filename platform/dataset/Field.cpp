#include "platform/dataset/Field.h"

#include "platform/CodePage.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Fields.h"

namespace kura {

TField::TField(TFieldType type, int32_t size) : dataType_(type), size_(size) {}

void TField::SetDataSet(TDataSet* dataSet) { dataSet_ = dataSet; }

bool TField::GetData(void* buffer) const {
    if (!dataSet_) DatabaseErrorFmt("Field '%s' has no dataset", DisplayName());
    return dataSet_->GetFieldData(const_cast<TField*>(this), buffer);
}

void TField::SetData(const void* buffer) {
    if (!dataSet_) DatabaseErrorFmt("Field '%s' has no dataset", DisplayName());
    dataSet_->SetFieldData(this, buffer);
}

TVariant TField::OldValue() const {
    if (!dataSet_) return TVariant::Null();
    return dataSet_->GetStateFieldValue(dsOldValue, const_cast<TField*>(this));
}

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::Validate(const void*) {
    if (OnValidate) OnValidate(this);
}

void TField::Change() {
    if (OnChange) OnChange(this);
}

void TField::AccessError(const char* typeName) const {
    throw EDatabaseError("Cannot access field '" + DisplayName() + "' as type " + typeName);
}

void TField::CheckCp932(const TField& field, const std::string& text) {
    if (!platform::IsValidCp932(text))
        throw EDatabaseError("Field '" + field.DisplayName() + "' cannot hold text that is not code page 932");
}

std::string TField::DisplayText() const {
    std::string text;
    if (OnGetText) OnGetText(const_cast<TField*>(this), text, true);
    else text = AsString();
    return text;
}

void TField::SetText(const std::string& text) {
    if (OnSetText) OnSetText(this, text);
    else SetAsString(text);
}

std::string TField::AsUtf8() const { return platform::Cp932ToUtf8(AsString()); }

std::string TField::Cp932Of(const std::string& utf8) const {
    std::string cp932;
    if (!platform::TryUtf8ToCp932(utf8, cp932))
        throw EDatabaseError("Field '" + DisplayName() +
                             "' cannot hold the text: it has characters outside code page 932");
    return cp932;
}

void TField::SetAsUtf8(const std::string& value) { SetAsString(Cp932Of(value)); }

int32_t TField::AsInteger() const { AccessError("Integer"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
void TField::SetAsLargeInt(int64_t value) {
    if (value < INT32_MIN || value > INT32_MAX) AccessError("Largeint");
    SetAsInteger(static_cast<int32_t>(value));
}
double TField::AsFloat() const { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
int64_t TField::AsCurrency() const { return TVariant(AsFloat()).AsCurrency(); }
void TField::SetAsCurrency(int64_t value) { SetAsFloat(static_cast<double>(value) / 10000.0); }
bool TField::AsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
double TField::AsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTime(double) { AccessError("DateTime"); }

std::unique_ptr<TField> CreateField(TFieldType type, int32_t size) {
    switch (type) {
        case ftString:
        case ftFixedChar:
        case ftWideString:
        case ftGuid: return std::make_unique<TStringField>(size, type);
        case ftSmallint: return std::make_unique<TSmallintField>();
        case ftWord: return std::make_unique<TWordField>();
        case ftInteger: return std::make_unique<TIntegerField>();
        case ftAutoInc: return std::make_unique<TAutoIncField>();
        case ftLargeint: return std::make_unique<TLargeintField>();
        case ftFloat: return std::make_unique<TFloatField>();
        case ftCurrency: return std::make_unique<TCurrencyField>();
        case ftBoolean: return std::make_unique<TBooleanField>();
        case ftDate:
        case ftTime:
        case ftDateTime: return std::make_unique<TDateTimeField>(type);
        case ftBCD: return std::make_unique<TBCDField>(size);
        case ftBytes:
        case ftVarBytes: return std::make_unique<TBytesField>(size, type);
        default:
            if (IsBlobType(type) || type == ftOraBlob || type == ftOraClob) return std::make_unique<TBlobField>(type);
            return nullptr;
    }
}

}  // namespace kura

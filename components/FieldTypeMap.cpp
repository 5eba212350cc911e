#include "components/FieldTypeMap.h"

#include "platform/CodePage.h"

namespace kura {

TEngineType FieldTypeToEngine(TFieldType type) {
    switch (type) {
        case ftString: return {fldZSTRING, 0};
        case ftSmallint: return {fldINT16, 0};
        case ftInteger: return {fldINT32, 0};
        case ftWord: return {fldUINT16, 0};
        case ftBoolean: return {fldBOOL, 0};
        case ftFloat: return {fldFLOAT, 0};
        case ftCurrency: return {fldFLOAT, fldstMONEY};
        case ftBCD: return {fldBCD, 0};
        case ftDate: return {fldDATE, 0};
        case ftTime: return {fldTIME, 0};
        case ftDateTime: return {fldTIMESTAMP, 0};
        case ftBytes: return {fldBYTES, 0};
        case ftVarBytes: return {fldVARBYTES, 0};
        case ftAutoInc: return {fldINT32, fldstAUTOINC};
        case ftBlob: return {fldBLOB, 0};
        case ftMemo: return {fldBLOB, fldstMEMO};
        case ftGraphic: return {fldBLOB, fldstGRAPHIC};
        case ftFmtMemo: return {fldBLOB, fldstFMTMEMO};
        case ftParadoxOle:
        case ftDBaseOle: return {fldBLOB, 0};
        case ftTypedBinary: return {fldBLOB, fldstTYPEDBINARY};
        case ftCursor: return {fldCURSOR, 0};
        case ftFixedChar: return {fldZSTRING, fldstFIXED};
        case ftWideString: return {fldZSTRING, fldstUNICODE};
        case ftLargeint: return {fldINT64, 0};
        case ftADT: return {fldADT, 0};
        case ftArray: return {fldARRAY, 0};
        case ftReference: return {fldREF, 0};
        case ftDataSet: return {fldTABLE, 0};
        case ftOraBlob:
        case ftOraClob: return {fldBLOB, 0};
        case ftGuid: return {fldZSTRING, 0};
        default: return {0, 0};
    }
}

TFieldDef FieldDefFromDesc(const TFieldDesc& desc) {
    TFieldDef def;
    def.Name = desc.Name();
    def.FieldNo = desc.FieldNo();
    def.Required = desc.Required() != 0;
    static const TFieldType byEngineType[24] = {
        ftUnknown, ftString, ftDate, ftBlob, ftBoolean, ftSmallint, ftInteger, ftFloat,
        ftBCD, ftBytes, ftTime, ftDateTime, ftWord, ftInteger, ftUnknown, ftVarBytes,
        ftUnknown, ftUnknown, ftLargeint, ftLargeint, ftADT, ftArray, ftReference, ftDataSet};
    const TEngineFieldType t = desc.FieldType();
    def.DataType = t < 24 ? byEngineType[t] : ftUnknown;
    switch (t) {
        case fldZSTRING:
            def.Size = desc.DeclaredSize();
            if (desc.SubType() == fldstFIXED) def.DataType = ftFixedChar;
            break;
        case fldBYTES:
        case fldVARBYTES: def.Size = desc.DeclaredSize(); break;
        case fldBLOB:
            def.Size = 0;
            if (desc.SubType() == fldstMEMO) def.DataType = ftMemo;
            else if (desc.SubType() == fldstFMTMEMO) def.DataType = ftFmtMemo;
            else if (desc.SubType() == fldstGRAPHIC) def.DataType = ftGraphic;
            else if (desc.SubType() == fldstTYPEDBINARY) def.DataType = ftTypedBinary;
            break;
        case fldINT32:
            if (desc.SubType() == fldstAUTOINC) def.DataType = ftAutoInc;
            break;
        case fldFLOAT:
            if (desc.SubType() == fldstMONEY) def.DataType = ftCurrency;
            break;
        case fldBCD:
            def.Precision = 32;
            def.Size = desc.DeclaredDecimals();
            break;
        default: break;
    }
    return def;
}

TFieldDesc FieldDescFromDef(const TFieldDef& def, uint16_t fieldNo) {
    TFieldDesc desc;
    desc.SetFieldNo(fieldNo);
    desc.SetName(def.Name.substr(0, platform::Cp932PrefixLength(def.Name, FIELD_NAME_LENGTH)));
    const TEngineType e = FieldTypeToEngine(def.DataType);
    desc.SetFieldType(e.Type);
    desc.SetSubType(e.SubType);
    if (def.DataType == ftString || def.DataType == ftBytes || def.DataType == ftVarBytes ||
        def.DataType == ftFixedChar)
        desc.SetDeclaredSize(static_cast<uint8_t>(def.Size > 255 ? 255 : (def.Size < 0 ? 0 : def.Size)));
    if (def.DataType == ftBCD) desc.SetDeclaredDecimals(static_cast<uint8_t>(def.Size > 32 ? 32 : def.Size));
    desc.SetRequired(def.Required ? 1 : 0);
    return desc;
}

TIndexOptions IndexOptionsOf(const TIndexDesc& desc, bool primary) {
    TIndexOptions options = primary ? ixPrimary : 0;
    if (desc.GetByte(ido::Descending)) options |= ixDescending;
    if (desc.GetByte(ido::CaseInsensitive)) options |= ixCaseInsensitive;
    if (desc.GetByte(ido::Unique)) options |= ixUnique;
    return options;
}

TIndexDesc IndexDescFromDef(const TIndexDef& def, const std::function<uint16_t(const std::string&)>& fieldNo) {
    TIndexDesc d;
    d.SetName(def.Name.substr(0, platform::Cp932PrefixLength(def.Name, INDEX_NAME_LENGTH)));
    const uint8_t descending = (def.Options & ixDescending) ? 1 : 0;
    d.SetByte(ido::Descending, descending);
    for (int k = 0; k < MAX_INDEX_FIELDS; ++k) d.SetOption(k, descending);
    d.SetByte(ido::CaseInsensitive, (def.Options & ixCaseInsensitive) ? 1 : 0);
    d.SetByte(ido::Unique, (def.Options & ixUnique) ? 1 : 0);
    int k = 0;
    for (const auto& name : SplitFieldNames(def.Fields)) {
        const uint16_t no = fieldNo(name);
        if (k < MAX_INDEX_FIELDS) d.SetField(k++, no);
    }
    return d;
}

}  // namespace kura

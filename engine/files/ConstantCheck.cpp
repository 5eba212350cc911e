#include "engine/files/ConstantCheck.h"

#include "engine/files/Routines.h"

namespace kura {

namespace {

bool SameNameNoCase(std::string_view text, std::string_view name) {
    if (text.size() != name.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c != name[i]) return false;
    }
    return true;
}

}  // namespace

bool IsValidConstantForType(std::string_view text, TEngineFieldType fieldType) {
    if (text.empty()) return true;
    switch (fieldType) {
        case fldDATE:
            return SameNameNoCase(text, "CURRENT_DATE") || IsValidDateStr(text);
        case fldTIME:
            return SameNameNoCase(text, "CURRENT_TIME") || IsValidTimeStr(text);
        case fldTIMESTAMP:
            return SameNameNoCase(text, "CURRENT_TIMESTAMP") || SameNameNoCase(text, "CURRENT_DATE") ||
                   SameNameNoCase(text, "CURRENT_TIME") || IsValidDateStr(text) || IsValidTimeStampStr(text) ||
                   IsValidTimeStr(text);
        case fldBOOL:
            return IsValidBooleanStr(text);
        case fldINT16:
            return IsValidSmallIntStr(text);
        case fldINT32:
            return IsValidIntegerStr(text);
        case fldFLOAT:
            return IsValidFloatStr(text);
        case fldBCD:
            return IsValidCurrencyStr(text);
        case fldUINT16:
            return IsValidWordStr(text);
        case fldINT64:
            return IsValidLargeIntStr(text);
        default:
            // Strings, bytes, BLOBs and every type without a text form.
            return true;
    }
}

}  // namespace kura

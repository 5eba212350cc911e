#include "engine/files/ConstantCheck.h"

#include "engine/files/Routines.h"

namespace kura {


bool IsValidConstantForType(std::string_view text, TEngineFieldType fieldType) {
    if (text.empty()) return true;
    switch (fieldType) {
        case fldDATE:
            return SameNameText(text, "CURRENT_DATE") || IsValidDateStr(text);
        case fldTIME:
            return SameNameText(text, "CURRENT_TIME") || IsValidTimeStr(text);
        case fldTIMESTAMP:
            return SameNameText(text, "CURRENT_TIMESTAMP") || SameNameText(text, "CURRENT_DATE") ||
                   SameNameText(text, "CURRENT_TIME") || IsValidDateStr(text) || IsValidTimeStampStr(text) ||
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

// The engine's one key comparison, and the dispatchers of the cursor's callback
// slots.
#include <algorithm>
#include <cstring>

#include "engine/core/DataCursor.h"
#include "engine/files/FieldTypes.h"

namespace kura {

namespace {

// Unsigned bytes from the first; the first difference decides.
int32_t CompareBytes(const uint8_t* a, const uint8_t* b, int32_t length, bool descending) {
    if (length <= 0) return 0;
    const int c = std::memcmp(a, b, static_cast<std::size_t>(length));
    if (c == 0) return 0;
    const int32_t r = c < 0 ? -1 : 1;
    return descending ? -r : r;
}

// Two texts of at most `length` bytes (shorter when zero-terminated earlier) by the
// locale's case-sensitive collation. The key bytes need not be terminated, so each
// is copied into a terminated buffer first.
int32_t CompareKeyText(uint16_t languageId, uint16_t sortId, const uint8_t* a, const uint8_t* b, int32_t length) {
    if (length <= 0) return 0;
    char x[MAX_INDEX_KEY_SIZE + 1];
    char y[MAX_INDEX_KEY_SIZE + 1];
    const int32_t n = std::min<int32_t>(length, MAX_INDEX_KEY_SIZE);
    std::memcpy(x, a, static_cast<std::size_t>(n));
    std::memcpy(y, b, static_cast<std::size_t>(n));
    x[n] = 0;
    y[n] = 0;
    if (languageId == 0) {
        const int c = std::strcmp(x, y);  // unsigned byte order
        return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    return CompareStringsByLocale(languageId, sortId, x, false, n, y);
}

}  // namespace

int32_t TDataCursor::CompareFieldValues(const uint8_t* key1, const uint8_t* key2, int32_t length) {
    if (length <= 0) return 0;
    if (FIndexNo == SYS_DELETED_SLOT) return CompareBytes(key1, key2, length, false);

    if (FIndexNo == SYS_TEXT_SLOT) {
        // Field number and null flag, the word, then the row identifier.
        int32_t r = CompareBytes(key1, key2, std::min<int32_t>(3, length), false);
        if (r != 0 || length <= 3) return r;
        r = CompareKeyText(FLocaleID, FSortID, key1 + 3, key2 + 3, std::min<int32_t>(61, length - 3));
        if (r != 0 || length <= 64) return r;
        return CompareBytes(key1 + 64, key2 + 64, std::min<int32_t>(4, length - 64), false);
    }

    if (FLocaleID == 0) return CompareBytes(key1, key2, length, FDescending);

    int32_t position = 0;
    const int32_t fields = std::min<int32_t>(FKeyFieldCount, static_cast<int32_t>(FKeyFields.size()));
    for (int32_t k = 0; k < fields && position < length; ++k) {
        const TFieldDesc& field = FKeyFields[static_cast<std::size_t>(k)];
        const bool descending = FDescending || FKeyFieldFlags[static_cast<std::size_t>(k)] != 0;
        const int32_t valueSize = GetFieldDataSize(field.FieldType(), field.StoredSize());
        int32_t r;
        if (field.FieldType() == fldZSTRING) {
            r = CompareBytes(key1 + position, key2 + position, 1, descending);
            if (r != 0) return r;
            const int32_t n = std::min(valueSize, length - position - 1);
            r = CompareKeyText(FLocaleID, FSortID, key1 + position + 1, key2 + position + 1, n);
            if (descending) r = -r;
            position += std::max(n, 0) + 1;
        } else {
            const int32_t n = std::min(valueSize + 1, length - position);
            r = CompareBytes(key1 + position, key2 + position, n, descending);
            position += n;
        }
        if (r != 0) return r;
    }
    // The row identifier that keys of non-unique indexes end with.
    if (position < length) return CompareBytes(key1 + position, key2 + position, length - position, FDescending);
    return 0;
}

int32_t TDataCursor::CompareKeys(const uint8_t* entryKey, const uint8_t* key, uint16_t keySize) {
    return CompareFieldValues(entryKey, key, keySize);
}

// The cases of CompareFieldValues that come down to one ascending byte compare.
bool TDataCursor::KeysCompareAsBytes() const {
    if (FIndexNo == SYS_DELETED_SLOT) return true;
    return FIndexNo != SYS_TEXT_SLOT && FLocaleID == 0 && !FDescending;
}

// ---- Callback slots ----------------------------------------------------------------

void TDataCursor::SetPasswordEvent(TPasswordEvent event) { FEvents.Password = std::move(event); }
void TDataCursor::SetImportProgressEvent(TProgressEvent event) { FEvents.ImportProgress = std::move(event); }
void TDataCursor::SetExportProgressEvent(TProgressEvent event) { FEvents.ExportProgress = std::move(event); }

bool TDataCursor::DoPasswordEvent() { return FEvents.Password ? FEvents.Password(this) : false; }

void TDataCursor::DoStatusNumber(const std::string& text, uint16_t number) {
    if (FEvents.StatusNumber) FEvents.StatusNumber(this, text, number);
}
void TDataCursor::DoStatusText(const std::string& text) {
    if (FEvents.StatusText) FEvents.StatusText(this, text);
}
void TDataCursor::DoStatusNumber2(const std::string& text, uint16_t number) {
    if (FEvents.StatusNumber2) FEvents.StatusNumber2(this, text, number);
}
void TDataCursor::DoStatusText2(const std::string& text) {
    if (FEvents.StatusText2) FEvents.StatusText2(this, text);
}
void TDataCursor::DoIndexProgress(uint16_t percent) {
    if (FEvents.IndexProgress) FEvents.IndexProgress(this, percent);
}
void TDataCursor::DoProgress(uint16_t value) {
    if (FEvents.Progress) FEvents.Progress(this, value);
}
void TDataCursor::DoProgress2(uint16_t value) {
    if (FEvents.Progress2) FEvents.Progress2(this, value);
}
void TDataCursor::DoRestructureProgress(uint16_t percent) {
    if (FEvents.RestructureProgress) FEvents.RestructureProgress(this, percent);
}
void TDataCursor::DoRestructureQuestion(uint8_t kind, const std::string& text, uint8_t& answer1, uint8_t& answer2) {
    if (FEvents.RestructureQuestion) FEvents.RestructureQuestion(this, kind, text, answer1, answer2);
}
void TDataCursor::DoImportProgress(uint16_t percent) {
    if (FEvents.ImportProgress) FEvents.ImportProgress(this, percent);
}
void TDataCursor::DoExportProgress(uint16_t percent) {
    if (FEvents.ExportProgress) FEvents.ExportProgress(this, percent);
}

}  // namespace kura

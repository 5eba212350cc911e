// The full-text word index "Sys Text" and the word search of TEXTSEARCH and
// TEXTOCCURS.
//
// Each key is (field number, upper-cased word, auto-increment value), so every
// distinct word of every indexed field of every record is one key. The keys of a
// text are made from its words upper-cased and compared byte for byte, never
// through the locale's collation: the keys deleted for an old text are then always
// exactly the keys once inserted for it, even where the locale counts two spellings
// as one word that upper-case differently (full-width and half-width letters).
#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/TextWords.h"
#include "engine/files/BlobBuffer.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/KeyEncoding.h"

namespace kura {

namespace {

// Bytes of a "Sys Text" key.
constexpr int TEXT_KEY_PRESENT = 0;
constexpr int TEXT_KEY_FIELD = 1;
constexpr int TEXT_KEY_WORD = 3;
constexpr int TEXT_KEY_WORD_ROOM = 61;
constexpr int TEXT_KEY_AUTOINC = 64;

constexpr uint8_t BLOB_MODE_READWRITE = 2;

// Makes "Sys Text" the cursor's index for the key updates and gives the cursor its
// index back afterwards, also when an update fails.
class TextIndexSelection {
public:
    explicit TextIndexSelection(TDataCursor& cursor) : FCursor(cursor), FSaved(cursor.GetCurrentIndexNo()) {
        FCursor.SetIndexNumber(SYS_TEXT_SLOT);
    }
    ~TextIndexSelection() {
        try {
            FCursor.SetIndexNumber(FSaved);
        } catch (...) {
            // The index was selectable when the update began; an error here must not
            // replace the update's own.
        }
    }
    TextIndexSelection(const TextIndexSelection&) = delete;
    TextIndexSelection& operator=(const TextIndexSelection&) = delete;

private:
    TDataCursor& FCursor;
    uint8_t FSaved;
};

bool IsIndexedString(const TFieldDesc& desc) { return desc.FieldType() == fldZSTRING; }
bool IsIndexedMemo(const TFieldDesc& desc) { return desc.FieldType() == fldBLOB && desc.SubType() == fldstMEMO; }

}  // namespace

// ---- Words ------------------------------------------------------------------------------

void TDataCursor::SplitTextWords(const char* text, int32_t length, bool keepAsterisk, TTextWordList& list) {
    LoadTextIndexParams();
    list.SetLocale(FLocaleID, FSortID);
    SplitTextIntoWords(text, length, list, keepAsterisk, true, FIncludeChars, FSpaceChars);
}

std::vector<std::string> TDataCursor::TextKeyWords(const char* text, int32_t length) {
    LoadTextIndexParams();
    std::set<std::string> words;
    ForEachTextWord(text, length, false, FIncludeChars, FSpaceChars, [&](const std::string& word, int32_t) {
        std::string upper = word;
        LocaleUpperCase(FLocaleID, FSortID, upper);
        words.insert(std::move(upper));
    });
    // Stop words are never keys.
    for (auto it = words.begin(); it != words.end();) {
        int32_t index = 0;
        if (FStopWords.Find(*it, index))
            it = words.erase(it);
        else
            ++it;
    }
    return {words.begin(), words.end()};
}

void TDataCursor::BuildTextKey(uint16_t fieldNo, const std::string& upperWord, uint32_t autoInc, uint8_t* key) const {
    std::memset(key, 0, SYS_TEXT_KEY_SIZE);
    key[TEXT_KEY_PRESENT] = 1;
    EncodeWordKey(fieldNo, key + TEXT_KEY_FIELD);
    const std::size_t n = std::min<std::size_t>(upperWord.size(), TEXT_WORD_MAX_LENGTH);
    std::memcpy(key + TEXT_KEY_WORD, upperWord.data(), n);
    static_assert(TEXT_KEY_WORD + TEXT_KEY_WORD_ROOM == TEXT_KEY_AUTOINC, "key layout");
    EncodeIntegerKey(static_cast<int32_t>(autoInc), key + TEXT_KEY_AUTOINC);
}

// ---- Text-indexed fields ------------------------------------------------------------------

std::vector<uint16_t> TDataCursor::GetTextIndexFields() const {
    std::vector<uint16_t> fields;
    if (!FOpen) return fields;
    // Asked at every write: the field list alone, not the whole descriptor.
    uint16_t list[MAX_INDEX_FIELDS];
    GetIndexFieldList(SYS_TEXT_SLOT, list);
    for (const uint16_t n : list) {
        if (n == 0) break;
        fields.push_back(n);
    }
    return fields;
}

bool TDataCursor::IsTextIndexField(uint16_t fieldNo) const {
    if (fieldNo == 0) return false;
    const std::vector<uint16_t> fields = GetTextIndexFields();
    return std::find(fields.begin(), fields.end(), fieldNo) != fields.end();
}

std::string TDataCursor::StringFieldText(uint16_t fieldNo, const TFieldDesc& desc, const uint8_t* buffer) {
    std::vector<char> value(std::max<std::size_t>(static_cast<std::size_t>(desc.StoredSize()) + 1, 256), '\0');
    bool blank = true;
    GetTableField(fieldNo, buffer, value.data(), blank);
    if (blank) return {};
    return std::string(value.data(), strnlen(value.data(), desc.StoredSize()));
}

TBlobBuffer* TDataCursor::FindModifiedBlob(uint16_t fieldNo, bool latest) const {
    if (latest) {
        for (auto it = FOpenBlobs.rbegin(); it != FOpenBlobs.rend(); ++it)
            if ((*it)->FieldNumber == fieldNo && (*it)->Modified) return *it;
        return nullptr;
    }
    for (TBlobBuffer* blob : FOpenBlobs)
        if (blob->FieldNumber == fieldNo && blob->Modified) return blob;
    return nullptr;
}

std::string TDataCursor::StoredMemoText(uint16_t fieldNo, const uint8_t* record) {
    // Opened on a copy: the caller's image keeps its reference. The copy has the
    // cursor's room too, since writing a field recomputes computed fields behind
    // the table's own.
    std::vector<uint8_t> copy(std::max<std::size_t>(GetRecordSize(), FRecordSize), 0);
    std::memcpy(copy.data(), record, GetRecordSize());
    uint32_t size = 0;
    TEngineErrorCode result = OpenBlob(fieldNo, copy.data(), BLOB_MODE_READWRITE, true, false, size, true);
    if (result != KURA_NONE) RaiseError(result);
    std::string text(size, '\0');
    uint32_t read = 0;
    result = size > 0 ? GetBlob(fieldNo, copy.data(), 0, text.data(), size, read, true) : KURA_NONE;
    const TEngineErrorCode freed = FreeBlob(fieldNo, copy.data(), true, true);
    if (result != KURA_NONE) RaiseError(result);
    if (freed != KURA_NONE) RaiseError(freed);
    return text;
}

// ---- Keys of one field ---------------------------------------------------------------------

void TDataCursor::InsertFieldTextWords(uint16_t fieldNo, const char* text, int32_t length, uint32_t recordNo,
                                       uint32_t autoInc) {
    uint8_t key[SYS_TEXT_KEY_SIZE];
    for (const std::string& word : TextKeyWords(text, length)) {
        BuildTextKey(fieldNo, word, autoInc, key);
        InsertIndexKey(key, recordNo);
    }
}

void TDataCursor::DeleteFieldTextWords(uint16_t fieldNo, const char* text, int32_t length, uint32_t autoInc) {
    uint8_t key[SYS_TEXT_KEY_SIZE];
    for (const std::string& word : TextKeyWords(text, length)) {
        BuildTextKey(fieldNo, word, autoInc, key);
        DeleteIndexKey2(key);
    }
}

bool TDataCursor::UpdateFieldTextWords(uint16_t fieldNo, const char* newText, int32_t newLength, const char* oldText,
                                       int32_t oldLength, uint32_t recordNo, uint32_t newAutoInc,
                                       uint32_t oldAutoInc) {
    const std::vector<std::string> newWords = TextKeyWords(newText, newLength);
    const std::vector<std::string> oldWords = TextKeyWords(oldText, oldLength);
    std::set<std::string> added(newWords.begin(), newWords.end());
    std::set<std::string> removed(oldWords.begin(), oldWords.end());
    // A word in both texts keeps its key, but only while the key's auto-increment
    // value stays: a changed value changes every key of the record.
    if (newAutoInc == oldAutoInc) {
        for (auto it = added.begin(); it != added.end();) {
            auto old = removed.find(*it);
            if (old != removed.end()) {
                removed.erase(old);
                it = added.erase(it);
            } else {
                ++it;
            }
        }
    }
    uint8_t key[SYS_TEXT_KEY_SIZE];
    for (const std::string& word : removed) {
        BuildTextKey(fieldNo, word, oldAutoInc, key);
        DeleteIndexKey2(key);
    }
    for (const std::string& word : added) {
        BuildTextKey(fieldNo, word, newAutoInc, key);
        InsertIndexKey(key, recordNo);
    }
    return !removed.empty() || !added.empty();
}

// ---- Record operations ----------------------------------------------------------------------

void TDataCursor::AddTextIndexWords(const uint8_t* buffer) {
    const std::vector<uint16_t> fields = GetTextIndexFields();
    if (fields.empty()) return;
    TextIndexSelection selection(*this);
    const uint32_t recordNo = GetBufferRecordNo(buffer);
    const uint32_t autoInc = GetBufferAutoInc(buffer);
    for (uint16_t n : fields) {
        TFieldDesc desc;
        GetTableFieldDesc(n, desc);
        if (IsIndexedString(desc)) {
            const std::string text = StringFieldText(n, desc, buffer);
            InsertFieldTextWords(desc.FieldNo(), text.data(), static_cast<int32_t>(text.size()), recordNo, autoInc);
        } else if (IsIndexedMemo(desc)) {
            if (TBlobBuffer* blob = FindModifiedBlob(n, false))
                InsertFieldTextWords(desc.FieldNo(), reinterpret_cast<const char*>(blob->GetBuffer()),
                                     static_cast<int32_t>(blob->GetSize()), recordNo, autoInc);
        }
    }
}

void TDataCursor::RebuildTextIndexWords(const uint8_t* buffer) {
    const std::vector<uint16_t> fields = GetTextIndexFields();
    if (fields.empty()) return;
    TextIndexSelection selection(*this);
    const uint32_t recordNo = GetBufferRecordNo(buffer);
    const uint32_t autoInc = GetBufferAutoInc(buffer);
    for (uint16_t n : fields) {
        TFieldDesc desc;
        GetTableFieldDesc(n, desc);
        std::string text;
        if (IsIndexedString(desc))
            text = StringFieldText(n, desc, buffer);
        else if (IsIndexedMemo(desc))
            text = StoredMemoText(n, buffer);
        else
            continue;
        InsertFieldTextWords(desc.FieldNo(), text.data(), static_cast<int32_t>(text.size()), recordNo, autoInc);
    }
}

bool TDataCursor::UpdateTextIndexWords(const uint8_t* newBuffer, const uint8_t* oldBuffer) {
    const std::vector<uint16_t> fields = GetTextIndexFields();
    if (fields.empty()) return false;
    TextIndexSelection selection(*this);
    // The record as stored names the slot; the caller's buffer may carry an old copy
    // of the header.
    uint32_t recordNo = GetBufferRecordNo(oldBuffer);
    if (recordNo == 0) recordNo = GetBufferRecordNo(newBuffer);
    const uint32_t newAutoInc = GetBufferAutoInc(newBuffer);
    const uint32_t oldAutoInc = GetBufferAutoInc(oldBuffer);
    bool changed = false;
    for (uint16_t n : fields) {
        TFieldDesc desc;
        GetTableFieldDesc(n, desc);
        std::string newText;
        std::string oldText;
        if (IsIndexedString(desc)) {
            newText = StringFieldText(n, desc, newBuffer);
            oldText = StringFieldText(n, desc, oldBuffer);
        } else if (IsIndexedMemo(desc)) {
            if (TBlobBuffer* blob = FindModifiedBlob(n, false)) {
                newText.assign(reinterpret_cast<const char*>(blob->GetBuffer()), blob->GetSize());
                oldText.assign(reinterpret_cast<const char*>(blob->GetOriginalBuffer()), blob->GetOriginalSize());
            } else if (newAutoInc != oldAutoInc) {
                // An unchanged memo still has keys under the old value.
                newText = StoredMemoText(n, oldBuffer);
                oldText = newText;
            } else {
                continue;
            }
        } else {
            continue;
        }
        if (UpdateFieldTextWords(desc.FieldNo(), newText.data(), static_cast<int32_t>(newText.size()), oldText.data(),
                                 static_cast<int32_t>(oldText.size()), recordNo, newAutoInc, oldAutoInc))
            changed = true;
    }
    return changed;
}

void TDataCursor::DeleteTextIndexWords(const uint8_t* buffer) {
    const std::vector<uint16_t> fields = GetTextIndexFields();
    if (fields.empty()) return;
    TextIndexSelection selection(*this);
    const uint32_t autoInc = GetBufferAutoInc(buffer);
    for (uint16_t n : fields) {
        TFieldDesc desc;
        GetTableFieldDesc(n, desc);
        if (IsIndexedString(desc)) {
            const std::string text = StringFieldText(n, desc, buffer);
            DeleteFieldTextWords(desc.FieldNo(), text.data(), static_cast<int32_t>(text.size()), autoInc);
        } else if (IsIndexedMemo(desc)) {
            // The words as loaded: the delete has just opened and emptied the BLOB,
            // so it is the latest one of its field.
            if (TBlobBuffer* blob = FindModifiedBlob(n, true))
                DeleteFieldTextWords(desc.FieldNo(), reinterpret_cast<const char*>(blob->GetOriginalBuffer()),
                                     static_cast<int32_t>(blob->GetOriginalSize()), autoInc);
        }
    }
}

// ---- TEXTSEARCH and TEXTOCCURS -------------------------------------------------------------

bool TDataCursor::TextSearch(const char* search, int32_t searchLength, const char* text, int32_t textLength) {
    TTextWordList searchWords;
    TTextWordList textWords;
    SplitTextWords(search, searchLength, true, searchWords);
    SplitTextWords(text, textLength, false, textWords);
    // The text index keeps no stop words, so a search finds a record by the same
    // words here as through the index: a prefix never matches a stop word of the
    // text, and a search of nothing but stop words finds nothing.
    bool counts = false;
    for (int32_t i = 0; i < searchWords.Count() && !counts; ++i)
        counts = textwords::EndsWithAsterisk(searchWords.Word(i)) ||
                 !textwords::IsStopWord(FStopWords, searchWords.Word(i));
    if (!counts) return false;
    for (int32_t i = textWords.Count() - 1; i >= 0; --i)
        if (textwords::IsStopWord(FStopWords, textWords.Word(i))) textWords.Delete(i);
    return TextSearchWords(searchWords, textWords, FStopWords);
}

int32_t TDataCursor::TextOccurs(const char* search, int32_t searchLength, const char* text, int32_t textLength) {
    TTextWordList searchWords;
    TTextWordList textWords;
    SplitTextWords(search, searchLength, true, searchWords);
    SplitTextWords(text, textLength, false, textWords);
    return TextOccursWords(searchWords, textWords, FStopWords);
}

}  // namespace kura

#pragma once
// The word splitter of the full-text index and of the TEXTSEARCH and TEXTOCCURS
// functions, on its own so that it can be used without a cursor.
//
// Text is code page 932: a lead byte and its trail byte are one character and are
// never taken apart. A trail byte may look like a delimiter ("\" is 0x5C, "@" is
// 0x40), so judging bytes one by one would cut Japanese words in the middle of a
// character; the pair is judged by its lead byte instead.
#include <algorithm>
#include <bitset>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/files/Locale.h"
#include "engine/files/Routines.h"
#include "platform/Locale.h"

namespace kura {

// Longer words are cut to this many bytes.
constexpr int32_t TEXT_WORD_MAX_LENGTH = 60;
// Occurrences of one word counted in a text stop here.
constexpr uint32_t TEXT_WORD_MAX_COUNT = 65535;

// Bytes 1..32 and the usual delimiters.
inline TCharSet DefaultSpaceChars() {
    TCharSet set;
    for (int c = 1; c <= 32; ++c) set.set(static_cast<std::size_t>(c));
    for (unsigned char c : std::string("*+,-./:;<=>\\`")) set.set(c);
    return set;
}

// Digits, letters, the underscore and bytes 128..254.
inline TCharSet DefaultIncludeChars() {
    TCharSet set;
    for (int c = '0'; c <= '9'; ++c) set.set(static_cast<std::size_t>(c));
    for (int c = 'A'; c <= 'Z'; ++c) set.set(static_cast<std::size_t>(c));
    for (int c = 'a'; c <= 'z'; ++c) set.set(static_cast<std::size_t>(c));
    set.set('_');
    for (int c = 128; c <= 254; ++c) set.set(static_cast<std::size_t>(c));
    return set;
}

// The parameters of a table created without its own: the 22 stop words added in
// their fixed order (a sorted list sorts them), and the two default sets.
inline void GetDefaultTextIndexParams(TStringList& stopWords, TCharSet& spaceChars, TCharSet& includeChars) {
    static const char* const words[] = {"A",  "AN",   "AND",  "BE",    "FOR", "HOW",  "IN",   "IS",
                                        "IT", "OF",   "ON",   "OR",    "THAT", "THE", "THIS", "TO",
                                        "WAS", "WHAT", "WHEN", "WHICH", "WHY", "WILL"};
    for (const char* w : words) stopWords.Add(w);
    spaceChars = DefaultSpaceChars();
    includeChars = DefaultIncludeChars();
}

// A sorted list of distinct words (compared case-insensitively by the locale), each
// with a number: its occurrence count in count mode, else its start offset.
class TTextWordList {
public:
    explicit TTextWordList(uint16_t languageId = 0, uint16_t sortId = 0) {
        FWords.LanguageId = languageId;
        FWords.SortId = sortId;
        FWords.SetDuplicates(TDuplicates::dupIgnore);
        FWords.SetSorted(true);
    }

    void SetLocale(uint16_t languageId, uint16_t sortId) {
        FWords.LanguageId = languageId;
        FWords.SortId = sortId;
        FWords.Sort();
    }
    void Clear() {
        FWords.Clear();
        FObjects.clear();
    }
    int32_t Count() const { return FWords.Count(); }
    const std::string& Word(int32_t index) const { return FWords.Get(index); }
    uint32_t Object(int32_t index) const { return FObjects.at(static_cast<std::size_t>(index)); }

    bool Find(const std::string& word, int32_t& index) { return FWords.Find(word, index); }
    // From index on, the first word whose first `length` bytes equal those of `prefix`.
    bool FindPartial(const std::string& prefix, int32_t& index, uint16_t length) {
        return FWords.FindPartial(prefix, index, length);
    }
    // An equal word already listed keeps its number; the index of the word.
    int32_t Add(const std::string& word, uint32_t object) {
        const int32_t before = FWords.Count();
        const int32_t index = FWords.Add(word);
        if (FWords.Count() != before) FObjects.insert(FObjects.begin() + index, object);
        return index;
    }
    void Delete(int32_t index) {
        FWords.Delete(index);
        FObjects.erase(FObjects.begin() + index);
    }
    // Counts one more occurrence of the word.
    void CountWord(const std::string& word) {
        int32_t index = 0;
        if (FWords.Find(word, index)) {
            uint32_t& count = FObjects[static_cast<std::size_t>(index)];
            if (count < TEXT_WORD_MAX_COUNT) ++count;
        } else {
            Add(word, 1);
        }
    }

private:
    TLanguageStringList FWords;
    std::vector<uint32_t> FObjects;
};

// Calls emit(word, start offset) for each word of the text in order: space
// characters end a word, include characters belong to it, other bytes are dropped
// without ending it. keepAsterisk keeps "*" inside words (search patterns such as
// cat*). A null text with a positive length is taken as empty.
template <class Emit>
void ForEachTextWord(const char* text, int32_t length, bool keepAsterisk, const TCharSet& includeChars,
                     const TCharSet& spaceChars, Emit&& emit) {
    if (!text || length <= 0) return;
    std::string word;
    int32_t start = -1;
    bool full = false;
    auto flush = [&]() {
        full = false;
        if (word.empty()) return;
        emit(word, start);
        word.clear();
        start = -1;
    };
    for (int32_t i = 0; i < length; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool pair = platform::IsDBCSLeadByte(c) && i + 1 < length;
        const int32_t width = pair ? 2 : 1;
        const bool keptAsterisk = keepAsterisk && c == '*';
        if (spaceChars.test(c) && !keptAsterisk) {
            flush();
        } else if (includeChars.test(c) || keptAsterisk) {
            if (start < 0) start = i;
            // The first character that no longer fits ends the word; it and the rest
            // of the run are swallowed.
            if (!full && static_cast<int32_t>(word.size()) + width <= TEXT_WORD_MAX_LENGTH)
                word.append(text + i, static_cast<std::size_t>(width));
            else
                full = true;
        }
        i += width - 1;
    }
    flush();
}

// The words of a text into a cleared list: in count mode each distinct word with
// its number of occurrences, else with the offset where it first starts.
inline void SplitTextIntoWords(const char* text, int32_t length, TTextWordList& list, bool keepAsterisk,
                               bool countMode, const TCharSet& includeChars, const TCharSet& spaceChars) {
    list.Clear();
    ForEachTextWord(text, length, keepAsterisk, includeChars, spaceChars,
                    [&](const std::string& word, int32_t start) {
                        if (countMode)
                            list.CountWord(word);
                        else
                            list.Add(word, static_cast<uint32_t>(start));
                    });
}

namespace textwords {

// Whether a search word is a stop word (words ending in "*" never are).
inline bool IsStopWord(TLanguageStringList& stopWords, const std::string& word) {
    int32_t index = 0;
    return stopWords.Find(word, index);
}

inline bool EndsWithAsterisk(const std::string& word) { return !word.empty() && word.back() == '*'; }

}  // namespace textwords

// TEXTSEARCH over two split texts: every search word is found in the field's words;
// "w*" matches any word beginning with w, stop words are ignored. A lone "*"
// matches any word.
inline bool TextSearchWords(TTextWordList& search, TTextWordList& field, TLanguageStringList& stopWords) {
    for (int32_t i = 0; i < search.Count(); ++i) {
        const std::string& w = search.Word(i);
        int32_t index = 0;
        if (textwords::EndsWithAsterisk(w)) {
            const std::string prefix = w.substr(0, w.size() - 1);
            if (prefix.empty()) {
                if (field.Count() == 0) return false;
                continue;
            }
            if (!field.FindPartial(prefix, index, static_cast<uint16_t>(prefix.size()))) return false;
        } else if (!textwords::IsStopWord(stopWords, w)) {
            if (!field.Find(w, index)) return false;
        }
    }
    return true;
}

// TEXTOCCURS over two split texts: the occurrences in the field of every search word
// (of every word beginning with the prefix of a "w*" word), added up.
inline int32_t TextOccursWords(TTextWordList& search, TTextWordList& field, TLanguageStringList& stopWords) {
    int64_t total = 0;
    for (int32_t i = 0; i < search.Count(); ++i) {
        const std::string& w = search.Word(i);
        if (textwords::EndsWithAsterisk(w)) {
            const std::string prefix = w.substr(0, w.size() - 1);
            if (prefix.empty()) {
                for (int32_t j = 0; j < field.Count(); ++j) total += field.Object(j);
                continue;
            }
            int32_t index = 0;
            while (index < field.Count() && field.FindPartial(prefix, index, static_cast<uint16_t>(prefix.size()))) {
                total += field.Object(index);
                ++index;
            }
        } else if (!textwords::IsStopWord(stopWords, w)) {
            int32_t index = 0;
            if (field.Find(w, index)) total += field.Object(index);
        }
    }
    return static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
}

}  // namespace kura

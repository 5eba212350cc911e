#pragma once
// The table of the multi-process stress test and the contents its workers write,
// shared by the test and its worker processes: the record table with a memo under
// "Sys Text" and a binary BLOB, memo texts built from a fixed vocabulary, and the
// checksum each record keeps of its two BLOBs so that any later reader can tell a
// loaded BLOB from a damaged one.
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "tests/engine/core/RecordTestSupport.h"

namespace kura::test {

constexpr uint16_t F_PHOTO = 6;  // binary BLOB after the memo
// The first code of a worker's records: workers never share a primary key.
constexpr int32_t STRESS_CODE_BASE = 1000000;

inline TTableDefinition StressTable() {
    TTableDefinition def = RecordTable(true, true);
    const TFieldDesc& last = def.Fields.back();
    TFieldDesc photo;
    photo.SetFieldNo(F_PHOTO);
    photo.SetName("Photo");
    photo.SetFieldType(fldBLOB);
    photo.SetSubType(fldstBINARY);
    photo.DerivePhysical();
    photo.SetPosition(F_PHOTO);
    photo.SetOffset(static_cast<uint16_t>(last.Offset() + last.StoredSize() + 1));
    def.Fields.push_back(photo);
    def.Description = "stress";
    return def;
}

// FNV-1a over the bytes.
inline uint32_t Checksum(const uint8_t* bytes, std::size_t size) {
    uint32_t h = 2166136261u;
    for (std::size_t i = 0; i < size; ++i) h = (h ^ bytes[i]) * 16777619u;
    return h;
}
inline uint32_t Checksum(const std::string& text) {
    return Checksum(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}
inline uint32_t Checksum(const std::vector<uint8_t>& bytes) { return Checksum(bytes.data(), bytes.size()); }

// The "Note" of a record: the checksums of its photo and of its memo.
inline std::string NoteOf(uint32_t photoSum, uint32_t memoSum) {
    char text[20];
    std::snprintf(text, sizeof text, "%08X%08X", photoSum, memoSum);
    return text;
}

// Words that are no stop words and contain only letters, so the words of a memo
// are exactly its space-separated tokens.
inline const std::vector<std::string>& StressVocabulary() {
    static const std::vector<std::string> words = {"apple",  "birch",  "cedar",  "delta", "ember",  "fjord",
                                                   "grove",  "heron",  "indigo", "jasper", "kelp",  "lilac",
                                                   "maple",  "nectar", "opal",   "pebble", "quartz", "raven",
                                                   "sable",  "thistle", "umber", "violet", "willow", "yarrow"};
    return words;
}

// A word no other record's memo has, letters only.
inline std::string TagWord(uint32_t seed, uint32_t serial) {
    std::string word = "tag";
    for (uint32_t v : {seed, serial}) {
        do {
            word += static_cast<char>('a' + v % 26);
            v /= 26;
        } while (v != 0);
        word += 'z';
    }
    return word;
}

// Memo text: empty, or the tag word and up to `maxWords` vocabulary words.
inline std::string MakeMemo(std::mt19937& rng, uint32_t seed, uint32_t serial, int maxWords) {
    if (rng() % 8 == 0) return "";
    std::string text = TagWord(seed, serial);
    const auto& vocabulary = StressVocabulary();
    const int count = static_cast<int>(rng() % static_cast<uint32_t>(maxWords + 1));
    for (int i = 0; i < count; ++i) text += " " + vocabulary[rng() % vocabulary.size()];
    return text;
}

// The distinct words of a memo, upper case, as the text index files them.
inline std::set<std::string> MemoWords(const std::string& memo) {
    std::set<std::string> words;
    std::size_t at = 0;
    while (at < memo.size()) {
        std::size_t end = memo.find(' ', at);
        if (end == std::string::npos) end = memo.size();
        std::string word = memo.substr(at, end - at);
        for (char& ch : word) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch);
        if (!word.empty()) words.insert(word);
        at = end + 1;
    }
    return words;
}

// BLOB access through a cursor; an engine result other than 0 is raised.
inline void CheckBlobResult(TEngineErrorCode code, const char* what) {
    if (code != 0) RaiseEngineError(code, {}, {}, {}, {}, {}, {}, what);
}

// Replaces the whole value of a BLOB field of the buffer; the BLOB stays open for
// the record's write.
inline void WriteBlob(TDataCursor& cursor, uint8_t* buffer, uint16_t field, const void* bytes, std::size_t size) {
    uint32_t current = 0;
    CheckBlobResult(cursor.OpenBlob(field, buffer, 2, false, true, current), "open blob");
    CheckBlobResult(cursor.TruncateBlob(field, buffer, 0, false), "truncate blob");
    if (size > 0)
        CheckBlobResult(cursor.PutBlob(field, buffer, 0, bytes, static_cast<uint32_t>(size), false), "put blob");
}

// Opens a BLOB field of the buffer and answers its bytes; with keepOpen the BLOB
// stays open for the record's write, else it is freed again.
inline std::vector<uint8_t> LoadBlob(TDataCursor& cursor, uint8_t* buffer, uint16_t field, bool keepOpen) {
    uint32_t size = 0;
    CheckBlobResult(cursor.OpenBlob(field, buffer, 2, false, keepOpen, size), "open blob");
    std::vector<uint8_t> bytes(size);
    uint32_t read = 0;
    TEngineErrorCode code = 0;
    if (size > 0) code = cursor.GetBlob(field, buffer, 0, bytes.data(), size, read, false);
    if (!keepOpen) CheckBlobResult(cursor.FreeBlob(field, buffer, false, true), "free blob");
    CheckBlobResult(code, "get blob");
    if (read != size) CheckBlobResult(KURA_ENDOFBLOB, "short read");
    return bytes;
}

// Appends a record with its memo, photo and their checksums; open BLOBs of a
// refused record are discarded.
inline void AppendStressRecord(TDataCursor& cursor, int32_t code, const std::string& name, const std::string& memo,
                               const std::vector<uint8_t>& photo) {
    std::vector<uint8_t> record = MakeRecord(cursor, code, name, NoteOf(Checksum(photo), Checksum(memo)));
    try {
        WriteBlob(cursor, record.data(), F_MEMO, memo.data(), memo.size());
        WriteBlob(cursor, record.data(), F_PHOTO, photo.data(), photo.size());
        cursor.AppendRecord(record.data(), true);
    } catch (...) {
        try {
            cursor.DiscardRecordBlobs(record.data());
        } catch (...) {
        }
        throw;
    }
}

inline std::vector<uint8_t> RandomBytes(std::mt19937& rng, std::size_t size) {
    std::vector<uint8_t> bytes(size);
    for (auto& b : bytes) b = static_cast<uint8_t>(rng() >> 24);
    return bytes;
}

}  // namespace kura::test

// The full-text index parameters: their defaults, their stored form over the
// raw-data pages of the "Sys Text" index, and the cursor's working copy.
#include "engine/core/TextIndexParams.h"

#include <algorithm>

#include "engine/files/FieldDesc.h"
#include "engine/files/IndexPage.h"

namespace kura {

namespace {

// Lays items over fixed-size pages: an item that would end beyond the page's data
// area starts the next page.
class TPagedWriter {
public:
    void Put(const uint8_t* bytes, uint32_t length) {
        if (FPages.empty() || FPos + length > static_cast<uint32_t>(PAGE_DATA_SIZE)) NewPage();
        std::copy_n(bytes, length, FPages.back().begin() + FPos);
        FPos += length;
    }
    void PutU32(uint32_t value) {
        uint8_t bytes[4];
        dfbytes::PutU32(bytes, value);
        Put(bytes, 4);
    }
    std::vector<std::vector<uint8_t>> Take() {
        if (FPages.empty()) NewPage();
        return std::move(FPages);
    }

private:
    void NewPage() {
        FPages.emplace_back(static_cast<std::size_t>(PAGE_DATA_SIZE), 0);
        FPos = 0;
    }
    std::vector<std::vector<uint8_t>> FPages;
    uint32_t FPos = 0;
};

class TPagedReader {
public:
    TPagedReader(const uint8_t* first, const std::function<const uint8_t*()>& next) : FPage(first), FNext(next) {}

    // False when the item cannot be where the layout puts it.
    bool Take(uint32_t length, const uint8_t*& bytes) {
        if (length > static_cast<uint32_t>(PAGE_DATA_SIZE)) return false;
        if (FPos + length > static_cast<uint32_t>(PAGE_DATA_SIZE)) {
            FPage = FNext();
            FPos = 0;
            if (!FPage) return false;
        }
        bytes = FPage + FPos;
        FPos += length;
        return true;
    }
    // A stored length or count: negative ones are damage.
    bool TakeLength(uint32_t& value) {
        const uint8_t* bytes = nullptr;
        if (!Take(4, bytes)) return false;
        value = dfbytes::GetU32(bytes);
        return value <= static_cast<uint32_t>(INT32_MAX);
    }

private:
    const uint8_t* FPage;
    const std::function<const uint8_t*()>& FNext;
    uint32_t FPos = 0;
};

bool ReadCharSet(TPagedReader& reader, TCharSet& set) {
    uint32_t length = 0;
    const uint8_t* bytes = nullptr;
    // Any other length would not fit the 32-byte set.
    if (!reader.TakeLength(length) || length != TEXT_CHARSET_BYTES || !reader.Take(length, bytes)) return false;
    set = BytesToCharSet(bytes);
    return true;
}

}  // namespace

std::array<uint8_t, TEXT_CHARSET_BYTES> CharSetToBytes(const TCharSet& set) {
    std::array<uint8_t, TEXT_CHARSET_BYTES> bytes{};
    for (std::size_t c = 0; c < 256; ++c)
        if (set.test(c)) bytes[c / 8] = static_cast<uint8_t>(bytes[c / 8] | (1u << (c % 8)));
    return bytes;
}

TCharSet BytesToCharSet(const uint8_t* bytes) {
    TCharSet set;
    for (std::size_t c = 0; c < 256; ++c)
        if (bytes[c / 8] & (1u << (c % 8))) set.set(c);
    return set;
}

std::vector<std::vector<uint8_t>> EncodeTextIndexParams(const TStringList& stopWords, const TCharSet& spaceChars,
                                                        const TCharSet& includeChars) {
    TPagedWriter writer;
    writer.PutU32(static_cast<uint32_t>(stopWords.Count()));
    for (int32_t i = 0; i < stopWords.Count(); ++i) {
        const std::string& word = stopWords.Get(i);
        const uint32_t length = static_cast<uint32_t>(std::min<std::size_t>(word.size(), TEXT_STOPWORD_MAX));
        writer.PutU32(length);
        writer.Put(reinterpret_cast<const uint8_t*>(word.data()), length);
    }
    for (const TCharSet* set : {&spaceChars, &includeChars}) {
        const auto bytes = CharSetToBytes(*set);
        writer.PutU32(TEXT_CHARSET_BYTES);
        writer.Put(bytes.data(), TEXT_CHARSET_BYTES);
    }
    return writer.Take();
}

bool DecodeTextIndexParams(const uint8_t* firstPage, const std::function<const uint8_t*()>& nextPage,
                           TStringList& stopWords, TCharSet& spaceChars, TCharSet& includeChars) {
    if (!firstPage) return false;
    TPagedReader reader(firstPage, nextPage);
    uint32_t count = 0;
    if (!reader.TakeLength(count)) return false;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t length = 0;
        const uint8_t* bytes = nullptr;
        if (!reader.TakeLength(length) || !reader.Take(length, bytes)) return false;
        stopWords.Add(std::string(reinterpret_cast<const char*>(bytes), length));
    }
    return ReadCharSet(reader, spaceChars) && ReadCharSet(reader, includeChars);
}

}  // namespace kura

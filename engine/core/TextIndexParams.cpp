// The full-text index parameters: their defaults, their stored form over the
// raw-data pages of the "Sys Text" index, and the cursor's working copy.
#include "engine/core/TextIndexParams.h"

#include <algorithm>
#include <set>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/core/TextWords.h"

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

// ---- The cursor's working copy -------------------------------------------------------

namespace {

bool IsRawDataPage(const TPage* page) {
    return page && !page->Free && page->PageType == ptRawData &&
           page->Keys.size() >= static_cast<std::size_t>(PAGE_DATA_SIZE);
}

void InitRawDataPage(TPage* page) {
    page->SetPageType(ptRawData);
    page->Free = 0;
    page->ExpandKeyBuffer();
    std::fill(page->Keys.begin(), page->Keys.end(), 0);
    page->SetKeyCount(0);
    page->SetPriorPage(0);
    page->SetNextPage(0);
    page->Modified = 1;
}

// Page reads that a change check keeps sending back before giving up.
constexpr int32_t TEXT_PARAMS_READ_ATTEMPTS = 1000;

}  // namespace

namespace {

// Reads page N of the cursor's current index, asking again while a change check
// sends the read back.
TPage* ReadChainPage(TDataCursor& cursor, uint32_t pageNo) {
    for (int32_t attempt = 0; attempt < TEXT_PARAMS_READ_ATTEMPTS; ++attempt) {
        TPage* page = nullptr;
        if (cursor.GetIndexPage(pageNo, false, page)) return page;
    }
    cursor.RaiseError(KURA_LOCKTIMEOUT);
}

}  // namespace

void TDataCursor::LoadTextIndexParams() {
    if (FTextParamsLoaded) return;
    if (IsRemote()) {
        LoadRemoteTextIndexParams();
        return;
    }
    if (!FTable) RaiseError(KURA_NOTINITIALIZED);

    // The load takes its own read bracket; the caller's, if any, stays as it was.
    const uint8_t previous = FIndexNo;
    TPage* page = nullptr;
    BeginRead();
    try {
        FStopWords.LanguageId = FLocaleID;
        FStopWords.SortId = FSortID;
        FStopWords.Clear();
        FSpaceChars.reset();
        FIncludeChars.reset();
        SetIndexNumber(SYS_TEXT_SLOT);
        if (!GetParamsPage(page)) {
            GetDefaultTextIndexParams(FStopWords, FSpaceChars, FIncludeChars);
        } else {
            if (!IsRawDataPage(page)) RaiseError(KURA_INDEXCORRUPT);
            std::set<uint32_t> visited{page->PageNumber};
            TIndexFile& index = FTable->GetIndexFile();
            // A link back into the chain would read the same pages for ever.
            const std::function<const uint8_t*()> next = [&]() -> const uint8_t* {
                const uint32_t link = page->NextPage;
                if (link < 1 || visited.count(link) != 0 || !index.IsValidPageNumber(link)) return nullptr;
                ReleaseIndexPage(page);
                page = ReadChainPage(*this, link);
                if (!IsRawDataPage(page)) return nullptr;
                visited.insert(link);
                return page->Keys.data();
            };
            if (!DecodeTextIndexParams(page->Keys.data(), next, FStopWords, FSpaceChars, FIncludeChars))
                RaiseError(KURA_INDEXCORRUPT);
        }
        ReleaseIndexPage(page);
        SetIndexNumber(previous);
    } catch (...) {
        ReleaseIndexPage(page);
        try {
            SetIndexNumber(previous);
        } catch (...) {
        }
        try {
            EndRead();
        } catch (...) {
        }
        throw;
    }
    EndRead();
    FTextParamsChanged = false;
    FTextParamsLoaded = true;
}

void TDataCursor::SetTextIndexParams(const TStringList* stopWords, const std::bitset<256>& spaceChars,
                                     const std::bitset<256>& includeChars) {
    FStopWords.LanguageId = FLocaleID;
    FStopWords.SortId = FSortID;
    FStopWords.Clear();
    if (stopWords) {
        for (int32_t i = 0; i < stopWords->Count(); ++i) {
            const std::string& word = stopWords->Get(i);
            FStopWords.Add(word.substr(0, std::min<std::size_t>(word.size(), TEXT_STOPWORD_MAX)));
        }
    }
    FSpaceChars = spaceChars;
    FIncludeChars = includeChars;
    FTextParamsChanged = true;
    // The copy is now the one that counts: a later load must not replace it with
    // what the file held before.
    FTextParamsLoaded = true;
}

void TDataCursor::SaveTextIndexParams() {
    if (!FTextParamsChanged) return;
    if (IsRemote()) {
        // A server keeps the parameters it was sent with the table.
        FTextParamsChanged = false;
        return;
    }
    if (!FTable) return;
    const std::vector<std::vector<uint8_t>> images = EncodeTextIndexParams(FStopWords, FSpaceChars, FIncludeChars);
    const uint8_t previous = FIndexNo;
    // A fully open cursor resynchronises in its own index before the switch; a
    // cursor being created or closed has no position to keep.
    const bool cursorBracket = FRecord != nullptr;
    if (cursorBracket) {
        BeginWrite();
    } else {
        FTable->BeginWrite();
        SaveChangeCounters();
    }
    TPage* page = nullptr;
    try {
        SetIndexNumber(SYS_TEXT_SLOT);
        TIndexFile& index = FTable->GetIndexFile();
        if (!GetParamsPage(page)) {
            page = AllocatePage();
            InitRawDataPage(page);
            SetParamsPage(page->PageNumber);
        } else if (!IsRawDataPage(page)) {
            // Writing over it would destroy whatever page it really is.
            RaiseError(KURA_INDEXCORRUPT);
        }
        std::set<uint32_t> used{page->PageNumber};
        for (std::size_t i = 0; i < images.size(); ++i) {
            if (i > 0) {
                TPage* next = nullptr;
                const uint32_t link = page->NextPage;
                if (link >= 1 && used.count(link) == 0 && index.IsValidPageNumber(link)) {
                    next = ReadChainPage(*this, link);
                    if (!IsRawDataPage(next)) ReleaseIndexPage(next);
                }
                if (!next) {
                    next = AllocatePage();
                    InitRawDataPage(next);
                }
                next->Modified = 1;
                page->SetNextPage(next->PageNumber);
                page->Modified = 1;
                ReleaseIndexPage(page);
                page = next;
                used.insert(page->PageNumber);
            }
            page->Modified = 1;
            std::copy(images[i].begin(), images[i].end(), page->Keys.begin());
        }
        ReleaseIndexPage(page);
        SetIndexNumber(previous);
        if (!FTable->IsExclusive()) FTable->FlushBuffers(false, false, false, false, true);
    } catch (...) {
        ReleaseIndexPage(page);
        try {
            SetIndexNumber(previous);
        } catch (...) {
        }
        // Half-written pages must not reach the disk with a later flush.
        if (!FTable->IsExclusive() && !FTable->InTransaction()) {
            try {
                FTable->DiscardBuffers(false, true);
            } catch (...) {
            }
        }
        try {
            if (cursorBracket) EndWrite(); else FTable->EndWrite();
        } catch (...) {
        }
        throw;
    }
    if (cursorBracket) EndWrite(); else FTable->EndWrite();
    FTextParamsChanged = false;
}

TLanguageStringList& TDataCursor::GetStopWords() {
    LoadTextIndexParams();
    return FStopWords;
}

std::bitset<256> TDataCursor::GetSpaceChars() {
    LoadTextIndexParams();
    return FSpaceChars;
}

std::bitset<256> TDataCursor::GetIncludeChars() {
    LoadTextIndexParams();
    return FIncludeChars;
}

}  // namespace kura

#include "engine/files/RecordsBitmap.h"

#include <algorithm>
#include <bit>

namespace kura {

namespace {

// Adds a count to a position; positions are 32-bit and wrap rather than
// overflow.
int32_t AddToPosition(int32_t position, int64_t delta)
{
    return static_cast<int32_t>(static_cast<uint32_t>(position) + static_cast<uint32_t>(delta));
}

// Bits from `first` (0..31) up to 31.
uint32_t MaskFrom(int first)
{
    return ~uint32_t{0} << first;
}

// Bits from 0 up to `last` (0..31).
uint32_t MaskThrough(int last)
{
    return ~uint32_t{0} >> (31 - last);
}

// Set bits of `n` whole words. Without a population-count instruction in the
// target, std::popcount is a library call per word; counting two words at a time
// in registers is several times faster over the long runs CountBefore walks.
int64_t CountWords(const uint32_t* words, int32_t n)
{
    int64_t total = 0;
    int32_t w = 0;
    for (; w + 1 < n; w += 2) {
        uint64_t x = static_cast<uint64_t>(words[w]) | static_cast<uint64_t>(words[w + 1]) << 32;
        x = x - ((x >> 1) & 0x5555555555555555ull);
        x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
        x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
        total += static_cast<int64_t>((x * 0x0101010101010101ull) >> 56);
    }
    if (w < n)
        total += std::popcount(words[w]);
    return total;
}

}  // namespace

uint32_t TRecordsBitmap::LastWordMask() const
{
    const int used = RecordCount_ % 32;
    return used == 0 ? ~uint32_t{0} : MaskThrough(used - 1);
}

// ---- Block marks ------------------------------------------------------------------
// A filter's set is often a few records among millions: every pass over the set
// visits only the blocks whose mark is set, so that counting, ANDing, copying and
// clearing such a set costs its records, not the table's size.

bool TRecordsBitmap::Marked(int32_t block) const
{
    return (Marks_[static_cast<size_t>(block) / 64] >> (block % 64) & 1u) != 0;
}

void TRecordsBitmap::MarkWord(int32_t w)
{
    const int32_t block = w / BLOCK_WORDS;
    Marks_[static_cast<size_t>(block) / 64] |= uint64_t{1} << (block % 64);
}

int32_t TRecordsBitmap::NextMarkedBlock(int32_t block) const
{
    const int32_t blocks = static_cast<int32_t>(Marks_.size()) * 64;
    if (block < 0)
        block = 0;
    while (block < blocks) {
        const uint64_t rest = Marks_[static_cast<size_t>(block) / 64] >> (block % 64);
        if (rest != 0)
            return block + std::countr_zero(rest);
        block = (block / 64 + 1) * 64;
    }
    return blocks;
}

int32_t TRecordsBitmap::PriorMarkedBlock(int32_t block) const
{
    while (block >= 0) {
        const uint64_t upTo = Marks_[static_cast<size_t>(block) / 64] << (63 - block % 64);
        if (upTo != 0)
            return block - std::countl_zero(upTo);
        block = block / 64 * 64 - 1;
    }
    return -1;
}

void TRecordsBitmap::MarkAllThrough(int32_t words)
{
    std::fill(Marks_.begin(), Marks_.end(), 0u);
    const int32_t blocks = (words + BLOCK_WORDS - 1) / BLOCK_WORDS;
    for (int32_t b = 0; b < blocks; ++b)
        Marks_[static_cast<size_t>(b) / 64] |= uint64_t{1} << (b % 64);
}

void TRecordsBitmap::ResizeBlock(size_t words)
{
    Bits_.resize(words, 0u);
    Marks_.resize((words / BLOCK_WORDS + 63) / 64, 0u);
}

void TRecordsBitmap::ClearBeyondRecordCount()
{
    if (WordCount_ > 0)
        Bits_[WordCount_ - 1] &= LastWordMask();
    std::fill(Bits_.begin() + WordCount_, Bits_.end(), 0u);
    // Blocks wholly beyond the records hold nothing now.
    const int32_t firstEmpty = (WordCount_ + BLOCK_WORDS - 1) / BLOCK_WORDS;
    for (int32_t b = NextMarkedBlock(firstEmpty); b < static_cast<int32_t>(Marks_.size()) * 64;
         b = NextMarkedBlock(b + 1))
        Marks_[static_cast<size_t>(b) / 64] &= ~(uint64_t{1} << (b % 64));
}

void TRecordsBitmap::SetRecordCount(int32_t n)
{
    n = std::clamp(n, 0, MAX_RECORD_COUNT);
    if (n == RecordCount_)
        return;
    if (n == 0) {
        std::vector<uint32_t>().swap(Bits_);
        std::vector<uint64_t>().swap(Marks_);
        Capacity_ = RecordCount_ = BitCount_ = WordCount_ = 0;
        Full_ = false;
        return;
    }
    const bool shrinking = n < RecordCount_;
    // A full set stays full when it shrinks; the records it grows by are not in it.
    if (!shrinking)
        Materialise();
    RecordCount_ = n;
    BitCount_ = static_cast<int32_t>((static_cast<int64_t>(n) + 31) / 32 * 32);
    const int64_t needed = BitCount_ / 8;
    if (Capacity_ < needed) {
        const int64_t granules = (needed + GRANULE - 1) / GRANULE;
        Capacity_ = static_cast<int32_t>(granules * GRANULE);
        ResizeBlock(static_cast<size_t>(Capacity_) / 4);
    }
    WordCount_ = BitCount_ / 32;
    // Records dropped now must not come back when the count grows again.
    if (shrinking)
        ClearBeyondRecordCount();
}

void TRecordsBitmap::Materialise()
{
    if (!Full_)
        return;
    Full_ = false;
    std::fill(Bits_.begin(), Bits_.begin() + WordCount_, ~uint32_t{0});
    MarkAllThrough(WordCount_);
    ClearBeyondRecordCount();
}

bool TRecordsBitmap::GetBit(int32_t r) const
{
    if (r < 1 || r > RecordCount_)
        return false;
    if (Full_)
        return true;
    return (Bits_[(r - 1) / 32] >> ((r - 1) % 32) & 1u) != 0;
}

void TRecordsBitmap::SetBit(int32_t r)
{
    if (r < 1 || r > RecordCount_ || Full_)
        return;
    Bits_[(r - 1) / 32] |= uint32_t{1} << ((r - 1) % 32);
    MarkWord((r - 1) / 32);
}

void TRecordsBitmap::ClearBit(int32_t r)
{
    if (r < 1 || r > RecordCount_)
        return;
    Materialise();
    Bits_[(r - 1) / 32] &= ~(uint32_t{1} << ((r - 1) % 32));
}

int64_t TRecordsBitmap::CountWordsBelow(int32_t words) const
{
    int64_t total = 0;
    for (int32_t b = NextMarkedBlock(0); b * BLOCK_WORDS < words; b = NextMarkedBlock(b + 1)) {
        const int32_t from = b * BLOCK_WORDS;
        total += CountWords(Bits_.data() + from, std::min(BLOCK_WORDS, words - from));
    }
    return total;
}

int32_t TRecordsBitmap::Count() const
{
    if (Full_)
        return RecordCount_;
    int64_t total = WordCount_ > 1 ? CountWordsBelow(WordCount_ - 1) : 0;
    if (WordCount_ > 0)
        total += std::popcount(Bits_[WordCount_ - 1] & LastWordMask());
    return static_cast<int32_t>(total);
}

int32_t TRecordsBitmap::CountBefore(int32_t r) const
{
    if (r <= 1)
        return 0;
    const int32_t through = std::min(r - 1, RecordCount_);  // last record counted
    if (Full_)
        return through;
    const int32_t fullWords = through / 32;
    int64_t total = CountWordsBelow(fullWords);
    if (through % 32 != 0)
        total += std::popcount(Bits_[fullWords] & MaskThrough(through % 32 - 1));
    return static_cast<int32_t>(total);
}

bool TRecordsBitmap::FindNext(int32_t& recNo, int32_t n, int32_t& position) const
{
    const int64_t wanted = std::max(n, 1);
    const int64_t start = std::max<int64_t>(static_cast<int64_t>(recNo) + 1, 1);
    if (start > RecordCount_)
        return false;
    if (Full_) {
        const int64_t passed = std::min<int64_t>(wanted, RecordCount_ - start + 1);
        recNo = static_cast<int32_t>(start + passed - 1);
        position = AddToPosition(position, passed);
        return passed == wanted;
    }
    int64_t found = 0;
    const int32_t first = static_cast<int32_t>((start - 1) / 32);
    for (int32_t w = first; w < WordCount_; ++w) {
        if (w % BLOCK_WORDS == 0 || w == first) {
            const int32_t block = NextMarkedBlock(w / BLOCK_WORDS);
            if (block != w / BLOCK_WORDS) {
                w = block * BLOCK_WORDS - 1;  // the loop steps onto the block's first word
                continue;
            }
        }
        uint32_t word = Bits_[w];
        if (w == first)
            word &= MaskFrom(static_cast<int>((start - 1) % 32));
        if (w == WordCount_ - 1)
            word &= LastWordMask();
        if (word == 0)
            continue;
        const int count = std::popcount(word);
        if (found + count >= wanted) {
            for (int64_t k = wanted - found; k > 1; --k)
                word &= word - 1;  // drop the lowest set record
            recNo = w * 32 + std::countr_zero(word) + 1;
            position = AddToPosition(position, wanted - found);
            return true;
        }
        found += count;
        position = AddToPosition(position, count);
        recNo = w * 32 + (31 - std::countl_zero(word)) + 1;
    }
    return false;
}

void TRecordsBitmap::AppendSetRecords(std::vector<uint32_t>& into) const
{
    if (Full_) {
        for (int32_t r = 1; r <= RecordCount_; ++r)
            into.push_back(static_cast<uint32_t>(r));
        return;
    }
    const int32_t blocks = (WordCount_ + BLOCK_WORDS - 1) / BLOCK_WORDS;
    for (int32_t b = NextMarkedBlock(0); b < blocks; b = NextMarkedBlock(b + 1)) {
        const int32_t end = std::min(WordCount_, (b + 1) * BLOCK_WORDS);
        for (int32_t w = b * BLOCK_WORDS; w < end; ++w) {
            uint32_t word = Bits_[w];
            if (w == WordCount_ - 1)
                word &= LastWordMask();
            for (; word != 0; word &= word - 1)
                into.push_back(static_cast<uint32_t>(w) * 32 + static_cast<uint32_t>(std::countr_zero(word)) + 1);
        }
    }
}

bool TRecordsBitmap::FindPrior(int32_t& recNo, int32_t n, int32_t& position) const
{
    const int64_t wanted = std::max(n, 1);
    const int64_t start = std::min<int64_t>(static_cast<int64_t>(recNo) - 1, RecordCount_);
    if (start < 1)
        return false;
    if (Full_) {
        const int64_t passed = std::min<int64_t>(wanted, start);
        recNo = static_cast<int32_t>(start - passed + 1);
        position = AddToPosition(position, -passed);
        return passed == wanted;
    }
    int64_t found = 0;
    const int32_t first = static_cast<int32_t>((start - 1) / 32);
    for (int32_t w = first; w >= 0; --w) {
        if (w % BLOCK_WORDS == BLOCK_WORDS - 1 || w == first) {
            const int32_t block = PriorMarkedBlock(w / BLOCK_WORDS);
            if (block != w / BLOCK_WORDS) {
                w = block * BLOCK_WORDS + BLOCK_WORDS;  // the loop steps onto the block's last word
                continue;
            }
        }
        uint32_t word = Bits_[w];
        if (w == first)
            word &= MaskThrough(static_cast<int>((start - 1) % 32));
        if (word == 0)
            continue;
        const int count = std::popcount(word);
        if (found + count >= wanted) {
            for (int64_t k = wanted - found; k > 1; --k)
                word &= ~(uint32_t{1} << (31 - std::countl_zero(word)));  // drop the highest
            recNo = w * 32 + (31 - std::countl_zero(word)) + 1;
            position = AddToPosition(position, -(wanted - found));
            return true;
        }
        found += count;
        position = AddToPosition(position, -static_cast<int64_t>(count));
        recNo = w * 32 + std::countr_zero(word) + 1;
    }
    return false;
}

// A word of the other set as an AND or OR sees it: its own word, all the
// records it covers when it is full, nothing past its records.
uint32_t TRecordsBitmap::PartnerWord(const TRecordsBitmap& other, int32_t w)
{
    if (w >= other.WordCount_)
        return 0u;
    if (!other.Full_)
        return other.Bits_[w];
    return w == other.WordCount_ - 1 ? other.LastWordMask() : ~uint32_t{0};
}

void TRecordsBitmap::AndWith(const TRecordsBitmap& other)
{
    if (other.Full_) {
        if (other.RecordCount_ >= RecordCount_)
            return;
        Materialise();
        for (int32_t w = 0; w < WordCount_; ++w)
            Bits_[w] &= PartnerWord(other, w);
        ClearBeyondRecordCount();
        return;
    }
    if (Full_) {
        // The other's records within this one's: copied block by block.
        Full_ = false;
        const int32_t words = std::min(WordCount_, other.WordCount_);
        const int32_t otherBlocks = static_cast<int32_t>(other.Marks_.size()) * 64;
        for (int32_t b = other.NextMarkedBlock(0); b < otherBlocks && b * BLOCK_WORDS < words;
             b = other.NextMarkedBlock(b + 1)) {
            const int32_t from = b * BLOCK_WORDS;
            const int32_t to = std::min(from + BLOCK_WORDS, words);
            std::copy(other.Bits_.begin() + from, other.Bits_.begin() + to, Bits_.begin() + from);
            MarkWord(from);
        }
        ClearBeyondRecordCount();
        return;
    }
    const int32_t blocks = static_cast<int32_t>(Marks_.size()) * 64;
    for (int32_t b = NextMarkedBlock(0); b < blocks; b = NextMarkedBlock(b + 1)) {
        const int32_t from = b * BLOCK_WORDS;
        const int32_t to = std::min(from + BLOCK_WORDS, WordCount_);
        const bool partner = b < static_cast<int32_t>(other.Marks_.size()) * 64 && other.Marked(b);
        uint32_t any = 0;
        for (int32_t w = from; w < to; ++w) {
            Bits_[w] &= (partner && w < other.WordCount_) ? other.Bits_[w] : 0u;
            any |= Bits_[w];
        }
        if (any == 0)
            Marks_[static_cast<size_t>(b) / 64] &= ~(uint64_t{1} << (b % 64));
    }
}

void TRecordsBitmap::OrWith(const TRecordsBitmap& other)
{
    if (Full_)
        return;
    if (other.Full_) {
        if (other.RecordCount_ >= RecordCount_) {
            SetAll();
            return;
        }
        for (int32_t w = 0; w < other.WordCount_; ++w)
            Bits_[w] |= PartnerWord(other, w);
        // Marks are only added: this set's records beyond the other's keep theirs.
        for (int32_t w = 0; w < other.WordCount_; w += BLOCK_WORDS)
            MarkWord(w);
        ClearBeyondRecordCount();
        return;
    }
    const int32_t words = std::min(WordCount_, other.WordCount_);
    const int32_t blocks = static_cast<int32_t>(other.Marks_.size()) * 64;
    for (int32_t b = other.NextMarkedBlock(0); b < blocks && b * BLOCK_WORDS < words; b = other.NextMarkedBlock(b + 1)) {
        const int32_t from = b * BLOCK_WORDS;
        const int32_t to = std::min(from + BLOCK_WORDS, words);
        for (int32_t w = from; w < to; ++w)
            Bits_[w] |= other.Bits_[w];
        MarkWord(from);
    }
    ClearBeyondRecordCount();
}

void TRecordsBitmap::Invert()
{
    if (Full_) {
        Full_ = false;
        return;
    }
    for (int32_t w = 0; w < WordCount_; ++w)
        Bits_[w] = ~Bits_[w];
    MarkAllThrough(WordCount_);
    ClearBeyondRecordCount();
}

void TRecordsBitmap::ClearAll()
{
    const int32_t blocks = static_cast<int32_t>(Marks_.size()) * 64;
    for (int32_t b = NextMarkedBlock(0); b < blocks; b = NextMarkedBlock(b + 1))
        std::fill_n(Bits_.begin() + b * BLOCK_WORDS, BLOCK_WORDS, 0u);
    std::fill(Marks_.begin(), Marks_.end(), 0u);
    Full_ = false;
}

void TRecordsBitmap::SetAll()
{
    ClearAll();
    Full_ = RecordCount_ > 0;
}

void TRecordsBitmap::Assign(const TRecordsBitmap& other)
{
    if (&other == this)
        return;
    if (Capacity_ < other.Capacity_) {
        ResizeBlock(static_cast<size_t>(other.Capacity_) / 4);
        Capacity_ = other.Capacity_;
    }
    ClearAll();
    RecordCount_ = other.RecordCount_;
    BitCount_ = other.BitCount_;
    WordCount_ = other.WordCount_;
    Full_ = other.Full_;
    const int32_t blocks = static_cast<int32_t>(other.Marks_.size()) * 64;
    for (int32_t b = other.NextMarkedBlock(0); b < blocks; b = other.NextMarkedBlock(b + 1)) {
        const int32_t from = b * BLOCK_WORDS;
        std::copy_n(other.Bits_.begin() + from, BLOCK_WORDS, Bits_.begin() + from);
        MarkWord(from);
    }
}

TRecordsBitmapStack::TRecordsBitmapStack()
{
    Items_.reserve(POOL_LIMIT);
}

TRecordsBitmapStack::~TRecordsBitmapStack()
{
    for (TRecordsBitmap* bitmap : Items_)
        delete bitmap;
}

TRecordsBitmap* TRecordsBitmapStack::Pop()
{
    TRecordsBitmap* bitmap = nullptr;
    {
        std::lock_guard<std::mutex> lock(Section_);
        if (!Items_.empty()) {
            bitmap = Items_.back();
            Items_.pop_back();
        }
    }
    if (bitmap == nullptr)
        return new TRecordsBitmap();
    bitmap->ClearAll();
    return bitmap;
}

void TRecordsBitmapStack::Push(TRecordsBitmap*& bitmap)
{
    if (bitmap == nullptr)
        return;
    TRecordsBitmap* surplus = bitmap;
    bitmap = nullptr;
    {
        std::lock_guard<std::mutex> lock(Section_);
        if (static_cast<int>(Items_.size()) < POOL_LIMIT) {
            Items_.push_back(surplus);
            surplus = nullptr;
        }
    }
    delete surplus;
}

int TRecordsBitmapStack::Size() const
{
    std::lock_guard<std::mutex> lock(Section_);
    return static_cast<int>(Items_.size());
}

TRecordsBitmapStack* RecordsBitmapStack = nullptr;

TRecordsBitmap* AllocRecordsBitmap()
{
    if (RecordsBitmapStack == nullptr)
        return new TRecordsBitmap();
    return RecordsBitmapStack->Pop();
}

void ReleaseRecordsBitmap(TRecordsBitmap*& bitmap)
{
    if (RecordsBitmapStack == nullptr) {
        delete bitmap;
        bitmap = nullptr;
        return;
    }
    RecordsBitmapStack->Push(bitmap);
}

}  // namespace kura

#pragma once
// A set of record numbers held as blocks of 512 bits. A transaction's record
// locks come in runs of consecutive numbers, tens of thousands at a time: taking
// and giving them back costs a bit operation each instead of a tree node apiece,
// while scattered numbers still cost only the blocks they fall in.
#include <algorithm>
#include <array>
#include <cstdint>
#include <map>
#include <vector>

namespace kura {

class TRecordNumberSet {
public:
    bool Contains(uint32_t n) const {
        const auto it = FBlocks.find(n >> BLOCK_SHIFT);
        return it != FBlocks.end() && (it->second[WordOf(n)] >> BitOf(n) & 1u) != 0;
    }
    void Insert(uint32_t n) {
        TBlock& block = Block(n);
        uint64_t& word = block[WordOf(n)];
        const uint64_t bit = uint64_t{1} << BitOf(n);
        if ((word & bit) != 0) return;
        ++FSize;
        // Joins the runs on either side, or starts one of its own.
        FRuns = FRuns + 1 - Neighbours(block, n);
        word |= bit;
    }
    // first, first + 1, ..., first + count - 1 (no wrap past the largest number).
    void InsertRun(uint32_t first, uint32_t count) {
        for (uint64_t n = first; n < uint64_t{first} + count;) {
            TBlock& block = Block(static_cast<uint32_t>(n));
            const uint64_t blockEnd = ((n >> BLOCK_SHIFT) + 1) << BLOCK_SHIFT;
            for (const uint64_t end = std::min<uint64_t>(blockEnd, uint64_t{first} + count); n < end; ++n) {
                const auto r = static_cast<uint32_t>(n);
                const uint64_t bit = uint64_t{1} << BitOf(r);
                if ((block[WordOf(r)] & bit) != 0) continue;
                ++FSize;
                FRuns = FRuns + 1 - Neighbours(block, r);
                block[WordOf(r)] |= bit;
            }
        }
    }
    void Erase(uint32_t n) {
        const auto it = FBlocks.find(n >> BLOCK_SHIFT);
        if (it == FBlocks.end()) return;
        uint64_t& word = it->second[WordOf(n)];
        const uint64_t bit = uint64_t{1} << BitOf(n);
        if ((word & bit) == 0) return;
        word &= ~bit;
        --FSize;
        // Splits its run in two, shortens it, or ends it.
        FRuns = FRuns + Neighbours(it->second, n) - 1;
        for (uint64_t w : it->second)
            if (w != 0) return;
        FBlocks.erase(it);
    }
    std::vector<uint32_t> Ascending() const {
        std::vector<uint32_t> numbers;
        numbers.reserve(FSize);
        for (const auto& [key, block] : FBlocks) {
            for (uint32_t w = 0; w < WORDS; ++w) {
                for (uint64_t bits = block[w]; bits != 0; bits &= bits - 1)
                    numbers.push_back((key << BLOCK_SHIFT) + w * 64u + static_cast<uint32_t>(__builtin_ctzll(bits)));
            }
        }
        return numbers;
    }
    std::size_t Size() const { return FSize; }
    // Runs of consecutive numbers: what the set would be as ranges.
    std::size_t Runs() const { return FRuns; }
    void Clear() {
        FBlocks.clear();
        FSize = 0;
        FRuns = 0;
    }

private:
    static constexpr uint32_t BLOCK_SHIFT = 9;
    static constexpr uint32_t WORDS = (1u << BLOCK_SHIFT) / 64u;
    using TBlock = std::array<uint64_t, WORDS>;
    static uint32_t WordOf(uint32_t n) { return (n >> 6) & (WORDS - 1); }
    static uint32_t BitOf(uint32_t n) { return n & 63u; }
    TBlock& Block(uint32_t n) { return FBlocks.try_emplace(n >> BLOCK_SHIFT).first->second; }
    static bool Has(const TBlock& block, uint32_t n) { return (block[WordOf(n)] >> BitOf(n) & 1u) != 0; }
    // How many of n - 1 and n + 1 are in the set; `block` is n's. A neighbour in
    // the next or previous block is looked up there.
    std::size_t Neighbours(const TBlock& block, uint32_t n) const {
        constexpr uint32_t LAST_IN_BLOCK = (1u << BLOCK_SHIFT) - 1;
        std::size_t count = 0;
        if ((n & LAST_IN_BLOCK) != 0)
            count += Has(block, n - 1) ? 1 : 0;
        else if (n != 0)
            count += Contains(n - 1) ? 1 : 0;
        if ((n & LAST_IN_BLOCK) != LAST_IN_BLOCK)
            count += Has(block, n + 1) ? 1 : 0;
        else if (n != UINT32_MAX)
            count += Contains(n + 1) ? 1 : 0;
        return count;
    }

    std::map<uint32_t, TBlock> FBlocks;
    std::size_t FSize = 0;
    std::size_t FRuns = 0;
};

}  // namespace kura

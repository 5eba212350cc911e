#pragma once
// A hash map from a 32-bit number (record, block or page number) to the cached
// item of that number, for the file caches. Open addressing with linear probing
// and backward-shift removal: no allocation per entry, so a cache that recycles
// an item on every miss does not also free and allocate a map node each time.
//
// Every number maps to at most one non-null item. The table doubles when it
// would be more than half full and halves when under an eighth full, so lookups
// stay short however far a transaction grew the cache.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kura {

template <typename T>
class TNumberMap {
public:
    std::size_t Size() const { return FSize; }

    T* Find(uint32_t number) const {
        if (FSize == 0) return nullptr;
        for (std::size_t i = Home(number);; i = (i + 1) & FMask) {
            const Slot& s = FSlots[i];
            if (!s.Item) return nullptr;
            if (s.Number == number) return s.Item;
        }
    }

    // Maps the number to `item`; returns the item it was mapped to before, or
    // nullptr when it was free.
    T* Put(uint32_t number, T* item) {
        if ((FSize + 1) * 2 > FSlots.size()) Resize(FSlots.empty() ? MIN_SLOTS : FSlots.size() * 2);
        for (std::size_t i = Home(number);; i = (i + 1) & FMask) {
            Slot& s = FSlots[i];
            if (!s.Item) {
                s = Slot{number, item};
                ++FSize;
                return nullptr;
            }
            if (s.Number == number) {
                T* old = s.Item;
                s.Item = item;
                return old;
            }
        }
    }

    // Removes the number when it maps to `item`; false (nothing removed) otherwise.
    bool Erase(uint32_t number, const T* item) {
        if (FSize == 0) return false;
        std::size_t i = Home(number);
        for (;; i = (i + 1) & FMask) {
            const Slot& s = FSlots[i];
            if (!s.Item) return false;
            if (s.Number == number) break;
        }
        if (FSlots[i].Item != item) return false;
        // Later entries of the probe run move back over the hole, so a lookup
        // never stops early at an empty slot that used to be occupied.
        std::size_t hole = i;
        for (std::size_t j = (i + 1) & FMask; FSlots[j].Item; j = (j + 1) & FMask) {
            const std::size_t home = Home(FSlots[j].Number);
            // The entry may fill the hole when its home does not lie in (hole, j].
            if (((j - home) & FMask) >= ((j - hole) & FMask)) {
                FSlots[hole] = FSlots[j];
                hole = j;
            }
        }
        FSlots[hole] = Slot{};
        --FSize;
        if (FSlots.size() > MIN_SLOTS && FSize * 8 < FSlots.size()) Resize(FSlots.size() / 2);
        return true;
    }

    void Clear() {
        FSlots.clear();
        FSlots.shrink_to_fit();
        FMask = 0;
        FSize = 0;
    }

    // Room for `count` entries without growing.
    void Reserve(std::size_t count) {
        std::size_t slots = MIN_SLOTS;
        while (slots < count * 2) slots *= 2;
        if (slots > FSlots.size()) Resize(slots);
    }

    // Calls visit(item) for every entry, in no particular order. The map must not
    // change meanwhile.
    template <typename Visit>
    void ForEach(Visit&& visit) const {
        for (const Slot& s : FSlots)
            if (s.Item) visit(s.Item);
    }

private:
    struct Slot {
        uint32_t Number = 0;
        T* Item = nullptr;
    };
    static constexpr std::size_t MIN_SLOTS = 16;

    std::vector<Slot> FSlots;
    std::size_t FMask = 0;
    std::size_t FSize = 0;

    // Fibonacci hashing: consecutive numbers spread over the whole table.
    std::size_t Home(uint32_t number) const {
        return static_cast<std::size_t>((static_cast<uint64_t>(number) * 0x9E3779B97F4A7C15ULL) >> 32) & FMask;
    }

    void Resize(std::size_t slots) {
        std::vector<Slot> old;
        old.swap(FSlots);
        FSlots.assign(slots, Slot{});
        FMask = slots - 1;
        FSize = 0;
        for (const Slot& s : old)
            if (s.Item) Put(s.Number, s.Item);
    }
};

}  // namespace kura

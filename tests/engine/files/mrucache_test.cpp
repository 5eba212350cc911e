// The file caches' recycling order and lookups, against the cache they replaced:
// a sorted list searched by bisection, whose recycling search walked the whole
// chain from its old end every time. Both run the same random mix of reads,
// changes, pins, flushes, transactions, trims and drops; after every step they
// must hold the same numbers in the same most-recently-used order, with the same
// capacity. The number map underneath is checked against std::map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <memory>
#include <iterator>
#include <random>
#include <type_traits>
#include <unordered_set>
#include <vector>

#include "engine/files/MruCache.h"
#include "engine/files/NumberMap.h"

using namespace kura;

namespace {

struct Item {
    Item* Newer = nullptr;
    Item* Older = nullptr;
    uint32_t Number = 0;
    uint8_t Modified = 0;
    uint16_t PinCount = 0;
};

// The cache as it was: items in a vector sorted by number, the recycling search
// a walk from the tail over every item.
template <typename T, T* T::*Newer, T* T::*Older, uint32_t T::*Number>
class TSortedMruCache {
public:
    std::vector<T*> Items;  // sorted by number
    T* Head = nullptr;      // most recently used
    T* Tail = nullptr;      // least recently used
    int32_t Capacity = 0;

    int32_t Count() const { return static_cast<int32_t>(Items.size()); }

    void LinkHead(T* item) {
        item->*Newer = nullptr;
        item->*Older = Head;
        if (Head) Head->*Newer = item;
        Head = item;
        if (!Tail) Tail = item;
    }

    void Unlink(T* item) {
        if (item->*Newer)
            (item->*Newer)->*Older = item->*Older;
        else if (Head == item)
            Head = item->*Older;
        if (item->*Older)
            (item->*Older)->*Newer = item->*Newer;
        else if (Tail == item)
            Tail = item->*Newer;
        item->*Older = item->*Newer = nullptr;
    }

    void MoveToHead(T* item) {
        if (Head == item) return;
        Unlink(item);
        LinkHead(item);
    }

    template <typename Index>
    bool Find(uint32_t number, Index& index) const {
        auto it = std::lower_bound(Items.begin(), Items.end(), number,
                                   [](const T* item, uint32_t n) { return item->*Number < n; });
        index = static_cast<Index>(it - Items.begin());
        return it != Items.end() && (*it)->*Number == number;
    }

    T* Lookup(uint32_t number, int32_t probes) const {
        T* item = Head;
        for (int32_t i = 0; i < probes && item; ++i, item = item->*Older)
            if (item->*Number == number) return item;
        std::size_t index = 0;
        return Find(number, index) ? Items[index] : nullptr;
    }

    void InsertAt(std::size_t index, T* item) { Items.insert(Items.begin() + static_cast<std::ptrdiff_t>(index), item); }
    void EraseAt(std::size_t index) { Items.erase(Items.begin() + static_cast<std::ptrdiff_t>(index)); }

    template <typename Corrupt>
    void Remove(T* item, Corrupt&& corrupt) {
        std::size_t index = 0;
        if (!Find(item->*Number, index) || Items[index] != item) {
            corrupt();
            return;
        }
        EraseAt(index);
    }

    T* FindRecyclable() const {
        for (T* item = Tail; item; item = item->*Newer)
            if (!(item->Modified) && item->PinCount == 0) return item;
        return nullptr;
    }

    template <typename Flush, typename Corrupt>
    T* TakeRecyclable(Flush&& flush, Corrupt&& corrupt) {
        T* item = FindRecyclable();
        if (!item && flush()) item = FindRecyclable();
        if (item) {
            Remove(item, corrupt);
            Unlink(item);
        }
        return item;
    }

    template <typename Take, typename Fresh>
    T* Acquire(int32_t growth, Take&& take, Fresh&& fresh) {
        T* item = nullptr;
        if (Count() < Capacity) {
            item = fresh();
        } else {
            item = take();
            if (!item) {
                Capacity += growth;
                item = fresh();
            }
        }
        LinkHead(item);
        return item;
    }

    template <typename Flush, typename Corrupt, typename Release>
    void Trim(int32_t limit, Flush&& flush, Corrupt&& corrupt, Release&& release) {
        const std::size_t excess = Count() > limit ? static_cast<std::size_t>(Count() - limit) : 0;
        std::vector<T*> victims;
        auto collect = [&] {
            victims.clear();
            for (T* item = Tail; item && victims.size() < excess; item = item->*Newer)
                if (!(item->Modified) && item->PinCount == 0) victims.push_back(item);
        };
        if (excess > 0) {
            collect();
            if (victims.size() < excess && flush()) collect();
        }
        for (T* item : victims) Unlink(item);
        if (!victims.empty()) {
            const std::unordered_set<T*> gone(victims.begin(), victims.end());
            const std::size_t before = Items.size();
            std::erase_if(Items, [&](T* item) { return gone.count(item) != 0; });
            if (before - Items.size() != victims.size()) corrupt();
            for (T* item : victims) release(item);
        }
        Capacity = std::max(Count(), limit);
    }

    template <typename Release>
    void DropAll(Release&& release) {
        for (T* item : Items) {
            item->*Older = item->*Newer = nullptr;
            release(item);
        }
        Items.clear();
        Head = Tail = nullptr;
    }
};


using TNewCache = TMruCache<Item, &Item::Newer, &Item::Older, &Item::Number>;
using TOldCache = TSortedMruCache<Item, &Item::Newer, &Item::Older, &Item::Number>;

constexpr int32_t GROWTH = 64;

// What the owning file does around either cache: reads through it, writes dirty
// items at a flush (not inside a transaction), keeps pinned items it dropped.
template <typename Cache>
struct Owner {
    Cache cache;
    std::vector<std::unique_ptr<Item>> items;
    std::vector<Item*> pinned;  // in pin order, the same on both sides
    bool inTransaction = false;

    Item* Fresh() {
        items.push_back(std::make_unique<Item>());
        return items.back().get();
    }

    void CleanAll() {
        auto clean = [](Item* item) {
            if (item->Modified && item->PinCount == 0) item->Modified = 0;
        };
        if constexpr (std::is_same_v<Cache, TNewCache>) {
            cache.Unpark();
            cache.ForEach(clean);
        } else {
            for (Item* item : cache.Items) clean(item);
        }
    }

    bool Flush() {
        if (inTransaction) return false;
        CleanAll();
        return true;
    }

    Item* Get(uint32_t number) {
        if constexpr (std::is_same_v<Cache, TNewCache>) {
            return cache.Find(number);
        } else {
            std::size_t index = 0;
            return cache.Find(number, index) ? cache.Items[index] : nullptr;
        }
    }

    void Enter(Item* item) {
        if constexpr (std::is_same_v<Cache, TNewCache>) {
            cache.Insert(item, [] { FAIL() << "number taken"; });
        } else {
            std::size_t index = 0;
            ASSERT_FALSE(cache.Find(item->Number, index));
            cache.InsertAt(index, item);
        }
    }

    Item* Read(uint32_t number) {
        if (Item* hit = cache.Lookup(number, 4)) {
            cache.MoveToHead(hit);
            return hit;
        }
        Item* item = cache.Acquire(
            GROWTH,
            [this] { return cache.TakeRecyclable([this] { return Flush(); }, [] { ADD_FAILURE() << "lost"; }); },
            [this] { return Fresh(); });
        item->Number = number;
        item->Modified = 0;
        Enter(item);
        return item;
    }

    void Trim(int32_t limit) {
        cache.Trim(
            limit, [this] { return Flush(); }, [] { ADD_FAILURE() << "lost"; }, [](Item*) {});
    }

    void Drop() {
        cache.DropAll([](Item*) {});
    }

    std::vector<uint32_t> Order() const {
        std::vector<uint32_t> numbers;
        for (Item* item = cache.Head; item; item = item->Older) numbers.push_back(item->Number);
        return numbers;
    }
};

TEST(MruCache, RecyclesAndOrdersAsTheSortedCacheDid) {
    for (uint32_t seed = 1; seed <= 12; ++seed) {
        std::mt19937 rng(seed);
        Owner<TOldCache> before;
        Owner<TNewCache> after;
        const int32_t capacity = static_cast<int32_t>(4 + rng() % 40);
        before.cache.Capacity = after.cache.Capacity = capacity;
        const uint32_t numbers = 50 + rng() % 400;
        for (int step = 0; step < 6000; ++step) {
            const uint32_t op = rng() % 100;
            const uint32_t number = 1 + rng() % numbers;
            if (op < 45) {
                before.Read(number);
                after.Read(number);
            } else if (op < 70) {
                // A change: inside a transaction these pile up until the commit.
                before.Read(number)->Modified = 1;
                after.Read(number)->Modified = 1;
            } else if (op < 76) {
                Item* a = before.Read(number);
                Item* b = after.Read(number);
                ++a->PinCount;
                ++b->PinCount;
                before.pinned.push_back(a);
                after.pinned.push_back(b);
            } else if (op < 84) {
                if (!before.pinned.empty()) {
                    const std::size_t k = rng() % before.pinned.size();
                    --before.pinned[k]->PinCount;
                    --after.pinned[k]->PinCount;
                    before.pinned.erase(before.pinned.begin() + static_cast<std::ptrdiff_t>(k));
                    after.pinned.erase(after.pinned.begin() + static_cast<std::ptrdiff_t>(k));
                }
            } else if (op < 88) {
                // A transaction starts, or commits with a flush of everything.
                const bool start = !before.inTransaction;
                before.inTransaction = after.inTransaction = start;
                if (!start) {
                    before.CleanAll();
                    after.CleanAll();
                }
            } else if (op < 93) {
                before.Flush();
                after.Flush();
            } else if (op < 99) {
                const int32_t limit = static_cast<int32_t>(2 + rng() % 40);
                before.Trim(limit);
                after.Trim(limit);
            } else {
                before.Drop();
                after.Drop();
            }
            ASSERT_EQ(after.Order(), before.Order()) << "seed " << seed << " step " << step;
            ASSERT_EQ(after.cache.Count(), before.cache.Count()) << "seed " << seed << " step " << step;
            ASSERT_EQ(after.cache.Capacity, before.cache.Capacity) << "seed " << seed << " step " << step;
            ASSERT_EQ(after.Get(number) != nullptr, before.Get(number) != nullptr);
        }
        // Every item the chain holds is found under its number.
        for (Item* item = after.cache.Head; item; item = item->Older) ASSERT_EQ(after.Get(item->Number), item);
    }
}

TEST(MruCache, ATransactionOfChangesDoesNotSearchTheWholeChainEachTime) {
    // A long transaction: every cached item is modified, so each new item grows
    // the cache; what must stay small is the work of the failed searches.
    Owner<TNewCache> owner;
    owner.cache.Capacity = 16;
    owner.inTransaction = true;
    for (uint32_t n = 1; n <= 200000; ++n) owner.Read(n)->Modified = 1;
    EXPECT_EQ(owner.cache.Count(), 200000);
    EXPECT_GE(owner.cache.Capacity, 200000);
    // After the commit the oldest items are the first recycled, as before.
    owner.inTransaction = false;
    owner.CleanAll();
    owner.cache.Capacity = owner.cache.Count();
    owner.Read(300000);
    EXPECT_EQ(owner.Get(1), nullptr);
    EXPECT_NE(owner.Get(2), nullptr);
}

TEST(NumberMap, AgreesWithAnOrderedMap) {
    std::mt19937 rng(7);
    TNumberMap<Item> map;
    std::map<uint32_t, Item*> model;
    std::vector<std::unique_ptr<Item>> items;
    for (int round = 0; round < 4; ++round) {
        // Dense and sparse numbers, and numbers that share their low bits.
        const uint32_t range = round == 0 ? 64 : round == 1 ? 5000 : round == 2 ? 0xFFFFFFFFu : 1u << 20;
        for (int step = 0; step < 40000; ++step) {
            uint32_t number = rng() % range;
            if (round == 3) number <<= 12;
            const uint32_t op = rng() % 10;
            if (op < 5) {
                items.push_back(std::make_unique<Item>());
                Item* item = items.back().get();
                auto it = model.find(number);
                Item* previous = it == model.end() ? nullptr : it->second;
                ASSERT_EQ(map.Put(number, item), previous);
                model[number] = item;
            } else if (op < 9) {
                auto it = model.find(number);
                // Erasing under another item's pointer must not take the entry.
                Item other;
                ASSERT_FALSE(map.Erase(number, &other));
                ASSERT_EQ(map.Erase(number, it == model.end() ? nullptr : it->second), it != model.end());
                if (it != model.end()) model.erase(it);
            } else {
                auto it = model.find(number);
                ASSERT_EQ(map.Find(number), it == model.end() ? nullptr : it->second);
            }
            ASSERT_EQ(map.Size(), model.size());
        }
        std::unordered_set<Item*> seen;
        map.ForEach([&](Item* item) { seen.insert(item); });
        ASSERT_EQ(seen.size(), model.size());
        for (const auto& [number, item] : model) {
            ASSERT_EQ(map.Find(number), item);
            ASSERT_TRUE(seen.count(item));
        }
        // Emptying it entry by entry shrinks it without losing the rest.
        while (!model.empty()) {
            auto it = model.begin();
            std::advance(it, static_cast<std::ptrdiff_t>(rng() % model.size()));
            ASSERT_TRUE(map.Erase(it->first, it->second));
            model.erase(it);
            if (model.size() % 97 == 0) {
                for (const auto& [number, item] : model) ASSERT_EQ(map.Find(number), item);
            }
        }
        ASSERT_EQ(map.Size(), 0u);
        map.Clear();
    }
}

}  // namespace

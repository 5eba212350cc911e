#pragma once
// The cache shared by the data, BLOB and index files: items (records, blocks,
// pages) kept in a vector sorted by their number for lookups, and threaded on an
// intrusive most-recently-used chain that decides which one is recycled first.
//
// The item type supplies the chain links (Newer towards the head, Older towards
// the tail), its number, and the Modified and PinCount members: a modified or
// pinned item is never recycled. Pools, statistics and error codes stay with
// the owning file, which passes them in as callables.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace kura {

template <typename T, T* T::*Newer, T* T::*Older, uint32_t T::*Number>
class TMruCache {
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

    // True when an item of that number is cached; `index` is its place, or where
    // it would be inserted.
    template <typename Index>
    bool Find(uint32_t number, Index& index) const {
        auto it = std::lower_bound(Items.begin(), Items.end(), number,
                                   [](const T* item, uint32_t n) { return item->*Number < n; });
        index = static_cast<Index>(it - Items.begin());
        return it != Items.end() && (*it)->*Number == number;
    }

    // The cached item of that number, or nullptr. The `probes` most recent ones
    // are tried first: sequential work mostly hits the head of the chain.
    T* Lookup(uint32_t number, int32_t probes) const {
        T* item = Head;
        for (int32_t i = 0; i < probes && item; ++i, item = item->*Older)
            if (item->*Number == number) return item;
        std::size_t index = 0;
        return Find(number, index) ? Items[index] : nullptr;
    }

    void InsertAt(std::size_t index, T* item) { Items.insert(Items.begin() + static_cast<std::ptrdiff_t>(index), item); }
    void EraseAt(std::size_t index) { Items.erase(Items.begin() + static_cast<std::ptrdiff_t>(index)); }

    // Takes the item out of the sorted list; `corrupt` (which raises) when it is
    // not found at its number's place.
    template <typename Corrupt>
    void Remove(T* item, Corrupt&& corrupt) {
        std::size_t index = 0;
        if (!Find(item->*Number, index) || Items[index] != item) {
            corrupt();
            return;
        }
        EraseAt(index);
    }

    // The least recently used item that is neither modified nor pinned.
    T* FindRecyclable() const {
        for (T* item = Tail; item; item = item->*Newer)
            if (!(item->Modified) && item->PinCount == 0) return item;
        return nullptr;
    }

    // A recyclable item taken out of the list and the chain, or nullptr. When none
    // is clean, `flush` writes the modified ones and says whether it could (it may
    // not inside a transaction); then the search is repeated.
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

    // An item for a new entry, linked as most recent but not yet in the sorted
    // list: a `fresh` one while the cache is below capacity, else one `take`
    // recycles; when nothing can be recycled the cache grows by `growth`.
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

    // Evicts (through `evict`, false when nothing could go) down to `limit` items;
    // the capacity then is the limit, or what could not be evicted.
    // Shrinks the cache towards `limit`, recycling from the least recently used
    // end as TakeRecyclable does (flushing once when the clean items run out), but
    // taking all victims out of the sorted list in one pass: trimming after a large
    // transaction must not shift the whole list once per item. Each victim then
    // goes to `release`.
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
            // Nothing has been taken out yet, so a flush that raises leaves the
            // cache as it was.
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

    // Empties the cache; each item leaves the chain and goes to `release`.
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

}  // namespace kura

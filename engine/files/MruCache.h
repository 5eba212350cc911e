#pragma once
// The cache shared by the data, BLOB and index files: items (records, blocks,
// pages) found by their number through a hash map, and threaded on an intrusive
// most-recently-used chain that decides which one is recycled first.
//
// The item type supplies the chain links (Newer towards the head, Older towards
// the tail), its number, and the Modified and PinCount members: a modified or
// pinned item is never recycled. Pools, statistics and error codes stay with
// the owning file, which passes them in as callables.
//
// Recycling takes the least recently used item that is neither modified nor
// pinned. Inside a transaction modified items pile up at the old end of the chain
// and cannot leave before the next flush; so that each search does not walk over
// all of them again, the run of modified items at the tail is "parked": the
// search starts just before it. Parking changes no order; `Unpark` (called by the
// owner before every flush, and by anything that may have cleaned items) makes the
// whole chain searchable again.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/files/NumberMap.h"

namespace kura {

template <typename T, T* T::*Newer, T* T::*Older, uint32_t T::*Number>
class TMruCache {
public:
    T* Head = nullptr;  // most recently used
    T* Tail = nullptr;  // least recently used
    int32_t Capacity = 0;

    int32_t Count() const { return static_cast<int32_t>(FItems.Size()); }
    void Reserve(int32_t count) { FItems.Reserve(static_cast<std::size_t>(std::max(count, 0))); }

    // The cached item of that number, or nullptr.
    T* Find(uint32_t number) const { return FItems.Find(number); }

    // Enters the item under its number; returns the item that held the number
    // before (which is then no longer in the map), or nullptr.
    T* Replace(T* item) { return FItems.Put(item->*Number, item); }

    // Enters the item; `corrupt` (which raises) when the number is taken.
    template <typename Corrupt>
    void Insert(T* item, Corrupt&& corrupt) {
        if (FItems.Find(item->*Number)) {
            corrupt();
            return;
        }
        FItems.Put(item->*Number, item);
    }

    // Takes the item out of the map; `corrupt` (which raises) when its number does
    // not lead to it.
    template <typename Corrupt>
    void Remove(T* item, Corrupt&& corrupt) {
        if (!FItems.Erase(item->*Number, item)) corrupt();
    }

    // The cached items that `wanted` selects, in ascending number order.
    template <typename Wanted>
    std::vector<T*> SortedWhere(Wanted&& wanted) const {
        std::vector<T*> items;
        FItems.ForEach([&](T* item) {
            if (wanted(item)) items.push_back(item);
        });
        if (items.size() < 2) return items;
        // The numbers are unique; dirty items of a flush usually lie close together
        // (a run of appended records, the rows of an UPDATE a few slots apart):
        // then each is put straight into its place, where a sort would look at
        // each item's number many times over.
        uint32_t low = UINT32_MAX;
        uint32_t high = 0;
        for (const T* item : items) {
            low = std::min(low, item->*Number);
            high = std::max(high, item->*Number);
        }
        const uint64_t span = uint64_t{high} - low + 1;
        if (span > 16 * uint64_t{items.size()} + 64) {
            std::sort(items.begin(), items.end(), [](const T* a, const T* b) { return a->*Number < b->*Number; });
            return items;
        }
        std::vector<T*> places(static_cast<std::size_t>(span), nullptr);
        for (T* item : items) places[item->*Number - low] = item;
        std::size_t at = 0;
        for (T* item : places)
            if (item) items[at++] = item;
        return items;
    }

    void LinkHead(T* item) {
        item->*Newer = nullptr;
        item->*Older = Head;
        if (Head) Head->*Newer = item;
        Head = item;
        if (!Tail) Tail = item;
    }

    void Unlink(T* item) {
        // The parked run loses its newest member, or ends when that was the tail.
        if (FParked == item) FParked = item->*Older;
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

    // Makes the whole chain searchable again: parked items may have been written.
    void Unpark() { FParked = nullptr; }

    // The cached item of that number, or nullptr. The `probes` most recent ones
    // are tried first: sequential work mostly hits the head of the chain.
    T* Lookup(uint32_t number, int32_t probes) const {
        T* item = Head;
        for (int32_t i = 0; i < probes && item; ++i, item = item->*Older)
            if (item->*Number == number) return item;
        return FItems.Find(number);
    }

    // The least recently used item that is neither modified nor pinned. Modified
    // items met right next to the parked run join it.
    T* FindRecyclable() {
        bool extending = true;
        for (T* item = FParked ? FParked->*Newer : Tail; item; item = item->*Newer) {
            if (!(item->Modified) && item->PinCount == 0) return item;
            if (extending && item->Modified)
                FParked = item;
            else
                extending = false;
        }
        return nullptr;
    }

    // A recyclable item taken out of the map and the chain, or nullptr. When none
    // is clean, `flush` writes the modified ones and says whether it could (it may
    // not inside a transaction); then the search is repeated.
    template <typename Flush, typename Corrupt>
    T* TakeRecyclable(Flush&& flush, Corrupt&& corrupt) {
        T* item = FindRecyclable();
        if (!item && flush()) {
            Unpark();
            item = FindRecyclable();
        }
        if (item) {
            Remove(item, corrupt);
            Unlink(item);
        }
        return item;
    }

    // An item for a new entry, linked as most recent but not yet in the map: a
    // `fresh` one while the cache is below capacity, else one `take` recycles;
    // when nothing can be recycled the cache grows by `growth`.
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

    // Shrinks the cache towards `limit`, recycling from the least recently used
    // end as TakeRecyclable does (flushing once when the clean items run out), but
    // collecting all victims in one walk. Each victim goes to `release`; the
    // capacity then is the limit, or what could not be evicted.
    template <typename Flush, typename Corrupt, typename Release>
    void Trim(int32_t limit, Flush&& flush, Corrupt&& corrupt, Release&& release) {
        const std::size_t excess = Count() > limit ? static_cast<std::size_t>(Count() - limit) : 0;
        std::vector<T*> victims;
        auto collect = [&] {
            victims.clear();
            for (T* item = Tail; item && victims.size() < excess; item = item->*Newer)
                if (!(item->Modified) && item->PinCount == 0) victims.push_back(item);
        };
        Unpark();
        if (excess > 0) {
            collect();
            // Nothing has been taken out yet, so a flush that raises leaves the
            // cache as it was.
            if (victims.size() < excess && flush()) collect();
        }
        bool lost = false;
        for (T* item : victims) {
            Unlink(item);
            if (!FItems.Erase(item->*Number, item)) lost = true;
        }
        if (lost) corrupt();
        for (T* item : victims) release(item);
        Capacity = std::max(Count(), limit);
    }

    // Empties the cache; each item leaves the chain and goes to `release`.
    template <typename Release>
    void DropAll(Release&& release) {
        std::vector<T*> items;
        items.reserve(FItems.Size());
        FItems.ForEach([&](T* item) { items.push_back(item); });
        FItems.Clear();
        Head = Tail = FParked = nullptr;
        for (T* item : items) {
            item->*Older = item->*Newer = nullptr;
            release(item);
        }
    }

    // Calls visit(item) for every cached item, in no particular order.
    template <typename Visit>
    void ForEach(Visit&& visit) const {
        FItems.ForEach(visit);
    }

private:
    TNumberMap<T> FItems;
    // The newest item of the run of modified items ending at the tail that the
    // recycling search skips; nullptr when there is none.
    T* FParked = nullptr;
};

}  // namespace kura

#include "engine/files/StringList.h"

#include <algorithm>

#include "platform/Locale.h"

namespace kura {

const std::string& TStringList::Get(int32_t index) const {
    if (index < 0 || index >= Count()) throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
    return FItems[static_cast<size_t>(index)];
}

int32_t TStringList::Add(const std::string& s) {
    if (!FSorted) {
        FItems.push_back(s);
        return Count() - 1;
    }
    int32_t index = 0;
    if (Find(s, index)) {
        if (FDuplicates == TDuplicates::dupIgnore) return index;
        if (FDuplicates == TDuplicates::dupError) throw EStringListError("String list does not allow duplicates");
    }
    FItems.insert(FItems.begin() + index, s);
    return index;
}

void TStringList::Insert(int32_t index, const std::string& s) {
    if (FSorted) throw EStringListError("Operation not allowed on sorted list");
    if (index < 0 || index > Count()) throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
    FItems.insert(FItems.begin() + index, s);
}

void TStringList::Delete(int32_t index) {
    if (index < 0 || index >= Count()) throw EStringListError("List index out of bounds (" + std::to_string(index) + ")");
    FItems.erase(FItems.begin() + index);
}

int32_t TStringList::IndexOf(const std::string& s) {
    if (FSorted) {
        int32_t index = 0;
        return Find(s, index) ? index : -1;
    }
    for (int32_t i = 0; i < Count(); ++i)
        if (CompareStrings(FItems[static_cast<size_t>(i)], s) == 0) return i;
    return -1;
}

void TStringList::SetSorted(bool value) {
    if (value && !FSorted) Sort();
    FSorted = value;
}

bool TStringList::Find(const std::string& s, int32_t& index) {
    // Keeps searching to the left after a hit, so the first of equal strings is found.
    bool found = false;
    int32_t low = 0;
    int32_t high = Count() - 1;
    while (low <= high) {
        const int32_t mid = low + (high - low) / 2;
        const int32_t c = CompareStrings(FItems[static_cast<size_t>(mid)], s);
        if (c < 0) {
            low = mid + 1;
        } else {
            high = mid - 1;
            if (c == 0) found = true;
        }
    }
    index = low;
    return found;
}

void TStringList::Sort() {
    // A stable sort keeps equal strings in their order and stays in bounds even if a
    // collation were not a strict order.
    std::stable_sort(FItems.begin(), FItems.end(),
                     [this](const std::string& a, const std::string& b) { return CompareStrings(a, b) < 0; });
}

int32_t TStringList::CompareStrings(const std::string& a, const std::string& b) const {
    // Up to a difference both texts agree on which bytes are trail bytes, so one flag
    // serves both; a trail byte is never folded.
    const size_t n = std::min(a.size(), b.size());
    bool trail = false;
    for (size_t i = 0; i < n; ++i) {
        auto ca = static_cast<uint8_t>(a[i]);
        auto cb = static_cast<uint8_t>(b[i]);
        if (!trail) {
            if (ca >= 'a' && ca <= 'z') ca = static_cast<uint8_t>(ca - 32);
            if (cb >= 'a' && cb <= 'z') cb = static_cast<uint8_t>(cb - 32);
        }
        if (ca != cb) return ca < cb ? -1 : 1;
        trail = !trail && platform::IsDBCSLeadByte(ca);
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace kura

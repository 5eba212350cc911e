#include "engine/files/StringList.h"

#include <algorithm>

#include "engine/files/NameRoutines.h"

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
    return CompareNameText(a, b);
}

}  // namespace kura

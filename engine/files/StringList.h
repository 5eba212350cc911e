#pragma once
// A list of strings, optionally kept sorted, with the duplicate handling of the
// original string list class. Subclasses change the order through CompareStrings,
// Find and Sort.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace kura {

enum class TDuplicates : uint8_t { dupIgnore, dupAccept, dupError };

class EStringListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TStringList {
public:
    TStringList() = default;
    virtual ~TStringList() = default;

    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    // Raises EStringListError for an index out of range.
    const std::string& Get(int32_t index) const;
    const std::string& operator[](int32_t index) const { return Get(index); }

    // On a sorted list the string goes to its place: an equal one already there is
    // kept alone under dupIgnore (its index is returned) and raises under dupError.
    int32_t Add(const std::string& s);
    // Not allowed on a sorted list.
    void Insert(int32_t index, const std::string& s);
    void Delete(int32_t index);
    void Clear() { FItems.clear(); }
    // Index of an equal string, -1 when there is none.
    int32_t IndexOf(const std::string& s);

    bool Sorted() const { return FSorted; }
    // Turning sorting on sorts the list at once.
    void SetSorted(bool value);
    TDuplicates Duplicates() const { return FDuplicates; }
    void SetDuplicates(TDuplicates value) { FDuplicates = value; }

    // Binary search of a sorted list. True when an equal string exists; index receives
    // the first equal string, or the place where s would be inserted.
    virtual bool Find(const std::string& s, int32_t& index);
    virtual void Sort();

protected:
    // Negative, zero or positive. The plain list compares bytes with ASCII letters
    // folded to upper case.
    virtual int32_t CompareStrings(const std::string& a, const std::string& b) const;

    std::vector<std::string> FItems;

private:
    bool FSorted = false;
    TDuplicates FDuplicates = TDuplicates::dupIgnore;
};

}  // namespace kura

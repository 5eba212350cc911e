#pragma once
// The definition lists of a table's restructure: the fields in their order and the
// indexes, read from the table's current definition. The table keeps them for the
// engine's maintenance operations; it runs no restructure itself.
//
// Each field item carries the engine field number of the table's field it stands
// for (0 for an item added to the list); index items and the full-text index name
// their key fields by the field items' names.
//
// Both lists read the table's definition when first used and are up to date from
// then on; a change of a table property (TableName, DatabaseName) marks them out of
// date, and their next use reads them again. Edits stay until then.
//
// FieldByName finds an item by name ignoring case and raises EDatabaseError with
// the dataset framework's field-not-found text when there is none.
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/dataset/DataTypes.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/FieldDefs.h"

namespace kura {

class TKuraTable;

class TRestructureFieldDef {
public:
    std::string Name;
    TFieldType DataType = ftUnknown;
    int32_t Size = 0;  // characters or bytes; decimals of ftBCD
    bool Required = false;
    uint16_t FieldNo = 0;  // the old field whose values it receives; 0: a new field
};

class TRestructureIndexDef {
public:
    std::string Name;    // ignored for the primary index
    std::string Fields;  // ";"-separated names of field items
    TIndexOptions Options = 0;
};

// The owning table and its items; items are freed from the last to the first.
template <typename T>
class TRestructureDefList {
public:
    explicit TRestructureDefList(TKuraTable* table) : FTable(table) {}
    ~TRestructureDefList() { Clear(); }
    TRestructureDefList(const TRestructureDefList&) = delete;
    TRestructureDefList& operator=(const TRestructureDefList&) = delete;

    TKuraTable* Table() const { return FTable; }
    int Count() const { return static_cast<int>(FItems.size()); }
    T& operator[](int i) { return *FItems.at(static_cast<std::size_t>(i)); }
    const T& operator[](int i) const { return *FItems.at(static_cast<std::size_t>(i)); }
    T& Add(T item) { return Insert(Count(), std::move(item)); }
    // at = Count() appends.
    T& Insert(int at, T item) {
        CheckPosition(at, Count());
        auto it = FItems.insert(FItems.begin() + at, std::make_unique<T>(std::move(item)));
        return **it;
    }
    void Delete(int at) {
        CheckPosition(at, Count() - 1);
        FItems.erase(FItems.begin() + at);
    }
    // The item at from goes to position to, the others keep their order.
    void Move(int from, int to) {
        CheckPosition(from, Count() - 1);
        CheckPosition(to, Count() - 1);
        auto item = std::move(FItems[static_cast<std::size_t>(from)]);
        FItems.erase(FItems.begin() + from);
        FItems.insert(FItems.begin() + to, std::move(item));
    }
    void Clear() {
        while (!FItems.empty()) FItems.pop_back();
    }
    // Ignoring case; -1 when none.
    int IndexOf(std::string_view name) const {
        for (std::size_t i = 0; i < FItems.size(); ++i)
            if (SameText(FItems[i]->Name, name)) return static_cast<int>(i);
        return -1;
    }
    T& FieldByName(std::string_view name) {
        const int at = IndexOf(name);
        if (at < 0) DatabaseErrorFmt(FieldNotFoundText, name);
        return (*this)[at];
    }
    bool Updated = false;

protected:
    static void CheckPosition(int at, int last) {
        if (at < 0 || at > last) DatabaseError("List index out of bounds (" + std::to_string(at) + ")");
    }
    TKuraTable* FTable;
    std::vector<std::unique_ptr<T>> FItems;
};

class TRestructureFieldDefs : public TRestructureDefList<TRestructureFieldDef> {
public:
    using TRestructureDefList::TRestructureDefList;
    using TRestructureDefList::Add;
    TRestructureFieldDef& Add(const std::string& name, TFieldType type, int32_t size = 0, bool required = false,
                              uint16_t fieldNo = 0) {
        return Add(TRestructureFieldDef{name, type, size, required, fieldNo});
    }
    // Reads the table's fields unless up to date.
    void Update();
};

class TRestructureIndexDefs : public TRestructureDefList<TRestructureIndexDef> {
public:
    using TRestructureDefList::TRestructureDefList;
    using TRestructureDefList::Add;
    TRestructureIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options) {
        return Add(TRestructureIndexDef{name, fields, options});
    }
    // The fields of the full-text index, ";"-separated names of field items; empty:
    // none.
    std::string TextIndexFields;
    // Reads the table's indexes unless up to date.
    void Update();
};

}  // namespace kura

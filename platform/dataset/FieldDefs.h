#pragma once
// Field and index definitions: what a dataset's fields and indexes are made of, as
// the dataset reads them from its source (InitFieldDefs, UpdateIndexDefs) or as a
// caller lists them to create a table. Both lists are "updated" once read; a change
// to the source marks them not updated, and Update reads them again through the
// dataset.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/dataset/DataTypes.h"

namespace kura {

class TDataSet;

struct TFieldDef {
    std::string Name;
    TFieldType DataType = ftUnknown;
    int32_t Size = 0;
    int32_t Precision = 0;
    bool Required = false;
    int32_t FieldNo = 0;  // 1-based position in the source; 0 until added
};

class TFieldDefs {
public:
    explicit TFieldDefs(TDataSet* dataSet = nullptr) : dataSet_(dataSet) {}

    // FieldNo is the next position when 0.
    TFieldDef& Add(const std::string& name, TFieldType type, int32_t size = 0, bool required = false);
    void Clear();
    int Count() const { return static_cast<int>(items_.size()); }
    TFieldDef& operator[](int i) { return items_.at(static_cast<std::size_t>(i)); }
    const TFieldDef& operator[](int i) const { return items_.at(static_cast<std::size_t>(i)); }
    // Case-insensitive; -1 when none.
    int IndexOf(std::string_view name) const;
    TFieldDef* Find(std::string_view name);
    void BeginUpdate() { ++updating_; }
    void EndUpdate();
    bool Updated = false;
    // Reads the definitions through the dataset unless they are up to date.
    void Update();
    // Called on every change outside an update.
    std::function<void()> OnChange;

private:
    TDataSet* dataSet_;
    std::vector<TFieldDef> items_;
    int updating_ = 0;
};

struct TIndexDef {
    std::string Name;
    std::string Fields;  // ";"-separated field names
    TIndexOptions Options = 0;
};

class TIndexDefs {
public:
    explicit TIndexDefs(TDataSet* dataSet = nullptr) : dataSet_(dataSet) {}
    TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options);
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    TIndexDef& operator[](int i) { return items_.at(static_cast<std::size_t>(i)); }
    const TIndexDef& operator[](int i) const { return items_.at(static_cast<std::size_t>(i)); }
    int IndexOf(std::string_view name) const;
    // The index whose fields are exactly these (ignoring case); nullptr when none.
    TIndexDef* FindIndexForFields(std::string_view fields);
    void Assign(const TIndexDefs& other) { items_ = other.items_; }
    void Insert(int at, const TIndexDef& def);
    void Remove(int at);
    bool Updated = false;
    void Update();
    std::function<void()> OnChange;

private:
    TDataSet* dataSet_;
    std::vector<TIndexDef> items_;
};

// Helpers shared by the framework and the components. Names equal without regard to
// the case of ASCII letters, double-byte characters exactly (platform/CodePage.h).
bool SameText(std::string_view a, std::string_view b);
// ";"-separated names, blanks around each removed, empty ones dropped.
std::vector<std::string> SplitFieldNames(std::string_view names);

}  // namespace kura

#include "platform/dataset/FieldDefs.h"

#include "platform/CodePage.h"
#include "platform/dataset/DataSet.h"

namespace kura {

bool SameText(std::string_view a, std::string_view b) { return platform::Cp932SameText(a, b); }

std::vector<std::string> SplitFieldNames(std::string_view names) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= names.size()) {
        std::size_t end = names.find(';', start);
        if (end == std::string_view::npos) end = names.size();
        std::string_view part = names.substr(start, end - start);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        if (!part.empty()) out.emplace_back(part);
        start = end + 1;
    }
    return out;
}

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType type, int32_t size, bool required) {
    TFieldDef def;
    def.Name = name;
    def.DataType = type;
    def.Size = size;
    def.Required = required;
    def.FieldNo = Count() + 1;
    items_.push_back(def);
    if (updating_ == 0 && OnChange) OnChange();
    return items_.back();
}

void TFieldDefs::Clear() {
    items_.clear();
    if (updating_ == 0 && OnChange) OnChange();
}

void TFieldDefs::EndUpdate() {
    if (updating_ > 0 && --updating_ == 0 && OnChange) OnChange();
}

int TFieldDefs::IndexOf(std::string_view name) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i].Name, name)) return static_cast<int>(i);
    return -1;
}

TFieldDef* TFieldDefs::Find(std::string_view name) {
    const int i = IndexOf(name);
    return i < 0 ? nullptr : &items_[static_cast<std::size_t>(i)];
}

void TFieldDefs::Update() {
    if (Updated || !dataSet_) return;
    dataSet_->InitFieldDefs();
    Updated = true;
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields, TIndexOptions options) {
    items_.push_back(TIndexDef{name, fields, options});
    if (OnChange) OnChange();
    return items_.back();
}

void TIndexDefs::Insert(int at, const TIndexDef& def) {
    items_.insert(items_.begin() + at, def);
}

void TIndexDefs::Remove(int at) { items_.erase(items_.begin() + at); }

int TIndexDefs::IndexOf(std::string_view name) const {
    for (std::size_t i = 0; i < items_.size(); ++i)
        if (SameText(items_[i].Name, name)) return static_cast<int>(i);
    return -1;
}

TIndexDef* TIndexDefs::FindIndexForFields(std::string_view fields) {
    const auto wanted = SplitFieldNames(fields);
    for (auto& def : items_) {
        const auto have = SplitFieldNames(def.Fields);
        if (have.size() != wanted.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < have.size() && same; ++i) same = SameText(have[i], wanted[i]);
        if (same) return &def;
    }
    return nullptr;
}

void TIndexDefs::Update() {
    if (Updated || !dataSet_) return;
    dataSet_->UpdateIndexDefs();
    Updated = true;
}

}  // namespace kura

#include "platform/gui/DataGridModel.h"

#include <algorithm>
#include <string>
#include <unordered_set>

#include <QItemSelectionModel>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/gui/DataControls.h"
#include "platform/gui/Text.h"

namespace gui {

TDataGridModel::TDataGridModel(TDBGrid* grid) : grid_(grid) {}

TDataGridModel::~TDataGridModel() { link_.SetDataSource(nullptr); }

void TDataGridModel::SetSource(kura::TDataSource* source) {
    link_.SetDataSource(source);
    Reset();
}

kura::TDataSet* TDataGridModel::DataSet() const { return link_.DataSource() ? link_.DataSet() : nullptr; }

bool TDataGridModel::Active() const { return link_.Active() && DataSet() != nullptr; }

const std::vector<TColumn>& TDataGridModel::EffectiveColumns() const {
    if (!columns_.empty()) return columns_;
    return defaultColumns_;
}

std::vector<TColumn>& TDataGridModel::EditableColumns() {
    if (columns_.empty()) columns_ = defaultColumns_;
    return columns_;
}

kura::TField* TDataGridModel::FieldOf(int column) const {
    const auto& cols = EffectiveColumns();
    if (!Active() || column < 0 || column >= static_cast<int>(cols.size())) return nullptr;
    return DataSet()->FindField(cols[static_cast<std::size_t>(column)].FieldName);
}

int TDataGridModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : rows_; }

int TDataGridModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(EffectiveColumns().size());
}

void TDataGridModel::Reset(bool keepSelection) {
    const std::vector<kura::TBookmark> kept = keepSelection ? CachedSelection() : std::vector<kura::TBookmark>{};
    beginResetModel();
    // While a record is edited or inserted the others stay as they were read: the
    // dataset cannot move to read them again until the edit ends.
    if (!Editing()) blocks_.clear();
    rows_ = 0;
    defaultColumns_.clear();
    if (Active()) {
        kura::TDataSet* ds = DataSet();
        for (int i = 0; i < ds->FieldCount(); ++i) {
            kura::TField* f = ds->Fields(i);
            if (!f->Visible) continue;
            const int width = grid_->FitsDefaultColumns() ? grid_->FittedWidth(QStr(f->DisplayName()), f) : 64;
            defaultColumns_.push_back({f->FieldName, {}, width, true});
        }
        try {
            rows_ = std::max(0, ds->RecordCount());
        } catch (...) {
            rows_ = 0;
        }
        if (ds->State() == kura::dsInsert) ++rows_;
    }
    endResetModel();
    grid_->ApplyColumnLayout();
    grid_->FollowDataSet();
    if (!kept.empty()) Reselect(kept);
}

std::vector<kura::TBookmark> TDataGridModel::CachedSelection() const {
    std::vector<kura::TBookmark> kept;
    QItemSelectionModel* selection = grid_->selectionModel();
    if (!selection || grid_->selectionMode() != QAbstractItemView::ExtendedSelection) return kept;
    for (const QModelIndex& index : selection->selectedRows()) {
        // Only rows already read: the dataset may be anywhere while it tells of a change.
        const auto block = blocks_.find(index.row() / BlockRows);
        const std::size_t at = static_cast<std::size_t>(index.row() % BlockRows);
        if (block != blocks_.end() && at < block->second.size() && !block->second[at].bookmark.empty())
            kept.push_back(block->second[at].bookmark);
    }
    return kept;
}

void TDataGridModel::Reselect(const std::vector<kura::TBookmark>& kept) {
    // Rows are read only while the dataset browses, and only until every kept row is
    // found: a selection near the top never reads the rest of the table.
    if (!Active() || DataSet()->State() != kura::dsBrowse) return;
    auto key = [](const kura::TBookmark& b) { return std::string(b.begin(), b.end()); };
    std::unordered_set<std::string> wanted;
    for (const kura::TBookmark& b : kept) wanted.insert(key(b));
    QItemSelection rows;
    std::size_t found = 0;
    for (int row = 0; row < rows_ && found < wanted.size(); ++row)
        if (wanted.count(key(BookmarkOf(row)))) {
            rows.select(index(row, 0), index(row, columnCount() - 1));
            ++found;
        }
    grid_->selectionModel()->select(rows, QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

void TDataGridModel::DataChanged(bool reset, bool keepSelection, bool rereadCurrent) {
    if (reading_) return;
    int count = 0;
    if (Active()) {
        try {
            count = std::max(0, DataSet()->RecordCount());
        } catch (...) {
        }
        if (DataSet()->State() == kura::dsInsert) ++count;
    }
    if (reset || count != rows_) {
        Reset(keepSelection);
        return;
    }
    const int row = CurrentRow();
    if (rereadCurrent && row >= 0 && DataSet()->State() == kura::dsBrowse) {
        // The current record may have been posted: read its block again.
        blocks_.erase(row / BlockRows);
        Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1));
    }
    grid_->FollowDataSet();
}

void TDataGridModel::RecordChanged() {
    if (reading_) return;
    const int row = CurrentRow();
    if (row >= 0) Q_EMIT dataChanged(index(row, 0), index(row, columnCount() - 1));
}

int TDataGridModel::CurrentRow() const {
    if (!Active()) return -1;
    kura::TDataSet* ds = DataSet();
    if (ds->State() == kura::dsInsert) return rows_ - 1;
    if (ds->IsEmpty()) return -1;
    const int recNo = ds->RecNo();
    return recNo > 0 && recNo <= rows_ ? recNo - 1 : -1;
}

void TDataGridModel::GotoRow(int row) {
    if (!Active() || row < 0 || row >= rows_ || row == CurrentRow()) return;
    kura::TDataSet* ds = DataSet();
    if (ds->State() == kura::dsInsert || ds->State() == kura::dsEdit) ds->CheckBrowseMode();
    ds->SetRecNo(row + 1);
}

bool TDataGridModel::Editing() const {
    return Active() && (DataSet()->State() == kura::dsEdit || DataSet()->State() == kura::dsInsert);
}

TDataGridModel::Row TDataGridModel::CurrentTexts(kura::TBookmark bookmark) const {
    kura::TDataSet* ds = DataSet();
    Row row;
    row.texts.reserve(static_cast<std::size_t>(ds->FieldCount()));
    for (int f = 0; f < ds->FieldCount(); ++f) row.texts.push_back(QStr(ds->Fields(f)->DisplayText()));
    row.bookmark = std::move(bookmark);
    return row;
}

void TDataGridModel::ReadBlock(int block) const {
    kura::TDataSet* ds = DataSet();
    if (!ds) return;
    const int start = block * BlockRows;
    if (ds->State() != kura::dsBrowse) {
        // The dataset cannot move without ending its edit: the block is read aside.
        const int records = rows_ - (ds->State() == kura::dsInsert ? 1 : 0);
        std::vector<Row> rows;
        bool read = records <= start;  // only the row being inserted
        reading_ = true;
        try {
            read = read || ds->ReadAside(start + 1, std::min(BlockRows, records - start),
                                         [&](const kura::TBookmark& b) { rows.push_back(CurrentTexts(b)); });
        } catch (...) {
            read = true;  // as below: a row that cannot be read shows empty
        }
        reading_ = false;
        if (read) blocks_[block] = std::move(rows);
        return;
    }
    std::vector<Row>& rows = blocks_[block];
    reading_ = true;
    ds->DisableControls();
    kura::TBookmark back;
    try {
        back = ds->GetBookmark();
        ds->SetRecNo(start + 1);
        if (ds->RecNo() != start + 1) {
            // A dataset without record numbers: count from the first record.
            ds->First();
            ds->MoveBy(start);
        }
        for (int i = 0; i < BlockRows && !ds->Eof() && start + i < rows_; ++i) {
            rows.push_back(CurrentTexts(ds->GetBookmark()));
            ds->Next();
        }
    } catch (...) {
        // A row that cannot be read shows empty; painting never fails.
    }
    try {
        if (!back.empty()) ds->GotoBookmark(back);
    } catch (...) {
    }
    ds->EnableControls();
    reading_ = false;
}

const TDataGridModel::Row* TDataGridModel::RowAt(int row) const {
    if (row < 0 || row >= rows_) return nullptr;
    const int block = row / BlockRows;
    auto it = blocks_.find(block);
    if (it == blocks_.end()) {
        ReadBlock(block);
        it = blocks_.find(block);
        if (it == blocks_.end()) return nullptr;
    }
    const std::size_t at = static_cast<std::size_t>(row % BlockRows);
    return at < it->second.size() ? &it->second[at] : nullptr;
}

kura::TBookmark TDataGridModel::BookmarkOf(int row) const {
    const Row* r = RowAt(row);
    return r ? r->bookmark : kura::TBookmark{};
}

Qt::ItemFlags TDataGridModel::flags(const QModelIndex& index) const {
    Qt::ItemFlags f = QAbstractTableModel::flags(index);
    kura::TField* field = index.isValid() ? FieldOf(index.column()) : nullptr;
    if (field && grid_->editTriggers() != QAbstractItemView::NoEditTriggers && !field->ReadOnly) f |= Qt::ItemIsEditable;
    return f;
}

bool TDataGridModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (role != Qt::EditRole || !index.isValid() || !(flags(index) & Qt::ItemIsEditable)) return false;
    kura::TField* field = FieldOf(index.column());
    kura::TDataSet* ds = DataSet();
    return Guarded(
        [&] {
            if (ds->State() == kura::dsBrowse) {
                GotoRow(index.row());
                ds->Edit();
            }
            field->SetAsString(FieldBytes(*field, value.toString()));
        },
        grid_);
}

QVariant TDataGridModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::TextAlignmentRole) {
        const auto& cols = EffectiveColumns();
        if (!index.isValid() || index.column() >= static_cast<int>(cols.size())) return {};
        const Qt::Alignment a = cols[static_cast<std::size_t>(index.column())].Alignment;
        return a ? QVariant(int(a | Qt::AlignVCenter)) : QVariant();
    }
    if (role == Qt::EditRole) role = Qt::DisplayRole;
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    kura::TField* field = FieldOf(index.column());
    if (!field) return {};
    kura::TDataSet* ds = DataSet();
    if (index.row() == CurrentRow() && ds->State() != kura::dsBrowse) return QStr(field->DisplayText());
    const Row* row = RowAt(index.row());
    if (!row) return {};
    for (int f = 0; f < ds->FieldCount() && f < static_cast<int>(row->texts.size()); ++f)
        if (ds->Fields(f) == field) return row->texts[static_cast<std::size_t>(f)];
    return {};
}

QVariant TDataGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (role != Qt::DisplayRole) return {};
    if (orientation == Qt::Vertical) return {};
    return grid_->ColumnTitle(section);
}

}  // namespace gui

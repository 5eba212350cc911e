#pragma once
// The table model behind TDBGrid (contract in DataGrid.h): rows are records by RecNo,
// read in blocks and cached as display texts with their bookmarks.
#include <QAbstractTableModel>
#include <map>
#include <string>
#include <vector>

#include "platform/dataset/DataSource.h"
#include "platform/gui/DataGrid.h"

namespace gui {

class TDataGridModel : public QAbstractTableModel {
public:
    explicit TDataGridModel(TDBGrid* grid);
    ~TDataGridModel() override;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // Cells are editable when the grid allows editing: a changed cell puts the dataset
    // in edit mode on its record and sets the field's text (posted when the dataset
    // leaves the record). A value the field refuses is shown as a message.
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;

    kura::TDataSource* Source() const { return link_.DataSource(); }
    void SetSource(kura::TDataSource* source);
    kura::TDataSet* DataSet() const;
    bool Active() const;

    std::vector<TColumn>& Columns() { return columns_; }
    // The column list to change: the default columns become given columns first.
    std::vector<TColumn>& EditableColumns();
    const std::vector<TColumn>& EffectiveColumns() const;
    kura::TField* FieldOf(int column) const;
    // The bookmark of a row (reads it when not cached); empty when none.
    kura::TBookmark BookmarkOf(int row) const;
    // The dataset's current record as a row; -1 when none.
    int CurrentRow() const;
    // Moves the dataset to the row's record.
    void GotoRow(int row);
    void Reset(bool keepSelection = false);
    bool Reading() const { return reading_; }
    // The dataset edits or inserts a record.
    bool Editing() const;

private:
    class Link : public kura::TDataLink {
    public:
        explicit Link(TDataGridModel* model) : model_(model) {}

    protected:
        // A dataset closed or opened again has other records: the selection goes.
        void ActiveChanged() override { model_->DataChanged(true, false); }
        void DataSetChanged() override { model_->DataChanged(true); }
        void LayoutChanged() override { model_->DataChanged(true); }
        // A move changes no record: the rows read stay valid.
        void DataSetScrolled(int) override { model_->DataChanged(false, true, false); }
        void RecordChanged(kura::TField*) override { model_->RecordChanged(); }
        void EditingChanged() override { model_->DataChanged(false); }

    private:
        TDataGridModel* model_;
    };
    struct Row {
        std::vector<QString> texts;  // per field of the dataset
        kura::TBookmark bookmark;
    };
    static constexpr int BlockRows = 128;
    // reset: the rows are read again; keepSelection: rows selected before are selected
    // again by their bookmarks (the same records after a resync or EnableControls);
    // rereadCurrent: the current record may have been posted, its block is read again.
    void DataChanged(bool reset, bool keepSelection = true, bool rereadCurrent = true);
    std::vector<kura::TBookmark> CachedSelection() const;
    void Reselect(const std::vector<kura::TBookmark>& kept);
    void RecordChanged();
    // Reads the block by moving the dataset there and back; while it edits or inserts
    // (and cannot move), aside. Not cached when it cannot be read now.
    void ReadBlock(int block) const;
    Row CurrentTexts(kura::TBookmark bookmark) const;
    const Row* RowAt(int row) const;
    QString LiveText(int column) const;

    TDBGrid* grid_;
    Link link_{this};
    std::vector<TColumn> columns_;
    mutable std::vector<TColumn> defaultColumns_;
    mutable std::map<int, std::vector<Row>> blocks_;
    mutable bool reading_ = false;
    int rows_ = 0;
};

}  // namespace gui

#pragma once
// The data grid: a QTableView over a dataset, through a data link.
//
// Rows. Row r of the grid is record r + 1 of the dataset (RecNo); the grid asks the
// dataset for its record count and reads the display texts of the rows it paints in
// blocks, moving the dataset there and back with its controls disabled (the link
// ignores the events of its own reading). The current row follows the dataset's
// current record both ways. While the dataset edits or inserts, the current row
// shows the fields as they are being edited and every other row the texts read
// before, or read aside as they come into view (TDataSet::ReadAside), whatever the
// dataset's size; a row inserted shows as the last row.
//
// Columns. With no columns given, the grid shows every field of the dataset in field
// order with its display label. Columns given with AddColumn name their field and may
// carry a title, a width and visibility; several columns may show one field. Moving
// a column (by code or by dragging its title) changes the column list; a position or
// width out of range is clamped, never used as an index.
//
// Selected rows (multi-select) are kept as bookmarks. Cells are drawn by default or by
// OnDrawColumnCell, which may call DefaultDrawColumnCell; a click on a title calls
// OnTitleClick with the column's index.
#include <QStyledItemDelegate>
#include <QTableView>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dataset/DataSource.h"
#include "platform/dataset/DataTypes.h"

namespace kura {
class TField;
}

namespace gui {

struct TColumn {
    std::string FieldName;
    QString Title;  // empty: the field's display label
    int Width = 64;
    bool Visible = true;
    Qt::Alignment Alignment = {};  // of the cells; none: the grid's default
};

class TDataGridModel;

class TDBGrid : public QTableView {
public:
    explicit TDBGrid(QWidget* parent = nullptr);
    ~TDBGrid() override;

    kura::TDataSource* DataSource() const;
    void SetDataSource(kura::TDataSource* source);
    kura::TDataSet* DataSet() const;

    // ---- columns ----
    void AddColumn(const std::string& fieldName, const QString& title = {}, int width = 64);
    void ClearColumns();
    int ColumnCount() const;
    const TColumn& Column(int index) const;
    kura::TField* ColumnField(int index) const;
    QString ColumnTitle(int index) const;
    // index and position outside 0..count-1 are clamped.
    void MoveColumn(int from, int to);
    void SetColumnWidth(int index, int width);
    int ColumnWidth(int index) const;
    void SetColumnVisible(int index, bool visible);
    void SetColumnAlignment(int index, Qt::Alignment alignment);
    // Widens every column that is narrower than its title or than its field's usual
    // text (a string field's size, a date's, a number's), up to MaxFitWidth. Before the
    // grid is first shown this waits for its polish, when its fonts are final (and
    // before the window's FormShow can apply widths the user chose).
    void FitColumns();
    // With no columns given: every column the dataset brings (at each open) is as wide
    // as FitColumns makes it.
    void SetFitDefaultColumns(bool on);
    bool FitsDefaultColumns() const { return fitDefault_; }
    // The width FitColumns gives a column of this title and field (none: the title's).
    int FittedWidth(const QString& title, const kura::TField* field) const;
    static constexpr int MaxFitWidth = 240;
    static constexpr int MinColumnWidth = 4;
    static constexpr int MaxColumnWidth = 4000;

    // ---- current cell and selection ----
    int SelectedIndex() const;  // current column
    void SetSelectedIndex(int column);
    void SetMultiSelect(bool on);
    void SetRowSelect(bool on);
    std::vector<kura::TBookmark> SelectedRows() const;
    void SetGridFontSize(int points);
    int GridFontSize() const;
    // Drops the cached texts and reads the dataset again.
    void Reload();

    // ---- events ----
    std::function<void(int column)> OnTitleClick;
    using TDrawCell = std::function<void(QPainter*, const QStyleOptionViewItem&, const QModelIndex&, int column)>;
    TDrawCell OnDrawColumnCell;
    void DefaultDrawColumnCell(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index);

protected:
    bool event(QEvent* event) override;
    // The record the grid's current row shows became current in the dataset.
    void currentChanged(const QModelIndex& current, const QModelIndex& previous) override;
    TDataGridModel* Model() const { return model_.get(); }

private:
    class Delegate;
    friend class TDataGridModel;
    void FollowDataSet();
    void ApplyColumnLayout();
    std::unique_ptr<TDataGridModel> model_;
    Delegate* delegate_;
    bool following_ = false;
    bool fitPending_ = false;
    bool fitDefault_ = false;
    bool scrollWhenShown_ = false;
    void FitColumnsNow();
};

}  // namespace gui

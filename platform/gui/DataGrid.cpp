#include "platform/gui/DataGrid.h"

#include <QEvent>
#include <QHeaderView>
#include <algorithm>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/Field.h"
#include "platform/gui/DataGridModel.h"
#include "platform/gui/Text.h"

namespace gui {

class TDBGrid::Delegate : public QStyledItemDelegate {
public:
    explicit Delegate(TDBGrid* grid) : QStyledItemDelegate(grid), grid_(grid) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        if (grid_->OnDrawColumnCell) grid_->OnDrawColumnCell(painter, option, index, index.column());
        else QStyledItemDelegate::paint(painter, option, index);
    }
    void Default(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
        QStyledItemDelegate::paint(painter, option, index);
    }

private:
    TDBGrid* grid_;
};

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent), model_(std::make_unique<TDataGridModel>(this)) {
    delegate_ = new Delegate(this);
    setItemDelegate(delegate_);
    setModel(model_.get());
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    verticalHeader()->setFixedWidth(12);
    horizontalHeader()->setSectionsMovable(true);
    horizontalHeader()->setHighlightSections(false);
    setSelectionBehavior(QAbstractItemView::SelectItems);
    setSelectionMode(QAbstractItemView::SingleSelection);
    connect(horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int section) {
        if (OnTitleClick) OnTitleClick(section);
    });
    connect(horizontalHeader(), &QHeaderView::sectionMoved, this, [this](int, int from, int to) {
        // The column list holds the order; the header always shows it as it is.
        QHeaderView* header = horizontalHeader();
        const QSignalBlocker block(header);
        header->moveSection(to, from);
        MoveColumn(from, to);
    });
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this](int section, int, int size) {
        if (size <= 0) return;  // hidden
        auto& cols = model_->EditableColumns();
        if (section >= 0 && section < static_cast<int>(cols.size()))
            cols[static_cast<std::size_t>(section)].Width = size;
    });
}

TDBGrid::~TDBGrid() {
    setModel(nullptr);
}

kura::TDataSource* TDBGrid::DataSource() const { return model_->Source(); }
void TDBGrid::SetDataSource(kura::TDataSource* source) { model_->SetSource(source); }
kura::TDataSet* TDBGrid::DataSet() const { return model_->DataSet(); }

void TDBGrid::AddColumn(const std::string& fieldName, const QString& title, int width) {
    model_->Columns().push_back({fieldName, title, std::clamp(width, MinColumnWidth, MaxColumnWidth), true});
    model_->Reset();
}

void TDBGrid::ClearColumns() {
    model_->Columns().clear();
    model_->Reset();
}

int TDBGrid::ColumnCount() const { return static_cast<int>(model_->EffectiveColumns().size()); }

const TColumn& TDBGrid::Column(int index) const {
    const auto& cols = model_->EffectiveColumns();
    return cols.at(static_cast<std::size_t>(std::clamp(index, 0, std::max(0, ColumnCount() - 1))));
}

kura::TField* TDBGrid::ColumnField(int index) const { return model_->FieldOf(index); }

namespace {

// A column's title: its own, else its field's display name, else the field name.
QString TitleOf(const TColumn& c, const kura::TField* field) {
    if (!c.Title.isEmpty()) return c.Title;
    return field ? QStr(field->DisplayName()) : QStr(c.FieldName);
}

}  // namespace

QString TDBGrid::ColumnTitle(int index) const {
    if (index < 0 || index >= ColumnCount()) return {};
    return TitleOf(Column(index), ColumnField(index));
}

void TDBGrid::MoveColumn(int from, int to) {
    const int count = ColumnCount();
    if (count == 0) return;
    from = std::clamp(from, 0, count - 1);
    to = std::clamp(to, 0, count - 1);
    if (from == to) return;
    auto& cols = model_->EditableColumns();
    TColumn moved = cols[static_cast<std::size_t>(from)];
    cols.erase(cols.begin() + from);
    cols.insert(cols.begin() + to, moved);
    const int current = currentIndex().column();
    model_->Reset();
    if (current == from) SetSelectedIndex(to);
}

void TDBGrid::SetColumnWidth(int index, int width) {
    if (index < 0 || index >= ColumnCount()) return;
    auto& cols = model_->EditableColumns();
    cols[static_cast<std::size_t>(index)].Width = std::clamp(width, MinColumnWidth, MaxColumnWidth);
    ApplyColumnLayout();
}

int TDBGrid::ColumnWidth(int index) const {
    return index >= 0 && index < ColumnCount() ? Column(index).Width : 0;
}

void TDBGrid::SetColumnVisible(int index, bool visible) {
    if (index < 0 || index >= ColumnCount()) return;
    auto& cols = model_->EditableColumns();
    cols[static_cast<std::size_t>(index)].Visible = visible;
    ApplyColumnLayout();
}

void TDBGrid::SetColumnAlignment(int index, Qt::Alignment alignment) {
    if (index < 0 || index >= ColumnCount()) return;
    model_->EditableColumns()[static_cast<std::size_t>(index)].Alignment = alignment;
    viewport()->update();
}

void TDBGrid::FitColumns() {
    fitPending_ = !testAttribute(Qt::WA_WState_Polished);
    if (!fitPending_) FitColumnsNow();
}

bool TDBGrid::event(QEvent* event) {
    const bool done = QTableView::event(event);
    if (event->type() == QEvent::Polish && fitPending_) {
        fitPending_ = false;
        FitColumnsNow();
    }
    if (event->type() == QEvent::Show && scrollWhenShown_) {
        scrollWhenShown_ = false;
        if (currentIndex().isValid()) scrollTo(currentIndex());
    }
    return done;
}

int TDBGrid::FittedWidth(const QString& titleText, const kura::TField* field) const {
    const QFontMetrics text(font());
    const QFontMetrics title(horizontalHeader()->font());
    const int average = text.horizontalAdvance(QString(10, QChar('0'))) / 10;
    // Room for the section's margins beside the title.
    int wanted = title.horizontalAdvance(titleText) + 16;
    if (field) {
        int chars = 8;
        if (kura::IsStringType(field->DataType())) chars = field->Size();  // bytes: half-width characters
        else if (field->DataType() == kura::ftDate || field->DataType() == kura::ftDateTime) chars = 10;
        wanted = std::max(wanted, std::min(chars * average + 8, MaxFitWidth));
    }
    return std::clamp(wanted, MinColumnWidth, MaxColumnWidth);
}

void TDBGrid::SetFitDefaultColumns(bool on) {
    fitDefault_ = on;
    model_->Reset(true);
}

void TDBGrid::FitColumnsNow() {
    auto& cols = model_->EditableColumns();
    for (int i = 0; i < static_cast<int>(cols.size()); ++i) {
        TColumn& c = cols[static_cast<std::size_t>(i)];
        const kura::TField* field = DataSet() ? DataSet()->FindField(c.FieldName) : nullptr;
        c.Width = std::max(c.Width, FittedWidth(TitleOf(c, field), field));
    }
    ApplyColumnLayout();
}

void TDBGrid::ApplyColumnLayout() {
    const QSignalBlocker block(horizontalHeader());
    const auto cols = model_->EffectiveColumns();
    for (int i = 0; i < static_cast<int>(cols.size()); ++i) {
        const TColumn& c = cols[static_cast<std::size_t>(i)];
        setColumnHidden(i, !c.Visible);
        if (c.Visible) QTableView::setColumnWidth(i, c.Width);
    }
}

int TDBGrid::SelectedIndex() const { return std::max(0, currentIndex().column()); }

void TDBGrid::SetSelectedIndex(int column) {
    if (ColumnCount() == 0) return;
    column = std::clamp(column, 0, ColumnCount() - 1);
    const int row = std::max(0, model_->CurrentRow());
    following_ = true;
    selectionModel()->setCurrentIndex(model_->index(row, column), QItemSelectionModel::NoUpdate);
    following_ = false;
}

void TDBGrid::SetMultiSelect(bool on) {
    setSelectionMode(on ? QAbstractItemView::ExtendedSelection : QAbstractItemView::SingleSelection);
}

void TDBGrid::SetRowSelect(bool on) {
    setSelectionBehavior(on ? QAbstractItemView::SelectRows : QAbstractItemView::SelectItems);
}

std::vector<kura::TBookmark> TDBGrid::SelectedRows() const {
    std::vector<kura::TBookmark> result;
    if (selectionMode() != QAbstractItemView::ExtendedSelection) return result;
    QModelIndexList rows = selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    for (const QModelIndex& index : rows) {
        kura::TBookmark b = model_->BookmarkOf(index.row());
        if (!b.empty()) result.push_back(std::move(b));
    }
    return result;
}

void TDBGrid::SetGridFontSize(int points) {
    if (points <= 0) return;
    QFont f = font();
    f.setPointSize(points);
    setFont(f);
    verticalHeader()->setDefaultSectionSize(QFontMetrics(f).height() + 6);
}

int TDBGrid::GridFontSize() const {
    const QFont f = font();
    // A font given in pixels answers its size in points at the screen's 96 dpi.
    return f.pointSize() > 0 ? f.pointSize() : (f.pixelSize() * 72 + 48) / 96;
}

void TDBGrid::Reload() { model_->Reset(); }

void TDBGrid::DefaultDrawColumnCell(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) {
    delegate_->Default(painter, option, index);
}

void TDBGrid::currentChanged(const QModelIndex& current, const QModelIndex& previous) {
    QTableView::currentChanged(current, previous);
    if (following_ || !current.isValid() || model_->Reading()) return;
    if (current.row() != model_->CurrentRow()) model_->GotoRow(current.row());
}

void TDBGrid::FollowDataSet() {
    const int row = model_->CurrentRow();
    if (row < 0 || ColumnCount() == 0) return;
    following_ = true;
    const int column = std::clamp(currentIndex().column(), 0, ColumnCount() - 1);
    const QModelIndex index = model_->index(row, column);
    if (selectionMode() == QAbstractItemView::ExtendedSelection)
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
    else
        selectionModel()->setCurrentIndex(index, QItemSelectionModel::ClearAndSelect |
                                                     (selectionBehavior() == SelectRows ? QItemSelectionModel::Rows
                                                                                        : QItemSelectionModel::NoUpdate));
    following_ = false;
    // A grid out of sight (on a page not shown) scrolls once, when it is shown: a walk
    // over the dataset would otherwise move its scroll bars at every record.
    if (isVisible())
        scrollTo(index);
    else
        scrollWhenShown_ = true;
}

}  // namespace gui

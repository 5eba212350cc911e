#include "platform/gui/RadioGroup.h"

#include <QGridLayout>
#include <QRadioButton>

namespace gui {

TRadioGroup::TRadioGroup(QWidget* parent) : QGroupBox(parent) { new QGridLayout(this); }

void TRadioGroup::SetItems(const QStringList& items, int columns) {
    for (QAbstractButton* b : group_.buttons()) {
        group_.removeButton(b);
        delete b;
    }
    auto* grid = static_cast<QGridLayout*>(layout());
    columns = std::max(1, columns);
    const int rows = (static_cast<int>(items.size()) + columns - 1) / columns;
    for (int i = 0; i < items.size(); ++i) {
        auto* b = new QRadioButton(items[i], this);
        b->setObjectName(QString("Item%1").arg(i));
        group_.addButton(b, i);
        grid->addWidget(b, i % std::max(1, rows), i / std::max(1, rows));
    }
}

int TRadioGroup::ItemIndex() const { return group_.checkedId(); }

void TRadioGroup::SetItemIndex(int index) {
    if (QAbstractButton* b = group_.button(index)) {
        b->setChecked(true);
        return;
    }
    // No button chosen: the group must let go of its exclusive hold for a moment.
    group_.setExclusive(false);
    for (QAbstractButton* b : group_.buttons()) b->setChecked(false);
    group_.setExclusive(true);
}

QRadioButton* TRadioGroup::Button(int index) const { return static_cast<QRadioButton*>(group_.button(index)); }

}  // namespace gui

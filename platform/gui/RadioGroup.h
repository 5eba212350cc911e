#pragma once
// A radio group: a framed box of radio buttons laid out in columns, one of which may
// be chosen. ItemIndex is the chosen button's index, -1 when none; setting an index
// outside the items chooses none.
#include <QButtonGroup>
#include <QGroupBox>
#include <QStringList>

class QRadioButton;

namespace gui {

class TRadioGroup : public QGroupBox {
public:
    explicit TRadioGroup(QWidget* parent = nullptr);
    void SetItems(const QStringList& items, int columns = 1);
    int ItemIndex() const;
    void SetItemIndex(int index);
    QRadioButton* Button(int index) const;
    int Count() const { return static_cast<int>(group_.buttons().size()); }

private:
    QButtonGroup group_;
};

}  // namespace gui

#pragma once
// The extended data grid: the data grid whose mouse wheel moves the dataset's
// current record (instead of scrolling the view) and which copies its data to the
// clipboard as tab-separated text: a header line of display labels, then one line per
// record, each line ended by a lone CR; values are copied as they are (no quoting),
// a picture or other binary column as an empty field (as the CSV export writes it).
// The copy returns to the record that was current before.
#include <QString>

#include "platform/gui/DataGrid.h"

namespace app {

class TDBGridEx : public gui::TDBGrid {
public:
    explicit TDBGridEx(QWidget* parent = nullptr) : gui::TDBGrid(parent) {}

    void CopyAllToClipboard();
    void CopyVisibleToClipboard();
    // The texts the two copies put on the clipboard.
    QString AllText();
    QString VisibleText();

    // Answer true when the wheel step moved the dataset.
    bool DoMouseWheelDown(Qt::KeyboardModifiers shift);
    bool DoMouseWheelUp(Qt::KeyboardModifiers shift);

protected:
    void wheelEvent(QWheelEvent* event) override;

private:
    bool Wheel(bool down, Qt::KeyboardModifiers shift);
    QString Collect(bool visibleOnly);
};

}  // namespace app

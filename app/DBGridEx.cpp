#include "app/DBGridEx.h"

#include <QWheelEvent>

#include "app/CsvExport.h"

#include "platform/dataset/DataSet.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Desktop.h"
#include "platform/gui/Text.h"

namespace app {

using gui::QStr;

bool TDBGridEx::Wheel(bool down, Qt::KeyboardModifiers shift) {
    kura::TDataSet* ds = DataSet();
    if (!DataSource() || !ds || !ds->Active()) return false;
    if (down) ds->Next();
    else ds->Prior();
    if (shift == Qt::NoModifier) viewport()->update();
    return true;
}

bool TDBGridEx::DoMouseWheelDown(Qt::KeyboardModifiers shift) { return Wheel(true, shift); }
bool TDBGridEx::DoMouseWheelUp(Qt::KeyboardModifiers shift) { return Wheel(false, shift); }

void TDBGridEx::wheelEvent(QWheelEvent* event) {
    const int dy = event->angleDelta().y();
    const bool moved = dy < 0 ? DoMouseWheelDown(event->modifiers() | Qt::KeyboardModifiers(int(event->buttons())))
                     : dy > 0 ? DoMouseWheelUp(event->modifiers() | Qt::KeyboardModifiers(int(event->buttons())))
                              : false;
    if (moved) event->accept();
    else gui::TDBGrid::wheelEvent(event);
}

QString TDBGridEx::Collect(bool visibleOnly) {
    kura::TDataSet* ds = DataSet();
    if (!ds || !ds->Active()) return {};
    std::vector<kura::TField*> fields;
    std::vector<bool> tabBefore;
    if (visibleOnly) {
        for (int i = 0; i < ColumnCount(); ++i) {
            if (!Column(i).Visible) continue;
            kura::TField* f = ColumnField(i);
            if (!f) continue;
            fields.push_back(f);
            tabBefore.push_back(i != 0);  // a hidden column 0 leaves every line starting with a TAB
        }
    } else {
        for (int i = 0; i < ds->FieldCount(); ++i) {
            fields.push_back(ds->Fields(i));
            tabBefore.push_back(i != 0);
        }
    }
    QString text;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (tabBefore[i]) text += QChar('\t');
        text += QStr(fields[i]->DisplayName());
    }
    text += QChar('\r');
    ds->DisableControls();
    kura::TBookmark back;
    try {
        if (!ds->IsEmpty()) back = ds->GetBookmark();
        ds->First();
        while (!ds->Eof()) {
            for (std::size_t i = 0; i < fields.size(); ++i) {
                if (tabBefore[i]) text += QChar('\t');
                if (!IsBinaryType(fields[i]->DataType())) text += QStr(fields[i]->AsString());
            }
            text += QChar('\r');
            ds->Next();
        }
        if (!back.empty()) ds->GotoBookmark(back);
    } catch (...) {
        ds->EnableControls();
        throw;
    }
    ds->EnableControls();
    return text;
}

QString TDBGridEx::AllText() { return Collect(false); }
QString TDBGridEx::VisibleText() { return Collect(true); }
void TDBGridEx::CopyAllToClipboard() { gui::SetClipboardText(AllText()); }
void TDBGridEx::CopyVisibleToClipboard() { gui::SetClipboardText(VisibleText()); }

}  // namespace app

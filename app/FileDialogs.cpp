#include "app/FileDialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QStringList>

namespace app {
namespace {

TFileDialogHook& Hook() {
    static TFileDialogHook hook;
    return hook;
}

// "a|*.x|b|*.y;*.z" -> {"a (*.x)", "b (*.y *.z)"}
QStringList QtFilters(const QString& filter) {
    const QStringList parts = filter.split('|');
    QStringList out;
    for (int i = 0; i + 1 < parts.size(); i += 2) out << parts[i] + " (" + QString(parts[i + 1]).replace(';', ' ') + ")";
    return out;
}

}  // namespace

void SetFileDialogHook(TFileDialogHook hook) { Hook() = std::move(hook); }

QString ExtractFileDir(const QString& path) { return QFileInfo(path).absolutePath(); }

bool TFileDialog::Execute(QWidget* parent) {
    if (Hook()) return Hook()(*this);
    QFileDialog dialog(parent, QString(), InitialDir);
    dialog.setAcceptMode(kind_ == Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(kind_ == Save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    if (!DefaultExt.isEmpty()) dialog.setDefaultSuffix(DefaultExt);
    const QStringList filters = QtFilters(Filter);
    dialog.setNameFilters(filters);
    if (FilterIndex >= 1 && FilterIndex <= filters.size()) dialog.selectNameFilter(filters[FilterIndex - 1]);
    if (!FileName.isEmpty()) dialog.selectFile(FileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    FileName = dialog.selectedFiles().front();
    FilterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
    return true;
}

}  // namespace app

#include "platform/gui/FileDialogs.h"

#include <QFileDialog>

namespace gui {

namespace {
TSaveDialogHook& Hook() {
    static TSaveDialogHook hook;
    return hook;
}

QStringList Part(const QString& filter, int parity) {
    const QStringList parts = filter.split('|');
    QStringList out;
    for (int i = parity; i < parts.size(); i += 2) out << parts[i];
    return out;
}
}  // namespace

void SetSaveDialogHook(TSaveDialogHook hook) { Hook() = std::move(hook); }

QStringList TSaveDialog::Descriptions() const { return Part(Filter, 0); }
QStringList TSaveDialog::Patterns() const { return Part(Filter, 1); }

bool TSaveDialog::Execute() {
    if (Hook()) return Hook()(*this);
    // Qt's filter form: "description (patterns)", one per entry; patterns are separated
    // by blanks there and by ";" in the program's form.
    const QStringList descriptions = Descriptions();
    const QStringList patterns = Patterns();
    QStringList filters;
    for (int i = 0; i < descriptions.size(); ++i)
        filters << descriptions[i] + " (" + QString(i < patterns.size() ? patterns[i] : "*").replace(';', ' ') + ")";
    QFileDialog dialog(parent_, Title);
    dialog.setObjectName(ObjectName);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters(filters);
    if (FilterIndex >= 1 && FilterIndex <= filters.size()) dialog.selectNameFilter(filters[FilterIndex - 1]);
    if (!FileName.isEmpty()) dialog.selectFile(FileName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
    FileName = dialog.selectedFiles().first();
    FilterIndex = static_cast<int>(filters.indexOf(dialog.selectedNameFilter())) + 1;
    if (FilterIndex < 1) FilterIndex = 1;
    return true;
}

}  // namespace gui

#include "platform/twainqt/ScannerHost.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include "platform/twain/SourceManager.h"

namespace platform::twain {

int SelectSourceDialog(const std::vector<std::string>& names, int current, QWidget* parent) {
    QDialog dialog(parent);
    dialog.setObjectName("SelectSourceDialog");
    dialog.setWindowTitle("Select Source");
    auto* list = new QListWidget(&dialog);
    list->setObjectName("SourceList");
    // Device names are ASCII (SANE's "backend:device" form), so Latin-1 is exact.
    for (const std::string& name : names) list->addItem(QString::fromLatin1(name.c_str()));
    list->setCurrentRow(current >= 0 && current < int(names.size()) ? current : 0);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    buttons->button(QDialogButtonBox::Ok)->setObjectName("OKBtn");
    buttons->button(QDialogButtonBox::Cancel)->setObjectName("CancelBtn");
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(list, &QListWidget::itemDoubleClicked, &dialog, &QDialog::accept);
    auto* layout = new QVBoxLayout(&dialog);
    layout->addWidget(list);
    layout->addWidget(buttons);
    if (dialog.exec() != QDialog::Accepted || names.empty()) return -1;
    return list->currentRow();
}

void InstallQtScannerHost() {
    Host host;
    host.IsWindow = [](void* window) { return window != nullptr; };
    host.DisableWindow = [](void* window) {
        auto* widget = static_cast<QWidget*>(window);
        const bool was = widget->isEnabled();
        widget->setEnabled(false);
        return was;
    };
    host.EnableWindow = [](void* window) { static_cast<QWidget*>(window)->setEnabled(true); };
    host.ProcessEvents = [] {
        if (QCoreApplication::instance()) QCoreApplication::processEvents();
    };
    host.SelectSource = [](const std::vector<std::string>& names, int current) {
        return SelectSourceDialog(names, current, QApplication::activeWindow());
    };
    SetHost(std::move(host));
}

}  // namespace platform::twain

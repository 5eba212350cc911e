#include "app/FolderDialog.h"

#include <QDir>
#include <QFileDialog>
#include <QStandardPaths>

#include "platform/gui/Text.h"

namespace app {

TFolderDialog::TFolderDialog() : Title(gui::U8("フォルダーを選択して下さい。")) {}

QString TFolderDialog::StartFolder() const {
    if (!Folder.isEmpty()) return Folder;
    switch (RootFolder) {
    case rfDeskTop: return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    case rfNetWork: return QDir::rootPath();
    case rfDrives: break;
    }
    return QDir::rootPath();
}

bool TFolderDialog::Execute(QWidget* parent) {
    const QString chosen = QFileDialog::getExistingDirectory(parent, Title, StartFolder());
    if (chosen.isEmpty()) return false;
    Folder = chosen;
    return true;
}

}  // namespace app

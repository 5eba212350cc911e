#pragma once
// The folder chooser: a title, the root it starts from, the chosen folder.
#include <QString>

class QWidget;

namespace app {

enum TRootFolder { rfDrives, rfDeskTop, rfNetWork };

class TFolderDialog {
public:
    TRootFolder RootFolder = rfDrives;
    QString Title;  // "フォルダーを選択して下さい。"
    QString Folder;
    TFolderDialog();
    // Asks for a folder; false when the user cancelled (Folder unchanged then).
    bool Execute(QWidget* parent = nullptr);
    // The folder the chooser starts in for the root.
    QString StartFolder() const;
};

}  // namespace app

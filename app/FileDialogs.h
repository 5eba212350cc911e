#pragma once
// The open and save file dialogs of the windows. Filter is in the pipe form
// "caption|patterns|caption|patterns"; FilterIndex (1-based) is the filter chosen.
// Execute answers whether the user confirmed; FileName is then the chosen file.
// A save dialog puts DefaultExt on a name typed without extension.
//
// Tests answer the dialogs without a screen through SetFileDialogHook: with a hook set
// no dialog is shown, and the hook fills FileName and FilterIndex and answers.
#include <QString>
#include <functional>

class QWidget;

namespace app {

class TFileDialog {
public:
    enum Kind { Open, Save };
    explicit TFileDialog(Kind kind) : kind_(kind) {}
    QString Name;  // the component name, for the tests' hook
    QString InitialDir;
    QString FileName;
    QString Filter;
    QString DefaultExt;
    int FilterIndex = 1;
    Kind DialogKind() const { return kind_; }
    bool Execute(QWidget* parent = nullptr);

private:
    Kind kind_;
};

using TFileDialogHook = std::function<bool(TFileDialog&)>;
void SetFileDialogHook(TFileDialogHook hook);

// "folder/name" -> "folder"
QString ExtractFileDir(const QString& path);

}  // namespace app

#pragma once
// The save dialog as the program's forms use it: a filter text of description and
// pattern pairs separated by "|" ("テキスト(*.CSV)|*.CSV|すべて(*.*)|*.*"), the chosen
// filter as a 1-based FilterIndex, the chosen FileName, and Execute, which answers
// false when the user cancels. No extension is added by the dialog itself.
//
// Tests answer the dialog without a screen through SetSaveDialogHook: the hook sees
// the dialog, may set FileName and FilterIndex, and answers Execute's result.
#include <QString>
#include <QStringList>
#include <functional>

class QWidget;

namespace gui {

class TSaveDialog {
public:
    explicit TSaveDialog(QWidget* parent = nullptr) : parent_(parent) {}
    QString ObjectName;
    QString Filter;
    int FilterIndex = 1;
    QString FileName;
    QString Title;

    bool Execute();
    // The filter's descriptions and patterns, in order.
    QStringList Descriptions() const;
    QStringList Patterns() const;

private:
    QWidget* parent_;
};

using TSaveDialogHook = std::function<bool(TSaveDialog&)>;
void SetSaveDialogHook(TSaveDialogHook hook);

}  // namespace gui

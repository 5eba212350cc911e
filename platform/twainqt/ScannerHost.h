#pragma once
// The scanner's host hooks over Qt Widgets: the parent window is a QWidget (disabled
// while a scan runs), pending window events are Qt's, and the source selection is a
// small modal dialog listing the scanner names. Install it once the QApplication
// exists; without it the scanner works without a window (no selection, no events).
#include <string>
#include <vector>

class QWidget;

namespace platform::twain {

void InstallQtScannerHost();

// The selection dialog itself ("SourceList" and the OK/Cancel buttons carry object
// names for tests): the chosen index, or -1 when cancelled.
int SelectSourceDialog(const std::vector<std::string>& names, int current, QWidget* parent = nullptr);

}  // namespace platform::twain

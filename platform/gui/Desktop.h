#pragma once
// What the program asks of the desktop: open a file, page or link with the program
// the user chose for it, and the clipboard's text. Opening answers false when the
// desktop could not do it; the callers that must stay silent ignore that.
#include <QString>

namespace gui {

bool OpenDocument(const QString& pathOrUrl);
void SetClipboardText(const QString& text);
QString ClipboardText();

}  // namespace gui

#include "platform/gui/Desktop.h"

#include <QClipboard>
#include <QDesktopServices>
#include <QFileInfo>
#include <QGuiApplication>
#include <QUrl>

namespace gui {

bool OpenDocument(const QString& pathOrUrl) {
    const QUrl url = QFileInfo(pathOrUrl).isAbsolute() ? QUrl::fromLocalFile(pathOrUrl) : QUrl(pathOrUrl);
    return QDesktopServices::openUrl(url);
}

void SetClipboardText(const QString& text) { QGuiApplication::clipboard()->setText(text); }

QString ClipboardText() { return QGuiApplication::clipboard()->text(); }

}  // namespace gui

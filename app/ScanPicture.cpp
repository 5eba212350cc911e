#include "app/ScanPicture.h"

#include <QBuffer>
#include <QPainter>

#include "imaging/Scanner.h"
#include "platform/dataset/Fields.h"

namespace app {

bool ScanInto(kura::imaging::TScanner& scanner, QImage& work, const QRect& frame) {
    {
        QPainter painter(&work);
        painter.setPen(Qt::black);
        painter.setBrush(Qt::white);
        painter.drawRect(frame);
    }
    if (!scanner.SelectSource()) return false;
    // The source just chosen is the manager's default: the scan opens it without asking
    // for a source a second time.
    const bool useDefault = scanner.UseDefaultSource;
    scanner.UseDefaultSource = true;
    const bool scanned = scanner.Acquire();
    scanner.UseDefaultSource = useDefault;
    if (!scanned) return false;
    const auto& bytes = scanner.Bitmap();
    QImage scan;
    if (bytes.empty() ||
        !scan.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()), "BMP"))
        return false;
    const kura::imaging::TFitRect fit =
        kura::imaging::StretchToRect(work.width(), work.height(), scan.width(), scan.height(), true);
    QPainter painter(&work);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(QRect(fit.left, fit.top, fit.width, fit.height), scan);
    return true;
}

void StorePicture(kura::TField* field, const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "BMP");
    static_cast<kura::TBlobField*>(field)->SetAsBytes(bytes.toStdString());
}

QImage LoadPicture(const kura::TField* field) {
    QImage image;
    if (field->IsNull()) return image;
    const std::string bytes = field->AsString();
    image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()));
    return image;
}

}  // namespace app

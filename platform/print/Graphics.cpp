#include "platform/print/Graphics.h"

#include <QFont>
#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QTextLayout>

#include <climits>
#include <cmath>

#include "platform/CodePage.h"
#include "platform/print/QtBridge.h"

namespace platform {

QString ToQString(std::string_view cp932) {
    const std::string utf8 = Cp932ToUtf8(cp932);
    return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

std::string FromQString(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    return Utf8ToCp932(std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())));
}

QColor ToQColor(TColor color) {
    return QColor(static_cast<int>(color & 0xFF), static_cast<int>((color >> 8) & 0xFF),
                  static_cast<int>((color >> 16) & 0xFF));
}

TColor FromQRgb(unsigned rgb) {
    return ((rgb >> 16) & 0xFF) | (rgb & 0xFF00) | ((rgb & 0xFF) << 16);
}

QString FontFamily(const std::string& name) {
    // The Windows Japanese faces the forms name, and the IPA faces installed in their place.
    static const struct {
        const char* windows;
        const char* ipa;
    } kFaces[] = {
        {"ＭＳ 明朝", "IPAMincho"},     {"ＭＳ Ｐ明朝", "IPAPMincho"},
        {"ＭＳ ゴシック", "IPAGothic"}, {"ＭＳ Ｐゴシック", "IPAPGothic"},
    };
    for (const auto& face : kFaces)
        if (name == face.windows) return QString::fromUtf8(face.ipa);
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}

QFont ToQFont(const TFont& font, int pixelsPerInch, bool antialias) {
    QFont qfont(FontFamily(font.Name));
    const double pixels = std::abs(font.Height) * static_cast<double>(pixelsPerInch) / kScreenPixelsPerInch;
    qfont.setPixelSize(std::max(1, RoundHalfEven(pixels)));
    qfont.setBold(font.Bold);
    qfont.setItalic(font.Italic);
    qfont.setUnderline(font.Underline);
    // Unhinted outlines keep widths proportional to the size, so a page measures the same
    // on screen and on paper.
    qfont.setHintingPreference(QFont::PreferNoHinting);
    qfont.setKerning(false);
    if (!antialias) qfont.setStyleStrategy(QFont::NoAntialias);
    return qfont;
}

int RoundHalfEven(double value) {
    const double r = std::nearbyint(value);
    if (r >= static_cast<double>(INT_MAX)) return INT_MAX;
    if (r <= static_cast<double>(INT_MIN)) return INT_MIN;
    return static_cast<int>(r);
}

TCanvas::~TCanvas() = default;

int TCanvas::ScaledFontHeight() const {
    const double h = font_.Height * static_cast<double>(PixelsPerInch()) / kScreenPixelsPerInch;
    return RoundHalfEven(h);
}

int TCanvas::GetDeviceCaps(int index) const {
    switch (index) {
    case LOGPIXELSX:
    case LOGPIXELSY:
        return PixelsPerInch();
    default:
        return 0;
    }
}

namespace {

// The text as shown when "&" marks accelerators: "&&" is one "&", a single "&" vanishes.
QString WithoutPrefixes(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '&') {
            out += text[i];
        } else if (i + 1 < text.size()) {
            out += text[++i];  // "&&" gives "&", "&x" the x it underlines
        }
    }
    return out;
}

QFontMetrics Metrics(const TCanvas& canvas) {
    return QFontMetrics(ToQFont(canvas.Font(), canvas.PixelsPerInch(), true));
}

}  // namespace

void TCanvas::FillRect(const TRect& r) {
    QPainter* p = Painter();
    if (!p || BrushStyle == TBrushStyle::bsClear) return;
    p->fillRect(QRect(r.Left, r.Top, r.Width(), r.Height()), ToQColor(BrushColor));
}

void TCanvas::Line(int x1, int y1, int x2, int y2) {
    QPainter* p = Painter();
    if (!p) return;
    const int w = std::max(1, PenWidth);
    const QColor color = ToQColor(PenColor);
    const bool dotted = PenStyle == TPenStyle::psDot;
    if (y1 == y2 || x1 == x2) {
        const bool horizontal = y1 == y2;
        int from = horizontal ? std::min(x1, x2) : std::min(y1, y2);
        int to = horizontal ? std::max(x1, x2) : std::max(y1, y2);
        const int across = (horizontal ? y1 : x1) - w / 2;
        if (w > 1) {
            from -= w / 2;
            to += w - w / 2 - 1;
        } else if (to > from) {
            --to;  // the end point is not drawn, as with LineTo
        }
        for (int pos = from; pos <= to; ++pos) {
            if (dotted && ((pos - from) & 1)) continue;
            const int run = dotted ? 1 : to - pos + 1;
            if (horizontal)
                p->fillRect(QRect(pos, across, run, w), color);
            else
                p->fillRect(QRect(across, pos, w, run), color);
            if (!dotted) break;
        }
        return;
    }
    QPen pen(color);
    pen.setWidth(w);
    pen.setStyle(dotted ? Qt::DotLine : Qt::SolidLine);
    p->setPen(pen);
    p->drawLine(x1, y1, x2, y2);
}

int TCanvas::TextWidth(std::string_view text) {
    return Metrics(*this).horizontalAdvance(ToQString(text));
}

int TCanvas::TextHeight(std::string_view) { return Metrics(*this).height(); }

void TCanvas::TextRect(const TRect& clip, int x, int y, std::string_view text) {
    QPainter* p = Painter();
    if (!p) return;
    const QString s = ToQString(text);
    const QFontMetrics fm = Metrics(*this);
    const QRect clipRect(clip.Left, clip.Top, clip.Width(), clip.Height());
    p->save();
    p->setClipRect(clipRect);
    if (BrushStyle != TBrushStyle::bsClear)
        p->fillRect(QRect(x, y, fm.horizontalAdvance(s), fm.height()).intersected(clipRect),
                    ToQColor(BrushColor));
    p->setFont(ToQFont(font_, PixelsPerInch(), p->renderHints() & QPainter::TextAntialiasing));
    p->setPen(ToQColor(font_.Color));
    p->drawText(QPoint(x, y + fm.ascent()), s);
    p->restore();
}

void TCanvas::TextOut(int x, int y, std::string_view text) {
    TextRect(TRect{x, y, INT_MAX / 2, INT_MAX / 2}, x, y, text);
}

int TCanvas::DrawText(std::string_view text, TRect& r, unsigned flags) {
    const QString s = ToQString(text);
    int qflags = 0;
    if (flags & DT_RIGHT)
        qflags |= Qt::AlignRight;
    else if (flags & DT_CENTER)
        qflags |= Qt::AlignHCenter;
    else
        qflags |= Qt::AlignLeft;
    if (flags & DT_SINGLELINE) {
        qflags |= Qt::TextSingleLine;
        if (flags & DT_BOTTOM)
            qflags |= Qt::AlignBottom;
        else if (flags & DT_VCENTER)
            qflags |= Qt::AlignVCenter;
        else
            qflags |= Qt::AlignTop;
    } else {
        qflags |= Qt::AlignTop;
        if (flags & DT_WORDBREAK) qflags |= Qt::TextWordWrap;
    }
    if (!(flags & DT_NOPREFIX)) qflags |= Qt::TextShowMnemonic;
    if (flags & DT_NOCLIP) qflags |= Qt::TextDontClip;
    if (flags & DT_EXPANDTABS) qflags |= Qt::TextExpandTabs;

    if (flags & DT_CALCRECT) {
        // Measured as DrawTextA measures: whole lines of the font's height.
        const QFontMetrics fm = Metrics(*this);
        const QString shown = (flags & DT_NOPREFIX) ? s : WithoutPrefixes(s);
        if (flags & DT_SINGLELINE) {
            r.Right = r.Left + fm.horizontalAdvance(shown);
            r.Bottom = r.Top + fm.height();
            return fm.height();
        }
        QString text = shown;
        text.replace("\r\n", QString(QChar::LineSeparator));
        text.replace('\n', QChar::LineSeparator);
        QTextLayout layout(text, ToQFont(font_, PixelsPerInch(), true));
        QTextOption option;
        option.setWrapMode((flags & DT_WORDBREAK) ? QTextOption::WordWrap : QTextOption::NoWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        int lines = 0;
        qreal widest = 0;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth((flags & DT_WORDBREAK) ? std::max(1, r.Width()) : INT_MAX / 4);
            widest = std::max(widest, line.naturalTextWidth());
            ++lines;
        }
        layout.endLayout();
        const int height = std::max(1, lines) * fm.height();
        r.Right = r.Left + static_cast<int>(std::ceil(widest));
        r.Bottom = r.Top + height;
        return height;
    }
    QPainter* p = Painter();
    if (!p) return 0;
    p->save();
    p->setFont(ToQFont(font_, PixelsPerInch(), p->renderHints() & QPainter::TextAntialiasing));
    p->setPen(ToQColor(font_.Color));
    QRect bounding;
    p->drawText(QRect(r.Left, r.Top, r.Width(), r.Height()), qflags, s, &bounding);
    p->restore();
    return bounding.height();
}

namespace {

// Shrinking keeps dark pixels as the default stretch mode of a device context does
// (BLACKONWHITE): every target pixel is the AND of the source pixels it replaces, so
// thin black lines survive a reduced preview.
QImage ShrinkKeepingBlack(const QImage& source, int width, int height) {
    const QImage src = source.convertToFormat(QImage::Format_RGB32);
    QImage out(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y) {
        const int y0 = static_cast<int>(static_cast<int64_t>(y) * src.height() / height);
        const int y1 = std::max(y0 + 1, static_cast<int>(static_cast<int64_t>(y + 1) * src.height() / height));
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int x0 = static_cast<int>(static_cast<int64_t>(x) * src.width() / width);
            const int x1 = std::max(x0 + 1, static_cast<int>(static_cast<int64_t>(x + 1) * src.width() / width));
            QRgb value = 0xFFFFFFFF;
            for (int sy = y0; sy < y1; ++sy) {
                const auto* in = reinterpret_cast<const QRgb*>(src.constScanLine(sy));
                for (int sx = x0; sx < x1; ++sx) value &= in[sx];
            }
            line[x] = value;
        }
    }
    return out;
}

}  // namespace

void TCanvas::StretchDraw(const TRect& dest, const QImage& image) {
    QPainter* p = Painter();
    if (!p || image.isNull() || dest.Width() <= 0 || dest.Height() <= 0) return;
    p->save();
    p->setRenderHint(QPainter::SmoothPixmapTransform, false);
    const QRect target(dest.Left, dest.Top, dest.Width(), dest.Height());
    if (dest.Width() < image.width() && dest.Height() < image.height())
        p->drawImage(target.topLeft(), ShrinkKeepingBlack(image, dest.Width(), dest.Height()));
    else
        p->drawImage(target, image);
    p->restore();
}

// ---------------------------------------------------------------------------

class TBitmap::BitmapCanvas : public TCanvas {
public:
    explicit BitmapCanvas(TBitmap& owner) : owner_(owner) {}
    ~BitmapCanvas() override { End(); }
    int PixelsPerInch() const override { return kScreenPixelsPerInch; }
    QPainter* Painter() override {
        if (painter_.isActive()) return &painter_;
        if (owner_.image_->isNull()) return nullptr;
        if (!painter_.begin(owner_.image_.get())) return nullptr;
        painter_.setRenderHint(QPainter::Antialiasing, false);
        painter_.setRenderHint(QPainter::TextAntialiasing, false);
        return &painter_;
    }
    void End() {
        if (painter_.isActive()) painter_.end();
    }

private:
    TBitmap& owner_;
    QPainter painter_;
};

TBitmap::TBitmap() : image_(std::make_unique<QImage>()), canvas_(std::make_unique<BitmapCanvas>(*this)) {}

TBitmap::TBitmap(int width, int height, TPixelFormat format) : TBitmap() {
    format_ = format;
    SetSize(width, height);
}

TBitmap::~TBitmap() { canvas_->End(); }

int TBitmap::Width() const { return image_->width(); }
int TBitmap::Height() const { return image_->height(); }

void TBitmap::SetSize(int width, int height) {
    if (width == Width() && height == Height()) return;
    canvas_->End();
    if (width <= 0 || height <= 0) {
        *image_ = QImage();
        return;
    }
    *image_ = QImage(width, height, QImage::Format_RGB32);
    image_->fill(Qt::white);
}

TCanvas& TBitmap::Canvas() { return *canvas_; }

const QImage& TBitmap::Image() {
    canvas_->End();
    return *image_;
}

void TBitmap::Assign(const QImage& image) {
    canvas_->End();
    *image_ = image.convertToFormat(QImage::Format_RGB32);
}

TColor TBitmap::Pixel(int x, int y) {
    canvas_->End();
    if (x < 0 || y < 0 || x >= Width() || y >= Height()) return clWhite;
    return FromQRgb(image_->pixel(x, y));
}

}  // namespace platform

#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "platform/gdi/QtBridge.h"

namespace platform::gdi {
namespace {

constexpr int64_t kMaxPixels = int64_t{1} << 28;

uint64_t AbsHeight(int32_t h) { return h < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(h)) : static_cast<uint64_t>(h); }

bool ValidInfo(const BitmapInfo& info)
{
    const int b = info.bitCount;
    return info.width >= 1 && info.height != 0 && (b == 1 || b == 4 || b == 8 || b == 24) &&
           static_cast<int64_t>(info.width) * static_cast<int64_t>(AbsHeight(info.height)) <= kMaxPixels;
}

LogPalette DefaultPalette(PixelFormat format)
{
    LogPalette p;
    switch (format) {
    case PixelFormat::pf1bit:
        p = {{0, 0, 0, 0}, {255, 255, 255, 0}};
        break;
    case PixelFormat::pf4bit: {
        static const uint8_t vga[16][3] = {{0, 0, 0},       {128, 0, 0},   {0, 128, 0},   {128, 128, 0},
                                           {0, 0, 128},     {128, 0, 128}, {0, 128, 128}, {128, 128, 128},
                                           {192, 192, 192}, {255, 0, 0},   {0, 255, 0},   {255, 255, 0},
                                           {0, 0, 255},     {255, 0, 255}, {0, 255, 255}, {255, 255, 255}};
        for (const auto& c : vga)
            p.push_back({c[0], c[1], c[2], 0});
        break;
    }
    case PixelFormat::pf8bit:
        for (int r = 0; r < 6; ++r)
            for (int g = 0; g < 6; ++g)
                for (int b = 0; b < 6; ++b)
                    p.push_back({static_cast<uint8_t>(r * 51), static_cast<uint8_t>(g * 51), static_cast<uint8_t>(b * 51), 0});
        for (int i = 0; i < 40; ++i) {
            const auto v = static_cast<uint8_t>((i + 1) * 255 / 41);
            p.push_back({v, v, v, 0});
        }
        break;
    case PixelFormat::pf24bit:
        break;
    }
    return p;
}

}  // namespace

QImage ImageFromDIB(const BitmapInfo& info, const uint8_t* bits)
{
    if (!ValidInfo(info) || bits == nullptr)
        return {};
    const int w = info.width;
    const int h = static_cast<int>(AbsHeight(info.height));
    const uint64_t stride = ((static_cast<uint64_t>(w) * info.bitCount + 31) / 32) * 4;
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        const uint64_t stored = info.height > 0 ? static_cast<uint64_t>(h - 1 - y) : static_cast<uint64_t>(y);
        const uint8_t* row = bits + stored * stride;
        auto* out = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) {
            if (info.bitCount == 24) {
                out[x] = qRgb(row[3 * x + 2], row[3 * x + 1], row[3 * x]);
                continue;
            }
            uint32_t index;
            if (info.bitCount == 1)
                index = (row[x >> 3] >> (7 - (x & 7))) & 1;
            else if (info.bitCount == 4)
                index = (x & 1) ? (row[x >> 1] & 0x0F) : (row[x >> 1] >> 4);
            else
                index = row[x];
            if (index < info.colorCount && info.colors != nullptr) {
                const uint8_t* q = info.colors + 4 * index;
                out[x] = qRgb(q[2], q[1], q[0]);
            } else {
                out[x] = qRgb(0, 0, 0);
            }
        }
    }
    return image;
}

Canvas::Canvas(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

Canvas::~Canvas()
{
    if (impl_ && impl_->onClose)
        impl_->onClose();
}

std::unique_ptr<Canvas> CanvasOnPainter(QPainter& painter)
{
    auto impl = std::make_unique<Canvas::Impl>();
    impl->painter = &painter;
    return std::make_unique<Canvas>(std::move(impl));
}

std::unique_ptr<Canvas> CanvasOnImage(QImage& image)
{
    auto impl = std::make_unique<Canvas::Impl>();
    impl->image = &image;
    return std::make_unique<Canvas>(std::move(impl));
}

namespace {

template <typename F>
void Paint(Canvas::Impl& impl, F&& f)
{
    if (impl.painter != nullptr) {
        impl.painter->save();
        f(*impl.painter);
        impl.painter->restore();
    } else if (impl.image != nullptr && !impl.image->isNull()) {
        QPainter painter(impl.image);
        f(painter);
    }
}

}  // namespace

bool Canvas::StretchDIBits(int32_t dx, int32_t dy, int32_t dw, int32_t dh, int32_t sx, int32_t sy, int32_t sw,
                           int32_t sh, const BitmapInfo& info, const uint8_t* bits)
{
    if (!ValidInfo(info) || bits == nullptr || sw <= 0 || sh <= 0 || dw == 0 || dh == 0)
        return false;
    const int64_t aw = dw < 0 ? -int64_t{dw} : dw;
    const int64_t ah = dh < 0 ? -int64_t{dh} : dh;
    if (aw * ah > kMaxPixels)
        return false;
    const QImage source = ImageFromDIB(info, bits);
    QImage target(static_cast<int>(aw), static_cast<int>(ah), QImage::Format_RGB32);
    for (int64_t ty = 0; ty < ah; ++ty) {
        const int64_t my = dh < 0 ? ah - 1 - ty : ty;
        const int64_t syy = sy + (2 * my + 1) * sh / (2 * ah);
        auto* out = reinterpret_cast<QRgb*>(target.scanLine(static_cast<int>(ty)));
        const bool rowInside = syy >= 0 && syy < source.height();
        const auto* in = rowInside ? reinterpret_cast<const QRgb*>(source.constScanLine(static_cast<int>(syy))) : nullptr;
        for (int64_t tx = 0; tx < aw; ++tx) {
            const int64_t mx = dw < 0 ? aw - 1 - tx : tx;
            const int64_t sxx = sx + (2 * mx + 1) * sw / (2 * aw);
            out[tx] = in != nullptr && sxx >= 0 && sxx < source.width() ? in[sxx] : qRgb(0, 0, 0);
        }
    }
    const int left = static_cast<int>(dw < 0 ? dx + dw : dx);
    const int top = static_cast<int>(dh < 0 ? dy + dh : dy);
    Paint(*impl_, [&](QPainter& p) {
        p.setRenderHint(QPainter::SmoothPixmapTransform, false);
        p.setCompositionMode(QPainter::CompositionMode_Source);
        p.drawImage(QPoint(left, top), target);
    });
    return true;
}

void Canvas::FillRect(const TRect& rect, uint8_t red, uint8_t green, uint8_t blue)
{
    Paint(*impl_, [&](QPainter& p) {
        p.fillRect(QRect(rect.Left, rect.Top, rect.Width(), rect.Height()), QColor(red, green, blue));
    });
}

Bitmap::Bitmap() : impl_(std::make_unique<Impl>())
{
    SetFormat(PixelFormat::pf24bit);
}

Bitmap::~Bitmap() = default;

int32_t Bitmap::Width() const { return impl_->image.width(); }
int32_t Bitmap::Height() const { return impl_->image.height(); }

void Bitmap::SetSize(int32_t width, int32_t height)
{
    canvas_.reset();
    impl_->image = QImage(width < 0 ? 0 : width, height < 0 ? 0 : height, QImage::Format_RGB32);
    impl_->image.fill(Qt::white);
}

void Bitmap::SetFormat(PixelFormat format)
{
    format_ = format;
    palette_ = format == PixelFormat::pf24bit ? nullptr : CreatePalette(DefaultPalette(format));
}

Canvas& Bitmap::GetCanvas()
{
    if (!canvas_)
        canvas_ = CanvasOnImage(impl_->image);
    return *canvas_;
}

uint32_t Bitmap::PixelColor(int32_t x, int32_t y) const
{
    return impl_->image.pixel(x, y) & 0xFFFFFF;
}

void StoreImage(const QImage& image, const BitmapInfo& info, uint8_t* bits)
{
    if (!ValidInfo(info) || bits == nullptr || image.width() != info.width ||
        static_cast<uint64_t>(image.height()) != AbsHeight(info.height))
        return;
    const int w = image.width();
    const int h = image.height();
    const uint64_t stride = ((static_cast<uint64_t>(w) * info.bitCount + 31) / 32) * 4;
    const uint32_t colours = info.colors == nullptr ? 0 : info.colorCount;
    // Pages are mostly long stretches of one colour: the last answer goes first.
    std::unordered_map<QRgb, uint8_t> nearest;
    QRgb lastColour = 0;
    uint8_t lastIndex = 0;
    bool haveLast = false;
    auto indexOf = [&](QRgb c) -> uint8_t {
        if (haveLast && c == lastColour)
            return lastIndex;
        auto it = nearest.find(c);
        if (it != nearest.end()) {
            haveLast = true, lastColour = c, lastIndex = it->second;
            return it->second;
        }
        uint8_t best = 0;
        int bestDistance = 1 << 30;
        for (uint32_t i = 0; i < colours; ++i) {
            const uint8_t* q = info.colors + 4 * i;
            const int dr = qRed(c) - q[2], dg = qGreen(c) - q[1], db = qBlue(c) - q[0];
            const int d = dr * dr + dg * dg + db * db;
            if (d < bestDistance) {
                bestDistance = d;
                best = static_cast<uint8_t>(i);
            }
        }
        nearest.emplace(c, best);
        haveLast = true, lastColour = c, lastIndex = best;
        return best;
    };
    for (int y = 0; y < h; ++y) {
        const QImage line = image.format() == QImage::Format_RGB32 || image.format() == QImage::Format_ARGB32
                                ? QImage()
                                : image.copy(0, y, w, 1).convertToFormat(QImage::Format_RGB32);
        const auto* in = reinterpret_cast<const QRgb*>(line.isNull() ? image.constScanLine(y) : line.constScanLine(0));
        const uint64_t stored = info.height > 0 ? static_cast<uint64_t>(h - 1 - y) : static_cast<uint64_t>(y);
        uint8_t* row = bits + stored * stride;
        if (info.bitCount != 24)
            std::memset(row, 0, stride);
        for (int x = 0; x < w; ++x) {
            const QRgb c = in[x];
            switch (info.bitCount) {
            case 24:
                row[3 * x] = static_cast<uint8_t>(qBlue(c));
                row[3 * x + 1] = static_cast<uint8_t>(qGreen(c));
                row[3 * x + 2] = static_cast<uint8_t>(qRed(c));
                break;
            case 8: row[x] = indexOf(c); break;
            case 4: row[x >> 1] |= (x & 1) ? indexOf(c) : static_cast<uint8_t>(indexOf(c) << 4); break;
            default:
                if (indexOf(c) & 1)
                    row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
                break;
            }
        }
    }
}

DIBits GetDIBits(const Bitmap& bitmap)
{
    DIBits result;
    const QImage& image = bitmap.impl().image;
    switch (bitmap.Format()) {
    case PixelFormat::pf1bit: result.bitCount = 1; break;
    case PixelFormat::pf4bit: result.bitCount = 4; break;
    case PixelFormat::pf8bit: result.bitCount = 8; break;
    case PixelFormat::pf24bit: result.bitCount = 24; break;
    }
    if (result.bitCount != 24)
        result.colors = GetPaletteEntries(bitmap.Palette());
    std::vector<uint8_t> quads;
    for (const PaletteEntry& e : result.colors)
        quads.insert(quads.end(), {e.peBlue, e.peGreen, e.peRed, 0});
    BitmapInfo info{image.width(), image.height(), result.bitCount, quads.data(),
                    static_cast<uint32_t>(result.colors.size())};
    const uint64_t stride = ((static_cast<uint64_t>(image.width()) * result.bitCount + 31) / 32) * 4;
    result.bits.assign(stride * static_cast<uint64_t>(image.height()), 0);
    StoreImage(image, info, result.bits.data());
    return result;
}

std::unique_ptr<Canvas> CreateDIBSectionCanvas(const BitmapInfo& info, uint8_t* bits)
{
    if (!ValidInfo(info) || bits == nullptr)
        return nullptr;
    auto impl = std::make_unique<Canvas::Impl>();
    impl->owned = ImageFromDIB(info, bits);
    impl->image = &impl->owned;
    std::vector<uint8_t> colours;
    if (info.colors != nullptr)
        colours.assign(info.colors, info.colors + 4 * info.colorCount);
    Canvas::Impl* self = impl.get();
    impl->onClose = [self, info, bits, colours] {
        BitmapInfo written = info;
        written.colors = colours.data();
        StoreImage(self->owned, written, bits);
    };
    return std::make_unique<Canvas>(std::move(impl));
}

void EnsureGuiApplication(bool offscreen)
{
    if (QGuiApplication::instance() != nullptr)
        return;
    if (offscreen || (std::getenv("DISPLAY") == nullptr && std::getenv("WAYLAND_DISPLAY") == nullptr))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "yomitora";
    static char* argv[] = {name, nullptr};
    static QGuiApplication* app = new QGuiApplication(argc, argv);
    (void)app;
}

}  // namespace platform::gdi

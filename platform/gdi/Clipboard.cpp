#include "platform/gdi/Clipboard.h"

#include <QByteArray>
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <cstring>

namespace platform::gdi {
namespace {

constexpr const char* kPrivateType = "application/x-yomitora-dib";
constexpr const char* kBmpType = "image/bmp";

uint32_t U32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}

void Put32(QByteArray& out, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.append(static_cast<char>((v >> (8 * i)) & 0xFF));
}

HGlobal BlockOf(const QByteArray& bytes, int skip)
{
    if (bytes.size() <= skip)
        return nullptr;
    HGlobal block = GlobalAlloc(static_cast<std::size_t>(bytes.size() - skip));
    if (block)
        std::memcpy(block->Lock(), bytes.constData() + skip, block->GlobalSize());
    return block;
}

}  // namespace

bool SetClipboardDIB(const GlobalBlock& block)
{
    QClipboard* clipboard = QGuiApplication::instance() ? QGuiApplication::clipboard() : nullptr;
    if (clipboard == nullptr || block.GlobalSize() < 4)
        return false;
    const QByteArray packed(reinterpret_cast<const char*>(block.Lock()), static_cast<qsizetype>(block.GlobalSize()));
    // The file header's pixel offset: header, masks and colour table as the block holds them.
    const uint8_t* p = block.Lock();
    const uint32_t headerSize = U32(p);
    uint64_t offBits = 14 + uint64_t{headerSize};
    if (headerSize == 40 && block.GlobalSize() >= 40) {
        const uint16_t bits = static_cast<uint16_t>(p[14] | p[15] << 8);
        uint64_t colors = U32(p + 32);
        if (colors == 0 && bits <= 8)
            colors = uint64_t{1} << bits;
        offBits += 4 * colors + (U32(p + 16) == 3 ? 12 : 0);
    } else if (headerSize == 12 && block.GlobalSize() >= 12) {
        const uint16_t bits = static_cast<uint16_t>(p[10] | p[11] << 8);
        offBits += bits <= 8 ? 3 * (uint64_t{1} << bits) : 0;
    }
    QByteArray bmp("BM");
    Put32(bmp, static_cast<uint32_t>(14 + block.GlobalSize()));
    Put32(bmp, 0);
    Put32(bmp, static_cast<uint32_t>(offBits));
    bmp.append(packed);
    auto* mime = new QMimeData;
    mime->setData(kPrivateType, packed);
    mime->setData(kBmpType, bmp);
    clipboard->setMimeData(mime);
    return true;
}

HGlobal GetClipboardDIB()
{
    QClipboard* clipboard = QGuiApplication::instance() ? QGuiApplication::clipboard() : nullptr;
    const QMimeData* mime = clipboard ? clipboard->mimeData() : nullptr;
    if (mime == nullptr)
        return nullptr;
    if (mime->hasFormat(kPrivateType))
        return BlockOf(mime->data(kPrivateType), 0);
    if (mime->hasFormat(kBmpType)) {
        const QByteArray bmp = mime->data(kBmpType);
        if (bmp.size() > 14 && bmp.startsWith("BM"))
            return BlockOf(bmp, 14);
    }
    return nullptr;
}

}  // namespace platform::gdi

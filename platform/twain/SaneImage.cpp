#include "platform/twain/SaneImage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

namespace platform::twain {
namespace {

constexpr int32_t MaxDimension = 1 << 20;

bool IsSingleColour(int format) {
    return format == SANE_FRAME_RED || format == SANE_FRAME_GREEN || format == SANE_FRAME_BLUE;
}

int Channels(int format) { return format == SANE_FRAME_RGB ? 3 : 1; }

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out[at] = uint8_t(v);
    out[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}

// One frame's raw rows as the backend sent them.
struct Frame {
    SANE_Parameters params{};
    std::vector<uint8_t> bytes;
    int32_t lines = 0;
};

bool ReadFrame(const SANE_Parameters& params, const SaneReader& reader, Frame& frame,
               std::string& error) {
    frame.params = params;
    const uint64_t bpl = uint64_t(params.bytes_per_line);
    const bool known = params.lines >= 0;
    const uint64_t expected = known ? bpl * uint64_t(params.lines) : 0;
    if (known) frame.bytes.reserve(expected);
    std::array<SANE_Byte, 32768> chunk;
    for (;;) {
        SANE_Int got = 0;
        const SANE_Status status = reader.Read(chunk.data(), SANE_Int(chunk.size()), &got);
        if (status == SANE_STATUS_EOF) break;
        if (status != SANE_STATUS_GOOD) {
            error = "the scanner reported an error while sending the page (SANE status " +
                    std::to_string(int(status)) + ")";
            return false;
        }
        if (got < 0 || got > SANE_Int(chunk.size())) {
            error = "the scanner answered an impossible read length";
            return false;
        }
        const uint64_t total = frame.bytes.size() + uint64_t(got);
        if ((known && total > expected) || total > MaxPageBytes) {
            error = "the scanner sent more data than it announced";
            return false;
        }
        frame.bytes.insert(frame.bytes.end(), chunk.data(), chunk.data() + got);
    }
    if (known && frame.bytes.size() != expected) {
        error = "the scanner sent less data than it announced";
        return false;
    }
    if (!known && (frame.bytes.empty() || frame.bytes.size() % bpl != 0)) {
        error = "the scanner ended the page inside a line";
        return false;
    }
    const uint64_t lines = frame.bytes.size() / bpl;
    if (lines > uint64_t(MaxDimension)) {
        error = "the page is longer than the largest picture accepted";
        return false;
    }
    frame.lines = int32_t(lines);
    return true;
}

// Sample c of pixel x in a raw row, scaled to 8 bits.
uint8_t Sample(const uint8_t* row, int depth, int channels, int x, int c) {
    const size_t index = size_t(x) * channels + c;
    switch (depth) {
        case 8: return row[index];
        case 16: {
            uint16_t v;
            std::memcpy(&v, row + 2 * index, 2);  // host order, as SANE sends it
            return uint8_t(v >> 8);
        }
        default: return (row[index / 8] >> (7 - index % 8)) & 1 ? 255 : 0;
    }
}

}  // namespace

int FrameFormat(const SANE_Parameters& params) {
    int format;
    static_assert(sizeof format == sizeof params.format);
    std::memcpy(&format, &params.format, sizeof format);
    return format;
}

std::string CheckSaneParameters(const SANE_Parameters& p) {
    const int format = FrameFormat(p);
    if (format != SANE_FRAME_GRAY && format != SANE_FRAME_RGB && !IsSingleColour(format))
        return "the scanner sends a picture format that is not supported";
    if (p.depth != 1 && p.depth != 8 && p.depth != 16)
        return "the scanner sends a sample depth that is not supported";
    if (p.pixels_per_line <= 0 || p.pixels_per_line > MaxDimension)
        return "the scanner announced an impossible line width";
    if (p.lines < -1 || p.lines == 0 || p.lines > MaxDimension)
        return "the scanner announced an impossible number of lines";
    const uint64_t needed =
        (uint64_t(p.pixels_per_line) * Channels(format) * uint64_t(p.depth) + 7) / 8;
    if (p.bytes_per_line <= 0 || uint64_t(p.bytes_per_line) < needed ||
        uint64_t(p.bytes_per_line) > needed + 65536)
        return "the scanner announced a line length that does not fit its width";
    if (p.lines > 0 && uint64_t(p.bytes_per_line) * uint64_t(p.lines) > MaxPageBytes)
        return "the page is larger than the largest picture accepted";
    return "";
}

int DibBitsPerPixel(const SANE_Parameters& p) {
    if (FrameFormat(p) != SANE_FRAME_GRAY) return 24;
    return p.depth == 1 ? 1 : 8;
}

bool AssemblePackedDib(const SANE_Parameters& first, const SaneReader& reader, double dpi,
                       std::vector<uint8_t>& dib, std::string& error) {
    error = CheckSaneParameters(first);
    if (!error.empty()) return false;

    // One frame, or for a three-pass scan one frame per colour in the order sent.
    std::vector<Frame> frames(1);
    if (!ReadFrame(first, reader, frames[0], error)) return false;
    if (IsSingleColour(FrameFormat(first))) {
        while (!frames.back().params.last_frame) {
            if (frames.size() == 3) {
                error = "the scanner sent more than three colour passes";
                return false;
            }
            SANE_Parameters next{};
            if (!reader.NextFrame || reader.NextFrame(&next) != SANE_STATUS_GOOD) {
                error = "the scanner could not start the next colour pass";
                return false;
            }
            if (!IsSingleColour(FrameFormat(next)) || next.depth != first.depth ||
                next.pixels_per_line != first.pixels_per_line || next.lines != first.lines ||
                next.bytes_per_line != first.bytes_per_line) {
                error = "the colour passes of the page do not match";
                return false;
            }
            frames.emplace_back();
            if (!ReadFrame(next, reader, frames.back(), error)) return false;
        }
        if (frames.size() != 3 || frames[1].lines != frames[0].lines ||
            frames[2].lines != frames[0].lines) {
            error = "the colour passes of the page do not match";
            return false;
        }
    }

    const int32_t width = first.pixels_per_line;
    const int32_t height = frames[0].lines;
    const int bpp = DibBitsPerPixel(first);
    const uint32_t paletteEntries = bpp == 1 ? 2 : bpp == 8 ? 256 : 0;
    const uint64_t stride = (uint64_t(width) * bpp + 31) / 32 * 4;
    const uint64_t imageSize = stride * uint64_t(height);
    const uint64_t headerSize = 40 + 4 * uint64_t(paletteEntries);
    dib.assign(headerSize + imageSize, 0);

    const auto ppm = uint32_t(std::lround(std::max(dpi, 0.0) * 10000.0 / 254.0));
    Put32(dib, 0, 40);
    Put32(dib, 4, uint32_t(width));
    Put32(dib, 8, uint32_t(height));
    Put16(dib, 12, 1);
    Put16(dib, 14, uint16_t(bpp));
    Put32(dib, 20, uint32_t(imageSize));
    Put32(dib, 24, ppm);
    Put32(dib, 28, ppm);
    Put32(dib, 32, paletteEntries);
    for (uint32_t i = 0; i < paletteEntries; ++i) {
        const uint8_t grey = paletteEntries == 2 ? uint8_t(i * 255) : uint8_t(i);
        dib[40 + 4 * i] = dib[41 + 4 * i] = dib[42 + 4 * i] = grey;
    }

    const size_t bpl = size_t(first.bytes_per_line);
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* out = dib.data() + headerSize + stride * uint64_t(height - 1 - y);
        if (bpp == 1) {
            // SANE's set bit is black; the picture's index 0 is black.
            const uint8_t* row = frames[0].bytes.data() + bpl * y;
            const size_t bytes = (size_t(width) + 7) / 8;
            for (size_t i = 0; i < bytes; ++i) out[i] = uint8_t(~row[i]);
            if (width % 8) out[bytes - 1] &= uint8_t(0xFF << (8 - width % 8));
        } else if (bpp == 8) {
            const uint8_t* row = frames[0].bytes.data() + bpl * y;
            for (int32_t x = 0; x < width; ++x) out[x] = Sample(row, first.depth, 1, x, 0);
        } else if (frames.size() == 1) {
            const uint8_t* row = frames[0].bytes.data() + bpl * y;
            for (int32_t x = 0; x < width; ++x)
                for (int c = 0; c < 3; ++c) out[3 * x + (2 - c)] = Sample(row, first.depth, 3, x, c);
        } else {
            for (const Frame& frame : frames) {
                const int format = FrameFormat(frame.params);
                const int c = format == SANE_FRAME_RED ? 2 : format == SANE_FRAME_GREEN ? 1 : 0;
                const uint8_t* row = frame.bytes.data() + bpl * y;
                for (int32_t x = 0; x < width; ++x) out[3 * x + c] = Sample(row, first.depth, 1, x, 0);
            }
        }
    }
    return true;
}

}  // namespace platform::twain

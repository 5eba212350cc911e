// Colour reduction by median cut.
//
// A range of colours is split at the mean of the channel with the largest weighted
// variance (3 x red, 4 x green, 2 x blue; ties to red, then green), the upper part
// first, down to a fixed depth; each non-empty leaf is one palette entry. An empty
// range only reports its leaves' progress, and a range of equal colours puts all in
// the lower part, so no more entries than distinct colours arise and every recursion
// ends at the depth limit. Sums are exact 64-bit integers; means and variances are
// taken in extended precision from them.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/PxConvert.h"
#include "imaging/PxDIBErrors.h"

namespace imaging {
namespace {

enum Axis : uint8_t { kRed = 0, kGreen = 1, kBlue = 2, kLeaf = 3 };

struct Cell {
    int32_t c[3];  // red, green, blue
    uint32_t Weight;
    uint32_t CellIndex;
};

struct Node {
    uint8_t Kind = kLeaf;
    long double Value = 0;
    uint8_t Index = 0;
    uint32_t Lower = 0;
    uint32_t Upper = 0;
};

struct Palette {
    TRGBQuad entries[256];
    int count = 0;
};

uint8_t RoundChannel(long double mean)
{
    return static_cast<uint8_t>(std::clamp(std::nearbyintl(mean), 0.0L, 255.0L));  // halves to even
}

Axis ChooseAxis(const long double variance[3])
{
    const long double r = 3 * variance[0], g = 4 * variance[1], b = 2 * variance[2];
    if (r >= g && r >= b)
        return kRed;
    if (r > g || b > g)
        return kBlue;
    return kGreen;
}

// The median cut over a random-access range of elements with weights; Access gives
// an element's channel and weight, Swap exchanges two elements.
template <typename Elements>
class MedianCut {
public:
    MedianCut(Elements& elements, int maxDepth, Palette& palette, const TPxProgress& progress,
              std::vector<Node>* tree)
        : e_(elements), maxDepth_(maxDepth), palette_(palette), progress_(progress), tree_(tree)
    {
    }

    void Run(size_t first, size_t last, int depth, uint32_t node)
    {
        if (first == last) {
            if (depth >= maxDepth_) {
                Step();
            } else {
                Run(first, last, depth + 1, node);
                Run(first, last, depth + 1, node);
            }
            return;
        }
        uint64_t weight = 0, sum[3] = {0, 0, 0}, squares[3] = {0, 0, 0};
        for (size_t i = first; i < last; ++i) {
            const uint64_t w = e_.Weight(i);
            weight += w;
            for (int ch = 0; ch < 3; ++ch) {
                const uint64_t v = e_.Channel(i, ch);
                sum[ch] += w * v;
                squares[ch] += w * v * v;
            }
        }
        long double mean[3], variance[3];
        for (int ch = 0; ch < 3; ++ch) {
            mean[ch] = static_cast<long double>(sum[ch]) / static_cast<long double>(weight);
            variance[ch] = static_cast<long double>(squares[ch]) / static_cast<long double>(weight) - mean[ch] * mean[ch];
        }
        if (depth >= maxDepth_) {
            const auto index = static_cast<uint8_t>(palette_.count);
            palette_.entries[palette_.count++] = {RoundChannel(mean[2]), RoundChannel(mean[1]), RoundChannel(mean[0]), 0};
            e_.MarkLeaf(first, last, index);
            if (tree_ != nullptr)
                (*tree_)[node] = Node{kLeaf, 0, index, 0, 0};
            Step();
            return;
        }
        const Axis axis = ChooseAxis(variance);
        const long double m = mean[axis];
        // Channels are integers: "c <= mean" is "c <= floor(mean)".
        const auto limit = static_cast<int64_t>(std::floor(m));
        size_t i = first, j = last;
        do {
            while (i < j && static_cast<int64_t>(e_.Channel(i, axis)) <= limit)
                ++i;
            while (i < j && static_cast<int64_t>(e_.Channel(j - 1, axis)) > limit)
                --j;
            if (i != j)
                e_.Swap(i, j - 1);
        } while (i < j);
        const size_t split = i;
        uint32_t upper = 0, lower = 0;
        if (tree_ != nullptr) {
            upper = counter_++;
            lower = counter_++;
            (*tree_)[node] = Node{axis, m, 0, lower, upper};
        }
        Run(split, last, depth + 1, upper);
        Run(first, split, depth + 1, lower);
    }

private:
    void Step()
    {
        if (progress_)
            progress_();
    }

    Elements& e_;
    int maxDepth_;
    Palette& palette_;
    const TPxProgress& progress_;
    std::vector<Node>* tree_;
    uint32_t counter_ = 1;
};

// Weighted cells (crLow and 8 -> 4): marking a leaf overwrites Weight with the index.
struct CellElements {
    std::vector<Cell>& cells;
    uint64_t Weight(size_t i) const { return cells[i].Weight; }
    uint32_t Channel(size_t i, int ch) const { return static_cast<uint32_t>(cells[i].c[ch]); }
    void Swap(size_t a, size_t b) { std::swap(cells[a], cells[b]); }
    void MarkLeaf(size_t first, size_t last, uint8_t index)
    {
        for (size_t i = first; i < last; ++i)
            cells[i].Weight = index;
    }
};

// Pixels of weight 1 (crHigh), each held as 0x00RRGGBB so that a swap is one word.
struct PixelElements {
    uint32_t* rgb;
    uint64_t Weight(size_t) const { return 1; }
    uint32_t Channel(size_t i, int ch) const { return (rgb[i] >> (16 - 8 * ch)) & 0xFF; }
    void Swap(size_t a, size_t b) { std::swap(rgb[a], rgb[b]); }
    void MarkLeaf(size_t, size_t, uint8_t) {}
};

void InstallPalette(TPxDIBData& dest, const Palette& palette)
{
    std::copy(palette.entries, palette.entries + palette.count, dest.Colors.begin());
    dest.Header.biClrUsed = static_cast<uint32_t>(palette.count);
}

uint32_t CellOf(const uint8_t* bgr)
{
    return (uint32_t{bgr[2]} >> 3) * 2048 + (uint32_t{bgr[1]} >> 2) * 32 + (uint32_t{bgr[0]} >> 3);
}

void ReduceLow(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress, int bits,
               const char* message)
{
    detail::RequireSource(source, 24, message);
    const int64_t width = source.Header.biWidth;
    const uint64_t height = AbsHeight(source.Header.biHeight);
    const uint64_t inStride = Stride(width, 24);

    std::vector<uint64_t> sums(65536 * 3, 0);
    std::vector<uint32_t> weights(65536, 0);
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        for (int64_t x = 0; x < width; ++x) {
            const uint8_t* p = in + 3 * x;
            const uint32_t cell = CellOf(p);
            sums[3 * cell] += p[2] & 7;
            sums[3 * cell + 1] += p[1] & 3;
            sums[3 * cell + 2] += p[0] & 7;
            ++weights[cell];
        }
    }
    std::vector<Cell> cells;
    for (uint32_t k = 0; k < 65536; ++k) {
        const uint32_t w = weights[k];
        if (w == 0)
            continue;
        cells.push_back(Cell{{static_cast<int32_t>(sums[3 * k] / w + (k >> 11) * 8),
                              static_cast<int32_t>(sums[3 * k + 1] / w + ((k >> 5) & 63) * 4),
                              static_cast<int32_t>(sums[3 * k + 2] / w + (k & 31) * 8)},
                             w, k});
    }
    Palette palette;
    CellElements elements{cells};
    MedianCut<CellElements>(elements, bits == 8 ? 8 : 4, palette, progress, nullptr).Run(0, cells.size(), 0, 0);
    std::vector<uint8_t> cellMap(65536, 0);
    for (const Cell& c : cells)
        cellMap[c.CellIndex] = static_cast<uint8_t>(c.Weight);

    TPxDIBData result = detail::NewTarget(source, bits, useFMO);
    const uint64_t outStride = Stride(width, bits);
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        uint8_t* out = result.Bits() + y * outStride;
        for (int64_t x = 0; x < width; ++x)
            detail::SetIndex(out, x, bits, cellMap[CellOf(in + 3 * x)]);
    }
    InstallPalette(result, palette);
    dest = std::move(result);
}

void ReduceHigh(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress, int bits,
                const char* message)
{
    detail::RequireSource(source, 24, message);
    const int64_t width = source.Header.biWidth;
    const uint64_t height = AbsHeight(source.Header.biHeight);
    const uint64_t inStride = Stride(width, 24);
    const int depth = bits == 8 ? 8 : 4;

    std::vector<uint32_t> pixels(static_cast<size_t>(width) * height);
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        uint32_t* out = pixels.data() + y * static_cast<uint64_t>(width);
        for (int64_t x = 0; x < width; ++x)
            out[x] = uint32_t{in[3 * x + 2]} << 16 | uint32_t{in[3 * x + 1]} << 8 | in[3 * x];
    }
    std::vector<Node> tree((size_t{2} << depth) - 1);
    Palette palette;
    PixelElements elements{pixels.data()};
    MedianCut<PixelElements>(elements, depth, palette, progress, &tree)
        .Run(0, static_cast<size_t>(width) * height, 0, 0);
    pixels = {};

    // Channels are integers, so "Value >= channel" is "channel <= floor(Value)": the
    // walk compares small integers. A page repeats its colours, so the last pixel's
    // answer is tried first.
    std::vector<int16_t> threshold(tree.size());
    for (size_t i = 0; i < tree.size(); ++i) {
        PxAssert(tree[i].Kind <= kLeaf, "ConvertTrueColorTo8BitRGBHigh: Invalid DivideID");
        threshold[i] = static_cast<int16_t>(std::clamp(std::floor(tree[i].Value), -1.0L, 255.0L));
    }
    auto lookup = [&](const uint8_t* p) -> uint8_t {
        const uint8_t channel[3] = {p[2], p[1], p[0]};
        uint32_t n = 0;
        // A walk is at most depth steps; nodes no range reached are leaves of index 0.
        for (int steps = 0; tree[n].Kind != kLeaf && steps <= depth; ++steps) {
            n = channel[tree[n].Kind] <= threshold[n] ? tree[n].Lower : tree[n].Upper;
            if (n >= tree.size())
                n = 0;
        }
        return tree[n].Kind == kLeaf ? tree[n].Index : 0;
    };
    TPxDIBData result = detail::NewTarget(source, bits, useFMO);
    const uint64_t outStride = Stride(width, bits);
    uint32_t lastColour = 0xFFFFFFFF;
    uint8_t lastIndex = 0;
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        uint8_t* out = result.Bits() + y * outStride;
        for (int64_t x = 0; x < width; ++x) {
            const uint8_t* p = in + 3 * x;
            const uint32_t colour = uint32_t{p[2]} << 16 | uint32_t{p[1]} << 8 | p[0];
            if (colour != lastColour) {
                lastColour = colour;
                lastIndex = lookup(p);
            }
            detail::SetIndex(out, x, bits, lastIndex);
        }
    }
    InstallPalette(result, palette);
    dest = std::move(result);
}

}  // namespace

void ConvertTrueColorTo8BitRGBLow(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress)
{
    ReduceLow(source, dest, useFMO, progress, 8, "ConvertTrueColorTo8BitRGBLow: Invalid Bitcount");
}

void ConvertTrueColorTo4BitRGBLow(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress)
{
    ReduceLow(source, dest, useFMO, progress, 4, "ConvertTrueColorTo4BitRGBLow: Invalid Bitcount");
}

void ConvertTrueColorTo8BitRGBHigh(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress)
{
    ReduceHigh(source, dest, useFMO, progress, 8, "ConvertTrueColorTo8BitRGBHigh: Invalid Bitcount");
}

void ConvertTrueColorTo4BitRGBHigh(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress)
{
    ReduceHigh(source, dest, useFMO, progress, 4, "ConvertTrueColorTo4BitRGBHigh: Invalid Bitcount");
}

void Convert8BitRGBTo4BitRGB(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, const TPxProgress& progress)
{
    detail::RequireSource(source, 8, "Convert8BitRGBTo4BitRGB: Invalid Bitcount or Compression");
    const int64_t width = source.Header.biWidth;
    const uint64_t height = AbsHeight(source.Header.biHeight);
    const uint64_t inStride = Stride(width, 8);
    uint32_t counts[256] = {};
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        for (int64_t x = 0; x < width; ++x)
            ++counts[in[x]];
    }
    std::vector<Cell> cells;
    for (uint32_t i = 0; i < 256; ++i) {
        if (counts[i] == 0)
            continue;
        const TRGBQuad& c = source.Colors[i];
        cells.push_back(Cell{{c.rgbRed, c.rgbGreen, c.rgbBlue}, counts[i], i});
    }
    Palette palette;
    CellElements elements{cells};
    MedianCut<CellElements>(elements, 4, palette, progress, nullptr).Run(0, cells.size(), 0, 0);
    uint8_t indexMap[256] = {};
    for (const Cell& c : cells)
        indexMap[c.CellIndex] = static_cast<uint8_t>(c.Weight);

    TPxDIBData result = detail::NewTarget(source, 4, useFMO);
    const uint64_t outStride = Stride(width, 4);
    for (uint64_t y = 0; y < height; ++y) {
        const uint8_t* in = source.Bits() + y * inStride;
        uint8_t* out = result.Bits() + y * outStride;
        for (int64_t x = 0; x < width; ++x)
            detail::SetIndex(out, x, 4, indexMap[in[x]]);
    }
    InstallPalette(result, palette);
    dest = std::move(result);
}

}  // namespace imaging

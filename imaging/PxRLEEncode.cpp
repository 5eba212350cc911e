// Greedy one-pass RLE8/RLE4 encoders with a budget of the uncompressed size.
#include <cstring>
#include <string>
#include <vector>

#include "imaging/PxDIBErrors.h"
#include "imaging/PxRLE.h"

namespace imaging {
namespace {

// Encodes rows of "units" (pixels for RLE8, bytes of two pixels for RLE4).
class RowEncoder {
public:
    RowEncoder(uint8_t* buffer, uint64_t capacity, const char* routine, int maxUnits, bool nibbles,
               int64_t width)
        : buffer_(buffer), capacity_(capacity), routine_(routine), maxUnits_(maxUnits),
          nibbles_(nibbles), width_(width)
    {
    }

    void EncodeRow(const uint8_t* units, int64_t count)
    {
        state_ = State::Empty;
        x_ = 0;
        for (int64_t i = 0; i < count; ++i)
            Feed(units[i]);
        switch (state_) {
        case State::Empty: break;
        case State::One: WriteRun(1, value_); break;
        case State::Run: WriteRun(run_, value_); break;
        case State::Literal: WriteLiteral(); break;
        }
        Need(4);
        Put(0);
        Put(0);
    }

    void EndOfBitmap()
    {
        Need(2);
        Put(0);
        Put(1);
    }

    uint64_t Written() const { return pos_; }

private:
    enum class State { Empty, One, Run, Literal };

    void Feed(uint8_t c)
    {
        switch (state_) {
        case State::Empty:
            StartOne(c);
            break;
        case State::One:
            if (c == value_) {
                state_ = State::Run;
                run_ = 2;
            } else {
                literal_.assign({value_, c});
                state_ = State::Literal;
            }
            break;
        case State::Run:
            if (c == value_ && run_ < maxUnits_) {
                ++run_;
            } else {
                WriteRun(run_, value_);
                StartOne(c);
            }
            break;
        case State::Literal: {
            const uint8_t last = literal_.back();
            if (static_cast<int>(literal_.size()) < maxUnits_ && c != last) {
                literal_.push_back(c);
            } else if (c == last) {
                literal_.pop_back();
                WriteLiteral();
                state_ = State::Run;
                value_ = c;
                run_ = 2;
            } else {
                WriteLiteral();
                StartOne(c);
            }
            break;
        }
        }
    }

    void StartOne(uint8_t c)
    {
        state_ = State::One;
        value_ = c;
    }

    // Pixels that n units cover, cut at the row's end for RLE4.
    uint8_t PixelCount(int64_t n)
    {
        int64_t pixels = n;
        if (nibbles_) {
            pixels = 2 * n;
            if (width_ - x_ < pixels)
                pixels = width_ - x_;
        }
        x_ += pixels;
        return static_cast<uint8_t>(pixels);
    }

    void WriteRun(int n, uint8_t v)
    {
        Need(6);
        Put(PixelCount(n));
        Put(v);
    }

    void WriteLiteral()
    {
        const int64_t k = static_cast<int64_t>(literal_.size());
        PxAssert(k >= 1, nibbles_ ? "Convert4BitRGBTo4BitRLE: WriteAbsolute Error"
                                  : "Convert8BitRGBTo8BitRLE: WriteAbsolute Error");
        Need(static_cast<uint64_t>((k + 1) / 2 * 2 + 6));
        const int64_t shortest = nibbles_ ? 2 : 3;  // an absolute run needs at least 3 pixels
        if (k < shortest) {
            for (uint8_t p : literal_) {
                Put(PixelCount(1));
                Put(p);
            }
        } else {
            Put(0);
            Put(PixelCount(k));
            for (uint8_t p : literal_)
                Put(p);
            if (k & 1)
                Put(0);
        }
        literal_.clear();
    }

    void Need(uint64_t bytes)
    {
        if (capacity_ - pos_ < bytes)
            throw EPxDIBCompressionFailed(std::string(routine_) + ": Compression Failed");
    }
    void Put(uint8_t b) { buffer_[pos_++] = b; }

    uint8_t* buffer_;
    uint64_t capacity_;
    uint64_t pos_ = 0;
    const char* routine_;
    int maxUnits_;
    bool nibbles_;
    int64_t width_;
    int64_t x_ = 0;
    State state_ = State::Empty;
    uint8_t value_ = 0;
    int run_ = 0;
    std::vector<uint8_t> literal_;
};

void Encode(const TPxDIBData& source, TPxDIBData& dest, bool useFMO, int bits, const char* routine)
{
    const TBitmapInfoHeader& h = source.Header;
    const int64_t width = h.biWidth;
    const uint64_t height = AbsHeight(h.biHeight);
    const uint64_t stride = Stride(width, bits);
    const uint64_t size = ImageBytes(width, h.biHeight, bits);
    if (size > kMaxImageBytes || source.Bits() == nullptr || source.ImageSize < size)
        throw EPxDIBInvalidDIB(std::string(routine) + ": Invalid Source Size");

    std::vector<uint8_t> work(stride * height);
    RowEncoder encoder(work.data(), work.size(), routine, bits == 8 ? 255 : 127, bits == 4, width);
    const int64_t units = bits == 8 ? width : (width + 1) / 2;
    for (uint64_t i = 0; i < height; ++i) {
        const uint64_t row = h.biHeight > 0 ? i : height - 1 - i;
        encoder.EncodeRow(source.Bits() + row * stride, units);
    }
    encoder.EndOfBitmap();

    TPxDIBData result = CopyRecordHeader(source);
    result.ImageSize = static_cast<uint32_t>(encoder.Written());
    result.Memory = TDIBMemory::Get(result.ImageSize, useFMO);
    std::memcpy(result.Bits(), work.data(), result.ImageSize);
    result.Header.biHeight = static_cast<int32_t>(height);
    result.Header.biBitCount = static_cast<uint16_t>(bits);
    result.Header.biCompression = bits == 8 ? BI_RLE8 : BI_RLE4;
    result.Header.biSizeImage = result.ImageSize;
    dest = std::move(result);
}

}  // namespace

void Convert8BitRGBTo8BitRLE(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    if (source.Header.biBitCount != 8 || source.Header.biCompression != BI_RGB)
        throw EPxDIBBadDIBType("Convert8BitRGBTo8BitRLE: Invalid Bitcount & Compression Combination");
    Encode(source, dest, useFMO, 8, "Convert8BitRGBTo8BitRLE");
}

void Convert4BitRGBTo4BitRLE(const TPxDIBData& source, TPxDIBData& dest, bool useFMO)
{
    if (source.Header.biBitCount != 4 || source.Header.biCompression != BI_RGB)
        throw EPxDIBBadDIBType("Convert4BitRGBTo4BitRLE: Invalid Bitcount & Compression Combination");
    Encode(source, dest, useFMO, 4, "Convert4BitRGBTo4BitRLE");
}

}  // namespace imaging

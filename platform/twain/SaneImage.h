#pragma once
// Turns the frames a SANE backend sends for one page into a packed device-independent
// bitmap: a 40-byte info header, the palette, then the rows bottom-up, each padded to
// four bytes.
//   grey, 1 bit  -> 1-bit picture, palette black/white (SANE's set bit is black, the
//                   picture's index 0 is black: the bits are inverted);
//   grey, 8/16   -> 8-bit picture with a grey palette (16-bit samples keep their high byte);
//   colour       -> 24-bit picture, samples reordered to blue, green, red; a three-pass
//                   scan's red, green and blue frames are interleaved.
// Every size the backend announces is checked before anything is allocated, and a page
// whose data is longer or shorter than announced is refused.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <sane/sane.h>

namespace platform::twain {

// Largest page accepted, in bytes of raw backend data (a colour A3 page at 1200 dpi at
// 8 bits per sample is about 800 MB).
constexpr uint64_t MaxPageBytes = uint64_t(1) << 30;

struct SaneReader {
    // Reads the current frame: up to max bytes into buffer, the count into *length.
    std::function<SANE_Status(SANE_Byte* buffer, SANE_Int max, SANE_Int* length)> Read;
    // Starts the next frame of a multi-pass scan and gives its parameters.
    std::function<SANE_Status(SANE_Parameters* params)> NextFrame;
};

// The frame format as a number: backends send codes past SANE's enumeration (JPEG, IR...),
// which must not be loaded as the enumeration type.
int FrameFormat(const SANE_Parameters& params);

// Checks parameters before a transfer; "" when they describe a page we can take.
std::string CheckSaneParameters(const SANE_Parameters& params);

// Bits per pixel of the picture made from frames with these parameters (1, 8 or 24).
int DibBitsPerPixel(const SANE_Parameters& params);

// Reads every frame of one page (the first already started, with the parameters given)
// and builds the packed bitmap. false with a reason in error on any failure.
bool AssemblePackedDib(const SANE_Parameters& first, const SaneReader& reader, double dpi,
                       std::vector<uint8_t>& dib, std::string& error);

}  // namespace platform::twain

#pragma once
// The bitmap library's exceptions. Every message names the class and method (or the
// routine), then a colon and the reason: "TPxDIB.SetWidth: Invalid Width".
// Broken internal invariants raise EAssertionFailed instead of stopping the program.
#include <stdexcept>
#include <string>

namespace imaging {

class EPxDIBError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

#define KURA_PXDIB_ERROR(Name)                                  \
    class Name : public EPxDIBError {                           \
    public:                                                     \
        using EPxDIBError::EPxDIBError;                         \
    };
KURA_PXDIB_ERROR(EPxDIBInvalidDIB)         // bad DIB data
KURA_PXDIB_ERROR(EPxDIBInvalidDIBFile)     // not a BMP file
KURA_PXDIB_ERROR(EPxDIBInvalidDIBPara)     // bad width, height, colour count or bit count
KURA_PXDIB_ERROR(EPxDIBBadDIBType)         // a conversion given the wrong bit count or compression
KURA_PXDIB_ERROR(EPxDIBInvalidPalette)
KURA_PXDIB_ERROR(EPxDIBCompressionFailed)  // RLE output does not fit
KURA_PXDIB_ERROR(EPxDIBCanvasFailed)
#undef KURA_PXDIB_ERROR

// The graphic framework's own failures.
class EInvalidGraphic : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EOutOfResources : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EOutOfMemory : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
// A stream that ends before the bytes a reader asked for.
class EReadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EAssertionFailed : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Raises EAssertionFailed with the text when the condition does not hold.
inline void PxAssert(bool condition, const char* text)
{
    if (!condition)
        throw EAssertionFailed(text);
}

}  // namespace imaging

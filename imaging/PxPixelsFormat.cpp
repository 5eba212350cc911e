// TPxInternalDIB::SetPixelsFormat: the chain of elementary conversions from the
// current pixel format to another. Each step writes a new record; the picture takes
// the last one only when every step succeeded.
#include <functional>
#include <vector>

#include "imaging/PxConvert.h"
#include "imaging/PxDIBErrors.h"
#include "imaging/PxRLE.h"

namespace imaging {
namespace {

using Step = std::function<void(const TPxDIBData&, TPxDIBData&)>;

constexpr const char* kFormatError = "TPxIntenalDIB.SetPixelsFormat: PixelFormat Error";

}  // namespace

void TPxInternalDIB::SetPixelsFormat(TPxPixelFormat format, TPxColorReduction reduction, TRGBColor monoColor,
                                     const TPxProgress& progress)
{
    const bool fmo = UseFMO;
    const TPxPixelFormat current = GetPixelFormat();
    std::vector<Step> steps;
    auto add = [&steps, fmo](void (*f)(const TPxDIBData&, TPxDIBData&, bool)) {
        steps.push_back([f, fmo](const TPxDIBData& s, TPxDIBData& d) { f(s, d, fmo); });
    };
    auto addMono = [&steps, fmo, monoColor](void (*f)(const TPxDIBData&, TPxDIBData&, TRGBColor, bool)) {
        steps.push_back([f, fmo, monoColor](const TPxDIBData& s, TPxDIBData& d) { f(s, d, monoColor, fmo); });
    };
    auto addReduce = [&steps, fmo, &progress](void (*f)(const TPxDIBData&, TPxDIBData&, bool, const TPxProgress&)) {
        steps.push_back([f, fmo, &progress](const TPxDIBData& s, TPxDIBData& d) { f(s, d, fmo, progress); });
    };

    if (format == pxpfHalftone || format == pxpfHalftoneBW) {
        if (current == pxpf4BitRLE)
            add(Convert4BitRLETo4BitRGB);
        else if (current == pxpf8BitRLE)
            add(Convert8BitRLETo8BitRGB);
        add(format == pxpfHalftone ? ConvertToHalfTone : ConvertToHalfToneBW);
    } else {
        PxAssert(format != current && format <= pxpf24Bit, kFormatError);
        PxAssert(reduction == crLow || reduction == crHigh, kFormatError);
        const bool low = reduction == crLow;
        // Decode first, so that every source below is uncompressed.
        TPxPixelFormat from = current;
        if (current == pxpf4BitRLE) {
            add(Convert4BitRLETo4BitRGB);
            from = pxpf4Bit;
        } else if (current == pxpf8BitRLE) {
            add(Convert8BitRLETo8BitRGB);
            from = pxpf8Bit;
        }
        const bool toRLE4 = format == pxpf4BitRLE;
        const bool toRLE8 = format == pxpf8BitRLE;
        const TPxPixelFormat to = toRLE4 ? pxpf4Bit : toRLE8 ? pxpf8Bit : format;
        if (from != to) {
            switch (from) {
            case pxpf1Bit:
                if (to == pxpf4Bit) add(Convert1BitRGBTo4BitRGB);
                else if (to == pxpf8Bit) add(Convert1BitRGBTo8BitRGB);
                else add(Convert1BitRGBToTrueColor);
                break;
            case pxpf4Bit:
                if (to == pxpf1Bit) addMono(Convert4BitRGBTo1BitRGB);
                else if (to == pxpf8Bit) add(Convert4BitRGBTo8BitRGB);
                else add(Convert4BitRGBToTrueColor);
                break;
            case pxpf8Bit:
                if (to == pxpf1Bit) addMono(Convert8BitTo1BitRGB);
                else if (to == pxpf4Bit) addReduce(Convert8BitRGBTo4BitRGB);
                else add(Convert8BitRGBToTrueColor);
                break;
            case pxpf24Bit:
                if (to == pxpf1Bit) addMono(ConvertTrueColorTo1BitRGB);
                else if (to == pxpf4Bit) addReduce(low ? ConvertTrueColorTo4BitRGBLow : ConvertTrueColorTo4BitRGBHigh);
                else addReduce(low ? ConvertTrueColorTo8BitRGBLow : ConvertTrueColorTo8BitRGBHigh);
                break;
            default:
                PxAssert(false, kFormatError);
            }
        }
        if (toRLE4)
            add(Convert4BitRGBTo4BitRLE);
        else if (toRLE8)
            add(Convert8BitRGBTo8BitRLE);
    }

    // Intermediate records die with this scope; the picture keeps its bits until the end.
    TPxDIBData result;
    const TPxDIBData* source = &Data;
    for (const Step& step : steps) {
        TPxDIBData next;
        step(*source, next);
        result = std::move(next);
        source = &result;
    }
    Data = std::move(result);
    UpdatePalette();
}

}  // namespace imaging

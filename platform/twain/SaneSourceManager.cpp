#include "platform/twain/SaneSourceManager.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "platform/twain/GlobalMemory.h"
#include "platform/twain/SaneImage.h"
#include "platform/twain/SaneLibrary.h"
#include "platform/twain/SaneReaders.h"

namespace platform::twain {
namespace {

using namespace container;

// --- Containers handed to the component (it frees them with GlobalFree)

uint32_t RawFix32(double value) {
    const TW_FIX32 fix = ToFix32(value);
    return uint32_t(uint16_t(fix.Whole)) | (uint32_t(fix.Frac) << 16);
}

double ValueOf(uint16_t itemType, uint32_t raw) {
    switch (itemType) {
        case TWTY_INT8: return int8_t(raw);
        case TWTY_INT16: return int16_t(raw);
        case TWTY_INT32: return int32_t(raw);
        case TWTY_UINT8: return uint8_t(raw);
        case TWTY_UINT16:
        case TWTY_BOOL: return uint16_t(raw);
        case TWTY_UINT32: return raw;
        case TWTY_FIX32: {
            TW_FIX32 fix;
            fix.Whole = int16_t(raw & 0xFFFF);
            fix.Frac = uint16_t(raw >> 16);
            return FromFix32(fix);
        }
        default: return 0;
    }
}

uint32_t RawOf(uint16_t itemType, double value) {
    return itemType == TWTY_FIX32 ? RawFix32(value) : uint32_t(int64_t(std::lround(value)));
}

TW_HANDLE OneValue(uint16_t itemType, double value) {
    TW_HANDLE h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, 6);
    if (!h) return nullptr;
    auto* p = static_cast<uint8_t*>(GlobalLock(h));
    Put16(p, itemType);
    Put32(p + OneValueItem, RawOf(itemType, value));
    GlobalUnlock(h);
    return h;
}

TW_HANDLE Range(uint16_t itemType, double min, double max, double step, double def, double cur) {
    TW_HANDLE h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, RangeSize);
    if (!h) return nullptr;
    auto* p = static_cast<uint8_t*>(GlobalLock(h));
    Put16(p, itemType);
    Put32(p + RangeMin, RawOf(itemType, min));
    Put32(p + RangeMax, RawOf(itemType, max));
    Put32(p + RangeStep, RawOf(itemType, step));
    Put32(p + RangeDefault, RawOf(itemType, def));
    Put32(p + RangeCurrent, RawOf(itemType, cur));
    GlobalUnlock(h);
    return h;
}

TW_HANDLE Enumeration16(const std::vector<uint16_t>& items, uint16_t current, uint16_t def) {
    TW_HANDLE h = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, EnumItems + 2 * items.size() + 1);
    if (!h) return nullptr;
    auto* p = static_cast<uint8_t*>(GlobalLock(h));
    Put16(p, TWTY_UINT16);
    Put32(p + EnumNumItems, uint32_t(items.size()));
    uint32_t cur = 0, dflt = 0;
    for (size_t i = 0; i < items.size(); ++i) {
        Put16(p + EnumItems + 2 * i, items[i]);
        if (items[i] == current) cur = uint32_t(i);
        if (items[i] == def) dflt = uint32_t(i);
    }
    Put32(p + EnumCurrentIndex, cur);
    Put32(p + EnumDefaultIndex, dflt);
    GlobalUnlock(h);
    return h;
}

// The value of a ONEVALUE container the component sent with MSG_SET.
bool ReadOneValue(const TW_CAPABILITY& cap, double& value) {
    if (cap.ConType != TWON_ONEVALUE) return false;
    const size_t size = GlobalSize(cap.hContainer);
    if (size < 6) return false;
    auto* p = static_cast<uint8_t*>(GlobalLock(cap.hContainer));
    const uint16_t type = Get16(p);
    const bool ok = type <= TWTY_FIX32;
    if (ok) value = ValueOf(type, Get32(p + OneValueItem));
    GlobalUnlock(cap.hContainer);
    return ok;
}

// --- One open SANE device

class SaneSource {
public:
    SaneSource(SaneLibrary& lib, SANE_Handle handle) : lib_(lib), handle_(handle) {
        defaultPixelType_ = PixelType();
    }
    ~SaneSource() {
        StopScan();
        lib_.close(handle_);
    }

    enum class State { Open, Enabled, XferReady, Transferring };
    State state = State::Open;
    uint16_t condition = TWCC_SUCCESS;

    uint16_t Entry(uint32_t group, uint16_t dat, uint16_t msg, void* data);

private:
    // Option access by name: indices may change when the backend reloads its options.
    const SANE_Option_Descriptor* Option(const char* name, int& index) const {
        for (int i = 1;; ++i) {
            const SANE_Option_Descriptor* d = lib_.get_option_descriptor(handle_, i);
            if (!d) return nullptr;
            if (d->name && std::strcmp(d->name, name) == 0 && SANE_OPTION_IS_ACTIVE(d->cap)) {
                index = i;
                return d;
            }
        }
    }
    bool GetNumber(const char* name, double& value) const {
        int i = 0;
        const SANE_Option_Descriptor* d = Option(name, i);
        if (!d || (d->type != SANE_TYPE_INT && d->type != SANE_TYPE_FIXED && d->type != SANE_TYPE_BOOL) ||
            d->size < SANE_Int(sizeof(SANE_Word)))
            return false;
        std::vector<SANE_Word> words(size_t(d->size) / sizeof(SANE_Word) + 1);
        if (lib_.control_option(handle_, i, SANE_ACTION_GET_VALUE, words.data(), nullptr) != SANE_STATUS_GOOD)
            return false;
        value = d->type == SANE_TYPE_FIXED ? SANE_UNFIX(words[0]) : words[0];
        return true;
    }
    bool SetNumber(const char* name, double value) {
        int i = 0;
        const SANE_Option_Descriptor* d = Option(name, i);
        if (!d || !SANE_OPTION_IS_SETTABLE(d->cap)) return false;
        double lo, hi, step;
        if (Limits(name, lo, hi, step)) value = std::clamp(value, lo, hi);
        if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST) {
            // The nearest listed value.
            const SANE_Word* list = d->constraint.word_list;
            double best = value, bestDistance = INFINITY;
            for (SANE_Word k = 1; k <= list[0]; ++k) {
                const double v = d->type == SANE_TYPE_FIXED ? SANE_UNFIX(list[k]) : list[k];
                if (std::fabs(v - value) < bestDistance) bestDistance = std::fabs(v - value), best = v;
            }
            value = best;
        }
        SANE_Word word = d->type == SANE_TYPE_FIXED ? SANE_FIX(value) : SANE_Word(std::lround(value));
        std::vector<SANE_Word> words(size_t(std::max<SANE_Int>(d->size, sizeof(SANE_Word))) /
                                     sizeof(SANE_Word), word);
        return lib_.control_option(handle_, i, SANE_ACTION_SET_VALUE, words.data(), nullptr) ==
               SANE_STATUS_GOOD;
    }
    bool Limits(const char* name, double& lo, double& hi, double& step) const {
        int i = 0;
        const SANE_Option_Descriptor* d = Option(name, i);
        if (!d) return false;
        const bool fixed = d->type == SANE_TYPE_FIXED;
        if (d->constraint_type == SANE_CONSTRAINT_RANGE) {
            const SANE_Range* r = d->constraint.range;
            lo = fixed ? SANE_UNFIX(r->min) : r->min;
            hi = fixed ? SANE_UNFIX(r->max) : r->max;
            step = fixed ? SANE_UNFIX(r->quant) : r->quant;
            if (step <= 0) step = 1;
            return true;
        }
        if (d->constraint_type == SANE_CONSTRAINT_WORD_LIST && d->constraint.word_list[0] > 0) {
            const SANE_Word* list = d->constraint.word_list;
            lo = INFINITY, hi = -INFINITY, step = 1;
            for (SANE_Word k = 1; k <= list[0]; ++k) {
                const double v = fixed ? SANE_UNFIX(list[k]) : list[k];
                lo = std::min(lo, v), hi = std::max(hi, v);
            }
            return true;
        }
        return false;
    }
    std::vector<std::string> Strings(const char* name) const {
        int i = 0;
        std::vector<std::string> out;
        const SANE_Option_Descriptor* d = Option(name, i);
        if (d && d->constraint_type == SANE_CONSTRAINT_STRING_LIST)
            for (const SANE_String_Const* s = d->constraint.string_list; *s; ++s) out.emplace_back(*s);
        return out;
    }
    bool GetString(const char* name, std::string& value) const {
        int i = 0;
        const SANE_Option_Descriptor* d = Option(name, i);
        if (!d || d->type != SANE_TYPE_STRING || d->size <= 0) return false;
        std::vector<char> buffer(size_t(d->size) + 1, 0);
        if (lib_.control_option(handle_, i, SANE_ACTION_GET_VALUE, buffer.data(), nullptr) != SANE_STATUS_GOOD)
            return false;
        value = buffer.data();
        return true;
    }
    bool SetString(const char* name, const std::string& value) {
        int i = 0;
        const SANE_Option_Descriptor* d = Option(name, i);
        if (!d || d->type != SANE_TYPE_STRING || !SANE_OPTION_IS_SETTABLE(d->cap)) return false;
        std::vector<char> buffer(std::max<size_t>(size_t(d->size), value.size() + 1), 0);
        std::memcpy(buffer.data(), value.data(), value.size());
        return lib_.control_option(handle_, i, SANE_ACTION_SET_VALUE, buffer.data(), nullptr) ==
               SANE_STATUS_GOOD;
    }

    // --- Pixel type and depth over "mode" and "depth"
    static bool Contains(const std::string& text, const char* word) {
        std::string lower = text;
        for (char& c : lower) c = char(std::tolower(static_cast<unsigned char>(c)));
        return lower.find(word) != std::string::npos;
    }
    std::string ModeFor(const char* word) const {
        for (const std::string& mode : Strings("mode"))
            if (Contains(mode, word)) return mode;
        return "";
    }
    bool HasDepth(int depth) const {
        int i = 0;
        const SANE_Option_Descriptor* d = Option("depth", i);
        if (!d || d->constraint_type != SANE_CONSTRAINT_WORD_LIST) return false;
        for (SANE_Word k = 1; k <= d->constraint.word_list[0]; ++k)
            if (d->constraint.word_list[k] == depth) return true;
        return false;
    }
    int Depth() const {
        double depth = 8;
        GetNumber("depth", depth);
        return int(depth);
    }
    uint16_t PixelType() const {
        std::string mode;
        if (!GetString("mode", mode)) return Depth() == 1 ? TWPT_BW : TWPT_GRAY;
        if (Contains(mode, "color") || Contains(mode, "colour")) return TWPT_RGB;
        if (Contains(mode, "lineart") || Contains(mode, "binary") || Contains(mode, "halftone"))
            return TWPT_BW;
        return Depth() == 1 ? TWPT_BW : TWPT_GRAY;
    }
    std::vector<uint16_t> PixelTypes() const {
        std::vector<uint16_t> types;
        const bool grey = !ModeFor("gray").empty() || !ModeFor("grey").empty();
        if (!ModeFor("lineart").empty() || (grey && HasDepth(1))) types.push_back(TWPT_BW);
        if (grey) types.push_back(TWPT_GRAY);
        if (!ModeFor("color").empty()) types.push_back(TWPT_RGB);
        return types;
    }
    bool SetPixelType(uint16_t type) {
        std::string grey = ModeFor("gray");
        if (grey.empty()) grey = ModeFor("grey");
        switch (type) {
            case TWPT_BW:
                if (!ModeFor("lineart").empty()) return SetString("mode", ModeFor("lineart"));
                return !grey.empty() && SetString("mode", grey) && SetNumber("depth", 1);
            case TWPT_GRAY:
                if (grey.empty() || !SetString("mode", grey)) return false;
                return Depth() != 1 || SetNumber("depth", 8);
            case TWPT_RGB:
                if (ModeFor("color").empty() || !SetString("mode", ModeFor("color"))) return false;
                return Depth() != 1 || SetNumber("depth", 8);
            default: return false;
        }
    }
    // Bits per pixel of the pictures delivered (samples are always reduced to 8 bits).
    int BitDepth() const {
        switch (PixelType()) {
            case TWPT_BW: return 1;
            case TWPT_RGB: return 24;
            default: return 8;
        }
    }
    bool SetBitDepth(int bits) {
        switch (PixelType()) {
            case TWPT_BW: return bits == 1;
            case TWPT_GRAY: return bits == 8 || (bits == 16 && SetNumber("depth", 16));
            case TWPT_RGB: return bits == 24 || (bits == 48 && SetNumber("depth", 16));
            default: return false;
        }
    }

    // --- Geometry in the source's units
    double Resolution() const {
        double dpi = 0;
        return GetNumber("resolution", dpi) ? dpi : 0;
    }
    double UnitsPerMm() const {
        switch (units_) {
            case TWUN_CENTIMETERS: return 0.1;
            case TWUN_PICAS: return 6 / 25.4;
            case TWUN_POINTS: return 72 / 25.4;
            case TWUN_TWIPS: return 1440 / 25.4;
            case TWUN_PIXELS: return std::max(Resolution(), 1.0) / 25.4;
            default: return 1 / 25.4;
        }
    }
    bool Physical(const char* name, double& size) const {
        double lo, hi, step;
        if (!Limits(name, lo, hi, step)) return false;
        size = hi * UnitsPerMm();
        return true;
    }
    std::string FeederEntry() const {
        for (const std::string& s : Strings("source"))
            if (Contains(s, "feeder") || Contains(s, "adf")) return s;
        return "";
    }
    bool FeederEnabled() const {
        std::string source;
        return GetString("source", source) && !FeederEntry().empty() && source == FeederEntry();
    }
    bool SetFeeder(bool on) {
        const std::vector<std::string> sources = Strings("source");
        if (FeederEntry().empty()) return false;
        if (on) return SetString("source", FeederEntry());
        for (const std::string& s : sources)
            if (s != FeederEntry()) return SetString("source", s);
        return false;
    }

    uint16_t Capability(uint16_t msg, TW_CAPABILITY& cap);
    uint16_t RangeCap(uint16_t msg, TW_CAPABILITY& cap, const char* option, double lo, double hi,
                      double scale);
    uint16_t Layout(uint16_t msg, TW_IMAGELAYOUT& layout);
    uint16_t ProcessEvent(TW_EVENT& event);
    uint16_t EndTransfer(TW_PENDINGXFERS& pending, bool discard);
    uint16_t NativeTransfer(TW_HANDLE& handle);
    uint16_t ImageInfo(TW_IMAGEINFO& info);

    bool StartScan() {
        StopScan();
        // Backends may refuse option reads while a scan runs: take the resolution first.
        scanXdpi_ = Resolution();
        if (!GetNumber("y-resolution", scanYdpi_)) scanYdpi_ = scanXdpi_;
        threadsBeforePage_ = ProcessThreads();
        const SANE_Status status = lib_.start(handle_);
        if (status != SANE_STATUS_GOOD) {
            OutputDebugString("SANE: the scan did not start (status " + std::to_string(int(status)) + ")");
            condition = status == SANE_STATUS_NO_DOCS ? TWCC_SUCCESS : TWCC_OPERATIONERROR;
            Cancel();
            return false;
        }
        scanning_ = true;
        if (lib_.get_parameters(handle_, &params_) != SANE_STATUS_GOOD ||
            !CheckSaneParameters(params_).empty()) {
            OutputDebugString("SANE: " + (CheckSaneParameters(params_).empty()
                                              ? std::string("no parameters for the page")
                                              : CheckSaneParameters(params_)));
            condition = TWCC_OPERATIONERROR;
            StopScan();
            return false;
        }
        return true;
    }
    void StopScan() {
        if (scanning_) Cancel();
        scanning_ = false;
    }
    void Cancel() {
        LetReadersSettle();
        lib_.cancel(handle_);
    }
    // Backends cancel their reader threads asynchronously when a page ends (see
    // SaneReaders.h): each call that may do so waits until the page's readers are settled.
    void LetReadersSettle() {
        if (!WaitForNewThreadsToSettle(threadsBeforePage_, ReaderSettleLimit))
            OutputDebugString("SANE: the scanner's reader thread did not settle; the page is ended anyway");
    }
    uint16_t Fail(uint16_t cc) {
        condition = cc;
        return TWRC_FAILURE;
    }

    SaneLibrary& lib_;
    SANE_Handle handle_;
    SANE_Parameters params_{};
    std::vector<int> threadsBeforePage_;  // the process's threads before the page started
    double scanXdpi_ = 0, scanYdpi_ = 0;
    bool scanning_ = false;
    bool announced_ = false;
    bool closeRequested_ = false;
    bool autoFeed_ = false;
    bool indicators_ = true;
    uint16_t units_ = TWUN_INCHES;
    uint16_t defaultPixelType_ = TWPT_RGB;
};

uint16_t SaneSource::RangeCap(uint16_t msg, TW_CAPABILITY& cap, const char* option, double lo,
                              double hi, double scale) {
    // SANE's own range maps linearly onto lo..hi of the protocol.
    double slo, shi, step, value;
    if (!Limits(option, slo, shi, step) || !GetNumber(option, value) || shi <= slo)
        return Fail(TWCC_CAPUNSUPPORTED);
    const auto toTwain = [&](double v) { return lo + (v - slo) * (hi - lo) / (shi - slo); };
    const double mid = (slo + shi) / 2;
    switch (msg) {
        case MSG_GET:
            cap.ConType = TWON_RANGE;
            cap.hContainer = Range(TWTY_FIX32, lo, hi, std::max(step * scale, 1.0), toTwain(mid),
                                   toTwain(value));
            return cap.hContainer ? TWRC_SUCCESS : Fail(TWCC_LOWMEMORY);
        case MSG_GETCURRENT:
        case MSG_GETDEFAULT:
            cap.ConType = TWON_ONEVALUE;
            cap.hContainer = OneValue(TWTY_FIX32, toTwain(msg == MSG_GETCURRENT ? value : mid));
            return cap.hContainer ? TWRC_SUCCESS : Fail(TWCC_LOWMEMORY);
        case MSG_SET: {
            double v;
            if (!ReadOneValue(cap, v)) return Fail(TWCC_BADVALUE);
            return SetNumber(option, slo + (v - lo) * (shi - slo) / (hi - lo)) ? TWRC_SUCCESS
                                                                               : Fail(TWCC_BADVALUE);
        }
        default: return Fail(TWCC_CAPBADOPERATION);
    }
}

uint16_t SaneSource::Capability(uint16_t msg, TW_CAPABILITY& cap) {
    const bool get = msg == MSG_GET || msg == MSG_GETCURRENT || msg == MSG_GETDEFAULT;
    if (!get && msg != MSG_SET) return Fail(TWCC_CAPBADOPERATION);
    if (msg == MSG_SET && state != State::Open) return Fail(TWCC_SEQERROR);
    double value = 0;
    if (msg == MSG_SET && !ReadOneValue(cap, value)) return Fail(TWCC_BADVALUE);
    const auto answer = [&](uint16_t type, double v) {
        cap.ConType = TWON_ONEVALUE;
        cap.hContainer = OneValue(type, v);
        return cap.hContainer ? TWRC_SUCCESS : Fail(TWCC_LOWMEMORY);
    };
    const auto set = [&](bool ok) { return ok ? TWRC_SUCCESS : Fail(TWCC_BADVALUE); };
    switch (cap.Cap) {
        case ICAP_XFERMECH:
            return get ? answer(TWTY_UINT16, TWSX_NATIVE) : set(value == TWSX_NATIVE);
        case ICAP_UNITS:
            if (msg == MSG_GET) {
                cap.ConType = TWON_ENUMERATION;
                cap.hContainer = Enumeration16({0, 1, 2, 3, 4, 5}, units_, TWUN_INCHES);
                return cap.hContainer ? TWRC_SUCCESS : Fail(TWCC_LOWMEMORY);
            }
            if (get) return answer(TWTY_UINT16, msg == MSG_GETDEFAULT ? TWUN_INCHES : units_);
            if (value < 0 || value > TWUN_PIXELS) return Fail(TWCC_BADVALUE);
            units_ = uint16_t(value);
            return TWRC_SUCCESS;
        case ICAP_PIXELTYPE:
            if (msg == MSG_GET) {
                cap.ConType = TWON_ENUMERATION;
                cap.hContainer = Enumeration16(PixelTypes(), PixelType(), defaultPixelType_);
                return cap.hContainer ? TWRC_SUCCESS : Fail(TWCC_LOWMEMORY);
            }
            if (get) return answer(TWTY_UINT16, msg == MSG_GETDEFAULT ? defaultPixelType_ : PixelType());
            return set(SetPixelType(uint16_t(value)));
        case ICAP_BITDEPTH:
            return get ? answer(TWTY_UINT16, BitDepth()) : set(SetBitDepth(int(value)));
        case ICAP_XRESOLUTION:
        case ICAP_YRESOLUTION: {
            const char* option = "resolution";
            double probe;
            if (cap.Cap == ICAP_YRESOLUTION && GetNumber("y-resolution", probe)) option = "y-resolution";
            double lo, hi, step, current;
            if (!Limits(option, lo, hi, step) || !GetNumber(option, current))
                return Fail(TWCC_CAPUNSUPPORTED);
            if (msg == MSG_GET) {
                cap.ConType = TWON_RANGE;
                cap.hContainer = Range(TWTY_FIX32, lo, hi, step, std::clamp(300.0, lo, hi), current);
                return cap.hContainer ? TWRC_SUCCESS : Fail(TWCC_LOWMEMORY);
            }
            if (get) return answer(TWTY_FIX32, msg == MSG_GETDEFAULT ? std::clamp(300.0, lo, hi) : current);
            return set(SetNumber(option, value));
        }
        case ICAP_BRIGHTNESS: return RangeCap(msg, cap, "brightness", -1000, 1000, 10);
        case ICAP_CONTRAST: return RangeCap(msg, cap, "contrast", -1000, 1000, 10);
        case ICAP_THRESHOLD: return RangeCap(msg, cap, "threshold", 0, 255, 1);
        case ICAP_PHYSICALWIDTH:
        case ICAP_PHYSICALHEIGHT: {
            double size;
            if (!get || !Physical(cap.Cap == ICAP_PHYSICALWIDTH ? "br-x" : "br-y", size))
                return Fail(get ? TWCC_CAPUNSUPPORTED : TWCC_CAPBADOPERATION);
            return answer(TWTY_FIX32, size);
        }
        case ICAP_SUPPORTEDSIZES:
            return get ? answer(TWTY_UINT16, 0) : set(value == 0);
        case CAP_FEEDERENABLED:
            if (FeederEntry().empty()) return Fail(TWCC_CAPUNSUPPORTED);
            return get ? answer(TWTY_BOOL, msg == MSG_GETDEFAULT ? 0 : FeederEnabled())
                       : set(SetFeeder(value != 0));
        case CAP_AUTOFEED:
            if (FeederEntry().empty()) return Fail(TWCC_CAPUNSUPPORTED);
            if (get) return answer(TWTY_BOOL, msg == MSG_GETDEFAULT ? 0 : autoFeed_);
            autoFeed_ = value != 0;
            return TWRC_SUCCESS;
        case CAP_INDICATORS:
            if (get) return answer(TWTY_BOOL, msg == MSG_GETDEFAULT ? 1 : indicators_);
            indicators_ = value != 0;
            return TWRC_SUCCESS;
        default: return Fail(TWCC_CAPUNSUPPORTED);
    }
}

uint16_t SaneSource::Layout(uint16_t msg, TW_IMAGELAYOUT& layout) {
    const double perMm = UnitsPerMm();
    const char* names[4] = {"tl-x", "tl-y", "br-x", "br-y"};
    if (msg == MSG_GET) {
        double mm[4];
        for (int i = 0; i < 4; ++i)
            if (!GetNumber(names[i], mm[i])) return Fail(TWCC_CAPUNSUPPORTED);
        layout.Frame.Left = ToFix32(mm[0] * perMm);
        layout.Frame.Top = ToFix32(mm[1] * perMm);
        layout.Frame.Right = ToFix32(mm[2] * perMm);
        layout.Frame.Bottom = ToFix32(mm[3] * perMm);
        layout.DocumentNumber = layout.PageNumber = layout.FrameNumber = 1;
        return TWRC_SUCCESS;
    }
    if (msg != MSG_SET) return Fail(TWCC_BADPROTOCOL);
    if (state != State::Open) return Fail(TWCC_SEQERROR);
    const double values[4] = {FromFix32(layout.Frame.Left), FromFix32(layout.Frame.Top),
                              FromFix32(layout.Frame.Right), FromFix32(layout.Frame.Bottom)};
    // The bottom-right corner first, so that a frame moving right never has its left edge
    // past the old right edge; each value is clipped to the bed by the option's range.
    for (int i : {2, 3, 0, 1})
        if (!SetNumber(names[i], values[i] / perMm)) return Fail(TWCC_BADVALUE);
    return TWRC_SUCCESS;
}

uint16_t SaneSource::ProcessEvent(TW_EVENT& event) {
    event.TWMessage = MSG_NULL;
    if (state != State::Enabled || announced_) return TWRC_NOTDSEVENT;
    if (!closeRequested_ && StartScan()) {
        announced_ = true;
        state = State::XferReady;
        event.TWMessage = MSG_XFERREADY;
    } else {
        closeRequested_ = true;
        event.TWMessage = MSG_CLOSEDSREQ;
    }
    return TWRC_DSEVENT;
}

uint16_t SaneSource::ImageInfo(TW_IMAGEINFO& info) {
    if (state != State::XferReady || !scanning_) return Fail(TWCC_SEQERROR);
    info = TW_IMAGEINFO{};
    info.XResolution = ToFix32(scanXdpi_);
    info.YResolution = ToFix32(scanYdpi_);
    info.ImageWidth = params_.pixels_per_line;
    info.ImageLength = params_.lines;
    const int bpp = DibBitsPerPixel(params_);
    info.SamplesPerPixel = bpp == 24 ? 3 : 1;
    for (int i = 0; i < info.SamplesPerPixel; ++i) info.BitsPerSample[i] = int16_t(bpp == 1 ? 1 : 8);
    info.BitsPerPixel = int16_t(bpp);
    info.PixelType = int16_t(bpp == 1 ? TWPT_BW : bpp == 8 ? TWPT_GRAY : TWPT_RGB);
    return TWRC_SUCCESS;
}

uint16_t SaneSource::NativeTransfer(TW_HANDLE& handle) {
    handle = nullptr;
    if (state != State::XferReady || !scanning_) return Fail(TWCC_SEQERROR);
    SaneReader reader;
    SANE_Parameters frame = params_;
    uint64_t frameBytes = 0;
    reader.Read = [&](SANE_Byte* buffer, SANE_Int max, SANE_Int* length) {
        // The read after a frame's last byte ends the frame, and backends may end its reader
        // in it; a frame of unknown length may end at any read.
        if (frame.lines < 0 || frameBytes >= uint64_t(frame.bytes_per_line) * uint64_t(frame.lines))
            LetReadersSettle();
        const SANE_Status status = lib_.read(handle_, buffer, max, length);
        if (status == SANE_STATUS_GOOD && *length > 0) frameBytes += uint64_t(*length);
        return status;
    };
    reader.NextFrame = [&](SANE_Parameters* params) {
        LetReadersSettle();
        SANE_Status status = lib_.start(handle_);
        if (status == SANE_STATUS_GOOD) status = lib_.get_parameters(handle_, params);
        frame = *params;
        frameBytes = 0;
        return status;
    };
    std::vector<uint8_t> dib;
    std::string error;
    if (!AssemblePackedDib(params_, reader, scanXdpi_, dib, error)) {
        OutputDebugString("SANE: " + error);
        StopScan();
        closeRequested_ = true;
        return Fail(TWCC_OPERATIONERROR);
    }
    handle = GlobalAlloc(GMEM_MOVEABLE, dib.size());
    if (!handle) {
        StopScan();
        return Fail(TWCC_LOWMEMORY);
    }
    std::memcpy(GlobalLock(handle), dib.data(), dib.size());
    GlobalUnlock(handle);
    state = State::Transferring;
    return TWRC_XFERDONE;
}

uint16_t SaneSource::EndTransfer(TW_PENDINGXFERS& pending, bool discard) {
    if (state != State::Transferring && state != State::XferReady) return Fail(TWCC_SEQERROR);
    pending.Count = 0;
    // With the feeder in use the next sheet is started at once; its failure (no more
    // documents) ends the batch.
    if (!discard && FeederEnabled() && StartScan()) {
        pending.Count = 0xFFFF;  // unknown number of further pages
        state = State::XferReady;
        return TWRC_SUCCESS;
    }
    StopScan();
    closeRequested_ = true;
    announced_ = false;
    state = State::Enabled;
    return TWRC_SUCCESS;
}

uint16_t SaneSource::Entry(uint32_t group, uint16_t dat, uint16_t msg, void* data) {
    // A status request answers the condition of the call before it.
    if (dat != DAT_STATUS) condition = TWCC_SUCCESS;
    if (!data && dat != DAT_PENDINGXFERS) return Fail(TWCC_BADVALUE);
    if (group == DG_IMAGE) {
        switch (dat) {
            case DAT_IMAGEINFO:
                return msg == MSG_GET ? ImageInfo(*static_cast<TW_IMAGEINFO*>(data)) : Fail(TWCC_BADPROTOCOL);
            case DAT_IMAGELAYOUT: return Layout(msg, *static_cast<TW_IMAGELAYOUT*>(data));
            case DAT_IMAGENATIVEXFER:
                return msg == MSG_GET ? NativeTransfer(*static_cast<TW_HANDLE*>(data)) : Fail(TWCC_BADPROTOCOL);
            default: return Fail(TWCC_BADPROTOCOL);  // file and memory transfers are not offered
        }
    }
    switch (dat) {
        case DAT_CAPABILITY: return Capability(msg, *static_cast<TW_CAPABILITY*>(data));
        case DAT_EVENT:
            return msg == MSG_PROCESSEVENT ? ProcessEvent(*static_cast<TW_EVENT*>(data)) : Fail(TWCC_BADPROTOCOL);
        case DAT_USERINTERFACE:
            if (msg == MSG_ENABLEDS) {
                if (state != State::Open) return Fail(TWCC_SEQERROR);
                state = State::Enabled;
                announced_ = closeRequested_ = false;
                return TWRC_SUCCESS;
            }
            if (msg == MSG_DISABLEDS) {
                if (state != State::Enabled) return Fail(TWCC_SEQERROR);
                StopScan();
                state = State::Open;
                return TWRC_SUCCESS;
            }
            return Fail(TWCC_BADPROTOCOL);
        case DAT_PENDINGXFERS: {
            TW_PENDINGXFERS scratch;
            TW_PENDINGXFERS& pending = data ? *static_cast<TW_PENDINGXFERS*>(data) : scratch;
            if (msg == MSG_ENDXFER) return EndTransfer(pending, false);
            if (msg == MSG_RESET) return EndTransfer(pending, true);
            if (msg == MSG_GET) {
                pending.Count = state == State::XferReady ? 0xFFFF : 0;
                return TWRC_SUCCESS;
            }
            return Fail(TWCC_BADPROTOCOL);
        }
        case DAT_STATUS:
            static_cast<TW_STATUS*>(data)->ConditionCode = condition;
            return TWRC_SUCCESS;
        default: return Fail(TWCC_BADPROTOCOL);
    }
}

// --- The manager

class SaneSourceManager final : public SourceManager {
public:
    explicit SaneSourceManager(std::shared_ptr<SaneLibrary> lib) : lib_(std::move(lib)) {}
    ~SaneSourceManager() override { source_.reset(); }

    uint16_t Entry(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t group, uint16_t dat,
                   uint16_t msg, void* data) override {
        if (!origin) return Fail(TWCC_BADPROTOCOL);
        if (dest) {
            if (!source_ || dest->Id != sourceId_) return Fail(TWCC_BADDEST);
            return source_->Entry(group, dat, msg, data);
        }
        if (dat != DAT_STATUS) condition_ = TWCC_SUCCESS;
        if (group != DG_CONTROL) return Fail(TWCC_BADPROTOCOL);
        switch (dat) {
            case DAT_PARENT:
                if (msg == MSG_OPENDSM) {
                    if (open_) return Fail(TWCC_SEQERROR);
                    open_ = true;
                    ReadDevices();
                    return TWRC_SUCCESS;
                }
                if (msg == MSG_CLOSEDSM) {
                    if (!open_ || source_) return Fail(TWCC_SEQERROR);
                    open_ = false;
                    return TWRC_SUCCESS;
                }
                return Fail(TWCC_BADPROTOCOL);
            case DAT_IDENTITY: return Identity(msg, static_cast<TW_IDENTITY*>(data));
            case DAT_STATUS:
                if (!data) return Fail(TWCC_BADVALUE);
                static_cast<TW_STATUS*>(data)->ConditionCode = condition_;
                return TWRC_SUCCESS;
            default: return Fail(TWCC_BADPROTOCOL);
        }
    }

private:
    struct Device {
        std::string name, vendor, model;
    };

    uint16_t Fail(uint16_t cc) {
        condition_ = cc;
        return TWRC_FAILURE;
    }

    // The source the user chose last: the manager's default from then on, also for the
    // managers loaded after this one (as a source manager keeps its user's choice).
    static std::string& ChosenDefault() {
        static std::string name;
        return name;
    }

    void ReadDevices() {
        devices_.clear();
        defaultIndex_ = 0;
        const SANE_Device** list = nullptr;
        if (lib_->get_devices(&list, SANE_TRUE) != SANE_STATUS_GOOD || !list) return;
        for (; *list; ++list) {
            const SANE_Device* d = *list;
            devices_.push_back({d->name ? d->name : "", d->vendor ? d->vendor : "", d->model ? d->model : ""});
            if (devices_.back().name == ChosenDefault()) defaultIndex_ = devices_.size() - 1;
        }
    }

    void Describe(size_t index, TW_IDENTITY& id) const {
        id = TW_IDENTITY{};
        id.Id = uint32_t(index + 1);
        id.ProtocolMajor = 1;
        id.ProtocolMinor = 8;
        id.SupportedGroups = DG_CONTROL | DG_IMAGE;
        SetStr32(id.Manufacturer, devices_[index].vendor);
        SetStr32(id.ProductFamily, devices_[index].model);
        SetStr32(id.ProductName, devices_[index].name);
    }

    uint16_t Identity(uint16_t msg, TW_IDENTITY* id) {
        if (!open_) return Fail(TWCC_SEQERROR);
        if (!id) return Fail(TWCC_BADVALUE);
        switch (msg) {
            case MSG_GETFIRST:
                next_ = 0;
                [[fallthrough]];
            case MSG_GETNEXT:
                if (next_ >= devices_.size()) return TWRC_ENDOFLIST;
                Describe(next_++, *id);
                return TWRC_SUCCESS;
            case MSG_GETDEFAULT:
                if (devices_.empty()) return Fail(TWCC_NODS);
                Describe(defaultIndex_, *id);
                return TWRC_SUCCESS;
            case MSG_USERSELECT: {
                if (devices_.empty()) return Fail(TWCC_NODS);
                std::vector<std::string> names;
                for (const Device& d : devices_) names.push_back(d.name);
                const int chosen = CurrentHost().SelectSource(names, int(defaultIndex_));
                if (chosen < 0 || size_t(chosen) >= devices_.size()) return TWRC_CANCEL;
                defaultIndex_ = size_t(chosen);
                ChosenDefault() = devices_[defaultIndex_].name;
                Describe(defaultIndex_, *id);
                return TWRC_SUCCESS;
            }
            case MSG_OPENDS: {
                if (source_) return Fail(TWCC_MAXCONNECTIONS);
                if (devices_.empty()) return Fail(TWCC_NODS);
                size_t index = defaultIndex_;
                const std::string wanted = GetStr32(id->ProductName);
                if (!wanted.empty()) {
                    auto it = std::find_if(devices_.begin(), devices_.end(),
                                           [&](const Device& d) { return d.name == wanted; });
                    if (it == devices_.end()) return Fail(TWCC_NODS);
                    index = size_t(it - devices_.begin());
                }
                SANE_Handle handle = nullptr;
                if (lib_->open(devices_[index].name.c_str(), &handle) != SANE_STATUS_GOOD || !handle)
                    return Fail(TWCC_OPERATIONERROR);
                source_ = std::make_unique<SaneSource>(*lib_, handle);
                Describe(index, *id);
                sourceId_ = id->Id;
                return TWRC_SUCCESS;
            }
            case MSG_CLOSEDS:
                if (!source_ || id->Id != sourceId_) return Fail(TWCC_NODS);
                if (source_->state != SaneSource::State::Open) return Fail(TWCC_SEQERROR);
                source_.reset();
                return TWRC_SUCCESS;
            default: return Fail(TWCC_BADPROTOCOL);
        }
    }

    std::shared_ptr<SaneLibrary> lib_;
    std::unique_ptr<SaneSource> source_;
    uint32_t sourceId_ = 0;
    std::vector<Device> devices_;
    size_t next_ = 0;
    size_t defaultIndex_ = 0;
    bool open_ = false;
    uint16_t condition_ = TWCC_SUCCESS;
};

}  // namespace

std::unique_ptr<SourceManager> CreateSaneSourceManager() {
    auto lib = LoadSaneLibrary();
    if (!lib) return nullptr;
    return std::make_unique<SaneSourceManager>(std::move(lib));
}

}  // namespace platform::twain

// The capability side of TScanner: containers, the eight ranges, the frame in
// device-independent units, the settings written to and read from the source.
#include <cmath>
#include <cstdio>
#include <cstring>

#include "imaging/Scanner.h"
#include "platform/twain/GlobalMemory.h"

namespace kura::imaging {

using namespace platform::twain;
using namespace platform::twain::container;

namespace {

// The component's own wrapper around a container handle; the signature is checked before
// every use so that a stray pointer is caught instead of followed.
struct TContainer {
    char Signature[4] = {'Q', 'r', 'v', 'n'};
    int32_t ConType = 0;
    platform::HGLOBAL Handle = nullptr;
    uint8_t* Data = nullptr;
};

void ContainerFree(TContainer* con) {
    if (!con) throw EScannerFaital("ContainerFree pcon = nil");
    if (std::memcmp(con->Signature, "Qrvn", 4) != 0) throw EScannerFaital("ContainerFree Signature miss match");
    if (con->Handle) {
        platform::GlobalUnlock(con->Handle);
        platform::GlobalFree(con->Handle);
    }
    con->Handle = nullptr;
    con->Data = nullptr;
}

// Locks the container the source returned; false (traced) when the handle is unusable.
bool ContainerLock(TContainer& con, const TW_CAPABILITY& cap) {
    con.ConType = cap.ConType;
    con.Handle = cap.hContainer;
    if (!con.Handle) {
        OutputDebugString("Illegal container handle");
        return false;
    }
    con.Data = static_cast<uint8_t*>(platform::GlobalLock(con.Handle));
    if (!con.Data) {
        platform::GlobalFree(con.Handle);
        con.Handle = nullptr;
        OutputDebugString("Can not Lock Container");
        return false;
    }
    return true;
}

// The size a container of this type needs, or 0 for an unknown type.
size_t ContainerSize(uint16_t conType, uint16_t itemType, size_t count) {
    const size_t item = size_t(ItemSize(itemType));
    switch (conType) {
        case TWON_ARRAY: return item * count + 7;
        case TWON_ENUMERATION: return item * count + 15;
        case TWON_ONEVALUE: return item > 4 ? item + 2 : 6;
        case TWON_RANGE: return 22;
        default: return 0;
    }
}

double ItemValue(uint16_t itemType, const uint8_t* p) {
    switch (itemType) {
        case TWTY_INT8: return int8_t(p[0]);
        case TWTY_UINT8: return p[0];
        case TWTY_INT16: return int16_t(Get16(p));
        case TWTY_UINT16:
        case TWTY_BOOL: return Get16(p);
        case TWTY_INT32: return int32_t(Get32(p));
        case TWTY_UINT32: return Get32(p);
        case TWTY_FIX32: {
            TW_FIX32 fix;
            fix.Whole = int16_t(Get16(p));
            fix.Frac = Get16(p + 2);
            return FromFix32(fix);
        }
        default: return 0;
    }
}

struct PaperEntry {
    TScanPaperSize size;
    double width, height, twipsPerUnit;
};
constexpr double TwipsPerCm = 567, TwipsPerInch = 1440;
const PaperEntry PaperTable[] = {
    {TScanPaperSize::psA5, 14.8, 21.0, TwipsPerCm},   {TScanPaperSize::psA4, 21.0, 29.7, TwipsPerCm},
    {TScanPaperSize::psA3, 29.7, 42.0, TwipsPerCm},   {TScanPaperSize::psB5, 18.2, 25.7, TwipsPerCm},
    {TScanPaperSize::psB4, 25.7, 36.4, TwipsPerCm},   {TScanPaperSize::psLetter, 8.5, 11, TwipsPerInch},
    {TScanPaperSize::psPostCard, 10.0, 14.8, TwipsPerCm},
};

}  // namespace

// ---------------------------------------------------------------- one value, current, range

bool TScanner::SetCapOneValue(uint16_t cap, uint16_t itemType, double value) {
    if (itemType > TWTY_FIX32) {
        OutputDebugString("Unknow ItemType");
        return false;
    }
    const size_t size = ContainerSize(TWON_ONEVALUE, itemType, 1);
    TContainer con;
    con.Handle = platform::GlobalAlloc(platform::GMEM_MOVEABLE | platform::GMEM_ZEROINIT, size);
    con.Data = con.Handle ? static_cast<uint8_t*>(platform::GlobalLock(con.Handle)) : nullptr;
    if (!con.Data) {
        OutputDebugString(itemType == TWTY_FIX32 ? "Not Enough Memory" : "Not enough memory at SetCapOneValue");
        if (con.Handle) platform::GlobalFree(con.Handle);
        return false;
    }
    Put16(con.Data, itemType);
    uint32_t raw;
    if (itemType == TWTY_FIX32) {
        const TW_FIX32 fix = ToFix32(value);
        raw = uint32_t(uint16_t(fix.Whole)) | uint32_t(fix.Frac) << 16;
    } else {
        const auto n = int64_t(std::nearbyint(value));
        switch (itemType) {
            case TWTY_INT8: raw = uint32_t(int32_t(int8_t(n))); break;
            case TWTY_INT16: raw = uint32_t(int32_t(int16_t(n))); break;
            case TWTY_UINT8: raw = uint32_t(n) & 0xFF; break;
            case TWTY_UINT16: raw = uint32_t(n) & 0xFFFF; break;
            default: raw = uint32_t(n); break;
        }
    }
    Put32(con.Data + OneValueItem, raw);
    platform::GlobalUnlock(con.Handle);
    TW_CAPABILITY capability;
    capability.Cap = cap;
    capability.ConType = TWON_ONEVALUE;
    capability.hContainer = con.Handle;
    const bool ok = SourceCall(DG_CONTROL, DAT_CAPABILITY, MSG_SET, &capability);
    if (!ok) TraceError(CapabilityName(cap) + " Not Supported");
    platform::GlobalFree(con.Handle);
    return ok;
}

bool TScanner::GetCapValue(uint16_t msg, uint16_t cap, uint16_t itemType, double& value) {
    const bool current = msg == MSG_GETCURRENT;
    const std::string name = CapabilityName(cap);
    TW_CAPABILITY capability;
    capability.Cap = cap;
    if (!SourceCall(DG_CONTROL, DAT_CAPABILITY, msg, &capability)) {
        TraceError((current ? "GetCurrent Failed (" : "GetDefault Failed (") + name + ")");
        return false;
    }
    TContainer con;
    if (!ContainerLock(con, capability)) {
        TraceError((current ? "GetCurrent Failed. Invalid Container Handle ("
                            : "GetDefault Failed. Invalid Container Handle (") + name + ")");
        return false;
    }
    const size_t size = platform::GlobalSize(con.Handle);
    bool ok = false;
    const uint16_t type = size >= 2 ? Get16(con.Data) : 0xFFFF;
    const size_t item = size_t(ItemSize(itemType));
    if (type == itemType && item > 0) {
        if (con.ConType == TWON_ONEVALUE && size >= OneValueItem + item) {
            value = ItemValue(itemType, con.Data + OneValueItem);
            ok = true;
        } else if (con.ConType == TWON_ENUMERATION && size >= EnumItems) {
            const uint32_t count = Get32(con.Data + EnumNumItems);
            const uint32_t index = Get32(con.Data + EnumCurrentIndex);
            if (index < count && EnumItems + uint64_t(index + 1) * item <= size) {
                value = ItemValue(itemType, con.Data + EnumItems + index * item);
                ok = true;
            }
        } else if (con.ConType == TWON_RANGE && size >= RangeSize) {
            value = ItemValue(itemType, con.Data + RangeCurrent);
            ok = true;
        }
    }
    if (!ok) {
        char text[96];
        if (current)
            std::snprintf(text, sizeof text, "GetCapCurrent Fail (%s:ConType=%d)", name.c_str(), con.ConType);
        else
            std::snprintf(text, sizeof text, "GetCapCurrent Fail (ConType=%d)", con.ConType);
        TraceError(text);
    }
    ContainerFree(&con);
    return ok;
}

bool TScanner::GetCapCurrent(uint16_t cap, uint16_t itemType, double& value) {
    return GetCapValue(MSG_GETCURRENT, cap, itemType, value);
}

bool TScanner::GetCapDefault(uint16_t cap, uint16_t itemType, double& value) {
    return GetCapValue(MSG_GETDEFAULT, cap, itemType, value);
}

bool TScanner::GetCapRange(uint16_t cap, double& min, double& max, double& step, double& def, double& cur) {
    TW_CAPABILITY capability;
    capability.Cap = cap;
    if (!SourceCall(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability)) {
        TraceError("TWAIN_GetCapRange Failed : " + CapabilityName(cap));
        return false;
    }
    TContainer con;
    if (!ContainerLock(con, capability)) return false;
    const bool ok = con.ConType == TWON_RANGE && platform::GlobalSize(con.Handle) >= RangeSize;
    if (ok) {
        const uint16_t type = Get16(con.Data);
        min = ItemValue(type, con.Data + RangeMin);
        max = ItemValue(type, con.Data + RangeMax);
        step = ItemValue(type, con.Data + RangeStep);
        def = ItemValue(type, con.Data + RangeDefault);
        cur = ItemValue(type, con.Data + RangeCurrent);
    } else {
        char text[96];
        std::snprintf(text, sizeof text, "ConType Missmatch %d (%s)", con.ConType, CapabilityName(cap).c_str());
        TraceError(text);
    }
    ContainerFree(&con);
    return ok;
}

bool TScanner::GetCapEnumeration(uint16_t cap, uint16_t itemType, std::vector<double>& items) {
    TW_CAPABILITY capability;
    capability.Cap = cap;
    if (!SourceCall(DG_CONTROL, DAT_CAPABILITY, MSG_GET, &capability)) {
        TraceError("TWAIN_GetCapEnumeration Failed : " + CapabilityName(cap));
        return false;
    }
    TContainer con;
    if (!ContainerLock(con, capability)) return false;
    const size_t size = platform::GlobalSize(con.Handle);
    bool ok = false;
    if (con.ConType != TWON_ENUMERATION || size < EnumItems) {
        char text[96];
        std::snprintf(text, sizeof text, "ConType Missmatch %d (%s)", con.ConType, CapabilityName(cap).c_str());
        TraceError(text);
    } else if (Get16(con.Data) != itemType) {
        TraceError("ItemType Missmatch");
    } else {
        const size_t item = size_t(ItemSize(itemType));
        const uint32_t count = Get32(con.Data + EnumNumItems);
        // Only the items the block really holds.
        for (uint32_t i = 0; i < count && EnumItems + (uint64_t(i) + 1) * item <= size; ++i)
            items.push_back(ItemValue(itemType, con.Data + EnumItems + i * item));
        ok = true;
    }
    ContainerFree(&con);
    return ok;
}

double TScanner::GetCapFix32(uint16_t cap, double fallback) {
    double value;
    return GetCapCurrent(cap, TWTY_FIX32, value) ? value : fallback;
}

bool TScanner::GetCapBool(uint16_t cap, bool fallback) {
    double value;
    return GetCapCurrent(cap, TWTY_BOOL, value) ? value != 0 : fallback;
}

// ---------------------------------------------------------------- units and frame

double TScanner::TwipsPerUnit() const {
    switch (unitMode_) {
        case TScanUnitMode::umCm: return 567;
        case TScanUnitMode::umPica: return 120;
        case TScanUnitMode::umPoint: return 1440.0 / 72;
        case TScanUnitMode::umTwips: return 1;
        case TScanUnitMode::umPixel: {
            const double dpi = Resolution.Supported() ? Resolution.Value() : 1;
            return dpi > 0 ? 1440 / dpi : 1440;
        }
        default: return 1440;
    }
}

float TScanner::FromTwips(double twips) const { return float(twips / TwipsPerUnit()); }
double TScanner::ToTwips(float value) const { return value * TwipsPerUnit(); }

void TScanner::SetFrameValue(int index, float value) {
    const double twips = ToTwips(value);
    if (twips == frame_[size_t(index)]) return;
    frame_[size_t(index)] = twips;
    if (active_) FrameToSource(true);
}

bool TScanner::FrameToSource(bool write) {
    double left = frame_[0], top = frame_[1], right = frame_[0] + frame_[2], bottom = frame_[1] + frame_[3];
    TW_IMAGELAYOUT layout;
    if (write) {
        const double unit = TwipsPerUnit();
        layout.Frame.Left = ToFix32(left / unit);
        layout.Frame.Top = ToFix32(top / unit);
        layout.Frame.Right = ToFix32(right / unit);
        layout.Frame.Bottom = ToFix32(bottom / unit);
        if (!SourceCall(DG_IMAGE, DAT_IMAGELAYOUT, MSG_SET, &layout)) TraceError("Can not set Imagelayout");
    } else {
        if (!SourceCall(DG_IMAGE, DAT_IMAGELAYOUT, MSG_GET, &layout)) {
            TraceError("Can not get Imagelayout");
            return false;
        }
        const double unit = TwipsPerUnit();
        left = std::max(0.0, FromFix32(layout.Frame.Left)) * unit;
        top = std::max(0.0, FromFix32(layout.Frame.Top)) * unit;
        right = std::max(left, FromFix32(layout.Frame.Right) * unit);
        bottom = std::max(top, FromFix32(layout.Frame.Bottom) * unit);
    }
    if (maxFrame_[0] > 0) right = std::min(right, maxFrame_[0]);
    if (maxFrame_[1] > 0) bottom = std::min(bottom, maxFrame_[1]);
    frame_ = {left, top, std::max(0.0, right - left), std::max(0.0, bottom - top)};
    paperSize_ = TScanPaperSize::psCustom;
    if (left == 0 && top == 0)
        for (const PaperEntry& p : PaperTable)
            if (std::fabs(frame_[2] - p.width * p.twipsPerUnit) < 0.5 &&
                std::fabs(frame_[3] - p.height * p.twipsPerUnit) < 0.5)
                paperSize_ = p.size;
    return true;
}

void TScanner::SetPaperSize(TScanPaperSize size) {
    paperSize_ = size;
    if (size == TScanPaperSize::psCustom) return;
    for (const PaperEntry& p : PaperTable) {
        if (p.size != size) continue;
        frame_ = {0, 0, p.width * p.twipsPerUnit, p.height * p.twipsPerUnit};
        if (active_) FrameToSource(true);
    }
}

void TScanner::ReadPhysicalSize() {
    // The source answers in its units; with the unit read first the sizes convert to twips.
    double units;
    if (GetCapCurrent(ICAP_UNITS, TWTY_UINT16, units) && units >= 0 && units <= 5)
        unitMode_ = TScanUnitMode(int(units));
    const double unit = TwipsPerUnit();
    maxFrame_[0] = GetCapFix32(ICAP_PHYSICALWIDTH, 0) * unit;
    maxFrame_[1] = GetCapFix32(ICAP_PHYSICALHEIGHT, 0) * unit;
}

// ---------------------------------------------------------------- ranges

void TScanRange::SetLimits(bool supported, float min, float max, float step, float def, float value) {
    supported_ = supported;
    min_ = min, max_ = max, step_ = step, default_ = def, value_ = value;
}

void TScanRange::SetValue(float value) {
    if (value == value_) return;
    value_ = value;
    if (owner_.active_ && supported_) owner_.WriteRange(*this);
}

void TScanRange::Reset() {
    value_ = default_;
    if (owner_.active_ && supported_) owner_.WriteRange(*this);
}

void TScanRange::AssignTo(TScanRange& other) const {
    other.cap_ = cap_;
    other.supported_ = supported_;
    other.min_ = min_, other.max_ = max_, other.step_ = step_, other.default_ = default_;
    other.SetValue(value_);
}

void TScanner::WriteRange(TScanRange& range) {
    SetCapFix32(range.cap_, range.value_);
    if (range.cap_ == ICAP_XRESOLUTION) SetCapFix32(ICAP_YRESOLUTION, range.value_);
    if (range.cap_ == ICAP_XSCALING) SetCapFix32(ICAP_YSCALING, range.value_);
    range.current_ = float(GetCapFix32(range.cap_, range.value_));
    range.value_ = range.current_;
}

void TScanner::NegotiateRange(TScanRange& range) {
    caps_ &= TScannerCaps(~CapBit(range.member_));
    double min, max, step, def, cur;
    bool supported = GetCapRange(range.cap_, min, max, step, def, cur);
    if (supported) {
        range.current_ = float(cur);
        if (UseCurrentValue) {
            SetCapFix32(range.cap_, cur);
            const double back = GetCapFix32(range.cap_, cur);
            supported = std::fabs(back - cur) < 1e-4;
            range.value_ = float(cur);
        } else {
            range.min_ = float(min), range.max_ = float(max);
            WriteRange(range);
        }
    }
    if (supported) {
        range.SetLimits(true, float(min), float(max), float(step), float(def), range.value_);
        caps_ |= CapBit(range.member_);
    } else {
        range.SetLimits(false, 0, 0, 0, 0, range.current_ != 0 ? range.current_ : range.value_);
    }
}

void TScanner::ProbeCapabilities() {
    for (TScanRange* r : {&Brightness, &Contrast, &Gamma, &Highlight, &Shadow, &Threshold, &Resolution, &Scaling})
        NegotiateRange(*r);
    double sizes;
    caps_ &= TScannerCaps(~(CapBit(scFrame) | CapBit(scAutoFeeder)));
    if (GetCapCurrent(ICAP_SUPPORTEDSIZES, TWTY_UINT16, sizes)) caps_ |= CapBit(scFrame);
    active_ = true;  // the feeder probe talks to the source as an active component does
    const bool feeder = HasFeeder();
    active_ = false;
    if (feeder) caps_ |= CapBit(scAutoFeeder);
    std::vector<double> items;
    if (GetCapEnumeration(ICAP_UNITS, TWTY_UINT16, items)) {
        unitModes_ = 0;
        for (double v : items)
            if (v >= 0 && v <= 5) unitModes_ |= uint8_t(1u << int(v));
    }
    items.clear();
    if (GetCapEnumeration(ICAP_PIXELTYPE, TWTY_UINT16, items)) {
        pixelTypes_ = 0;
        for (double v : items)
            if (v >= 0 && v <= 8) pixelTypes_ |= uint16_t(1u << int(v));
    }
}

// ---------------------------------------------------------------- settings

void TScanner::SetDefaults() {
    if (!active_) {
        caps_ = 0x01FF;
        unitMode_ = TScanUnitMode::umInch;
        unitModes_ = 0x23;
        pixelType_ = TScanPixelType::ptRGB;
        pixelTypes_ = 0x0F;
        bitDepth_ = 24;
        Brightness.SetLimits(true, -1000, 1000, 10, 0, 0);
        Contrast.SetLimits(true, -1000, 1000, 10, 0, 0);
        Gamma.SetLimits(true, 0, 10, 0.1f, 2.2f, 2.2f);
        Highlight.SetLimits(true, 0, 255, 1, 255, 255);
        Shadow.SetLimits(true, 0, 255, 1, 0, 0);
        Threshold.SetLimits(true, 0, 255, 1, 128, 128);
        Resolution.SetLimits(true, 1, 1200, 1, 300, 300);
        Scaling.SetLimits(true, 0.1f, 10, 0.1f, 1, 1);
        ShowIndicator = true;
        ShowUI = true;
        SetPaperSize(TScanPaperSize::psA4);
        return;
    }
    double v;
    pixelType_ = GetCapDefault(ICAP_PIXELTYPE, TWTY_UINT16, v) ? TScanPixelType(int(v)) : TScanPixelType::ptRGB;
    unitMode_ = GetCapDefault(ICAP_UNITS, TWTY_UINT16, v) ? TScanUnitMode(int(v)) : TScanUnitMode::umInch;
    bitDepth_ = GetCapDefault(ICAP_BITDEPTH, TWTY_UINT16, v) ? int32_t(v) : 0;
    frame_ = {0, 0, maxFrame_[0], maxFrame_[1]};
    FrameToSource(true);
    for (TScanRange* r : {&Brightness, &Contrast, &Gamma, &Highlight, &Shadow, &Threshold, &Resolution, &Scaling})
        r->Reset();
    ShowUI = true;
    ShowIndicator = true;
}

void TScanner::ApplySettings(bool write) {
    if (!active_) return;
    double v;
    if (write) SetCapOneValue(ICAP_UNITS, TWTY_UINT16, double(unitMode_));
    if (GetCapCurrent(ICAP_UNITS, TWTY_UINT16, v) && v >= 0 && v <= 5) unitMode_ = TScanUnitMode(int(v));
    if (write) SetCapOneValue(ICAP_PIXELTYPE, TWTY_UINT16, double(pixelType_));
    if (GetCapCurrent(ICAP_PIXELTYPE, TWTY_UINT16, v) && v >= 0 && v <= 8) pixelType_ = TScanPixelType(int(v));
    if (write) SetCapOneValue(ICAP_BITDEPTH, TWTY_UINT16, bitDepth_);
    if (GetCapCurrent(ICAP_BITDEPTH, TWTY_UINT16, v)) bitDepth_ = int32_t(v);
    FrameToSource(write);
    if (write) SetCapBool(CAP_INDICATORS, ShowIndicator);
    ShowIndicator = GetCapBool(CAP_INDICATORS, ShowIndicator);
    for (TScanRange* r : {&Contrast, &Brightness, &Gamma, &Highlight, &Shadow, &Threshold, &Scaling, &Resolution}) {
        if (!r->Supported()) continue;
        if (write) WriteRange(*r);
        else r->value_ = r->current_ = float(GetCapFix32(r->cap_, r->value_));
    }
}

void TScanner::SetUnitMode(TScanUnitMode mode) {
    unitMode_ = mode;
    if (active_) SetCapOneValue(ICAP_UNITS, TWTY_UINT16, double(mode));
}

void TScanner::SetPixelType(TScanPixelType type) {
    pixelType_ = type;
    if (!active_) return;
    SetCapOneValue(ICAP_PIXELTYPE, TWTY_UINT16, double(type));
    double v;
    pixelType_ = GetCapCurrent(ICAP_PIXELTYPE, TWTY_UINT16, v) ? TScanPixelType(int(v)) : TScanPixelType::ptRGB;
    if (GetCapCurrent(ICAP_BITDEPTH, TWTY_UINT16, v)) bitDepth_ = int32_t(v);
}

void TScanner::SetBitDepth(int32_t depth) {
    bitDepth_ = depth;
    if (!active_) return;
    SetCapOneValue(ICAP_BITDEPTH, TWTY_UINT16, depth);
    double v;
    if (GetCapCurrent(ICAP_BITDEPTH, TWTY_UINT16, v)) bitDepth_ = int32_t(v);
}

void TScanner::SetAutoBright(bool value) {
    autoBright_ = value;
    if (!active_) return;
    SetCapBool(ICAP_AUTOBRIGHT, value);
    autoBright_ = GetCapBool(ICAP_AUTOBRIGHT, value);
}

bool TScanner::HasFeeder() {
    if (!active_) return false;
    const bool remembered = GetCapBool(CAP_FEEDERENABLED, false);
    bool answer = false;
    if (!remembered) {
        SetCapBool(CAP_FEEDERENABLED, true);
        answer = GetCapBool(CAP_FEEDERENABLED, false);
        SetCapBool(CAP_FEEDERENABLED, false);
    } else {
        // A feeder already in use is a feeder.
        answer = true;
    }
    SetCapBool(CAP_FEEDERENABLED, remembered);
    return answer;
}

bool TScanner::FeederEnabled() {
    return active_ ? GetCapBool(CAP_FEEDERENABLED, feederEnabled_) : feederEnabled_;
}

void TScanner::SetFeederEnabled(bool value) {
    feederEnabled_ = value;
    if (!active_) return;
    try {
        SetCapBool(CAP_FEEDERENABLED, value);
        feederEnabled_ = GetCapBool(CAP_FEEDERENABLED, value);
    } catch (...) {
        feederEnabled_ = false;
        throw;
    }
}

bool TScanner::AutoFeedEnabled() {
    return active_ ? GetCapBool(CAP_AUTOFEED, autoFeedEnabled_) : autoFeedEnabled_;
}

void TScanner::SetAutoFeedEnabled(bool value) {
    SetFeederEnabled(value);
    autoFeedEnabled_ = value;
    if (!active_) return;
    try {
        SetCapBool(CAP_AUTOFEED, value);
        autoFeedEnabled_ = GetCapBool(CAP_AUTOFEED, value);
    } catch (...) {
        autoFeedEnabled_ = false;
        throw;
    }
}

void TScanner::AssignTo(TScanner& other) const {
    other.sourceName_ = sourceName_;
    other.UseDefaultSource = UseDefaultSource;
    other.UseCurrentValue = UseCurrentValue;
    other.MultiTransfer = MultiTransfer;
    other.ShowUI = ShowUI;
    other.ShowIndicator = ShowIndicator;
    other.unitMode_ = unitMode_;
    other.pixelType_ = pixelType_;
    other.bitDepth_ = bitDepth_;
    other.paperSize_ = paperSize_;
    other.frame_ = frame_;
    other.feederEnabled_ = feederEnabled_;
    other.autoFeedEnabled_ = autoFeedEnabled_;
    other.autoBright_ = autoBright_;
    const TScanRange* mine[] = {&Brightness, &Contrast, &Gamma, &Highlight, &Shadow, &Threshold, &Resolution, &Scaling};
    TScanRange* theirs[] = {&other.Brightness, &other.Contrast, &other.Gamma, &other.Highlight,
                            &other.Shadow, &other.Threshold, &other.Resolution, &other.Scaling};
    for (int i = 0; i < 8; ++i) mine[i]->AssignTo(*theirs[i]);
}

// ---------------------------------------------------------------- names

std::string TScanner::CapabilityName(uint16_t cap) {
    struct Entry {
        uint16_t code;
        const char* name;
    };
    static const Entry table[] = {
        {0x8000, "CAP_CUSTOMBASE"}, {0x0001, "CAP_XFERCOUNT"}, {0x0100, "ICAP_COMPRESSION"},
        {0x0101, "ICAP_PIXELTYPE"}, {0x0102, "ICAP_UNITS"}, {0x0103, "ICAP_XFERMECH"},
        {0x1000, "CAP_AUTHOR"}, {0x1001, "CAP_CAPTION"}, {0x1002, "CAP_FEEDERENABLED"},
        {0x1003, "CAP_FEEDERLOADED"}, {0x1004, "CAP_TIMEDATE"}, {0x1005, "CAP_SUPPORTEDCAPS"},
        {0x1006, "CAP_EXTENDEDCAPS"}, {0x1007, "CAP_AUTOFEED"}, {0x1008, "CAP_CLEARPAGE"},
        {0x1009, "CAP_FEEDPAGE"}, {0x100A, "CAP_REWINDPAGE"}, {0x100B, "CAP_INDICATORS"},
        {0x100C, "CAP_SUPPORTEDCAPSEXT"}, {0x100D, "CAP_PAPERDETECTABLE"}, {0x100E, "CAP_UICONTROLLABLE"},
        {0x100F, "CAP_DEVICEONLINE"}, {0x1010, "CAP_AUTOSCAN"}, {0x1011, "CAP_THUMBNAILSENABLED"},
        {0x1012, "CAP_DUPLEX"}, {0x1013, "CAP_DUPLEXENABLED"}, {0x1014, "CAP_ENABLEDSUIONLY"},
        {0x1015, "CAP_CUSTOMDSDATA"}, {0x1016, "CAP_ENDORSER"}, {0x1017, "CAP_JOBCONTROL"},
        {0x1018, "CAP_ALARMS"}, {0x1019, "CAP_ALARMVOLUME"}, {0x101A, "CAP_AUTOMATICCAPTURE"},
        {0x101B, "CAP_TIMEBEFOREFIRSTCAPTURE"}, {0x101C, "CAP_TIMEBETWEENCAPTURES"},
        {0x101D, "CAP_CLEARBUFFERS"}, {0x101E, "CAP_MAXBATCHBUFFERS"}, {0x101F, "CAP_DEVICETIMEDATE"},
        {0x1020, "CAP_POWERSUPPLY"}, {0x1021, "CAP_CAMERAPREVIEWUI"}, {0x1022, "CAP_DEVICEEVENT"},
        {0x1023, "CAP_PAGEMULTIPLEACQUIRE"}, {0x1024, "CAP_SERIALNUMBER"}, {0x1025, "CAP_FILESYSTEM"},
        {0x1026, "CAP_PRINTER"}, {0x1027, "CAP_PRINTERENABLED"}, {0x1028, "CAP_PRINTERINDEX"},
        {0x1029, "CAP_PRINTERMODE"}, {0x102A, "CAP_PRINTERSTRING"}, {0x102B, "CAP_PRINTERSUFFIX"},
        {0x102C, "CAP_LANGUAGE"}, {0x102D, "CAP_FEEDERALIGNMENT"}, {0x102E, "CAP_FEEDERORDER"},
        {0x102F, "CAP_PAPERBINDING"}, {0x1030, "CAP_REACQUIREALLOWED"}, {0x1031, "CAP_PASSTHRU"},
        {0x1032, "CAP_BATTERYMINUTES"}, {0x1033, "CAP_BATTERYPERCENTAGE"}, {0x1034, "CAP_POWERDOWNTIME"},
        {0x1100, "ICAP_AUTOBRIGHT"}, {0x1101, "ICAP_BRIGHTNESS"}, {0x1103, "ICAP_CONTRAST"},
        {0x1104, "ICAP_CUSTHALFTONE"}, {0x1105, "ICAP_EXPOSURETIME"}, {0x1106, "ICAP_FILTER"},
        {0x1107, "ICAP_FLASHUSED"}, {0x1108, "ICAP_GAMMA"}, {0x1109, "ICAP_HALFTONES"},
        {0x110A, "ICAP_HIGHLIGHT"}, {0x110C, "ICAP_IMAGEFILEFORMAT"}, {0x110D, "ICAP_LAMPSTATE"},
        {0x110E, "ICAP_LIGHTSOURCE"}, {0x1110, "ICAP_ORIENTATION"}, {0x1111, "ICAP_PHYSICALWIDTH"},
        {0x1112, "ICAP_PHYSICALHEIGHT"}, {0x1113, "ICAP_SHADOW"}, {0x1114, "ICAP_FRAMES"},
        {0x1116, "ICAP_XNATIVERESOLUTION"}, {0x1117, "ICAP_YNATIVERESOLUTION"}, {0x1118, "ICAP_XRESOLUTION"},
        {0x1119, "ICAP_YRESOLUTION"}, {0x111A, "ICAP_MAXFRAMES"}, {0x111B, "ICAP_TILES"},
        {0x111C, "ICAP_BITORDER"}, {0x111D, "ICAP_CCITTKFACTOR"}, {0x111E, "ICAP_LIGHTPATH"},
        {0x111F, "ICAP_PIXELFLAVOR"}, {0x1120, "ICAP_PLANARCHUNKY"}, {0x1121, "ICAP_ROTATION"},
        {0x1122, "ICAP_SUPPORTEDSIZES"}, {0x1123, "ICAP_THRESHOLD"}, {0x1124, "ICAP_XSCALING"},
        {0x1125, "ICAP_YSCALING"}, {0x1126, "ICAP_BITORDERCODES"}, {0x1127, "ICAP_PIXELFLAVORCODES"},
        {0x1128, "ICAP_JPEGPIXELTYPE"}, {0x112A, "ICAP_TIMEFILL"}, {0x112B, "ICAP_BITDEPTH"},
        {0x112C, "ICAP_BITDEPTHREDUCTION"}, {0x112D, "ICAP_UNDEFINEDIMAGESIZE"}, {0x112E, "ICAP_IMAGEDATASET"},
        {0x112F, "ICAP_EXTIMAGEINFO"}, {0x1130, "ICAP_MINIMUMHEIGHT"}, {0x1131, "ICAP_MINIMUMWIDTH"},
        {0x1134, "ICAP_AUTODISCARDBLANKPAGES"}, {0x1136, "ICAP_FLIPROTATION"},
        {0x1137, "ICAP_BARCODEDETECTIONENABLED"}, {0x1138, "ICAP_SUPPORTEDBARCODETYPES"},
        {0x1139, "ICAP_BARCODEMAXSEARCHPRIORITIES"}, {0x113A, "ICAP_BARCODESEARCHPRIORITIES"},
        {0x113B, "ICAP_BARCODESEARCHMODE"}, {0x113C, "ICAP_BARCODEMAXRETRIES"}, {0x113D, "ICAP_BARCODETIMEOUT"},
        {0x113E, "ICAP_ZOOMFACTOR"}, {0x113F, "ICAP_PATCHCODEDETECTIONENABLED"},
        {0x1140, "ICAP_SUPPORTEDPATCHCODETYPES"}, {0x1141, "ICAP_PATCHCODEMAXSEARCHPRIORITIES"},
        {0x1142, "ICAP_PATCHCODESEARCHPRIORITIES"}, {0x1143, "ICAP_PATCHCODESEARCHMODE"},
        {0x1144, "ICAP_PATCHCODEMAXRETRIES"}, {0x1145, "ICAP_PATCHCODETIMEOUT"}, {0x1146, "ICAP_FLASHUSED2"},
        {0x1147, "ICAP_IMAGEFILTER"}, {0x1148, "ICAP_NOISEFILTER"}, {0x1149, "ICAP_OVERSCAN"},
        {0x1150, "ICAP_AUTOMATICBORDERDETECTION"}, {0x1151, "ICAP_AUTOMATICDESKEW"},
        {0x1152, "ICAP_AUTOMATICROTATE"}, {0x1201, "ACAP_AUDIOFILEFORMAT"}, {0x1202, "ACAP_XFERMECH"},
    };
    const char* name = "Capability";
    for (const Entry& e : table)
        if (e.code == cap) {
            name = e.name;
            break;
        }
    char hex[8];
    std::snprintf(hex, sizeof hex, "%04X", cap);
    return std::string(name) + " ($" + hex + ")";
}

}  // namespace kura::imaging

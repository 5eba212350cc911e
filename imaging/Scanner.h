#pragma once
// TScanner: takes pages from an image scanner through the source manager
// (platform/twain) and keeps the last one as a bitmap file.
//
// States follow the source-manager protocol; each step up or down names its function:
//   tsPRESESSION     --LoadManager-->    tsSM_LOADED      --OpenManager-->   tsSM_OPEN
//   tsSM_OPEN        --OpenSource-->     tsSOURCE_OPEN    --EnableSource-->  tsSOURCE_ENABLED
//   tsSOURCE_ENABLED --(MSG_XFERREADY)-> tsTRANSFER_READY --NativeTransfer-> tsTRANSFERRING
// and back down through EndTransfer, ResetTransfers, DisableSource, CloseSource,
// CloseManager and UnloadManager, each first running the one above it. `Active` means a
// source is open. Acquire opens and closes the whole connection around a scan when the
// component was inactive.
//
// Failures the caller cannot act on are traced (platform::twain::OutputDebugString) and
// answered with false; only a missing manager, a manager without sources, a source that
// cannot be opened on activation and broken containers raise EScannerFaital.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/twain/SourceManager.h"

namespace kura::imaging {

class EScanner : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class EScannerFaital : public EScanner {
public:
    using EScanner::EScanner;
};

// The component's own messages.
extern const char* const SScannerNoManager;   // the manager cannot be loaded
extern const char* const SScannerNoSource;    // the manager lists no source
extern const char* const SScannerNotWorking;  // no source could be opened on activation

enum class TWAINState : uint8_t {
    tsPRESESSION, tsSM_LOADED, tsSM_OPEN, tsSOURCE_OPEN, tsSOURCE_ENABLED, tsTRANSFER_READY,
    tsTRANSFERRING,
};
const char* StateName(TWAINState state);

struct TScanImageInfo {
    float XResolution = 0, YResolution = 0;
    int32_t ImageWidth = 0, ImageLength = 0;
    int16_t BitsPerPixel = 0;
    int16_t Planar = 0;
    int16_t PixelType = 0;
    int16_t Compression = 0;
};

enum TScannerCap : uint8_t {
    scBrightness, scContrast, scGamma, scHighlight, scShadow, scThreshold, scResolution, scScaling,
    scAutoFeeder, scFrame,
};
using TScannerCaps = uint16_t;  // bit n set: member n supported
constexpr TScannerCaps CapBit(TScannerCap cap) { return TScannerCaps(1u << cap); }

enum class TScanUnitMode : uint8_t { umInch, umCm, umPica, umPoint, umTwips, umPixel };
enum class TScanPixelType : uint8_t {
    ptBlackWhite, ptGray, ptRGB, ptPalette, ptCMY, ptCMYK, ptYUV, ptYUVK, ptCIEXYZ,
};
enum class TScanPaperSize : uint8_t { psCustom, psA5, psA4, psA3, psB5, psB4, psLetter, psPostCard };

class TScanner;

// One adjustable setting of the source (brightness, resolution, ...). Min, Max, Step and
// Default come only from the defaults and from negotiation with the source.
class TScanRange {
public:
    TScanRange(TScanner& owner, TScannerCap member, uint16_t cap) : owner_(owner), member_(member), cap_(cap) {}
    bool Supported() const { return supported_; }
    float Min() const { return min_; }
    float Max() const { return max_; }
    float Step() const { return step_; }
    float Default() const { return default_; }
    float Value() const { return value_; }
    void SetValue(float value);
    void Reset();
    uint16_t Cap() const { return cap_; }
    void AssignTo(TScanRange& other) const;

private:
    friend class TScanner;
    void SetLimits(bool supported, float min, float max, float step, float def, float value);
    TScanner& owner_;
    TScannerCap member_;
    uint16_t cap_;
    bool supported_ = true;
    float min_ = 0, max_ = 0, step_ = 0, default_ = 0, value_ = 0, current_ = 0;
};

class TScanner {
public:
    // ownerWindow: the window disabled while a scan runs (may be nullptr).
    explicit TScanner(void* ownerWindow = nullptr);
    virtual ~TScanner();
    TScanner(const TScanner&) = delete;
    TScanner& operator=(const TScanner&) = delete;

    bool SelectSource();
    bool Acquire();

    // --- The connection
    bool Active() const { return active_; }
    void SetActive(bool value);
    TWAINState State() const { return state_; }
    uint16_t LastResult() const { return lastResult_; }

    const std::string& SourceName() const { return sourceName_; }
    void SetSourceName(const std::string& name) { sourceName_ = name; }
    const std::vector<std::string>& SourceNames();  // enumerated on the first read
    bool UseDefaultSource = false;
    bool UseCurrentValue = true;
    bool MultiTransfer = false;
    bool ShowUI = true;
    bool ShowIndicator = true;

    // The last page as a bitmap file ("BM" header, info header, palette, bits); empty
    // before the first scan.
    const std::vector<uint8_t>& Bitmap() const { return bitmap_; }
    void SetBitmap(std::vector<uint8_t> bitmapFile) { bitmap_ = std::move(bitmapFile); }

    // --- Capabilities
    TScannerCaps Caps() const { return caps_; }
    TScanUnitMode UnitMode() const { return unitMode_; }
    void SetUnitMode(TScanUnitMode mode);
    uint8_t UnitModes() const { return unitModes_; }
    TScanPixelType PixelType() const { return pixelType_; }
    void SetPixelType(TScanPixelType type);
    uint16_t PixelTypes() const { return pixelTypes_; }
    int32_t BitDepth() const { return bitDepth_; }
    void SetBitDepth(int32_t depth);
    TScanPaperSize PaperSize() const { return paperSize_; }
    void SetPaperSize(TScanPaperSize size);
    float FrameLeft() const { return FromTwips(frame_[0]); }
    float FrameTop() const { return FromTwips(frame_[1]); }
    float FrameWidth() const { return FromTwips(frame_[2]); }
    float FrameHeight() const { return FromTwips(frame_[3]); }
    void SetFrameLeft(float v) { SetFrameValue(0, v); }
    void SetFrameTop(float v) { SetFrameValue(1, v); }
    void SetFrameWidth(float v) { SetFrameValue(2, v); }
    void SetFrameHeight(float v) { SetFrameValue(3, v); }
    float MaxFrameWidth() const { return FromTwips(maxFrame_[0]); }
    float MaxFrameHeight() const { return FromTwips(maxFrame_[1]); }
    bool HasFeeder();
    bool FeederEnabled();
    void SetFeederEnabled(bool value);
    bool AutoFeedEnabled();
    void SetAutoFeedEnabled(bool value);
    bool AutoBright() const { return autoBright_; }
    void SetAutoBright(bool value);

    TScanRange Brightness{*this, scBrightness, 0x1101};
    TScanRange Contrast{*this, scContrast, 0x1103};
    TScanRange Gamma{*this, scGamma, 0x1108};
    TScanRange Highlight{*this, scHighlight, 0x110A};
    TScanRange Shadow{*this, scShadow, 0x1113};
    TScanRange Threshold{*this, scThreshold, 0x1123};
    TScanRange Resolution{*this, scResolution, 0x1118};
    TScanRange Scaling{*this, scScaling, 0x1124};

    // --- Events
    std::function<void(TScanner&, const TScanImageInfo&, bool& cancel)> OnBeforeScan;
    std::function<void(TScanner&, const std::vector<uint8_t>& bitmap, bool& cancel)> OnAfterScan;
    std::function<void(TScanner&)> OnActivate;
    std::function<void(TScanner&)> OnDeactivate;

    void AssignTo(TScanner& other) const;

    // The diagnostic name of a capability code.
    static std::string CapabilityName(uint16_t cap);

protected:
    virtual void DoActivate();
    virtual void DoDeactivate();
    virtual void DoBeforeScan(const TScanImageInfo& info, bool& cancel);
    virtual void DoAfterScan(const std::vector<uint8_t>& bitmap, bool& cancel);

private:
    friend class TScanRange;
    using TW_IDENTITY = platform::twain::TW_IDENTITY;

    // --- Triplets
    bool ManagerCall(uint32_t group, uint16_t dat, uint16_t msg, void* data);
    bool SourceCall(uint32_t group, uint16_t dat, uint16_t msg, void* data);
    void AfterSourceCall(uint32_t group, uint16_t dat, uint16_t msg, void* data);
    void TraceError(const std::string& message);
    uint16_t ConditionCode();

    // --- Climbing and descending the states
    bool LoadManager();
    bool OpenManager();
    bool OpenSource(const std::string& name);
    bool OpenDefaultSource();
    bool EnableSource();
    void EndTransfer();
    void ResetTransfers();
    void DisableSource();
    void CloseSource();
    void CloseManager();
    void UnloadManager();
    void CheckState(bool holds, const char* what);

    bool Scan();
    bool EnableAndWait();
    void Transfer();
    void NativeTransfer();
    void ClearImage();

    // --- Capabilities (ScannerCaps.cpp)
    bool SetCapOneValue(uint16_t cap, uint16_t itemType, double value);
    bool SetCapFix32(uint16_t cap, double value) { return SetCapOneValue(cap, 7, value); }
    bool SetCapBool(uint16_t cap, bool value) { return SetCapOneValue(cap, 6, value ? 1 : 0); }
    bool GetCapCurrent(uint16_t cap, uint16_t itemType, double& value);
    bool GetCapDefault(uint16_t cap, uint16_t itemType, double& value);
    bool GetCapValue(uint16_t msg, uint16_t cap, uint16_t itemType, double& value);
    bool GetCapRange(uint16_t cap, double& min, double& max, double& step, double& def, double& cur);
    bool GetCapEnumeration(uint16_t cap, uint16_t itemType, std::vector<double>& items);
    double GetCapFix32(uint16_t cap, double fallback);
    bool GetCapBool(uint16_t cap, bool fallback);
    bool FrameToSource(bool write);
    void NegotiateRange(TScanRange& range);
    void WriteRange(TScanRange& range);
    void SetDefaults();
    void ApplySettings(bool write);
    void ReadPhysicalSize();
    void ProbeCapabilities();
    void SetFrameValue(int index, float value);
    float FromTwips(double twips) const;
    double ToTwips(float value) const;
    double TwipsPerUnit() const;

    void* window_;
    std::unique_ptr<platform::twain::SourceManager> manager_;
    TW_IDENTITY appId_{};
    TW_IDENTITY sourceId_{};
    TWAINState state_ = TWAINState::tsPRESESSION;
    uint16_t lastResult_ = 1;
    uint32_t blocks_ = 0;
    void* image_ = nullptr;  // handle of the last native image
    bool stop_ = false;
    bool cancel_ = false;
    bool active_ = false;

    std::string sourceName_;
    std::vector<std::string> sourceNames_;
    std::vector<uint8_t> bitmap_;

    TScannerCaps caps_ = 0;
    TScanUnitMode unitMode_ = TScanUnitMode::umInch;
    uint8_t unitModes_ = 0x23;
    TScanPixelType pixelType_ = TScanPixelType::ptRGB;
    uint16_t pixelTypes_ = 0x0F;
    int32_t bitDepth_ = 24;
    TScanPaperSize paperSize_ = TScanPaperSize::psA4;
    std::array<double, 4> frame_{};  // left, top, width, height in twips
    std::array<double, 2> maxFrame_{};
    bool feederEnabled_ = false;
    bool autoFeedEnabled_ = false;
    bool autoBright_ = false;
};

// Fit rule of a picture drawn into a rectangle: the drawn size keeps the aspect ratio;
// offsets centre it when asked.
struct TFitRect {
    int32_t left = 0, top = 0, width = 0, height = 0;
};
TFitRect StretchToRect(int32_t rectWidth, int32_t rectHeight, int32_t bitmapWidth,
                       int32_t bitmapHeight, bool centre);

// A packed bitmap (info header, palette, bits) as a bitmap file: the file header added,
// 15-bit pictures written as 16-bit, a zero image size computed.
std::vector<uint8_t> PackedDibToBitmapFile(const uint8_t* dib, size_t size);

}  // namespace kura::imaging

#include "imaging/Scanner.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/twain/GlobalMemory.h"

namespace kura::imaging {

using namespace platform::twain;

const char* const SScannerNoManager = "スキャナーのライブラリ SANE (libsane) をロードできません";
const char* const SScannerNoSource = "TWAINデバイスがインストールされていません";
const char* const SScannerNotWorking = "TWAINデバイスが動作しません";

namespace {

// Product names of the sources open in this process, shared by every scanner.
std::vector<std::string>& SourcesInUse() {
    static std::vector<std::string> names;
    return names;
}

bool InUse(const std::string& name) {
    const auto& names = SourcesInUse();
    return std::find(names.begin(), names.end(), name) != names.end();
}

void ReleaseInUse(const std::string& name) {
    auto& names = SourcesInUse();
    auto it = std::find(names.begin(), names.end(), name);
    if (it != names.end()) names.erase(it);
}

const char* const ReturnCodeNames[] = {
    "TWRC_SUCCESS", "TWRC_FAILURE", "TWRC_CHECKSTATUS", "TWRC_CANCEL", "TWRC_DSEVENT",
    "TWRC_NOTDSEVENT", "TWRC_XFERDONE", "TWRC_ENDOFLIST", "TWRC_INFONOTSUPPORTED",
    "TWRC_DATANOTAVAILABLE"};
const char* const ConditionCodeNames[] = {
    "TWCC_SUCCESS", "TWCC_BUMMER", "TWCC_LOWMEMORY", "TWCC_NODS", "TWCC_MAXCONNECTIONS",
    "TWCC_OPERATIONERROR", "TWCC_BADCAP", "TWCC_7", "TWCC_8", "TWCC_BADPROTOCOL",
    "TWCC_BADVALUE", "TWCC_SEQERROR", "TWCC_BADDEST", "TWCC_CAPUNSUPPORTED",
    "TWCC_CAPBADOPERATION", "TWCC_CAPSEQERROR"};

template <size_t N>
std::string NameOf(const char* const (&names)[N], uint16_t code) {
    return code < N ? names[code] : "Unknow (" + std::to_string(code) + ")";
}

bool AtLeast(TWAINState state, TWAINState floor) { return uint8_t(state) >= uint8_t(floor); }

}  // namespace

const char* StateName(TWAINState state) {
    static const char* const names[] = {"tsPRESESSION", "tsSM_LOADED", "tsSM_OPEN", "tsSOURCE_OPEN",
                                        "tsSOURCE_ENABLED", "tsTRANSFER_READY", "tsTRANSFERRING"};
    return names[uint8_t(state)];
}

TScanner::TScanner(void* ownerWindow) : window_(ownerWindow) {
    appId_.Version.MajorNum = 1;
    appId_.Version.MinorNum = 0;
    appId_.Version.Language = 68;
    appId_.Version.Country = 81;
    SetStr32(appId_.Version.Info, "Unknow Version");
    appId_.ProtocolMajor = 1;
    appId_.ProtocolMinor = 8;
    appId_.SupportedGroups = 3;
    SetStr32(appId_.Manufacturer, "Quorvan");
    SetStr32(appId_.ProductFamily, "TScanner Application");
    SetStr32(appId_.ProductName, "Unknow Product");
    SetDefaults();
}

TScanner::~TScanner() {
    try {
        UnloadManager();
    } catch (...) {
        // A destructor must not throw; the connection is gone either way.
    }
}

// ---------------------------------------------------------------- triplets

void TScanner::TraceError(const std::string& message) {
    OutputDebugString(message + "\r\n ResultCode=" + NameOf(ReturnCodeNames, lastResult_) +
                      "\r\n ConditaionCode=" + NameOf(ConditionCodeNames, ConditionCode()));
}

uint16_t TScanner::ConditionCode() {
    if (!manager_) return TWCC_SUCCESS;
    TW_STATUS status;
    const bool ofSource = AtLeast(state_, TWAINState::tsSOURCE_OPEN);
    manager_->Entry(&appId_, ofSource ? &sourceId_ : nullptr, DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
}

bool TScanner::ManagerCall(uint32_t group, uint16_t dat, uint16_t msg, void* data) {
    if (!manager_) {
        lastResult_ = TWRC_FAILURE;
        return false;
    }
    lastResult_ = manager_->Entry(&appId_, nullptr, group, dat, msg, data);
    if (lastResult_ != TWRC_SUCCESS) return false;
    if (dat == DAT_PARENT && msg == MSG_OPENDSM) state_ = TWAINState::tsSM_OPEN;
    if (dat == DAT_PARENT && msg == MSG_CLOSEDSM) state_ = TWAINState::tsSM_LOADED;
    if (dat == DAT_IDENTITY && msg == MSG_OPENDS) {
        sourceId_ = *static_cast<TW_IDENTITY*>(data);
        SourcesInUse().push_back(GetStr32(sourceId_.ProductName));
        state_ = TWAINState::tsSOURCE_OPEN;
    }
    if (dat == DAT_IDENTITY && msg == MSG_CLOSEDS) {
        ReleaseInUse(GetStr32(sourceId_.ProductName));
        state_ = TWAINState::tsSM_OPEN;
    }
    return true;
}

bool TScanner::SourceCall(uint32_t group, uint16_t dat, uint16_t msg, void* data) {
    if (!manager_ || !AtLeast(state_, TWAINState::tsSOURCE_OPEN)) {
        lastResult_ = TWRC_FAILURE;
        OutputDebugString("Data Source not open");
        return false;
    }
    lastResult_ = manager_->Entry(&appId_, &sourceId_, group, dat, msg, data);
    AfterSourceCall(group, dat, msg, data);
    return lastResult_ == TWRC_SUCCESS;
}

void TScanner::CheckState(bool holds, const char* what) {
    if (!holds)
        throw std::logic_error(std::string(what) + " (State=" + StateName(state_) + ")");
}

void TScanner::AfterSourceCall(uint32_t group, uint16_t dat, uint16_t msg, void* data) {
    const uint16_t rc = lastResult_;
    if (group == DG_IMAGE) {
        if (msg != MSG_GET) return;
        if (dat == DAT_IMAGENATIVEXFER || dat == DAT_IMAGEFILEXFER)
            state_ = rc == TWRC_XFERDONE || rc == TWRC_CANCEL ? TWAINState::tsTRANSFERRING
                                                              : TWAINState::tsTRANSFER_READY;
        if (dat == DAT_IMAGEMEMXFER) {
            if (rc == TWRC_SUCCESS || rc == TWRC_XFERDONE) {
                ++blocks_;
                state_ = TWAINState::tsTRANSFERRING;
            } else if (rc == TWRC_FAILURE) {
                state_ = blocks_ ? TWAINState::tsTRANSFERRING : TWAINState::tsTRANSFER_READY;
            } else if (rc == TWRC_CANCEL) {
                stop_ = true;
            }
        }
        return;
    }
    if (dat == DAT_EVENT && msg == MSG_PROCESSEVENT) {
        if (static_cast<TW_EVENT*>(data)->TWMessage == MSG_XFERREADY)
            state_ = TWAINState::tsTRANSFER_READY;
        return;
    }
    if (dat == DAT_USERINTERFACE && msg == MSG_ENABLEDS && rc != TWRC_FAILURE) {
        state_ = TWAINState::tsSOURCE_ENABLED;
        return;
    }
    if (rc != TWRC_SUCCESS) return;
    if (dat == DAT_PENDINGXFERS && msg == MSG_ENDXFER)
        state_ = static_cast<TW_PENDINGXFERS*>(data)->Count != 0 ? TWAINState::tsTRANSFER_READY
                                                                 : TWAINState::tsSOURCE_ENABLED;
    else if (dat == DAT_PENDINGXFERS && msg == MSG_RESET)
        state_ = TWAINState::tsSOURCE_ENABLED;
    else if (dat == DAT_SETUPMEMXFER && msg == MSG_GET)
        blocks_ = 0;
    else if (dat == DAT_USERINTERFACE && msg == MSG_DISABLEDS)
        state_ = TWAINState::tsSOURCE_OPEN;
}

// ---------------------------------------------------------------- states up

bool TScanner::LoadManager() {
    if (state_ == TWAINState::tsPRESESSION) {
        manager_ = LoadSourceManager();
        if (manager_) state_ = TWAINState::tsSM_LOADED;
    }
    return AtLeast(state_, TWAINState::tsSM_LOADED);
}

bool TScanner::OpenManager() {
    if (!LoadManager()) return false;
    if (state_ == TWAINState::tsSM_LOADED) {
        void* parent = window_;
        ManagerCall(DG_CONTROL, DAT_PARENT, MSG_OPENDSM, &parent);
    }
    return AtLeast(state_, TWAINState::tsSM_OPEN);
}

bool TScanner::OpenSource(const std::string& name) {
    if (!OpenManager()) return false;
    if (state_ != TWAINState::tsSM_OPEN) return AtLeast(state_, TWAINState::tsSOURCE_OPEN);
    if (InUse(name)) OutputDebugString("TWAIN Source " + name + " is alreay used");
    TW_IDENTITY id{};
    SetStr32(id.ProductName, name);
    return ManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &id);
}

bool TScanner::OpenDefaultSource() {
    if (!OpenManager()) return false;
    if (state_ != TWAINState::tsSM_OPEN) return AtLeast(state_, TWAINState::tsSOURCE_OPEN);
    const std::vector<std::string> before = SourcesInUse();
    TW_IDENTITY id{};
    if (!ManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_OPENDS, &id)) return false;
    const std::string name = GetStr32(sourceId_.ProductName);
    if (std::find(before.begin(), before.end(), name) != before.end()) {
        ManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &sourceId_);
        OutputDebugString("TWAIN Source " + name + " is already used");
        return false;
    }
    return true;
}

bool TScanner::EnableSource() {
    if (state_ != TWAINState::tsSOURCE_OPEN) return AtLeast(state_, TWAINState::tsSOURCE_ENABLED);
    TW_USERINTERFACE ui;
    ui.ShowUI = ShowUI ? 0xFFFF : 0;
    ui.ModalUI = 0;
    ui.hParent = window_;
    SourceCall(DG_CONTROL, DAT_USERINTERFACE, MSG_ENABLEDS, &ui);
    return state_ == TWAINState::tsSOURCE_ENABLED;
}

// ---------------------------------------------------------------- states down

void TScanner::EndTransfer() {
    if (state_ == TWAINState::tsTRANSFERRING) {
        TW_PENDINGXFERS pending;
        SourceCall(DG_CONTROL, DAT_PENDINGXFERS, MSG_ENDXFER, &pending);
    }
}

void TScanner::ResetTransfers() {
    EndTransfer();
    if (state_ == TWAINState::tsTRANSFER_READY) {
        TW_PENDINGXFERS pending;
        SourceCall(DG_CONTROL, DAT_PENDINGXFERS, MSG_RESET, &pending);
    }
    CurrentHost().ProcessEvents();
}

void TScanner::DisableSource() {
    ResetTransfers();
    if (AtLeast(state_, TWAINState::tsSOURCE_ENABLED)) {
        TW_USERINTERFACE ui;
        ui.hParent = window_;
        SourceCall(DG_CONTROL, DAT_USERINTERFACE, MSG_DISABLEDS, &ui);
    }
    CurrentHost().ProcessEvents();
}

void TScanner::CloseSource() {
    DisableSource();
    if (state_ == TWAINState::tsSOURCE_OPEN) ManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_CLOSEDS, &sourceId_);
}

void TScanner::CloseManager() {
    CurrentHost().ProcessEvents();
    CloseSource();
    if (state_ == TWAINState::tsSM_OPEN) {
        void* parent = window_;
        ManagerCall(DG_CONTROL, DAT_PARENT, MSG_CLOSEDSM, &parent);
    }
}

void TScanner::UnloadManager() {
    CloseManager();
    if (state_ == TWAINState::tsSM_LOADED) {
        manager_.reset();
        state_ = TWAINState::tsPRESESSION;
    }
}

// ---------------------------------------------------------------- sources

const std::vector<std::string>& TScanner::SourceNames() {
    if (!sourceNames_.empty()) return sourceNames_;
    const TWAINState before = state_;
    if (!OpenManager()) return sourceNames_;
    TW_IDENTITY id{};
    for (uint16_t msg = MSG_GETFIRST; ManagerCall(DG_CONTROL, DAT_IDENTITY, msg, &id); msg = MSG_GETNEXT)
        sourceNames_.push_back(GetStr32(id.ProductName));
    if (before == TWAINState::tsPRESESSION) UnloadManager();
    else if (before == TWAINState::tsSM_LOADED) CloseManager();
    if (state_ != before)
        OutputDebugString("State missmatch Old=" + std::to_string(int(before)) +
                          ", Now=" + std::to_string(int(state_)));
    return sourceNames_;
}

bool TScanner::SelectSource() {
    const bool wasActive = active_;
    if (!wasActive) {
        if (!LoadManager()) throw EScannerFaital(SScannerNoManager);
        if (SourceNames().empty()) {
            UnloadManager();
            throw EScannerFaital(SScannerNoSource);
        }
    }
    bool chosen = false;
    if (OpenManager()) {
        TW_IDENTITY id{};
        chosen = ManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &id);
    }
    if (!wasActive) UnloadManager();
    return chosen;
}

void TScanner::SetActive(bool value) {
    if (value == active_) return;
    if (!value) {
        UnloadManager();
        active_ = false;
        DoDeactivate();
        sourceName_.clear();
        return;
    }
    if (!LoadManager()) throw EScannerFaital(SScannerNoManager);
    if (SourceNames().empty()) {
        UnloadManager();
        throw EScannerFaital(SScannerNoSource);
    }
    bool opened;
    if (!sourceName_.empty()) {
        opened = OpenSource(sourceName_);
    } else {
        if (!UseDefaultSource && sourceNames_.size() > 1) {
            TW_IDENTITY id{};
            if (!OpenManager() || !ManagerCall(DG_CONTROL, DAT_IDENTITY, MSG_USERSELECT, &id)) {
                UnloadManager();
                sourceName_.clear();
                return;
            }
        }
        opened = OpenDefaultSource();
    }
    if (!opened) {
        UnloadManager();
        sourceName_.clear();
        throw EScannerFaital(SScannerNotWorking);
    }
    ReadPhysicalSize();
    sourceName_ = GetStr32(sourceId_.ProductName);
    ProbeCapabilities();
    active_ = true;
    ApplySettings(!UseCurrentValue);
    SetFeederEnabled(feederEnabled_);
    SetAutoFeedEnabled(autoFeedEnabled_);
    DoActivate();
}

// ---------------------------------------------------------------- scanning

bool TScanner::Acquire() {
    const bool wasActive = active_;
    bool result = false;
    try {
        if (!wasActive) {
            try {
                SetActive(true);
            } catch (const EScanner&) {
                throw;
            } catch (...) {
                return false;
            }
            if (!active_) return false;
        }
        ApplySettings(true);
        result = Scan();
    } catch (...) {
        if (!wasActive) SetActive(false);
        throw;
    }
    if (!wasActive) SetActive(false);
    return result;
}

void TScanner::ClearImage() { image_ = nullptr; }

bool TScanner::Scan() {
    const TWAINState remembered = state_;
    if (!AtLeast(state_, TWAINState::tsSOURCE_OPEN)) {
        if (!OpenManager()) OutputDebugString("Unable to open Source Manager (SANE)");
        else if (!OpenDefaultSource()) OutputDebugString("Unable to open default Data Source");
    }
    if (AtLeast(state_, TWAINState::tsSOURCE_OPEN) && !SetCapOneValue(ICAP_XFERMECH, TWTY_UINT16, TWSX_NATIVE)) {
        UnloadManager();
        TraceError("Error setting Native Transfer mode");
        return false;
    }
    cancel_ = false;
    bool result = false;
    do {
        if (!AtLeast(state_, TWAINState::tsSOURCE_OPEN)) break;
        ClearImage();
        // A batch that delivered pages succeeded, even though its last pass (the one that
        // finds the feeder empty) delivers none.
        if (EnableAndWait()) result = true;
    } while (MultiTransfer && !cancel_);
    ResetTransfers();
    DisableSource();
    if (!AtLeast(remembered, TWAINState::tsSM_OPEN)) CloseManager();
    if (remembered == TWAINState::tsPRESESSION) UnloadManager();
    return result;
}

bool TScanner::EnableAndWait() {
    Host& host = CurrentHost();
    const bool hasWindow = window_ && host.IsWindow(window_);
    const bool wasEnabled = hasWindow && host.DisableWindow(window_);
    if (state_ == TWAINState::tsTRANSFER_READY) {
        Transfer();
    } else {
        if (state_ == TWAINState::tsSOURCE_OPEN && !EnableSource()) TraceError("Failed to enable Data Source");
        while (AtLeast(state_, TWAINState::tsSOURCE_ENABLED) && !stop_) {
            host.ProcessEvents();
            TW_EVENT event;
            SourceCall(DG_CONTROL, DAT_EVENT, MSG_PROCESSEVENT, &event);
            if (event.TWMessage == MSG_XFERREADY) Transfer();
            else if (event.TWMessage == MSG_CLOSEDSREQ) CloseSource();
        }
        stop_ = false;
    }
    if (wasEnabled) host.EnableWindow(window_);
    return image_ != nullptr;
}

void TScanner::Transfer() {
    NativeTransfer();
    stop_ = true;
    EndTransfer();
    CheckState(state_ == TWAINState::tsTRANSFER_READY || state_ == TWAINState::tsSOURCE_ENABLED,
               "State=tsTRANSFER_READY or State=tsSource_ENABLED");
}

void TScanner::NativeTransfer() {
    if (state_ != TWAINState::tsTRANSFER_READY) {
        image_ = nullptr;
        return;
    }
    TW_IMAGEINFO twInfo;
    if (SourceCall(DG_IMAGE, DAT_IMAGEINFO, MSG_GET, &twInfo)) {
        TScanImageInfo info;
        info.XResolution = float(FromFix32(twInfo.XResolution));
        info.YResolution = float(FromFix32(twInfo.YResolution));
        info.ImageWidth = twInfo.ImageWidth;
        info.ImageLength = twInfo.ImageLength;
        info.BitsPerPixel = twInfo.BitsPerPixel;
        info.Planar = int16_t(twInfo.Planar);
        info.PixelType = twInfo.PixelType;
        info.Compression = int16_t(twInfo.Compression);
        DoBeforeScan(info, cancel_);
    }
    if (cancel_) return;
    TW_HANDLE handle = nullptr;
    SourceCall(DG_IMAGE, DAT_IMAGENATIVEXFER, MSG_GET, &handle);
    if (lastResult_ != TWRC_XFERDONE || !handle) {
        TraceError("Native transfer failed");
        cancel_ = true;
        return;
    }
    const auto* dib = static_cast<const uint8_t*>(platform::GlobalLock(handle));
    std::vector<uint8_t> file = dib ? PackedDibToBitmapFile(dib, platform::GlobalSize(handle))
                                    : std::vector<uint8_t>{};
    platform::GlobalUnlock(handle);
    if (platform::GlobalFree(handle) != nullptr) throw std::logic_error("GlobalFree failed");
    if (file.empty()) {
        OutputDebugString("The scanned picture is malformed");
        cancel_ = true;
        return;
    }
    image_ = handle;
    bitmap_ = std::move(file);
    DoAfterScan(bitmap_, cancel_);
}

// ---------------------------------------------------------------- events

void TScanner::DoActivate() {
    if (OnActivate) OnActivate(*this);
}
void TScanner::DoDeactivate() {
    if (OnDeactivate) OnDeactivate(*this);
}
void TScanner::DoBeforeScan(const TScanImageInfo& info, bool& cancel) {
    if (OnBeforeScan) OnBeforeScan(*this, info, cancel);
}
void TScanner::DoAfterScan(const std::vector<uint8_t>& bitmap, bool& cancel) {
    if (OnAfterScan) OnAfterScan(*this, bitmap, cancel);
}

// ---------------------------------------------------------------- pictures

TFitRect StretchToRect(int32_t rectWidth, int32_t rectHeight, int32_t bitmapWidth,
                       int32_t bitmapHeight, bool centre) {
    TFitRect fit;
    if (bitmapWidth <= 0 || bitmapHeight <= 0) return fit;
    const double scale = std::min(double(rectWidth) / bitmapWidth, double(rectHeight) / bitmapHeight);
    fit.width = int32_t(std::nearbyint(bitmapWidth * scale));
    fit.height = int32_t(std::nearbyint(bitmapHeight * scale));
    if (centre) {
        fit.left = (rectWidth - fit.width) / 2;
        fit.top = (rectHeight - fit.height) / 2;
    }
    return fit;
}

std::vector<uint8_t> PackedDibToBitmapFile(const uint8_t* dib, size_t size) {
    const auto u16 = [&](size_t at) { return uint16_t(dib[at] | dib[at + 1] << 8); };
    const auto u32 = [&](size_t at) { return uint32_t(u16(at)) | uint32_t(u16(at + 2)) << 16; };
    if (size < 12) return {};
    const uint32_t headerSize = u32(0);
    const bool core = headerSize == 12;
    if (!core && (headerSize < 40 || headerSize > size)) return {};
    const int64_t width = core ? u16(4) : int32_t(u32(4));
    const int64_t height = core ? u16(6) : int32_t(u32(8));
    const int bits = core ? u16(10) : u16(12) * u16(14);
    uint32_t entries = 0;
    switch (bits) {
        case 1: entries = 2; break;
        case 2:
        case 4: entries = 16; break;
        case 8: entries = 256; break;
        default: break;
    }
    if (width <= 0 || height == 0) return {};
    const uint64_t entrySize = core ? 3 : 4;
    const uint64_t headerAndPalette = headerSize + entrySize * entries;
    uint64_t imageSize = core ? 0 : u32(20);
    const uint64_t stride = (uint64_t(width) * uint64_t(bits == 15 ? 16 : bits) + 31) / 32 * 4;
    if (imageSize == 0) imageSize = uint64_t(std::llabs(height)) * stride;
    // The packed block must hold what its header announces.
    if (headerAndPalette + imageSize > size) return {};

    std::vector<uint8_t> file(14 + headerAndPalette + imageSize);
    const uint64_t fileSize = file.size();
    file[0] = 'B';
    file[1] = 'M';
    for (int i = 0; i < 4; ++i) file[2 + i] = uint8_t(fileSize >> (8 * i));
    for (int i = 0; i < 4; ++i) file[10 + i] = uint8_t((14 + headerAndPalette) >> (8 * i));
    std::memcpy(file.data() + 14, dib, headerAndPalette + imageSize);
    uint8_t* header = file.data() + 14;
    if (!core) {
        if (bits == 15) header[14] = 16, header[15] = 0;
        if (bits == 24) std::memset(header + 32, 0, 4);
        if (u32(20) == 0)
            for (int i = 0; i < 4; ++i) header[20 + i] = uint8_t(imageSize >> (8 * i));
    }
    return file;
}

}  // namespace kura::imaging

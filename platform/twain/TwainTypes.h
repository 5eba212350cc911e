#pragma once
// The records and codes of the scanner source-manager protocol (version 1.8) that the
// scanner component speaks. Both ends of the protocol are ours (the component in
// imaging/ and the SANE-backed manager beside this file), so the records are plain C++
// structs with the protocol's field widths; nothing is written to disk or a socket.
#include <cstdint>
#include <cstring>
#include <string>

namespace platform::twain {

using TW_HANDLE = void*;

// --- Return codes (TWRC_*) and condition codes (TWCC_*)
inline constexpr uint16_t TWRC_SUCCESS = 0;
inline constexpr uint16_t TWRC_FAILURE = 1;
inline constexpr uint16_t TWRC_CHECKSTATUS = 2;
inline constexpr uint16_t TWRC_CANCEL = 3;
inline constexpr uint16_t TWRC_DSEVENT = 4;
inline constexpr uint16_t TWRC_NOTDSEVENT = 5;
inline constexpr uint16_t TWRC_XFERDONE = 6;
inline constexpr uint16_t TWRC_ENDOFLIST = 7;
inline constexpr uint16_t TWRC_INFONOTSUPPORTED = 8;
inline constexpr uint16_t TWRC_DATANOTAVAILABLE = 9;
inline constexpr uint16_t TWCC_SUCCESS = 0;
inline constexpr uint16_t TWCC_BUMMER = 1;
inline constexpr uint16_t TWCC_LOWMEMORY = 2;
inline constexpr uint16_t TWCC_NODS = 3;
inline constexpr uint16_t TWCC_MAXCONNECTIONS = 4;
inline constexpr uint16_t TWCC_OPERATIONERROR = 5;
inline constexpr uint16_t TWCC_BADCAP = 6;
inline constexpr uint16_t TWCC_BADPROTOCOL = 9;
inline constexpr uint16_t TWCC_BADVALUE = 10;
inline constexpr uint16_t TWCC_SEQERROR = 11;
inline constexpr uint16_t TWCC_BADDEST = 12;
inline constexpr uint16_t TWCC_CAPUNSUPPORTED = 13;
inline constexpr uint16_t TWCC_CAPBADOPERATION = 14;
inline constexpr uint16_t TWCC_CAPSEQERROR = 15;

// --- Data groups, data argument types and messages
inline constexpr uint32_t DG_CONTROL = 1;
inline constexpr uint32_t DG_IMAGE = 2;
inline constexpr uint16_t DAT_CAPABILITY = 1;
inline constexpr uint16_t DAT_EVENT = 2;
inline constexpr uint16_t DAT_IDENTITY = 3;
inline constexpr uint16_t DAT_PARENT = 4;
inline constexpr uint16_t DAT_PENDINGXFERS = 5;
inline constexpr uint16_t DAT_SETUPMEMXFER = 6;
inline constexpr uint16_t DAT_SETUPFILEXFER = 7;
inline constexpr uint16_t DAT_STATUS = 8;
inline constexpr uint16_t DAT_USERINTERFACE = 9;
inline constexpr uint16_t DAT_IMAGEINFO = 0x0101;
inline constexpr uint16_t DAT_IMAGELAYOUT = 0x0102;
inline constexpr uint16_t DAT_IMAGEMEMXFER = 0x0103;
inline constexpr uint16_t DAT_IMAGENATIVEXFER = 0x0104;
inline constexpr uint16_t DAT_IMAGEFILEXFER = 0x0105;
inline constexpr uint16_t MSG_NULL = 0;
inline constexpr uint16_t MSG_GET = 1;
inline constexpr uint16_t MSG_GETCURRENT = 2;
inline constexpr uint16_t MSG_GETDEFAULT = 3;
inline constexpr uint16_t MSG_GETFIRST = 4;
inline constexpr uint16_t MSG_GETNEXT = 5;
inline constexpr uint16_t MSG_SET = 6;
inline constexpr uint16_t MSG_RESET = 7;
inline constexpr uint16_t MSG_QUERYSUPPORT = 8;
inline constexpr uint16_t MSG_XFERREADY = 0x0101;
inline constexpr uint16_t MSG_CLOSEDSREQ = 0x0102;
inline constexpr uint16_t MSG_CLOSEDSOK = 0x0103;
inline constexpr uint16_t MSG_OPENDSM = 0x0301;
inline constexpr uint16_t MSG_CLOSEDSM = 0x0302;
inline constexpr uint16_t MSG_OPENDS = 0x0401;
inline constexpr uint16_t MSG_CLOSEDS = 0x0402;
inline constexpr uint16_t MSG_USERSELECT = 0x0403;
inline constexpr uint16_t MSG_DISABLEDS = 0x0501;
inline constexpr uint16_t MSG_ENABLEDS = 0x0502;
inline constexpr uint16_t MSG_ENABLEDSUIONLY = 0x0503;
inline constexpr uint16_t MSG_PROCESSEVENT = 0x0601;
inline constexpr uint16_t MSG_ENDXFER = 0x0701;
inline constexpr uint16_t MSG_STOPFEEDER = 0x0702;

// --- Container types and item types
inline constexpr uint16_t TWON_ARRAY = 3;
inline constexpr uint16_t TWON_ENUMERATION = 4;
inline constexpr uint16_t TWON_ONEVALUE = 5;
inline constexpr uint16_t TWON_RANGE = 6;
inline constexpr uint16_t TWTY_INT8 = 0;
inline constexpr uint16_t TWTY_INT16 = 1;
inline constexpr uint16_t TWTY_INT32 = 2;
inline constexpr uint16_t TWTY_UINT8 = 3;
inline constexpr uint16_t TWTY_UINT16 = 4;
inline constexpr uint16_t TWTY_UINT32 = 5;
inline constexpr uint16_t TWTY_BOOL = 6;
inline constexpr uint16_t TWTY_FIX32 = 7;
inline constexpr uint16_t TWTY_FRAME = 8;
inline constexpr uint16_t TWTY_STR32 = 9;
inline constexpr uint16_t TWTY_STR64 = 10;
inline constexpr uint16_t TWTY_STR128 = 11;
inline constexpr uint16_t TWTY_STR255 = 12;
// Size in bytes of one item of each item type, by type code.
int ItemSize(uint16_t itemType);

// --- Capabilities the component and the manager use
inline constexpr uint16_t CAP_XFERCOUNT = 0x0001;
inline constexpr uint16_t ICAP_COMPRESSION = 0x0100;
inline constexpr uint16_t ICAP_PIXELTYPE = 0x0101;
inline constexpr uint16_t ICAP_UNITS = 0x0102;
inline constexpr uint16_t ICAP_XFERMECH = 0x0103;
inline constexpr uint16_t CAP_FEEDERENABLED = 0x1002;
inline constexpr uint16_t CAP_FEEDERLOADED = 0x1003;
inline constexpr uint16_t CAP_AUTOFEED = 0x1007;
inline constexpr uint16_t CAP_INDICATORS = 0x100B;
inline constexpr uint16_t ICAP_AUTOBRIGHT = 0x1100;
inline constexpr uint16_t ICAP_BRIGHTNESS = 0x1101;
inline constexpr uint16_t ICAP_CONTRAST = 0x1103;
inline constexpr uint16_t ICAP_GAMMA = 0x1108;
inline constexpr uint16_t ICAP_HIGHLIGHT = 0x110A;
inline constexpr uint16_t ICAP_PHYSICALWIDTH = 0x1111;
inline constexpr uint16_t ICAP_PHYSICALHEIGHT = 0x1112;
inline constexpr uint16_t ICAP_SHADOW = 0x1113;
inline constexpr uint16_t ICAP_XRESOLUTION = 0x1118;
inline constexpr uint16_t ICAP_YRESOLUTION = 0x1119;
inline constexpr uint16_t ICAP_SUPPORTEDSIZES = 0x1122;
inline constexpr uint16_t ICAP_THRESHOLD = 0x1123;
inline constexpr uint16_t ICAP_XSCALING = 0x1124;
inline constexpr uint16_t ICAP_YSCALING = 0x1125;
inline constexpr uint16_t ICAP_BITDEPTH = 0x112B;
inline constexpr uint16_t TWSX_NATIVE = 0;
inline constexpr uint16_t TWSX_FILE = 1;
inline constexpr uint16_t TWSX_MEMORY = 2;
inline constexpr uint16_t TWUN_INCHES = 0;
inline constexpr uint16_t TWUN_CENTIMETERS = 1;
inline constexpr uint16_t TWUN_PICAS = 2;
inline constexpr uint16_t TWUN_POINTS = 3;
inline constexpr uint16_t TWUN_TWIPS = 4;
inline constexpr uint16_t TWUN_PIXELS = 5;
inline constexpr uint16_t TWPT_BW = 0;
inline constexpr uint16_t TWPT_GRAY = 1;
inline constexpr uint16_t TWPT_RGB = 2;
inline constexpr uint16_t TWPT_PALETTE = 3;

// --- Records
struct TW_FIX32 {
    int16_t Whole = 0;
    uint16_t Frac = 0;
};

struct TW_VERSION {
    uint16_t MajorNum = 0, MinorNum = 0, Language = 0, Country = 0;
    char Info[34] = {};
};

struct TW_IDENTITY {
    uint32_t Id = 0;
    TW_VERSION Version;
    uint16_t ProtocolMajor = 0, ProtocolMinor = 0;
    uint32_t SupportedGroups = 0;
    char Manufacturer[34] = {};
    char ProductFamily[34] = {};
    char ProductName[34] = {};
};

// Copies text into a 34-byte protocol string field: at most 33 bytes and a zero, the rest
// zero-filled. Reading takes the bytes up to the first zero.
void SetStr32(char (&field)[34], const std::string& text);
std::string GetStr32(const char (&field)[34]);

struct TW_CAPABILITY {
    uint16_t Cap = 0;
    uint16_t ConType = 0;
    TW_HANDLE hContainer = nullptr;
};

// Container layouts inside a global memory block, item values following the header.
// ONEVALUE: ItemType u16, Item (4 bytes or the item's size when larger).
// ENUMERATION: ItemType u16, NumItems u32, CurrentIndex u32, DefaultIndex u32, items.
// RANGE: ItemType u16, MinValue, MaxValue, StepSize, DefaultValue, CurrentValue (u32 each).
// ARRAY: ItemType u16, NumItems u32, items.
// The helpers read and write these layouts byte by byte (the block may be unaligned).
namespace container {
inline void Put16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline void Put32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint16_t Get16(const uint8_t* p) { uint16_t v; std::memcpy(&v, p, 2); return v; }
inline uint32_t Get32(const uint8_t* p) { uint32_t v; std::memcpy(&v, p, 4); return v; }
constexpr int OneValueItem = 2;
constexpr int EnumNumItems = 2, EnumCurrentIndex = 6, EnumDefaultIndex = 10, EnumItems = 14;
constexpr int RangeMin = 2, RangeMax = 6, RangeStep = 10, RangeDefault = 14, RangeCurrent = 18;
constexpr int RangeSize = 22;
}  // namespace container

struct TW_USERINTERFACE {
    uint16_t ShowUI = 0;
    uint16_t ModalUI = 0;
    void* hParent = nullptr;
};

struct TW_PENDINGXFERS {
    uint16_t Count = 0;
    uint32_t EOJ = 0;
};

struct TW_STATUS {
    uint16_t ConditionCode = 0;
    uint16_t Reserved = 0;
};

// An event offered to the source; the source answers in TWMessage (MSG_XFERREADY,
// MSG_CLOSEDSREQ or MSG_NULL).
struct TW_EVENT {
    void* pEvent = nullptr;
    uint16_t TWMessage = MSG_NULL;
};

struct TW_IMAGEINFO {
    TW_FIX32 XResolution, YResolution;
    int32_t ImageWidth = 0, ImageLength = 0;  // ImageLength -1: not known before the transfer
    int16_t SamplesPerPixel = 0;
    int16_t BitsPerSample[8] = {};
    int16_t BitsPerPixel = 0;
    uint16_t Planar = 0;
    int16_t PixelType = 0;
    uint16_t Compression = 0;
};

struct TW_FRAME {
    TW_FIX32 Left, Top, Right, Bottom;
};

struct TW_IMAGELAYOUT {
    TW_FRAME Frame;
    uint32_t DocumentNumber = 0, PageNumber = 0, FrameNumber = 0;
};

// Fixed point: to fixed with n := trunc(value × 65536 + 0.5); from fixed rounded to four
// decimals.
TW_FIX32 ToFix32(double value);
double FromFix32(TW_FIX32 value);

}  // namespace platform::twain

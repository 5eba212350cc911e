#pragma once
// Engine error codes, the process-wide error context and the one raise path.
// Every engine failure is a 16-bit code; the places that must stop raise it with
// RaiseEngineError, which stores the context and throws EKuraEngineError.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/dataset/DatabaseError.h"

namespace kura {

using TEngineErrorCode = uint16_t;

// clang-format off
constexpr TEngineErrorCode KURA_NONE = 0;
constexpr TEngineErrorCode KURA_BOF = 8705;
constexpr TEngineErrorCode KURA_EOF = 8706;
constexpr TEngineErrorCode KURA_KEYORRECDELETED = 8708;
constexpr TEngineErrorCode KURA_NOCURRREC = 8709;
constexpr TEngineErrorCode KURA_RECNOTFOUND = 8710;
constexpr TEngineErrorCode KURA_ENDOFBLOB = 8711;
constexpr TEngineErrorCode KURA_HEADERCORRUPT = 8961;
constexpr TEngineErrorCode KURA_FILECORRUPT = 8962;
constexpr TEngineErrorCode KURA_MEMOCORRUPT = 8963;
constexpr TEngineErrorCode KURA_INDEXCORRUPT = 8965;
constexpr TEngineErrorCode KURA_READERR = 9217;
constexpr TEngineErrorCode KURA_WRITEERR = 9218;
constexpr TEngineErrorCode KURA_FILEDELETEFAIL = 9220;
constexpr TEngineErrorCode KURA_FILENOACCESS = 9221;
constexpr TEngineErrorCode KURA_RECTOOBIG = 9477;
constexpr TEngineErrorCode KURA_TABLEFULL = 9479;
constexpr TEngineErrorCode KURA_INTERNALLIMIT = 9482;
constexpr TEngineErrorCode KURA_INDEXLIMIT = 9487;
constexpr TEngineErrorCode KURA_FLDLIMIT = 9492;
constexpr TEngineErrorCode KURA_OPENBLOBLIMIT = 9494;
constexpr TEngineErrorCode KURA_BLOBLIMIT = 9498;
constexpr TEngineErrorCode KURA_KEYVIOL = 9729;
constexpr TEngineErrorCode KURA_MINVALERR = 9730;
constexpr TEngineErrorCode KURA_MAXVALERR = 9731;
constexpr TEngineErrorCode KURA_REQDERR = 9732;
constexpr TEngineErrorCode KURA_OUTOFRANGE = 9985;
constexpr TEngineErrorCode KURA_PRIMARYKEYREDEFINE = 9993;
constexpr TEngineErrorCode KURA_INVALIDBLOBOFFSET = 9998;
constexpr TEngineErrorCode KURA_INVALIDFLDTYPE = 10000;
constexpr TEngineErrorCode KURA_INVALIDVCHKSTRUCT = 10006;
constexpr TEngineErrorCode KURA_INDEXNAMEREQUIRED = 10010;
constexpr TEngineErrorCode KURA_INVALIDPASSWORD = 10015;
constexpr TEngineErrorCode KURA_INVALIDINDEXNAME = 10022;
constexpr TEngineErrorCode KURA_INVALIDIDXDESC = 10023;
constexpr TEngineErrorCode KURA_INVALIDKEY = 10026;
constexpr TEngineErrorCode KURA_INDEXEXISTS = 10027;
constexpr TEngineErrorCode KURA_INVALIDBLOBLEN = 10029;
constexpr TEngineErrorCode KURA_INVALIDBLOBHANDLE = 10030;
constexpr TEngineErrorCode KURA_TABLEOPEN = 10031;
constexpr TEngineErrorCode KURA_INVALIDFIELDNAME = 10038;
constexpr TEngineErrorCode KURA_NOSUCHFILTER = 10050;
constexpr TEngineErrorCode KURA_INVALIDFILTER = 10051;
constexpr TEngineErrorCode KURA_INVALIDINDEXDELETE = 10055;
constexpr TEngineErrorCode KURA_LOCKED = 10241;
constexpr TEngineErrorCode KURA_UNLOCKFAILED = 10242;
constexpr TEngineErrorCode KURA_LOCKTIMEOUT = 10249;
constexpr TEngineErrorCode KURA_NEEDEXCLACCESS = 10253;
constexpr TEngineErrorCode KURA_RECLOCKFAILED = 10258;
constexpr TEngineErrorCode KURA_NOTSUFFTABLERIGHTS = 10498;
constexpr TEngineErrorCode KURA_NOTABLOB = 10753;
constexpr TEngineErrorCode KURA_NOTINITIALIZED = 10758;
constexpr TEngineErrorCode KURA_OSENOENT = 11010;
constexpr TEngineErrorCode KURA_OSEMFILE = 11012;
constexpr TEngineErrorCode KURA_OSEACCES = 11013;
constexpr TEngineErrorCode KURA_OSEBADF = 11014;
constexpr TEngineErrorCode KURA_OSENOMEM = 11016;
constexpr TEngineErrorCode KURA_OSEINVMEM = 11017;
constexpr TEngineErrorCode KURA_OSENODEV = 11023;
constexpr TEngineErrorCode KURA_OSENOTSAM = 11025;
constexpr TEngineErrorCode KURA_OSUNKNOWN = 11047;
constexpr TEngineErrorCode KURA_REMOTECOMMLOST = 11276;
constexpr TEngineErrorCode KURA_REMOTEUNKNOWN = 11279;
constexpr TEngineErrorCode KURA_REMOTECONNECT = 11280;
constexpr TEngineErrorCode KURA_REMOTENOLOGIN = 11281;
constexpr TEngineErrorCode KURA_REMOTEMAXCONNECT = 11282;
constexpr TEngineErrorCode KURA_REMOTEADDRESSBLOCK = 11283;
constexpr TEngineErrorCode KURA_REMOTECALLBACK = 11284;
constexpr TEngineErrorCode KURA_REMOTECALLBACKERR = 11285;
constexpr TEngineErrorCode KURA_REMOTEVERSION = 11286;
constexpr TEngineErrorCode KURA_REMOTEINVLOGIN = 11287;
constexpr TEngineErrorCode KURA_REMOTENOTAUTH = 11288;
constexpr TEngineErrorCode KURA_REMOTENOTADMIN = 11289;
constexpr TEngineErrorCode KURA_REMOTEINVUSER = 11290;
constexpr TEngineErrorCode KURA_REMOTENOUSER = 11291;
constexpr TEngineErrorCode KURA_REMOTEDUPUSER = 11292;
constexpr TEngineErrorCode KURA_REMOTEINVDB = 11293;
constexpr TEngineErrorCode KURA_REMOTENODB = 11294;
constexpr TEngineErrorCode KURA_REMOTEDUPDB = 11295;
constexpr TEngineErrorCode KURA_REMOTEINVDBUSER = 11296;
constexpr TEngineErrorCode KURA_REMOTENODBUSER = 11297;
constexpr TEngineErrorCode KURA_REMOTEDUPDBUSER = 11298;
constexpr TEngineErrorCode KURA_REMOTEINVREQUEST = 11299;
constexpr TEngineErrorCode KURA_IMPORTERROR = 11300;
constexpr TEngineErrorCode KURA_EXPORTERROR = 11301;
constexpr TEngineErrorCode KURA_SQLPARSE = 11949;
constexpr TEngineErrorCode KURA_OLDVERSION = 12035;
constexpr TEngineErrorCode KURA_SEARCHCOLREQD = 12292;
constexpr TEngineErrorCode KURA_TABLEEXISTS = 13060;
constexpr TEngineErrorCode KURA_COMPRESS = 15001;
constexpr TEngineErrorCode KURA_UNCOMPRESS = 15002;
constexpr TEngineErrorCode KURA_CANNOTLOADLDDRV = 15878;
// clang-format on

// Context slots, in the order RaiseEngineError takes its strings.
enum TEngineErrorSlot : int {
    ctxServer = 0,
    ctxUser = 1,
    ctxDatabase = 2,
    ctxTable = 3,
    ctxField = 4,
    ctxIndex = 5,
    ctxMessage = 6,
    ctxOSError = 7,
    ctxSocketError = 8,
};
constexpr int EngineErrorContextStrings = 7;
// The bytes a context string keeps; a text that names a file says it only where the
// name fits whole.
constexpr std::size_t EngineErrorContextLength = 255;

// Raises the engine exception for the low 16 bits of code, with up to seven context
// strings (each kept to its first 255 bytes, whole characters). Never returns.
[[noreturn]] void RaiseEngineError(uint32_t code, std::string_view server = {}, std::string_view user = {},
                                   std::string_view database = {}, std::string_view table = {},
                                   std::string_view field = {}, std::string_view index = {},
                                   std::string_view message = {});

// The message of a code with the current context filled in; at most 254 bytes, whole
// characters.
std::string GetEngineErrorMessage(uint32_t code);
// Slots 0..6 are the strings, 7 and 8 the OS and socket error as decimal text; "" otherwise.
std::string GetEngineErrorContext(int index);
void SetEngineErrorContext(uint32_t code, int32_t osError, int32_t socketError, std::string_view server,
                           std::string_view user, std::string_view database, std::string_view table,
                           std::string_view field, std::string_view index, std::string_view message);
void ClearEngineErrorContext();
void LockEngineErrorContext();
void UnlockEngineErrorContext();
// The symbolic name of a code, "" for codes that do not exist.
std::string GetEngineErrorName(uint32_t code);
// The code carried by an engine exception; KURA_OSUNKNOWN for any other exception.
TEngineErrorCode GetEngineErrorCode(const std::exception& e);
TEngineErrorCode GetEngineErrorCode(std::exception_ptr e);

// The exception every engine failure reaches callers as. It reads the engine error
// context when it is built, so it must be constructed under the context lock
// (RaiseEngineError does that).
class EKuraEngineError : public EDatabaseError {
public:
    explicit EKuraEngineError(uint32_t code);

    TEngineErrorCode ErrorCode() const { return errorCode_; }
    int32_t OSErrorCode() const { return osErrorCode_; }
    int32_t SocketErrorCode() const { return socketErrorCode_; }
    // Context strings by slot 0..6 (server, user, database, table, field, index, message).
    const std::string& ErrorContext(int slot) const;

private:
    TEngineErrorCode errorCode_;
    int32_t osErrorCode_ = 0;
    int32_t socketErrorCode_ = 0;
    std::string context_[EngineErrorContextStrings];
};

// Builds and throws the engine exception for code from the current context.
[[noreturn]] void RaiseKuraEngineError(uint32_t code);

}  // namespace kura

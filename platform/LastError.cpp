#include "platform/LastError.h"

#include <cerrno>

namespace platform {

namespace {
thread_local uint32_t tLastError = ERROR_SUCCESS;
thread_local int32_t tLastSocketError = 0;
}  // namespace

uint32_t GetLastError() { return tLastError; }
void SetLastError(uint32_t error) { tLastError = error; }

int32_t WSAGetLastError() { return tLastSocketError; }
void WSASetLastError(int32_t error) { tLastSocketError = error; }

uint32_t Win32ErrorFromErrno(int err) {
    switch (err) {
        case 0: return ERROR_SUCCESS;
        case ENOENT: return ERROR_FILE_NOT_FOUND;
        case ENOTDIR: return ERROR_PATH_NOT_FOUND;
        case EMFILE:
        case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
        case EBUSY: return ERROR_ACCESS_DENIED;
        case EBADF: return ERROR_INVALID_HANDLE;
        case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
        case ENODEV:
        case ENXIO: return ERROR_INVALID_DRIVE;
        case EXDEV: return ERROR_NOT_SAME_DEVICE;
        case EAGAIN:
        case EDEADLK: return ERROR_LOCK_VIOLATION;
        case EEXIST: return ERROR_FILE_EXISTS;
        case EINVAL: return ERROR_INVALID_PARAMETER;
        case EPIPE: return ERROR_BROKEN_PIPE;
        case ENOSPC:
        case EDQUOT:
        case EFBIG: return ERROR_DISK_FULL;
        case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
        case ELOOP: return ERROR_BAD_PATHNAME;
        case ENOTEMPTY: return ERROR_DIR_NOT_EMPTY;
        case EOPNOTSUPP: return ERROR_NOT_SUPPORTED;
        case EIO: return ERROR_GEN_FAILURE;
        default: return ERROR_GEN_FAILURE;
    }
}

int32_t WSAErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        case EBADF: return WSAEBADF;
        case EACCES:
        case EPERM: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE:
        case ENFILE: return WSAEMFILE;
        case EAGAIN: return WSAEWOULDBLOCK;
        case EINPROGRESS:
        case EALREADY: return WSAEINPROGRESS;
        case ENOTSOCK: return WSAENOTSOCK;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET:
        case EPIPE: return WSAECONNRESET;
        case ENOBUFS:
        case ENOMEM: return WSAENOBUFS;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case EHOSTUNREACH:
        case EHOSTDOWN: return WSAEHOSTUNREACH;
        default: return WSAEINVAL;
    }
}

}  // namespace platform

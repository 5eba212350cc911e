#include "platform/TempFile.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/LastError.h"

namespace platform {

namespace {

std::string TempName(const std::string& path, const std::string& prefix, uint32_t unique) {
    char number[16];
    std::snprintf(number, sizeof number, "%X", static_cast<unsigned>(unique));
    std::string name = path;
    if (!name.empty() && name.back() != '/') name += '/';
    return name + prefix.substr(0, 3) + number + ".tmp";
}

}  // namespace

uint32_t GetTempFileName(const std::string& path, const std::string& prefix, uint32_t unique, std::string* name) {
    if (unique != 0) {
        *name = TempName(path, prefix, unique);
        return unique;
    }
    for (uint32_t n = 1; n <= 0xFFFF; ++n) {
        const std::string candidate = TempName(path, prefix, n);
        const int fd = ::open(NativePath(candidate).c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            *name = candidate;
            return n;
        }
        if (errno != EEXIST) {
            SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : ERROR_ACCESS_DENIED);
            return 0;
        }
    }
    SetLastError(ERROR_FILE_EXISTS);
    return 0;
}

}  // namespace platform

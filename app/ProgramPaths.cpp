#include "app/ProgramPaths.h"

#include <fcntl.h>

#include <QCoreApplication>
#include <QRandomGenerator>
#include <cerrno>

#include "platform/FileCalls.h"
#include "platform/LastError.h"

namespace app {

namespace {
std::string& Override() {
    static std::string path;
    return path;
}
}  // namespace

std::string ProgramPath() {
    if (!Override().empty()) return Override();
    return QCoreApplication::applicationFilePath().toStdString();
}

void SetProgramPath(const std::string& path) { Override() = path; }

std::string ProgramDir() {
    const std::string path = ProgramPath();
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string("./") : path.substr(0, slash + 1);
}

std::string IniPath() {
    const std::string path = ProgramPath();
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    const std::string base = dot != std::string::npos && (slash == std::string::npos || dot > slash)
                                 ? path.substr(0, dot)
                                 : path;
    return base + ".INI";
}

std::string DatabaseDir() { return ProgramDir() + "DB"; }

std::string HelpPath() { return ProgramDir() + "yomitora.html"; }

uint32_t FolderWriteError(const std::string& dir) {
    const platform::FileCallTable& calls = platform::FileCalls();
    // A fresh name, made exclusively: never one that is there (a link included).
    for (int tries = 0; tries < 100; ++tries) {
        const std::string probe = dir + "/.yomitora-" + std::to_string(QRandomGenerator::global()->generate());
        const int fd = calls.open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return platform::Win32ErrorFromErrno(errno);
        calls.close(fd);
        calls.unlink(probe.c_str());
        return 0;
    }
    return platform::ERROR_FILE_EXISTS;
}

}  // namespace app

#include "app/ProgramPaths.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTemporaryFile>

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

bool FolderWritable(const std::string& dir) {
    QTemporaryFile probe(QString::fromStdString(dir) + "/.yomitora-XXXXXX");
    return probe.open();
}

}  // namespace app

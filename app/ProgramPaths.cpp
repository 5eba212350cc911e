#include "app/ProgramPaths.h"

#include <fcntl.h>

#include <QCoreApplication>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "engine/files/EngineFile.h"
#include "platform/FileCalls.h"
#include "platform/LastError.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

bool EnginePath(const QString& path, std::string& cp932) {
    // Some characters convert one way only (U+301C, the wave dash, to the full-width
    // tilde's code): the file layer would then name another file.
    return !path.contains('\\') && gui::TryCp932(path, cp932) && gui::QStr(cp932) == path;
}

namespace {

QString& Override() {
    static QString path;
    return path;
}

// The longest name the engine gives a file of the program's tables in the database
// folder: a journal it set aside, the fourth copy of Rirekisyo's. The tables' own
// files, their backups and restructure notes, and a restructure's work tables all
// have shorter names.
constexpr std::string_view LongestTableFile = "Rirekisyo.JNL.4";
constexpr std::string_view DatabaseSubfolder = "DB";
// The longest name the engine gives a file in the temporary folder, after its "/":
// in the session's own folder KURA<process id>-<n> (a process id has at most seven
// digits on Linux, 4194304; a session takes a number below 10000), the fourth journal
// copy of a result table, whose name is at most five digits of the thread's id and
// its number among the session's result tables (four digits, for ten thousand at
// once: the program keeps a handful). The lock file beside the folder, and the sort
// and index files made in the temporary folder itself, have shorter names.
constexpr std::string_view LongestTempFile = "KURA4194304-9999/999999999.JNL.4";

// A folder whose path leaves the engine's file names no room: `kind` names it, `most`
// is its limit, `advice` what to do.
QString TooLong(const QString& kind, const QString& dir, std::size_t most, std::size_t length, const QString& advice) {
    return U8("%1 %2 のパスが長すぎるため、ヨミトラを起動できません。\n"
              "データベースのファイルの名前はフォルダを含めて %3 バイトまでのため、%1のパスは"
              "シフトJISで %4 バイトまでです（このフォルダは %5 バイト）。\n%6")
        .arg(kind, dir, QString::number(kura::MaxFileNameLength), QString::number(most), QString::number(length),
             advice);
}

// The first character of the text that the engine cannot name a file by.
QString FirstUnheld(const QString& text) {
    std::string ignored;
    for (qsizetype i = 0; i < text.size();) {
        const qsizetype n = text.at(i).isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
        const QString c = text.mid(i, n);
        if (!EnginePath(c, ignored)) return c;
        i += n;
    }
    return {};
}

// A folder's path without its trailing "/" (the root keeps it).
QString WithoutSlash(const QString& dir) { return dir.size() > 1 && dir.endsWith('/') ? dir.chopped(1) : dir; }

}  // namespace

QString ProgramPath() {
    if (!Override().isEmpty()) return Override();
    return QCoreApplication::applicationFilePath();
}

void SetProgramPath(const QString& path) { Override() = path; }

QString ProgramDir() {
    const QString path = ProgramPath();
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QStringLiteral("./") : path.left(slash + 1);
}

QString IniPath() {
    const QString path = ProgramPath();
    const qsizetype slash = path.lastIndexOf('/');
    const qsizetype dot = path.lastIndexOf('.');
    return (dot > slash ? path.left(dot) : path) + ".INI";
}

QString HelpPath() { return ProgramDir() + "yomitora.html"; }

std::string DatabaseFolder() { return gui::Cp932(ProgramDir()) + std::string(DatabaseSubfolder); }

std::size_t LongestProgramDir() {
    return kura::MaxFileNameLength - (1 + DatabaseSubfolder.size() + 1 + LongestTableFile.size());
}

QString ProgramDirRefusal() {
    const QString dir = WithoutSlash(ProgramDir());
    std::string cp932;
    if (!EnginePath(dir, cp932))
        return U8("プログラムのフォルダ %1 のパスに、データベースがファイルの名前に使えない文字「%2」があるため、"
                  "ヨミトラを起動できません。\n"
                  "データベースはファイルの名前をシフトJISで扱うため、シフトJISで表せない文字と「\\」は使えません。\n"
                  "そのような文字を含まないフォルダにヨミトラをインストールしてから、もう一度起動してください。")
            .arg(dir, FirstUnheld(dir));
    if (cp932.size() > LongestProgramDir())
        return TooLong(U8("プログラムのフォルダ"), dir, LongestProgramDir(), cp932.size(),
                       U8("パスの短いフォルダにヨミトラをインストールしてから、もう一度起動してください。"));
    return {};
}

std::size_t LongestTempDir() { return kura::MaxFileNameLength - (1 + LongestTempFile.size()); }

bool EngineTempFolder(std::string& folder, QString& refusal) {
    std::error_code ec;
    const QString temp = QString::fromStdString(std::filesystem::temp_directory_path(ec).string());
    if (!EnginePath(temp, folder)) {
        refusal = U8("一時フォルダ %1 のパスに、データベースがファイルの名前に使えない文字「%2」があるため、"
                     "ヨミトラを起動できません。\n"
                     "データベースはファイルの名前をシフトJISで扱うため、シフトJISで表せない文字と「\\」は使えません。\n"
                     "一時フォルダ（環境変数 TMPDIR）をそのような文字を含まないフォルダにしてから、もう一度起動してください。")
                      .arg(temp, FirstUnheld(temp));
        return false;
    }
    // The engine puts a "/" after the folder where it has none.
    const std::size_t length = gui::Cp932(WithoutSlash(temp)).size();
    if (length > LongestTempDir()) {
        refusal = TooLong(U8("一時フォルダ"), WithoutSlash(temp), LongestTempDir(), length,
                          U8("一時フォルダ（環境変数 TMPDIR）をパスの短いフォルダにしてから、もう一度起動してください。"));
        return false;
    }
    return true;
}

uint32_t FolderWriteError(const QString& dir) {
    const platform::FileCallTable& calls = platform::FileCalls();
    const std::string folder = QFile::encodeName(WithoutSlash(dir)).toStdString();
    // A fresh name, made exclusively: never one that is there (a link included).
    for (int tries = 0; tries < 100; ++tries) {
        const std::string probe = folder + "/.yomitora-" + std::to_string(QRandomGenerator::global()->generate());
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

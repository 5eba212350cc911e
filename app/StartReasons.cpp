#include "app/StartReasons.h"

#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <system_error>

#include "app/ProgramPaths.h"
#include "engine/errors/EngineErrors.h"
#include "platform/CodePage.h"
#include "platform/Files.h"
#include "platform/LastError.h"
#include "platform/gui/IniFile.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

namespace {

// The engine's code, the last line of each cause below.
QString CodeLine(const kura::EKuraEngineError& e) { return U8("\n（エラー番号 %1）").arg(e.ErrorCode()); }

// A path as the engine gives it back: engine text, as the program handed it over.
QString PathText(const std::string& path) { return gui::QStr(path); }

// The folder of the file the engine names, or the database folder when it names none.
QString FolderOf(const std::string& file) {
    const auto slash = platform::Cp932FindLastOf(file, "/");
    return slash == std::string::npos || slash == 0 ? PathText(DatabaseFolder()) : PathText(file.substr(0, slash));
}

// The system's last error comes with every engine error, also one that no system call
// failed for (a taken key after a full disk): only a failed write or system call counts.
bool DiskFull(const kura::EKuraEngineError& e) {
    return (e.ErrorCode() == kura::KURA_WRITEERR || e.ErrorCode() == kura::KURA_OSUNKNOWN) &&
           e.OSErrorCode() == int32_t(platform::ERROR_DISK_FULL);
}

// The start's: it is the start that is to be tried again.
QString DiskFullText(const QString& folder) { return app::DiskFullText(folder, TThen::StartAgain); }

QString RefusalText(const kura::EKuraEngineError& e, TRefusal why) {
    const std::string& file = e.ErrorContext(kura::ctxTable);
    switch (why) {
    case TRefusal::NoAccess:
        return U8("ファイル %1 を読み書きする権限がありません。\nファイルの権限を確かめてから、もう一度起動してください。")
            .arg(gui::QStr(file));
    case TRefusal::InUse:
        return U8("他のプログラムがこのテーブルを単独で使っています。\nそのプログラムを終了してから、もう一度起動してください。");
    case TRefusal::Unknown:
    case TRefusal::Missing:
        break;
    }
    return U8("ファイル %1 を読み書きする権限がないか、他のプログラムが単独で使っています。").arg(gui::QStr(file));
}

// The codes a table's file raises at its open when it is damaged or cut short, or is
// not a table of this program at all (another program's file of that name, one of a
// later layout).
bool Damaged(const kura::EKuraEngineError& e) {
    switch (e.ErrorCode()) {
    case kura::KURA_HEADERCORRUPT:
    case kura::KURA_FILECORRUPT:
    case kura::KURA_MEMOCORRUPT:
    case kura::KURA_INDEXCORRUPT:
    case kura::KURA_READERR:
    case kura::KURA_OLDVERSION:
    case kura::KURA_CANNOTLOADLDDRV:
        return true;
    default:
        return false;
    }
}

// A journal that the engine refuses at every open: its unfinished change can neither
// be taken back nor set aside without perhaps leaving the tables that one save
// changed together apart. Only restoring them together is known to be right, the
// change records among them, which keep how such changes ended.
QString UnsettledText(const kura::EKuraEngineError& e, const QString& table) {
    return U8("テーブル %1 には途中で終わった変更が残っていますが、一緒に変更された他のテーブルと食い違わないように"
              "その変更を片付けられるかどうか分からないため、開けません（変更の記録：%2）。\n"
              "フォルダ %3 のすべてのテーブルのファイルを、変更の記録（.JNL と .JNS）も含めて、同じバックアップから"
              "まとめて戻してから、もう一度起動してください。")
        .arg(table, PathText(e.ErrorContext(kura::ctxTable)), PathText(DatabaseFolder()));
}

QString RestoreAdvice(const QString& table) {
    return U8("フォルダ %1 にある %2 のファイル（%2.DAT など）をバックアップから戻してから、もう一度起動してください。")
        .arg(PathText(DatabaseFolder()), table);
}

}  // namespace

QString DiskFullText(const QString& folder, TThen then) {
    return U8("ディスクがいっぱいのため（または、このユーザーが使える容量かファイルの数の上限に達したため）、"
              "フォルダ %1 に書き込めません。\n"
              "不要なファイルを削除するなどして空きを作ってから、%2")
        .arg(folder, then == TThen::StartAgain ? U8("もう一度起動してください。") : U8("もう一度やり直してください。"));
}

QString DiskFullFailure(const std::exception& e) {
    if (const auto* engine = dynamic_cast<const kura::EKuraEngineError*>(&e))
        return DiskFull(*engine)
                   ? DiskFullText(FolderOf(engine->ErrorContext(kura::ctxTable)), TThen::TryAgain) + CodeLine(*engine)
                   : QString();
    const auto* settings = dynamic_cast<const gui::EIniFileError*>(&e);
    if (!settings || settings->Error != platform::ERROR_DISK_FULL) return {};
    const QString ini = IniPath();
    return U8("設定ファイル %1 に書き込めません。\n").arg(ini) + DiskFullText(QFileInfo(ini).absolutePath(), TThen::TryAgain);
}

QString DiskFullFailure(const std::exception_ptr& e) {
    try {
        if (e) std::rethrow_exception(e);
    } catch (const std::exception& failure) {
        return DiskFullFailure(failure);
    } catch (...) {
    }
    return {};
}

bool AccessDenied(const kura::EKuraEngineError& e) { return e.ErrorCode() == kura::KURA_OSEACCES; }

TRefusal WhyRefused(const std::string& file) {
    const platform::FileHandle h =
        platform::CreateFile(file, platform::GENERIC_READ | platform::GENERIC_WRITE,
                             platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE, platform::OPEN_EXISTING, 0);
    if (h != platform::INVALID_HANDLE_VALUE) {
        platform::CloseHandle(h);
        return TRefusal::Unknown;
    }
    switch (platform::GetLastError()) {
    case platform::ERROR_ACCESS_DENIED:
        return TRefusal::NoAccess;
    case platform::ERROR_SHARING_VIOLATION:
        return TRefusal::InUse;
    case platform::ERROR_FILE_NOT_FOUND:
        return TRefusal::Missing;
    default:
        return TRefusal::Unknown;
    }
}

QString TableFailure(const kura::EKuraEngineError& e, const QString& table, TRefusal why) {
    const std::string& file = e.ErrorContext(kura::ctxTable);
    QString text;
    if (DiskFull(e))
        text = DiskFullText(FolderOf(file)) + CodeLine(e);
    else if (AccessDenied(e))
        text = RefusalText(e, why) + CodeLine(e);
    else if (JournalSetAside(e))
        text = UnsettledText(e, table) + CodeLine(e);
    else if (e.ErrorCode() == kura::KURA_OSENOENT)
        text = U8("ファイル %1 がありません。\n").arg(PathText(file)) + RestoreAdvice(table) + CodeLine(e);
    else if (Damaged(e))
        text = U8("テーブルのファイルが壊れているか、ヨミトラのテーブルのファイルではありません。\n") +
               RestoreAdvice(table) + CodeLine(e);
    else
        text = gui::QStr(e.what());
    return U8("テーブル %1 を開けないため、ヨミトラを起動できません。\n").arg(table) + text;
}

QString ViewsFailure(const kura::EKuraEngineError& e, const std::string& privateDir) {
    return U8("従業員の一覧を作れないため、ヨミトラを起動できません。\n") +
           (DiskFull(e) ? DiskFullText(PathText(privateDir)) + CodeLine(e) : gui::QStr(e.what()));
}

// Why the database folder could not be made, as the user can act on it: a file (or a
// link, leading anywhere or nowhere) of its name is in the way, or the program's
// folder may not be written.
std::string FolderRefusal(const std::string& dir, uint32_t error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    QString why;
    if (fs::exists(fs::symlink_status(platform::NativePath(dir), ec)))
        why = U8("同じ名前のファイルがあります。\nそのファイルの名前を変えるか別のフォルダに移してから、もう一度起動してください。");
    else if (error == platform::ERROR_ACCESS_DENIED)
        why = U8("フォルダ %1 にフォルダを作る権限がありません。\nフォルダの権限を確かめてから、もう一度起動してください。")
                  .arg(FolderOf(dir));
    else if (error == platform::ERROR_DISK_FULL)
        why = DiskFullText(FolderOf(dir));
    else
        why = U8("（システムのエラー番号 %1）").arg(error);
    return U8("データベースのフォルダ %1 を作れないため、ヨミトラを起動できません。\n%2")
        .arg(PathText(dir), why)
        .toStdString();
}

std::string SettingsRefusal(const QString& path, uint32_t error, const std::string& file) {
    QString why;
    if (error == platform::ERROR_CANT_RESOLVE_FILENAME)
        why = U8("ファイル %1 の場所にシンボリックリンクがあるため、書き込みませんでした。\n"
                 "リンクを取り除いてから、もう一度起動してください。")
                  .arg(file.empty() ? path : QString::fromStdString(file));
    else if (error == platform::ERROR_DISK_FULL)
        why = DiskFullText(QFileInfo(path).absolutePath());
    else if (error == platform::ERROR_ACCESS_DENIED)
        why = U8("ファイルかフォルダが読み取り専用か、書き込む権限がありません。\n"
                 "ファイルとフォルダの権限を確かめてから、もう一度起動してください。");
    else
        why = U8("（システムのエラー番号 %1）").arg(error);
    return U8("設定ファイル %1 に書き込めないため、ヨミトラを起動できません。\n%2")
        .arg(path, why)
        .toStdString();
}

QString ProgramFolderRefusal(const QString& dir) {
    const uint32_t error = FolderWriteError(dir);
    if (error == 0) return {};
    if (error == platform::ERROR_DISK_FULL)
        return U8("プログラムのフォルダ %1 に書き込めないため、ヨミトラを起動できません。\n").arg(dir) + DiskFullText(dir);
    return U8("プログラムのフォルダ ") + dir + U8(" に書き込めません。\n設定ファイルとデータベースはこのフォルダに置かれます。");
}

namespace {
enum class TJournalName { None, Journal, Copy };
// A journal's name ("NAME.JNL"), or the name of a copy the engine set aside ("NAME.JNL.2").
TJournalName JournalNamed(const std::string& file) {
    std::string name = platform::Cp932UpperCase(file);
    const size_t dot = platform::Cp932FindLastOf(name, ".");
    const bool numbered = dot != std::string::npos && dot + 1 < name.size() &&
                          std::all_of(name.begin() + static_cast<std::ptrdiff_t>(dot) + 1, name.end(),
                                      [](char c) { return c >= '0' && c <= '9'; });
    if (numbered) name.resize(dot);
    if (!name.ends_with(".JNL")) return TJournalName::None;
    return numbered ? TJournalName::Copy : TJournalName::Journal;
}
}  // namespace

bool JournalSetAside(const kura::EKuraEngineError& e) {
    return e.ErrorCode() == kura::KURA_HEADERCORRUPT &&
           JournalNamed(e.ErrorContext(kura::ctxTable)) != TJournalName::None;
}

QString JournalSetAsideNote(const kura::EKuraEngineError& e, const QString& table) {
    const std::string& journal = e.ErrorContext(kura::ctxTable);
    QString text = U8("テーブル %1 には途中で終わった変更が残っていましたが、その変更の記録がテーブルのファイルと合わない"
                      "（ファイルを以前のコピーから戻したときなど）か壊れているため、変更は行いませんでした。\n")
                       .arg(table);
    if (JournalNamed(journal) == TJournalName::Copy)
        text += U8("変更の記録はファイル %1 として残してあります。\n").arg(PathText(journal));
    return text + U8("テーブル %1 は、いまのファイルの内容のまま開きます。").arg(table) + CodeLine(e);
}

}  // namespace app

#include "app/StartReasons.h"

#include <QFileInfo>
#include <algorithm>
#include <filesystem>
#include <string_view>
#include <system_error>

#include "app/ProgramPaths.h"
#include "engine/errors/EngineErrors.h"
#include "engine/errors/JournalReports.h"
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

// The engine's own text, for a cause this program does not tell in its words: the
// file, folder or table it names said whole after it where the text (at most 254
// bytes) leaves part of it out, as a long folder does.
QString EngineText(const kura::EKuraEngineError& e) {
    QString text = gui::QStr(e.what());
    const std::string& named = e.ErrorContext(kura::ctxTable);
    if (!named.empty() && std::string_view(e.what()).find("'" + named + "'") == std::string_view::npos)
        text += U8("\n（エラーの対象：%1）").arg(PathText(named));
    return text;
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

// The last part of a path the engine names (a table's name when it names a table).
std::string LastPart(const std::string& path) {
    const auto slash = platform::Cp932FindLastOf(path, "/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The table whose journal, or copy of it, the engine names ("…/Gakureki.JNL.1").
QString JournalTable(const std::string& journal) {
    std::string name = LastPart(journal);
    if (JournalNamed(name) == TJournalName::Copy) name.resize(platform::Cp932FindLastOf(name, "."));
    if (JournalNamed(name) == TJournalName::Journal) name.resize(name.size() - 4);
    return PathText(name);
}

// Names as a list in a sentence ("Kazoku、Gakureki").
QString Listed(const std::vector<QString>& names) {
    QString list;
    for (const QString& name : names) list += (list.isEmpty() ? QString() : U8("、")) + name;
    return list;
}

// The one way out that is known to be right when a commit's tables may disagree: the
// tables (every table of the folder when the engine could not tell which), restored
// together with their change records.
QString RestoreTogether(const std::vector<QString>& tables) {
    const QString which = tables.empty() ? U8("フォルダ %1 のすべてのテーブル").arg(PathText(DatabaseFolder()))
                                         : U8("テーブル %1 ").arg(Listed(tables));
    return U8("%1のファイルを、変更の記録（.JNL と .JNS）も含めて、同じバックアップからまとめて戻してください。").arg(which);
}

// A journal refused at every open, with the way out the engine names.
QString RefusedJournalText(const kura::EKuraEngineError& e, const QString& table) {
    const QString journal = PathText(e.ErrorContext(kura::ctxTable));
    const std::vector<std::string> named = kura::JournalReportNames(e);
    const QString head = U8("テーブル %1 には途中で終わった変更が残っていますが、").arg(table);
    switch (kura::JournalReportOf(e)) {
    case kura::TJournalReport::PartnerNotFound:
        if (named.empty()) break;
        return head + U8("その変更で一緒に変更されたテーブル %2 が見つからないため、開けません（変更の記録：%3）。\n"
                         "テーブル %2 のファイルを、その %2.JNS も含めて、元の名前のままフォルダ %4 に戻してから、"
                         "もう一度起動してください。\n"
                         "テーブル %2 を削除していてもう使わないときに限り、変更の記録 %3 を削除してください"
                         "（テーブル %1 は変更したあとの内容のまま開きます）。")
                          .arg(table, PathText(LastPart(named[0])), journal, PathText(DatabaseFolder()));
    case kura::TJournalReport::RemoveRecord:
        if (named.empty()) break;
        return head + U8("その変更がどう終わったかの記録が食い違っているため、開けません（変更の記録：%1）。\n"
                         "テーブルのファイルと食い違っている記録 %2 を削除してから、もう一度起動してください"
                         "（変更の記録 %1 のほうを削除すると、テーブルどうしが食い違ったままになります）。")
                          .arg(journal, PathText(named[0]));
    default:
        break;
    }
    QString text = UnsettledText(e, table);
    // A way out this program does not know is said as the engine says it.
    const std::string& advice = e.ErrorContext(kura::ctxMessage);
    if (kura::JournalReportOf(e) != kura::TJournalReport::RestoreTogether && !advice.empty())
        text += U8("\n（%1）").arg(PathText(advice));
    return text;
}

// Why a cut commit cannot be settled here, as the file layer meets the file the engine
// names: the file itself, or the folder it is to be made in; or a table's files (a
// table named alone lies in the database folder).
QString UnwritableText(std::string named) {
    if (LastPart(named) == named) named = DatabaseFolder() + "/" + named;
    const QString folder = FolderOf(named);
    switch (WhyRefused(named)) {
    case TRefusal::NoAccess:
        return U8("ファイル %1 が読み取り専用か、書き込む権限がありません。").arg(PathText(named));
    case TRefusal::Missing:
        if (JournalNamed(named) == TJournalName::None && WhyRefused(named + ".DAT") != TRefusal::Missing)
            return U8("テーブル %1 のファイル（%1.DAT など）か変更の記録（%1.JNL）が読み取り専用か、書き込む権限が"
                      "ありません。")
                .arg(PathText(LastPart(named)));
        return U8("フォルダ %1 が読み取り専用か、ファイルを作る権限がありません。").arg(folder);
    default:
        return U8("フォルダ %1 のファイルに書き込めません。").arg(folder);
    }
}

QString NeedsWriteText(const kura::EKuraEngineError& e, const QString& table) {
    return U8("テーブル %1 には途中で終わった変更が残っています。その変更を片付けるには、フォルダ %2 とそのファイルに"
              "書き込めることが必要ですが、%3\n"
              "フォルダとファイルの権限を確かめて書き込めるようにしてから（または、書き込める権限のあるユーザーで）、"
              "もう一度起動してください。変更は片付けずにそのまま残してあります。")
        .arg(table, PathText(DatabaseFolder()), UnwritableText(e.ErrorContext(kura::ctxTable)));
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
    else if (NeedsWrite(e) && why != TRefusal::InUse)
        text = NeedsWriteText(e, table) + CodeLine(e);
    else if (AccessDenied(e))
        text = RefusalText(e, why) + CodeLine(e);
    else if (e.ErrorCode() == kura::KURA_HEADERCORRUPT && JournalNamed(file) != TJournalName::None)
        text = RefusedJournalText(e, table) + CodeLine(e);
    else if (e.ErrorCode() == kura::KURA_OSENOENT)
        text = U8("ファイル %1 がありません。\n").arg(PathText(file)) + RestoreAdvice(table) + CodeLine(e);
    else if (Damaged(e))
        text = U8("テーブルのファイルが壊れているか、ヨミトラのテーブルのファイルではありません。\n") +
               RestoreAdvice(table) + CodeLine(e);
    else
        text = EngineText(e);
    return U8("テーブル %1 を開けないため、ヨミトラを起動できません。\n").arg(table) + text;
}

QString ViewsFailure(const kura::EKuraEngineError& e, const std::string& privateDir) {
    return U8("従業員の一覧を作れないため、ヨミトラを起動できません。\n") +
           (DiskFull(e) ? DiskFullText(PathText(privateDir)) + CodeLine(e) : EngineText(e));
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
    const QString named = file.empty() ? path : QString::fromStdString(file);
    if (error == platform::ERROR_CANT_RESOLVE_FILENAME)
        why = U8("ファイル %1 の場所にシンボリックリンクがあるため、書き込みませんでした。\n"
                 "リンクを取り除いてから、もう一度起動してください。")
                  .arg(named);
    else if (error == platform::ERROR_DIRECTORY)
        why = U8("ファイル %1 の場所にフォルダがあるため、書き込みませんでした。\n"
                 "そのフォルダの名前を変えるか別の場所に移してから、もう一度起動してください。")
                  .arg(named);
    else if (error == platform::ERROR_ALREADY_EXISTS)
        why = U8("ファイル %1 の場所に、ファイルではないもの（名前付きパイプなど）があるため、書き込みませんでした。\n"
                 "それを取り除いてから、もう一度起動してください。")
                  .arg(named);
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

bool ReportedOnce(const kura::EKuraEngineError& e) {
    const kura::TJournalReport report = kura::JournalReportOf(e);
    return report == kura::TJournalReport::SetAside || report == kura::TJournalReport::StandsApart;
}

bool NeedsWrite(const kura::EKuraEngineError& e) {
    return kura::JournalReportOf(e) == kura::TJournalReport::NeedsWrite;
}

QString ReportedOnceNote(const kura::EKuraEngineError& e, const QString& table) {
    const std::string& journal = e.ErrorContext(kura::ctxTable);
    if (kura::JournalReportOf(e) == kura::TJournalReport::StandsApart) {
        // The table named is the one that may stand apart: not always the one opened.
        const QString apart = JournalTable(journal);
        std::vector<QString> tables, others;
        for (const std::string& name : kura::JournalReportNames(e)) tables.push_back(PathText(name));
        for (const QString& name : tables)
            if (name.compare(apart, Qt::CaseInsensitive) != 0) others.push_back(name);
        return U8("途中で終わった変更（複数のテーブルをまとめて変更したもの）を片付けましたが、テーブル %1 は、その変更で"
                  "一緒に変更された%2食い違っているかもしれません。そろえるための記録が残っていなかったためです"
                  "（変更の記録：%3）。\n")
                   .arg(apart, others.empty() ? U8("他のテーブルと") : U8("テーブル %1 と").arg(Listed(others)),
                        PathText(journal)) +
               RestoreTogether(tables) + U8("\nそれまでは、どのテーブルもいまのファイルの内容のまま開きます。") +
               CodeLine(e);
    }
    QString text = U8("テーブル %1 には途中で終わった変更が残っていましたが、その変更の記録がテーブルのファイルと合わない"
                      "（ファイルを以前のコピーから戻したときなど）か壊れているため、変更は行いませんでした。\n")
                       .arg(table);
    if (JournalNamed(journal) == TJournalName::Copy)
        text += U8("変更の記録はファイル %1 として残してあります。\n").arg(PathText(journal));
    return text + U8("テーブル %1 は、いまのファイルの内容のまま開きます。").arg(table) + CodeLine(e);
}

namespace {

// A table's key fields ("StaffCD、Seq").
QString KeyText(const std::vector<std::string>& key) {
    std::vector<QString> fields;
    for (const std::string& field : key) fields.push_back(PathText(field));
    return Listed(fields);
}

// What the start found of the index file: missing, or without the key.
QString IndexFound(const std::string& index, bool lost, const std::vector<std::string>& key) {
    return lost ? U8("索引ファイル %1 がなかったため").arg(PathText(index))
                : U8("索引ファイル %1 にキー（%2）がなかったため").arg(PathText(index), KeyText(key));
}

}  // namespace

QString KeyRebuiltNote(const QString& table, const std::string& index, bool lost, const std::vector<std::string>& key) {
    return U8("テーブル %1 の%2、レコードから作り直しました。\nレコードはどれもそのままです。")
        .arg(table, IndexFound(index, lost, key));
}

QString KeyFailure(const kura::EKuraEngineError& e, const QString& table, const std::string& index, bool lost,
                   const std::vector<std::string>& key, TRefusal why) {
    QString text = U8("テーブル %1 の%2、レコードから作り直そうとしましたが、").arg(table, IndexFound(index, lost, key));
    if (e.ErrorCode() == kura::KURA_KEYVIOL)
        text += U8("キー（%1）の値が同じレコードが複数あるため、作り直せません。\n").arg(KeyText(key)) +
                RestoreAdvice(table);
    else if (DiskFull(e))
        text += DiskFullText(FolderOf(e.ErrorContext(kura::ctxTable)));
    else if (AccessDenied(e) && why == TRefusal::InUse)
        text += U8("他のプログラムがこのテーブルを開いているため、作り直せません（作り直すには、このテーブルを単独で"
                   "使う必要があります）。\nそのプログラムを終了してから、もう一度起動してください。");
    else if (AccessDenied(e))
        text += UnwritableText(e.ErrorContext(kura::ctxTable)) +
                U8("\nフォルダとファイルの権限を確かめてから、もう一度起動してください。");
    else
        text += U8("作り直せません。\n%1").arg(gui::QStr(e.what()));
    // Refused its open, the engine made nothing; a rebuild begun has written the files'
    // headers (their change counters) and journal, never a record.
    const QString kept = AccessDenied(e) ? U8("\nテーブル %1 のファイルは、どれも変更していません。")
                                         : U8("\nテーブル %1 のレコードは、どれも変更していません。");
    return U8("テーブル %1 を開けないため、ヨミトラを起動できません。\n").arg(table) + text + kept.arg(table) +
           CodeLine(e);
}

QString MissingFilesFailure(const QString& table, const std::vector<std::string>& missing) {
    std::vector<QString> files;
    for (const std::string& file : missing) files.push_back(PathText(file));
    return U8("テーブル %1 を開けないため、ヨミトラを起動できません。\n").arg(table) +
           U8("ファイル %1 がありません（テーブル %2 のほかのファイルは残っています）。\n").arg(Listed(files), table) +
           RestoreAdvice(table) + U8("\nテーブル %1 のファイルは、どれも変更していません。").arg(table);
}

}  // namespace app

#pragma once
// Why a start cannot serve its user, in the user's words: each text says what is
// wrong, where (the table, file or folder) and what to do, and ends with the engine's
// code as a number where there is one. The start (TFmain::StartUp) throws them as its
// failure, or shows them and goes on where the table opens after all.
#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace kura {
class EKuraEngineError;
}

namespace app {

// The open of a table refused: another program has it to itself, or this user may
// not read or write one of its files.
bool AccessDenied(const kura::EKuraEngineError& e);

enum class TRefusal { Unknown, NoAccess, InUse, Missing };

// Why the engine was refused the file it names, as the user can act on it: the file
// is opened again as the engine opens it, for reading and writing, shared (Unknown
// when it opens so).
TRefusal WhyRefused(const std::string& file);

// The whole text of a start that a table's check failed: the table named, then why
// (a full disk or quota, a file refused for `why`, a file missing, a file damaged or
// not a table of this program, a journal refused at every open), the engine's own
// text for anything else.
QString TableFailure(const kura::EKuraEngineError& e, const QString& table, TRefusal why);
// The same for the views the start builds last, whose queries make their result
// tables in the session's private folder.
QString ViewsFailure(const kura::EKuraEngineError& e, const std::string& privateDir);
// The database folder (engine text) could not be made (error: the system's, as a
// Win32 number).
std::string FolderRefusal(const std::string& dir, uint32_t error);
// The settings file (by Qt's path) could not be written (file: the one in the way,
// its temporary file, when it is not the settings file itself).
std::string SettingsRefusal(const QString& path, uint32_t error, const std::string& file = {});
// Why no file can be made in the program's folder `dir` (looked at first, before
// anything is written there); empty when one can.
QString ProgramFolderRefusal(const QString& dir);

// A full disk or quota, or no file entry left on it (the system's ERROR_DISK_FULL):
// the folder that could not be written and what to do, the same words at the start
// and at every change after it, which is then to be tried again.
enum class TThen { StartAgain, TryAgain };
QString DiskFullText(const QString& folder, TThen then);
// A change that failed for that (the engine's error or the settings file's), in
// those words: the folder of the file it names, or the database folder; empty for
// any other failure.
QString DiskFullFailure(const std::exception& e);
QString DiskFullFailure(const std::exception_ptr& e);

// The table's journal held an unfinished change that its files do not fit (they were
// put back from an older copy) or could no longer say what it held: the engine set
// the change aside and reports it once, and the table opens as its files hold it.
bool JournalSetAside(const kura::EKuraEngineError& e);
QString JournalSetAsideNote(const kura::EKuraEngineError& e, const QString& table);

}  // namespace app

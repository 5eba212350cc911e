#pragma once
// Why a start cannot serve its user, in the user's words: each text says what is
// wrong, where (the table, file or folder) and what to do, and ends with the engine's
// code as a number where there is one. The start (TFmain::StartUp) throws them as its
// failure, or shows them and goes on where the table opens after all.
#include <QString>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

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
// (a full disk or quota, a file refused for `why`, a cut commit to be settled without
// write access, a file missing, a file damaged or not a table of this program, a
// journal refused at every open with the way out the engine names), the engine's own
// text for anything else.
QString TableFailure(const kura::EKuraEngineError& e, const QString& table, TRefusal why);
// The table's files found missing while others of it remain (the table is not made
// anew over them): which are missing, and to restore the table from a backup.
QString MissingFilesFailure(const QString& table, const std::vector<std::string>& missing);
// The table's primary key (fields `key`) made anew from its records at the start: its
// index file `index` was missing (lost) or lacked it. The note names the file.
QString KeyRebuiltNote(const QString& table, const std::string& index, bool lost, const std::vector<std::string>& key);
// The whole text of a start that could not make it anew: another program has the table
// open (`why` InUse), two records share a key, the index file cannot be made or
// written, a full disk; no file of the table changed where the engine refused the
// table, no record where the rebuild began.
QString KeyFailure(const kura::EKuraEngineError& e, const QString& table, const std::string& index, bool lost,
                   const std::vector<std::string>& key, TRefusal why);
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

// What the engine reports once at a table's open, the table opening after it as its
// files hold it (engine/errors/JournalReports.h): an unfinished change that the
// table's files do not fit (they were put back from an older copy), or that its
// journal could no longer say, was set aside; or a cut commit over several tables was
// settled and one of them may no longer match the others, nothing being left to take
// it back. The note says which, names the tables and what to do.
bool ReportedOnce(const kura::EKuraEngineError& e);
QString ReportedOnceNote(const kura::EKuraEngineError& e, const QString& table);
// A cut commit that the open must settle first, and that needs write access this
// program does not have: the start says so without waiting, unless another program
// has the file it names to itself.
bool NeedsWrite(const kura::EKuraEngineError& e);

}  // namespace app

#pragma once
// Where the program keeps its files: all of them beside the executable (its settings
// file named after it with ".INI", the "DB" folder, "readme.txt", the help page).
// Tests point the program path elsewhere with SetProgramPath.
//
// The program's path comes from Qt, and Qt and the system read and write by it the
// files that are not the engine's (the settings file, the read-me, the help page).
// The engine names its files in code page 932: the database folder is converted once,
// here (DatabaseFolder), where the program hands it to the engine. A program folder
// whose path the engine cannot name files by (EnginePath), or that leaves the engine's
// file names no room, is refused at the start (ProgramDirRefusal) before anything is
// written; so is such a temporary folder (EngineTempFolder).
#include <QString>
#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

QString ProgramPath();
void SetProgramPath(const QString& path);
// The program's folder with its trailing "/".
QString ProgramDir();
// The program path with its extension replaced by ".INI".
QString IniPath();
QString HelpPath();
// The database folder "DB" beside the program, as the engine names it (code page 932
// text). Only for a program folder that ProgramDirRefusal lets pass.
std::string DatabaseFolder();
// The longest path of the program's folder (without its trailing "/"), in bytes of
// code page 932, whose database folder still leaves room for the longest name the
// engine gives a file of the program's tables: the engine names a file by at most
// 255 bytes, folder included.
std::size_t LongestProgramDir();
// Why the program cannot keep its records in its folder, in the user's words: a
// character of the folder's path that the engine cannot name files by (named), or a
// path longer than LongestProgramDir. Empty when there is none.
QString ProgramDirRefusal();
// The longest path of the temporary folder (without its trailing "/"), in bytes of
// code page 932, that still leaves room for the longest name the engine gives a file
// there (in the session's own folder, where the lists and queries make their result
// tables).
std::size_t LongestTempDir();
// The system's temporary folder as the engine names it (code page 932 text); false,
// with `refusal` in the user's words, when the engine cannot name files by its path
// or it is longer than LongestTempDir.
bool EngineTempFolder(std::string& folder, QString& refusal);
// A path the program takes from Qt or the user (its own, a file dialog's) as the engine
// names it, in code page 932: false when the engine cannot name that file, as code
// page 932 does not hold a character of it (or holds it one way only, so that it would
// come back as another), or a "\" stands in a name, where the engine would read a
// separator.
bool EnginePath(const QString& path, std::string& cp932);
// Whether a file can be created in the folder (the program never writes elsewhere):
// 0 when one can, else why not as a Win32 number (platform/LastError.h). The probe
// goes through the file layer's call table (platform/FileCalls.h).
uint32_t FolderWriteError(const QString& dir);

}  // namespace app

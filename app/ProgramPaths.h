#pragma once
// Where the program keeps its files: all of them beside the executable (its settings
// file named after it with ".INI", the "DB" folder, "readme.txt", the help page).
// Tests point the program path elsewhere with SetProgramPath.
#include <cstdint>
#include <string>

namespace app {

std::string ProgramPath();
void SetProgramPath(const std::string& path);
// The program's folder with its trailing "/".
std::string ProgramDir();
// The program path with its extension replaced by ".INI".
std::string IniPath();
std::string DatabaseDir();
std::string HelpPath();
// Whether a file can be created in the folder (the program never writes elsewhere):
// 0 when one can, else why not as a Win32 number (platform/LastError.h). The probe
// goes through the file layer's call table (platform/FileCalls.h).
uint32_t FolderWriteError(const std::string& dir);

}  // namespace app

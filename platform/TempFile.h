#pragma once
// GetTempFileNameA: names and creates temporary files.
//
// With unique 0 the file is created exclusively (O_CREAT | O_EXCL) under the first free
// number from 1 up, so two programs asking at the same moment always get two different
// files, and a file that exists is never taken over or deleted. With another unique the
// name is only built. The name is path + the first three characters of prefix + the
// number in upper-case hexadecimal + ".tmp". The path and the name are engine text
// (code page 932), as GetTempPath gives the folder; NativePath turns the name into the
// system's bytes for a caller that opens the file with the system's own calls.
#include <cstdint>
#include <string>

namespace platform {

// The number used, 0 when no file could be created (the last error says why).
uint32_t GetTempFileName(const std::string& path, const std::string& prefix, uint32_t unique, std::string* name);

}  // namespace platform

#pragma once
// SANE's "test" backend for the scanning tests, through a private configuration folder.
#include <string>
#include <vector>

namespace kura::test {

// Whether SANE and its "test" backend are installed. The backend is kept loaded for the
// rest of the process (SANE unloads it at every shutdown), so that the leak check at exit
// still knows it and leaves out its own memory (lost when its reader threads are
// cancelled), whichever thread allocated it.
bool UseSaneTestBackend();

// The configuration folder of this process, made at the first call and removed at exit;
// every call points SANE_CONFIG_DIR at it. SANE takes the folder's name from the first
// sane_init of a process and keeps it, so every test of a program shares this one folder
// and writes what it needs into it (WriteSaneTestConfig) before it scans.
const std::string& SaneConfigFolder();

// Writes the configuration of the "test" backend with two devices into the process's
// folder: the backend's own defaults, then `settings` ("key value" lines of its
// configuration file, later lines win). Without the backend in dll.conf when withBackend
// is false. SANE reads the files again at every start.
void WriteSaneTestConfig(const std::vector<std::string>& settings, bool withBackend = true);

}  // namespace kura::test

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

// SANE's backends cancel their reader threads asynchronously. A cancel that lands while a
// reader is still starting (allocating its buffer) ends it inside the allocator with the
// allocator's lock held, and the process hangs at its next allocation of that size: SANE's
// own fault, which no caller can prevent through its interface. A test that has a page
// cancelled right after its start first waits, with this, until every other thread of the
// process is blocked writing (a reader with its page) or gone. False when that did not come
// within timeoutMs.
bool WaitForSaneReaders(int timeoutMs = 30000);

}  // namespace kura::test

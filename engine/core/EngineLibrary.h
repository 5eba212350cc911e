#pragma once
// Start-up and shut-down of the engine's process-wide objects: the expression token
// pool, the record-bitmap pool, the collation maps, the open-file registry and the
// library's critical section.
#include "engine/files/OSServices.h"

namespace kura {

// Guards library-wide state; exists between InitEngineLibrary and DoneEngineLibrary.
extern PCriticalSection LibrarySection;
// Windows 95 needed its case mapping done through a heap copy; false on every platform
// this engine runs on, as GetOSPlatform never reports the 9x family.
extern bool IsWindows95;

// Creates the missing global objects in order. Calling it again creates nothing new.
void InitEngineLibrary();
// Frees the global objects in reverse order; safe when nothing was created.
void DoneEngineLibrary();

}  // namespace kura

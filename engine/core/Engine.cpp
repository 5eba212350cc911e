#include "engine/core/Engine.h"

#include <chrono>
#include <cstdlib>
#include <unistd.h>

#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"

namespace kura {

namespace {

// Constant-initialised, so they hold before any code of another file may run.
bool EngineInitialized = false;
// The current global session, replaceable by SetEngineSession.
TDataSession* EngineSession = nullptr;
// The session InitializeEngine created. Shut-down frees this one rather than
// whatever is current, so a session installed with SetEngineSession is not freed
// twice (its creator frees it) and the global one is not lost.
TDataSession* CreatedEngineSession = nullptr;

// Work done once when the engine is loaded, before the first session exists.
struct TEngineLoad {
    TEngineLoad() {
        // The error context's lock is made now, so it outlives everything that may
        // still raise while the process winds down.
        LockEngineErrorContext();
        UnlockEngineErrorContext();
    }
};
const TEngineLoad EngineLoad;

}  // namespace

bool IsEngineInitialized() { return EngineInitialized; }

void InitializeEngine() {
    if (EngineInitialized) return;
    InitEngineLibrary();
    // Only a complete start-up counts as on, so a failed one can be tried again.
    try {
        CreatedEngineSession = new TDataSession(0);
    } catch (...) {
        DoneEngineLibrary();
        throw;
    }
    EngineSession = CreatedEngineSession;
    EngineInitialized = true;
}

void ShutdownEngine() {
    if (!EngineInitialized) return;
    delete CreatedEngineSession;
    CreatedEngineSession = nullptr;
    EngineSession = nullptr;
    DoneEngineLibrary();
    EngineInitialized = false;
}

TDataSession* GetEngineSession() {
    if (!EngineInitialized) RaiseEngineError(KURA_NOTINITIALIZED);
    return EngineSession;
}

void SetEngineSession(TDataSession* session) { EngineSession = session; }

TDataSession* CreateSession(TDataSession*& session, uint8_t creationFlag) {
    session = new TDataSession(creationFlag);
    return session;
}

void FreeSession(TDataSession*& session) {
    delete session;
    session = nullptr;
}

}  // namespace kura

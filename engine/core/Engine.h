#pragma once
// The engine's process-wide state: whether it is switched on and its global
// session. The dataset components switch the engine on when their first session
// starts and off when they are unloaded; they create one further session per
// session component. All of this runs on the components' thread and takes no lock.
#include <cstdint>

#include "engine/core/DataSession.h"

namespace kura {

bool IsEngineInitialized();

// Starts the engine library and creates the global session; does nothing when the
// engine is already on.
void InitializeEngine();
// Frees the global session and shuts the engine library down; does nothing when
// the engine is off.
void ShutdownEngine();

// The current global session (nil after SetEngineSession with nil). Raises
// KURA_NOTINITIALIZED while the engine is off.
TDataSession* GetEngineSession();
// Makes a session the current one; the previous one is neither freed nor checked.
void SetEngineSession(TDataSession* session);

// Sessions of their own, independent of the global one; freeing a session closes
// its databases.
TDataSession* CreateSession(TDataSession*& session, uint8_t creationFlag = 0);
// Frees the session when it is not nil and clears the variable.
void FreeSession(TDataSession*& session);

}  // namespace kura

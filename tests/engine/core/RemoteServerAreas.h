#pragma once
// The request areas the loopback test server answers. A new area is a header that
// defines Register<Area>Area(TServerAreas&) and one line in each list below.
#include "tests/engine/core/RemoteServerCursors.h"
#include "tests/engine/core/RemoteServerSessions.h"
#include "tests/engine/core/RemoteServerTables.h"

namespace kura::test {

inline void RegisterServerAreas(TServerAreas& areas) {
    RegisterSessionArea(areas);
    RegisterTableArea(areas);
    RegisterCursorArea(areas);
}

}  // namespace kura::test

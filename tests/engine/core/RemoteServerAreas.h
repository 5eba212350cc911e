#pragma once
// The request areas the loopback test server answers. A new area is a header that
// defines Register<Area>Area(TServerAreas&) and one line in each list below.
#include "tests/engine/core/RemoteServerCursors.h"
#include "tests/engine/core/RemoteServerFilters.h"
#include "tests/engine/core/RemoteServerIndexes.h"
#include "tests/engine/core/RemoteServerRecords.h"
#include "tests/engine/core/RemoteServerSessions.h"
#include "tests/engine/core/RemoteServerStatements.h"
#include "tests/engine/core/RemoteServerTables.h"
#include "tests/engine/core/RemoteServerTransfers.h"

namespace kura::test {

inline void RegisterServerAreas(TServerAreas& areas) {
    RegisterSessionArea(areas);
    RegisterTableArea(areas);
    RegisterCursorArea(areas);
    RegisterRecordsArea(areas);
    RegisterStatementsArea(areas);
    RegisterFilterArea(areas);
    RegisterIndexArea(areas);
    RegisterTransferArea(areas);
}

}  // namespace kura::test

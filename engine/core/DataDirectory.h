#pragma once
// One open database of a session: a folder on disk, or the in-memory database
// "Memory". The session creates it with `new TDataDirectory(session)`, fills in
// the name and path, counts the references and deletes it at the last close or
// when the session ends (TSessionDatabase, DataSession.h).
//
// Still to come here from the database layer: the shared tables, the table
// operations by name and the transactions over the database's tables. The
// constructor signature and a non-throwing destructor are what the session needs.
#include "engine/core/DataSession.h"

namespace kura {

class TDataDirectory : public TSessionDatabase {
public:
    explicit TDataDirectory(TDataSession* session) : TSessionDatabase(session) {}
    ~TDataDirectory() override = default;
};

}  // namespace kura

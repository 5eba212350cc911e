// TKuraDBDataSet: the binding of an engine dataset to a session and a database by
// name. The database is opened through the session when the first DB flag is set
// and closed when the last one is cleared.
#include "components/KuraDataSet.h"
#include "components/KuraDatabase.h"
#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "engine/files/Routines.h"
#include "platform/dataset/DatabaseError.h"

namespace kura {

TKuraDBDataSet::TKuraDBDataSet(TComponent* owner) : TKuraDataSet(owner) {
    if (owner) {
        for (TComponent* c : owner->Components()) {
            auto* s = dynamic_cast<TKuraSession*>(c);
            if (s && s->AutoSessionName()) FSessionName = s->SessionName();
        }
    }
}

TKuraDBDataSet::~TKuraDBDataSet() {
    try {
        Close();
    } catch (...) {
    }
    if (FDatabase) {
        FDatabase->RemoveDataSet(this);
        FDatabase = nullptr;
    }
}

TKuraSession* TKuraDBDataSet::DBSession() const { return FDatabase ? FDatabase->Session() : nullptr; }

void TKuraDBDataSet::SetDBFlag(int flag, bool value) {
    const uint16_t bit = static_cast<uint16_t>(1u << flag);
    if (value) {
        if (FDBFlags == 0) {
            TKuraSession* session = Sessions().GetSession(FSessionName);
            // A database component of that name in the default session serves when the
            // dataset's own session has none.
            if (!session->FindDatabase(FDatabaseName) && session != &Session()) {
                TKuraDatabase* shared = Session().FindDatabase(FDatabaseName);
                if (shared && !shared->Temporary()) shared->SetConnected(true);
            }
            FDatabase = session->OpenDatabase(FDatabaseName, Owner());
            FDatabase->AddDataSet(this);
        }
        FDBFlags = static_cast<uint16_t>(FDBFlags | bit);
    } else {
        if (!(FDBFlags & bit)) return;
        FDBFlags = static_cast<uint16_t>(FDBFlags & ~bit);
        if (FDBFlags == 0 && FDatabase) {
            TKuraDatabase* database = FDatabase;
            FDatabase = nullptr;
            database->RemoveDataSet(this);
            if (TKuraSession* session = database->Session()) session->CloseDatabase(database);
        }
    }
}

void TKuraDBDataSet::OpenCursor() {
    SetDBFlag(0, true);
    try {
        TKuraDataSet::OpenCursor();
    } catch (...) {
        SetDBFlag(0, false);
        throw;
    }
}

void TKuraDBDataSet::CloseCursor() {
    TKuraDataSet::CloseCursor();
    SetDBFlag(0, false);
}

void TKuraDBDataSet::SetDatabaseName(const std::string& value) {
    const std::string v = NormalizePathDelimiters(value);
    if (Loading()) {
        FDatabaseName = v;
        DatabaseNameChanged();
        return;
    }
    if (v == FDatabaseName) return;
    CheckInactive();
    if (FDBFlags != 0) DatabaseError(msg::DatabaseOpen);
    FDatabaseName = v;
    DatabaseNameChanged();
    DataEvent(dePropertyChange, 0);
}

void TKuraDBDataSet::SetSessionName(const std::string& value) {
    CheckInactive();
    FSessionName = value;
    DataEvent(dePropertyChange, 0);
}

}  // namespace kura

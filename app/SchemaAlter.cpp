// AlterTable: columns added at the end and columns redefined, every row kept. The
// table is taken for exclusive use while it changes, so another program that holds
// it open makes this fail with the engine's sharing error.
#include <algorithm>

#include "app/Schema.h"
#include "components/FieldTypeMap.h"
#include "components/KuraDatabase.h"
#include "components/KuraSession.h"
#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/core/Restructure.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/FieldDefs.h"

namespace app {

void AlterTable(kura::TKuraDatabase& db, const std::string& table, const std::vector<TColumnSpec>& add,
                const std::vector<TColumnSpec>& redefine) {
    if (!db.Handle()) kura::DatabaseError("Database is not connected");
    kura::TSessionLock lock(db.Session());
    kura::TDataCursor c(db.Handle());
    c.SetTableName(table);
    c.SetExclusive(true);
    c.OpenCursor();
    kura::TRestructureParams p;
    try {
        kura::TDataTable& t = *c.GetTable();
        p.LocaleId = t.GetLocaleId();
        p.SortId = t.GetSortId();
        p.UserMajor = t.GetUserMajorVersion();
        p.UserMinor = t.GetUserMinorVersion();
        p.Encrypted = t.IsEncrypted();
        p.Password = t.GetPassword();
        p.Description = t.GetDescription();
        if (t.HasBlobFields()) p.BlobBlockSize = t.GetBlobBlockSize();
        for (uint16_t i = 1; i <= t.GetFieldCount(); ++i) {
            kura::TFieldDesc d;
            t.GetFieldDesc(i, d);
            p.Fields.push_back(d);
        }
        p.IndexCount = t.GetIndexCount();
        for (uint8_t s = 0; s <= p.IndexCount; ++s) t.GetIndexFile().GetIndexDesc(s, p.Indexes[s]);
        if (t.GetNoPrimaryIndex()) p.Indexes[0] = kura::TIndexDesc();
        t.GetIndexFile().GetIndexDesc(kura::SYS_TEXT_SLOT, p.Indexes[kura::SYS_TEXT_SLOT]);
    } catch (...) {
        c.CloseCursor(false);
        throw;
    }
    c.CloseCursor(false);

    auto def = [](const TColumnSpec& spec) {
        kura::TFieldDef d;
        d.Name = spec.Name;
        d.DataType = spec.Type;
        d.Size = spec.Size;
        d.Required = spec.NotNull;
        return d;
    };
    for (const TColumnSpec& spec : redefine) {
        auto it = std::find_if(p.Fields.begin(), p.Fields.end(),
                               [&](const kura::TFieldDesc& d) { return kura::SameText(d.Name(), spec.Name); });
        if (it == p.Fields.end()) kura::DatabaseErrorFmt("Field '%s' not found", spec.Name);
        // The same field number: the column keeps its values.
        *it = kura::FieldDescFromDef(def(spec), it->FieldNo());
    }
    uint16_t next = static_cast<uint16_t>(p.Fields.size() + 1);
    for (const TColumnSpec& spec : add) p.Fields.push_back(kura::FieldDescFromDef(def(spec), next++));
    p.SuppressBackups = true;
    c.RestructureTable(p);
}

}  // namespace app

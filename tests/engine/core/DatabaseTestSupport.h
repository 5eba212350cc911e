#pragma once
// What the engine-level fixtures are built from: a session of its own with one
// database in a folder, and table definitions laid out field by field. Uses no
// test framework, so the helper processes share it.
#include <cstdint>
#include <optional>
#include <string>

#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/files/FieldTypes.h"

namespace kura::test {

// Lock waits are short so that a test of a lock conflict fails fast.
struct SessionDb {
    explicit SessionDb(const std::string& path, int32_t retries = 2, int32_t waitMs = 20,
                       std::optional<uint8_t> lockProtocol = std::nullopt) {
        if (lockProtocol) session.SetLockProtocol(*lockProtocol);
        session.SetLockRetryCount(retries);
        session.SetLockWaitTime(waitMs);
        dir = session.OpenDataDirectory("DB", path);
    }
    TDataSession session;
    TDataDirectory* dir = nullptr;
};

inline TFieldDesc NewField(const char* name, TEngineFieldType type, uint8_t size = 0, uint8_t subType = 0,
                           uint8_t decimals = 0) {
    TFieldDesc d;
    d.SetName(name);
    d.SetFieldType(type);
    d.SetSubType(subType);
    d.SetDeclaredSize(size);
    d.SetDeclaredDecimals(decimals);
    return d;
}

// Adds the field after those of the definition, numbered in order: at `offset`,
// which then moves past it, or in the record header when it is the
// auto-increment field. Offsets start at 9, behind the record header.
inline TFieldDesc& PlaceField(TTableDefinition& def, int32_t& offset, TFieldDesc d) {
    d.SetFieldNo(static_cast<uint16_t>(def.Fields.size() + 1));
    d.SetPosition(static_cast<uint16_t>(def.Fields.size() + 1));
    d.DerivePhysical();
    if (d.IsAutoInc()) {
        d.SetOffset(5);
    } else {
        d.SetOffset(static_cast<uint16_t>(offset));
        offset += d.StoredSize() + 1;
    }
    def.Fields.push_back(d);
    return def.Fields.back();
}

}  // namespace kura::test

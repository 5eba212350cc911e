#pragma once
// Field definitions laid out one after the other, for benchmarks that build their
// tables by hand.
#include <cstdint>

#include "engine/files/FieldDesc.h"
#include "engine/files/IndexFile.h"

namespace kura::bench {

// Field number `number` at `offset`, which then moves past the field and its
// null byte.
inline TFieldDesc Field(const char* name, TEngineFieldType type, uint8_t size, int32_t& offset, uint16_t number) {
    TFieldDesc d;
    d.SetName(name);
    d.SetFieldType(type);
    d.SetDeclaredSize(size);
    d.SetFieldNo(number);
    d.SetPosition(number);
    d.DerivePhysical();
    d.SetOffset(static_cast<uint16_t>(offset));
    offset += d.StoredSize() + 1;
    return d;
}

// An index on one field: unique (a 4-byte key and its presence byte) or not (the
// row identifier follows the key).
inline TIndexDesc OneFieldIndex(const char* name, uint16_t field, bool unique) {
    TIndexDesc d;
    d.SetName(name);
    d.SetField(0, field);
    d.SetByte(ido::FieldCount, 1);
    d.SetByte(ido::Unique, unique ? 1 : 0);
    d.SetKeySize(unique ? 5 : 9);
    return d;
}

}  // namespace kura::bench

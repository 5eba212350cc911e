#pragma once
// Field definitions laid out one after the other, for benchmarks that build their
// tables by hand.
#include <cstdint>

#include "engine/files/FieldDesc.h"

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

}  // namespace kura::bench

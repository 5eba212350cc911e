#include "platform/twain/TwainTypes.h"

#include <cmath>

namespace platform::twain {

int ItemSize(uint16_t itemType) {
    static constexpr int sizes[] = {1, 2, 4, 1, 2, 4, 2, 4, 16, 34, 66, 130, 256};
    return itemType < std::size(sizes) ? sizes[itemType] : 0;
}

void SetStr32(char (&field)[34], const std::string& text) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, text.data(), std::min<size_t>(text.size(), sizeof field - 1));
}

std::string GetStr32(const char (&field)[34]) {
    return std::string(field, strnlen(field, sizeof field));
}

TW_FIX32 ToFix32(double value) {
    const auto n = static_cast<int32_t>(std::trunc(value * 65536.0 + 0.5));
    TW_FIX32 fix;
    fix.Whole = static_cast<int16_t>(static_cast<uint32_t>(n) >> 16);
    fix.Frac = static_cast<uint16_t>(static_cast<uint32_t>(n) & 0xFFFF);
    return fix;
}

double FromFix32(TW_FIX32 value) {
    // Four decimals, halves to even as the component's rounding does.
    const double exact = (value.Whole + value.Frac / 65536.0) * 10000.0;
    return std::nearbyint(exact) / 10000.0;
}

}  // namespace platform::twain

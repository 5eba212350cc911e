#include "app/ThousandsFormat.h"

namespace app {

std::string FormatThousands(int64_t value) {
    // The magnitude in unsigned arithmetic: the most negative value has no positive twin.
    uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    const std::string digits = std::to_string(magnitude);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i != 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return value < 0 ? "-" + out : out;
}

}  // namespace app

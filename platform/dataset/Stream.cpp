#include "platform/dataset/Stream.h"

namespace kura {

int64_t TStream::Size() {
    const int64_t here = Seek(0, soCurrent);
    const int64_t end = Seek(0, soEnd);
    Seek(here, soBeginning);
    return end;
}

std::string TStream::ReadAll() {
    std::string out;
    char buffer[65536];
    for (;;) {
        const int32_t n = Read(buffer, static_cast<int32_t>(sizeof buffer));
        if (n <= 0) break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace kura

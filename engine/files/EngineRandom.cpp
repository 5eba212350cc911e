#include "engine/files/EngineRandom.h"

#include <chrono>
#include <mutex>
#include <random>
#include <unistd.h>

namespace kura {

int32_t RandomReaderByte() {
    static std::mutex section;
    static std::minstd_rand generator(static_cast<uint32_t>(
        std::chrono::system_clock::now().time_since_epoch().count() ^ (static_cast<uint64_t>(getpid()) << 16)));
    std::lock_guard<std::mutex> lock(section);
    const int32_t r = static_cast<int32_t>(generator() % 65536u);
    return r == 0 ? 1 : r;
}

}  // namespace kura

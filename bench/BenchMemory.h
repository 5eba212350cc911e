#pragma once
// The process's resident memory around one benchmark case, as the kernel counts it
// (/proc/self/status): the peak is reset when the case starts (writing 5 to
// /proc/self/clear_refs sets the peak back to what is resident then), so that the
// peak read at its end belongs to that case and not to one run before it in the
// same process. Both figures are of the whole process, in MB (2^20 bytes): what
// other cases left resident counts in, and is shown as `rss_before_MB`.
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

namespace kura::bench {

// VmRSS or VmHWM in MB; 0 when the kernel does not say.
inline double ResidentMB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(key) + ":";
    while (std::getline(status, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
    }
    return 0;
}

class MemoryWatch {
public:
    MemoryWatch() {
        std::ofstream("/proc/self/clear_refs") << "5";
        FBefore = ResidentMB("VmRSS");
    }
    // Peak since the start, and what is resident now (after the case's commit or
    // close), beside the case's time.
    void Report(benchmark::State& state) const {
        state.counters["rss_before_MB"] = FBefore;
        state.counters["peak_MB"] = ResidentMB("VmHWM");
        state.counters["rss_after_MB"] = ResidentMB("VmRSS");
    }

    // The peak since the start above what was resident at the start.
    double AddedMB() const { return ResidentMB("VmHWM") - FBefore; }

private:
    double FBefore = 0;
};

}  // namespace kura::bench

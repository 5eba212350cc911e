#include "tests/common/SaneTestSupport.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "tests/common/TestSupport.h"

// The test backend's reader thread is cancelled at the end of every page, before it
// frees its buffer, and the backend keeps copies of its device names.
extern "C" const char* __lsan_default_suppressions() { return "leak:libsane-test.so\n"; }

namespace kura::test {

bool UseSaneTestBackend() {
    static const bool loaded = [] {
        // The backends lie in the "sane" folder beside the library.
        void* sane = dlopen("libsane.so.1", RTLD_LAZY | RTLD_LOCAL);
        link_map* map = nullptr;
        if (!sane || dlinfo(sane, RTLD_DI_LINKMAP, &map) != 0) return false;
        const std::string path = std::filesystem::path(map->l_name).parent_path() / "sane/libsane-test.so.1";
        dlclose(sane);
        return dlopen(path.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NODELETE) != nullptr;
    }();
    return loaded;
}

const std::string& SaneConfigFolder() {
    static TempDir folder;
    setenv("SANE_CONFIG_DIR", folder.path().c_str(), 1);
    return folder.path();
}

void WriteSaneTestConfig(const std::vector<std::string>& settings, bool withBackend) {
    const std::string& folder = SaneConfigFolder();
    std::ofstream(folder + "/dll.conf") << (withBackend ? "test\n" : "");
    std::ofstream conf(folder + "/test.conf");
    // The backend's own defaults, which a configuration file without them would lose.
    conf << "number_of_devices 2\nmode Gray\ndepth 8\nhand-scanner false\nthree-pass false\n"
            "three-pass-order RGB\nresolution_min 1.0\nresolution_max 1200.0\nresolution_quant 1.0\n"
            "resolution 50.0\ntest-picture \"Solid black\"\nread-limit false\nread-status-code \"Default\"\n"
            "geometry_min 0.0\ngeometry_max 200.0\ngeometry_quant 1.0\ntl_x 0.0\ntl_y 0.0\n"
            "br_x 80.0\nbr_y 100.0\n";
    for (const std::string& s : settings) conf << s << "\n";
}

}  // namespace kura::test

#include "platform/twain/SourceManager.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/twain/SaneSourceManager.h"

namespace platform::twain {
namespace {

std::mutex& FactoryGuard() {
    static std::mutex guard;
    return guard;
}

SourceManagerFactory& Factory() {
    static SourceManagerFactory factory;
    return factory;
}

Host DefaultHost() {
    Host host;
    host.DisableWindow = [](void*) { return false; };
    host.EnableWindow = [](void*) {};
    host.IsWindow = [](void* window) { return window != nullptr; };
    host.ProcessEvents = [] {};
    host.SelectSource = [](const std::vector<std::string>& names, int current) {
        return names.empty() ? -1 : (current >= 0 ? current : 0);
    };
    host.Trace = [](const std::string& text) {
        if (std::getenv("KURA_TRACE_SCANNER")) std::fprintf(stderr, "%s\n", text.c_str());
    };
    return host;
}

Host& HostSlot() {
    static Host host = DefaultHost();
    return host;
}

}  // namespace

std::unique_ptr<SourceManager> LoadSourceManager() {
    SourceManagerFactory factory;
    {
        std::lock_guard lock(FactoryGuard());
        factory = Factory();
    }
    if (factory) return factory();
    return CreateSaneSourceManager();
}

void SetSourceManagerFactory(SourceManagerFactory factory) {
    std::lock_guard lock(FactoryGuard());
    Factory() = std::move(factory);
}

Host& CurrentHost() { return HostSlot(); }

void SetHost(Host host) {
    // Hooks left empty keep their default.
    Host defaults = DefaultHost();
    if (!host.DisableWindow) host.DisableWindow = defaults.DisableWindow;
    if (!host.EnableWindow) host.EnableWindow = defaults.EnableWindow;
    if (!host.IsWindow) host.IsWindow = defaults.IsWindow;
    if (!host.ProcessEvents) host.ProcessEvents = defaults.ProcessEvents;
    if (!host.SelectSource) host.SelectSource = defaults.SelectSource;
    if (!host.Trace) host.Trace = defaults.Trace;
    HostSlot() = std::move(host);
}

void OutputDebugString(const std::string& text) { CurrentHost().Trace(text); }

}  // namespace platform::twain

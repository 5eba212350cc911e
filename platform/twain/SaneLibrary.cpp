#include "platform/twain/SaneLibrary.h"

#include <dlfcn.h>
#include <pthread.h>

#include <mutex>

namespace platform::twain {

SaneLibrary::~SaneLibrary() {
    if (initialised && exit) exit();
    if (module) dlclose(module);
}

namespace {

// Backends stop their reader threads with asynchronous cancellation. The first
// pthread_exit or pthread_cancel of a process makes glibc (2.34 and later) load libgcc_s's
// unwinder while it holds the loader lock; a cancel that lands inside that load ends the
// thread with the lock still held, and every later dlopen, dlclose or thread creation of
// the process waits for ever. One thread that leaves through pthread_exit, joined before
// any backend runs, makes that load happen here, where nothing can cancel it.
void LoadThreadUnwinder() {
    static std::once_flag once;
    std::call_once(once, [] {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, [](void*) -> void* { pthread_exit(nullptr); }, nullptr) == 0)
            pthread_join(thread, nullptr);
    });
}

template <typename F>
bool Bind(void* module, const char* name, F& slot) {
    slot = reinterpret_cast<F>(dlsym(module, name));
    return slot != nullptr;
}
}  // namespace

std::shared_ptr<SaneLibrary> LoadSaneLibrary() {
    static std::mutex guard;
    static std::weak_ptr<SaneLibrary> shared;
    std::lock_guard lock(guard);
    if (auto existing = shared.lock()) return existing;
    LoadThreadUnwinder();
    auto lib = std::make_shared<SaneLibrary>();
    lib->module = dlopen("libsane.so.1", RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (!lib->module) return nullptr;
    const bool bound = Bind(lib->module, "sane_init", lib->init) &&
                       Bind(lib->module, "sane_exit", lib->exit) &&
                       Bind(lib->module, "sane_get_devices", lib->get_devices) &&
                       Bind(lib->module, "sane_open", lib->open) &&
                       Bind(lib->module, "sane_close", lib->close) &&
                       Bind(lib->module, "sane_get_option_descriptor", lib->get_option_descriptor) &&
                       Bind(lib->module, "sane_control_option", lib->control_option) &&
                       Bind(lib->module, "sane_get_parameters", lib->get_parameters) &&
                       Bind(lib->module, "sane_start", lib->start) &&
                       Bind(lib->module, "sane_read", lib->read) &&
                       Bind(lib->module, "sane_cancel", lib->cancel);
    if (!bound) return nullptr;
    SANE_Int version = 0;
    if (lib->init(&version, nullptr) != SANE_STATUS_GOOD) return nullptr;
    lib->initialised = true;
    shared = lib;
    return lib;
}

}  // namespace platform::twain

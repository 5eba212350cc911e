#pragma once
// The SANE library, loaded at run time so that the program starts (and every other
// window works) on a machine without scanner support.
#include <memory>

#include <sane/sane.h>

namespace platform::twain {

struct SaneLibrary {
    SANE_Status (*init)(SANE_Int*, SANE_Auth_Callback) = nullptr;
    void (*exit)() = nullptr;
    SANE_Status (*get_devices)(const SANE_Device***, SANE_Bool) = nullptr;
    SANE_Status (*open)(SANE_String_Const, SANE_Handle*) = nullptr;
    void (*close)(SANE_Handle) = nullptr;
    const SANE_Option_Descriptor* (*get_option_descriptor)(SANE_Handle, SANE_Int) = nullptr;
    SANE_Status (*control_option)(SANE_Handle, SANE_Int, SANE_Action, void*, SANE_Int*) = nullptr;
    SANE_Status (*get_parameters)(SANE_Handle, SANE_Parameters*) = nullptr;
    SANE_Status (*start)(SANE_Handle) = nullptr;
    SANE_Status (*read)(SANE_Handle, SANE_Byte*, SANE_Int, SANE_Int*) = nullptr;
    void (*cancel)(SANE_Handle) = nullptr;

    ~SaneLibrary();
    void* module = nullptr;
    bool initialised = false;
};

// nullptr when "libsane.so.1" or one of its entry points is missing, or sane_init fails.
// SANE's state is process-wide, so every manager shares one loaded library, which is
// shut down when the last of them lets it go.
std::shared_ptr<SaneLibrary> LoadSaneLibrary();

}  // namespace platform::twain

#pragma once
// The source manager the scanner component loads and calls with triplets (data group,
// data argument type, message). On Linux it is our own manager over SANE
// (SaneSourceManager.h); tests inject a manager of their own through the factory seam.
//
// The host hooks stand for what the manager and the component need of the windowing
// system: disabling the parent window around the modal loop, pumping pending events,
// asking the user to choose a source, and the debug trace. Without a GUI they do
// nothing (no window, no events, the default source, trace to stderr when
// KURA_TRACE_SCANNER is set).
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/twain/TwainTypes.h"

namespace platform::twain {

class SourceManager {
public:
    virtual ~SourceManager() = default;
    // One triplet. origin is the application's identity; dest the source's identity, or
    // nullptr for calls to the manager itself.
    virtual uint16_t Entry(TW_IDENTITY* origin, TW_IDENTITY* dest, uint32_t group, uint16_t dat,
                           uint16_t msg, void* data) = 0;
};

// Loads the manager: nullptr when it cannot be loaded (no SANE library on this machine).
std::unique_ptr<SourceManager> LoadSourceManager();

// Replaces how LoadSourceManager makes a manager; an empty function restores SANE.
using SourceManagerFactory = std::function<std::unique_ptr<SourceManager>()>;
void SetSourceManagerFactory(SourceManagerFactory factory);

struct Host {
    // Disables the window and answers whether it was enabled before.
    std::function<bool(void* window)> DisableWindow;
    std::function<void(void* window)> EnableWindow;
    std::function<bool(void* window)> IsWindow;
    // Runs pending window events once; the modal loop calls it between offers to the source.
    std::function<void()> ProcessEvents;
    // The user's choice among the product names: its index, or -1 when cancelled.
    std::function<int(const std::vector<std::string>& names, int current)> SelectSource;
    std::function<void(const std::string& text)> Trace;
};
Host& CurrentHost();
void SetHost(Host host);

void OutputDebugString(const std::string& text);

}  // namespace platform::twain

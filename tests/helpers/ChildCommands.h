#pragma once
// Commands of the test child program. A command reads its arguments, does its work
// and talks to the parent through stdout lines ("ready", "ok", "fail 11013", ...)
// and stdin lines ("go", "quit"). Its return value is the process exit code.
#include <functional>
#include <string>
#include <vector>

namespace kura::testchild {

using Command = std::function<int(const std::vector<std::string>& args)>;

// Registers a command under a name; use through a static ChildCommand object.
void registerCommand(const std::string& name, Command cmd);

struct ChildCommand {
    ChildCommand(const std::string& name, Command cmd) { registerCommand(name, std::move(cmd)); }
};

// Line protocol with the parent.
void say(const std::string& line);
std::string hear();  // one line from stdin without its newline; "" at end of input

}  // namespace kura::testchild

#include "tests/helpers/ChildCommands.h"

#include <cstdio>
#include <iostream>
#include <map>

namespace kura::testchild {

static std::map<std::string, Command>& commands() {
    static std::map<std::string, Command> table;
    return table;
}

void registerCommand(const std::string& name, Command cmd) { commands()[name] = std::move(cmd); }

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string hear() {
    std::string line;
    if (!std::getline(std::cin, line)) return "";
    return line;
}

}  // namespace kura::testchild

int main(int argc, char** argv) {
    using namespace kura::testchild;
    if (argc < 2) {
        std::fprintf(stderr, "usage: kura_test_child COMMAND [ARGS...]\n");
        return 2;
    }
    auto it = commands().find(argv[1]);
    if (it == commands().end()) {
        std::fprintf(stderr, "unknown command %s\n", argv[1]);
        return 2;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    return it->second(args);
}

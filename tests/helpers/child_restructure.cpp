// Second-process command for the restructure crash tests.
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/core/TableSwap.h"
#include "engine/errors/EngineErrors.h"
#include "tests/engine/core/RestructureTestSupport.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::say;

int StopStep = -1;

// rst-add-field DIR NAME STEP: adds the field "Extra" to the table, saying "ready"
// before it starts and "done" when it finished. With STEP >= 1 the process ends
// abruptly, without any clean-up, right after that step of the file swap.
const kura::testchild::ChildCommand addField("rst-add-field", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    kura::InitEngineLibrary();
    auto session = std::make_unique<kura::TDataSession>();
    kura::TDataDirectory* dir = session->OpenDataDirectory("DB", args[0]);
    StopStep = std::stoi(args[2]);
    if (StopStep >= 1)
        kura::TableSwapStepHook = [](int step) {
            if (step == StopStep) std::_Exit(9);
        };
    try {
        kura::TRestructureParams p = kura::test::CurrentDefinition(dir, args[1]);
        kura::TFieldDesc extra = kura::test::NewField("Extra", kura::fldINT32);
        extra.SetFieldNo(77);
        p.Fields.push_back(extra);
        kura::TDataCursor c(dir);
        c.SetTableName(args[1]);
        c.SetExclusive(true);
        say("ready");
        c.RestructureTable(p);
    } catch (const kura::EKuraEngineError& e) {
        say("error " + std::to_string(e.ErrorCode()));
        return 1;
    }
    say("done");
    return 0;
});

}  // namespace

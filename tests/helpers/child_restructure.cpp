// Second-process commands for the restructure crash tests.
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/core/TableSwap.h"
#include "engine/errors/EngineErrors.h"
#include "platform/FileCalls.h"
#include "tests/engine/core/RestructureTestSupport.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::say;

int StopStep = -1;

// Restructures the table in the folder, KIND "index" adding the index "ByAge" (a
// rebuild in place), otherwise adding the field "Extra" (a copy and swap); ready
// runs right before. Says "error <code>" and answers 1 when the engine refuses.
int Restructure(const std::string& folder, const std::string& name, const std::string& kind,
                const std::function<void()>& ready) {
    kura::InitEngineLibrary();
    auto session = std::make_unique<kura::TDataSession>();
    kura::TDataDirectory* dir = session->OpenDataDirectory("DB", folder);
    try {
        kura::TRestructureParams p = kura::test::CurrentDefinition(dir, name);
        if (kind == "index") {
            kura::TIndexDesc byAge;
            byAge.SetName("ByAge");
            byAge.SetField(0, kura::test::sAge);
            p.Indexes[++p.IndexCount] = byAge;
        } else {
            kura::TFieldDesc extra = kura::test::NewField("Extra", kura::fldINT32);
            extra.SetFieldNo(77);
            p.Fields.push_back(extra);
        }
        kura::TDataCursor c(dir);
        c.SetTableName(name);
        c.SetExclusive(true);
        ready();
        c.RestructureTable(p);
    } catch (const kura::EKuraEngineError& e) {
        say("error " + std::to_string(e.ErrorCode()));
        return 1;
    }
    return 0;
}

// rst-add-field DIR NAME STEP: adds the field "Extra" to the table, saying "ready"
// before it starts and "done" when it finished. With STEP >= 1 the process ends
// abruptly, without any clean-up, right after that step of the file swap.
const kura::testchild::ChildCommand addField("rst-add-field", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    StopStep = std::stoi(args[2]);
    if (StopStep >= 1)
        kura::TableSwapStepHook = [](int step) {
            if (step == StopStep) std::_Exit(9);
        };
    if (Restructure(args[0], args[1], "field", [] { say("ready"); }) != 0) return 1;
    say("done");
    return 0;
});

// rst-stop-at DIR NAME KIND CALL: restructures the table as Restructure does for
// KIND. With CALL >= 1 the process is killed right before its CALLth write, sync or
// cut of a file; otherwise it says "done <write calls>" at the end.
const kura::testchild::ChildCommand stopAt("rst-stop-at", [](const std::vector<std::string>& args) {
    if (args.size() < 4) return 2;
    const uint64_t at = std::stoull(args[3]);
    if (Restructure(args[0], args[1], args[2],
                    [at] { platform::ArmFileFault({at, platform::FileFaultAction::Stop, 5}); }) != 0)
        return 1;
    say("done " + std::to_string(platform::FileWriteCalls()));
    return 0;
});

}  // namespace

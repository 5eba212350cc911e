// Second-process commands for the filter tests: random writes into the filter
// table while the parent's filtered cursor watches.
#include <memory>
#include <sstream>
#include <string>

#include "engine/core/EngineLibrary.h"
#include "tests/engine/core/FilterTestSupport.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using kura::testchild::hear;
using kura::testchild::say;

// DIR TABLE SEED: opens a cursor in natural order, says "ready", then for each
// "write <n>" makes n random writes of the model and says "ok" (or "error <code>").
template <class Model>
int RunWriter(const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    kura::InitEngineLibrary();
    int result = 0;
    {
        kura::TDataSession session;
        session.SetLockRetryCount(200);
        session.SetLockWaitTime(10);
        kura::TDataDirectory* dir = session.OpenDataDirectory("DB", args[0]);
        kura::TDataCursor cursor(dir);
        cursor.SetTableName(args[1]);
        cursor.OpenCursor();
        cursor.SwitchToIndex(kura::NATURAL_ORDER);
        Model model(static_cast<uint32_t>(std::stoul(args[2])));
        model.nextId = 100000;
        say("ready");
        for (;;) {
            const std::string line = hear();
            if (line.empty() || line == "quit") break;
            std::istringstream in(line);
            std::string command;
            int count = 0;
            in >> command >> count;
            try {
                for (int i = 0; i < count; ++i) model.RandomWrite(cursor);
                say("ok");
            } catch (const kura::EKuraEngineError& e) {
                say("error " + std::to_string(e.ErrorCode()));
                result = 1;
            }
        }
        cursor.CloseCursor(false);
    }
    kura::DoneEngineLibrary();
    return result;
}

// filter-writer DIR TABLE SEED on a table of FilterTable.
const kura::testchild::ChildCommand writer("filter-writer", RunWriter<kura::test::filters::FilterModel>);
// wide-writer DIR TABLE SEED on a table of WideTable.
const kura::testchild::ChildCommand wideWriter("wide-writer", RunWriter<kura::test::filters::WideModel>);

}  // namespace

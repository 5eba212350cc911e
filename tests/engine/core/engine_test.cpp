#include "engine/core/Engine.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "engine/core/DataDirectory.h"
#include "engine/errors/EngineErrors.h"
#include "engine/expr/ExpTokenPool.h"
#include "engine/files/EngineFile.h"

using namespace kura;

namespace {

// The code and the context of the engine error that GetEngineSession raises.
void ExpectNotInitialized() {
    try {
        GetEngineSession();
        FAIL() << "no error raised";
    } catch (const EKuraEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), KURA_NOTINITIALIZED);
        EXPECT_THAT(e.what(), testing::HasSubstr("The database engine is not initialized"));
        for (int slot = 0; slot < EngineErrorContextStrings; ++slot) EXPECT_EQ(e.ErrorContext(slot), "") << slot;
    }
}

}  // namespace

TEST(Engine, StartsAndStopsIdempotently) {
    // Stopped at load: no session, and stopping again does nothing.
    EXPECT_FALSE(IsEngineInitialized());
    ExpectNotInitialized();
    ShutdownEngine();
    EXPECT_FALSE(IsEngineInitialized());
    EXPECT_EQ(ExpTokenStack, nullptr);

    InitializeEngine();
    EXPECT_TRUE(IsEngineInitialized());
    EXPECT_NE(ExpTokenStack, nullptr);
    EXPECT_NE(FileList, nullptr);
    TDataSession* global = GetEngineSession();
    ASSERT_NE(global, nullptr);
    EXPECT_EQ(global->GetCreationFlag(), 0);

    // A second start keeps the one global session (ASan reports a second one as a leak).
    InitializeEngine();
    EXPECT_EQ(GetEngineSession(), global);

    // The global session's databases go with it.
    global->OpenDataDirectory("DB", "");
    ShutdownEngine();
    EXPECT_FALSE(IsEngineInitialized());
    EXPECT_EQ(ExpTokenStack, nullptr);
    EXPECT_EQ(FileList, nullptr);
    ExpectNotInitialized();
    ShutdownEngine();

    // And the engine starts again with a fresh session.
    InitializeEngine();
    EXPECT_NE(GetEngineSession(), nullptr);
    ShutdownEngine();
    ExpectNotInitialized();
}

TEST(Engine, CurrentSessionIsReplaceable) {
    InitializeEngine();
    TDataSession* global = GetEngineSession();

    // nil is a valid current session and gives no error.
    SetEngineSession(nullptr);
    EXPECT_EQ(GetEngineSession(), nullptr);

    TDataSession* own = nullptr;
    EXPECT_EQ(CreateSession(own, 0), own);
    ASSERT_NE(own, nullptr);
    EXPECT_NE(own, global);
    SetEngineSession(own);
    EXPECT_EQ(GetEngineSession(), own);

    // Shut-down frees the session it created, not the current one: the own session
    // survives for its creator to free, and the global one does not leak.
    ShutdownEngine();
    ExpectNotInitialized();
    own->AddPassword("still alive");
    EXPECT_TRUE(own->PasswordExists("still alive"));
    FreeSession(own);
    EXPECT_EQ(own, nullptr);
}

TEST(Engine, SessionsLiveOnTheirOwn) {
    // Sessions do not need the engine to be on.
    TDataSession* a = nullptr;
    TDataSession* b = nullptr;
    CreateSession(a, 0);
    CreateSession(b, 1);
    EXPECT_EQ(b->GetCreationFlag(), 1);
    a->SetLockRetryCount(2);
    EXPECT_EQ(b->GetLockRetryCount(), 15);

    // Freeing a session closes its databases, however many references they hold.
    TDataDirectory* dir = a->OpenDataDirectory("DB", "");
    a->OpenDataDirectory("DB", "");
    EXPECT_EQ(dir->References, 2);
    FreeSession(a);
    EXPECT_EQ(a, nullptr);
    FreeSession(a);  // nil: nothing
    FreeSession(b);
}

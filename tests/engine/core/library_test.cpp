#include "engine/core/EngineLibrary.h"

#include <gtest/gtest.h>

#include "engine/expr/ExpTokenPool.h"
#include "engine/files/Locale.h"
#include "engine/files/RecordsBitmap.h"

using namespace kura;

TEST(EngineLibrary, StartUpAndShutDown) {
    DoneEngineLibrary();  // before any start-up: nothing to free
    EXPECT_EQ(LibrarySection, nullptr);

    InitEngineLibrary();
    ASSERT_NE(ExpTokenStack, nullptr);
    ASSERT_NE(RecordsBitmapStack, nullptr);
    ASSERT_NE(LanguageCharMaps, nullptr);
    ASSERT_NE(LibrarySection, nullptr);
    EXPECT_FALSE(IsWindows95);

    // A second start-up keeps the objects it finds (ASan would report a leak otherwise).
    TExpTokenStack* pool = ExpTokenStack;
    TLanguageCharMapsList* maps = LanguageCharMaps;
    PCriticalSection section = LibrarySection;
    InitEngineLibrary();
    EXPECT_EQ(ExpTokenStack, pool);
    EXPECT_EQ(LanguageCharMaps, maps);
    EXPECT_EQ(LibrarySection, section);

    // The objects work: the section is re-entrant, nodes and maps go through the globals.
    EnterCritical(LibrarySection);
    EnterCritical(LibrarySection);
    LeaveCritical(LibrarySection);
    LeaveCritical(LibrarySection);
    TExpToken* node = AllocExpToken();
    ReleaseExpToken(node);
    EXPECT_EQ(ExpTokenStack->Count(), 1);
    TCharMap map{};
    GetLanguageCharMap(0x0409, 0, map);
    GetLanguageCharMap(0x0409, 0, map);
    EXPECT_EQ(LanguageCharMaps->Count(), 1);

    DoneEngineLibrary();
    EXPECT_EQ(ExpTokenStack, nullptr);
    EXPECT_EQ(RecordsBitmapStack, nullptr);
    EXPECT_EQ(LanguageCharMaps, nullptr);
    EXPECT_EQ(LibrarySection, nullptr);
    DoneEngineLibrary();  // twice is harmless

    // And the library starts again after a shut-down.
    InitEngineLibrary();
    EXPECT_NE(ExpTokenStack, nullptr);
    EXPECT_EQ(ExpTokenStack->Count(), 0);
    DoneEngineLibrary();
}

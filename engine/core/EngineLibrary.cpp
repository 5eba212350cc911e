#include "engine/core/EngineLibrary.h"

#include "engine/expr/ExpTokenPool.h"
#include "engine/files/Locale.h"
#include "engine/files/EngineFile.h"
#include "engine/files/RecordsBitmap.h"

namespace kura {

PCriticalSection LibrarySection = nullptr;
bool IsWindows95 = false;

namespace {
constexpr int64_t kWindows95Version = 40000;  // 4.0 with four implied decimals
constexpr uint32_t kPlatformWin9x = 1;
}  // namespace

void InitEngineLibrary() {
    IsWindows95 = GetOSVersion() == kWindows95Version && GetOSPlatform() == kPlatformWin9x;
    // Each object is created only when missing, so a second start-up leaks nothing.
    if (!ExpTokenStack) ExpTokenStack = new TExpTokenStack();
    if (!RecordsBitmapStack) RecordsBitmapStack = new TRecordsBitmapStack();
    if (!LanguageCharMaps) LanguageCharMaps = new TLanguageCharMapsList();
    if (!FileList) FileList = new TFileList();
    if (!LibrarySection) {
        LibrarySection = NewCriticalSection();
        InitCriticalSection(LibrarySection);
    }
}

void DoneEngineLibrary() {
    if (LibrarySection) {
        DoneCriticalSection(LibrarySection);
        FreeCriticalSection(LibrarySection);
    }
    // Frees every file object still registered.
    delete FileList;
    FileList = nullptr;
    delete LanguageCharMaps;
    LanguageCharMaps = nullptr;
    delete RecordsBitmapStack;
    RecordsBitmapStack = nullptr;
    delete ExpTokenStack;
    ExpTokenStack = nullptr;
}

}  // namespace kura

#pragma once
// Test-program environments: library-wide state set up once before the first
// test and taken down after the last. Register one with
//   ::testing::AddGlobalTestEnvironment(new kura::test::FileListEnvironment);
#include <gtest/gtest.h>

#include "engine/files/EngineFile.h"

namespace kura::test {

template <void (*SetUpFn)(), void (*TearDownFn)()>
class CallEnvironment : public ::testing::Environment {
public:
    void SetUp() override { SetUpFn(); }
    void TearDown() override { TearDownFn(); }
};

inline void CreateFileList() {
    if (!FileList) FileList = new TFileList();
}
inline void DestroyFileList() {
    delete FileList;
    FileList = nullptr;
}

// The registry of open files, for tests of the file layer without the engine
// library around it. The engine tests use
// CallEnvironment<InitEngineLibrary, DoneEngineLibrary> instead.
using FileListEnvironment = CallEnvironment<CreateFileList, DestroyFileList>;

}  // namespace kura::test

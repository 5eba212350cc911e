#pragma once
// Shared by the program's tests: one headless application, a scratch program folder
// the program believes it lives in, and the messages the program would have shown.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <QApplication>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>

#include "app/DMdata.h"
#include "app/MainWindow.h"
#include "app/ProgramPaths.h"
#include "components/KuraSession.h"
#include "platform/gui/Application.h"
#include "tests/common/TestSupport.h"

namespace app::test {

inline gui::TApplication& App() {
    static int argc = 1;
    static char name[] = "yomitora";
    static char* argv[] = {name, nullptr};
    static gui::TApplication* app = [] {
        setenv("QT_QPA_PLATFORM", "offscreen", 0);
        return new gui::TApplication(argc, argv);
    }();
    return *app;
}

// The user clicks only a button the message offers: any other answer is the message
// closed without one, which answers Cancel, else No, else OK, as the message box does.
inline int Clicked(int answer, unsigned buttons) {
    const std::pair<int, unsigned> offered[] = {
        {gui::mrYes, gui::mbYes}, {gui::mrNo, gui::mbNo}, {gui::mrOk, gui::mbOK}, {gui::mrCancel, gui::mbCancel}};
    for (const auto& [result, button] : offered)
        if (result == answer && (buttons & button)) return answer;
    return (buttons & gui::mbCancel) ? gui::mrCancel : (buttons & gui::mbNo) ? gui::mrNo : gui::mrOk;
}

class AppTest : public ::testing::Test {
protected:
    void SetUp() override {
        App();
        SetProgramPath(QString::fromStdString(kura::test::Native(dir.file("yomitora"))));
        gui::SetMessageHook([this](const gui::TMessage& m) {
            messages << m.text;
            return Clicked(answer, m.buttons);
        });
    }
    void TearDown() override {
        CloseMain();
        gui::SetMessageHook(nullptr);
        SetProgramPath("");
        kura::DoneSessions();
    }
    // A main window shown as the program shows it, its start-up run.
    TFmain& StartMain() {
        CloseMain();
        Fmain = new TFmain;
        Fmain->show();
        QApplication::processEvents();
        return *Fmain;
    }
    // Closes the main window (writing its settings) and ends the data module and engine.
    void CloseMain() {
        if (Fmain) Fmain->close();
        EndProgram();
    }
    std::string Read(const std::string& path) const;
    kura::test::TempDir dir;
    QStringList messages;
    int answer = gui::mrOk;
};

inline std::string AppTest::Read(const std::string& path) const {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
        std::fclose(f);
    }
    return text;
}

}  // namespace app::test

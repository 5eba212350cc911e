// The program: the application object, the splash, the main window and its loop.
//
// For the start-up benchmark and the test of `make run` alone: with the environment variable
// YOMITORA_EXIT_WHEN_SHOWN set, the program writes the line "shown" and the
// processor time it has used (milliseconds) on its standard output once the main
// window is shown and started up (the tables checked and opened, both views
// filled), then closes the window as its close button does and ends. The benchmark
// starts the program as a process and times exec to that line; the test of `make run`
// starts it where it was installed. Without the variable nothing of this happens.
#include <QTimer>
#include <cstdio>
#include <ctime>

#include "app/DMdata.h"
#include "app/MainWindow.h"
#include "app/ProgramPaths.h"
#include "app/Splash.h"
#include "app/StartReasons.h"
#include "platform/gui/Application.h"
#include "platform/gui/Text.h"
#include "platform/twainqt/ScannerHost.h"

int main(int argc, char** argv) {
    gui::TApplication application(argc, argv);
    gui::TApplication::Title = gui::U8("ヨミトラ");
    application.setApplicationName(gui::TApplication::Title);
    gui::UseJapanese();
    platform::twain::InstallQtScannerHost();
    app::TFsplash* splash = app::ShowStartSplash();

    // Settings and data live beside the program and nowhere else.
    const QString dir = app::ProgramDir();
    QString refusal = app::ProgramDirRefusal();
    if (refusal.isEmpty()) refusal = app::ProgramFolderRefusal(dir);
    if (!refusal.isEmpty()) {
        gui::MessageDlg(refusal, gui::mtError, gui::mbOK);
        delete splash;
        return 1;
    }

    int result = 1;
    gui::Guarded([&] {
        app::Fmain = new app::TFmain;
        splash->CloseWhenShown(app::Fmain);
        app::TFsplash hidden;  // made and never shown
        app::Fmain->show();
        // The start-up ran in the show; one that failed has said why.
        if (app::Fmain->StartFailed()) {
            if (qEnvironmentVariableIsSet("YOMITORA_EXIT_WHEN_SHOWN")) std::printf("not started\n");
            return;
        }
        if (qEnvironmentVariableIsSet("YOMITORA_EXIT_WHEN_SHOWN")) {
            QTimer::singleShot(0, app::Fmain, [] {
                const double cpuMs = 1000.0 * static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
                std::printf(app::Fmain->StartedUp() ? "shown %.1f\n" : "not started %.1f\n", cpuMs);
                std::fflush(stdout);
                app::Fmain->close();
                QCoreApplication::quit();
            });
        }
        result = application.exec();
    });
    app::EndProgram();
    return result;
}

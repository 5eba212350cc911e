// The program: the application object, the splash, the main window and its loop.
#include "app/DMdata.h"
#include "app/MainWindow.h"
#include "app/ProgramPaths.h"
#include "app/Splash.h"
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
    const std::string dir = app::ProgramDir();
    if (!app::FolderWritable(dir)) {
        gui::MessageDlg(gui::U8("プログラムのフォルダ ") + gui::QStr(dir) +
                            gui::U8(" に書き込めません。\n設定ファイルとデータベースはこのフォルダに置かれます。"),
                        gui::mtError, gui::mbOK);
        delete splash;
        return 1;
    }

    int result = 1;
    gui::Guarded([&] {
        app::Fmain = new app::TFmain;
        splash->CloseWhenShown(app::Fmain);
        app::TFsplash hidden;  // made and never shown
        app::Fmain->show();
        result = application.exec();
    });
    app::EndProgram();
    return result;
}

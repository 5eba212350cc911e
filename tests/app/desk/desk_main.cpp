// A second desk for the program's tests: the real program (main window, staff list,
// staff record editor) on a program folder, in a process of its own, driven line by
// line through stdin and stdout while its event loop runs. Lines in:
//   open <code>    the employee's row chosen in the staff list and double-clicked;
//                  answers "editing <code>" once the editor shows, "message <text>"
//                  for whatever the program says instead, then "closed" once the
//                  editor has closed or its start has ended
//   table          ﾃﾞｰﾀ → 従業員ﾃｰﾌﾞﾙ: "maintaining" once the table maintenance window
//                  shows with its transaction, "message <text>" for whatever the
//                  program says instead, then "closed" once the window has closed
//   simei <text>   types the name (UTF-8) into the open editor, or into the current
//                  row of table maintenance (its first): "ok" / "no editor", or
//                  "message <text>" for what the program says instead
//   ok | cancel    the open editor's Ｏ　Ｋ or キャンセル (or the table maintenance
//                  window's OK or キャンセル): "ok" / "no editor"
//   ping           "pong", answered also while the program waits for another one
//   quit           closes the main window; the program ends
// Lines out start with "ready" once the main window has started, or with what the
// program said and "ended <n>" when its start failed (exit code 1), n the times it
// waited for a table another program held. Message texts have their line breaks
// written as " | ". After the folder, a place where the program stops (SIGSTOP; once
// continued it goes on), so that another program meets its start there:
//   stop-when-made NAME   right after the file layer's call that makes NAME ("Staff.DAT")
//   pause-at N            at the file layer's Nth write call
// or where it ends (SIGKILL), as a crash would end it (never when it makes fewer calls):
//   kill-at N NAME        before the file layer's Nth call that creates, writes, truncates,
//                         syncs, deletes or renames a file whose path holds NAME
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <QAction>
#include <QLineEdit>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <string>

#include "app/DBGridEx.h"
#include "app/DMdata.h"
#include "app/MainWindow.h"
#include "app/MakatiButton.h"
#include "app/MasterMente.h"
#include "app/ProgramPaths.h"
#include "app/StaffDaityo.h"
#include "components/KuraDatabase.h"
#include "components/KuraTable.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/FileCalls.h"
#include "platform/gui/DataGrid.h"
#include "tests/common/FileCallFaults.h"

namespace {

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string Flat(QString text) {
    text.replace("\r", "").replace("\n", " | ");
    return text.toStdString();
}

// The row of the employee in the staff list, made current; false when not listed.
bool ChooseRow(int code) {
    kura::TDataSet& q = *app::Fmain->Qstaff;
    for (q.First(); !q.Eof(); q.Next())
        if (q.FieldByName("StaffCD")->AsInteger() == code) return true;
    return false;
}

void Open(int code) {
    app::Fmain->SaisinBTNClick();
    if (!ChooseRow(code)) {
        Say("missing");
        return;
    }
    QTimer seen;
    seen.setInterval(5);
    QObject::connect(&seen, &QTimer::timeout, [&seen, code] {
        if (!app::FstaffDaityo || !app::FstaffDaityo->isVisible()) return;
        seen.stop();
        Say("editing " + std::to_string(code));
    });
    seen.start();
    gui::TDBGrid& grid = *app::Fmain->StaffGrid;
    Q_EMIT grid.doubleClicked(grid.currentIndex());
    // The start ended either way: the editor closed, or it never opened.
    Say("closed");
}

void Table() {
    QTimer seen;
    seen.setInterval(5);
    QObject::connect(&seen, &QTimer::timeout, [&seen] {
        if (!app::Fstaff || !app::Fstaff->isVisible() || !app::DMdata->DataDB->InTransaction()) return;
        seen.stop();
        Say("maintaining");
    });
    seen.start();
    app::Fmain->findChild<QAction*>("Staff1")->trigger();
    Say("closed");
}

void StopWhenMade(const std::string& name) {
    static std::string made;  // "/Staff.DAT" until it is made
    made = "/" + name;
    platform::FileCalls().open = [](const char* path, int flags, mode_t mode) {
        const int fd = platform::SystemFileCalls().open(path, flags, mode);
        if (fd >= 0 && (flags & O_CREAT) && !made.empty() && std::string_view(path).ends_with(made))
            made.clear(), ::raise(SIGSTOP);
        return fd;
    };
}

void Run(const std::string& line) {
    const std::size_t space = line.find(' ');
    const std::string command = line.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (command == "open") {
        Open(std::atoi(rest.c_str()));
    } else if (command == "table") {
        Table();
    } else if (command == "simei" && app::Fstaff) {
        kura::TKuraTable& table = *app::Fstaff->Table1;
        if (gui::Guarded([&] {
                table.Edit();
                table.FieldByName("Simei")->SetAsUtf8(rest);
            }))
            Say("ok");
    } else if ((command == "ok" || command == "cancel") && app::Fstaff) {
        QPushButton* button = command == "ok" ? app::Fstaff->BitBtn2 : app::Fstaff->BitBtn1;
        Say("ok");
        gui::Guarded([button] { button->click(); });
    } else if (command == "simei" || command == "ok" || command == "cancel") {
        if (!app::FstaffDaityo) return Say("no editor");
        if (command == "simei") {
            auto* edit = app::FstaffDaityo->findChild<QLineEdit*>("SimeiEDT");
            const QString text = QString::fromStdString(rest);
            edit->setText(text);
            Q_EMIT edit->textEdited(text);
            Q_EMIT edit->editingFinished();
        } else {
            QPushButton* button = command == "ok" ? static_cast<QPushButton*>(app::FstaffDaityo->OkBTN)
                                                  : static_cast<QPushButton*>(app::FstaffDaityo->CanBTN);
            // Said first: the click ends the editor's loop, and with it the open.
            Say("ok");
            gui::Guarded([button] { button->click(); });
            return;
        }
        Say("ok");
    } else if (command == "ping") {
        Say("pong");
    } else if (command == "quit") {
        app::Fmain->close();
        QApplication::quit();
    } else {
        Say("unknown " + command);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: yomitora_desk PROGRAM_FOLDER [stop-when-made NAME | pause-at N | kill-at N NAME]\n", stderr);
        return 2;
    }
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    gui::TApplication application(argc, argv);
    app::SetProgramPath(QString::fromUtf8(argv[1]) + "/yomitora");
    gui::SetMessageHook([](const gui::TMessage& m) {
        Say("message " + Flat(m.text));
        return gui::mrOk;
    });
    const std::string stop = argc > 3 ? argv[2] : "";
    if (stop == "stop-when-made") StopWhenMade(argv[3]);
    if (stop == "pause-at") platform::ArmFileFault({std::stoull(argv[3]), platform::FileFaultAction::Pause, 5});
    // Stands between the file layer and the kernel for the whole run.
    static std::optional<kura::test::FileCallFaults> faults;
    if (stop == "kill-at" && argc > 4) faults.emplace(argv[4]), faults->Arm(std::stoull(argv[3]), true);
    app::Fmain = new app::TFmain;
    app::Fmain->show();
    QApplication::processEvents();
    if (app::Fmain->StartFailed()) {
        // The program has said why (a "message" line) and ends.
        int waits = 0;
        for (const auto& step : app::Fmain->StartupTimes) waits += step.first.ends_with("_waited");
        Say("ended " + std::to_string(waits));
        app::EndProgram();
        gui::SetMessageHook(nullptr);
        return 1;
    }
    Say("ready");
    // Each line runs from the event loop, so that a line read while another one waits
    // (a start waiting for the other program) is answered meanwhile.
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    std::string pending;
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char chunk[512];
        const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (n <= 0) {
            input.setEnabled(false);
            QTimer::singleShot(0, [] { Run("quit"); });
            return;
        }
        pending.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            QTimer::singleShot(0, [line] { Run(line); });
        }
    });
    const int result = application.exec();
    app::EndProgram();
    gui::SetMessageHook(nullptr);
    return result;
}

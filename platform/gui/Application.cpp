#include "platform/gui/Application.h"

#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QPushButton>
#include <QThreadPool>
#include <cstdlib>
#include <exception>

#include "platform/Sync.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/gui/Text.h"

namespace gui {

QString TApplication::Title;

namespace {
TMessageHook& Hook() {
    static TMessageHook hook;
    return hook;
}
}  // namespace

void SetMessageHook(TMessageHook hook) { Hook() = std::move(hook); }

namespace {
TExceptionWords& Words() {
    static TExceptionWords words;
    return words;
}
}  // namespace

void SetExceptionWords(TExceptionWords words) { Words() = std::move(words); }

QString ExceptionText(const std::exception& e) {
    const QString own = Words() ? Words()(e) : QString();
    if (!own.isEmpty()) return own;
    // The engine's and the datasets' texts are code page 932, whatever they hold.
    if (dynamic_cast<const kura::EDatabaseError*>(&e)) return QStr(e.what());
    return MessageText(e.what());
}

namespace {

// How long the end of the program waits for Qt's worker threads to leave.
constexpr std::chrono::milliseconds WorkerEndLimit{2000};

}  // namespace

// Qt fills large areas and scales pictures (the scanned pages, the previews, the
// printed sheets) on the threads of its global pool, which wait half a minute for the
// next job before they end on their own. A process must not exit with them there: one
// that ends on its own, or runs, while the exit handlers (and, under the sanitizers,
// the leak check) run can bring the exit down. They are waited for until the system has
// let them go, since Qt's own wait returns while a thread is still leaving.
void EndWorkerThreads() {
    if (!QCoreApplication::instance()) return;  // the application object has ended them
    QThreadPool* pool = QThreadPool::globalInstance();
    if (!pool) return;
    const std::vector<int> workers = platform::ThreadsNamed("Thread (pooled)");
    pool->waitForDone();
    platform::WaitForThreadsToLeave(workers, WorkerEndLimit);
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // Also for an application object that lives until the process ends.
    static const bool atExit = std::atexit(EndWorkerThreads) == 0;
    (void)atExit;
}

TApplication::~TApplication() { EndWorkerThreads(); }

QTranslator* UseJapanese() {
    const QLocale japanese(QLocale::Japanese, QLocale::Japan);
    QLocale::setDefault(japanese);
    auto* translator = new QTranslator(qApp);
    // "qt" is the catalogue that gathers qtbase and the other modules.
    if (!translator->load(japanese, "qt", "_", QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        !QCoreApplication::installTranslator(translator)) {
        delete translator;
        return nullptr;
    }
    return translator;
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowException();
        return true;
    }
}

void ShowException(QWidget* parent) {
    try {
        throw;
    } catch (const kura::EAbort&) {
    } catch (const std::exception& e) {
        MessageDlg(ExceptionText(e), mtError, mbOK, parent);
    } catch (...) {
        MessageDlg(QStringLiteral("Unknown error"), mtError, mbOK, parent);
    }
}

bool Guarded(const std::function<void()>& f, QWidget* parent) {
    try {
        f();
        return true;
    } catch (...) {
        ShowException(parent);
        return false;
    }
}

int MessageDlg(const QString& text, TMsgDlgType type, unsigned buttons, QWidget* parent) {
    if (Hook()) return Hook()({text, type, buttons});
    QMessageBox box(parent);
    box.setObjectName("MessageDlg");
    box.setWindowTitle(TApplication::Title.isEmpty() ? QApplication::applicationName() : TApplication::Title);
    box.setText(text);
    switch (type) {
    case mtWarning: box.setIcon(QMessageBox::Warning); break;
    case mtError: box.setIcon(QMessageBox::Critical); break;
    case mtInformation: box.setIcon(QMessageBox::Information); break;
    case mtConfirmation: box.setIcon(QMessageBox::Question); break;
    case mtCustom: break;
    }
    struct Choice {
        unsigned flag;
        QMessageBox::StandardButton button;
        int result;
    };
    const Choice choices[] = {{mbYes, QMessageBox::Yes, mrYes},
                              {mbNo, QMessageBox::No, mrNo},
                              {mbOK, QMessageBox::Ok, mrOk},
                              {mbCancel, QMessageBox::Cancel, mrCancel}};
    for (const auto& c : choices)
        if (buttons & c.flag) box.addButton(c.button);
    box.exec();
    for (const auto& c : choices)
        if (box.clickedButton() == box.button(c.button)) return c.result;
    return (buttons & mbCancel) ? mrCancel : (buttons & mbNo) ? mrNo : mrOk;
}

void ShowMessage(const QString& text, QWidget* parent) { MessageDlg(text, mtCustom, mbOK, parent); }

}  // namespace gui

#pragma once
// The application object and the one place where exceptions stop.
//
// Every event and every slot runs inside TApplication::notify: an exception that an
// event handler lets escape is shown there (ShowException) and goes no further, so
// nothing ever unwinds through Qt's event loop. EAbort stays silent. Code that runs
// outside an event (start-up in main) wraps itself in Guarded, which does the same.
//
// Message boxes carry the program's own texts and buttons and answer the modal
// results of the forms (mrOk 1, mrCancel 2, mrYes 6, mrNo 7). Tests answer them
// without a screen through SetMessageHook; with a hook set no box is shown.
#include <QApplication>
#include <QTranslator>
#include <functional>
#include <string>

namespace gui {

enum TModalResult : int { mrNone = 0, mrOk = 1, mrCancel = 2, mrAbort = 3, mrRetry = 4, mrIgnore = 5, mrYes = 6, mrNo = 7 };
enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation, mtCustom };
enum TMsgDlgButton : unsigned { mbYes = 1, mbNo = 2, mbOK = 4, mbCancel = 8 };

// The application object ends Qt's worker threads (those that paint and scale
// pictures) when it is destroyed, or when the process exits while it still lives, and
// waits until they are gone: no process of the program exits with them running.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;
    bool notify(QObject* receiver, QEvent* event) override;
    // Title of message boxes (the program's title).
    static QString Title;
};

// Ends the worker threads Qt paints and scales pictures on, and waits until they are
// gone (nothing when there is no application object). TApplication does so itself; a
// plain QApplication that lives until the process exits needs this at exit.
void EndWorkerThreads();

// Qt's own dialogs (files, printing, standard buttons) in Japanese through Qt's
// translations (Debian's qt6-translations-l10n), and the Japanese locale for the
// calendar's month and weekday names. Answers the installed translator (owned by the
// application), or nullptr when the translations are not installed.
QTranslator* UseJapanese();

// The program's own words for failures it knows the cause of (a full disk, say):
// the text to show for the exception, or an empty text for its message.
using TExceptionWords = std::function<QString(const std::exception&)>;
void SetExceptionWords(TExceptionWords words);
// What the program shows for the exception: its own words, else the message (an
// engine or dataset error's as code page 932 text).
QString ExceptionText(const std::exception& e);

// Shows the current exception (call inside a catch block); EAbort shows nothing.
void ShowException(QWidget* parent = nullptr);
// Runs f; an exception is shown and swallowed. Answers whether f ran to its end.
bool Guarded(const std::function<void()>& f, QWidget* parent = nullptr);

// The message and its buttons (a set of TMsgDlgButton); answers the modal result.
int MessageDlg(const QString& text, TMsgDlgType type, unsigned buttons, QWidget* parent = nullptr);
void ShowMessage(const QString& text, QWidget* parent = nullptr);

// A test's stand-in for the user: sees each message and answers its modal result.
struct TMessage {
    QString text;
    TMsgDlgType type;
    unsigned buttons;
};
using TMessageHook = std::function<int(const TMessage&)>;
void SetMessageHook(TMessageHook hook);

}  // namespace gui

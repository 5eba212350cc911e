#pragma once
// The base form of the program's windows (all but the about box, the splash window
// and the report windows): it restores and saves its window's position, size and
// state in the settings file under a section named after the form's object name,
// moves the focus to the next control on Enter, and remembers the normal bounds of a
// maximised window. Its status bar StatusBar1 has panel 0 (the form's name) and
// panel 1.
//
// TForm1 is a dialog, TFormMain the main window; both share TFormBehaviour. A window
// whose border is fixed (Sizeable false) keeps its designed size at show but still
// writes its size at close. Stored positions at or beyond the primary screen's right
// or bottom edge become 0.
//
// The stored bounds are the client area (QWidget::geometry), written and read alike, so
// the window-manager frame never shifts a window from one start to the next; a shown
// or restored window is kept inside the available area of its screen, title bar
// included: placed with the frame it is expected to get, and placed again once the
// window manager has framed it, as near to the bounds it should have as its real frame
// allows (so a frame smaller than expected does not leave it shifted either). A window
// moved or resized from outside the program meanwhile (by the user, or the window
// manager) stays as it was put: a move is kept whenever it happens.
#include <QDialog>
#include <QLabel>
#include <QMargins>
#include <QMainWindow>
#include <QRect>
#include <QStatusBar>
#include <optional>
#include <string>

namespace app {

class TStatusBar : public QStatusBar {
public:
    explicit TStatusBar(QWidget* parent);
    // Panel 0 has a width of 100; panel 1 takes the rest.
    QLabel* Panel(int index) const { return index == 0 ? panel0_ : panel1_; }

private:
    QLabel* panel0_;
    QLabel* panel1_;
};

// The geometry and Enter-key behaviour, over any top-level widget.
class TFormBehaviour {
public:
    explicit TFormBehaviour(QWidget* form) : form_(form) {}
    std::string WindowStateText;
    int SavedTop = 0, SavedLeft = 0, SavedWidth = 0, SavedHeight = 0;
    bool Sizeable = true;

    void RestoreGeometry(TStatusBar* status);
    void SaveGeometry();
    // After the window was restored from maximised or minimised (and before a save):
    // takes the normal bounds.
    void Restored();
    // The client bounds moved and shrunk into the available area of the screen they are
    // on (or the primary screen), leaving room for the form's frame (FrameOf).
    static QRect KeepOnScreen(QRect bounds, const QWidget* form);
    // The same within the given area and frame margins.
    static QRect KeepInside(QRect bounds, const QMargins& frame, const QRect& area);
    // The form's frame margins: its own once the window manager has framed it; before
    // that (a window manager frames a window only after it is shown) those of another
    // framed window of the program, else a usual title bar and border.
    static QMargins FrameOf(const QWidget* form);
    static constexpr int UsualTitleBar = 32, UsualBorder = 4;
    // Whenever the program has placed the window (shown or restored): the bounds it
    // wants the window to have.
    void Placed(const QRect& wanted);
    // After a show or a restore, once the frame is known: places the window so that all of
    // it, title bar included, is on the available area, as near to the wanted bounds as
    // it can. False while the frame is not known yet (try again later); the last try
    // takes the window as it is framed then. Nothing once the window was moved or
    // resized from outside the program since it placed it.
    bool Settle(bool last = false);
    // Where Settle puts a window now at `now`, placed by the program at `placed` to have
    // `wanted`, with its frame (null: not known) on the area; nothing when the window
    // is to stay where it is, as it was moved or resized since it was placed.
    static std::optional<QRect> SettledBounds(const QRect& now, const QRect& placed, const QRect& wanted,
                                              const QMargins& frame, const QRect& area);
    // Enter as Tab; true when the key was swallowed. The memo exception leaves Enter
    // to multi-line text boxes.
    static bool EnterAsTab(QWidget* form, bool memoException);

private:
    QWidget* form_;
    QRect placed_, wanted_;
};

// The base form's events shared by the dialog and the main-window forms.
template <class Base>
class TFormOf : public Base {
public:
    explicit TFormOf(QWidget* parent = nullptr);
    ~TFormOf() override;
    TStatusBar* StatusBar1;
    TFormBehaviour Form;

    // Run on every show and at close; descendants call these first.
    virtual void FormShow() { Form.RestoreGeometry(StatusBar1); }
    virtual void FormClose() { Form.SaveGeometry(); }
    // Asked before the window closes (by the user or the program): false keeps it open.
    virtual bool FormCloseQuery() { return true; }
    // Within the moments after a show or a restore in which the window is placed again
    // once it is framed.
    bool Settling() const { return settling_; }

protected:
    void showEvent(QShowEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // Settles the window at its paints and moves for 1.5 s after a show or a restore.
    void StartSettling();
    bool settling_ = false;
};

class TForm1 : public TFormOf<QDialog> {
public:
    explicit TForm1(QWidget* parent = nullptr);
    // The area above the status bar where the form's controls go.
    QWidget* Client() const { return client_; }
    void done(int result) override;

protected:
    // Enter is the base form's (as Tab, or the grid's next cell): it never clicks a
    // dialog's default button.
    void keyPressEvent(QKeyEvent* event) override;

private:
    QWidget* client_;
};

class TFormMain : public TFormOf<QMainWindow> {
public:
    explicit TFormMain(QWidget* parent = nullptr);

protected:
    void closeEvent(QCloseEvent* event) override;
};

// The base form's colour and font.
void ApplyFormLook(QWidget* form);

}  // namespace app

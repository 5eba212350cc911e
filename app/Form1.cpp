#include "app/Form1.h"

#include <algorithm>

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QScreen>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QWindowStateChangeEvent>

#include "app/ProgramPaths.h"
#include "platform/dataset/DataSet.h"
#include "platform/gui/Application.h"
#include "platform/gui/Color.h"
#include "platform/gui/DataGrid.h"
#include "platform/gui/IniFile.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

TStatusBar::TStatusBar(QWidget* parent) : QStatusBar(parent) {
    setObjectName("StatusBar1");
    panel0_ = new QLabel("FormName", this);
    panel0_->setObjectName("Panel0");
    panel0_->setFixedWidth(100);
    panel1_ = new QLabel(this);
    panel1_->setObjectName("Panel1");
    addWidget(panel0_);
    addWidget(panel1_, 1);
}

void ApplyFormLook(QWidget* form) {
    QPalette pal = form->palette();
    pal.setColor(QPalette::Window, gui::ToQColor(0xCCFFFF));
    form->setPalette(pal);
    form->setAutoFillBackground(true);
    QFont font(U8("IPAPGothic"));
    font.setPixelSize(15);
    form->setFont(font);
}

void TFormBehaviour::RestoreGeometry(TStatusBar* status) {
    std::string path;
    try {
        path = IniPath().toStdString();
    } catch (...) {
        gui::ShowMessage(U8("iniファイル名取得でエラー"), form_);
        path = "C:Program Files\\Vorlix\\Vorlix.ini";
    }
    const gui::TIniFile ini(path);
    const std::string section = form_->objectName().toStdString();
    QScreen* screen = QGuiApplication::primaryScreen();
    const QSize screenSize = screen ? screen->size() : QSize(1024, 768);
    const int l = ini.ReadInteger(section, "Left", 0);
    const int t = ini.ReadInteger(section, "Top", 0);
    SavedLeft = l < screenSize.width() ? l : 0;
    SavedTop = t < screenSize.height() ? t : 0;
    const int w = ini.ReadInteger(section, "Width", 0);
    const int h = ini.ReadInteger(section, "Height", 0);
    // The stored bounds are the window's client area, as SaveGeometry took them: the
    // window-manager frame is never counted in, so a start does not move the window.
    QRect bounds(SavedLeft, SavedTop, form_->width(), form_->height());
    if (Sizeable) bounds.setSize(QSize(w > 0 ? w : form_->width(), h > 0 ? h : form_->height()));
    form_->setGeometry(KeepOnScreen(bounds, form_));
    Placed(bounds);
    SavedWidth = w;
    SavedHeight = h;
    WindowStateText = ini.ReadString(section, "WindowState", "wsNormal");
    if (WindowStateText == "wsNormal") form_->setWindowState(Qt::WindowNoState);
    else if (WindowStateText == "wsMinimized") form_->setWindowState(Qt::WindowMinimized);
    else if (WindowStateText == "wsMaximized") form_->setWindowState(Qt::WindowMaximized);
    if (status) status->Panel(0)->setText(form_->objectName());
}

void TFormBehaviour::SaveGeometry() {
    gui::TIniFile ini(IniPath().toStdString());
    const Qt::WindowStates state = form_->windowState();
    if (!(state & Qt::WindowMaximized)) Restored();
    const std::string section = form_->objectName().toStdString();
    ini.WriteInteger(section, "Left", SavedLeft);
    ini.WriteInteger(section, "Top", SavedTop);
    ini.WriteInteger(section, "Width", SavedWidth);
    ini.WriteInteger(section, "Height", SavedHeight);
    ini.WriteString(section, "WindowState",
                    state & Qt::WindowMaximized   ? "wsMaximized"
                    : state & Qt::WindowMinimized ? "wsMinimized"
                                                  : "wsNormal");
    ini.UpdateFile();
}

void TFormBehaviour::Restored() {
    const QRect client = form_->geometry();
    SavedTop = client.y();
    SavedLeft = client.x();
    SavedWidth = client.width();
    SavedHeight = client.height();
}

namespace {

// The margins a shown window's frame has; none while the window manager has not framed it.
QMargins FramedMargins(const QWidget* w) {
    if (!w || !w->isVisible()) return {};
    const QRect inner = w->geometry(), outer = w->frameGeometry();
    return QMargins(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                    outer.bottom() - inner.bottom());
}

}  // namespace

QMargins TFormBehaviour::FrameOf(const QWidget* form) {
    if (form && (form->windowFlags() & Qt::FramelessWindowHint)) return {};
    if (const QMargins own = FramedMargins(form); !own.isNull()) return own;
    for (const QWidget* other : QApplication::topLevelWidgets())
        if (other != form && !(other->windowFlags() & Qt::FramelessWindowHint) &&
            (other->windowType() == Qt::Window || other->windowType() == Qt::Dialog))
            if (const QMargins theirs = FramedMargins(other); !theirs.isNull()) return theirs;
    return QMargins(UsualBorder, UsualTitleBar, UsualBorder, UsualBorder);
}

QRect TFormBehaviour::KeepInside(QRect bounds, const QMargins& frame, const QRect& area) {
    const QRect room = area.marginsRemoved(frame);
    bounds.setWidth(std::min(bounds.width(), std::max(room.width(), 1)));
    bounds.setHeight(std::min(bounds.height(), std::max(room.height(), 1)));
    bounds.moveLeft(std::clamp(bounds.left(), room.left(), std::max(room.left(), room.right() + 1 - bounds.width())));
    bounds.moveTop(std::clamp(bounds.top(), room.top(), std::max(room.top(), room.bottom() + 1 - bounds.height())));
    return bounds;
}

QRect TFormBehaviour::KeepOnScreen(QRect bounds, const QWidget* form) {
    QScreen* screen = QGuiApplication::screenAt(bounds.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return bounds;
    return KeepInside(bounds, FrameOf(form), screen->availableGeometry());
}

void TFormBehaviour::Placed(const QRect& wanted) {
    placed_ = form_->geometry();
    wanted_ = wanted;
}

std::optional<QRect> TFormBehaviour::SettledBounds(const QRect& now, const QRect& placed, const QRect& wanted,
                                                   const QMargins& frame, const QRect& area) {
    if (now != placed) return std::nullopt;
    // Without a frame there is nothing better known than where the window stands.
    return KeepInside(frame.isNull() ? now : wanted, frame, area);
}

bool TFormBehaviour::Settle(bool last) {
    if (!form_->isVisible() || (form_->windowState() & (Qt::WindowMaximized | Qt::WindowMinimized | Qt::WindowFullScreen)))
        return true;
    const QMargins frame = FramedMargins(form_);
    // No frame by the last try: there is no window manager to give one.
    if (frame.isNull() && !last && !(form_->windowFlags() & Qt::FramelessWindowHint)) return false;
    const QRect now = form_->geometry();
    QScreen* screen = QGuiApplication::screenAt(wanted_.center());
    if (!screen) screen = QGuiApplication::screenAt(now.center());
    if (!screen) screen = QGuiApplication::primaryScreen();
    if (!screen) return true;
    const std::optional<QRect> kept = SettledBounds(now, placed_, wanted_, frame, screen->availableGeometry());
    if (kept && *kept != now) {
        form_->setGeometry(*kept);
        placed_ = form_->geometry();
        Restored();
    }
    return true;
}

bool TFormBehaviour::EnterAsTab(QWidget* form, bool memoException) {
    QWidget* focused = QApplication::focusWidget();
    if (!focused || focused->window() != form) return false;
    gui::TDBGrid* grid = nullptr;
    for (QWidget* w = focused; w && !grid; w = w->parentWidget()) grid = dynamic_cast<gui::TDBGrid*>(w);
    if (grid) {
        if (grid->SelectedIndex() >= grid->ColumnCount() - 1) {
            grid->SetSelectedIndex(0);
            if (kura::TDataSet* ds = grid->DataSet(); ds && ds->Active()) ds->Next();
        } else {
            grid->SetSelectedIndex(grid->SelectedIndex() + 1);
        }
        return false;
    }
    if (memoException && (dynamic_cast<QPlainTextEdit*>(focused) || dynamic_cast<QTextEdit*>(focused)))
        return false;
    for (QWidget* next = focused->nextInFocusChain(); next && next != focused; next = next->nextInFocusChain()) {
        if (next->window() == form && (next->focusPolicy() & Qt::TabFocus) && next->isVisible() &&
            next->isEnabled()) {
            next->setFocus(Qt::TabFocusReason);
            break;
        }
    }
    return true;
}

template <class Base>
TFormOf<Base>::TFormOf(QWidget* parent) : Base(parent), StatusBar1(new TStatusBar(this)), Form(this) {
    ApplyFormLook(this);
    qApp->installEventFilter(this);
}

template <class Base>
TFormOf<Base>::~TFormOf() {
    qApp->removeEventFilter(this);
}

template <class Base>
void TFormOf<Base>::showEvent(QShowEvent* event) {
    Base::showEvent(event);
    if (event->spontaneous()) return;
    gui::Guarded([this] { FormShow(); }, this);
    StartSettling();
}

template <class Base>
void TFormOf<Base>::StartSettling() {
    settling_ = true;
    // The window manager frames the window some moments after the show, and a restore
    // lands after its state has changed: the window is looked at whenever it paints or
    // moves in the next moments, and a last time after 1.5 s.
    for (int ms : {100, 400, 1500})
        QTimer::singleShot(ms, this, [this, ms] {
            if (!settling_) return;
            Form.Settle(ms == 1500);
            if (ms == 1500) settling_ = false;
        });
}

template <class Base>
void TFormOf<Base>::changeEvent(QEvent* event) {
    Base::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) return;
    const auto old = static_cast<QWindowStateChangeEvent*>(event)->oldState();
    const bool restored = (old & (Qt::WindowMaximized | Qt::WindowMinimized)) &&
                          !(this->windowState() & (Qt::WindowMaximized | Qt::WindowMinimized));
    // The restore has to be done before its bounds can be taken; they are where the
    // window is to stay.
    if (restored) {
        QTimer::singleShot(0, this, [this] {
            Form.Restored();
            Form.Placed(this->geometry());
        });
        StartSettling();
    }
}

template <class Base>
bool TFormOf<Base>::eventFilter(QObject* watched, QEvent* event) {
    if (settling_ && watched == this && (event->type() == QEvent::Paint || event->type() == QEvent::Move))
        QTimer::singleShot(0, this, [this] {
            if (settling_) Form.Settle();
        });
    if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            static_cast<QWidget*>(watched)->window() == this && watched == QApplication::focusWidget())
            return TFormBehaviour::EnterAsTab(this, true);
    }
    return Base::eventFilter(watched, event);
}

template class TFormOf<QDialog>;
template class TFormOf<QMainWindow>;

TForm1::TForm1(QWidget* parent) : TFormOf<QDialog>(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    client_ = new QWidget(this);
    client_->setObjectName("ClientArea");
    layout->addWidget(client_, 1);
    layout->addWidget(StatusBar1);
}

void TForm1::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        event->ignore();
        return;
    }
    QDialog::keyPressEvent(event);
}

void TForm1::done(int result) {
    bool close = false;
    gui::Guarded([&] { close = FormCloseQuery(); }, this);
    if (!close) return;
    gui::Guarded([this] { FormClose(); }, this);
    QDialog::done(result);
}

TFormMain::TFormMain(QWidget* parent) : TFormOf<QMainWindow>(parent) { setStatusBar(StatusBar1); }

void TFormMain::closeEvent(QCloseEvent* event) {
    bool close = false;
    gui::Guarded([&] { close = FormCloseQuery(); }, this);
    if (!close) return event->ignore();
    gui::Guarded([this] { FormClose(); }, this);
    QMainWindow::closeEvent(event);
}

}  // namespace app

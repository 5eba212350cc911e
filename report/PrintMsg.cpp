#include "report/PrintMsg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QLabel>
#include <QScreen>
#include <QVBoxLayout>

namespace report {

TPrintMsg* PrintMsg = nullptr;

TPrintMsg::TPrintMsg(QWidget* parent) : QDialog(parent, Qt::Dialog | Qt::WindowStaysOnTopHint | Qt::MSWindowsFixedSizeDialogHint) {
    setObjectName("PrintMsg");
    setWindowTitle("Now Printing...");
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);
    auto* panel = new QFrame(this);
    panel->setObjectName("Panel1");
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    auto* inner = new QVBoxLayout(panel);
    auto* label = new QLabel(QString::fromUtf8("ただいま印刷中です。\nしばらくお待ち下さい．．．"), panel);
    label->setObjectName("Label1");
    label->setStyleSheet("color: navy");
    inner->addWidget(label);
    layout->addWidget(panel);
    setFixedSize(sizeHint());
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
    PrintMsg = this;
}

TPrintMsg::~TPrintMsg() {
    if (cursorSet_) QApplication::restoreOverrideCursor();
    if (PrintMsg == this) PrintMsg = nullptr;
}

void TPrintMsg::showEvent(QShowEvent* event) {
    if (!cursorSet_) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        cursorSet_ = true;
    }
    QDialog::showEvent(event);
}

void TPrintMsg::closeEvent(QCloseEvent* event) {
    if (cursorSet_) {
        QApplication::restoreOverrideCursor();
        cursorSet_ = false;
    }
    if (PrintMsg == this) PrintMsg = nullptr;
    QDialog::closeEvent(event);
}

void TPrintMsg::changeEvent(QEvent* event) {
    // Stays in front while the job runs.
    if (event->type() == QEvent::ActivationChange && !isActiveWindow() && isVisible()) raise();
    QDialog::changeEvent(event);
}

}  // namespace report

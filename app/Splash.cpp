#include "app/Splash.h"

#include <QApplication>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScreen>

#include "platform/gui/Color.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

namespace {

// The splash picture: the program's name on a soft gradient.
QPixmap SplashPicture(QSize size) {
    QPixmap picture(size);
    QPainter p(&picture);
    QLinearGradient g(0, 0, 0, size.height());
    g.setColorAt(0, QColor(0xFF, 0xFF, 0xCC));
    g.setColorAt(1, QColor(0x33, 0xCC, 0xFF));
    p.fillRect(picture.rect(), g);
    QFont font(U8("IPAPGothic"));
    font.setPixelSize(48);
    font.setBold(true);
    p.setFont(font);
    p.setPen(QColor(0x20, 0x40, 0x80));
    p.drawText(QRect(0, 40, size.width(), 80), Qt::AlignCenter, U8("ヨミトラ"));
    font.setPixelSize(16);
    font.setBold(false);
    p.setFont(font);
    p.drawText(QRect(0, 110, size.width(), 30), Qt::AlignCenter, U8("人事台帳"));
    return picture;
}

}  // namespace

TFsplash::TFsplash(QWidget* parent) : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint) {
    setObjectName("Fsplash");
    setAttribute(Qt::WA_DeleteOnClose);
    setFixedSize(399, 258);
    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(rect());
    Image1->setPixmap(SplashPicture(size()));
    VerLBL = new QLabel(U8("Ver 1.00"), this);
    VerLBL->setObjectName("VerLBL");
    VerLBL->setAutoFillBackground(true);
    QPalette pal = VerLBL->palette();
    pal.setColor(QPalette::Window, gui::ToQColor(0xEFEFEF));
    VerLBL->setPalette(pal);
    VerLBL->setGeometry(300, 160, 80, 20);
    VerLBL->setAlignment(Qt::AlignCenter);
    Memo1 = new QPlainTextEdit(this);
    Memo1->setObjectName("Memo1");
    Memo1->setFrameStyle(QFrame::NoFrame);
    Memo1->setReadOnly(true);
    Memo1->setPlainText(U8("Copyright (C) ヨミトラ開発チーム\nAll rights reserved."));
    Memo1->setGeometry(20, 196, 360, 48);
    if (QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->geometry().center() - rect().center());
}

void TFsplash::CloseWhenShown(QWidget* mainWindow) {
    main_ = mainWindow;
    mainWindow->installEventFilter(this);
}

bool TFsplash::eventFilter(QObject* watched, QEvent* event) {
    if (watched == main_ && event->type() == QEvent::Show) {
        main_->removeEventFilter(this);
        close();  // freed on close
    }
    return QWidget::eventFilter(watched, event);
}

TFsplash* ShowStartSplash() {
    auto* splash = new TFsplash;
    splash->VerLBL->setText(U8("Ver 1.02"));
    splash->show();
    splash->repaint();
    QApplication::processEvents();
    return splash;
}

}  // namespace app

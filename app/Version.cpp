#include "app/Version.h"

#include <QApplication>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyle>

#include "app/Form1.h"
#include "platform/gui/Application.h"
#include "platform/gui/Desktop.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

const char* TFversion::HomePage = "https://yomitora.example.jp/";
const char* TFversion::SupportMail = "support@yomitora.example.jp";

TFversion::TFversion(double appVer, QWidget* parent) : QDialog(parent), appVer_(appVer) {
    setObjectName("Fversion");
    setWindowTitle(U8("バージョン情報"));
    setFixedSize(330, 286);
    QFont font(U8("IPAPGothic"));
    font.setPixelSize(13);
    setFont(font);
    Panel1 = new QFrame(this);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Panel1->setGeometry(8, 8, 314, 230);
    auto label = [this](const char* name, const QString& text, QRect geometry) {
        auto* l = new QLabel(text, Panel1);
        l->setObjectName(name);
        l->setGeometry(geometry);
        return l;
    };
    ProgramIcon = label("ProgramIcon", {}, {16, 16, 48, 48});
    ProgramIcon->setPixmap(style()->standardPixmap(QStyle::SP_FileDialogDetailedView).scaled(48, 48));
    ProductName = label("ProductName", U8("ヨミトラ"), {80, 16, 220, 24});
    Version = label("Version", U8("Version 9.99"), {80, 44, 220, 20});
    Copyright = label("Copyright", U8("Copyright (C) ヨミトラ開発チーム"), {16, 90, 290, 20});
    Label4 = label("Label4", U8("ﾎｰﾑﾍﾟｰｼﾞ"), {16, 140, 80, 20});
    Label3 = label("Label3", QString::fromLatin1(HomePage), {100, 140, 210, 20});
    Label3->setCursor(Qt::PointingHandCursor);
    Label5 = label("Label5", U8("ﾒｰﾙ"), {16, 170, 80, 20});
    Label6 = label("Label6", QString::fromLatin1(SupportMail), {100, 170, 210, 20});
    Label6->setCursor(Qt::PointingHandCursor);
    for (QLabel* link : {Label3, Label6}) {
        QPalette pal = link->palette();
        pal.setColor(QPalette::WindowText, Qt::blue);
        link->setPalette(pal);
        link->installEventFilter(this);
    }
    OKButton = new QPushButton(U8("OK"), this);
    OKButton->setObjectName("OKButton");
    OKButton->setGeometry(125, 248, 80, 28);
    connect(OKButton, &QPushButton::clicked, this, [this] { done(gui::mrOk); });
    qApp->installEventFilter(this);
}

QString TFversion::VersionText(double appVer) { return "Version " + QString::number(appVer, 'f', 2); }

void TFversion::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    Version->setText(VersionText(appVer_));
}

void TFversion::Label3Click() { gui::OpenDocument(Label3->text()); }

void TFversion::Label6Click() { gui::OpenDocument(QString("mailto:") + SupportMail); }

bool TFversion::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseButtonRelease) {
        if (watched == Label3) Label3Click();
        if (watched == Label6) Label6Click();
    }
    if (event->type() == QEvent::KeyPress && watched == QApplication::focusWidget() && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) return TFormBehaviour::EnterAsTab(this, false);
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace app

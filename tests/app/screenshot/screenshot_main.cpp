// Run under a real X server (Xvfb): shows the main window and the about box, takes a
// screenshot of the screen into the folder given, and checks that the Japanese
// captions are drawn with real glyphs: the fonts hold every character, each
// character draws its own shape (missing glyphs all draw the same box), and the
// captions on the screen carry ink. Exit code 0 when all holds.
#include <QApplication>
#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QScreen>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <set>

#include "app/DMdata.h"
#include "app/MainWindow.h"
#include "app/ProgramPaths.h"
#include "app/Version.h"
#include "components/KuraSession.h"
#include "platform/gui/Application.h"

namespace {

int failures = 0;

void Check(bool ok, const QString& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.toUtf8().constData());
    if (!ok) ++failures;
}

// The character drawn alone in the font, as an image.
QImage Glyph(const QFont& font, QChar c) {
    QImage image(48, 48, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(image.rect(), Qt::AlignCenter, QString(c));
    return image;
}

bool HasInk(const QImage& image, QRect r) {
    r = r.intersected(image.rect());
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (image.pixelColor(x, y).lightness() < 100) return true;
    return false;
}

void CheckCaption(const QString& text, const QFont& font) {
    const QFontMetrics metrics(font);
    std::set<QByteArray> shapes;
    int distinct = 0, chars = 0;
    for (QChar c : text) {
        if (c.unicode() < 0x3000) continue;
        ++chars;
        Check(metrics.inFont(c), "the font " + font.family() + " holds " + QString(c));
        const QImage g = Glyph(font, c);
        const QByteArray bytes(reinterpret_cast<const char*>(g.constBits()), g.sizeInBytes());
        if (shapes.insert(bytes).second) ++distinct;
    }
    // Characters may repeat within a caption; every different one has its own shape.
    QSet<QChar> unique;
    for (QChar c : text)
        if (c.unicode() >= 0x3000) unique.insert(c);
    Check(distinct == unique.size() && chars > 0, "\"" + text + "\" draws a shape of its own for every character");
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    gui::TApplication application(argc, argv);
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath();
    QDir().mkpath(out);
    QTemporaryDir programDir;
    app::SetProgramPath(programDir.path() + "/yomitora");
    gui::SetMessageHook([](const gui::TMessage& m) {
        Check(false, "no message expected: " + m.text);
        return static_cast<int>(gui::mrOk);
    });
    Check(application.platformName() == "xcb", "running on a real X server (" + application.platformName() + ")");

    app::Fmain = new app::TFmain;
    app::Fmain->resize(700, 500);
    app::Fmain->show();
    app::TFversion about(1.02);
    about.move(720, 40);
    about.show();
    for (int i = 0; i < 20; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
    const QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    Check(!screen.isNull(), "the screen was captured");
    Check(screen.save(out + "/yomitora.png"), "screenshot saved as " + out + "/yomitora.png");

    for (QLabel* label : {about.ProductName, about.Label4, about.Label5}) {
        CheckCaption(label->text(), label->font());
        const QRect onScreen(label->mapToGlobal(QPoint(0, 0)), label->size());
        Check(HasInk(screen, onScreen), "\"" + label->text() + "\" carries ink on the screen");
    }
    QTabBar* tabs = app::Fmain->PageControl1->tabBar();
    for (int i = 0; i < tabs->count(); ++i) {
        CheckCaption(tabs->tabText(i), tabs->font());
        const QRect onScreen(tabs->mapToGlobal(tabs->tabRect(i).topLeft()), tabs->tabRect(i).size());
        Check(HasInk(screen, onScreen), "tab \"" + tabs->tabText(i) + "\" carries ink on the screen");
    }
    CheckCaption(app::Fmain->windowTitle(), app::Fmain->font());

    about.close();
    delete app::Fmain;
    delete app::DMdata;
    kura::DoneSessions();
    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}

// Run under a real X server (Xvfb): the main window with employees in four
// departments, once on the overview (grid, total and pie chart) and once on the
// staff list (retired rows grey), each saved as a screenshot into the folder given.
// Checks that the Japanese texts carry ink and that the pie is drawn in colour.
// Exit code 0 when all holds.
#include <QApplication>
#include <QChartView>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QScreen>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <set>

#include "app/DBGridEx.h"
#include "app/DMdata.h"
#include "app/DateText.h"
#include "app/MainWindow.h"
#include "app/ProgramPaths.h"
#include "components/KuraSession.h"
#include "components/KuraTable.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"

namespace {

int failures = 0;

void Check(bool ok, const QString& what) {
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", what.toUtf8().constData());
    if (!ok) ++failures;
}

void Settle() {
    for (int i = 0; i < 25; ++i) {
        QApplication::processEvents();
        QThread::msleep(20);
    }
}

QRect OnScreen(QWidget* w) { return QRect(w->mapToGlobal(QPoint(0, 0)), w->size()); }

int DarkPixels(const QImage& image, QRect r) {
    r = r.intersected(image.rect());
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x)
            if (image.pixelColor(x, y).lightness() < 100) ++n;
    return n;
}

// The distinct strongly coloured hues in the area (the slices' colours).
int Hues(const QImage& image, QRect r) {
    r = r.intersected(image.rect());
    std::set<int> hues;
    for (int y = r.top(); y <= r.bottom(); y += 2)
        for (int x = r.left(); x <= r.right(); x += 2) {
            const QColor c = image.pixelColor(x, y);
            if (c.hsvSaturation() > 80 && c.value() > 60) hues.insert(c.hsvHue() / 20);
        }
    return static_cast<int>(hues.size());
}

void AddEmployee(int code, const char* name, const char* bu, int born, bool retired) {
    kura::TKuraTable& t = *app::DMdata->Tstaff;
    t.Append();
    t.FieldByName("StaffCD")->SetAsInteger(code);
    t.FieldByName("Simei")->SetAsUtf8(name);
    t.FieldByName("Bu")->SetAsUtf8(bu);
    t.FieldByName("SeinenYMD")->SetAsDateTime(app::EncodeDate(born, 4, 1));
    if (retired) t.FieldByName("TaisyokuYMD")->SetAsDateTime(app::EncodeDate(2020, 3, 31));
    t.Post();
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
    app::TFmain& m = *app::Fmain;
    m.resize(876, 689);
    m.show();
    Settle();
    const struct {
        const char* name;
        const char* bu;
        int count;
    } departments[] = {{"営業", "営業部", 7}, {"総務", "総務部", 3}, {"製造", "製造部", 5}, {"開発", "開発部", 2}};
    int code = 1;
    for (const auto& d : departments)
        for (int i = 0; i < d.count; ++i, ++code)
            AddEmployee(code, (std::string(d.name) + "太郎" + std::to_string(i + 1)).c_str(), d.bu, 1960 + code,
                        code % 4 == 0);
    m.Settings.Komoku[0] = "部";
    m.SaisinBTNClick();
    Settle();

    QImage screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    Check(screen.save(out + "/mainwin_overview.png"), "overview saved as " + out + "/mainwin_overview.png");
    Check(m.JyokyoLBL->text() == QString::fromUtf8("人数：17 人"), "total " + m.JyokyoLBL->text());
    Check(DarkPixels(screen, OnScreen(m.JyokyoLBL)) > 20, "the total carries ink on the screen");
    Check(DarkPixels(screen, OnScreen(m.JyokyoGrid)) > 100, "the department grid carries ink on the screen");
    Check(Hues(screen, OnScreen(m.Chart1)) >= 4, "the pie shows four slices in their own colours");

    m.PageControl1->setCurrentWidget(m.TabSheet2);
    m.StaffGrid->selectRow(0);
    Settle();
    screen = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    Check(screen.save(out + "/mainwin_stafflist.png"), "staff list saved as " + out + "/mainwin_stafflist.png");
    Check(DarkPixels(screen, OnScreen(m.StaffGrid)) > 500, "the staff list carries ink on the screen");
    int grey = 0;
    const QRect grid = OnScreen(m.StaffGrid->viewport());
    for (int y = grid.top(); y < grid.bottom(); ++y)
        if (screen.pixelColor(grid.left() + 200, y) == QColor(0xE0, 0xE0, 0xE0)) ++grey;
    Check(grey > 20, "retired rows are grey on the screen");

    delete app::Fmain;
    delete app::DMdata;
    kura::DoneSessions();
    std::printf("%d failure(s)\n", failures);
    return failures == 0 ? 0 : 1;
}

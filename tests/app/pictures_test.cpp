// The photograph and the résumé pages: scanned through SANE's "test" backend (a
// private configuration folder), stored as bitmap files in their BLOBs, shown again
// after a restart, and the pages printed to PDF one sheet each.
#include <QLabel>
#include <cstdio>

#include "app/Rirekisyo.h"
#include "app/ScanPicture.h"
#include "platform/print/Printer.h"
#include "platform/twain/SourceManager.h"
#include "tests/app/EditorTestSupport.h"
#include "tests/common/SaneTestSupport.h"

namespace app::test {
namespace {

bool Have(const char* tool) { return std::system((std::string("command -v ") + tool + " >/dev/null 2>&1").c_str()) == 0; }

class Pictures : public EditorTest {
protected:
    void SetUp() override {
        if (!kura::test::UseSaneTestBackend() || !Have("pdfinfo"))
            GTEST_SKIP() << "SANE's test backend or pdfinfo is not installed";
        EditorTest::SetUp();
        kura::test::WriteSaneTestConfig({"mode Color", "resolution 25.0", "test-picture \"Color pattern\""});
        Choose(0);
    }
    void TearDown() override {
        platform::twain::SetHost({});
        EditorTest::TearDown();
    }
    // The user's choice in the source selection (-1 cancels it).
    void Choose(int index) {
        platform::twain::Host host;
        host.SelectSource = [index](const std::vector<std::string>&, int) { return index; };
        platform::twain::SetHost(host);
    }
    static int Pages(const std::string& pdf) {
        FILE* p = popen(("pdfinfo '" + pdf + "' 2>/dev/null").c_str(), "r");
        char line[512];
        int pages = -1;
        while (p && fgets(line, sizeof line, p)) std::sscanf(line, "Pages: %d", &pages);
        if (p) pclose(p);
        return pages;
    }
    // The BLOB of a column as the table holds it.
    std::string Blob(const char* table, const char* column) {
        kura::TKuraQuery q;
        q.SetDatabaseName("DataDB");
        q.SetSessionName("MySession");
        q.SetSQL(std::string("SELECT ") + column + " FROM " + table);
        q.Open();
        return q.Eof() ? std::string() : q.Fields(0)->AsString();
    }
};

TEST_F(Pictures, AScannedPhotoIsStoredAsABitmapAndShownAfterARestart) {
    AddStaff(3, "三");
    OnModal("FstaffDaityo", [&](QWidget* w) {
        Choose(-1);  // a cancelled selection changes nothing
        Click(w, "BitBtn1");
        EXPECT_TRUE(Child<QLabel>(w, "Photo")->pixmap().isNull());
        Choose(0);
        Click(w, "BitBtn1");
        EXPECT_EQ(Child<QLabel>(w, "Photo")->pixmap().size(), QSize(129, 169));
        Click(w, "OkBTN");
    });
    ASSERT_EQ(OpenStaffEditor(3), gui::mrOk) << messages.join("\n").toStdString();
    const std::string photo = Blob("STAFF", "PHOTO");
    ASSERT_GT(photo.size(), 54u);
    EXPECT_EQ(photo.substr(0, 2), "BM");
    CloseMain();
    StartMain();
    OnModal("FstaffDaityo", [&](QWidget* w) {
        const QImage shown = Child<QLabel>(w, "Photo")->pixmap().toImage();
        EXPECT_EQ(shown.size(), QSize(129, 169));
        // The colour pattern fills the middle of the frame, not the white ground.
        EXPECT_NE(shown.pixelColor(64, 84), QColor(Qt::white));
        Click(w, "CanBTN");
    });
    OpenStaffEditor(3);
}

// Two scanners: each scan asks for the source once, and the one the user picks there
// is the one that scans and the one offered at the next scan.
TEST_F(Pictures, EachScanAsksForTheSourceOnceAndUsesTheOneChosen) {
    AddStaff(2, "二");
    std::vector<int> offered;  // the source each selection dialog preselects
    platform::twain::Host host;
    host.SelectSource = [&](const std::vector<std::string>& names, int current) {
        EXPECT_EQ(names.size(), 2u);
        offered.push_back(current);
        return 1;  // the second scanner
    };
    platform::twain::SetHost(host);
    OnModal("FstaffDaityo", [&](QWidget* w) {
        Click(w, "BitBtn1");
        EXPECT_EQ(offered.size(), 1u);
        EXPECT_EQ(Child<QLabel>(w, "Photo")->pixmap().size(), QSize(129, 169));
        Click(w, "BitBtn1");
        EXPECT_EQ(offered.size(), 2u);
        Click(w, "CanBTN");
    });
    OpenStaffEditor(2);
    ASSERT_EQ(offered.size(), 2u);
    EXPECT_EQ(offered[1], 1);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

TEST_F(Pictures, WithoutTheScannerLibraryTheScanSaysWhatIsMissing) {
    AddStaff(1, "一");
    platform::twain::SetSourceManagerFactory([] { return nullptr; });  // no libsane
    OnModal("FstaffDaityo", [&](QWidget* w) {
        Click(w, "BitBtn1");
        Click(w, "CanBTN");
    });
    OpenStaffEditor(1);
    platform::twain::SetSourceManagerFactory(nullptr);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("libsane")) << messages[0].toStdString();
    EXPECT_FALSE(messages[0].contains("DLL", Qt::CaseInsensitive)) << messages[0].toStdString();
}

TEST_F(Pictures, ResumePagesAreScannedStoredAndPrintedOneSheetEach) {
    AddStaff(4, "四");
    OnModal("FstaffDaityo", [&](QWidget* w) {
        OnModal("Frirekisyo", [&](QWidget* d) {
            Click(d, "OmoteScanBTN");
            Click(d, "UraScanBTN");
            EXPECT_EQ(Child<QLabel>(d, "OmoteIMG")->size(), QSize(TFrirekisyo::PageWidth, TFrirekisyo::PageHeight));
            EXPECT_EQ(Child<QLabel>(d, "UraIMG")->pixmap().size(), QSize(682, 1062));
            Click(d, "OkBTN");
        });
        Click(w, "RirekiBTN");
        Click(w, "OkBTN");
    });
    ASSERT_EQ(OpenStaffEditor(4), gui::mrOk) << messages.join("\n").toStdString();
    EXPECT_EQ(Blob("RIREKISYO", "RIREKISYO1").substr(0, 2), "BM");
    EXPECT_EQ(Blob("RIREKISYO", "RIREKISYO2").substr(0, 2), "BM");
    CloseMain();
    StartMain();
    OnModal("FstaffDaityo", [&](QWidget* w) {
        OnModal("Frirekisyo", [&](QWidget* d) {
            EXPECT_EQ(Child<QLabel>(d, "OmoteIMG")->pixmap().size(), QSize(682, 1062));
            for (const char* button : {"OmotePrtBTN", "UraPrtBTN"}) {
                const std::string pdf = dir.file(std::string(button) + ".pdf");
                // The print dialog answered with a PDF file.
                platform::SetPrintDialogHook([&pdf](platform::TPrinter& printer) {
                    printer.SetOutputFileName(pdf);
                    return true;
                });
                Click(d, button);
                platform::SetPrintDialogHook(nullptr);
                EXPECT_EQ(Pages(pdf), 1) << button;
            }
            Click(d, "CanBTN");
        });
        Click(w, "RirekiBTN");
        Click(w, "CanBTN");
    });
    OpenStaffEditor(4);
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

TEST_F(Pictures, CancelAfterScanningDiscardsTheScannedPages) {
    AddStaff(5, "五");
    OnModal("FstaffDaityo", [&](QWidget* w) {
        OnModal("Frirekisyo", [&](QWidget* d) {
            Click(d, "OmoteScanBTN");
            EXPECT_EQ(Child<QLabel>(d, "OmoteIMG")->pixmap().size(), QSize(682, 1062));
            Click(d, "OkBTN");
        });
        Click(w, "RirekiBTN");
        Click(w, "CanBTN");
    });
    OpenStaffEditor(5);
    EXPECT_EQ(Blob("RIREKISYO", "STAFFCD"), "");
}

}  // namespace
}  // namespace app::test

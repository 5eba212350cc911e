// Printing as a desk without a printer does it: each of the program's print commands
// (the worker register from its preview, a résumé page, the read-me) asks with the
// print dialog, and printing to a PDF file gives pages with the ink and the text they
// should have. A job that cannot be written leaves the printer usable for the next;
// a cancelled dialog prints nothing. The print dialog itself offers the PDF file
// when no printer is installed.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPrinter>
#include <QTimer>
#include <filesystem>
#include <fstream>

#include "app/LRstaffSheet.h"
#include "app/ReadMe.h"
#include "app/Rirekisyo.h"
#include "app/ScanPicture.h"
#include "platform/print/Printer.h"
#include "tests/app/EditorTestSupport.h"
#include "tests/report/ReportTestSupport.h"

namespace app::test {
namespace {

using report_test::FindInk;
using report_test::PdfInfo;
using report_test::PdfRegion;
using report_test::RunCommand;

class Printing : public EditorTest {
protected:
    void SetUp() override {
        EditorTest::SetUp();
        // The dialog's answer: a PDF file (or, with an empty name, Cancel).
        platform::SetPrintDialogHook([this](platform::TPrinter& printer) {
            ++asked;
            if (target.empty()) return false;
            printer.SetOutputFileName(target);
            printer.SetResolution(100);
            return true;
        });
    }
    void TearDown() override {
        platform::SetPrintDialogHook(nullptr);
        EditorTest::TearDown();
    }
    std::string Text(const std::string& pdf) { return RunCommand("pdftotext '" + pdf + "' - 2>/dev/null"); }
    std::string target;
    int asked = 0;
};

TEST_F(Printing, TheWorkerRegisterPrintsFromItsPreviewToAPdfFile) {
    AddStaff(5, "山田 五郎");
    Fmain->OpenStaffList();
    Fmain->PageControl1->setCurrentWidget(Fmain->TabSheet2);
    target = dir.file("meibo.pdf");
    OnModal("LRstaffSheet", [&](QWidget*) {
        auto* wait = new QTimer;
        wait->setInterval(5);
        QObject::connect(wait, &QTimer::timeout, [wait] {
            if (LRstaffSheet->ThreadRunning()) return;
            wait->stop();
            wait->deleteLater();
            LRstaffSheet->findChild<QAction*>("ActPrint")->trigger();
            LRstaffSheet->close();
        });
        wait->start();
    });
    Click(Fmain, "KanriSheetBTN");
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(PdfInfo(target, "Pages"), "1");
    const std::string text = Text(target);
    for (const char* words : {"労 働 者 名 簿", "山田 五郎"}) EXPECT_NE(text.find(words), std::string::npos) << text;
    EXPECT_FALSE(FindInk(PdfRegion(target, 1, 50, 0, 0, 414, 585), 0, 0, 414, 585).Empty());
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

TEST_F(Printing, AResumePageFillsTheSheetAndAFailedJobLeavesThePrinterUsable) {
    AddStaff(6, "六");
    // The front page: black on its left half, white on its right.
    QImage page(TFrirekisyo::PageWidth, TFrirekisyo::PageHeight, QImage::Format_RGB32);
    page.fill(Qt::white);
    for (int y = 0; y < page.height(); ++y)
        for (int x = 0; x < page.width() / 2; ++x) page.setPixel(x, y, qRgb(0, 0, 0));
    OnModal("FstaffDaityo", [&](QWidget* w) {
        OnModal("Frirekisyo", [&](QWidget* d) {
            auto* dialog = static_cast<TFrirekisyo*>(d);
            StorePicture(dialog->Trirekisyo->FieldByName("Rirekisyo1"), page);
            // Cancelled: nothing printed. A file that cannot be written: the job fails
            // with a message. Then the same printer prints.
            target.clear();
            Click(d, "OmotePrtBTN");
            target = dir.file("none/page.pdf");
            Click(d, "OmotePrtBTN");
            EXPECT_EQ(messages.size(), 1);
            target = dir.file("page.pdf");
            Click(d, "OmotePrtBTN");
            Click(d, "CanBTN");
        });
        Click(w, "RirekiBTN");
        Click(w, "CanBTN");
    });
    OpenStaffEditor(6);
    EXPECT_EQ(asked, 3);
    ASSERT_EQ(PdfInfo(target, "Pages"), "1");
    // The picture stretched over the whole printable page (A4 at 20 dpi: 165 x 234).
    const QImage sheet = PdfRegion(target, 1, 20, 0, 0, 165, 234);
    ASSERT_FALSE(sheet.isNull());
    const report_test::Ink ink = FindInk(sheet, 0, 0, sheet.width(), sheet.height());
    ASSERT_FALSE(ink.Empty());
    EXPECT_LE(ink.left, 1);
    EXPECT_LE(ink.top, 1);
    EXPECT_GE(ink.bottom, sheet.height() - 1);
    EXPECT_NEAR(ink.right, sheet.width() / 2, 3);
    EXPECT_FALSE(std::filesystem::exists(dir.file("none")));
}

TEST_F(Printing, TheReadMePrintsItsTextToAPdfFile) {
    std::ofstream(dir.file("readme.txt"), std::ios::binary) << "Yomitora read me\r\nprinting test line\r\n";
    target = dir.file("readme.pdf");
    OnModal("FreadMe", [&](QWidget* w) {
        Click(w, "BitBtn1");
        w->close();
    });
    Fmain->ReadMe1Click();
    EXPECT_EQ(asked, 1);
    ASSERT_EQ(PdfInfo(target, "Pages"), "1");
    const std::string text = Text(target);
    EXPECT_NE(text.find("printing test line"), std::string::npos) << text;
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
}

TEST_F(Printing, ThePrintDialogOffersAPdfFileWithoutAnyPrinter) {
    platform::SetPrintDialogHook(nullptr);
    platform::TPrinter& printer = platform::Printer();
    const std::string pdf = dir.file("dialog.pdf");
    bool offered = false;
    OnModal("PrintDialog", [&](QWidget* d) {
        // Qt's own dialog: its printer list always ends with the PDF file.
        auto* list = d->findChild<QComboBox*>("printers");
        ASSERT_NE(list, nullptr);
        offered = list->count() >= 1 && list->itemText(list->count() - 1).contains("PDF");
        list->setCurrentIndex(list->count() - 1);
        if (auto* name = d->findChild<QLineEdit*>("filename")) name->setText(QString::fromStdString(pdf));
        static_cast<QDialog*>(d)->accept();
    });
    ASSERT_TRUE(platform::ChoosePrinter(printer, Fmain));
    EXPECT_TRUE(offered);
    EXPECT_EQ(printer.Native().outputFormat(), QPrinter::PdfFormat);
    EXPECT_EQ(printer.Native().outputFileName().toStdString(), pdf);
}

// Without a file chosen yet the dialog proposes one in the program's folder (not the
// home folder) named after the job, still on the printer it had; once a file was
// printed to, that file is proposed again.
TEST_F(Printing, ThePrintDialogProposesAPdfFileInTheProgramsFolder) {
    platform::SetPrintDialogHook(nullptr);
    platform::TPrinter printer;
    printer.AskBeforePrinting = true;
    printer.Title = "meibo";
    const QPrinter::OutputFormat before = printer.Native().outputFormat();
    std::vector<std::string> proposed;
    const std::string chosen = dir.file("sub/chosen.pdf");
    for (int round = 0; round < 2; ++round) {
        OnModal("PrintDialog", [&](QWidget* d) {
            QApplication::processEvents();
            auto* name = d->findChild<QLineEdit*>("filename");
            ASSERT_NE(name, nullptr);
            proposed.push_back(name->text().toStdString());
            auto* list = d->findChild<QComboBox*>("printers");
            ASSERT_NE(list, nullptr);
            if (round == 0) {
                EXPECT_EQ(printer.Native().outputFormat(), before);
                list->setCurrentIndex(list->count() - 1);
                name->setText(QString::fromStdString(chosen));
                static_cast<QDialog*>(d)->accept();
            } else {
                static_cast<QDialog*>(d)->reject();
            }
        });
        platform::ChoosePrinter(printer, Fmain);
    }
    EXPECT_EQ(proposed, (std::vector<std::string>{dir.file("meibo.pdf"), chosen}));
}

}  // namespace
}  // namespace app::test

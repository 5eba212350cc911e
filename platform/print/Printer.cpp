#include "platform/print/Printer.h"

#include <QDir>
#include <QFile>
#include <QMarginsF>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <QLineEdit>
#include <QPrintDialog>
#include <QTimer>
#include <QPrinterInfo>
#include <QString>

#include <algorithm>
#include <cmath>

namespace platform {

namespace {

struct PaperCode {
    int16_t code;
    QPageSize::PageSizeId id;
};
constexpr PaperCode kPapers[] = {
    {8, QPageSize::A3}, {9, QPageSize::A4}, {11, QPageSize::A5}, {12, QPageSize::JisB4}, {13, QPageSize::JisB5},
};

}  // namespace

class TPrinter::PrinterCanvas : public TCanvas {
public:
    explicit PrinterCanvas(TPrinter& owner) : owner_(owner) {}
    int PixelsPerInch() const override { return owner_.printer_->resolution(); }
    int GetDeviceCaps(int index) const override { return owner_.GetDeviceCaps(index); }
    QPainter* Painter() override { return painter_.isActive() ? &painter_ : nullptr; }
    QPainter painter_;

private:
    TPrinter& owner_;
};

TPrinter::TPrinter()
    : printer_(std::make_unique<QPrinter>(QPrinter::HighResolution)),
      canvas_(std::make_unique<PrinterCanvas>(*this)) {
    printer_->setFullPage(true);
    printer_->setPageSize(QPageSize(QPageSize::A4));
}

TPrinter::~TPrinter() {
    if (canvas_->painter_.isActive()) canvas_->painter_.end();
}

std::vector<std::string> TPrinter::Printers() const {
    std::vector<std::string> names;
    for (const QString& name : QPrinterInfo::availablePrinterNames()) names.push_back(name.toStdString());
    return names;
}

void TPrinter::SetPrinterIndex(int index) {
    if (Printing()) throw EPrinter("Printer is busy");
    const std::vector<std::string> names = Printers();
    if (index < -1 || index >= static_cast<int>(names.size())) throw EPrinter("Printer index out of range");
    index_ = index;
    const QString name = index < 0 ? QPrinterInfo::defaultPrinterName() : QString::fromStdString(names[index]);
    printer_->setPrinterName(name);
}

std::string TPrinter::PrinterName() const { return printer_->printerName().toStdString(); }

bool TPrinter::GetDeviceMode(TDeviceMode& mode) const {
    mode.dmOrientation = printer_->pageLayout().orientation() == QPageLayout::Landscape ? 2 : 1;
    mode.dmPaperSize = 0;
    const QPageSize::PageSizeId id = printer_->pageLayout().pageSize().id();
    for (const PaperCode& paper : kPapers)
        if (paper.id == id) mode.dmPaperSize = paper.code;
    return true;
}

void TPrinter::SetDeviceMode(const TDeviceMode& mode) {
    if (Printing()) return;  // a driver takes a new device mode only between jobs
    for (const PaperCode& paper : kPapers)
        if (paper.code == mode.dmPaperSize) printer_->setPageSize(QPageSize(paper.id));
    printer_->setPageOrientation(mode.dmOrientation == 2 ? QPageLayout::Landscape : QPageLayout::Portrait);
}

void TPrinter::ResetDeviceMode() {
    if (Printing()) return;
    const QString output = printer_->outputFileName();
    const int resolution = printer_->resolution();
    printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer_->setResolution(resolution);
    printer_->setFullPage(true);
    if (index_ >= 0) SetPrinterIndex(index_);
    if (!output.isEmpty()) printer_->setOutputFileName(output);
    SetUnprintableMargins(marginLeftMm_, marginTopMm_);
}

void TPrinter::Renew() {
    auto fresh = std::make_unique<QPrinter>(QPrinter::HighResolution);
    fresh->setResolution(printer_->resolution());
    fresh->setFullPage(true);
    if (printer_->outputFormat() == QPrinter::PdfFormat) {
        fresh->setOutputFormat(QPrinter::PdfFormat);
        fresh->setOutputFileName(printer_->outputFileName());
    } else {
        fresh->setPrinterName(printer_->printerName());
    }
    fresh->setPageLayout(printer_->pageLayout());
    fresh->setFullPage(printer_->fullPage());
    fresh->setDocName(printer_->docName());
    printer_ = std::move(fresh);
}

void TPrinter::SetOutputFileName(const std::string& path) {
    printer_->setOutputFormat(QPrinter::PdfFormat);
    printer_->setOutputFileName(QString::fromStdString(path));
}

void TPrinter::SetResolution(int dotsPerInch) {
    if (!Printing()) printer_->setResolution(dotsPerInch);
}

void TPrinter::SetUnprintableMargins(double leftMm, double topMm) {
    marginLeftMm_ = leftMm;
    marginTopMm_ = topMm;
    if (leftMm <= 0 && topMm <= 0) {
        printer_->setFullPage(true);
        return;
    }
    printer_->setFullPage(false);
    printer_->setPageMargins(QMarginsF(leftMm, topMm, leftMm, topMm), QPageLayout::Millimeter);
}

void TPrinter::BeginDoc() {
    if (Printing()) throw EPrinter("Printing in progress");
    printer_->setDocName(QString::fromStdString(Title));
    // A job for a printer the system does not have would start and go nowhere.
    if (printer_->outputFormat() == QPrinter::NativeFormat &&
        QPrinterInfo::printerInfo(printer_->printerName()).isNull())
        throw EPrinter("Printer selected is not valid");
    if (!canvas_->painter_.begin(printer_.get())) {
        // A device whose job failed to start may refuse every later change and job:
        // the next job gets a fresh one with the same settings.
        Renew();
        throw EPrinter("Printer selected is not valid");
    }
    pageNumber_ = 1;
}

void TPrinter::NewPage() {
    if (!Printing()) throw EPrinter("Printer is not currently printing");
    printer_->newPage();
    ++pageNumber_;
}

void TPrinter::EndDoc() {
    if (!Printing()) throw EPrinter("Printer is not currently printing");
    canvas_->painter_.end();
    pageNumber_ = 0;
    if (!JobDone()) throw EPrinter("The print job failed");
}

bool TPrinter::JobDone() {
    if (printer_->printerState() != QPrinter::Error && OutputWhole()) return true;
    // A device whose job failed may refuse every later change and job, or (a PDF file
    // that could not be written to its end) write nothing of the jobs after it.
    Renew();
    return false;
}

bool TPrinter::OutputWhole() const {
    // A job sent to the system's printer is spooled by it; only a file can be read back.
    if (printer_->outputFormat() != QPrinter::PdfFormat || printer_->outputFileName().isEmpty()) return true;
    // Qt does not report a write that failed (a full disk): a PDF file written to its
    // end closes with its "%%EOF" line.
    QFile file(printer_->outputFileName());
    if (!file.open(QIODevice::ReadOnly) || file.size() < 5) return false;
    const qint64 tail = std::min<qint64>(file.size(), 32);
    if (!file.seek(file.size() - tail)) return false;
    return file.read(tail).contains("%%EOF");
}

void TPrinter::Abort() {
    if (!Printing()) return;
    printer_->abort();
    canvas_->painter_.end();
    pageNumber_ = 0;
}

bool TPrinter::Printing() const { return canvas_->painter_.isActive(); }

TCanvas& TPrinter::Canvas() { return *canvas_; }

int TPrinter::GetDeviceCaps(int index) const {
    const int dpi = printer_->resolution();
    const QPageLayout layout = printer_->pageLayout();
    const QRect full = layout.fullRectPixels(dpi);
    const QRect paint = printer_->fullPage() ? full : layout.paintRectPixels(dpi);
    switch (index) {
    case LOGPIXELSX:
    case LOGPIXELSY:
        return dpi;
    case HORZRES:
        return paint.width();
    case VERTRES:
        return paint.height();
    case PHYSICALWIDTH:
        return full.width();
    case PHYSICALHEIGHT:
        return full.height();
    case PHYSICALOFFSETX:
        return paint.left() - full.left();
    case PHYSICALOFFSETY:
        return paint.top() - full.top();
    default:
        return 0;
    }
}

TPrinter& Printer() {
    // Never destroyed: Qt's printing must not be torn down after the application object.
    static TPrinter* printer = [] {
        auto* p = new TPrinter;
        p->AskBeforePrinting = true;
        return p;
    }();
    return *printer;
}

namespace {
std::function<bool(TPrinter&)>& PrintDialogHook() {
    static std::function<bool(TPrinter&)> hook;
    return hook;
}
}  // namespace

void SetPrintDialogHook(std::function<bool(TPrinter&)> hook) { PrintDialogHook() = std::move(hook); }

namespace {
std::string& PdfFolder() {
    static std::string folder;
    return folder;
}
}  // namespace

void SetProposedPdfFolder(const std::string& folder) { PdfFolder() = folder; }

std::string ProposedPdfFile(const TPrinter& printer) {
    if (PdfFolder().empty()) return {};
    // The title is text of the job, not a path: a slash in it names no folder.
    QString name = printer.Title.empty() ? QString("print") : QString::fromStdString(printer.Title);
    name.replace(QChar('/'), QChar('_'));
    return QDir(QString::fromStdString(PdfFolder())).filePath(name + ".pdf").toStdString();
}

bool ChoosePrinter(TPrinter& printer, QWidget* parent) {
    if (printer.Printing()) return true;
    // Every print command comes here first, also those that draw on the device
    // themselves: a device left in error by a failed job is renewed for this one.
    if (printer.Native().printerState() == QPrinter::Error) printer.Renew();
    if (!printer.AskBeforePrinting) return true;
    bool chosen = false;
    if (PrintDialogHook()) {
        chosen = PrintDialogHook()(printer);
    } else {
        // Qt's dialog lists CUPS's printers and always "print to file (PDF)".
        QPrintDialog dialog(&printer.Native(), parent);
        dialog.setObjectName("PrintDialog");
        dialog.setOptions(QAbstractPrintDialog::PrintToFile);
        // Qt proposes a file in the home folder; the file field is proposed here
        // instead, without choosing the file over a printer.
        // Set once the dialog shows: it fills the field itself when it shows.
        const std::string proposed = printer.Native().outputFileName().isEmpty() ? ProposedPdfFile(printer) : "";
        if (!proposed.empty())
            QTimer::singleShot(0, &dialog, [&dialog, proposed] {
                if (auto* file = dialog.findChild<QLineEdit*>("filename"))
                    file->setText(QString::fromStdString(proposed));
            });
        chosen = dialog.exec() == QDialog::Accepted;
    }
    if (chosen) {
        // The index follows the chosen printer (-1: a file or the default).
        const std::vector<std::string> names = printer.Printers();
        const std::string name = printer.PrinterName();
        printer.index_ = -1;
        if (printer.Native().outputFormat() == QPrinter::NativeFormat)
            for (std::size_t i = 0; i < names.size(); ++i)
                if (names[i] == name) printer.index_ = static_cast<int>(i);
    }
    return chosen;
}

}  // namespace platform

#pragma once
// The class library's printer object over Qt's printing: the installed printers, the
// device mode (paper code and orientation), a print job with its canvas, and
// GetDeviceCaps for resolution and the unprintable margin.
//
// Contract:
// - Printers() lists the installed printers (CUPS's); PrinterIndex -1 is the system
//   default. SetOutputFileName sends the job to a PDF file instead.
// - The program's print commands ask first (ChoosePrinter): the print dialog lists the
//   system's printers and always offers printing to a PDF file, so a desk without a
//   printer prints too. The application's printer (Printer()) asks; a printer made by
//   code prints where its code sent it.
// - A job that cannot start (BeginDoc) or fails on its way (EndDoc) raises EPrinter and
//   leaves the printer as it was before, ready for the next job with the same settings
//   (the same printer or PDF file).
// - GetDeviceCaps answers the device's real values: resolution (LOGPIXELSX/Y), the
//   printable area in device pixels (HORZRES, VERTRES), the paper (PHYSICALWIDTH/HEIGHT)
//   and the printable area's offset on it (PHYSICALOFFSETX/Y).
// - Device mode paper codes: 8 A3, 9 A4, 11 A5, 12 B4 (JIS), 13 B5 (JIS); orientation
//   1 portrait, 2 landscape. An unknown paper code leaves the paper unchanged.
// - The canvas's origin is the corner of the printable area, as on a Windows printer;
//   PHYSICALOFFSETX/Y say how far that lies from the paper's edge, in device pixels.
// - Misuse (BeginDoc while printing, NewPage or EndDoc while idle) and a device that
//   cannot start a job raise EPrinter.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/print/Graphics.h"

class QPrinter;
class QWidget;

namespace platform {

class EPrinter : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TDeviceMode {
    int16_t dmPaperSize = 9;
    int16_t dmOrientation = 1;
};

class TPrinter {
public:
    TPrinter();
    ~TPrinter();
    TPrinter(const TPrinter&) = delete;
    TPrinter& operator=(const TPrinter&) = delete;

    std::vector<std::string> Printers() const;  // UTF-8 names
    int PrinterIndex() const { return index_; }
    void SetPrinterIndex(int index);
    std::string PrinterName() const;

    // The device mode, copied out and handed back as the driver's DEVMODE would be.
    // GetDeviceMode fails (false) only when the device has no settings to lock.
    bool GetDeviceMode(TDeviceMode& mode) const;
    void SetDeviceMode(const TDeviceMode& mode);
    // Selects the current printer again so that its driver's defaults are loaded.
    void ResetDeviceMode();

    std::string Title;
    void SetOutputFileName(const std::string& path);
    void SetResolution(int dotsPerInch);
    // The unprintable border of the paper in millimetres (0 for a PDF file).
    void SetUnprintableMargins(double leftMm, double topMm);

    void BeginDoc();
    void NewPage();
    // Raises EPrinter when the job failed on its way (see JobDone).
    void EndDoc();
    // After a job, also one a document drew straight on Native(): whether it was done
    // whole, neither failed at its start nor on its way (a PDF file not written to its
    // end, as on a full disk). A failed job's device is renewed for the next job, which
    // goes where this one was to go.
    bool JobDone();
    void Abort();
    bool Printing() const;
    // Sheets begun in the current job, from 1.
    int PageNumber() const { return pageNumber_; }

    TCanvas& Canvas();
    int GetDeviceCaps(int index) const;
    QPrinter& Native() { return *printer_; }
    // Whether the print commands show the print dialog before a job on this printer.
    bool AskBeforePrinting = false;

private:
    friend bool ChoosePrinter(TPrinter& printer, QWidget* parent);
    // A new device with this printer's settings (printer or file, paper, resolution).
    void Renew();
    bool OutputWhole() const;
    class PrinterCanvas;
    std::unique_ptr<QPrinter> printer_;
    std::unique_ptr<PrinterCanvas> canvas_;
    int index_ = -1;
    int pageNumber_ = 0;
    double marginLeftMm_ = 0;
    double marginTopMm_ = 0;
};

// The application's printer, created on first use; it asks before every job.
TPrinter& Printer();

// The print dialog before a print command's job, when the printer asks: true when the
// user chose a printer or a PDF file, false when cancelled. A hook (tests) answers in
// the dialog's place, choosing on the printer it is given.
bool ChoosePrinter(TPrinter& printer, QWidget* parent);
void SetPrintDialogHook(std::function<bool(TPrinter&)> hook);
// The folder whose file the print dialog proposes for "print to file (PDF)" while the
// printer has no file yet (the program sets its own folder; Qt's would be the home
// folder); once a file was chosen, its name is proposed again.
void SetProposedPdfFolder(const std::string& folder);
// The file the dialog proposes for a printer without one: the folder, then the job's
// title (or "print") with ".pdf"; empty without a folder.
std::string ProposedPdfFile(const TPrinter& printer);

}  // namespace platform

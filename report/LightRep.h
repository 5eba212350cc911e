#pragma once
// A report page and the driver of every output pass (print job, preview, pagination).
//
// Coordinates: panels and items are laid out in design pixels (96 per inch, 378 to
// 10 cm). A pass renders them multiplied by its scale and rounded half to even: the
// printer's LOGPIXELSY over 96 when printing, 1.0 for preview and pagination.
//
// States (GetStatus): 0 idle, 1 printing (BeginDoc .. EndDoc), 2 preview (BeginPreview
// or the first DrawPreviewPage .. EndPreview; BeginDoc and BeginPaginate end it),
// 3 paginating (BeginPaginate .. EndPaginate). Misuse raises ELRError and changes
// nothing, except that BeginDoc with a reversed page range first sets LastPage :=
// FirstPage. Pages outside FirstPage..LastPage are rendered onto a 1-bit scratch bitmap
// at scale 1.0, so they consume their data without reaching the printer.
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/print/Graphics.h"
#include "platform/print/Printer.h"
#include "report/Control.h"

namespace report {

using platform::TPixelFormat;

// The report library's exception; the message is UTF-8 text for the user.
class ELRError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr int kPixelsPer10cm = 378;

enum class TPaperSize { psNone, psA4, psB4, psB5, psA3, psA5 };
enum class TPrinterOrientation { poPortrait, poLandscape };

int ScaleValue(int value, double scale);
TRect ScaleRect(const TRect& r, double scale);
void SetDesignGridPen(TCanvas& canvas, bool dotted);
void DrawDesignGrid(TCanvas& canvas, int width, int height, int offsetX, int offsetY);
void DrawItemDesignMarks(TCanvas& canvas, const TRect& r);
// The dotted outline that marks a panel or item in the design view.
void DrawDesignOutline(TCanvas& canvas, int width, int height, TColor color);

// The design size of a paper in portrait, and its device-mode paper code.
struct PaperInfo {
    int width, height;
    int16_t code;
};
PaperInfo PaperDimensions(TPaperSize size);

class TLightRep : public TControl {
public:
    TLightRep();
    ~TLightRep() override;

    std::function<void(TLightRep*)> OnSetPrinter;
    std::string Title;
    int FirstPage = 0;
    int LastPage = 0;
    int PageCount = -1;

    int MarginTop() const { return margins_[0]; }
    int MarginLeft() const { return margins_[1]; }
    int MarginRight() const { return margins_[2]; }
    int MarginBottom() const { return margins_[3]; }
    void SetMarginTop(int v) { SetMargin(0, v); }
    void SetMarginLeft(int v) { SetMargin(1, v); }
    void SetMarginRight(int v) { SetMargin(2, v); }
    void SetMarginBottom(int v) { SetMargin(3, v); }
    TPrinterOrientation Orientation() const { return orientation_; }
    void SetOrientation(TPrinterOrientation orientation);
    TPaperSize PaperSize() const { return paperSize_; }
    void SetPaperSize(TPaperSize paperSize);

    void BeginDoc();
    void PrintPage();
    void NewPage();
    void EndDoc();
    void BeginPreview();
    void DrawPreviewPage(TCanvas& canvas);
    void DrawScaledPage(TCanvas& canvas, int x, TPixelFormat pixelFormat, int percent, int y);
    void EndPreview();
    void BeginPaginate();
    void PaginatePage();
    void EndPaginate();

    int GetPageNumber() const;
    uint8_t GetStatus() const { return status_; }
    void ContinuePageNumbers();
    platform::TPrinter* GetPrinter();
    void SetPrinter(platform::TPrinter* printer);
    void PrintPanels();

    void SetParent(TControl* parent) override;
    void Loaded() override;
    void Paint(TCanvas& canvas) override;

protected:
    void AlignControls(TRect& rect) override;
    void Resize() override;

private:
    void SetMargin(int which, int value);
    void UpdatePageSize();
    void SetupPrinter();
    void CreateScratch();

    int margins_[4];
    TPrinterOrientation orientation_ = TPrinterOrientation::poPortrait;
    TPaperSize paperSize_ = TPaperSize::psA4;
    platform::TPrinter* printer_ = nullptr;
    TCanvas* canvas_ = nullptr;
    double scale_ = 1.0;
    int pageNumber_ = 0;
    uint8_t status_ = 0;
    std::unique_ptr<platform::TBitmap> scratch_;
    bool continueNumbers_ = false;
    int printerIndex_ = -1;
    bool resizing_ = false;
};

}  // namespace report

#include "report/LightRep.h"

#include <cmath>

#include "report/Panels.h"

namespace report {

namespace {

const TCanvas* PrinterCanvas(platform::TPrinter* printer) { return printer ? &printer->Canvas() : nullptr; }

}  // namespace

int ScaleValue(int value, double scale) { return platform::RoundHalfEven(value * scale); }

TRect ScaleRect(const TRect& r, double scale) {
    return TRect{ScaleValue(r.Left, scale), ScaleValue(r.Top, scale), ScaleValue(r.Right, scale),
                 ScaleValue(r.Bottom, scale)};
}

PaperInfo PaperDimensions(TPaperSize size) {
    switch (size) {
    case TPaperSize::psA4: return {794, 1123, 9};
    case TPaperSize::psB4: return {945, 1338, 12};
    case TPaperSize::psB5: return {688, 971, 13};
    case TPaperSize::psA3: return {1123, 1587, 8};
    case TPaperSize::psA5: return {559, 794, 11};
    default: return {0, 0, 0};
    }
}

TLightRep::TLightRep() {
    const int margin = kPixelsPer10cm / 10 - 1;
    for (int& m : margins_) m = margin;
    Color = platform::clWhite;
    UpdatePageSize();
}

TLightRep::~TLightRep() {
    // A page destroyed in the middle of a job still closes the document it opened.
    if (status_ == 1 && printer_ && printer_->Printing()) printer_->Abort();
}

void TLightRep::SetParent(TControl* parent) {
    if (parent && !dynamic_cast<TCustomForm*>(parent)) throw ELRError("フォーム上にのみ配置できます．");
    TControl::SetParent(parent);
}

void TLightRep::Loaded() {
    if (!Designing()) SetVisible(false);
    UpdatePageSize();
}

void TLightRep::SetMargin(int which, int value) {
    if (value <= 0 || value >= Width() / 2) return;
    if (margins_[which] == value) return;
    margins_[which] = value;
    Realign();
}

void TLightRep::SetOrientation(TPrinterOrientation orientation) {
    orientation_ = orientation;
    if (!Loading()) UpdatePageSize();
}

void TLightRep::SetPaperSize(TPaperSize paperSize) {
    paperSize_ = paperSize;
    UpdatePageSize();
}

void TLightRep::UpdatePageSize() {
    if (paperSize_ == TPaperSize::psNone) return;
    PaperInfo paper = PaperDimensions(paperSize_);
    if (orientation_ == TPrinterOrientation::poLandscape) std::swap(paper.width, paper.height);
    if (paper.width != Width() || paper.height != Height()) {
        resizing_ = true;
        SetBounds(Left(), Top(), paper.width, paper.height);
        resizing_ = false;
    }
}

void TLightRep::Resize() {
    if (!resizing_ && paperSize_ != TPaperSize::psNone && !Loading()) {
        UpdatePageSize();
        if (resizing_) return;
    }
    TControl::Resize();
}

void TLightRep::AlignControls(TRect& rect) {
    rect.Left += MarginLeft();
    rect.Top += MarginTop();
    rect.Right -= MarginRight();
    rect.Bottom -= MarginBottom();
    TControl::AlignControls(rect);
}

platform::TPrinter* TLightRep::GetPrinter() {
    if (!printer_) {
        printer_ = &platform::Printer();
        printerIndex_ = printer_->PrinterIndex();
    }
    return printer_;
}

void TLightRep::SetPrinter(platform::TPrinter* printer) {
    if (!printer) return;
    printer_ = printer;
    printerIndex_ = printer->PrinterIndex();
}

void TLightRep::SetupPrinter() {
    platform::TPrinter* printer = GetPrinter();
    if (printer->PrinterIndex() != printerIndex_) {
        printer->ResetDeviceMode();
        printerIndex_ = printer->PrinterIndex();
    }
    if (paperSize_ == TPaperSize::psNone) {
        if (OnSetPrinter) OnSetPrinter(this);
        return;
    }
    platform::TDeviceMode mode;
    if (!printer->GetDeviceMode(mode)) throw ELRError("用紙設定時にエラーが発生しました．");
    mode.dmPaperSize = PaperDimensions(paperSize_).code;
    mode.dmOrientation = orientation_ == TPrinterOrientation::poLandscape ? 2 : 1;
    printer->SetDeviceMode(mode);
}

void TLightRep::CreateScratch() {
    if (!scratch_) scratch_ = std::make_unique<platform::TBitmap>(Width(), Height(), TPixelFormat::pf1bit);
}

void TLightRep::BeginDoc() {
    if (status_ == 1) throw ELRError("プリンタは印刷中です．");
    if (status_ == 3) throw ELRError("Paginate中です、印刷できません．");
    if (status_ == 2) EndPreview();
    if (LastPage != 0 && FirstPage > LastPage) {
        LastPage = FirstPage;
        throw ELRError("印刷ページ範囲が正しくありません．");
    }
    SetupPrinter();
    platform::TPrinter* printer = GetPrinter();
    canvas_ = &printer->Canvas();
    printer->Title = Title;
    printer->BeginDoc();
    status_ = 1;
    if (!continueNumbers_) pageNumber_ = 0;
    if (FirstPage >= 2 || LastPage >= 1) CreateScratch();
}

void TLightRep::PrintPage() {
    if (status_ == 0) throw ELRError("BeginDocが呼び出されていません．");
    ++pageNumber_;
    if (FirstPage <= pageNumber_ && (LastPage == 0 || pageNumber_ <= LastPage)) {
        canvas_ = &GetPrinter()->Canvas();
        scale_ = static_cast<double>(canvas_->GetDeviceCaps(platform::LOGPIXELSY)) / platform::kScreenPixelsPerInch;
    } else {
        CreateScratch();
        canvas_ = &scratch_->Canvas();
        scale_ = 1.0;
    }
    PrintPanels();
}

void TLightRep::NewPage() {
    platform::TPrinter* printer = GetPrinter();
    if (printer->Printing() && pageNumber_ >= FirstPage && (LastPage == 0 || pageNumber_ < LastPage))
        printer->NewPage();
}

void TLightRep::EndDoc() {
    if (status_ == 1) {
        status_ = 0;
        if (GetPrinter()->Printing()) GetPrinter()->EndDoc();
    }
    scratch_.reset();
    canvas_ = nullptr;
}

void TLightRep::BeginPreview() {
    if (status_ == 1) throw ELRError("プリンタが印刷中のため、プレビューを開始できません．");
    if (status_ == 3) throw ELRError("Paginate中です、プレビュー表示できません．");
    status_ = 2;
    pageNumber_ = 0;
}

void TLightRep::DrawPreviewPage(TCanvas& canvas) {
    if (status_ != 2) BeginPreview();
    scale_ = 1.0;
    canvas_ = &canvas;
    canvas.BrushStyle = platform::TBrushStyle::bsSolid;
    canvas.BrushColor = platform::clWhite;
    canvas.FillRect(platform::Rect(0, 0, Width(), Height()));
    ++pageNumber_;
    PrintPanels();
    canvas_ = nullptr;
}

void TLightRep::DrawScaledPage(TCanvas& canvas, int x, TPixelFormat pixelFormat, int percent, int y) {
    if (percent < 25 || percent > 100) throw ELRError("印刷スケールが無効です．");
    platform::TBitmap page(Width(), Height(), pixelFormat);
    DrawPreviewPage(page.Canvas());
    const int w = platform::RoundHalfEven(Width() * percent / 100.0);
    const int h = platform::RoundHalfEven(Height() * percent / 100.0);
    canvas.StretchDraw(platform::Bounds(x, y, w, h), page.Image());
}

void TLightRep::EndPreview() {
    status_ = 0;
    pageNumber_ = 0;
}

void TLightRep::BeginPaginate() {
    if (status_ == 1) throw ELRError("印刷中のため、Paginateを開始できません．");
    if (status_ == 2) EndPreview();
    status_ = 3;
    pageNumber_ = 0;
    CreateScratch();
}

void TLightRep::PaginatePage() {
    if (status_ != 3) throw ELRError("BeginPaginateが呼び出されていません．");
    ++pageNumber_;
    canvas_ = &scratch_->Canvas();
    scale_ = 1.0;
    PrintPanels();
}

void TLightRep::EndPaginate() {
    status_ = 0;
    scratch_.reset();
    canvas_ = nullptr;
    PageCount = pageNumber_;
    pageNumber_ = 0;
}

int TLightRep::GetPageNumber() const { return status_ == 0 ? 0 : pageNumber_; }

void TLightRep::ContinuePageNumbers() {
    continueNumbers_ = true;
    pageNumber_ = 0;
}

void TLightRep::PrintPanels() {
    if (!canvas_) return;
    const bool toPrinter = status_ == 1 && canvas_ == PrinterCanvas(printer_);
    int offsetX = 0, offsetY = 0;
    if (toPrinter) {
        offsetX = platform::RoundHalfEven(canvas_->GetDeviceCaps(platform::PHYSICALOFFSETX) / scale_);
        offsetY = platform::RoundHalfEven(canvas_->GetDeviceCaps(platform::PHYSICALOFFSETY) / scale_);
    }
    const std::vector<TControl*> children = Controls();
    for (TControl* child : children) {
        auto* panel = dynamic_cast<TCustomLRPanel*>(child);
        if (!panel || !Shown(panel)) continue;
        TRect r = panel->BoundsRect();
        r.Left -= offsetX;
        r.Right -= offsetX;
        r.Top -= offsetY;
        r.Bottom -= offsetY;
        panel->PrintPanel(*canvas_, r, scale_);
    }
}

// ---------------------------------------------------------------------------
// Design view

void SetDesignGridPen(TCanvas& canvas, bool dotted) {
    canvas.PenColor = platform::clSilver;
    canvas.PenWidth = 1;
    canvas.PenStyle = dotted ? platform::TPenStyle::psDot : platform::TPenStyle::psSolid;
}

void DrawDesignGrid(TCanvas& canvas, int width, int height, int offsetX, int offsetY) {
    for (int i = 0;; ++i) {
        const int x = platform::RoundHalfEven(i * kPixelsPer10cm / 20.0) - offsetX;
        if (x >= width) break;
        if (x <= 0) continue;
        SetDesignGridPen(canvas, i % 2 == 1);
        canvas.Line(x, 0, x, height);
    }
    for (int i = 0;; ++i) {
        const int y = platform::RoundHalfEven(i * kPixelsPer10cm / 20.0) - offsetY;
        if (y >= height) break;
        if (y <= 0) continue;
        SetDesignGridPen(canvas, i % 2 == 1);
        canvas.Line(0, y, width, y);
    }
    canvas.PenStyle = platform::TPenStyle::psSolid;
}

void DrawDesignOutline(TCanvas& canvas, int width, int height, TColor color) {
    canvas.PenColor = color;
    canvas.PenWidth = 1;
    canvas.PenStyle = platform::TPenStyle::psDot;
    canvas.Line(0, 0, width, 0);
    canvas.Line(0, height - 1, width, height - 1);
    canvas.Line(0, 0, 0, height);
    canvas.Line(width - 1, 0, width - 1, height);
    canvas.PenStyle = platform::TPenStyle::psSolid;
}

void DrawItemDesignMarks(TCanvas& canvas, const TRect& r) {
    canvas.PenColor = platform::clGreen;
    canvas.PenWidth = 1;
    canvas.PenStyle = platform::TPenStyle::psSolid;
    const int right = r.Right - 1, bottom = r.Bottom - 1;
    canvas.Line(r.Left, r.Top, r.Left + 4, r.Top);
    canvas.Line(r.Left, r.Top, r.Left, r.Top + 4);
    canvas.Line(right - 4, r.Top, right + 1, r.Top);
    canvas.Line(right, r.Top, right, r.Top + 4);
    canvas.Line(r.Left, bottom, r.Left + 4, bottom);
    canvas.Line(r.Left, bottom - 4, r.Left, bottom + 1);
    canvas.Line(right - 4, bottom, right + 1, bottom);
    canvas.Line(right, bottom - 4, right, bottom + 1);
}

void TLightRep::Paint(TCanvas& canvas) {
    canvas.BrushStyle = platform::TBrushStyle::bsSolid;
    canvas.BrushColor = platform::clWhite;
    canvas.FillRect(platform::Rect(0, 0, Width(), Height()));
    DrawDesignGrid(canvas, Width(), Height(), 0, 0);
    TFont numbers;
    numbers.Height = -8 * platform::kScreenPixelsPerInch / 72;
    numbers.Color = platform::clSilver;
    canvas.SetFont(numbers);
    canvas.BrushStyle = platform::TBrushStyle::bsClear;
    for (int i = 0;; ++i) {
        const int pos = platform::RoundHalfEven(i * kPixelsPer10cm / 10.0) + 1;
        if (pos >= Width() && pos >= Height()) break;
        const std::string label = std::to_string(i);
        if (pos < Width()) canvas.TextOut(pos, 1, label);
        if (pos < Height()) canvas.TextOut(1, pos, label);
    }
    canvas.SetFont(Font);
    canvas.TextOut(4, 4, Name);
}

}  // namespace report

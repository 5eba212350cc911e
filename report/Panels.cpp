#include "report/Panels.h"

#include <algorithm>

#include "report/Items.h"

namespace report {

TControl* ChildParent(TControl* parent) {
    if (auto* grid = dynamic_cast<TLRGridPanel*>(parent)) return grid->Template();
    return parent;
}

TCustomLRPanel::TCustomLRPanel() {
    SetAlign(TAlign::alTop);
    SetHeight(100);
    Color = platform::clWindow;
}

void TCustomLRPanel::PrintPanel(TCanvas&, const TRect&, double) {}

TLRAlign TCustomLRPanel::LRAlign() const {
    switch (Align()) {
    case TAlign::alTop: return TLRAlign::laTop;
    case TAlign::alLeft: return TLRAlign::laLeft;
    case TAlign::alRight: return TLRAlign::laRight;
    case TAlign::alBottom: return TLRAlign::laBottom;
    default: return TLRAlign::laClient;
    }
}

void TCustomLRPanel::SetLRAlign(TLRAlign align) {
    static constexpr TAlign kMap[] = {TAlign::alTop, TAlign::alLeft, TAlign::alRight, TAlign::alBottom,
                                      TAlign::alClient};
    SetAlign(kMap[static_cast<int>(align)]);
}

TRect TCustomLRPanel::GetPageRect() const {
    TRect r = BoundsRect();
    for (const TControl* p = Parent(); p && dynamic_cast<const TCustomLRPanel*>(p); p = p->Parent()) {
        r.Left += p->Left();
        r.Right += p->Left();
        r.Top += p->Top();
        r.Bottom += p->Top();
    }
    return r;
}

void TCustomLRPanel::Paint(TCanvas& canvas) {
    canvas.BrushStyle = platform::TBrushStyle::bsSolid;
    canvas.BrushColor = platform::clWhite;
    canvas.FillRect(platform::Rect(0, 0, Width(), Height()));
    const TRect page = GetPageRect();
    DrawDesignGrid(canvas, Width(), Height(), page.Left, page.Top);
    canvas.BrushStyle = platform::TBrushStyle::bsClear;
    canvas.SetFont(Font);
    canvas.TextOut(2, 2, Name);
    DrawDesignOutline(canvas, Width(), Height(), platform::clBlue);
}

namespace {

TRect Offset(TRect r, const TRect& by) {
    r.Left += by.Left;
    r.Right += by.Left;
    r.Top += by.Top;
    r.Bottom += by.Top;
    return r;
}

}  // namespace

void PrintChildren(TControl* panel, TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale) {
    const std::vector<TControl*> children = panel->Controls();
    for (TControl* child : children) {
        if (!child->Visible() && !child->Designing()) continue;
        const TRect r = Offset(child->BoundsRect(), rect);
        if (auto* item = dynamic_cast<TCustomLRItem*>(child))
            item->PrintItem(canvas, r, status, scale);
        else if (auto* layout = dynamic_cast<TLRLayoutPanel*>(child))
            layout->PrintPanel(canvas, r, scale);
    }
}

// ---------------------------------------------------------------------------

void TLRLayoutPanel::PrintPanel(TCanvas& canvas, const TRect& rect, double scale) {
    TPrintStatus status = kPrintAll;
    if (BeforePrint) BeforePrint(this, rect, status);
    if (status == kPrintSkip) return;
    const std::vector<TControl*> children = Controls();
    for (TControl* child : children) {
        if (!Shown(child)) continue;
        const TRect r = Offset(child->BoundsRect(), rect);
        if (auto* item = dynamic_cast<TCustomLRItem*>(child))
            item->PrintItem(canvas, r, status, scale);
        else if (auto* panel = dynamic_cast<TCustomLRPanel*>(child))
            panel->PrintPanel(canvas, r, scale);
    }
    if (AfterPrint) AfterPrint(this);
}

void TLRLayoutPanel::SetParent(TControl* parent) {
    parent = ChildParent(parent);
    if (parent && !dynamic_cast<TLightRep*>(parent) && !dynamic_cast<TLRLayoutPanel*>(parent) &&
        !dynamic_cast<TLRChildPanel*>(parent))
        throw ELRError("TLightRep上かTLRLayoutPanelにのみ配置できます．");
    TCustomLRPanel::SetParent(parent);
}

// ---------------------------------------------------------------------------

TLRGridPanel::TLRGridPanel() : template_(new TLRChildPanel) {
    template_->Name = "ChildPanel";
    template_->SetAlign(TAlign::alClient);
    template_->TControl::SetParent(this);
}

TLRGridPanel::~TLRGridPanel() {
    while (!subPanels_.empty()) subPanels_.back()->SetGridPanel(nullptr);
}

void TLRGridPanel::SetColCount(int n) {
    if (n < 1 || Width() / n < 10) throw ELRError("列数が有効範囲を超えています．");
    colCount_ = n;
    Realign();
}

void TLRGridPanel::SetRowCount(int n) {
    if (n < 1 || Height() / n < 10) throw ELRError("行数が有効範囲を超えています．");
    rowCount_ = n;
    Realign();
}

void TLRGridPanel::PrintPanel(TCanvas& canvas, const TRect& rect, double scale) {
    TPrintStatus status = kPrintAll;
    if (BeforePrint) BeforePrint(this, rect, status);
    if (status == kPrintSkip) return;
    if (PrintDirection == TPrintDirection::pdVert) {
        for (int col = 0; col < colCount_; ++col)
            for (int row = 0; row < rowCount_; ++row) PrintCell(canvas, rect, scale, row, col);
    } else {
        for (int row = 0; row < rowCount_; ++row)
            for (int col = 0; col < colCount_; ++col) PrintCell(canvas, rect, scale, row, col);
    }
    if (AfterPrint) AfterPrint(this);
}

void TLRGridPanel::PrintCell(TCanvas& canvas, const TRect& rect, double scale, int row, int col) {
    const int left = rect.Left + platform::RoundHalfEven(static_cast<double>(Width()) * col / colCount_);
    const int top = rect.Top + platform::RoundHalfEven(static_cast<double>(Height()) * row / rowCount_);
    const TRect cell = platform::Bounds(left, top, template_->Width(), template_->Height());
    TPrintStatus status = kPrintAll;
    if (OnPrintPanel) OnPrintPanel(this, col, row, cell, status);
    if (status != kPrintSkip && template_->BeforePrint) template_->BeforePrint(template_, cell, status);
    if (status == kPrintSkip) return;
    PrintChildren(template_, canvas, cell, status, scale);
    if (template_->AfterPrint) template_->AfterPrint(template_);
}

void TLRGridPanel::AlignControls(TRect& rect) {
    if (colCount_ > 1) rect.Right = rect.Left + rect.Width() / colCount_;
    if (rowCount_ > 1) rect.Bottom = rect.Top + rect.Height() / rowCount_;
    TCustomLRPanel::AlignControls(rect);
    ResizeSubPanels();
}

void TLRGridPanel::Resize() {
    TCustomLRPanel::Resize();
    ResizeSubPanels();
}

void TLRGridPanel::AddSubPanel(TLRSubPanel* panel) {
    if (!panel || std::find(subPanels_.begin(), subPanels_.end(), panel) != subPanels_.end()) return;
    subPanels_.push_back(panel);
    ResizeSubPanels();
}

void TLRGridPanel::RemoveSubPanel(TLRSubPanel* panel) {
    subPanels_.erase(std::remove(subPanels_.begin(), subPanels_.end(), panel), subPanels_.end());
}

void TLRGridPanel::ResizeSubPanels() {
    for (TLRSubPanel* panel : subPanels_) {
        if (panel->Width() == template_->Width() && panel->Height() == template_->Height()) continue;
        panel->sizing_ = true;
        panel->SetBounds(panel->Left(), panel->Top(), template_->Width(), template_->Height());
        panel->sizing_ = false;
    }
}

void TLRGridPanel::SetParent(TControl* parent) {
    if (parent && !dynamic_cast<TLightRep*>(parent) && !dynamic_cast<TLRLayoutPanel*>(parent))
        throw ELRError("TLightRep上かTLRLayoutPanelにのみ配置できます．");
    TCustomLRPanel::SetParent(parent);
}

void TLRGridPanel::Paint(TCanvas& canvas) {
    if (colCount_ * rowCount_ <= 1) {
        TCustomLRPanel::Paint(canvas);
        return;
    }
    canvas.BrushStyle = platform::TBrushStyle::bsSolid;
    canvas.BrushColor = 0xEFEFEF;
    canvas.FillRect(platform::Rect(0, 0, Width(), Height()));
    canvas.BrushColor = platform::clWhite;
    canvas.FillRect(platform::Rect(0, 0, template_->Width(), template_->Height()));
    canvas.PenColor = platform::clBlue;
    canvas.PenWidth = 1;
    canvas.PenStyle = platform::TPenStyle::psDot;
    for (int i = 1; i <= rowCount_; ++i) {
        int y = platform::RoundHalfEven(static_cast<double>(Height()) * i / rowCount_);
        if (y >= Height()) y = Height() - 1;
        canvas.Line(0, y, Width(), y);
    }
    for (int i = 1; i <= colCount_; ++i) {
        int x = platform::RoundHalfEven(static_cast<double>(Width()) * i / colCount_);
        if (x >= Width()) x = Width() - 1;
        canvas.Line(x, 0, x, Height());
    }
    canvas.PenStyle = platform::TPenStyle::psSolid;
    template_->Paint(canvas);
}

// ---------------------------------------------------------------------------

TLRSubPanel::TLRSubPanel() {
    SetAlign(TAlign::alNone);
    SetVisible(false);
}

TLRSubPanel::~TLRSubPanel() {
    if (grid_) grid_->RemoveSubPanel(this);
}

void TLRSubPanel::SetGridPanel(TLRGridPanel* grid) {
    if (grid == grid_) return;
    if (grid_) grid_->RemoveSubPanel(this);
    grid_ = grid;
    if (grid_) grid_->AddSubPanel(this);
}

void TLRSubPanel::SetParent(TControl* parent) {
    if (parent && (dynamic_cast<TLightRep*>(parent) || dynamic_cast<TCustomLRPanel*>(parent)))
        throw ELRError("TLightRep上には配置できません．");
    TLRChildPanel::SetParent(parent);
}

void TLRSubPanel::SetBounds(int left, int top, int width, int height) {
    if (grid_ && !sizing_) {
        width = Width();
        height = Height();
    }
    TLRChildPanel::SetBounds(left, top, width, height);
}

}  // namespace report

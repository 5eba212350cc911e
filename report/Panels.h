#pragma once
// Band panels of a report page. A layout panel prints its items once per page; a grid
// panel repeats its template (a child panel covering the first cell) over ColCount x
// RowCount cells; sub panels are free-standing panels kept at a grid's cell size.
//
// Print events receive rectangles in design pixels relative to the page; the status
// (TPrintStatus) they may change is 0 print, 1 border lines only, 2 skip the panel or
// cell with everything in it and its AfterPrint.
#include <cstdint>
#include <functional>
#include <vector>

#include "report/LightRep.h"

namespace report {

using TPrintStatus = uint8_t;
constexpr TPrintStatus kPrintAll = 0;
constexpr TPrintStatus kPrintLinesOnly = 1;
constexpr TPrintStatus kPrintSkip = 2;

enum class TLRAlign { laTop, laLeft, laRight, laBottom, laClient };
enum class TPrintDirection { pdHorz, pdVert, pdHolz };

using TBeforePrintEvent = std::function<void(TControl* sender, const TRect& rect, TPrintStatus& status)>;
using TNotifyEvent = std::function<void(TControl* sender)>;
using TPrintPanelEvent =
    std::function<void(TControl* sender, int col, int row, const TRect& rect, TPrintStatus& status)>;

class TCustomLRPanel : public TControl {
public:
    TCustomLRPanel();
    virtual void PrintPanel(TCanvas& canvas, const TRect& rect, double scale);
    TBeforePrintEvent BeforePrint;
    TNotifyEvent AfterPrint;
    TLRAlign LRAlign() const;
    void SetLRAlign(TLRAlign align);
    // The panel's rectangle in page coordinates.
    TRect GetPageRect() const;
    void Paint(TCanvas& canvas) override;
};

// Prints a panel's items and layout panels offset by rect (a grid cell).
void PrintChildren(TControl* panel, TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale);

class TLRLayoutPanel : public TCustomLRPanel {
public:
    void PrintPanel(TCanvas& canvas, const TRect& rect, double scale) override;
    void SetParent(TControl* parent) override;
};

class TLRChildPanel : public TCustomLRPanel {};

class TLRSubPanel;

class TLRGridPanel : public TCustomLRPanel {
public:
    TLRGridPanel();
    ~TLRGridPanel() override;

    TPrintPanelEvent OnPrintPanel;
    TBeforePrintEvent& BeforePrintPanel() { return template_->BeforePrint; }
    TNotifyEvent& AfterPrintPanel() { return template_->AfterPrint; }
    int ColCount() const { return colCount_; }
    int RowCount() const { return rowCount_; }
    void SetColCount(int n);
    void SetRowCount(int n);
    TPrintDirection PrintDirection = TPrintDirection::pdHorz;
    // The cell template: controls placed on the grid become its children.
    TLRChildPanel* Template() const { return template_; }

    void PrintPanel(TCanvas& canvas, const TRect& rect, double scale) override;
    void PrintCell(TCanvas& canvas, const TRect& rect, double scale, int row, int col);
    void AddSubPanel(TLRSubPanel* panel);
    void RemoveSubPanel(TLRSubPanel* panel);
    void ResizeSubPanels();
    void SetParent(TControl* parent) override;
    void Paint(TCanvas& canvas) override;

protected:
    void AlignControls(TRect& rect) override;
    void Resize() override;

private:
    TLRChildPanel* template_;
    std::vector<TLRSubPanel*> subPanels_;
    int colCount_ = 1;
    int rowCount_ = 1;
};

class TLRSubPanel : public TLRChildPanel {
public:
    TLRSubPanel();
    ~TLRSubPanel() override;
    TLRGridPanel* GridPanel() const { return grid_; }
    void SetGridPanel(TLRGridPanel* grid);
    void SetParent(TControl* parent) override;
    void SetBounds(int left, int top, int width, int height) override;

private:
    friend class TLRGridPanel;
    TLRGridPanel* grid_ = nullptr;
    bool sizing_ = false;
};

// The control that takes children placed on parent: a grid's template, else parent.
TControl* ChildParent(TControl* parent);

}  // namespace report

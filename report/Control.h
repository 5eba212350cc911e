#pragma once
// The part of the class library's control tree that report pages need: named controls
// with bounds, visibility, alignment and a parent that owns them.
//
// Contract:
// - A parent owns its children: destroying it destroys them (last to first); a child
//   destroyed first leaves its parent's list. Children keep the order they were added in.
// - Alignment as the class library does it: inside the parent's client rectangle (as
//   AlignControls narrows it) top-aligned children stack from the top in the order of
//   their Top, bottom-aligned ones from the bottom, then left, right and finally client.
//   At run time only visible children take part; at design time all do.
// - Changing a child's bounds, alignment or visibility realigns its parent; a control's
//   Resize (after every change of its size) realigns its own children.
// - A control with ParentFont takes its parent's font when it is placed on it, so a
//   form's font reaches every control that does not set its own.
// - Designing and Loading are component states shared by a whole tree (its root's).
#include <string>
#include <vector>

#include "platform/print/Graphics.h"

namespace report {

using platform::TCanvas;
using platform::TColor;
using platform::TFont;
using platform::TRect;

enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };

class TControl {
public:
    TControl();
    virtual ~TControl();
    TControl(const TControl&) = delete;
    TControl& operator=(const TControl&) = delete;

    std::string Name;
    TColor Color = platform::clWhite;
    TFont Font;
    bool ParentFont = true;

    int Left() const { return left_; }
    int Top() const { return top_; }
    int Width() const { return width_; }
    int Height() const { return height_; }
    TRect BoundsRect() const { return platform::Bounds(left_, top_, width_, height_); }
    virtual void SetBounds(int left, int top, int width, int height);
    void SetLeft(int v) { SetBounds(v, top_, width_, height_); }
    void SetTop(int v) { SetBounds(left_, v, width_, height_); }
    void SetWidth(int v) { SetBounds(left_, top_, v, height_); }
    void SetHeight(int v) { SetBounds(left_, top_, width_, v); }

    bool Visible() const { return visible_; }
    void SetVisible(bool visible);
    TAlign Align() const { return align_; }
    void SetAlign(TAlign align);

    TControl* Parent() const { return parent_; }
    virtual void SetParent(TControl* parent);
    const std::vector<TControl*>& Controls() const { return children_; }
    TControl* FindChild(const std::string& name) const;

    bool Designing() const;
    void SetDesigning(bool designing);
    bool Loading() const;
    // Marks the tree as being loaded; EndLoading runs Loaded on every control.
    void BeginLoading();
    void EndLoading();

    virtual TRect ClientRect() const { return platform::Rect(0, 0, width_, height_); }
    void Realign();
    virtual void Loaded() {}
    // The design view of the control on a canvas whose origin is the control's corner.
    virtual void Paint(TCanvas&) {}

protected:
    virtual void Resize() { Realign(); }
    virtual void AlignControls(TRect& rect);
    // Takes part in alignment and printing: visible, or any control at design time.
    bool Shown(const TControl* child) const { return child->Visible() || Designing(); }
    const TControl* Root() const;

private:
    void NotifyLoaded();

    TControl* parent_ = nullptr;
    std::vector<TControl*> children_;
    int left_ = 0, top_ = 0, width_ = 0, height_ = 0;
    bool visible_ = true;
    TAlign align_ = TAlign::alNone;
    int aligning_ = 0;
    bool designing_ = false;
    bool loading_ = false;
    bool destroying_ = false;
};

// The root of a form's control tree; report pages may stand only on one.
class TCustomForm : public TControl {};

}  // namespace report

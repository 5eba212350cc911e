#pragma once
// The owner-drawn push button: a caption of one or more lines aligned horizontally
// and vertically with offsets, three frame styles (standard; flat that rises under
// the mouse and sinks when pressed; none), edge colours, and mouse-enter and
// mouse-leave events in which forms change its Color. A double click counts as a
// second press. Every setter repaints only when the value changed.
#include <QPushButton>
#include <QStringList>
#include <functional>

#include "platform/gui/Color.h"

namespace app {

enum TNHAlignment { haLeft, haCenter, haRight };
enum TNVAlignment { vaTop, vaCenter, vaBottom };
enum TButtonStyle { bsStd, bsIELike, bsNone };

// The system colours the painting uses, as the standard palette gives them.
namespace syscolor {
constexpr gui::TColor clWindow = 0xFFFFFF;
constexpr gui::TColor clWindowFrame = 0x000000;
constexpr gui::TColor clBtnFace = 0xF0F0F0;
constexpr gui::TColor clBtnHighlight = 0xFFFFFF;
constexpr gui::TColor clBtnShadow = 0xA0A0A0;
}  // namespace syscolor

class TMakatiButton : public QPushButton {
public:
    explicit TMakatiButton(QWidget* parent = nullptr);

    QStringList CaptionLines() const { return captionLines_; }
    void SetCaptionLines(const QStringList& lines);
    gui::TColor Color() const { return color_; }
    void SetColor(gui::TColor value) { Set(color_, value); }
    TNHAlignment CapAlignH() const { return alignH_; }
    void SetCapAlignH(TNHAlignment value) { Set(alignH_, value); }
    TNVAlignment CapAlignV() const { return alignV_; }
    void SetCapAlignV(TNVAlignment value) { Set(alignV_, value); }
    TButtonStyle ButtonStyle() const { return style_; }
    void SetButtonStyle(TButtonStyle value) { Set(style_, value); }
    bool CapFixed() const { return capFixed_; }
    void SetCapFixed(bool value) { Set(capFixed_, value); }
    bool Focusline() const { return focusLine_; }
    void SetFocusline(bool value) { Set(focusLine_, value); }
    int CapOffsetH() const { return offsetH_; }
    void SetCapOffsetH(int value) { Set(offsetH_, value); }
    int CapOffsetV() const { return offsetV_; }
    void SetCapOffsetV(int value) { Set(offsetV_, value); }
    gui::TColor FrameColor() const { return frameColor_; }
    void SetFrameColor(gui::TColor value) { Set(frameColor_, value); }
    gui::TColor EdgeHighlight() const { return edgeHighlight_; }
    void SetEdgeHighlight(gui::TColor value) { Set(edgeHighlight_, value); }
    gui::TColor EdgeShadow() const { return edgeShadow_; }
    void SetEdgeShadow(gui::TColor value) { Set(edgeShadow_, value); }
    bool Hovering() const { return hover_; }
    int RepaintCount() const { return repaints_; }

    std::function<void(TMakatiButton*)> OnMouseEnter, OnMouseLeave;

    // The caption as drawn: Caption, or else the lines joined by line ends.
    QString DrawnText() const;

protected:
    void paintEvent(QPaintEvent*) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    template <typename T>
    void Set(T& field, T value) {
        if (field == value) return;
        field = value;
        Repaint();
    }
    void Repaint();

    QStringList captionLines_;
    gui::TColor color_ = syscolor::clWindow;
    TNHAlignment alignH_ = haCenter;
    TNVAlignment alignV_ = vaCenter;
    TButtonStyle style_ = bsStd;
    bool capFixed_ = true;
    bool focusLine_ = true;
    int offsetH_ = 0, offsetV_ = 0;
    gui::TColor frameColor_ = syscolor::clWindowFrame;
    gui::TColor edgeHighlight_ = syscolor::clBtnHighlight;
    gui::TColor edgeShadow_ = syscolor::clBtnShadow;
    bool hover_ = false;
    int repaints_ = 0;
};

}  // namespace app

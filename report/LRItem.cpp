#include "report/FormatText.h"
#include "report/Items.h"

namespace report {

TCustomLRItem::TCustomLRItem() { SetBounds(0, 0, 65, 17); }

void TCustomLRItem::PrintItem(TCanvas&, const TRect&, TPrintStatus, double) {}

void TCustomLRItem::SetParent(TControl* parent) {
    parent = ChildParent(parent);
    if (parent && !dynamic_cast<TCustomLRPanel*>(parent)) throw ELRError("パネル上にのみ配置できます．");
    TControl::SetParent(parent);
}

TLRItem::TLRItem() { Color = platform::clWhite; }

void TLRItem::SetHMargin(int value) {
    if (value >= -255 && value <= 255) hMargin_ = value;
}

void TLRItem::SetVMargin(int value) {
    if (value >= -255 && value <= 255) vMargin_ = value;
}

std::string TLRItem::GetDisplayText() const {
    if (DisplayMask.empty() || Text.empty()) return Text;
    const bool numeric = Text.find_first_not_of("0123456789+-.") == std::string::npos;
    if (numeric) return FormatFloat(DisplayMask, StrToFloat(Text));
    return FormatMaskText(DisplayMask, Text);
}

int LineWidth(TLineStyle style, double scale) {
    switch (style) {
    case TLineStyle::lsSingle: return platform::RoundHalfEven(1.2 * scale);
    case TLineStyle::lsHalf: return platform::RoundHalfEven(scale / 2);
    case TLineStyle::lsDouble: return platform::RoundHalfEven(scale * 2);
    default: return 0;
    }
}

namespace {

void SetLinePen(TCanvas& canvas, TLineStyle style, double scale, bool designing) {
    canvas.PenStyle = platform::TPenStyle::psSolid;
    if (!designing) {
        canvas.PenWidth = LineWidth(style, scale);
        return;
    }
    switch (style) {
    case TLineStyle::lsSingle: canvas.PenColor = platform::clGray; break;
    case TLineStyle::lsHalf: canvas.PenColor = platform::clSilver; break;
    default: canvas.PenColor = platform::clBlack; break;
    }
}

}  // namespace

void TLRItem::PrintItem(TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale) {
    canvas.BrushColor = Color;
    canvas.BrushStyle = Transparent ? platform::TBrushStyle::bsClear : platform::TBrushStyle::bsSolid;
    canvas.SetFont(Font);
    const TRect r = platform::Rect(rect.Left, rect.Top, rect.Right - 1, rect.Bottom - 1);
    const TRect s = ScaleRect(r, scale);
    if (!Transparent) canvas.FillRect(s);

    if (status == kPrintAll) {
        const std::string text = GetDisplayText();
        const int lineHeight = canvas.TextHeight("|");
        unsigned flags = WordWrap ? platform::DT_WORDBREAK : platform::DT_SINGLELINE;
        if (Alignment == TAlignment::taRightJustify) flags |= platform::DT_RIGHT;
        if (Alignment == TAlignment::taCenter) flags |= platform::DT_CENTER;
        // Item texts are data, not captions: an "&" is printed, never taken as an accelerator.
        flags |= platform::DT_NOPREFIX;
        const int hm = platform::RoundHalfEven(hMargin_ * scale);
        const int vm = platform::RoundHalfEven(vMargin_ * scale);
        TRect calc = platform::Rect(0, 0, s.Width() - hm, lineHeight);
        const int textHeight = canvas.DrawText(text, calc, flags | platform::DT_CALCRECT);
        TRect t = s;
        if (Alignment == TAlignment::taLeftJustify) t.Left += hm;
        if (Alignment == TAlignment::taRightJustify) t.Right -= hm;
        switch (Layout) {
        case TTextLayout::tlTop: t.Top += vm; break;
        case TTextLayout::tlBottom: t.Top = t.Bottom - vm - textHeight; break;
        case TTextLayout::tlCenter: t.Top += (s.Height() - textHeight) / 2; break;
        }
        canvas.BrushStyle = platform::TBrushStyle::bsClear;
        canvas.DrawText(text, t, flags);
    }

    if (status == kPrintAll || status == kPrintLinesOnly) {
        const bool designing = Designing();
        const int d = designing ? 0 : static_cast<int>(scale);
        canvas.PenColor = LineColor;
        if (LineTop != TLineStyle::lsNone) {
            SetLinePen(canvas, LineTop, scale, designing);
            canvas.Line(s.Left - d, s.Top - d, s.Right, s.Top - d);
        }
        if (LineLeft != TLineStyle::lsNone) {
            SetLinePen(canvas, LineLeft, scale, designing);
            canvas.Line(s.Left - d, s.Top - d, s.Left - d, s.Bottom);
        }
        if (LineRight != TLineStyle::lsNone) {
            SetLinePen(canvas, LineRight, scale, designing);
            canvas.Line(s.Right, s.Top - d, s.Right, s.Bottom);
        }
        if (LineBottom != TLineStyle::lsNone) {
            SetLinePen(canvas, LineBottom, scale, designing);
            canvas.Line(s.Left - d, s.Bottom, s.Right, s.Bottom);
        }
        canvas.PenWidth = 1;
    }
}

void TLRItem::Paint(TCanvas& canvas) {
    PrintItem(canvas, platform::Rect(0, 0, Width(), Height()), kPrintAll, 1.0);
    const bool noLines = LineTop == TLineStyle::lsNone && LineLeft == TLineStyle::lsNone &&
                         LineRight == TLineStyle::lsNone && LineBottom == TLineStyle::lsNone;
    if (Designing() && Color == platform::clWhite && noLines)
        DrawItemDesignMarks(canvas, platform::Rect(0, 0, Width(), Height()));
}

}  // namespace report

#pragma once
// The printable contents of report panels: a text cell (TLRItem), a picture (TLRImage)
// and running text with its own spacing (TLRVariableText).
//
// PrintItem (canvas, rect, status, scale): rect is the item's rectangle in page design
// pixels, unscaled; status 0 prints everything, 1 only a TLRItem's border lines. Text
// is code page 932 and is printed as it stands: "&" is an ordinary character.
// At design time (Paint) an item renders onto its own canvas at scale 1.0.
#include <memory>
#include <string>

#include "platform/print/Graphics.h"
#include "report/Panels.h"

class QImage;

namespace imaging {
class TPxDIB;
}

namespace report {

class TCustomLRItem : public TControl {
public:
    TCustomLRItem();
    virtual void PrintItem(TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale);
    void SetParent(TControl* parent) override;
};

enum class TAlignment { taLeftJustify, taRightJustify, taCenter };
enum class TTextLayout { tlTop, tlCenter, tlBottom };
enum class TLineStyle { lsNone, lsSingle, lsHalf, lsDouble };

class TLRItem : public TCustomLRItem {
public:
    TLRItem();
    TAlignment Alignment = TAlignment::taLeftJustify;
    std::string DisplayMask;
    TTextLayout Layout = TTextLayout::tlTop;
    TColor LineColor = platform::clBlack;
    TLineStyle LineTop = TLineStyle::lsNone;
    TLineStyle LineLeft = TLineStyle::lsNone;
    TLineStyle LineRight = TLineStyle::lsNone;
    TLineStyle LineBottom = TLineStyle::lsNone;
    std::string Text;  // code page 932
    bool Transparent = true;
    bool WordWrap = false;

    int HMargin() const { return hMargin_; }
    int VMargin() const { return vMargin_; }
    // Values outside -255..255 are ignored.
    void SetHMargin(int value);
    void SetVMargin(int value);

    std::string GetDisplayText() const;
    void PrintItem(TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale) override;
    void Paint(TCanvas& canvas) override;

private:
    int hMargin_ = 2;
    int vMargin_ = 2;
};

// The pen of a border line at output time: Round(1.2 x scale) for lsSingle, Round(scale / 2)
// for lsHalf, Round(scale x 2) for lsDouble (one thicker line).
int LineWidth(TLineStyle style, double scale);

class TLRImage : public TCustomLRItem {
public:
    TLRImage();
    ~TLRImage() override;
    bool Stretch = false;
    // Accepts an empty picture or a bitmap picture (BMP, DIB or JPEG decoded to pixels);
    // anything else raises std::runtime_error "イメージはビットマップかJPEGイメージのみ有効です".
    void SetPicture(const QImage& picture);
    void SetPicture(imaging::TPxDIB& picture);
    // Loads a picture from its file bytes: a BMP or DIB (read by TPxDIB) or a JPEG.
    void LoadPicture(const std::string& bytes);
    const QImage& Picture() const { return *picture_; }
    void PrintItem(TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale) override;
    void Paint(TCanvas& canvas) override;

private:
    std::unique_ptr<QImage> picture_;
};

class TLRVariableText : public TCustomLRItem {
public:
    TLRVariableText();
    int CharSpace = 0;
    int WordSpace = 5;
    int Leading = 0;
    bool WordWrap = true;
    bool Transparent = true;
    std::string Text;  // code page 932; CR LF ends a line

    void PrintItem(TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale) override;
    void Paint(TCanvas& canvas) override;

    // The next word from position p (0-based), which moves past it.
    std::string NextWord(size_t& p) const;
};

}  // namespace report

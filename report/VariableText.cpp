#include <cstdlib>

#include "report/Items.h"

namespace report {

namespace {

bool IsLeadByte(unsigned char c) { return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC); }

// "。" and "、" in code page 932: they never begin a line.
bool IsClosingMark(const std::string& text, size_t p) {
    return p + 1 < text.size() && static_cast<unsigned char>(text[p]) == 0x81 &&
           (text[p + 1] == 0x42 || text[p + 1] == 0x41);
}

}  // namespace

TLRVariableText::TLRVariableText() { Color = platform::clWhite; }

std::string TLRVariableText::NextWord(size_t& p) const {
    std::string word;
    while (p < Text.size()) {
        const unsigned char c = static_cast<unsigned char>(Text[p]);
        if (IsLeadByte(c) && p + 1 < Text.size()) {
            if (!word.empty()) break;  // a double-byte character after single-byte ones starts a new word
            word.append(Text, p, 2);
            p += 2;
            while (IsClosingMark(Text, p)) {
                word.append(Text, p, 2);
                p += 2;
            }
            break;
        }
        word += static_cast<char>(c);
        ++p;
        if (c == ' ') break;
        if (c == '\r' && p < Text.size() && Text[p] == '\n') {
            word += '\n';
            ++p;
            break;
        }
    }
    return word;
}

void TLRVariableText::PrintItem(TCanvas& canvas, const TRect& rect, TPrintStatus status, double scale) {
    if (status != kPrintAll) return;
    canvas.BrushColor = Color;
    canvas.BrushStyle = platform::TBrushStyle::bsSolid;
    canvas.SetFont(Font);
    const TRect s = ScaleRect(platform::Rect(rect.Left, rect.Top, rect.Right - 1, rect.Bottom - 1), scale);
    if (!Transparent) canvas.FillRect(s);
    canvas.BrushStyle = platform::TBrushStyle::bsClear;

    // Lines advance by the font's height as drawn on this canvas, so printed lines keep
    // the spacing of the preview at any printer resolution.
    const int lineAdvance = std::abs(canvas.ScaledFontHeight()) + platform::RoundHalfEven(Leading * scale);
    const int charSpace = platform::RoundHalfEven(CharSpace * scale);
    const int wordSpace = platform::RoundHalfEven(WordSpace * scale);
    int x = s.Left, y = s.Top;
    size_t p = 0;
    while (p < Text.size()) {
        std::string word = NextWord(p);
        if (WordWrap && x + canvas.TextWidth(word) > s.Right && x != s.Left) {
            y += lineAdvance;
            x = s.Left;
        }
        bool endsLine = false, endsSpace = false;
        if (word.size() >= 2 && word.compare(word.size() - 2, 2, "\r\n") == 0) {
            word.resize(word.size() - 2);
            endsLine = true;
        } else if (!word.empty() && word.back() == ' ') {
            word.pop_back();
            endsSpace = true;
        }
        for (size_t i = 0; i < word.size();) {
            const size_t n = IsLeadByte(static_cast<unsigned char>(word[i])) && i + 1 < word.size() ? 2 : 1;
            const std::string ch = word.substr(i, n);
            canvas.TextRect(s, x, y, ch);
            x += canvas.TextWidth(ch) + charSpace;
            i += n;
        }
        x += endsSpace ? wordSpace : charSpace;
        if (endsLine && x > s.Left) {
            y += lineAdvance;
            x = s.Left;
        }
    }
}

void TLRVariableText::Paint(TCanvas& canvas) {
    PrintItem(canvas, platform::Rect(0, 0, Width(), Height()), kPrintAll, 1.0);
    DrawDesignOutline(canvas, Width(), Height(), platform::clFuchsia);
}

}  // namespace report

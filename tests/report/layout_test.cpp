// Page geometry, pass states, panels and items rendered onto bitmaps.
#include <gtest/gtest.h>

#include "report/FormatText.h"
#include "report/Items.h"
#include "report/Panels.h"
#include "tests/report/ReportTestSupport.h"

using namespace report;
using report_test::App;
using report_test::FindInk;

namespace {

std::string Message(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

struct Page {
    TCustomForm form;
    TLightRep* rep = new TLightRep;
    Page() {
        App();
        rep->SetParent(&form);
    }
    template <class T>
    T* Add(TControl* parent) {
        auto c = std::make_unique<T>();
        c->SetParent(parent);
        return c.release();
    }
    QImage Render() {
        platform::TBitmap bitmap(rep->Width(), rep->Height());
        rep->DrawPreviewPage(bitmap.Canvas());
        rep->EndPreview();
        return bitmap.Image().copy();
    }
};

TEST(ReportPage, PaperSizesFollowTheTableAndOrientation) {
    Page p;
    const struct {
        TPaperSize size;
        int w, h;
    } kCases[] = {{TPaperSize::psA4, 794, 1123}, {TPaperSize::psB4, 945, 1338}, {TPaperSize::psB5, 688, 971},
                  {TPaperSize::psA3, 1123, 1587}, {TPaperSize::psA5, 559, 794}};
    for (const auto& c : kCases) {
        p.rep->SetOrientation(TPrinterOrientation::poPortrait);
        p.rep->SetPaperSize(c.size);
        EXPECT_EQ(p.rep->Width(), c.w);
        EXPECT_EQ(p.rep->Height(), c.h);
        p.rep->SetOrientation(TPrinterOrientation::poLandscape);
        EXPECT_EQ(p.rep->Width(), c.h);
        EXPECT_EQ(p.rep->Height(), c.w);
        p.rep->SetWidth(100);  // the paper wins
        EXPECT_EQ(p.rep->Width(), c.h);
    }
    p.rep->SetPaperSize(TPaperSize::psNone);
    p.rep->SetBounds(0, 0, 300, 200);
    EXPECT_EQ(p.rep->Width(), 300);
    EXPECT_EQ(p.rep->Height(), 200);
}

TEST(ReportPage, OrientationWhileLoadingKeepsTheSize) {
    Page p;
    p.form.BeginLoading();
    p.rep->SetOrientation(TPrinterOrientation::poLandscape);
    EXPECT_EQ(p.rep->Width(), 794);
    p.form.EndLoading();
    EXPECT_FALSE(p.rep->Visible());  // hidden at run time
    EXPECT_EQ(p.rep->Width(), 1123);
}

TEST(ReportPage, MarginsOutsideTheirRangeAreIgnored) {
    Page p;
    EXPECT_EQ(p.rep->MarginTop(), 36);
    for (int bad : {0, -5, 397, 500}) {
        p.rep->SetMarginLeft(bad);
        p.rep->SetMarginTop(bad);
        EXPECT_EQ(p.rep->MarginLeft(), 36) << bad;
        EXPECT_EQ(p.rep->MarginTop(), 36) << bad;  // limited by the width, not the height
    }
    p.rep->SetMarginTop(396);
    EXPECT_EQ(p.rep->MarginTop(), 396);
}

TEST(ReportPage, TopLevelPanelsAlignInsideTheMargins) {
    Page p;
    auto* top = p.Add<TLRLayoutPanel>(p.rep);
    top->SetHeight(50);
    auto* bottom = p.Add<TLRLayoutPanel>(p.rep);
    bottom->SetLRAlign(TLRAlign::laBottom);
    bottom->SetHeight(40);
    auto* client = p.Add<TLRLayoutPanel>(p.rep);
    client->SetLRAlign(TLRAlign::laClient);
    EXPECT_EQ(top->BoundsRect(), platform::Rect(36, 36, 794 - 36, 86));
    EXPECT_EQ(bottom->BoundsRect(), platform::Rect(36, 1123 - 36 - 40, 794 - 36, 1123 - 36));
    EXPECT_EQ(client->BoundsRect(), platform::Rect(36, 86, 794 - 36, 1123 - 76));
    p.rep->SetMarginLeft(74);
    EXPECT_EQ(top->Left(), 74);
    client->SetAlign(TAlign::alNone);
    EXPECT_EQ(client->LRAlign(), TLRAlign::laClient);  // alNone reads as laClient
}

TEST(ReportPage, MisuseRaisesItsMessageAndKeepsTheState) {
    Page p;
    EXPECT_EQ(Message([&] { p.rep->PrintPage(); }), "BeginDocが呼び出されていません．");
    EXPECT_EQ(Message([&] { p.rep->PaginatePage(); }), "BeginPaginateが呼び出されていません．");
    p.rep->BeginPaginate();
    EXPECT_EQ(Message([&] { p.rep->BeginDoc(); }), "Paginate中です、印刷できません．");
    EXPECT_EQ(Message([&] { p.rep->BeginPreview(); }), "Paginate中です、プレビュー表示できません．");
    EXPECT_EQ(p.rep->GetStatus(), 3);
    p.rep->PaginatePage();
    p.rep->PaginatePage();
    EXPECT_EQ(p.rep->GetPageNumber(), 2);
    p.rep->EndPaginate();
    EXPECT_EQ(p.rep->PageCount, 2);
    EXPECT_EQ(p.rep->GetPageNumber(), 0);

    p.rep->FirstPage = 5;
    p.rep->LastPage = 3;
    EXPECT_EQ(Message([&] { p.rep->BeginDoc(); }), "印刷ページ範囲が正しくありません．");
    EXPECT_EQ(p.rep->LastPage, 5);
    EXPECT_EQ(p.rep->GetStatus(), 0);

    platform::TBitmap target(800, 800);
    EXPECT_EQ(Message([&] { p.rep->DrawScaledPage(target.Canvas(), 0, TPixelFormat::pf8bit, 24, 0); }),
              "印刷スケールが無効です．");
    EXPECT_EQ(Message([&] { p.rep->DrawScaledPage(target.Canvas(), 0, TPixelFormat::pf8bit, 101, 0); }),
              "印刷スケールが無効です．");
    TCustomForm other;
    TLRLayoutPanel panel;
    EXPECT_EQ(Message([&] { TLightRep r; r.SetParent(&panel); }), "フォーム上にのみ配置できます．");
}

TEST(ReportPage, ScaledPageAtAQuarterCoversAQuarterOfTheSides) {
    Page p;
    auto* panel = p.Add<TLRLayoutPanel>(p.rep);
    panel->SetLRAlign(TLRAlign::laClient);
    auto* item = p.Add<TLRItem>(panel);
    item->SetBounds(0, 0, 722, 1051);  // the whole area inside the margins, framed
    item->LineTop = item->LineLeft = item->LineRight = item->LineBottom = TLineStyle::lsSingle;
    platform::TBitmap target(794, 1123);
    p.rep->DrawScaledPage(target.Canvas(), 10, TPixelFormat::pf8bit, 25, 20);
    const report_test::Ink ink = FindInk(target.Image(), 0, 0, 794, 1123);
    // The frame runs from 36 to 757 (x) and 36 to 1086 (y) at full size.
    EXPECT_NEAR(ink.left, 10 + 36 / 4, 1);
    EXPECT_NEAR(ink.top, 20 + 36 / 4, 1);
    EXPECT_NEAR(ink.right, 10 + 758 / 4, 1);
    EXPECT_NEAR(ink.bottom, 20 + 1087 / 4, 1);
}

TEST(ReportPanels, PlacementRules) {
    Page p;
    auto* layout = p.Add<TLRLayoutPanel>(p.rep);
    auto* grid = p.Add<TLRGridPanel>(p.rep);
    grid->SetWidth(300);
    auto* nested = p.Add<TLRLayoutPanel>(grid);  // lands on the template
    EXPECT_EQ(nested->Parent(), grid->Template());
    auto* item = p.Add<TLRItem>(grid);
    EXPECT_EQ(item->Parent(), grid->Template());
    auto* child = p.Add<TLRChildPanel>(layout);
    EXPECT_EQ(Message([&] { p.Add<TLRGridPanel>(child); }), "TLightRep上かTLRLayoutPanelにのみ配置できます．");
    EXPECT_EQ(Message([&] { TLRItem i; i.SetParent(p.rep); }), "パネル上にのみ配置できます．");
    EXPECT_EQ(Message([&] { TLRSubPanel s; s.SetParent(p.rep); }), "TLightRep上には配置できません．");
    EXPECT_EQ(Message([&] { TLRSubPanel s; s.SetParent(layout); }), "TLightRep上には配置できません．");
    EXPECT_EQ(Message([&] { TLRLayoutPanel l; l.SetParent(&p.form); }), "TLightRep上かTLRLayoutPanelにのみ配置できます．");
    TLRLayoutPanel free;
    free.SetParent(nullptr);  // always accepted
}

TEST(ReportPanels, GridCellOrderFollowsThePrintDirection) {
    Page p;
    auto* grid = p.Add<TLRGridPanel>(p.rep);
    grid->SetHeight(100);
    grid->SetColCount(3);
    grid->SetRowCount(2);
    std::vector<std::pair<int, int>> order;
    std::vector<TRect> rects;
    grid->OnPrintPanel = [&](TControl*, int col, int row, const TRect& r, TPrintStatus&) {
        order.emplace_back(col, row);
        rects.push_back(r);
    };
    const std::vector<std::pair<int, int>> vert = {{0, 0}, {0, 1}, {1, 0}, {1, 1}, {2, 0}, {2, 1}};
    const std::vector<std::pair<int, int>> horz = {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}};
    for (auto [dir, want] : {std::pair{TPrintDirection::pdVert, vert}, std::pair{TPrintDirection::pdHorz, horz},
                             std::pair{TPrintDirection::pdHolz, horz}}) {
        order.clear();
        rects.clear();
        grid->PrintDirection = dir;
        p.Render();
        EXPECT_EQ(order, want);
    }
    // Width 722 over 3 columns: cells at Round(722 * c / 3) from the grid's left, the template's size.
    EXPECT_EQ(grid->Template()->Width(), 722 / 3);
    EXPECT_EQ(grid->Template()->Height(), 50);
    EXPECT_EQ(rects[1], platform::Bounds(36 + 241, 36, 240, 50));  // 240.67 rounds to 241
    EXPECT_EQ(rects[5], platform::Bounds(36 + 481, 36 + 50, 240, 50));
}

TEST(ReportPanels, CountsAreRefusedBelowTenPixelsACell) {
    Page p;
    auto* grid = p.Add<TLRGridPanel>(p.rep);
    grid->SetLRAlign(TLRAlign::laLeft);
    grid->SetWidth(95);
    EXPECT_EQ(Message([&] { grid->SetColCount(10); }), "列数が有効範囲を超えています．");
    EXPECT_EQ(Message([&] { grid->SetColCount(0); }), "列数が有効範囲を超えています．");
    EXPECT_EQ(grid->ColCount(), 1);
    grid->SetColCount(9);
    EXPECT_EQ(grid->Template()->Width(), 10);
    EXPECT_EQ(Message([&] { grid->SetRowCount(0); }), "行数が有効範囲を超えています．");
    EXPECT_EQ(Message([&] { grid->SetRowCount(106); }), "行数が有効範囲を超えています．");
    // Sub panels follow the cell size and ignore their own resizing.
    TLRSubPanel sub;
    sub.SetGridPanel(grid);
    EXPECT_EQ(sub.Width(), 10);
    sub.SetBounds(5, 5, 300, 300);
    EXPECT_EQ(sub.Width(), 10);
    EXPECT_EQ(sub.Left(), 5);
    grid->SetColCount(5);
    EXPECT_EQ(sub.Width(), 19);
}

TEST(ReportPanels, DestroyingAGridReleasesItsSubPanels) {
    Page p;
    auto* grid = p.Add<TLRGridPanel>(p.rep);
    TLRSubPanel a, b;
    a.SetGridPanel(grid);
    b.SetGridPanel(grid);
    a.SetGridPanel(grid);  // already registered: nothing changes
    delete grid;
    EXPECT_EQ(a.GridPanel(), nullptr);
    EXPECT_EQ(b.GridPanel(), nullptr);
}

TEST(ReportPanels, StatusSkipsOrLimitsToLines) {
    Page p;
    auto* panel = p.Add<TLRLayoutPanel>(p.rep);
    panel->SetHeight(200);
    auto* item = p.Add<TLRItem>(panel);
    item->SetBounds(10, 10, 200, 60);
    item->Text = "WWWWWW";
    item->Font.Height = -30;
    item->Layout = TTextLayout::tlCenter;
    item->LineBottom = TLineStyle::lsSingle;
    auto* inner = p.Add<TLRLayoutPanel>(panel);
    inner->SetAlign(TAlign::alNone);
    inner->SetBounds(300, 10, 100, 100);
    int innerPrinted = 0, after = 0;
    inner->BeforePrint = [&](TControl*, const TRect&, TPrintStatus&) { ++innerPrinted; };
    panel->AfterPrint = [&](TControl*) { ++after; };
    TPrintStatus status = kPrintAll;
    panel->BeforePrint = [&](TControl*, const TRect&, TPrintStatus& s) { s = status; };

    // Text lies inside the item, the bottom line at its last row.
    auto textInk = [](const QImage& img) { return FindInk(img, 36 + 12, 36 + 12, 190, 45); };
    auto lineInk = [](const QImage& img) { return FindInk(img, 36 + 10, 36 + 69, 200, 1); };
    QImage all = p.Render();
    EXPECT_FALSE(textInk(all).Empty());
    EXPECT_FALSE(lineInk(all).Empty());
    status = kPrintLinesOnly;
    QImage lines = p.Render();
    EXPECT_TRUE(textInk(lines).Empty());
    EXPECT_FALSE(lineInk(lines).Empty());
    EXPECT_EQ(innerPrinted, 2);
    status = kPrintSkip;
    QImage none = p.Render();
    EXPECT_TRUE(FindInk(none, 0, 0, 794, 1123).Empty());
    EXPECT_EQ(innerPrinted, 2);
    EXPECT_EQ(after, 2);
}

TEST(ReportPanels, ChildPanelsOnLayoutsAndInvisibleControlsDoNotPrint) {
    Page p;
    auto* panel = p.Add<TLRLayoutPanel>(p.rep);
    panel->SetHeight(300);
    auto* child = p.Add<TLRChildPanel>(panel);
    child->SetAlign(TAlign::alNone);
    child->SetBounds(0, 0, 200, 100);
    auto* inChild = p.Add<TLRItem>(child);
    inChild->Text = "CHILD";
    auto* hidden = p.Add<TLRItem>(panel);
    hidden->SetBounds(300, 150, 100, 30);
    hidden->Text = "HIDDEN";
    hidden->SetVisible(false);
    EXPECT_TRUE(FindInk(p.Render(), 0, 0, 794, 1123).Empty());
    p.form.SetDesigning(true);  // at design time every control prints
    EXPECT_FALSE(FindInk(p.Render(), 36 + 300, 36 + 150, 100, 30).Empty());
}

TEST(ReportItems, DisplayTextThroughNumberOrEditMask) {
    TLRItem item;
    const struct {
        const char* text;
        const char* mask;
        const char* shown;
    } kCases[] = {
        {"1234.5", "#,##0", "1,235"},     {"-1234.5", "#,##0", "-1,235"},   {"0.5", "0.00", "0.50"},
        {"7", "000", "007"},              {"1234567", "#,##0.0", "1,234,567.0"}, {"3", "#,##0;(#);Zero", "3"},
        {"-3", "#,##0;(#);Zero", "(3)"}, {"0", "#,##0;(#);Zero", "Zero"}, {"A12", "LLL", "A12"},
        {"abc", ">LLL", "ABC"},           {"AB12", "LL-00;1;_", "AB-12"}, {"AB-12", "LL-00;1;_", "AB-12"}, {"AB12", "LL\\-00;0;_", "AB-12"},
        {"", "#,##0", ""},                {"12", "", "12"},
    };
    for (const auto& c : kCases) {
        item.Text = c.text;
        item.DisplayMask = c.mask;
        EXPECT_EQ(item.GetDisplayText(), c.shown) << c.text << " " << c.mask;
    }
    item.Text = "12-34";  // numeric by its characters, but not a number
    item.DisplayMask = "#,##0";
    EXPECT_THROW(item.GetDisplayText(), EConvertError);
}

TEST(ReportItems, MarginsTakeOnlyTheirRange) {
    TLRItem item;
    EXPECT_EQ(item.HMargin(), 2);
    item.SetHMargin(256);
    EXPECT_EQ(item.HMargin(), 2);
    item.SetHMargin(-255);
    EXPECT_EQ(item.HMargin(), -255);
    item.SetVMargin(-256);
    EXPECT_EQ(item.VMargin(), 2);
}

TEST(ReportItems, LinePensAndPositionsAtPrinterScale) {
    EXPECT_EQ(LineWidth(TLineStyle::lsSingle, 6.25), 8);  // Round(7.5) to even
    EXPECT_EQ(LineWidth(TLineStyle::lsHalf, 6.25), 3);
    EXPECT_EQ(LineWidth(TLineStyle::lsDouble, 6.25), 12);
    EXPECT_EQ(LineWidth(TLineStyle::lsSingle, 1.0), 1);

    App();
    TLRItem item;
    item.LineTop = TLineStyle::lsSingle;
    item.LineLeft = TLineStyle::lsHalf;
    platform::TBitmap bitmap(400, 400);
    // Rect (10, 10, 40, 30): s = (62.5 -> 62, 62, 243.75 -> 244, 181.25 -> 181), d = 6.
    item.PrintItem(bitmap.Canvas(), platform::Rect(10, 10, 41, 31), kPrintLinesOnly, 6.25);
    const QImage& img = bitmap.Image();
    const report_test::Ink top = FindInk(img, 100, 0, 100, 400);  // a column through the top line only
    EXPECT_EQ(top.top, 62 - 6 - 4);
    EXPECT_EQ(top.bottom, 62 - 6 + 4);
    const report_test::Ink left = FindInk(img, 0, 100, 100, 50);  // a row band through the left line only
    EXPECT_EQ(left.left, 62 - 6 - 1);
    EXPECT_EQ(left.right, 62 - 6 + 2);
}

TEST(ReportItems, AmpersandIsPrintedAsItStands) {
    Page p;
    auto* panel = p.Add<TLRLayoutPanel>(p.rep);
    auto* a = p.Add<TLRItem>(panel);
    a->SetBounds(0, 0, 300, 30);
    a->Font.Height = -20;
    a->Text = "R&D";
    auto* b = p.Add<TLRItem>(panel);
    b->SetBounds(0, 40, 300, 30);
    b->Font.Height = -20;
    b->Text = "RD";
    const QImage img = p.Render();
    const report_test::Ink withAmp = FindInk(img, 36, 36, 300, 30);
    const report_test::Ink without = FindInk(img, 36, 76, 300, 30);
    EXPECT_GT(withAmp.right - withAmp.left, without.right - without.left + 8);
    // and no accelerator underline below the D
    EXPECT_LE(withAmp.bottom - withAmp.top, without.bottom - without.top + 1);
}

TEST(ReportItems, VariableTextWordsKeepClosingMarksAndSpaces) {
    TLRVariableText v;
    v.Text = report_test::Sjis("日本語。次") + "ab cd\r\nef";
    std::vector<std::string> words;
    for (size_t p = 0; p < v.Text.size();) words.push_back(v.NextWord(p));
    const std::vector<std::string> want = {report_test::Sjis("日"), report_test::Sjis("本"),
                                           report_test::Sjis("語。"), report_test::Sjis("次"),
                                           "ab ", "cd\r\n", "ef"};
    EXPECT_EQ(words, want);
}

TEST(ReportItems, VariableTextWrapsAndClips) {
    Page p;
    auto* panel = p.Add<TLRLayoutPanel>(p.rep);
    panel->SetHeight(400);
    auto* v = p.Add<TLRVariableText>(panel);
    v->SetBounds(0, 0, 120, 60);
    v->Font.Height = -16;
    v->Text = "aaaa bbbb cccc dddd eeee ffff gggg hhhh iiii";
    auto* wide = p.Add<TLRVariableText>(panel);
    wide->SetBounds(0, 100, 40, 20);
    wide->Font.Height = -16;
    wide->Text = "WWWWWWWWWWWW";
    const QImage img = p.Render();
    const report_test::Ink ink = FindInk(img, 36, 36, 300, 80);
    EXPECT_LE(ink.right, 36 + 120);  // wrapped within the frame
    EXPECT_LE(ink.bottom, 36 + 60);  // lines below the frame are clipped
    EXPECT_GE(ink.bottom - ink.top, 16 * 2);
    const report_test::Ink w = FindInk(img, 36, 136, 300, 40);
    EXPECT_FALSE(w.Empty());  // a long word on an empty line is drawn there
    EXPECT_LE(w.right, 36 + 40);
}

TEST(ReportItems, PicturesAreBitmapsOrJpegOnly) {
    App();
    TLRImage image;
    EXPECT_NO_THROW(image.LoadPicture(""));
    try {
        image.LoadPicture(std::string("\x01\x00\x00\x00 EMF", 8));
        ADD_FAILURE();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "イメージはビットマップかJPEGイメージのみ有効です");
    }
    platform::TBitmap bitmap(100, 100);
    image.PrintItem(bitmap.Canvas(), platform::Rect(0, 0, 50, 50), kPrintAll, 1.0);  // empty: nothing
    EXPECT_TRUE(FindInk(bitmap.Image(), 0, 0, 100, 100).Empty());
    QImage pic(10, 8, QImage::Format_RGB32);
    pic.fill(Qt::black);
    image.SetPicture(pic);
    image.PrintItem(bitmap.Canvas(), platform::Rect(5, 5, 55, 55), kPrintAll, 1.0);  // natural size
    const report_test::Ink ink = FindInk(bitmap.Image(), 0, 0, 100, 100);
    EXPECT_EQ(ink.left, 5);
    EXPECT_EQ(ink.right, 15);
    EXPECT_EQ(ink.bottom, 13);
}

}  // namespace

namespace {

TEST(ReportControls, ControlsTakeTheFontOfWhatTheyArePlacedOn) {
    TCustomForm form;
    form.Font.Name = "ＭＳ ゴシック";
    form.Font.Height = -15;
    auto* rep = new TLightRep;
    rep->SetParent(&form);
    auto* panel = new TLRLayoutPanel;
    panel->SetParent(rep);
    auto* item = new TLRItem;
    item->SetParent(panel);
    EXPECT_EQ(item->Font.Name, "ＭＳ ゴシック");
    EXPECT_EQ(item->Font.Height, -15);
    auto* own = new TLRItem;
    own->ParentFont = false;
    own->Font.Height = -16;
    own->SetParent(panel);
    EXPECT_EQ(own->Font.Height, -16);
}

}  // namespace

namespace {

// The design view: a centimetre grid (dotted at the half centimetres), the panel's own
// grid continuing the page's, and corner marks on a white item without lines.
TEST(ReportDesign, GridsContinueAcrossPanelsAndMarkBareItems) {
    Page p;
    platform::TBitmap page(794, 1123);
    p.rep->Paint(page.Canvas());
    auto silverRun = [](platform::TBitmap& b, int x, int y0, int n) {
        int count = 0;
        for (int y = y0; y < y0 + n; ++y) count += b.Pixel(x, y) == platform::clSilver;
        return count;
    };
    EXPECT_EQ(silverRun(page, 38, 300, 40), 40);  // solid at 1 cm (Round(37.8))
    EXPECT_EQ(silverRun(page, 19, 300, 40), 20);  // dotted at 5 mm
    auto* panel = p.Add<TLRLayoutPanel>(p.rep);  // at (36, 36)
    platform::TBitmap view(panel->Width(), panel->Height());
    panel->Paint(view.Canvas());
    EXPECT_EQ(silverRun(view, 38 - 36, 40, 40), 40);  // the page's 1 cm line, seen from the panel
    auto* item = p.Add<TLRItem>(panel);
    p.form.SetDesigning(true);
    platform::TBitmap itemView(item->Width(), item->Height());
    item->Paint(itemView.Canvas());
    EXPECT_EQ(itemView.Pixel(0, 0), platform::clGreen);
    EXPECT_EQ(itemView.Pixel(item->Width() - 1, item->Height() - 1), platform::clGreen);
    item->LineTop = TLineStyle::lsSingle;  // with a line it needs no marks
    platform::TBitmap lined(item->Width(), item->Height());
    item->Paint(lined.Canvas());
    EXPECT_EQ(lined.Pixel(item->Width() - 1, item->Height() - 1), platform::clWhite);
}

}  // namespace

#pragma once
// A sample report with every panel and item kind, one page per row of its data set:
// a header (title, a "&" text, a picture), a body (ruled cells in every line style, a
// masked number, running Japanese and English text, a child panel that never prints),
// a 3 x 2 grid printed column by column with a nested layout panel in its cells, a sub
// panel bound to the grid, and a footer that moves the data to the next row.
#include <QImage>
#include <QPainter>

#include <gtest/gtest.h>

#include <filesystem>

#include <string>
#include <vector>

#include "platform/CodePage.h"
#include "report/BaseLRep.h"
#include "report/Items.h"
#include "report/Panels.h"
#include "tests/report/ReportTestSupport.h"

namespace report_test {

using namespace report;

class SampleReport : public TBaseLRep {
public:
    explicit SampleReport(int rows) : data(rows) {
        setObjectName("SampleReport");
        setWindowTitle("Sample");
        dsMast.DataSet = &data;

        Header = Add<TLRLayoutPanel>(LightRep1, "Header");
        Header->SetHeight(90);
        Title = AddItem(Header, "Title", 100, 10, 400, 41);
        Title->Text = Sjis("売 上 明 細 書");
        Title->Font.Height = -32;
        Title->Alignment = TAlignment::taCenter;
        Title->LineBottom = TLineStyle::lsDouble;
        Ampersand = AddItem(Header, "Ampersand", 520, 10, 150, 25);
        Ampersand->Text = "R&D";
        Ampersand->Font.Height = -16;
        Logo = Add<TLRImage>(Header, "Logo");
        Logo->SetBounds(620, 40, 60, 40);
        Logo->Stretch = true;
        QImage logo(30, 20, QImage::Format_RGB32);
        logo.fill(QColor(0, 0, 160));
        Logo->SetPicture(logo);

        Body = Add<TLRLayoutPanel>(LightRep1, "Body");
        Body->SetTop(200);
        Body->SetHeight(330);
        Body->BeforePrint = [this](TControl*, const TRect&, TPrintStatus&) { FillBody(); };
        // At 600 dpi its corner (42, 130 on the page) scales to 262.5 and 812.5: halves that
        // round to even go down.
        Code = AddItem(Body, "Code", 6, 4, 150, 25);
        Code->LineTop = Code->LineLeft = Code->LineRight = Code->LineBottom = TLineStyle::lsSingle;
        Code->DisplayMask = "AAA-AAA;1;_";
        Name = AddItem(Body, "Name", 160, 6, 240, 33);
        Name->Font.Height = -19;
        Name->Layout = TTextLayout::tlCenter;
        Name->LineBottom = TLineStyle::lsHalf;
        Amount = AddItem(Body, "Amount", 410, 6, 200, 25);
        Amount->Alignment = TAlignment::taRightJustify;
        Amount->Layout = TTextLayout::tlBottom;
        Amount->DisplayMask = "#,##0";
        Amount->LineBottom = TLineStyle::lsDouble;
        Amount->Transparent = false;
        Amount->Color = 0xE0FFFF;
        Note = Add<TLRVariableText>(Body, "Note");
        Note->SetBounds(2, 60, 600, 200);
        Note->Font.Height = -16;
        Note->Leading = 2;
        Hidden = Add<TLRChildPanel>(Body, "Hidden");
        Hidden->SetAlign(TAlign::alNone);
        Hidden->SetBounds(620, 60, 60, 60);
        AddItem(Hidden, "NeverPrinted", 0, 0, 60, 20)->Text = "XXXXXXXX";

        Grid = Add<TLRGridPanel>(LightRep1, "Grid");
        Grid->SetTop(600);
        Grid->SetHeight(200);
        Grid->SetColCount(3);
        Grid->SetRowCount(2);
        Grid->PrintDirection = TPrintDirection::pdVert;
        Cell = AddItem(Grid, "Cell", 4, 4, 120, 25);
        Cell->LineLeft = Cell->LineTop = TLineStyle::lsSingle;
        Nested = Add<TLRLayoutPanel>(Grid, "Nested");
        Nested->SetAlign(TAlign::alNone);
        Nested->SetBounds(4, 40, 150, 40);
        NestedItem = AddItem(Nested, "NestedItem", 0, 0, 150, 25);
        Grid->OnPrintPanel = [this](TControl*, int col, int row, const TRect&, TPrintStatus&) {
            cells.emplace_back(col, row);
            Cell->Text = "R" + std::to_string(data.Row() + 1) + " C" + std::to_string(col) + "," + std::to_string(row);
            NestedItem->Text = Sjis("セル") + std::to_string(col * 2 + row);
        };
        Sub = new TLRSubPanel;
        Sub->Name = "Sub";
        Sub->SetGridPanel(Grid);

        Footer = Add<TLRLayoutPanel>(LightRep1, "Footer");
        Footer->SetLRAlign(TLRAlign::laBottom);
        Footer->SetHeight(40);
        PageLabel = AddItem(Footer, "PageLabel", 0, 8, 700, 25);
        PageLabel->Alignment = TAlignment::taCenter;
        Footer->BeforePrint = [this](TControl*, const TRect&, TPrintStatus&) {
            PageLabel->Text = "- " + std::to_string(LightRep1->GetPageNumber()) + " -";
        };
        Footer->AfterPrint = [this](TControl*) { data.Next(); };
    }
    ~SampleReport() override { delete Sub; }

    template <class T>
    T* Add(TControl* parent, const char* name) {
        auto* c = new T;
        c->Name = name;
        c->SetParent(parent);
        return c;
    }
    TLRItem* AddItem(TControl* parent, const char* name, int x, int y, int w, int h) {
        auto* item = Add<TLRItem>(parent, name);
        item->SetBounds(x, y, w, h);
        item->Font.Height = -13;
        return item;
    }

    void FillBody() {
        const int row = data.Row();
        Code->Text = "AB" + std::to_string(row % 10) + "XYZ";
        Name->Text = Sjis("山田 太郎 ") + std::to_string(row + 1);
        Amount->Text = std::to_string(1234 + row * 1000) + ".5";
        Note->Text = Sjis("これは、可変幅のテキストです。行は単語の間と全角文字の前後で折り返されます。") +
                     "\r\nThe quick brown fox jumps over the lazy dog " + std::to_string(row + 1) + ".\r\n" +
                     Sjis("句読点「。」は行頭に来ません。");
    }

    RowDataSet data;
    std::vector<std::pair<int, int>> cells;
    TLRLayoutPanel* Header;
    TLRLayoutPanel* Body;
    TLRLayoutPanel* Footer;
    TLRLayoutPanel* Nested;
    TLRGridPanel* Grid;
    TLRChildPanel* Hidden;
    TLRSubPanel* Sub;
    TLRItem *Title, *Ampersand, *Code, *Name, *Amount, *Cell, *NestedItem, *PageLabel;
    TLRImage* Logo;
    TLRVariableText* Note;
};

// A test with its own temporary folder, whose report messages are collected.
struct ReportTest : ::testing::Test {
    void SetUp() override {
        App();
        dir = FreshTempDir(::testing::UnitTest::GetInstance()->current_test_info()->name());
        TBaseLRep::MessageHandler = [this](const std::string& text) { messages.push_back(text); };
    }
    void TearDown() override {
        TBaseLRep::MessageHandler = nullptr;
        std::filesystem::remove_all(dir);
    }
    std::string dir;
    std::vector<std::string> messages;
};

}  // namespace report_test

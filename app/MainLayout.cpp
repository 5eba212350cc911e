// The main window's tabs as designed: panels, buttons with their hover colours, the
// overview's grid and chart, the staff list's grid, and the File menu's exports.
#include <QBoxLayout>
#include <QButtonGroup>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QMenuBar>
#include <QPieSeries>
#include <QRadioButton>
#include <QSplitter>

#include "app/DBGridEx.h"
#include "app/MainWindow.h"
#include "app/MakatiButton.h"
#include "components/KuraQuery.h"
#include "platform/gui/Color.h"
#include "platform/gui/FileDialogs.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

namespace {

QWidget* Panel(QWidget* parent, const char* name, gui::TColor color) {
    auto* w = new QWidget(parent);
    w->setObjectName(name);
    QPalette pal = w->palette();
    pal.setColor(QPalette::Window, gui::ToQColor(color));
    w->setPalette(pal);
    w->setAutoFillBackground(true);
    return w;
}

// An owner-drawn button with its design colour and the colour it takes under the mouse.
TMakatiButton* Button(QWidget* parent, const char* name, const char* caption, gui::TColor leave, gui::TColor enter,
                      int width) {
    auto* b = new TMakatiButton(parent);
    b->setObjectName(name);
    b->setText(U8(caption));
    b->SetColor(leave);
    b->setFixedSize(width, 30);
    b->OnMouseEnter = [enter](TMakatiButton* button) { button->SetColor(enter); };
    b->OnMouseLeave = [leave](TMakatiButton* button) { button->SetColor(leave); };
    return b;
}

}  // namespace

void TFmain::CreateQueries() {
    auto query = [](const char* name) {
        auto* q = new kura::TKuraQuery;
        q->SetName(name);
        q->SetDatabaseName("DataDB");
        q->SetSessionName("MySession");
        q->SetMaxRowCount(-1);
        return q;
    };
    Qstaff = query("Qstaff");
    Qjyokyo = query("Qjyokyo");
    DSstaff.SetDataSet(Qstaff);
    DSjyokyo.SetDataSet(Qjyokyo);
    Qstaff->AfterOpen = [this](kura::TDataSet* ds) { QstaffAfterOpen(ds); };
    SaveDialog1 = new gui::TSaveDialog(this);
    SaveDialog1->ObjectName = "SaveDialog1";
    SaveDialog1->Filter = U8("ﾃｷｽﾄﾌｧｲﾙ(*.CSV)|*.CSV|すべてのﾌｧｲﾙ(*.*)|*.*");
    // The tabs are drawn in the colour of the panel beneath them.
    PageControl1->setStyleSheet("QTabBar::tab { background: #FFFFCC; padding: 4px 8px; }");
    Panel1->setAutoFillBackground(true);
    QPalette pal = Panel1->palette();
    pal.setColor(QPalette::Window, gui::ToQColor(0xCCFFFF));
    Panel1->setPalette(pal);
}

void TFmain::BuildOverviewTab() {
    Panel2 = Panel(TabSheet1, "Panel2", 0xCCFFFF);
    (new QVBoxLayout(TabSheet1))->addWidget(Panel2);
    TabSheet1->layout()->setContentsMargins(0, 0, 0, 0);
    auto* column = new QVBoxLayout(Panel2);
    column->setContentsMargins(4, 4, 4, 4);
    Splitter1 = new QSplitter(Qt::Vertical, Panel2);
    Splitter1->setObjectName("Splitter1");
    column->addWidget(Splitter1);

    Panel5 = Panel(Splitter1, "Panel5", 0x33CCFF);
    Panel5->setMinimumHeight(120);
    auto* top = new QVBoxLayout(Panel5);
    top->setContentsMargins(0, 0, 0, 0);
    Panel6 = Panel(Panel5, "Panel6", 0x33CCFF);
    Panel6->setFixedHeight(36);
    auto* bar = new QHBoxLayout(Panel6);
    JyokyoLBL = new QLabel(U8("全人数：999 人"), Panel6);
    JyokyoLBL->setObjectName("JyokyoLBL");
    BuRB = new QRadioButton(U8("部"), Panel6);
    BuRB->setObjectName("BuRB");
    BuRB->setChecked(true);
    // The only grouping there is: a click never unchecks it.
    (new QButtonGroup(Panel6))->addButton(BuRB);
    connect(BuRB, &QRadioButton::clicked, this, [this] { BuRBClick(); });
    MakatiButton1 = Button(Panel6, "MakatiButton1", "最新の状態に更新", 0x33CCFF, 0xCCFFFF, 140);
    connect(MakatiButton1, &QPushButton::clicked, this, [this] { SaisinBTNClick(); });
    bar->addWidget(JyokyoLBL);
    bar->addSpacing(24);
    bar->addWidget(BuRB);
    bar->addStretch();
    bar->addWidget(MakatiButton1);
    top->addWidget(Panel6);
    JyokyoGrid = new TDBGridEx(Panel5);
    JyokyoGrid->setObjectName("JyokyoGrid");
    JyokyoGrid->setFocusPolicy(Qt::ClickFocus);
    JyokyoGrid->SetDataSource(&DSjyokyo);
    top->addWidget(JyokyoGrid, 1);

    auto* chart = new QChart;
    chart->setObjectName("Chart1Chart");
    chart->setBackgroundBrush(Qt::white);
    chart->setBackgroundRoundness(0);
    chart->setTitle({});
    chart->legend()->hide();
    Series1 = new QPieSeries;
    Series1->setObjectName("Series1");
    Series2 = new QHorizontalBarSeries;
    Series2->setObjectName("Series2");
    chart->addSeries(Series1);
    chart->addSeries(Series2);
    Series2->setVisible(false);
    Chart1 = new QChartView(chart, Splitter1);
    Chart1->setObjectName("Chart1");
    Chart1->setFrameShape(QFrame::NoFrame);
    Chart1->setRenderHint(QPainter::Antialiasing);
    Splitter1->addWidget(Panel5);
    Splitter1->addWidget(Chart1);
    Splitter1->setSizes({189, 400});
}

void TFmain::BuildStaffTab() {
    auto* column = new QVBoxLayout(TabSheet2);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    Panel3 = Panel(TabSheet2, "Panel3", 0x33CCFF);
    Panel3->setFixedHeight(41);
    auto* bar = new QHBoxLayout(Panel3);
    bar->setContentsMargins(4, 4, 4, 4);
    STAFFaddBTN = Button(Panel3, "STAFFaddBTN", "追　加", 0xAAAA00, 0xFFFF6A, 80);
    STAFFeditBTN = Button(Panel3, "STAFFeditBTN", "修　正", 0x00AAAA, 0x6AFFFF, 80);
    STAFFdelBTN = Button(Panel3, "STAFFdelBTN", "削　除", 0xAA00AA, 0xFF6AFF, 80);
    CuteButton6 = Button(Panel3, "CuteButton6", "表示設定...", 0x00AA00, 0x6AFF6A, 100);
    KanriSheetBTN = new QPushButton(U8("労働者名簿印刷"), Panel3);
    KanriSheetBTN->setObjectName("KanriSheetBTN");
    JidoCB = new QCheckBox(U8("自動更新"), Panel3);
    JidoCB->setObjectName("JidoCB");
    JidoCB->setChecked(true);
    SaisinBTN = Button(Panel3, "SaisinBTN", "最新の状態に更新", 0x33CCFF, 0xCCFFFF, 140);
    SaisinBTN->setEnabled(false);
    for (QWidget* w : {static_cast<QWidget*>(STAFFaddBTN), static_cast<QWidget*>(STAFFeditBTN),
                       static_cast<QWidget*>(STAFFdelBTN), static_cast<QWidget*>(CuteButton6),
                       static_cast<QWidget*>(KanriSheetBTN), static_cast<QWidget*>(JidoCB),
                       static_cast<QWidget*>(SaisinBTN)})
        bar->addWidget(w);
    bar->addStretch();
    connect(CuteButton6, &QPushButton::clicked, this, [this] { CuteButton6Click(); });
    connect(SaisinBTN, &QPushButton::clicked, this, [this] { SaisinBTNClick(); });
    connect(JidoCB, &QCheckBox::clicked, this, [this] { JidoCBClick(); });
    column->addWidget(Panel3);

    Panel4 = Panel(TabSheet2, "Panel4", 0xCCFFFF);
    (new QVBoxLayout(Panel4))->setContentsMargins(0, 0, 0, 0);
    StaffGrid = new TDBGridEx(Panel4);
    StaffGrid->setObjectName("StaffGrid");
    StaffGrid->setToolTip(U8("右ﾎﾞﾀﾝ→ﾎﾟｯﾌﾟﾒﾆｭｰ,項目名ﾄﾞﾗｯｸﾞ&ﾄﾞﾛｯﾌﾟ→表示順入れ替え"));
    StaffGrid->SetMultiSelect(true);
    StaffGrid->SetRowSelect(true);
    AddStaffColumns();
    StaffGrid->SetDataSource(&DSstaff);
    // Wide enough for their titles and data until the user's own widths are read.
    StaffGrid->FitColumns();
    StaffGrid->OnTitleClick = [this](int c) { StaffGridTitleClick(c); };
    StaffGrid->OnDrawColumnCell = [this](QPainter* p, const QStyleOptionViewItem& o, const QModelIndex& i, int c) {
        StaffGridDrawColumnCell(p, o, i, c);
    };
    Panel4->layout()->addWidget(StaffGrid);
    column->addWidget(Panel4, 1);
}

void TFmain::BuildMenus() {
    File1 = menuBar()->addMenu(U8("ﾌｧｲﾙ(&F)"));
    File1->setObjectName("File1");
    QMenu* exportMenu = File1->addMenu(U8("ｴｸｽﾎﾟｰﾄ"));
    exportMenu->setObjectName("Export1");
    PCP2 = exportMenu->addAction(U8("従業員情報(&P)"));
    PCP2->setObjectName("PCP2");
    A1 = exportMenu->addAction(U8("履歴情報(&R)"));
    A1->setObjectName("A1");
    File1->addSeparator();
    Exit1 = File1->addAction(U8("終了(&X)"));
    Exit1->setObjectName("Exit1");
    connect(PCP2, &QAction::triggered, this, [this] { PCP2Click(); });
    connect(A1, &QAction::triggered, this, [this] { A1Click(); });
    connect(Exit1, &QAction::triggered, this, [this] { Exit1Click(); });
}

}  // namespace app

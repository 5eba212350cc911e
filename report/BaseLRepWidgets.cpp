// The report form's widgets, actions and menus.
#include <QAction>
#include <QActionGroup>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPageSetupDialog>
#include <QPixmap>
#include <QPrinter>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "report/BaseLRep.h"

namespace report {

namespace {

QString Hint(const QString& caption) {
    const qsizetype paren = caption.indexOf("(&");
    return paren < 0 ? caption : caption.left(paren);
}

}  // namespace

void TLRImageView::SetImageSize(int width, int height) {
    width_ = width;
    height_ = height;
    resize(width, height);
}

void TLRImageView::SetPicture(const QImage& picture) {
    picture_ = picture;
    setPixmap(QPixmap::fromImage(picture));
}

QAction* TBaseLRep::MakeAction(const char* name, const char* category, const QString& caption,
                               const QString& shortcut, const std::function<void()>& work) {
    auto* action = new QAction(caption, this);
    action->setObjectName(name);
    action->setProperty("category", category);
    if (!shortcut.isEmpty()) action->setShortcut(QKeySequence(shortcut));
    if (QString(category) == "Goto") action->setToolTip(Hint(caption));
    QObject::connect(action, &QAction::triggered, this, [this, work] { RunGuarded(work); });
    addAction(action);
    return action;
}

void TBaseLRep::CreateWidgets() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    MakeAction("ActExit", "File", QString::fromUtf8("終了(&X)"), {}, [this] { close(); });
    MakeAction("ActPreview", "File", QString::fromUtf8("画面表示(&V)"), "Ctrl+V", [this] { Preview(0); });
    static constexpr struct {
        const char* name;
        const char* caption;
        int zoom;
    } kZooms[] = {{"Act80", "80%(&8)", 80}, {"Act50", "50%(&5)", 50}, {"Act25", "25%(&2)", 25}};
    for (const auto& z : kZooms) {
        const int zoom = z.zoom;
        MakeAction(z.name, "File", QString::fromUtf8(z.caption), {}, [this, zoom] { Preview(zoom); })->setData(zoom);
    }
    MakeAction("ActPrint", "File", QString::fromUtf8("印刷(&P)"), "Ctrl+P", [this] { Print(); });
    actNextPage_ = MakeAction("ActNextPage", "Goto", QString::fromUtf8("次ページ(&N)"), "Ctrl+N", [this] { NextPage(); });
    actPriorPage_ = MakeAction("ActPriorPage", "Goto", QString::fromUtf8("前ページ(&R)"), "Ctrl+R", [this] { PriorPage(); });
    actFirstPage_ = MakeAction("ActFirstPage", "Goto", QString::fromUtf8("先頭ページ(&F)"), "Ctrl+F", [this] { FirstPage(); });
    actLastPage_ = MakeAction("ActLastPage", "Goto", QString::fromUtf8("最終ページ(&L)"), "Ctrl+L", [this] { LastPage(); });
    actSuspend_ = MakeAction("ActSuspend", "Goto", QString::fromUtf8("一時停止(&S)"), "Ctrl+S", [this] { ToggleSuspend(); });
    actSuspend_->setCheckable(true);
    actSuspend_->setEnabled(false);
    MakeAction("ActPrintPrepare", "Event", {}, {}, [this] { PrintPrepare(); });
    MakeAction("ActPaginate", "Event", {}, {}, [this] { Paginate(); });

    auto* panel1 = new QWidget(this);
    panel1->setObjectName("Panel1");
    panel1->setFixedHeight(24);
    auto* bar = new QHBoxLayout(panel1);
    bar->setContentsMargins(2, 0, 2, 0);
    auto button = [panel1, bar](const char* name, const char* text, QAction* action) {
        auto* b = new QToolButton(panel1);
        b->setObjectName(name);
        b->setText(text);
        b->setToolTip(action->toolTip());
        b->setEnabled(action->isEnabled());
        QObject::connect(b, &QToolButton::clicked, action, &QAction::trigger);
        QObject::connect(action, &QAction::changed, b, [b, action] { b->setEnabled(action->isEnabled()); });
        bar->addWidget(b);
    };
    button("SpeedButton4", "<<", actFirstPage_);
    button("SpeedButton2", "<", actPriorPage_);
    memo1_ = new QLineEdit(panel1);
    memo1_->setObjectName("Memo1");
    memo1_->setReadOnly(true);
    memo1_->setAlignment(Qt::AlignRight);
    memo1_->setFixedWidth(80);
    bar->addWidget(memo1_);
    button("SpeedButton1", ">", actNextPage_);
    button("SpeedButton3", ">>", actLastPage_);
    button("SpeedButton5", "||", actSuspend_);
    auto* label1 = new QLabel(QString::fromUtf8("印刷範囲"), panel1);
    label1->setObjectName("Label1");
    bar->addWidget(label1);
    edit1_ = new QLineEdit(panel1);
    edit1_->setObjectName("Edit1");
    edit1_->setFixedWidth(48);
    bar->addWidget(edit1_);
    auto* label2 = new QLabel(QString::fromUtf8("～"), panel1);
    label2->setObjectName("Label2");
    bar->addWidget(label2);
    edit2_ = new QLineEdit(panel1);
    edit2_->setObjectName("Edit2");
    edit2_->setFixedWidth(48);
    bar->addWidget(edit2_);
    bar->addStretch();
    edit1_->installEventFilter(this);
    edit2_->installEventFilter(this);

    scrollBox1_ = new QScrollArea(this);
    scrollBox1_->setObjectName("ScrollBox1");
    auto* sheet = new QWidget;
    image1_ = new TLRImageView(sheet);
    image1_->setObjectName("Image1");
    image1_->move(8, 8);
    sheet->setMinimumSize(LightRep1->Width() + 16, LightRep1->Height() + 16);
    scrollBox1_->setWidget(sheet);

    layout->addWidget(panel1);
    layout->addWidget(scrollBox1_, 1);
}

void TBaseLRep::CreateMenu() {
    mainMenu1_ = new QMenuBar(this);
    mainMenu1_->setObjectName("MainMenu1");
    layout()->setMenuBar(mainMenu1_);
    auto find = [this](const char* name) { return findChild<QAction*>(name); };
    QMenu* file = mainMenu1_->addMenu(QString::fromUtf8("ﾌｧｲﾙ(&F)"));
    file->addAction(find("ActPreview"));
    QMenu* zoom = file->addMenu(QString::fromUtf8("縮小表示(&S)"));
    zoom->setEnabled(false);
    zoom->addAction(find("Act80"));
    zoom->addAction(find("Act50"));
    zoom->addAction(find("Act25"));
    file->addAction(find("ActPrint"));
    file->addSeparator();
    QAction* setup = file->addAction(QString::fromUtf8("ﾌﾟﾘﾝﾀ設定"));
    setup->setObjectName("PrinterSetup");
    QObject::connect(setup, &QAction::triggered, this, [this] {
        RunGuarded([this] {
            QPageSetupDialog dialog(&LightRep1->GetPrinter()->Native(), this);
            dialog.setObjectName("PrinterSetupDialog1");
            dialog.exec();
        });
    });
    printerMenu_ = file->addMenu(QString::fromUtf8("プリンタの変更(&C)"));
    printerMenu_->setObjectName("PrinterMenu");
    file->addSeparator();
    file->addAction(find("ActExit"));
    QMenu* go = mainMenu1_->addMenu(QString::fromUtf8("移動(&M)"));
    go->addAction(actFirstPage_);
    go->addAction(actNextPage_);
    go->addAction(actPriorPage_);
    go->addAction(actLastPage_);
    go->addAction(actSuspend_);
}

void TBaseLRep::BuildPrinterMenu() {
    printerMenu_->clear();
    auto* group = new QActionGroup(printerMenu_);
    platform::TPrinter* printer = LightRep1->GetPrinter();
    const std::vector<std::string> names = printer->Printers();
    for (int i = 0; i < static_cast<int>(names.size()); ++i) {
        QAction* item = printerMenu_->addAction(QString::fromStdString(names[static_cast<size_t>(i)]));
        item->setCheckable(true);
        item->setData(i);
        item->setChecked(i == printer->PrinterIndex());
        group->addAction(item);
        QObject::connect(item, &QAction::triggered, this, [this, item, i] {
            RunGuarded([this, item, i] {
                platform::TPrinter* p = LightRep1->GetPrinter();
                if (p->PrinterIndex() != i) p->SetPrinterIndex(i);
                item->setChecked(true);
            });
        });
    }
}

}  // namespace report

#include "app/Rirekisyo.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/FormKit.h"
#include "app/MakatiButton.h"
#include "app/ScanPicture.h"
#include "imaging/Scanner.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/print/Printer.h"

namespace app {

TFrirekisyo* Frirekisyo = nullptr;

TFrirekisyo::TFrirekisyo(QWidget* parent) : TForm1(parent) {
    setObjectName("Frirekisyo");
    setWindowTitle(QString::fromUtf8("履歴書"));
    resize(760, 700);
    Trirekisyo = DataTable("Trirekisyo", "Rirekisyo");
    DSrirekisyo.SetDataSet(Trirekisyo.get());
    Scanner1 = std::make_unique<kura::imaging::TScanner>();
    auto* layout = new QVBoxLayout(Client());
    PageControl1 = new QTabWidget(Client());
    PageControl1->setObjectName("PageControl1");
    auto page = [this](const char* caption, const char* image, const char* scan, const char* print, QLabel*& label,
                       TMakatiButton*& scanBtn, TMakatiButton*& printBtn) {
        auto* w = new QWidget;
        auto* v = new QVBoxLayout(w);
        auto* box = new QScrollArea(w);
        label = new QLabel;
        label->setObjectName(image);
        label->setScaledContents(true);
        box->setWidget(label);
        v->addWidget(box, 1);
        auto* row = new QHBoxLayout;
        scanBtn = MakeButton(w, scan, "スキャン", 0xC0C0C0, 0x808080);
        printBtn = MakeButton(w, print, "印刷", 0xC0C0C0, 0x808080);
        row->addWidget(scanBtn);
        row->addWidget(printBtn);
        v->addLayout(row);
        PageControl1->addTab(w, QString::fromUtf8(caption));
    };
    page("表", "OmoteIMG", "OmoteScanBTN", "OmotePrtBTN", OmoteIMG, OmoteScanBTN, OmotePrtBTN);
    page("裏", "UraIMG", "UraScanBTN", "UraPrtBTN", UraIMG, UraScanBTN, UraPrtBTN);
    layout->addWidget(PageControl1, 1);
    auto* buttons = new QHBoxLayout;
    OkBTN = MakeButton(Client(), "OkBTN", "Ｏ　Ｋ", 0xC0C0C0, 0x808080);
    CanBTN = MakeButton(Client(), "CanBTN", "キャンセル", 0xC0C0C0, 0x808080);
    buttons->addWidget(OkBTN);
    buttons->addWidget(CanBTN);
    layout->addLayout(buttons);
    connect(OmoteScanBTN, &QPushButton::clicked, this, [this] { OmoteScanBTNClick(); });
    connect(UraScanBTN, &QPushButton::clicked, this, [this] { UraScanBTNClick(); });
    connect(OmotePrtBTN, &QPushButton::clicked, this, [this] { OmotePrtBTNClick(); });
    connect(UraPrtBTN, &QPushButton::clicked, this, [this] { UraPrtBTNClick(); });
    connect(OkBTN, &QPushButton::clicked, this, [this] { OkBTNClick(); });
    connect(CanBTN, &QPushButton::clicked, this, [this] { CanBTNClick(); });
}

TFrirekisyo::~TFrirekisyo() {
    try {
        if (Trirekisyo->Active()) Trirekisyo->Cancel();
    } catch (...) {
    }
    DSrirekisyo.SetDataSet(nullptr);
}

void TFrirekisyo::FormShow() {
    TForm1::FormShow();
    for (QLabel* image : {OmoteIMG, UraIMG}) image->resize(PageWidth, PageHeight);
    ShowPages();
}

void TFrirekisyo::ShowPages() {
    OmoteIMG->setPixmap(QPixmap::fromImage(LoadPicture(Trirekisyo->FieldByName("Rirekisyo1"))));
    UraIMG->setPixmap(QPixmap::fromImage(LoadPicture(Trirekisyo->FieldByName("Rirekisyo2"))));
}

void TFrirekisyo::ScanPage(const char* field, QLabel* image) {
    QImage work(PageWidth, PageHeight, QImage::Format_RGB32);
    work.fill(Qt::white);
    if (!ScanInto(*Scanner1, work, QRect(0, 0, PageHeight, PageWidth))) return;
    Trirekisyo->Edit();
    StorePicture(Trirekisyo->FieldByName(field), work);
    image->setPixmap(QPixmap::fromImage(work));
}

void TFrirekisyo::PrintPage(const char* field) {
    const QImage picture = LoadPicture(Trirekisyo->FieldByName(field));
    platform::TPrinter& printer = platform::Printer();
    if (!platform::ChoosePrinter(printer, this)) return;
    printer.BeginDoc();
    try {
        if (!picture.isNull())
            printer.Canvas().StretchDraw(
                platform::Rect(0, 0, printer.GetDeviceCaps(platform::HORZRES), printer.GetDeviceCaps(platform::VERTRES)), picture);
        printer.EndDoc();
    } catch (...) {
        printer.Abort();
        throw;
    }
}

void TFrirekisyo::OkBTNClick() {
    Trirekisyo->Post();
    done(gui::mrOk);
}

void TFrirekisyo::CanBTNClick() {
    Trirekisyo->Cancel();
    done(gui::mrCancel);
}

}  // namespace app

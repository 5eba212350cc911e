#include "app/ReadMe.h"

#include <QFile>
#include <QHBoxLayout>
#include <QPrinter>
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>

#include "app/ProgramPaths.h"
#include "platform/gui/Application.h"
#include "platform/gui/Text.h"
#include "platform/print/Printer.h"

namespace app {

using gui::U8;

TFreadMe::TFreadMe(QWidget* parent) : TForm1(parent) {
    setObjectName("FreadMe");
    setWindowTitle(U8("お読みください"));
    resize(640, 480);
    auto* layout = new QVBoxLayout(Client());
    RichEdit1 = new QTextEdit(Client());
    RichEdit1->setObjectName("RichEdit1");
    RichEdit1->setReadOnly(true);
    RichEdit1->setAcceptRichText(false);
    layout->addWidget(RichEdit1, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    BitBtn1 = new QPushButton(U8("印刷"), Client());
    BitBtn1->setObjectName("BitBtn1");
    BitBtn2 = new QPushButton(U8("閉じる(&C)"), Client());
    BitBtn2->setObjectName("BitBtn2");
    buttons->addWidget(BitBtn1);
    buttons->addWidget(BitBtn2);
    layout->addLayout(buttons);
    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(BitBtn2, &QPushButton::clicked, this, [this] { close(); });
}

bool TFreadMe::LoadReadMe() {
    const QString path = ProgramDir() + "readme.txt";
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        gui::MessageDlg(U8("ファイル \"") + path + U8("\" を開けません。") + "\n" + file.errorString(), gui::mtError,
                        gui::mbOK, this);
        return false;
    }
    const QByteArray bytes = file.readAll();
    RichEdit1->setPlainText(gui::MessageText(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size()))));
    return true;
}

void TFreadMe::FormShow() {
    TForm1::FormShow();
    // Without its text the window has nothing to show: it closes once shown.
    if (!LoadReadMe()) QTimer::singleShot(0, this, [this] { reject(); });
}

void TFreadMe::BitBtn1Click() {
    platform::TPrinter& printer = platform::Printer();
    if (!platform::ChoosePrinter(printer, this)) return;
    QPrinter& device = printer.Native();
    device.setDocName(U8("お読みください"));
    RichEdit1->print(&device);
    if (!printer.JobDone())
        gui::MessageDlg(U8("印刷できませんでした。"), gui::mtError, gui::mbOK, this);
}

}  // namespace app

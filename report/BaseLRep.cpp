#include "report/BaseLRep.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPageSetupDialog>
#include <QPixmap>
#include <QPrinter>
#include <QScreen>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>

#include "platform/print/QtBridge.h"
#include "report/FormatText.h"
#include "report/PreviewThread.h"
#include "report/PrintMsg.h"

namespace report {

std::function<void(const std::string& text)> TBaseLRep::MessageHandler;

namespace {

// The hourglass for a scope.
class WaitCursor {
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { QApplication::restoreOverrideCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;
};

void ClosePrintMsg() {
    if (PrintMsg) PrintMsg->close();
}

int StrToInt(const QString& text) {
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok) throw EConvertError("'" + text.toStdString() + "' is not a valid integer value");
    return value;
}

}  // namespace

TBaseLRep::TBaseLRep(QWidget* parent) : QDialog(parent), LightRep1(new TLightRep) {
    QFont font(platform::FontFamily("ＭＳ 明朝"));
    font.setPixelSize(12);
    setFont(font);
    LightRep1->Name = "LightRep1";
    LightRep1->SetParent(&Components);
    LightRep1->Loaded();
    LRPreviewControl1.LightRep = LightRep1;

    CreateWidgets();
    CreateMenu();

    platform::Printer().SetPrinterIndex(-1);
    if (!LightRep1->Title.empty())
        setWindowTitle(QString::fromStdString(LightRep1->Title));
    else
        LightRep1->Title = windowTitle().toStdString();
    move(0, 0);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        resize(LightRep1->Width() + 48, std::max(200, area.height() - 32));
        if (area.width() < width()) setWindowState(Qt::WindowMaximized);
    }
    image1_->SetImageSize(LightRep1->Width(), LightRep1->Height());
    BuildPrinterMenu();
    memo1_->clear();
    edit1_->clear();
    edit2_->clear();
    UpdateActions();
}

TBaseLRep::~TBaseLRep() {
    StopPreviewThread();
    thread_.reset();
}

void TBaseLRep::ShowMessage(const std::string& text) {
    if (MessageHandler)
        MessageHandler(text);
    else
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(text));
}

void TBaseLRep::RunGuarded(const std::function<void()>& work) {
    try {
        work();
    } catch (const EAbort&) {
    } catch (const std::exception& e) {
        ShowMessage(e.what());
    }
    UpdateActions();
}

void TBaseLRep::ShowPreview() {
    show();
    RunGuarded([this] { Preview(0); });
}

bool TBaseLRep::IsReportEnd() {
    if (reportEnd_) return true;
    if (!dsMast.DataSet || dsMast.DataSet->Eof()) return true;
    return LightRep1->GetStatus() == 1 && LightRep1->LastPage >= 1 &&
           LightRep1->GetPageNumber() + 1 > LightRep1->LastPage;
}

void TBaseLRep::UpdatePageLabel() {
    memo1_->setText(QString("%1/%2").arg(LRPreviewControl1.GetPageNumber()).arg(LRPreviewControl1.GetPageCount()));
}

void TBaseLRep::UpdateActions() {
    const bool moreData = dsMast.DataSet && dsMast.DataSet->Active() && !IsReportEnd();
    const bool hasSheets = LRPreviewControl1.GetPageCount() > 0;
    const bool next = moreData || !LRPreviewControl1.IsLastPage();
    actNextPage_->setEnabled(next);
    actLastPage_->setEnabled(next);
    const bool prior = hasSheets && !LRPreviewControl1.IsFirstPage();
    actPriorPage_->setEnabled(prior);
    actFirstPage_->setEnabled(prior);
    actSuspend_->setEnabled(threadRunning_);
}

void TBaseLRep::Preview(int zoom) {
    if (PaginateFirst) Paginate();
    zoom_ = zoom;
    PrintPrepare();
    LRPreviewControl1.Start(image1_);
    RenderPreviewPage(zoom);
    image1_->update();
    StartPreviewThread();
}

void TBaseLRep::ComposeSheet(int zoom, bool show) {
    // Cells of the zoomed page size, row by row, while another cell fits the sheet.
    const int cellWidth = image1_->ImageWidth() * zoom / 100;
    const int cellHeight = image1_->ImageHeight() * zoom / 100;
    int x = 0, y = 0;
    while (!IsReportEnd()) {
        if (show)
            LRPreviewControl1.DrawScaledPart(x, y, zoom);
        else
            LRPreviewControl1.RenderScaledPart(x, y, zoom);
        x += cellWidth;
        if (x + cellWidth > image1_->ImageWidth()) {
            x = 0;
            y += cellHeight;
            if (y + cellHeight > image1_->ImageHeight()) break;
        }
    }
    if (show)
        LRPreviewControl1.StoreAndShowPage();
    else
        LRPreviewControl1.StoreAndClear();
}

void TBaseLRep::RenderPreviewPage(int zoom) {
    WaitCursor wait;
    if (zoom == 0)
        LRPreviewControl1.NextPage();
    else if (!LRPreviewControl1.NextStoredPage())
        ComposeSheet(zoom, true);
    UpdatePageLabel();
}

void TBaseLRep::DrawPages(int zoom) {
    if (zoom == 0)
        LRPreviewControl1.RenderPage();
    else
        ComposeSheet(zoom, false);
    UpdatePageLabel();
    UpdateActions();
}

void TBaseLRep::StartPreviewThread() {
    StopPreviewThread();
    thread_ = std::make_unique<TLRPreviewThread>(this, zoom_);
    TLRPreviewThread* thread = thread_.get();
    thread_->OnTerminate = [this, thread] {
        if (thread->FinishedNormally() || thread->FatalException) threadRunning_ = false;
        // A sheet that failed in the background is reported like any failed action.
        if (thread->FatalException) RunGuarded([thread] { std::rethrow_exception(thread->FatalException); });
        UpdateActions();
    };
    thread_->Resume();
    threadRunning_ = true;
    actSuspend_->setChecked(false);
    UpdateActions();
}

void TBaseLRep::StopPreviewThread() {
    if (thread_) thread_->Shutdown();
    threadRunning_ = false;
}

void TBaseLRep::ToggleSuspend() {
    if (!thread_) return;
    // The action's check has already flipped: checked now means "pause".
    if (actSuspend_->isChecked())
        thread_->Suspend();
    else
        thread_->Resume();
}

void TBaseLRep::NextPage() {
    RenderPreviewPage(zoom_);
    image1_->update();
}

void TBaseLRep::PriorPage() {
    LRPreviewControl1.PriorPage();
    UpdatePageLabel();
}

void TBaseLRep::FirstPage() {
    LRPreviewControl1.FirstPage();
    UpdatePageLabel();
}

void TBaseLRep::LastPage() {
    LRPreviewControl1.LastPage();
    UpdatePageLabel();
}

void TBaseLRep::PrintPrepare() {
    // The preview thread ends for good here, so no queued sheet is drawn from the data
    // about to be repositioned.
    StopPreviewThread();
    reportEnd_ = false;
    TReportDataSet* data = dsMast.DataSet;
    if (!data) {
        ClosePrintMsg();
        QApplication::beep();
        ShowMessage("dsMast.DataSet にデータセットを指定してください．");
        throw EAbort();
    }
    if (!data->Active()) data->Open();
    if (data->Filtered()) {
        if (!data->FindFirst()) reportEnd_ = true;
    } else {
        data->First();
    }
    if (IsReportEnd()) {
        if (!QuietNoData) {
            ClosePrintMsg();
            QApplication::beep();
            ShowMessage("印刷対象データがありません．");
        }
        throw EAbort();
    }
}

void TBaseLRep::Paginate() {
    WaitCursor wait;
    PrintPrepare();
    LightRep1->BeginPaginate();
    try {
        while (!IsReportEnd()) LightRep1->PaginatePage();
    } catch (...) {
        LightRep1->EndPaginate();
        throw;
    }
    LightRep1->EndPaginate();
}

void TBaseLRep::Print() {
    RestoreActiveControl();
    if (!platform::ChoosePrinter(*LightRep1->GetPrinter(), this)) return;
    // The dialog has set the device up for the printer it chose: taking that
    // printer as the report's own keeps the job from resetting the user's choices.
    LightRep1->SetPrinter(LightRep1->GetPrinter());
    WaitCursor wait;
    if (!QuietPrint && !PrintMsg) {
        auto* box = new TPrintMsg(this);
        box->show();
        box->repaint();
    }
    try {
        if (PaginateFirst) Paginate();
        PrintPrepare();
        const bool split =
            FirstJobPages + PagesPerJob > 0 && LightRep1->FirstPage == 0 && LightRep1->LastPage == 0;
        if (split) LightRep1->ContinuePageNumbers();
        LightRep1->BeginDoc();
        for (;;) {
            if (IsReportEnd()) {
                LightRep1->EndDoc();
                break;
            }
            if (ActPageBeforePrint) ActPageBeforePrint();
            LightRep1->PrintPage();
            if (ActPageAfterPrint) ActPageAfterPrint();
            if (IsReportEnd()) continue;
            const int page = LightRep1->GetPageNumber();
            if (split && (page == FirstJobPages || (PagesPerJob > 0 && page % PagesPerJob == 0))) {
                LightRep1->EndDoc();
                LightRep1->BeginDoc();
            } else {
                LightRep1->NewPage();
            }
        }
    } catch (...) {
        // A failed job is closed, so the page can print again.
        if (LightRep1->GetStatus() == 1) {
            LightRep1->GetPrinter()->Abort();
            LightRep1->EndDoc();
        }
        if (!QuietPrint) ClosePrintMsg();
        throw;
    }
    if (!QuietPrint) ClosePrintMsg();
}

void TBaseLRep::RestoreActiveControl() {
    // Leaving and re-entering the focused field runs its pending exit first.
    for (QLineEdit* edit : {edit1_, edit2_})
        if (edit->isModified()) ExitRangeField(edit);
}

void TBaseLRep::ExitRangeField(QLineEdit* edit) {
    if (!edit->isModified()) return;
    edit->setModified(false);
    QString text = edit->text().trimmed();
    if (text.isEmpty()) text = "0";
    const int value = StrToInt(text);
    edit->setText(QString::fromStdString(FormatFloat("#", value)));
    if (edit == edit1_)
        LightRep1->FirstPage = value;
    else
        LightRep1->LastPage = value;
    if (value > 0) LRPreviewControl1.GotoMarkedPage(value);
    UpdatePageLabel();
}

bool TBaseLRep::eventFilter(QObject* watched, QEvent* event) {
    auto* edit = qobject_cast<QLineEdit*>(watched);
    if (edit && (edit == edit1_ || edit == edit2_)) {
        switch (event->type()) {
        case QEvent::FocusIn:
            edit->setModified(false);
            break;
        case QEvent::FocusOut:
            RunGuarded([this, edit] { ExitRangeField(edit); });
            break;
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                focusNextPrevChild(!(key->modifiers() & Qt::ShiftModifier));
                return true;
            }
            break;
        }
        default:
            break;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void TBaseLRep::changeEvent(QEvent* event) {
    // A report sets its caption after the base form is made; an untitled page takes it.
    if (event->type() == QEvent::WindowTitleChange && LightRep1->Title.empty())
        LightRep1->Title = windowTitle().toStdString();
    QDialog::changeEvent(event);
}

void TBaseLRep::closeEvent(QCloseEvent* event) {
    // The thread ends with the window, also when the user closes it mid-way.
    StopPreviewThread();
    UpdateActions();
    QDialog::closeEvent(event);
}

}  // namespace report

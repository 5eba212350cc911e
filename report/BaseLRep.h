#pragma once
// The form every report inherits: a report page (LightRep1) on a hidden control tree,
// a data source (dsMast) whose data set supplies one record per page, the preview image
// in a scroll box, a toolbar, a menu and the actions that preview at full size or
// reduced, page through the preview, print a page range and choose the printer.
//
// Widgets and actions carry the component names as objectName (ActPreview, Act50,
// ActNextPage, Edit1, Memo1, ...), so tests and the application find them by name.
//
// Threads: after the first sheet a TLRPreviewThread paces the preview; every sheet is
// drawn on the GUI thread. Closing the form asks the thread to stop; destroying the
// form (and starting to print) stops it for good first, so no call runs into a freed
// form. Exceptions never leave a slot: ELRError and others are shown as messages, an
// EAbort stays silent.
#include <QDialog>
#include <QImage>
#include <QLabel>

#include <exception>
#include <functional>
#include <memory>
#include <string>

#include "report/DataSource.h"
#include "report/LightRep.h"
#include "report/PreviewControl.h"

class QAction;
class QLineEdit;
class QMenu;
class QMenuBar;
class QScrollArea;
class QToolButton;

namespace report {

class TLRPreviewThread;

// The silent exception that abandons an action.
class EAbort : public std::exception {
public:
    const char* what() const noexcept override { return "Operation aborted"; }
};

// The preview image: shows the sheet it is given and keeps it for inspection.
class TLRImageView : public QLabel, public TImageTarget {
public:
    explicit TLRImageView(QWidget* parent) : QLabel(parent) {}
    int ImageWidth() const override { return width_; }
    int ImageHeight() const override { return height_; }
    void SetImageSize(int width, int height);
    void SetPicture(const QImage& picture) override;
    const QImage& Picture() const { return picture_; }

private:
    QImage picture_;
    int width_ = 0, height_ = 0;
};

class TBaseLRep : public QDialog {
public:
    explicit TBaseLRep(QWidget* parent = nullptr);
    ~TBaseLRep() override;

    // How messages reach the user; QMessageBox by default. Tests replace it.
    static std::function<void(const std::string& text)> MessageHandler;

    TCustomForm Components;  // the hidden control tree the page stands on
    TLightRep* LightRep1;
    TDataSource dsMast;
    TLRPreviewControl LRPreviewControl1;
    // Hooks around every printed page, when a report assigns them.
    std::function<void()> ActPageBeforePrint;
    std::function<void()> ActPageAfterPrint;

    int FirstJobPages = 0;
    int PagesPerJob = 0;
    bool QuietPrint = false;
    bool QuietNoData = false;
    bool PaginateFirst = false;

    void ShowPreview();
    bool IsReportEnd();
    void RenderPreviewPage(int zoom);
    void UpdatePageLabel();
    void StartPreviewThread();
    void BuildPrinterMenu();
    void RestoreActiveControl();
    // Renders and stores one sheet without showing it (the preview thread's step).
    void DrawPages(int zoom);

    // The actions' work; each may raise (EAbort for a silent end).
    void Preview(int zoom);
    void Print();
    void PrintPrepare();
    void Paginate();
    void NextPage();
    void PriorPage();
    void FirstPage();
    void LastPage();
    void ToggleSuspend();
    void UpdateActions();

    bool ThreadRunning() const { return threadRunning_; }
    bool ReportEnded() const { return reportEnd_; }
    int Zoom() const { return zoom_; }
    TLRImageView* Image() const { return image1_; }
    // Runs an action's work the way a slot does: messages for errors, silence for EAbort.
    void RunGuarded(const std::function<void()>& work);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QAction* MakeAction(const char* name, const char* category, const QString& caption, const QString& shortcut,
                        const std::function<void()>& work);
    void CreateWidgets();
    void CreateMenu();
    void ExitRangeField(QLineEdit* edit);
    void StopPreviewThread();
    // Draws reduced pages into one sheet and stores it (shown, or kept for later).
    void ComposeSheet(int zoom, bool show);
    void ShowMessage(const std::string& text);

    QScrollArea* scrollBox1_ = nullptr;
    TLRImageView* image1_ = nullptr;
    QLineEdit* memo1_ = nullptr;
    QLineEdit* edit1_ = nullptr;
    QLineEdit* edit2_ = nullptr;
    QMenuBar* mainMenu1_ = nullptr;
    QMenu* printerMenu_ = nullptr;
    QAction* actNextPage_ = nullptr;
    QAction* actPriorPage_ = nullptr;
    QAction* actFirstPage_ = nullptr;
    QAction* actLastPage_ = nullptr;
    QAction* actSuspend_ = nullptr;

    int zoom_ = 0;
    bool reportEnd_ = false;
    bool threadRunning_ = false;
    std::unique_ptr<TLRPreviewThread> thread_;
};

}  // namespace report

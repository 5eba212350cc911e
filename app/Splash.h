#pragma once
// The splash window: borderless, 399 x 258, centred, with its picture (Image1), the
// version label VerLBL and the rights notice (Memo1). It is shown at once at start
// and closes itself when the main window is shown (CloseWhenShown), whichever window
// has the focus meanwhile.
#include <QPointer>
#include <QWidget>

class QLabel;
class QPlainTextEdit;

namespace app {

class TFsplash : public QWidget {
public:
    explicit TFsplash(QWidget* parent = nullptr);
    QLabel* Image1;
    QLabel* VerLBL;
    QPlainTextEdit* Memo1;
    // Closes and frees the splash once that window shows.
    void CloseWhenShown(QWidget* mainWindow);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QPointer<QWidget> main_;
};

// The splash of the start: made, labelled "Ver 1.02", shown and painted at once.
TFsplash* ShowStartSplash();

}  // namespace app

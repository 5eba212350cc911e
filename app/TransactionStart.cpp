#include "app/TransactionStart.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "components/KuraDatabase.h"
#include "platform/gui/Application.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

QString HeldText(const kura::TTransactionBlock& blocked) {
    QString who;
    for (const platform::TLockHolder& h : blocked.Holders) {
        if (!who.isEmpty()) who += U8("、");
        who += U8("%1（プロセス番号 %2）").arg(QString::fromStdString(h.Program)).arg(h.Pid);
    }
    if (who.isEmpty()) who = U8("このコンピュータには見当たりません（別のコンピュータのプログラムかもしれません）");
    return U8("使用中のテーブル：%1\n使っているプログラム：%2\nその画面が閉じられてから、もう一度お試しください。")
        .arg(gui::QStr(blocked.Table), who);
}

bool StartTransactionResponsive(kura::TKuraDatabase& db, const QString& refusal, QWidget* parent) {
    kura::TTransactionBlock blocked;
    if (db.TryStartTransaction(&blocked)) return true;
    QElapsedTimer waited;
    waited.start();
    bool started = false;
    {
        QApplication::setOverrideCursor(Qt::BusyCursor);
        struct Restore {
            ~Restore() { QApplication::restoreOverrideCursor(); }
        } restore;
        while (!started && waited.elapsed() < TransactionWaitMs) {
            // The program goes on drawing and answering meanwhile; what the user clicks
            // or types waits (and meets the window that opens, or the message).
            QEventLoop pause;
            QTimer::singleShot(TransactionRetryMs, &pause, &QEventLoop::quit);
            pause.exec(QEventLoop::ExcludeUserInputEvents);
            started = db.TryStartTransaction(&blocked);
        }
    }
    if (started) return true;
    gui::MessageDlg(refusal + "\n" + HeldText(blocked), gui::mtError, gui::mbOK, parent);
    return false;
}

}  // namespace app

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

const char* const OpenTransactionQuestion =
    "SQLのトランザクションが終了していません。\r\nコミットしますか？（いいえ：ロールバック）";

bool SettleOpenTransaction(kura::TKuraDatabase& db, QWidget* parent) {
    if (!db.Connected() || !db.InTransaction()) return true;
    switch (gui::MessageDlg(U8(OpenTransactionQuestion), gui::mtConfirmation, gui::mbYes | gui::mbNo | gui::mbCancel,
                            parent)) {
    case gui::mrYes:
        db.Commit(true);
        return true;
    case gui::mrNo:
        db.Rollback();
        return true;
    default:
        return false;
    }
}

void WaitAMoment(int ms) {
    QEventLoop pause;
    QTimer::singleShot(ms, &pause, &QEventLoop::quit);
    pause.exec(QEventLoop::ExcludeUserInputEvents);
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
            // What the user clicks or types meanwhile meets the window that opens, or
            // the message.
            WaitAMoment(TransactionRetryMs);
            started = db.TryStartTransaction(&blocked);
        }
    }
    if (started) return true;
    gui::MessageDlg(refusal + "\n" + HeldText(blocked), gui::mtError, gui::mbOK, parent);
    return false;
}

}  // namespace app

#pragma once
// The start of a transaction on the GUI thread when another program may hold it: the
// staff record editor's, the table maintenance window's, the delete's and the SQL
// window's for a change.
//
// A transaction holds the write lock of every table of the database until it ends,
// so a window of another program that edits (the staff record editor, the table
// maintenance window) keeps this program's transaction from starting for as long as
// it stays open. The engine's own start would wait for it over a minute and a half
// with the window frozen; this start never waits in the engine: it tries, lets the
// event loop run for a moment (the program keeps drawing and answering), tries again,
// and after TransactionWaitMs says what is held and by whom.
#include <QString>

class QWidget;

namespace kura {
class TKuraDatabase;
struct TTransactionBlock;
}  // namespace kura

namespace app {

// How long a window's start waits for another program before it says so: a write of
// another program (a save) holds the lock for a moment only, an open window for good.
constexpr int TransactionWaitMs = 1500;
constexpr int TransactionRetryMs = 50;

// True once the transaction has started. Otherwise shows `refusal` with the table that
// is held and the programs seen holding it, and answers false with nothing started.
bool StartTransactionResponsive(kura::TKuraDatabase& db, const QString& refusal, QWidget* parent = nullptr);

// A transaction a text of the SQL window left open holds every table until it ends.
// Whatever would end it (closing that window, the staff editor, table maintenance, a
// delete, the end of the program) asks first whether it is committed or rolled back:
// true once it has ended either way, or when none was open; false when the user
// cancelled, which the caller takes as "do not go on".
bool SettleOpenTransaction(kura::TKuraDatabase& db, QWidget* parent = nullptr);
extern const char* const OpenTransactionQuestion;

// Lets the event loop run for ms (the program goes on drawing and answering; what the
// user clicks or types waits).
void WaitAMoment(int ms);

// The lines of the message under the refusal: what is held and by whom.
QString HeldText(const kura::TTransactionBlock& blocked);

}  // namespace app

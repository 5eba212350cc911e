#pragma once
// The SQL window "SQL": the user types statements, runs them against "DataDB" and sees
// a query's rows in a read-only grid (of a text of queries only, the last one's). Schema
// changes (CREATE, ALTER, DROP) are refused in every statement of the text; statements
// that may change data run only after the user confirmed (while another program holds
// the tables the window says so after a moment, running nothing), and neither they nor
// a query that makes a table run when the start found the database cannot be changed.
// A text without transaction statements runs inside one
// transaction of the window's own, whole or not at all; a text with its own (START
// TRANSACTION, COMMIT, ROLLBACK) runs as written. A change that fails inside a
// transaction ends it, rolled back, and says so. A transaction a text leaves open is
// said when the text ends and shown above the text while it lasts; the window closes
// only once the user has had it committed or rolled back. Texts load
// from and save to files (code page 932). Engine errors are shown as messages; the
// window stays usable.
#include <QString>
#include <memory>
#include <string_view>

#include "app/FileDialogs.h"
#include "app/Form1.h"
#include "app/SqlCheck.h"

class QAction;
class QLabel;
class QMenuBar;
class QPlainTextEdit;
class QPushButton;

namespace kura {
class TDataSource;
class TKuraQuery;
}  // namespace kura

namespace app {

class TDBGridEx;
class TMakatiButton;

class TFsql : public TForm1 {
public:
    explicit TFsql(QWidget* parent = nullptr);
    ~TFsql() override;

    QPlainTextEdit* Memo1;
    QLabel* TransactionLBL;  // shown while a transaction a text left open lasts
    kura::TKuraQuery* Query1;
    std::unique_ptr<kura::TDataSource> DataSource1;
    TDBGridEx* DBGridEx1;
    TMakatiButton* CuteButton1;  // ＳＱＬ実行
    QPushButton *OpenBTN, *SaveBTN, *ExitBTN, *CopyBTN;
    QAction *Open1, *SaveAs1, *Exit1, *Copy2CB, *Help2;
    TFileDialog OpenDialog1{TFileDialog::Open};
    TFileDialog SaveDialog1{TFileDialog::Save};

    void CuteButton1Click();
    void Open1Execute();
    void SaveAs1Execute();
    void Copy2CBExecute();
    void Help2Click();
    bool FormCloseQuery() override;

private:
    void ShowTransaction();
    void RunStatement();
    void Run(bool select, const TSqlVerdict& verdict);
    QAction* MakeAction(const char* name, const char* caption);
};

// The text of a SQL file as a Linux editor or this program wrote it: UTF-8 (with or
// without its byte-order mark) when the bytes are valid UTF-8, else code page 932.
QString SqlFileText(std::string_view bytes);

}  // namespace app

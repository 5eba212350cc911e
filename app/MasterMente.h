#pragma once
// The table maintenance window "マスタメンテ": one table of the program's database
// edited directly in a grid inside a transaction that OK commits and Cancel (or
// closing the window) rolls back, and exported to or imported from a CSV file with a
// header line of field names. An import first empties the table inside the same
// transaction, so a failed import leaves the old rows recoverable by Cancel; it
// leaves none of the rows it had read before the failing line, and its message says
// which line of the file stopped it and why.
//
// While another program holds the tables (an editor or this window open there) the
// window does not stay: after a moment it says what is held and by whom, and closes.
//
// The window is generic: a descendant names the table (TFstaff: the staff table,
// "従業員", without the print button).
#include <cstdint>
#include <exception>
#include <memory>

#include <QString>

#include "app/FileDialogs.h"
#include "app/Form1.h"

class QPushButton;

namespace kura {
class TDataSource;
class TKuraQuery;
class TKuraTable;
}  // namespace kura

namespace gui {
class TDBGrid;
}

namespace app {

class TFmasterMente : public TForm1 {
public:
    explicit TFmasterMente(QWidget* parent = nullptr);
    ~TFmasterMente() override;

    kura::TKuraTable* Table1;
    kura::TKuraTable* Table2;
    kura::TKuraQuery* Query1;
    std::unique_ptr<kura::TDataSource> DataSource1;
    gui::TDBGrid* DBGrid1;
    QPushButton *AddBTN, *DelBTN, *PrintBTN, *ExportBTN, *InportBTN, *BitBtn2, *BitBtn1;
    TFileDialog SaveDialog1{TFileDialog::Save};
    TFileDialog OpenDialog1{TFileDialog::Open};

    void FormShow() override;
    void FormClose() override;
    void AddBTNClick();
    void BitBtn2Click();  // OK
    void BitBtn1Click();  // キャンセル
    void ExportBTNClick();
    void InportBTNClick();

private:
    void PrepareTable2();
    void PostEdits();
    void Rollback();
    // Starts the window's transaction without freezing the program while another
    // program holds the tables (TransactionStart.h); false when refused, said so.
    bool StartEditing();
    void CloseRefused();
};

class TFstaff : public TFmasterMente {
public:
    explicit TFstaff(QWidget* parent = nullptr);
};

// Why an import failed, for the line under the failure message: the line of the file
// it stopped at (when known), the field (when the engine names it) and the error.
QString ImportFailure(const std::exception& error, int32_t line);

}  // namespace app

#pragma once
// The CSV export of a whole table: code page 932 bytes as stored, no byte-order
// mark, CR LF after every line. Line 1 is the field names in field order joined by
// "," (no quotes, no blanks); then one line per record in the table's current order:
//   numbers (small/integer/word/auto-increment/float/currency): the text, no quotes,
//     nothing when null;
//   date-time with a value: "yyyy/mm/dd" between double quotes;
//   binary BLOBs (pictures and other bytes): "" — raw bytes would break every line
//     after them, so the field is written empty;
//   everything else (text, memos with their line breaks, dates as their text, a null
//     date-time): the text between double quotes.
// Quotes and commas inside values are written as they are (the file format the
// program has always written; readers must not expect doubled quotes).
//
// ExportCsv reads the table afresh (what other programs saved or deleted since this
// one last read it counts), writes the file while the table's controls are disabled
// and leaves the table on the record it was on (deleted meanwhile, here or by another
// program: on the next one, or the last), whether it succeeds or fails. A failure's
// reason is said in Japanese where it is a common one (a read-only place, no right
// to write, a missing folder; a full disk or quota as everywhere in the program, with
// the folder and what to do). Any failure (the file cannot be made or written,
// or reading the table fails) closes the file, removes what was written, gives the
// controls back and raises ECsvExportError naming the file; nothing half-written
// is ever left looking complete.
#include <stdexcept>
#include <string>

#include "platform/dataset/DataTypes.h"

namespace kura {
class TDataSet;
}

namespace app {

class ECsvExportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Pictures and other bytes: written as an empty field by the export and by the grids'
// copies to the clipboard, never as their bytes.
bool IsBinaryType(kura::TFieldType type);

std::string CsvHeader(const kura::TDataSet& table);
// The line of the table's current record (without its CR LF).
std::string CsvLine(const kura::TDataSet& table);
// Answers the number of records written.
int ExportCsv(kura::TDataSet& table, const std::string& path);
// The save dialog's name: with the first filter chosen (filterIndex 1) a name whose
// last component has no extension gets ".csv"; any other name is used as it is.
std::string CsvFileName(const std::string& chosen, int filterIndex);

}  // namespace app

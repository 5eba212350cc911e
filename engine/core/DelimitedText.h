#pragma once
// Delimited-text import and export of a cursor's table (TDataCursor::ImportTable
// and ExportTable).
//
// File format: lines end with CR LF (a lone LF also ends a line on import; a CR
// without LF is an error). Fields are separated by the delimiter; blanks before a
// field are skipped. A field may be enclosed in single or double quotes, the
// enclosing quote written twice standing for itself. Export writes string fields in
// double quotes, other fields bare, blank fields as nothing, header names bare.
//
// Import appends one record per data line; the first error stops it with 11300
// (KURA_IMPORTERROR, or the append's own code) and the records appended before it
// stay; the line of the file it stopped at is kept in StoppedAtLine. Text is code page 932: a string value that is not well-formed code page 932
// is refused. A line must fit in 65,536 bytes. The file is closed on every path; an
// exception thrown by a progress handler ends the operation the same way (cancel).
#include <cstdint>
#include <string>
#include <vector>

#include "engine/files/FieldDesc.h"

namespace kura {

// Lines, fields and the file buffer.
constexpr int32_t DELIMITED_BLOCK_SIZE = 65536;
constexpr int32_t DELIMITED_MAX_FIELDS = 1024;
constexpr std::size_t IMPORT_VALUE_LENGTH = 250;

struct TDelimitedTextParams {
    std::string FileName;
    char Delimiter = ',';
    // Column i maps to Fields[i]; on import a nullptr skips the column. With
    // FieldNamesInFirstLine an import takes the columns from the first line instead.
    std::vector<const TFieldDesc*> Fields;
    std::string DateFormat = "yyyy/mm/dd";
    std::string TimeFormat = "hh:mm:ss";
    char DecimalSeparator = '.';
    bool FieldNamesInFirstLine = false;
    bool ProgressWanted = false;  // only a remote request carries it
    // After an import that failed: the line of the file (1-based, counting every line
    // end, those inside quoted fields too) where the line being read began; 0 when the
    // failure came before any line or the import ran on a server.
    mutable int32_t StoppedAtLine = 0;
};

// Well-formed code page 932: single bytes 0x00-0x7F and 0xA1-0xDF, and lead bytes
// 0x81-0x9F, 0xE0-0xFC each followed by a trail byte 0x40-0x7E or 0x80-0xFC.
bool IsWellFormedCp932(const std::string& text);

}  // namespace kura

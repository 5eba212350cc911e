// TDataCursor::ImportTable: a delimited text file appended to the cursor's table,
// read in 64 KB blocks. A line is scanned from its start; when the scan reaches the
// end of the block before the line ends, the unread tail moves to the front of the
// buffer, the rest is filled from the file and the line is scanned again, so a line
// (quoted line breaks included) may span blocks but must fit in one buffer.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "engine/core/DataCursor.h"
#include "engine/core/DelimitedText.h"
#include "engine/expr/ImportParser.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/FileHandler.h"
#include "platform/CodePage.h"

namespace kura {

namespace {

constexpr const char* IMPORT_CONTEXT = "import data";

}  // namespace

bool IsWellFormedCp932(const std::string& text) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const std::size_t n = text.size();
    for (std::size_t i = 0; i < n; ++i) {
        const uint8_t b = p[i];
        if (b < 0x80 || (b >= 0xA1 && b <= 0xDF)) continue;
        const bool lead = platform::IsCp932LeadByte(b);
        if (!lead || i + 1 >= n) return false;
        const uint8_t t = p[++i];
        if (t < 0x40 || t == 0x7F || t > 0xFC) return false;
    }
    return true;
}

class TDelimitedImport {
public:
    TDelimitedImport(TDataCursor& cursor, const TDelimitedTextParams& params) : C(cursor), P(params) {}
    void Run();

private:
    enum class TLineEnd { Line, Data, NeedMore };

    TDataCursor& C;
    const TDelimitedTextParams& P;
    TFileHandler File;
    std::vector<char> Buffer = std::vector<char>(DELIMITED_BLOCK_SIZE + 1, 0);
    int32_t DataLength = 0;
    bool LastBlock = false;
    int64_t FileSize = 0;
    int64_t BytesRead = 0;
    int32_t LastProgress = -1;
    std::vector<std::unique_ptr<TFieldDesc>> HeaderDescs;
    std::vector<const TFieldDesc*> Fields;
    std::vector<uint8_t> Record;
    TImportParser Parser{nullptr};
    bool HeaderLine = false;

    [[noreturn]] void Fail(const std::string& message, const std::string& field = {}) const {
        C.RaiseError(KURA_IMPORTERROR, field, {}, message);
    }
    void Fill(int32_t keepFrom);
    void Progress(int32_t percent);
    TLineEnd ScanLine(bool& fieldSeen);
    void HeaderField(std::size_t column, const std::string& text);
    void DataField(std::size_t column, const std::string& text);
    int32_t Offset(const char* p) const { return static_cast<int32_t>(p - Buffer.data()); }
};

void TDelimitedImport::Fill(int32_t keepFrom) {
    const int32_t tail = DataLength - keepFrom;
    if (tail > 0 && keepFrom > 0) std::memmove(Buffer.data(), Buffer.data() + keepFrom, static_cast<std::size_t>(tail));
    const int32_t want = DELIMITED_BLOCK_SIZE - tail;
    int32_t got = 0;
    if (!LastBlock && want > 0) {
        TFileSectionGuard guard(File);
        File.Seek(soFromBeginning, BytesRead);
        got = File.ReadBuffer(Buffer.data() + tail, want, true);
    }
    if (got < want) LastBlock = true;
    DataLength = tail + got;
    std::fill(Buffer.begin() + DataLength, Buffer.end(), 0);
    BytesRead += got;
    if (FileSize > 0) Progress(static_cast<int32_t>(std::trunc(static_cast<double>(BytesRead) / FileSize * 100.0)));
}

void TDelimitedImport::Progress(int32_t percent) {
    if (LastProgress >= 0 && percent - LastProgress < C.GetProgressInterval()) return;
    LastProgress = percent;
    C.DoImportProgress(static_cast<uint16_t>(percent));
}

void TDelimitedImport::HeaderField(std::size_t column, const std::string& text) {
    if (column >= static_cast<std::size_t>(DELIMITED_MAX_FIELDS)) Fail("Invalid number of fields in import data");
    auto desc = std::make_unique<TFieldDesc>();
    C.GetFieldDescByName(text, *desc);
    if (Fields.size() <= column) Fields.resize(column + 1, nullptr);
    Fields[column] = desc.get();
    HeaderDescs.push_back(std::move(desc));
}

void TDelimitedImport::DataField(std::size_t column, const std::string& fieldText) {
    if (column >= Fields.size()) Fail("Invalid number of fields in import data");
    const TFieldDesc* target = Fields[column];
    if (!target) return;
    TFieldDesc d;
    C.GetFieldDesc(target->FieldNo(), d);
    const uint16_t fieldNo = d.FieldNo();
    const std::string text = fieldText.substr(0, IMPORT_VALUE_LENGTH);
    if (d.FieldType() == fldBLOB || text.empty()) {
        C.PutField(fieldNo, Record.data(), nullptr);
        return;
    }
    uint8_t value[FieldValueBufferSize + 8] = {};
    std::memcpy(value, text.data(), text.size());
    bool ok = false;
    try {
        switch (d.FieldType()) {
            case fldDATE:
            case fldTIME:
            case fldTIMESTAMP:
                ok = TextToDateTimeValue(value, d.FieldType(), P.DateFormat, P.TimeFormat);
                break;
            case fldFLOAT:
            case fldBCD:
                ok = TextToNumericValue(value, d.FieldType(), d.StoredDecimals(), P.DecimalSeparator);
                break;
            case fldZSTRING:
                ok = IsWellFormedCp932(text) &&
                     ConvertFieldData(fldZSTRING, static_cast<uint16_t>(text.size() + 1), 0, fldZSTRING,
                                      d.StoredSize(), 0, value);
                break;
            default:
                ok = ConvertFieldData(fldZSTRING, static_cast<uint16_t>(text.size() + 1), 0, d.FieldType(),
                                      d.StoredSize(), d.StoredDecimals(), value);
        }
    } catch (const std::exception&) {
        ok = false;
    }
    if (!ok) Fail("Invalid data value in import data", d.Name());
    C.PutField(fieldNo, Record.data(), value);
}

TDelimitedImport::TLineEnd TDelimitedImport::ScanLine(bool& fieldSeen) {
    std::size_t column = 0;
    std::string text;
    for (;;) {
        const uint8_t kind = Parser.NextField();
        if (kind == IMPORT_END) {
            const int32_t at = Offset(Parser.Position);
            if (at < DataLength) Fail("Embedded NULL (0x00) found in import data");
            if (!LastBlock) return TLineEnd::NeedMore;
            if (Parser.StoppedInQuote) {
                // The end of the data inside a quoted field: the parser's own message.
                Parser.MoreFollows = false;
                Parser.Position = Parser.TokenStart;
                Parser.NextField();
            }
            return TLineEnd::Data;
        }
        if (kind == IMPORT_CR) {
            const uint8_t next = Parser.NextField();
            if (next == IMPORT_LF) return TLineEnd::Line;
            if (next == IMPORT_END && Offset(Parser.Position) >= DataLength && !LastBlock) return TLineEnd::NeedMore;
            Fail("Missing line feed after carriage return in import data");
        }
        // A lone LF ends a line as well: files written on this platform end theirs so.
        if (kind == IMPORT_LF) return TLineEnd::Line;
        // A token that reaches the end of the block may go on in the next one (a
        // field cut in two, a doubled quote split across the blocks).
        if (!LastBlock && Offset(Parser.Position) >= DataLength) return TLineEnd::NeedMore;
        fieldSeen = true;
        if (kind == static_cast<uint8_t>(P.Delimiter)) {
            ++column;
            continue;
        }
        Parser.GetFieldText(text);
        if (HeaderLine)
            HeaderField(column, text);
        else
            DataField(column, text);
    }
}

void TDelimitedImport::Run() {
    File.FileName = P.FileName;
    File.Exclusive = true;
    File.ReadOnly = true;
    File.OpenFile();
    FileSize = File.GetFileSize();
    Record.assign(C.GetCursorRecordSize(), 0);
    Parser.Separator = P.Delimiter;
    Parser.ErrorCode = KURA_IMPORTERROR;
    Parser.ErrorTableName = C.GetTableName();
    Parser.ContextName = IMPORT_CONTEXT;
    HeaderLine = P.FieldNamesInFirstLine;
    if (!HeaderLine) Fields = P.Fields;

    P.StoppedAtLine = 0;
    int32_t line = 1;  // of the line that starts at lineStart
    Fill(0);
    int32_t lineStart = 0;
    for (;;) {
        P.StoppedAtLine = line;
        Parser.SetLine(Buffer.data() + lineStart);
        Parser.MoreFollows = true;
        C.InitRecord(Record.data());
        if (HeaderLine) {
            Fields.clear();
            HeaderDescs.clear();
        }
        bool fieldSeen = false;
        const TLineEnd end = ScanLine(fieldSeen);
        if (end == TLineEnd::NeedMore) {
            if (lineStart == 0) Fail("Line too long (more than 65,536 bytes) in import data");
            Fill(lineStart);
            lineStart = 0;
            continue;
        }
        if (!fieldSeen) {
            if (HeaderLine && end == TLineEnd::Line) Fail("No fields specified for import data");
        } else if (HeaderLine) {
            HeaderLine = false;
        } else {
            C.AppendRecord(Record.data(), true);
        }
        if (end == TLineEnd::Data) break;
        const int32_t next = Offset(Parser.Position);
        line += static_cast<int32_t>(std::count(Buffer.begin() + lineStart, Buffer.begin() + next, '\n'));
        lineStart = next;
    }
    P.StoppedAtLine = 0;
    if (LastProgress != 100) {
        LastProgress = -1;
        Progress(100);
    }
}

void TDataCursor::ImportTable(const TDelimitedTextParams& params) {
    if (!FOpen || !FTable) RaiseError(KURA_NOTINITIALIZED);
    if (params.Fields.empty() && !params.FieldNamesInFirstLine)
        RaiseError(KURA_IMPORTERROR, {}, {}, "No fields specified for import data");
    if (params.Fields.size() > static_cast<std::size_t>(DELIMITED_MAX_FIELDS))
        RaiseError(KURA_IMPORTERROR, {}, {}, "Invalid number of fields in import data");
    if (IsRemote()) return TransferRemoteTable(REQUEST_IMPORTTABLE, params);
    TDelimitedImport run(*this, params);
    run.Run();
}

}  // namespace kura

#include "app/CsvExport.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "app/DateText.h"
#include "app/StartReasons.h"
#include "platform/CodePage.h"
#include "platform/FileCalls.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/DataSet.h"
#include "platform/dataset/Field.h"

namespace app {

namespace {

bool IsNumberType(kura::TFieldType t) {
    using namespace kura;
    return t == ftSmallint || t == ftInteger || t == ftWord || t == ftAutoInc || t == ftFloat || t == ftCurrency;
}

std::string Value(const kura::TField& f) {
    const kura::TFieldType t = f.DataType();
    if (IsNumberType(t)) return f.IsNull() ? std::string() : f.AsString();
    if (t == kura::ftDateTime && !f.IsNull()) return "\"" + FormatDate(f.AsDateTime()) + "\"";
    if (IsBinaryType(t)) return "\"\"";
    return "\"" + (f.IsNull() ? std::string() : f.AsString()) + "\"";
}

// Why a file cannot be made or written, in the user's words where the cause is a
// common one; the system's own text otherwise.
std::string Cause(int err) {
    switch (err) {
    case EFBIG:
        return "ファイルが大きすぎます";
    case EROFS:
        return "読み取り専用の場所です";
    case EACCES:
    case EPERM:
        return "書き込む権限がありません";
    case ENOENT:
    case ENOTDIR:
        return "フォルダがありません";
    case EISDIR:
        return "同じ名前のフォルダがあります";
    case ENAMETOOLONG:
        return "ファイルの名前が長すぎます";
    default:
        return std::strerror(err);
    }
}

// The file being written, through the file layer's call table (platform/FileCalls.h),
// where a test can make it fail as a full disk does; closed when the export ends
// either way. Lines are gathered and written a block at a time.
class CsvFile {
public:
    explicit CsvFile(const std::string& path)
        : path_(path), fd_(platform::FileCalls().open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)) {
        if (fd_ < 0) Fail("作成できません", errno);
    }
    ~CsvFile() {
        if (fd_ >= 0) platform::FileCalls().close(fd_);
    }
    void Write(const std::string& line) {
        pending_ += line;
        pending_ += "\r\n";
        if (pending_.size() >= BlockBytes) Flush();
    }
    void Close() {
        Flush();
        const int fd = fd_;
        fd_ = -1;
        if (platform::FileCalls().close(fd) != 0) Fail("書き込めません", errno);
    }

private:
    static constexpr std::size_t BlockBytes = 4096;
    void Flush() {
        for (std::size_t done = 0; done < pending_.size();) {
            const ssize_t n = platform::FileCalls().pwrite(fd_, pending_.data() + done, pending_.size() - done,
                                                           static_cast<off_t>(written_ + done));
            if (n > 0) done += static_cast<std::size_t>(n);
            else if (n == 0) Fail("書き込めません", ENOSPC);
            else if (errno != EINTR) Fail("書き込めません", errno);
        }
        written_ += pending_.size();
        pending_.clear();
    }
    // A full disk or quota is said as everywhere else: the folder and what to do.
    [[noreturn]] void Fail(const char* what, int err) const {
        const std::string text = "CSVファイル " + path_ + " に" + what + "。";
        if (err != ENOSPC && err != EDQUOT) throw ECsvExportError(text + "(" + Cause(err) + ")");
        const std::string folder = std::filesystem::path(path_).parent_path().string();
        throw ECsvExportError(
            text + "\n" +
            DiskFullText(QString::fromStdString(folder.empty() ? "." : folder), TThen::TryAgain).toStdString());
    }

    std::string path_;
    int fd_;
    std::string pending_;
    std::size_t written_ = 0;
};

}  // namespace

bool IsBinaryType(kura::TFieldType t) {
    using namespace kura;
    return t == ftBlob || t == ftGraphic || t == ftTypedBinary || t == ftParadoxOle || t == ftDBaseOle ||
           t == ftBytes || t == ftVarBytes;
}

std::string CsvHeader(const kura::TDataSet& table) {
    std::string line;
    for (int i = 0; i < table.FieldCount(); ++i) line += (i ? "," : "") + table.Fields(i)->FieldName;
    return line;
}

std::string CsvLine(const kura::TDataSet& table) {
    std::string line;
    for (int i = 0; i < table.FieldCount(); ++i) line += (i ? "," : "") + Value(*table.Fields(i));
    return line;
}

int ExportCsv(kura::TDataSet& table, const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    // A name that is not a plain file (a device, a folder) is never removed on failure.
    const bool plain = !fs::exists(path, ec) || fs::is_regular_file(path, ec);
    bool created = false;
    int rows = 0;
    table.DisableControls();
    // The record the table was on may have been deleted since it was read (from the
    // list, or by another program): the table then goes back to the nearest one, the
    // first record after it in the table's order, or the last.
    kura::TBookmark back, after;
    bool walking = false;
    auto noteAfter = [&] {
        if (!after.empty() || back.empty()) return;
        kura::TBookmark here = table.GetBookmark();
        if (table.CompareBookmarks(here, back) >= 0) after = std::move(here);
    };
    auto goBack = [&] {
        if (back.empty()) return;
        if (table.BookmarkValid(back)) return table.GotoBookmark(back);
        // An export that failed stopped short of it: the walk goes on to find it.
        if (!walking) table.First();
        for (; after.empty() && !table.Eof(); table.Next()) noteAfter();
        if (!after.empty()) table.GotoBookmark(after);
        else table.Last();
    };
    try {
        if (!table.IsEmpty()) back = table.GetBookmark();
        // The caches answer for what they hold without asking the disk: what another
        // program saved or deleted since this one last read the table is read now.
        table.Refresh();
        CsvFile file(path);
        created = true;
        file.Write(CsvHeader(table));
        table.First();
        walking = true;
        while (!table.Eof()) {
            file.Write(CsvLine(table));
            ++rows;
            noteAfter();
            table.Next();
        }
        file.Close();
    } catch (const std::exception& e) {
        const bool removed = created && plain && fs::remove(path, ec);
        try {
            goBack();
        } catch (...) {  // the export's own failure is the one to report
        }
        table.EnableControls();
        // The message is the program's (UTF-8, the path as the dialog gave it); the
        // engine's and the datasets' reasons are code page 932.
        const std::string reason = dynamic_cast<const kura::EDatabaseError*>(&e) ? platform::Cp932ToUtf8(e.what())
                                                                                 : std::string(e.what());
        std::string message = dynamic_cast<const ECsvExportError*>(&e)
                                  ? reason
                                  : "CSVファイル " + path + " を書き出せませんでした。(" + reason + ")";
        if (removed) message += "\n書きかけのファイルは削除しました。";
        else if (created) message += "\nファイルは途中までしか書かれていません。";
        throw ECsvExportError(message);
    }
    try {
        goBack();
    } catch (...) {
        table.EnableControls();
        throw;
    }
    table.EnableControls();
    return rows;
}

std::string CsvFileName(const std::string& chosen, int filterIndex) {
    if (filterIndex != 1) return chosen;
    const std::size_t slash = chosen.find_last_of('/');
    const std::string last = slash == std::string::npos ? chosen : chosen.substr(slash + 1);
    return last.find('.') == std::string::npos ? chosen + ".csv" : chosen;
}

}  // namespace app

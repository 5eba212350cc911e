// A save the program refuses never costs the user what was typed: for every way a post
// can be refused (a taken code, a missing name, text outside code page 932, text too
// long for its field, a date the field's rule rejects, a full disk or quota), the staff
// editor (with the rows its dialogs added) and the table maintenance grid stay in insert
// mode (an employee edited: in edit mode, its code fixed, the family row deleted in it
// still deleted) with every field, memo and picture as typed; the user corrects the one
// thing and saves again, and then everything typed is stored. Every other save that finds no room
// says so in the start's words and leaves what was stored as it was.
#include <fcntl.h>
#include <sys/stat.h>

#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <filesystem>
#include <fstream>
#include <functional>

#include "app/FileDialogs.h"
#include "app/MasterMente.h"
#include "app/ScanPicture.h"
#include "app/SqlWindow.h"
#include "components/KuraDatabase.h"
#include "components/KuraSession.h"
#include "engine/core/DataSession.h"
#include "platform/FileCalls.h"
#include "platform/LastError.h"
#include "platform/gui/DataGrid.h"
#include "platform/gui/FileDialogs.h"
#include "platform/gui/Text.h"
#include "tests/app/EditorTestSupport.h"

namespace app::test {
namespace {

namespace fs = std::filesystem;

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// The start's words for a folder that a full disk or quota, or no free file entry,
// keeps from being written, as every save says them.
QString NoRoom(const std::string& folder) {
    return U("ディスクがいっぱいのため（または、このユーザーが使える容量かファイルの数の上限に達したため）、フォルダ %1 "
             "に書き込めません。\n不要なファイルを削除するなどして空きを作ってから、もう一度やり直してください。")
        .arg(QString::fromStdString(folder));
}

// While it lives, once Fill is called, the file layer's calls (and the CSV export's) find no
// room under a folder as the kernel answers them: a write that would grow a file fails with
// the error (ENOSPC: the disk is full, EDQUOT: the quota), or, with `entries`, the making
// of a new file does (no free file entry). Mend gives the room back.
class NoRoomIn {
public:
    NoRoomIn() {
        Mend();
        platform::FileCalls().pwrite = [](int fd, const void* buffer, size_t count, off_t at) -> ssize_t {
            struct stat st{};
            std::error_code ec;
            if (error_ && !entries_ && fstat(fd, &st) == 0 && at + off_t(count) > st.st_size &&
                fs::read_symlink("/proc/self/fd/" + std::to_string(fd), ec).string().starts_with(real_ + "/"))
                return errno = error_, -1;
            return platform::SystemFileCalls().pwrite(fd, buffer, count, at);
        };
        platform::FileCalls().open = [](const char* path, int flags, mode_t mode) {
            std::error_code ec;
            if (error_ && entries_ && (flags & O_CREAT) && std::string_view(path).starts_with(folder_ + "/") &&
                !fs::exists(path, ec))
                return errno = error_, -1;
            return platform::SystemFileCalls().open(path, flags, mode);
        };
    }
    ~NoRoomIn() { platform::FileCalls() = platform::SystemFileCalls(); }
    void Fill(const std::string& folder, int error, bool entries = false) {
        folder_ = folder, real_ = fs::canonical(folder).string(), error_ = error, entries_ = entries;
    }
    void Mend() { error_ = 0; }

private:
    static inline std::string folder_, real_;  // as named, and as the system has it
    static inline int error_ = 0;
    static inline bool entries_ = false;
};

// Whatever its handlers do (or the test's checks throw), the dialog goes when its
// test's steps end: no test waits on it for ever.
struct Shut {
    QWidget* w;
    ~Shut() {
        if (w->isVisible()) Click(w, "CanBTN");
        if (w->isVisible()) static_cast<QDialog*>(w)->QDialog::done(gui::mrCancel);
    }
};

// One way to get a save refused, and its correction.
struct Refusal {
    const char* what;
    QString message;                           // part of the message shown
    std::function<void(QWidget*)> spoil, fix;  // on the editor
    std::vector<std::string> family = {};      // the family rows the editor stores
    int32_t employee = 0;                      // the one edited, its family member 太郎 deleted; 0: a new one
};

class RefusedSave : public EditorTest {
protected:
    void SetUp() override {
        EditorTest::SetUp();
        AddStaff(1, "一");
        picture = QImage(40, 30, QImage::Format_RGB32);
        picture.fill(QColor(200, 30, 60));
    }
    // Everything the editor shows that the user typed, as one text per control.
    static std::vector<QString> Shown(QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        return {form->KeyEDT->text(),
                Child<QLineEdit>(w, "SimeiEDT")->text(),
                Child<QLineEdit>(w, "FuriganaEDT")->text(),
                Child<QLineEdit>(w, "SeinenYMDEDT")->text(),
                Child<QComboBox>(w, "BuCMB")->currentText(),
                Child<QPlainTextEdit>(w, "BikoMEMO")->toPlainText(),
                Child<QPlainTextEdit>(w, "GyomuNaiyoMEMO")->toPlainText(),
                QString::number(LoadPicture(form->Tstaff->FieldByName("Photo")).pixel(20, 15), 16),
                form->PhotoIMG->pixmap().isNull() ? "no photo" : "photo"};
    }
    QImage picture;
};

TEST_F(RefusedSave, TheEditorKeepsEveryTypedValueUntilTheCorrectedSaveStoresThemAll) {
    // No room for the commit: it is gone, and the editor has everything back in a new
    // transaction, also the family member its dialog added.
    NoRoomIn room;
    const std::string db = dir.file("DB");
    auto noRoom = [&](int error) {
        return [&room, db, error](QWidget* w) {
            OnModal("Fkazoku", [](QWidget* k) {
                const Shut shut{k};
                Type(k, "SeqEDT", "1");
                Type(k, "SimeiEDT", U("花子"));
                Type(k, "SeinenYMDEDT", "H020304");
                Click(k, "OkBTN");
            });
            Click(w, "KazokuAddBTN");
            room.Fill(db, error);
        };
    };
    const Refusal refusals[] = {
        {"taken code", "Duplicate key", [](QWidget* w) { Type(w, "KeyEDT", "1"); }, [](QWidget*) {}},
        {"no name", "must have a value", [](QWidget* w) { Type(w, "SimeiEDT", ""); }, [](QWidget*) {}},
        {"memo outside code page 932", "outside code page 932",
         [](QWidget* w) { Child<QPlainTextEdit>(w, "BikoMEMO")->setPlainText(U("備考🍣")); },
         [](QWidget* w) { Child<QPlainTextEdit>(w, "BikoMEMO")->setPlainText(U("備考です")); }},
        // Pasted past the edit's limit: 22 bytes into a field of 20.
        {"name too long", "at most 20 bytes", [](QWidget* w) { Type(w, "SimeiEDT", U("一二三四五六七八九十壱")); },
         [](QWidget*) {}},
        {"refused date", "not a valid date", [](QWidget* w) { Type(w, "SeinenYMDEDT", "S641301"); },
         [](QWidget* w) { Type(w, "SeinenYMDEDT", "S400101"); }},
        {"a full disk", NoRoom(db), noRoom(ENOSPC), [&](QWidget*) { room.Mend(); }, {"花子"}},
        {"a full quota", NoRoom(db), noRoom(EDQUOT), [&](QWidget*) { room.Mend(); }, {"花子"}},
        // An employee edited keeps the editor open too, and a family row deleted in it
        // stays deleted through the refusal and the corrected save.
        {"no name, employee 1 edited", "must have a value", [](QWidget* w) { Type(w, "SimeiEDT", ""); },
         [](QWidget*) {}, {}, 1},
        {"a full disk, employee 1 edited", NoRoom(db), [&](QWidget*) { room.Fill(db, ENOSPC); },
         [&](QWidget*) { room.Mend(); }, {}, 1},
    };
    int next = 10;
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        const int32_t code = r.employee ? r.employee : ++next;
        messages.clear();
        if (r.employee) {
            Exec("DELETE FROM Kazoku WHERE StaffCD = " + std::to_string(code));
            Exec(platform::Utf8ToCp932("INSERT INTO Kazoku (StaffCD, Seq, Simei, SeinenYMD) VALUES (" +
                                       std::to_string(code) + ", 1, '太郎', '1990-03-04')"));
        }
        OnModal("FstaffDaityo", [&](QWidget* w) {
            const Shut shut{w};
            auto* form = static_cast<TFstaffDaityo*>(w);
            if (r.employee) answer = gui::mrYes, Click(w, "KazokuDelBTN"), answer = gui::mrOk;  // 太郎 deleted
            else Type(w, "KeyEDT", QString::number(code));
            EXPECT_TRUE(!r.employee || (form->Qkazoku->Bof() && form->Qkazoku->Eof()));
            Type(w, "SimeiEDT", U("山田"));
            Type(w, "FuriganaEDT", U("やまだ"));
            Type(w, "SeinenYMDEDT", "S400101");
            Child<QComboBox>(w, "BuCMB")->setCurrentText(U("総務"));
            Child<QPlainTextEdit>(w, "BikoMEMO")->setPlainText(U("備考です"));
            Child<QPlainTextEdit>(w, "GyomuNaiyoMEMO")->setPlainText(U("経理\n給与計算"));
            form->Tstaff->Edit();
            StorePicture(form->Tstaff->FieldByName("Photo"), picture);
            form->ShowPhoto();
            r.spoil(w);
            const std::vector<QString> typed = Shown(w);
            Click(w, "OkBTN");
            ASSERT_FALSE(messages.isEmpty());
            EXPECT_TRUE(messages.back().contains(r.message)) << messages.back().toStdString();
            EXPECT_TRUE(w->isVisible());
            EXPECT_EQ(form->Tstaff->State(), r.employee ? kura::dsEdit : kura::dsInsert);
            EXPECT_EQ(form->ModeLBL->text(), U(r.employee ? "修正" : "追加"));
            EXPECT_TRUE(DMdata->DataDB->InTransaction());
            EXPECT_EQ(Shown(w), typed);
            EXPECT_EQ(form->Qkazoku->RecordCount(), static_cast<int>(r.family.size()));
            // The code stays as it can be changed: fixed once rows hang on it or it is stored.
            EXPECT_EQ(form->KeyEDT->isReadOnly(), r.employee || !r.family.empty());
            if (std::string(r.what) == "refused date") {
                EXPECT_EQ(w->focusWidget(), Child<QLineEdit>(w, "SeinenYMDEDT"));
            }
            // Corrected, everything goes in at the next Ｏ　Ｋ. (The code of an employee
            // with a family row stays as it is.)
            r.fix(w);
            if (!form->KeyEDT->isReadOnly()) Type(w, "KeyEDT", QString::number(code));
            Type(w, "SimeiEDT", U("山田"));
            messages.clear();
            Click(w, "OkBTN");
            EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        });
        ASSERT_EQ(OpenStaffEditor(r.employee ? std::optional<int32_t>(code) : std::nullopt), gui::mrOk);
        const std::string where = " FROM STAFF WHERE StaffCD = " + std::to_string(code);
        EXPECT_EQ(Column("SELECT Simei" + where), std::vector<std::string>{"山田"});
        EXPECT_EQ(Column("SELECT Furigana" + where), std::vector<std::string>{"やまだ"});
        EXPECT_EQ(Column("SELECT SeinenYMD" + where), std::vector<std::string>{"1965/01/01"});
        EXPECT_EQ(Column("SELECT Bu" + where), std::vector<std::string>{"総務"});
        EXPECT_EQ(Column("SELECT Biko" + where), std::vector<std::string>{"備考です"});
        EXPECT_EQ(Column("SELECT GyomuNaiyo" + where), std::vector<std::string>{"経理\n給与計算"});
        const std::string family = " FROM Kazoku WHERE StaffCD = " + std::to_string(code);
        EXPECT_EQ(Column("SELECT Simei" + family), r.family);
        EXPECT_EQ(Column("SELECT SeinenYMD" + family), std::vector<std::string>(r.family.size(), "1990/03/04"));
        kura::TKuraTable& t = *DMdata->Tstaff;
        t.Close();
        t.Open();
        t.SetKey();
        t.FieldByName("StaffCD")->SetAsInteger(code);
        ASSERT_TRUE(t.GotoKey());
        EXPECT_EQ(LoadPicture(t.FieldByName("Photo")).pixel(20, 15), picture.pixel(20, 15));
        t.Close();
    }
}

TEST_F(RefusedSave, TheMaintenanceGridKeepsTheNewRowUntilTheCorrectedSave) {
    DMdata->Tstaff->Close();
    struct GridRefusal {
        const char* what;
        const char* message;
        const char* field;  // the cell typed wrongly: refused as it is typed, or at the post
        QString wrong;
    };
    const GridRefusal refusals[] = {
        {"taken code", "Duplicate key", "StaffCD", "1"},
        {"name outside code page 932", "outside code page 932", "Simei", U("山🍣")},
        {"name too long", "at most 20 bytes", "Simei", U("一二三四五六七八九十壱")},
        {"no name", "must have a value", "Simei", ""},
    };
    int code = 20;
    for (const GridRefusal& r : refusals) {
        SCOPED_TRACE(r.what);
        ++code;
        messages.clear();
        TFstaff form;
        form.show();
        QApplication::processEvents();
        auto* grid = form.findChild<gui::TDBGrid*>("DBGrid1");
        auto column = [&](const char* name) {
            for (int c = 0; c < grid->ColumnCount(); ++c)
                if (grid->ColumnTitle(c) == name) return c;
            return -1;
        };
        auto type = [&](const char* field, const QString& text) {
            const int row = grid->currentIndex().isValid() ? grid->currentIndex().row() : 0;
            return grid->model()->setData(grid->model()->index(row, column(field)), text, Qt::EditRole);
        };
        form.findChild<QPushButton*>("AddBTN")->click();
        ASSERT_EQ(form.Table1->State(), kura::dsInsert);
        const std::pair<const char*, QString> row[] = {
            {"StaffCD", QString::number(code)}, {"Simei", U("山田")}, {"Furigana", U("やまだ")},
            {"SeinenYMD", "1965/01/01"},        {"Biko", U("備考です")}};
        for (const auto& [field, text] : row) EXPECT_TRUE(type(field, text)) << field;
        const bool accepted = type(r.field, r.wrong);
        if (messages.isEmpty()) form.findChild<QPushButton*>("BitBtn2")->click();
        ASSERT_FALSE(messages.isEmpty());
        EXPECT_TRUE(messages.back().contains(U(r.message))) << messages.back().toStdString();
        ASSERT_TRUE(form.isVisible());
        EXPECT_EQ(form.Table1->State(), kura::dsInsert);
        for (const auto& [field, text] : row)
            if (!accepted || std::string(field) != r.field) {
                EXPECT_EQ(gui::QStr(form.Table1->FieldByName(field)->AsString()), text) << field;
            }
        type(r.field, r.field == std::string("StaffCD") ? QString::number(code) : U("山田"));
        messages.clear();
        form.findChild<QPushButton*>("BitBtn2")->click();
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        const std::string where = " FROM STAFF WHERE StaffCD = " + std::to_string(code);
        EXPECT_EQ(Column("SELECT Simei" + where), std::vector<std::string>{"山田"});
        EXPECT_EQ(Column("SELECT Furigana" + where), std::vector<std::string>{"やまだ"});
        EXPECT_EQ(Column("SELECT Biko" + where), std::vector<std::string>{"備考です"});
    }
}

// Every other save that finds no room says where and what to do (with the engine's code
// where it has one), keeps what was stored as it was and leaves nothing half made.
TEST_F(RefusedSave, EveryOtherSaveThatFindsNoRoomSaysWhereAndKeepsWhatWasStored) {
    NoRoomIn room;
    const std::string db = dir.file("DB"), out = dir.file("out"), temp = fs::temp_directory_path().string();
    fs::create_directory(out);
    const std::string csv = out + "/staff.csv";
    auto code = [](int n) { return U("\n（エラー番号 %1）").arg(n); };
    const QString question = U("このSQLはﾃﾞｰﾀを変更する可能性があります\r\n続行しますか？");
    SetFileDialogHook([&](TFileDialog& d) {
        d.FileName = QString::fromStdString(d.Name == "OpenDialog1" ? dir.file("in.csv") : csv);
        d.FilterIndex = 1;
        return true;
    });
    gui::SetSaveDialogHook([&](gui::TSaveDialog& d) { d.FileName = QString::fromStdString(csv); return true; });
    std::ofstream in(dir.file("in.csv"));
    in << "StaffCD,Simei\r\n";
    for (int n = 100; n < 400; ++n) in << n << ",\"N" << n << "\"\r\n";
    in.close();
    // A button of the maintenance window, shown: the window stays, in a transaction,
    // with `rows` rows (a failed import has emptied the table until Cancel).
    auto maintenance = [&](const char* button, std::function<void(TFstaff&)> before = {}, int rows = 1) {
        return [&, button, before, rows] {
            DMdata->Tstaff->Close();
            TFstaff form;
            form.show();
            QApplication::processEvents();
            if (before) before(form);
            form.findChild<QPushButton*>(button)->click();
            room.Mend();
            EXPECT_TRUE(form.isVisible());
            EXPECT_TRUE(DMdata->DataDB->InTransaction());
            EXPECT_EQ(form.Table1->RecordCount(), rows);
            form.findChild<QPushButton*>("BitBtn1")->click();
        };
    };
    auto sql = [&](const char* text) {
        return [&, text] {
            TFsql window;
            window.Memo1->setPlainText(text);
            window.CuteButton1Click();
            room.Mend();
            EXPECT_FALSE(DMdata->DataDB->InTransaction());
        };
    };
    auto fileMenuExport = [] {
        DMdata->Tstaff->Open();
        EXPECT_FALSE(gui::Guarded([] { Fmain->PCP2Click(); }));
    };
    const struct {
        const char* what;
        std::string folder;
        int error;
        bool entries;  // no free file entry rather than no room for the bytes
        std::function<void()> save;
        QStringList said;
        int answer = gui::mrOk;  // to every question
    } saves[] = {
        {"an employee edited in the editor", db, ENOSPC, false,
         [&] {
             OnModal("FstaffDaityo", [&](QWidget* w) {
                 const Shut shut{w};
                 auto* form = static_cast<TFstaffDaityo*>(w);
                 Type(w, "SimeiEDT", U("改名"));
                 Child<QPlainTextEdit>(w, "BikoMEMO")->setPlainText(QString(3000, 'x'));
                 Click(w, "OkBTN");
                 room.Mend();
                 EXPECT_EQ(form->Tstaff->State(), kura::dsEdit);
                 EXPECT_EQ(form->ModeLBL->text(), U("修正"));
                 EXPECT_EQ(Child<QLineEdit>(w, "SimeiEDT")->text(), U("改名"));
                 EXPECT_EQ(Column("SELECT Simei FROM Staff"), std::vector<std::string>{"一"});
                 Click(w, "OkBTN");
             });
             EXPECT_EQ(OpenStaffEditor(1), gui::mrOk);
             EXPECT_EQ(Column("SELECT Simei FROM Staff"), std::vector<std::string>{"改名"});
             Exec("UPDATE Staff SET Simei = '\x88\xEA'");  // 一 again
         },
         {NoRoom(db) + code(9218)}},
        {"the maintenance window's OK", db, EDQUOT, false, maintenance("BitBtn2", [](TFstaff& form) {
             form.Table1->Insert();
             form.Table1->FieldByName("StaffCD")->SetAsInteger(50);
             form.Table1->FieldByName("Simei")->SetAsString("x");
         }),
         {NoRoom(db) + code(9218) + U("\nこの画面での変更は保存されていません。テーブル STAFF は元のままです。")}},
        {"the maintenance window's import (the temporary folder full)", temp, ENOSPC, false,
         [&] {
             DMdata->Session1->Handle()->TransactionMemory = 2000;  // the rows go to a temporary file
             maintenance("InportBTN", {}, 0)();
             DMdata->Session1->Handle()->TransactionMemory = kura::DEFAULT_TRANSACTION_MEMORY;
         },
         {U("現在のデータが上書きされます"), NoRoom(temp) + code(9218)}, gui::mrYes},
        {"the maintenance window's export", out, ENOSPC, true, maintenance("ExportBTN"), {NoRoom(out) + code(11047)}},
        {"the File menu's export", out, EDQUOT, false, fileMenuExport,
         {U("CSVファイル %1 に書き込めません。\n").arg(QString::fromStdString(csv)) + NoRoom(out) +
          U("\n書きかけのファイルは削除しました。")}},
        {"the File menu's export into a folder without a free entry", out, ENOSPC, true, fileMenuExport,
         {U("CSVファイル %1 に作成できません。\n").arg(QString::fromStdString(csv)) + NoRoom(out)}},
        {"a delete", db, ENOSPC, false,
         [&] {
             Fmain->SaisinBTNClick();
             Fmain->STAFFdelBTNClick();
         },
         {U("削除します"), U("削除に失敗しました\n") + NoRoom(db) + code(9218)}, gui::mrYes},
        {"the SQL window's change", db, EDQUOT, false, sql("UPDATE Staff SET Biko = 'a note long enough to grow'"),
         {question, NoRoom(db) + code(9218) + U("\nエラーのため、トランザクションをロールバックしました。")}},
        {"the SQL window's SELECT ... INTO", db, ENOSPC, true, sql("SELECT * INTO X FROM Staff"),
         {NoRoom(db) + code(11047)}},
        {"the settings a window writes as it closes", dir.path(), ENOSPC, true,
         [&] {
             const std::string before = Read(dir.file("yomitora.INI"));
             TFsql window;
             window.show();
             window.close();
             EXPECT_EQ(Read(dir.file("yomitora.INI")), before);
         },
         {U("設定ファイル %1 に書き込めません。\n").arg(QString::fromStdString(dir.file("yomitora.INI"))) +
          NoRoom(dir.path())}},
        // Room again: a failure of another kind is said as the engine says it, whatever
        // the system's last error still holds.
        {"a taken key after a full disk", db, 0, false,
         [&] {
             platform::SetLastError(platform::ERROR_DISK_FULL);
             sql("INSERT INTO Staff (StaffCD, Simei) VALUES (1, 'x')")();
         },
         {question, "Duplicate key"}},
    };
    for (const auto& s : saves) {
        SCOPED_TRACE(s.what);
        messages.clear();
        answer = s.answer;
        room.Fill(s.folder, s.error, s.entries);
        s.save();
        room.Mend();
        ASSERT_EQ(messages.size(), s.said.size()) << messages.join("\n").toStdString();
        for (qsizetype i = 0; i < s.said.size(); ++i)
            EXPECT_TRUE(messages[i].contains(s.said[i])) << messages[i].toStdString();
        EXPECT_EQ(Column("SELECT Simei FROM Staff"), std::vector<std::string>{"一"});
        EXPECT_FALSE(fs::exists(csv) || fs::exists(db + "/X.DAT"));
    }
    SetFileDialogHook(nullptr);
    gui::SetSaveDialogHook(nullptr);
}

}  // namespace
}  // namespace app::test

// A save the program refuses never costs the user what was typed: for every way a post
// can be refused (a taken code, a missing name, text outside code page 932, text too
// long for its field, a date the field's rule rejects), the staff editor and the table maintenance grid stay in insert mode with every
// field, memo and picture as typed; the user corrects the one thing and saves again, and
// then everything typed is stored.
#include <QImage>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <functional>

#include "app/MasterMente.h"
#include "app/ScanPicture.h"
#include "components/KuraDatabase.h"
#include "platform/gui/DataGrid.h"
#include "platform/gui/Text.h"
#include "tests/app/EditorTestSupport.h"

namespace app::test {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

// One way to get a save refused, and its correction.
struct Refusal {
    const char* what;
    const char* message;                       // part of the message shown
    std::function<void(QWidget*)> spoil, fix;  // on the editor
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
    };
    int code = 10;
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        ++code;
        messages.clear();
        OnModal("FstaffDaityo", [&](QWidget* w) {
            auto* form = static_cast<TFstaffDaityo*>(w);
            Type(w, "KeyEDT", QString::number(code));
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
            EXPECT_TRUE(messages.back().contains(U(r.message))) << messages.back().toStdString();
            EXPECT_TRUE(w->isVisible());
            EXPECT_EQ(form->Tstaff->State(), kura::dsInsert);
            EXPECT_EQ(form->ModeLBL->text(), U("追加"));
            EXPECT_TRUE(DMdata->DataDB->InTransaction());
            EXPECT_EQ(Shown(w), typed);
            if (std::string(r.what) == "refused date") {
                EXPECT_EQ(w->focusWidget(), Child<QLineEdit>(w, "SeinenYMDEDT"));
            }
            // Corrected, everything goes in at the next Ｏ　Ｋ.
            r.fix(w);
            Type(w, "KeyEDT", QString::number(code));
            Type(w, "SimeiEDT", U("山田"));
            messages.clear();
            Click(w, "OkBTN");
            EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
            if (w->isVisible()) Click(w, "CanBTN");
        });
        ASSERT_EQ(OpenStaffEditor(std::nullopt), gui::mrOk);
        const std::string where = " FROM STAFF WHERE StaffCD = " + std::to_string(code);
        EXPECT_EQ(Column("SELECT Simei" + where), std::vector<std::string>{"山田"});
        EXPECT_EQ(Column("SELECT Furigana" + where), std::vector<std::string>{"やまだ"});
        EXPECT_EQ(Column("SELECT SeinenYMD" + where), std::vector<std::string>{"1965/01/01"});
        EXPECT_EQ(Column("SELECT Bu" + where), std::vector<std::string>{"総務"});
        EXPECT_EQ(Column("SELECT Biko" + where), std::vector<std::string>{"備考です"});
        EXPECT_EQ(Column("SELECT GyomuNaiyo" + where), std::vector<std::string>{"経理\n給与計算"});
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

}  // namespace
}  // namespace app::test

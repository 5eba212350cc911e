// The staff list's display settings: the dialog driven by object names (sort keys,
// directions, shown columns, font size, hiding retired staff), its refusals, the
// font size kept within 1 to 72, and everything surviving a restart through the
// settings file. Also the column chooser with more columns than boxes.
#include <QCheckBox>
#include <QTimer>
#include <functional>
#include <fstream>

#include "app/DBGridEx.h"
#include "app/HyojiJyun.h"
#include "app/HyojiKomoku.h"
#include "app/MakatiButton.h"
#include "components/KuraQuery.h"
#include "platform/gui/IniFile.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/StaffData.h"

namespace app::test {
namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

class DisplaySettings : public AppTest {
protected:
    TFmain& StartWithStaff() {
        TFmain& m = StartMain();
        EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
        AddEmployees(SampleStaff());
        m.OpenStaffList();
        return m;
    }
    // Opens the dialog with the button and lets act work on it once it is shown.
    void RunDialog(TFmain& m, std::function<void(TFhyojiJyun&)> act) {
        QTimer::singleShot(0, [act] {
            ASSERT_NE(FhyojiJyun, nullptr);
            act(*FhyojiJyun);
            if (FhyojiJyun && FhyojiJyun->isVisible()) FhyojiJyun->reject();
        });
        m.CuteButton6->click();
        EXPECT_EQ(FhyojiJyun, nullptr);  // freed and forgotten whatever the result
    }
    static std::vector<int> Codes(TFmain& m) {
        std::vector<int> codes;
        for (m.Qstaff->First(); !m.Qstaff->Eof(); m.Qstaff->Next())
            codes.push_back(m.Qstaff->FieldByName("StaffCD")->AsInteger());
        return codes;
    }
};

TEST_F(DisplaySettings, DialogShowsTheCurrentSettingsAndOkAppliesThemAndTheySurviveARestart) {
    TFmain& m = StartWithStaff();
    m.StaffGrid->SetGridFontSize(10);
    RunDialog(m, [](TFhyojiJyun& d) {
        EXPECT_EQ(d.KomokuCB[0]->count(), 51);
        EXPECT_EQ(d.KomokuCB[0]->itemText(0), U("（なし）"));
        EXPECT_EQ(d.KomokuCB[0]->itemText(1), U("コード"));
        EXPECT_EQ(d.KomokuCB[0]->currentText(), U("（なし）"));
        EXPECT_EQ(d.JyunRG[0]->ItemIndex(), 0);
        EXPECT_EQ(d.FontSizeCB->currentText(), "10");
        EXPECT_FALSE(d.TaisyokuCB->isChecked());
        ASSERT_EQ(d.CheckListBox1->count(), 51);
        EXPECT_EQ(d.CheckListBox1->item(1)->text(), U("氏名"));
        EXPECT_EQ(d.CheckListBox1->item(11)->text(), "Fax");
        d.KomokuCB[0]->setCurrentText(U("部"));
        d.JyunRG[0]->SetItemIndex(1);
        d.KomokuCB[1]->setCurrentText(U("コード"));
        d.JyunRG[1]->SetItemIndex(-1);  // no choice reads as descending
        d.FontSizeCB->setCurrentText("20");
        d.TaisyokuCB->setChecked(true);
        d.CheckListBox1->item(2)->setCheckState(Qt::Unchecked);
        d.OkBTN->click();
    });
    EXPECT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    EXPECT_EQ(m.Settings.Komoku[0], "部");
    EXPECT_EQ(m.Settings.Jyun[0], "降順");
    EXPECT_EQ(m.Settings.Komoku[1], "コード");
    EXPECT_EQ(m.Settings.Jyun[1], "降順");
    EXPECT_EQ(m.Settings.Komoku[2], "（なし）");
    EXPECT_TRUE(m.Settings.HiHyoji);
    EXPECT_EQ(m.StaffGrid->GridFontSize(), 20);
    EXPECT_FALSE(m.StaffGrid->Column(2).Visible);
    // Departments descending (製造部's only member is retired), codes descending within.
    EXPECT_EQ(Codes(m), (std::vector<int>{7, 5, 3, 4}));

    CloseMain();
    TFmain& again = StartMain();
    EXPECT_EQ(again.Settings.Komoku[0], "部");
    EXPECT_EQ(again.Settings.Jyun[0], "降順");
    EXPECT_EQ(again.Settings.Komoku[1], "コード");
    EXPECT_TRUE(again.Settings.HiHyoji);
    EXPECT_EQ(again.StaffGrid->GridFontSize(), 20);
    EXPECT_FALSE(again.StaffGrid->Column(2).Visible);
    EXPECT_TRUE(again.StaffGrid->Column(3).Visible);
    EXPECT_EQ(Codes(again), (std::vector<int>{7, 5, 3, 4}));
}

TEST_F(DisplaySettings, CancelChangesNothing) {
    TFmain& m = StartWithStaff();
    RunDialog(m, [](TFhyojiJyun& d) {
        d.KomokuCB[0]->setCurrentText(U("部"));
        d.TaisyokuCB->setChecked(true);
        d.CheckListBox1->item(0)->setCheckState(Qt::Unchecked);
        d.CanBTN->click();
    });
    EXPECT_EQ(m.Settings.Komoku[0], "（なし）");
    EXPECT_FALSE(m.Settings.HiHyoji);
    EXPECT_TRUE(m.StaffGrid->Column(0).Visible);
}

TEST_F(DisplaySettings, FontSizeMustBeAsciiDigitsAndIsKeptWithinOneToSeventyTwo) {
    TFmain& m = StartWithStaff();
    struct Case {
        const char* typed;
        bool accepted;
        int size;
    };
    const Case cases[] = {{"１２", false, 0}, {"12pt", false, 0}, {"", false, 0},  {"-3", false, 0},
                          {"20", true, 20},   {"0", true, 1},     {"72", true, 72}, {"73", true, 72},
                          {"99999999999999999999", true, 72},      {"8", true, 8}};
    for (const Case& c : cases) {
        messages.clear();
        bool stillOpen = false;
        RunDialog(m, [&](TFhyojiJyun& d) {
            d.FontSizeCB->setCurrentText(U(c.typed));
            d.OkBTN->click();
            stillOpen = d.isVisible();
        });
        if (c.accepted) {
            EXPECT_FALSE(stillOpen) << c.typed;
            EXPECT_TRUE(messages.isEmpty()) << c.typed;
            EXPECT_EQ(m.StaffGrid->GridFontSize(), c.size) << c.typed;
        } else {
            EXPECT_TRUE(stillOpen) << c.typed;
            EXPECT_EQ(messages, QStringList{U("フォントサイズには数字を入力してください")}) << c.typed;
        }
    }
}

TEST_F(DisplaySettings, FontSizesOutOfRangeInTheSettingsFileAreClamped) {
    const std::pair<const char*, int> cases[] = {{"500", 72}, {"-4", 1}, {"abc", -1}, {"0", -1}, {"14", 14}};
    for (const auto& [stored, expected] : cases) {
        CloseMain();
        {
            gui::TIniFile ini(dir.file("yomitora.INI"));
            ini.WriteString("StaffGrid", "FontSize", stored);
            ini.UpdateFile();
        }
        TFmain& m = StartMain();
        if (expected < 0) EXPECT_GT(m.StaffGrid->GridFontSize(), 0) << stored;  // the designed font
        else EXPECT_EQ(m.StaffGrid->GridFontSize(), expected) << stored;
    }
}

TEST_F(DisplaySettings, UncheckingEveryColumnHidesEveryColumn) {
    TFmain& m = StartWithStaff();
    RunDialog(m, [](TFhyojiJyun& d) {
        for (int i = 0; i < d.CheckListBox1->count(); ++i) d.CheckListBox1->item(i)->setCheckState(Qt::Unchecked);
        d.OkBTN->click();
    });
    for (int c = 0; c < m.StaffGrid->ColumnCount(); ++c) EXPECT_FALSE(m.StaffGrid->Column(c).Visible) << c;
}

TEST_F(DisplaySettings, ColumnChooserMakesTwentyBoxesAndWarnsAboutTheRest) {
    TFmain& m = StartWithStaff();
    m.StaffGrid->SetColumnVisible(4, false);
    TFhyojiKomoku chooser(*m.StaffGrid);
    EXPECT_EQ(chooser.windowTitle(), U("表示項目選択"));
    ASSERT_EQ(chooser.Boxes.size(), 20u);
    EXPECT_EQ(messages, QStringList{U("項目数が予想を越えました")});
    EXPECT_EQ(chooser.Boxes[1]->text(), U("氏名"));
    EXPECT_FALSE(chooser.Boxes[4]->isChecked());
    EXPECT_EQ(chooser.Boxes[19]->geometry().top(), 19 * 25 + 8);
    chooser.Boxes[4]->setChecked(true);
    chooser.Boxes[0]->setChecked(false);
    chooser.OkBTN->click();
    EXPECT_EQ(chooser.result(), gui::mrOk);
    EXPECT_TRUE(m.StaffGrid->Column(4).Visible);
    EXPECT_FALSE(m.StaffGrid->Column(0).Visible);
    EXPECT_TRUE(m.StaffGrid->Column(25).Visible);
}

}  // namespace
}  // namespace app::test

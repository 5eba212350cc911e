// The staff editor and its dialogs driven by object name: adding and editing an
// employee, the history and family rows inside the editor's transaction, and the
// faults around them (a vanished employee, a code taken by another employee).
#include <QButtonGroup>
#include <QLabel>
#include <QRadioButton>

#include "app/DateText.h"
#include "app/DBGridEx.h"
#include "app/Gakureki.h"
#include "app/Kazoku.h"
#include "app/MakatiButton.h"
#include "app/TransactionStart.h"
#include "components/KuraDatabase.h"
#include "tests/app/EditorTestSupport.h"

namespace app::test {
namespace {

class StaffEditor : public EditorTest {};

TEST_F(StaffEditor, AddsAnEmployeeWithAnEraBirthDateDepartmentAndSex) {
    OnModal("FstaffDaityo", [&](QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        EXPECT_EQ(Child<QLabel>(w, "ModeLBL")->text(), QString::fromUtf8("追加"));
        EXPECT_FALSE(form->KeyEDT->isReadOnly());
        EXPECT_EQ(Child<QLabel>(w, "NenreiLBL")->text(), QString::fromUtf8("現在年齢"));
        EXPECT_TRUE(DMdata->DataDB->InTransaction());
        Type(w, "KeyEDT", "101");
        Type(w, "SimeiEDT", QString::fromUtf8("山田太郎"));
        Type(w, "SeinenYMDEDT", "S400101");
        EXPECT_EQ(form->Tstaff->FieldByName("SeinenYMD")->AsString(), "1965/01/01");
        EXPECT_EQ(Child<QLineEdit>(w, "wareki")->text(), QString::fromUtf8("昭40"));
        EXPECT_TRUE(Child<QLabel>(w, "NenreiLBL")->text().contains(QString::fromUtf8("歳(")));
        auto* bu = Child<QComboBox>(w, "BuCMB");
        bu->setCurrentText(QString::fromUtf8("総務"));
        Child<QRadioButton>(w, "SeibetuFemale")->click();
        Click(w, "OkBTN");
    });
    ASSERT_EQ(OpenStaffEditor(std::nullopt), gui::mrOk) << messages.join("\n").toStdString();
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    EXPECT_EQ(Column("SELECT SIMEI FROM STAFF WHERE STAFFCD = 101"), std::vector<std::string>{"山田太郎"});
    EXPECT_EQ(Column("SELECT BU FROM STAFF"), std::vector<std::string>{"総務"});
    EXPECT_EQ(Column("SELECT SEIBETU FROM STAFF"), std::vector<std::string>{"女"});
    EXPECT_EQ(Column("SELECT SEINENYMD FROM STAFF"), std::vector<std::string>{"1965/01/01"});
    EXPECT_EQ(FstaffDaityo, nullptr);
}

TEST_F(StaffEditor, EditsAnEmployeeWithTheCodeReadOnlyAndCancelKeepsTheOldValues) {
    AddStaff(7, "佐藤");
    OnModal("FstaffDaityo", [&](QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        EXPECT_EQ(Child<QLabel>(w, "ModeLBL")->text(), QString::fromUtf8("修正"));
        EXPECT_TRUE(form->KeyEDT->isReadOnly());
        EXPECT_EQ(form->KeyEDT->text(), "7");
        // Neither sex: the radio group stays unselected.
        EXPECT_EQ(form->SeibetuGroup->checkedId(), -1);
        Type(w, "SimeiEDT", QString::fromUtf8("鈴木"));
        Click(w, "CanBTN");
    });
    EXPECT_EQ(OpenStaffEditor(7), gui::mrCancel);
    EXPECT_EQ(Column("SELECT SIMEI FROM STAFF"), std::vector<std::string>{"佐藤"});
    OnModal("FstaffDaityo", [&](QWidget* w) {
        Type(w, "SimeiEDT", QString::fromUtf8("鈴木"));
        w->close();  // closing the window any other way rolls back too
    });
    OpenStaffEditor(7);
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
    EXPECT_EQ(Column("SELECT SIMEI FROM STAFF"), std::vector<std::string>{"佐藤"});
}

TEST_F(StaffEditor, AFailedPostKeepsTheWindowOpenInItsTransactionAndAnOpenTransactionIsRolledBackFirst) {
    // A transaction left open by someone else: the editor asks first. Cancelled, it
    // does not open; rolled back, the row goes when the editor shows.
    DMdata->DataDB->StartTransaction();
    DMdata->Tkazoku->Append();
    DMdata->Tkazoku->FieldByName("StaffCD")->SetAsInteger(1);
    DMdata->Tkazoku->FieldByName("Seq")->SetAsInteger(1);
    DMdata->Tkazoku->FieldByName("Simei")->SetAsString("x");
    DMdata->Tkazoku->Post();
    answer = gui::mrCancel;  // a button the question must offer
    auto unexpected = WhileModal("FstaffDaityo", [](QDialog* w) { ADD_FAILURE() << "the editor opened"; w->reject(); });
    EXPECT_EQ(OpenStaffEditor(std::nullopt), gui::mrCancel);
    unexpected.reset();
    EXPECT_EQ(messages, QStringList{QString::fromUtf8(OpenTransactionQuestion)});
    EXPECT_TRUE(DMdata->DataDB->InTransaction());
    messages.clear();
    answer = gui::mrNo;
    OnModal("FstaffDaityo", [&](QWidget* w) {
        EXPECT_TRUE(Column("SELECT SIMEI FROM KAZOKU").empty());
        Type(w, "KeyEDT", "12");
        Click(w, "OkBTN");  // no name: the post is refused
        EXPECT_EQ(messages.size(), 2);
        EXPECT_TRUE(w->isVisible());
        EXPECT_TRUE(DMdata->DataDB->InTransaction());
        Type(w, "SimeiEDT", QString::fromUtf8("十二"));
        Click(w, "OkBTN");
    });
    EXPECT_EQ(OpenStaffEditor(std::nullopt), gui::mrOk);
    EXPECT_EQ(Column("SELECT SIMEI FROM STAFF WHERE STAFFCD = 12"), std::vector<std::string>{"十二"});
}

TEST_F(StaffEditor, AVanishedEmployeeIsReportedAndNoOtherRowIsEdited) {
    AddStaff(1, "一");
    AddStaff(3, "三");
    EXPECT_EQ(OpenStaffEditor(2), gui::mrAbort);
    ASSERT_EQ(messages.size(), 1);
    EXPECT_TRUE(messages[0].contains("2"));
    EXPECT_EQ(FstaffDaityo, nullptr);
    EXPECT_FALSE(DMdata->DataDB->InTransaction());
}

TEST_F(StaffEditor, AHistoryRowWithoutAValidDateIsRefused) {
    AddStaff(5, "五");
    OnModal("FstaffDaityo", [&](QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        EXPECT_FALSE(form->GakurekiEditBTN->isEnabled());
        OnModal("Fgakureki", [&](QWidget* d) {
            Type(d, "NaiyoEDT", QString::fromUtf8("入社"));
            Click(d, "MakatiButton1");
            EXPECT_TRUE(d->isVisible());
            Type(d, "YMDEDT", "18991231");
            Click(d, "MakatiButton1");
            EXPECT_TRUE(d->isVisible());
            Type(d, "YMDEDT", "H180401");
            EXPECT_EQ(Child<QLineEdit>(d, "wareki")->text(), QString::fromUtf8("平 18"));
            Click(d, "MakatiButton1");
        });
        Click(w, "GakurekiaddBTN");
        EXPECT_EQ(messages, QStringList({QString::fromUtf8("日付に誤りがあります"), QString::fromUtf8("日付に誤りがあります")}));
        EXPECT_TRUE(form->GakurekiEditBTN->isEnabled());
        EXPECT_EQ(form->Qgakureki->FieldByName("Seireki")->AsString(), "2006");
        EXPECT_EQ(form->Qgakureki->FieldByName("Tuki")->AsString(), "4");
        // 1900-01-01 itself is accepted.
        OnModal("Fgakureki", [&](QWidget* d) {
            Type(d, "YMDEDT", "19000101");
            Click(d, "MakatiButton1");
        });
        Click(w, "GakurekiaddBTN");
        EXPECT_EQ(messages.size(), 2);
        Click(w, "OkBTN");
    });
    ASSERT_EQ(OpenStaffEditor(5), gui::mrOk);
    EXPECT_EQ(Column("SELECT NAIYO, YMD FROM GAKUREKI ORDER BY YMD"), (std::vector<std::string>{"", "入社"}));
}

TEST_F(StaffEditor, FamilyFlagsShowAsDotsAndCancelRemovesTheAddedRows) {
    AddStaff(9, "九");
    auto addFamily = [&](TFstaffDaityo* form) {
        OnModal("Fkazoku", [&](QWidget* d) {
            EXPECT_FALSE(Child<QCheckBox>(d, "HaigusyaCHK")->isChecked());
            EXPECT_TRUE(Child<QCheckBox>(d, "FuyoCHK")->isChecked());
            EXPECT_TRUE(Child<QCheckBox>(d, "DoukyoCHK")->isChecked());
            Type(d, "SeqEDT", "1");
            Type(d, "SimeiEDT", QString::fromUtf8("九花子"));
            Click(d, "OkBTN");
        });
        Click(form, "KazokuAddBTN");
    };
    OnModal("FstaffDaityo", [&](QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        addFamily(form);
        ASSERT_FALSE(form->Qkazoku->Eof());
        EXPECT_EQ(form->Qkazoku->FieldByName("FuyoKBN")->DisplayText(), "\x81\x9c");  // ●
        EXPECT_EQ(form->Qkazoku->FieldByName("HaigusyaKBN")->DisplayText(), "");
        EXPECT_TRUE(form->Qkazoku->FieldByName("Nenrei")->IsNull());
        const QModelIndex cell = form->KazokuGrid->model()->index(0, 7);
        EXPECT_EQ(cell.data().toString(), QString::fromUtf8("●"));
        Click(w, "CanBTN");
    });
    OpenStaffEditor(9);
    EXPECT_TRUE(Column("SELECT SIMEI FROM KAZOKU").empty());
    OnModal("FstaffDaityo", [&](QWidget* w) {
        addFamily(static_cast<TFstaffDaityo*>(w));
        Click(w, "OkBTN");
    });
    EXPECT_EQ(OpenStaffEditor(9), gui::mrOk);
    EXPECT_EQ(Column("SELECT SIMEI FROM KAZOKU WHERE STAFFCD = 9"), std::vector<std::string>{"九花子"});
}

TEST_F(StaffEditor, RowsAreNeverMadeUnderACodeTakenByAnotherEmployee) {
    AddStaff(4, "四");
    OnModal("FstaffDaityo", [&](QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        Click(w, "KazokuAddBTN");  // no code yet
        Type(w, "KeyEDT", "4");
        Click(w, "KazokuAddBTN");
        Click(w, "GakurekiaddBTN");
        EXPECT_EQ(Fkazoku, nullptr);
        EXPECT_EQ(Fgakureki, nullptr);
        EXPECT_EQ(messages.size(), 3);
        // A free code takes the row and is then fixed.
        Type(w, "KeyEDT", "8");
        Type(w, "SimeiEDT", QString::fromUtf8("八"));
        OnModal("Fgakureki", [&](QWidget* d) {
            Type(d, "YMDEDT", "20000401");
            Click(d, "MakatiButton1");
        });
        Click(w, "GakurekiaddBTN");
        EXPECT_TRUE(form->KeyEDT->isReadOnly());
        Click(w, "OkBTN");
    });
    EXPECT_EQ(OpenStaffEditor(std::nullopt), gui::mrOk);
    EXPECT_EQ(Column("SELECT STAFFCD FROM GAKUREKI"), std::vector<std::string>{"8"});
    EXPECT_EQ(Column("SELECT SIMEI FROM STAFF WHERE STAFFCD = 4"), std::vector<std::string>{"四"});
}

TEST_F(StaffEditor, DeletingTheLastHistoryRowDisablesItsButtons) {
    AddStaff(6, "六");
    OnModal("FstaffDaityo", [&](QWidget* w) {
        auto* form = static_cast<TFstaffDaityo*>(w);
        OnModal("Fgakureki", [&](QWidget* d) {
            Type(d, "YMDEDT", "20010101");
            Type(d, "NaiyoEDT", QString::fromUtf8("卒業"));
            Click(d, "MakatiButton1");
        });
        Click(w, "GakurekiaddBTN");
        answer = gui::mrYes;
        Click(w, "GakurekiDelBTN");
        EXPECT_EQ(messages.back(), QString::fromUtf8("卒業を削除します。よろしいですか？"));
        EXPECT_FALSE(form->GakurekiDelBTN->isEnabled());
        Click(w, "OkBTN");
    });
    OpenStaffEditor(6);
    EXPECT_TRUE(Column("SELECT NAIYO FROM GAKUREKI").empty());
}

}  // namespace
}  // namespace app::test

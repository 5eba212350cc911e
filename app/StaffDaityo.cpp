#include "app/StaffDaityo.h"

#include <QButtonGroup>
#include <QDate>
#include <QTimer>
#include <QVBoxLayout>

#include "app/Calendar.h"
#include "app/DBGridEx.h"
#include "app/DMdata.h"
#include "app/DateText.h"
#include "app/FormKit.h"
#include "app/Gakureki.h"
#include "app/Kazoku.h"
#include "app/MakatiButton.h"
#include "app/Rirekisyo.h"
#include "app/ScanPicture.h"
#include "app/TransactionStart.h"
#include "app/Wareki.h"
#include "imaging/Scanner.h"
#include "components/KuraDatabase.h"
#include "platform/CodePage.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"

namespace app {

TFstaffDaityo* FstaffDaityo = nullptr;

namespace {

// A query of "DataDB". With a master, its one integer parameter comes from the
// master's current row, and it gets a field for every result column first (read from
// a run without rows), so that calculated fields can join them.
std::unique_ptr<kura::TKuraQuery> DataQuery(const char* name, kura::TDataSource* master, const std::string& sql,
                                            const char* param = nullptr) {
    auto q = std::make_unique<kura::TKuraQuery>();
    q->SetName(name);
    q->SetDatabaseName("DataDB");
    q->SetSessionName("MySession");
    q->SetSQL(sql);
    if (master) {
        q->ParamByName(param).SetDataType(kura::ftInteger);
        q->ParamByName(param).SetAsInteger(0);
        q->Open();
        q->Close();
        q->AddFieldsFromDefs();
        q->ParamByName(param).Bound = false;  // from now on the master gives it
        q->SetDataSource(master);
    }
    return q;
}

QString Utf(const std::string& cp932) { return QString::fromStdString(platform::Cp932ToUtf8(cp932)); }

void SetColors(QLabel* label, gui::TColor back, gui::TColor text) {
    auto rgb = [](gui::TColor c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); };
    QPalette p = label->palette();
    p.setColor(QPalette::Window, rgb(back));
    p.setColor(QPalette::WindowText, rgb(text));
    label->setPalette(p);
}

// Frees a sub-dialog and clears its variable, whatever way its handler ends.
template <class Form>
struct Owned {
    explicit Owned(Form*& variable) : var(variable) {
        if (!var) var = new Form;
        form.reset(var);
    }
    ~Owned() {
        form.reset();
        var = nullptr;
    }
    Form* operator->() const { return form.get(); }
    Form*& var;
    std::unique_ptr<Form> form;
};

}  // namespace

TFstaffDaityo::TFstaffDaityo(QWidget* parent) : TForm1(parent) {
    setObjectName("FstaffDaityo");
    setWindowTitle(QString::fromUtf8("従業員台帳"));
    resize(900, 700);
    Tstaff = DataTable("Tstaff", "Staff");
    kura::TField* era = AddCalcField(*Tstaff, "wareki", 6);
    kura::TField* birth = Tstaff->FieldByName("SeinenYMD");
    Tstaff->OnCalcFields = [era, birth](kura::TDataSet*) { SetEraText(era, birth, "gee"); };
    for (const char* f : {"SeinenYMD", "SotugyoYMD", "KariSaiyoYMD", "HonsaiyoYMD", "TaisyokuYMD", "KeiyakuYMDfrom",
                          "KeiyakuYMDto"})
        Tstaff->FieldByName(f)->OnSetText = SetDateText;
    birth->OnChange = [this](kura::TField* f) {
        if (!f->IsNull()) ShowAge();
    };
    DSstaff.SetDataSet(Tstaff.get());
    DSstaff.OnStateChange = [this](kura::TDataSource*) { DSstaffStateChange(); };

    Scanner1 = std::make_unique<kura::imaging::TScanner>();
    Image1.fill(Qt::white);
    Query1 = DataQuery("Query1", nullptr, "");
    Qgakureki = DataQuery("Qgakureki", &DSstaff,
                          "SELECT STAFFCD, YMD, NAIYO FROM GAKUREKI\nWHERE STAFFCD = :STAFFCD\nORDER BY YMD", "STAFFCD");
    kura::TField* seireki = AddCalcField(*Qgakureki, "Seireki", 4);
    kura::TField* wareki = AddCalcField(*Qgakureki, "Wareki", 8);
    kura::TField* tuki = AddCalcField(*Qgakureki, "Tuki", 2);
    seireki->DisplayLabel = platform::Utf8ToCp932("西暦");
    wareki->DisplayLabel = platform::Utf8ToCp932("和暦");
    tuki->DisplayLabel = platform::Utf8ToCp932("月");
    Qgakureki->FieldByName("NAIYO")->DisplayLabel = platform::Utf8ToCp932("内　　容");
    Qgakureki->OnCalcFields = [this, seireki, wareki, tuki](kura::TDataSet*) {
        kura::TField* ymd = Qgakureki->FieldByName("YMD");
        SetEraText(seireki, ymd, "yyyy");
        SetEraText(wareki, ymd, "g ee");
        SetEraText(tuki, ymd, "m");
    };
    Qgakureki->AfterOpen = [this](kura::TDataSet* q) {
        const bool rows = !(q->Bof() && q->Eof());
        GakurekiEditBTN->setEnabled(rows);
        GakurekiDelBTN->setEnabled(rows);
    };
    DSrireki.SetDataSet(Qgakureki.get());

    Qkazoku = DataQuery("Qkazoku", &DSstaff, "SELECT * FROM KAZOKU\nWHERE StaffCD = :StaffCD\nORDER BY SEQ",
                        "StaffCD");
    kura::TField* nenrei = AddCalcField(*Qkazoku, "Nenrei", 0);
    nenrei->DisplayLabel = platform::Utf8ToCp932("年齢");
    Qkazoku->OnCalcFields = [this, nenrei](kura::TDataSet*) {
        kura::TField* b = Qkazoku->FieldByName("SEINENYMD");
        if (!b->IsNull()) nenrei->SetAsInteger(YearsBetween(b->AsDateTime(), Today()));
    };
    Qkazoku->FieldByName("SeinenYMD")->OnGetText = [](kura::TField* f, std::string& text, bool) {
        text = f->IsNull() ? std::string() : platform::Utf8ToCp932(FormatDateTime("gee/mm/dd", f->AsDateTime()));
    };
    for (const char* flag : {"HaigusyaKBN", "FuyoKBN", "DoukyoKBN"}) Qkazoku->FieldByName(flag)->OnGetText = FlagText;
    Qkazoku->AfterOpen = [this](kura::TDataSet* q) {
        const bool rows = !(q->Bof() && q->Eof());
        KazokuUpdBTN->setEnabled(rows);
        KazokuDelBTN->setEnabled(rows);
    };
    DSkazoku.SetDataSet(Qkazoku.get());

    auto* layout = new QVBoxLayout(Client());
    auto* top = new QWidget(Client());
    BuildTop(top);
    layout->addWidget(top);
    PageControl1 = new QTabWidget(Client());
    PageControl1->setObjectName("PageControl1");
    BuildPages();
    layout->addWidget(PageControl1, 1);
    connect(PageControl1, &QTabWidget::currentChanged, this, [this](int index) {
        if (index == 0) Editors["Honseki1"]->setFocus();
    });
    auto* bottom = new QHBoxLayout;
    OkBTN = MakeButton(Client(), "OkBTN", "Ｏ　Ｋ", 0xC0C0C0, 0x808080);
    CanBTN = MakeButton(Client(), "CanBTN", "キャンセル", 0xC0C0C0, 0x808080);
    bottom->addStretch();
    bottom->addWidget(OkBTN);
    bottom->addWidget(CanBTN);
    layout->addLayout(bottom);
    connect(OkBTN, &QPushButton::clicked, this, [this] { OkBTNClick(); });
    connect(CanBTN, &QPushButton::clicked, this, [this] { CanBTNClick(); });
    DSstaffStateChange();
}

TFstaffDaityo::~TFstaffDaityo() {
    // A window freed on an error path still ends its edit and its transaction.
    EndTransaction();
    DSrireki.SetDataSet(nullptr);
    DSkazoku.SetDataSet(nullptr);
    Qgakureki->Close();
    Qkazoku->Close();
    DSstaff.OnStateChange = nullptr;
    DSstaff.SetDataSet(nullptr);
}

void TFstaffDaityo::EndTransaction() {
    try {
        if (Tstaff->Active()) Tstaff->Cancel();
    } catch (...) {
    }
    try {
        if ((holding_ || TransactionReady) && DMdata && DMdata->DataDB->InTransaction()) DMdata->DataDB->Rollback();
    } catch (...) {
    }
}

void TFstaffDaityo::FormShow() {
    TForm1::FormShow();
    ReferenceDate = Today();
    kura::TKuraDatabase* db = DMdata->DataDB;
    // OpenStaffEditor has started it already, without freezing the program.
    holding_ = TransactionReady && db->InTransaction();
    TransactionReady = false;
    if (!holding_) {
        if (!SettleOpenTransaction(*db, this) ||
            !StartTransactionResponsive(*db, QString::fromUtf8("他のプログラムが編集中のため、従業員を開けません。"), this)) {
            // Being shown still: the window closes from the event loop, its edit undone.
            Tstaff->Cancel();
            QTimer::singleShot(0, this, [this] { done(gui::mrCancel); });
            return;
        }
        holding_ = true;
    }
    FillCombo(BuCMB, "SELECT DISTINCT BU FROM STAFF", "ORDER BY BU");
    FillCombo(KaCMB, "SELECT DISTINCT KA FROM STAFF", "ORDER BY Ka");
    FillCombo(KakariCMB, "SELECT DISTINCT KAKARI FROM STAFF", "ORDER BY KAKARI");
    FillCombo(YakusyokuCMB, "SELECT DISTINCT YAKUSYOKU FROM STAFF", "ORDER BY YAKUSYOKU");
    FillCombo(SyokuinKBNCMB, "SELECT DISTINCT SYOKUINKBN FROM STAFF", "ORDER BY SYOKUINKBN");
    const std::string sex = platform::Cp932ToUtf8(Tstaff->FieldByName("SEIBETU")->AsString());
    if (sex == "男") SeibetuGroup->button(0)->setChecked(true);
    else if (sex == "女") SeibetuGroup->button(1)->setChecked(true);
    if (Tstaff->FieldByName("SEINENYMD")->IsNull()) NenreiLBL->setText(QString::fromUtf8("現在年齢"));
    else ShowAge();
    if (!Qgakureki->Active()) Qgakureki->Open();
    if (!Qkazoku->Active()) Qkazoku->Open();
    ShowPhoto();
    if (Tstaff->State() == kura::dsInsert) KeyEDT->setFocus();
    else Editors["Simei"]->setFocus();
    PageControl1->setCurrentIndex(0);
}

void TFstaffDaityo::FillCombo(QComboBox* box, const char* select, const char* order) {
    Query1->Close();
    Query1->SetSQL(std::string(select) + "\n" + order);
    Query1->Open();
    // The list changes under the bound text: keep what the record holds.
    const QString text = box->currentText();
    const QSignalBlocker quiet(box);
    box->clear();
    for (Query1->First(); !Query1->Eof(); Query1->Next()) box->addItem(Utf(Query1->Fields(0)->AsString()));
    box->setCurrentText(text);
    Query1->Close();
}

void TFstaffDaityo::FormClose() {
    TForm1::FormClose();
    if (holding_ && DMdata && DMdata->DataDB->InTransaction()) {
        Tstaff->Cancel();
        DMdata->DataDB->Rollback();
    }
}

void TFstaffDaityo::CanBTNClick() {
    Tstaff->Cancel();
    if (DMdata->DataDB->InTransaction()) DMdata->DataDB->Rollback();
    done(gui::mrCancel);
}

void TFstaffDaityo::DSstaffStateChange() {
    switch (Tstaff->State()) {
    case kura::dsInsert:
        ModeLBL->setText(QString::fromUtf8("追加"));
        SetColors(ModeLBL, 0xFF0000, 0xFFFFFF);
        Tstaff->FieldByName("StaffCD")->ReadOnly = codeFixed_;
        KeyEDT->setReadOnly(codeFixed_);
        KeyEDT->setFocusPolicy(Qt::StrongFocus);
        KeyEDT->setStyleSheet({});
        break;
    case kura::dsEdit:
        ModeLBL->setText(QString::fromUtf8("修正"));
        SetColors(ModeLBL, 0x00FFFF, 0x000000);
        Tstaff->FieldByName("StaffCD")->ReadOnly = true;
        KeyEDT->setReadOnly(true);
        KeyEDT->setFocusPolicy(Qt::NoFocus);
        KeyEDT->setStyleSheet("background-color: #f0f0f0");
        break;
    default:
        ModeLBL->setText(QString::fromUtf8("？？"));
        SetColors(ModeLBL, 0x0000FF, 0xFFFFFF);
        break;
    }
}

void TFstaffDaityo::SeibetuRGClick(int itemIndex) {
    Tstaff->Edit();
    Tstaff->FieldByName("SEIBETU")->SetAsUtf8(itemIndex != 0 ? "女" : "男");
}

void TFstaffDaityo::ShowAge() {
    kura::TField* birth = Tstaff->FieldByName("SEINENYMD");
    if (birth->IsNull()) return;
    NenreiLBL->setText(QString::number(YearsBetween(birth->AsDateTime(), ReferenceDate)) + QString::fromUtf8("歳(") +
                       QString::fromStdString(FormatDateTime("yyyy/m/d", ReferenceDate)) +
                       QString::fromUtf8("現在)"));
}

void TFstaffDaityo::SpeedButton1Click() {
    if (PickDate(ReferenceDate)) ShowAge();
}

void TFstaffDaityo::ReopenQuery(kura::TKuraQuery& query) {
    query.Close();
    query.Open();
}

bool TFstaffDaityo::CodeUsable() {
    Tstaff->UpdateRecord();
    kura::TField* code = Tstaff->FieldByName("StaffCD");
    if (code->IsNull()) {
        gui::MessageDlg(QString::fromUtf8("従業員コードを入力してください"), gui::mtError, gui::mbOK, this);
        return false;
    }
    if (Tstaff->State() != kura::dsInsert) return true;
    Query1->Close();
    Query1->SetSQL("SELECT STAFFCD FROM STAFF\nWHERE STAFFCD = :STAFFCD");
    Query1->ParamByName("STAFFCD").SetAsInteger(code->AsInteger());
    Query1->Open();
    const bool taken = !(Query1->Bof() && Query1->Eof());
    Query1->Close();
    if (taken)
        gui::MessageDlg(QString::fromUtf8("従業員コード %1 は他の従業員が使っています").arg(code->AsInteger()),
                        gui::mtError, gui::mbOK, this);
    return !taken;
}

void TFstaffDaityo::CodeUsed() {
    if (Tstaff->State() != kura::dsInsert) return;
    codeFixed_ = true;
    Tstaff->FieldByName("StaffCD")->ReadOnly = true;
    KeyEDT->setReadOnly(true);
}

void TFstaffDaityo::GakurekiaddBTNClick() {
    if (!CodeUsable()) return;
    Owned<TFgakureki> dialog(Fgakureki);
    if (!dialog->Tgakureki->Active()) dialog->Tgakureki->Open();
    dialog->Tgakureki->Append();
    dialog->Tgakureki->FieldByName("STAFFCD")->SetAsInteger(Tstaff->FieldByName("StaffCD")->AsInteger());
    if (dialog->exec() == gui::mrOk) {
        CodeUsed();
        changedTables_.insert("Gakureki");
        ReopenQuery(*Qgakureki);
    }
}

void TFstaffDaityo::GakurekiEditBTNClick() {
    if (Qgakureki->Bof() && Qgakureki->Eof()) return;
    Owned<TFgakureki> dialog(Fgakureki);
    kura::TKuraTable& t = *dialog->Tgakureki;
    if (!t.Active()) t.Open();
    t.SetKey();
    t.FieldByName("StaffCD")->SetAsInteger(Qgakureki->FieldByName("StaffCD")->AsInteger());
    t.FieldByName("YMD")->SetAsDateTime(Qgakureki->FieldByName("YMD")->AsDateTime());
    if (!t.GotoKey()) {
        gui::MessageDlg(QString::fromUtf8("この行は他のプログラムで削除されました"), gui::mtError, gui::mbOK, this);
        ReopenQuery(*Qgakureki);
        return;
    }
    t.Edit();
    if (dialog->exec() == gui::mrOk) {
        changedTables_.insert("Gakureki");
        ReopenQuery(*Qgakureki);
    }
}

namespace {

// After a delete the query is read again and returns to the row it was on, when it can.
void ReturnTo(kura::TKuraQuery& query, const kura::TBookmark& mark) {
    if (query.Bof() && query.Eof()) return;
    try {
        if (query.BookmarkValid(mark)) query.GotoBookmark(mark);
    } catch (const kura::EDatabaseError&) {
        query.Last();
    }
}

}  // namespace

void TFstaffDaityo::GakurekiDelBTNClick() {
    if (Qgakureki->Bof() && Qgakureki->Eof()) return;
    const QString text = Utf(Qgakureki->FieldByName("Naiyo")->AsString()) + QString::fromUtf8("を削除します。よろしいですか？");
    if (gui::MessageDlg(text, gui::mtConfirmation, gui::mbYes | gui::mbNo, this) != gui::mrYes) return;
    const kura::TBookmark mark = Qgakureki->GetBookmark();
    Query1->Close();
    Query1->SetSQL("DELETE FROM Gakureki\nWHERE StaffCD = :StaffCD\nAND YMD = :YMD");
    Query1->ParamByName("StaffCD").SetAsInteger(Qgakureki->FieldByName("StaffCD")->AsInteger());
    Query1->ParamByName("YMD").SetAsDateTime(Qgakureki->FieldByName("YMD")->AsDateTime());
    Query1->ExecSQL();
    changedTables_.insert("Gakureki");
    ReopenQuery(*Qgakureki);
    ReturnTo(*Qgakureki, mark);
}

void TFstaffDaityo::KazokuAddBTNClick() {
    if (!CodeUsable()) return;
    Owned<TFkazoku> dialog(Fkazoku);
    if (!dialog->Tkazoku->Active()) dialog->Tkazoku->Open();
    dialog->Tkazoku->Append();
    dialog->Tkazoku->FieldByName("STAFFCD")->SetAsInteger(Tstaff->FieldByName("StaffCD")->AsInteger());
    if (dialog->exec() == gui::mrOk) {
        CodeUsed();
        changedTables_.insert("Kazoku");
        ReopenQuery(*Qkazoku);
    }
}

void TFstaffDaityo::KazokuUpdBTNClick() {
    if (Qkazoku->Bof() && Qkazoku->Eof()) return;
    Owned<TFkazoku> dialog(Fkazoku);
    kura::TKuraTable& t = *dialog->Tkazoku;
    if (!t.Active()) t.Open();
    t.SetKey();
    t.FieldByName("StaffCD")->SetAsInteger(Qkazoku->FieldByName("StaffCD")->AsInteger());
    t.FieldByName("SEQ")->SetAsInteger(Qkazoku->FieldByName("SEQ")->AsInteger());
    if (!t.GotoKey()) {
        gui::MessageDlg(QString::fromUtf8("この行は他のプログラムで削除されました"), gui::mtError, gui::mbOK, this);
        ReopenQuery(*Qkazoku);
        return;
    }
    t.Edit();
    if (dialog->exec() == gui::mrOk) {
        changedTables_.insert("Kazoku");
        ReopenQuery(*Qkazoku);
    }
}

void TFstaffDaityo::KazokuDelBTNClick() {
    if (Qkazoku->Bof() && Qkazoku->Eof()) return;
    const QString text = Utf(Qkazoku->FieldByName("SIMEI")->AsString()) + QString::fromUtf8("を削除します。よろしいですか？");
    if (gui::MessageDlg(text, gui::mtConfirmation, gui::mbYes | gui::mbNo, this) != gui::mrYes) return;
    const kura::TBookmark mark = Qkazoku->GetBookmark();
    Query1->Close();
    Query1->SetSQL("DELETE FROM kazoku\nWHERE StaffCD = :StaffCD\nAND SEQ = :SEQ");
    Query1->ParamByName("StaffCD").SetAsInteger(Qkazoku->FieldByName("StaffCD")->AsInteger());
    Query1->ParamByName("SEQ").SetAsInteger(Qkazoku->FieldByName("SEQ")->AsInteger());
    Query1->ExecSQL();
    changedTables_.insert("Kazoku");
    ReopenQuery(*Qkazoku);
    ReturnTo(*Qkazoku, mark);
}

void TFstaffDaityo::RirekiBTNClick() {
    if (!CodeUsable()) return;
    Owned<TFrirekisyo> dialog(Frirekisyo);
    kura::TKuraTable& t = *dialog->Trirekisyo;
    const int32_t code = Tstaff->FieldByName("StaffCD")->AsInteger();
    if (!t.Active()) t.Open();
    t.SetKey();
    t.FieldByName("StaffCD")->SetAsInteger(code);
    if (t.GotoKey()) {
        t.Edit();
    } else {
        t.Append();
        t.FieldByName("STAFFCD")->SetAsInteger(code);
    }
    if (dialog->exec() == gui::mrOk) {
        CodeUsed();
        changedTables_.insert("Rirekisyo");
    }
}

void TFstaffDaityo::BitBtn1Click() {
    if (!ScanInto(*Scanner1, Image1, QRect(0, 0, 160, 120))) return;
    Tstaff->Edit();
    StorePicture(Tstaff->FieldByName("Photo"), Image1);
    ShowPhoto();
}

void TFstaffDaityo::ShowPhoto() { PhotoIMG->setPixmap(QPixmap::fromImage(LoadPicture(Tstaff->FieldByName("Photo")))); }

int OpenStaffEditor(std::optional<int32_t> staffCD) {
    // The start may wait a moment for another program with the event loop running: a
    // second open meanwhile does nothing.
    static bool opening = false;
    if (opening) return gui::mrCancel;
    opening = true;
    struct Opened {
        ~Opened() { opening = false; }
    } opened;
    if (!FstaffDaityo) FstaffDaityo = new TFstaffDaityo;
    std::unique_ptr<TFstaffDaityo> form(FstaffDaityo);
    struct Clear {
        ~Clear() { FstaffDaityo = nullptr; }
    } clear;
    kura::TKuraTable& t = *form->Tstaff;
    try {
        kura::TKuraDatabase& db = *DMdata->DataDB;
        // The edit below would join whatever transaction is open: one the SQL window
        // left is ended first, as the user says.
        if (!SettleOpenTransaction(db)) return gui::mrCancel;
        if (!t.Active()) t.Open();
        // The table's caches answer for what they hold without asking the disk, so a
        // record another program saved since this one last read it would be found as it
        // was, and the edit, which locks and reads it afresh, would call it changed by
        // another user. Read afresh first.
        t.Refresh();
        if (!staffCD) {
            t.Append();
        } else {
            t.SetKey();
            t.FieldByName("StaffCD")->SetAsInteger(*staffCD);
            if (!t.GotoKey()) {
                gui::MessageDlg(QString::fromUtf8("従業員コード %1 は他のプログラムで削除されました").arg(*staffCD),
                                gui::mtError, gui::mbOK);
                return gui::mrAbort;
            }
            t.Edit();
        }
        // Another program's open editor holds the transaction's tables: say so after a
        // moment instead of freezing until it closes.
        const QString refusal =
            staffCD ? QString::fromUtf8("他のプログラムが編集中のため、従業員コード %1 を開けません。").arg(*staffCD)
                    : QString::fromUtf8("他のプログラムが編集中のため、従業員を追加できません。");
        if (!StartTransactionResponsive(db, refusal)) {
            t.Cancel();
            return gui::mrCancel;
        }
        form->TransactionReady = true;
        return form->exec();
    } catch (...) {
        gui::ShowException();
        return gui::mrCancel;
    }
}

}  // namespace app

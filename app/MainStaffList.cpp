// The staff list: Qstaff's persistent fields and the grid's designed columns, the
// query text made from the sort keys and the hide-retired flag, sorting by a column
// title, retired rows drawn grey, the display settings, refresh and auto-refresh.
#include <QCheckBox>
#include <QPainter>
#include <algorithm>
#include <memory>

#include "app/DBGridEx.h"
#include "app/HyojiJyun.h"
#include "app/MainWindow.h"
#include "app/MakatiButton.h"
#include "app/Schema.h"
#include "components/KuraQuery.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Application.h"
#include "platform/gui/Color.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

namespace {

const char* const None = "（なし）";
const char* const Ascending = "昇順";
const char* const Descending = "降順";

// Qstaff's fields in field order, with their display labels (empty: the field name).
struct StaffField {
    const char* name;
    const char* label;
};
const StaffField StaffFields[] = {
    {"StaffCD", "コード"}, {"Simei", "氏名"}, {"Furigana", "ふりがな"}, {"Kyusei", "旧姓"}, {"Seibetu", "性別"},
    {"SeinenYMD", "生年月日"}, {"KetuekiGata", "血液型"}, {"Yubin", "〒"}, {"Jyusyo1", "住所１"},
    {"Jyusyo2", "住所２（アパート名他）"}, {"Tel", "電話"}, {"Fax", ""}, {"Keitai", "携帯電話"},
    {"Mail", "メールアドレス"}, {"KeitaiMail", "携帯メールアドレス"}, {"Honseki1", "本籍１"}, {"Honseki2", "本籍２"},
    {"SaisyuGakureki", "最終学歴"}, {"SotugyoYMD", "卒業年月日"}, {"SyokuinKBN", "職員区分"},
    {"BumonCD", "部門コード"}, {"Bu", "部"}, {"Ka", "課"}, {"Kakari", "係"}, {"Yakusyoku", "役職"},
    {"Fututyo_KinyuKikan", "普通貯　金融機関"}, {"Fututyo_tenpo", "普通貯 店舗"}, {"Fututyo_Syumoku", "普通貯 種目"},
    {"Fututyo_Koza", "普通貯 口座番号"}, {"KariSaiyoYMD", "仮採用年月日"}, {"HonsaiyoYMD", "本採用年月日"},
    {"TaisyokuYMD", "退職年月日"}, {"TaisyokuRiyu", "退職理由"}, {"JyutakuKBN", "住宅区分"}, {"Yatin", "家賃"},
    {"JyutakuTeate", "住宅手当"}, {"MotiieSikyuS", "持家支給（始）"}, {"MotiieSikyuE", "持家支給（終）"},
    {"Furikomi_KinyuKikan", "振込先金融機関"}, {"Furikomi_Tenpo", "振込先店舗"}, {"Furikomi_Syumoku", "振込先種目"},
    {"Furikomi_Koza", "振込先口座"}, {"KeiyakuYMDfrom", "契約期間（自）"}, {"KeiyakuYMDto", "契約期間（至）"},
    {"Furikomi_KozaMeigi", "振込先口座名義"}, {"Fututyo_KozaMeigi", "普通貯金口座名義"}, {"KisoNenkin", "基礎年金"},
    {"KenkoHoken", "健康保険"}, {"Hosyonin1Simei", "保証人１氏名"}, {"Hosyonin2Simei", "保証人２氏名"}};

// The grid's columns as designed: field names in order (TaisyokuYMD twice).
const char* const StaffColumns[] = {
    "StaffCD", "Simei", "Furigana", "Kyusei", "Seibetu", "SeinenYMD", "KetuekiGata", "Yubin", "Jyusyo1",
    "Jyusyo2", "Tel", "Fax", "Keitai", "Mail", "KeitaiMail", "Honseki1", "Honseki2", "SaisyuGakureki",
    "SotugyoYMD", "SyokuinKBN", "BumonCD", "Bu", "Ka", "Kakari", "Yakusyoku", "Fututyo_KinyuKikan",
    "Fututyo_tenpo", "Fututyo_Syumoku", "Fututyo_Koza", "KariSaiyoYMD", "HonsaiyoYMD", "TaisyokuYMD",
    "JyutakuKBN", "Yatin", "JyutakuTeate", "MotiieSikyuS", "MotiieSikyuE", "KeiyakuYMDfrom", "KeiyakuYMDto",
    "TaisyokuYMD", "TaisyokuRiyu", "Furikomi_KinyuKikan", "Furikomi_Tenpo", "Furikomi_Syumoku", "Furikomi_Koza",
    "Furikomi_KozaMeigi", "Fututyo_KozaMeigi", "Hosyonin1Simei", "Hosyonin2Simei", "KenkoHoken", "KisoNenkin"};

const char* const StaffSelect[] = {
    "SELECT StaffCD, Simei, Furigana, Kyusei, Seibetu,",
    "       SeinenYMD, KetuekiGata, Yubin, Jyusyo1, Jyusyo2, Tel,",
    "       Fax, Keitai, Mail, KeitaiMail, Honseki1, Honseki2, ",
    "       SaisyuGakureki, SotugyoYMD, SyokuinKBN, KeiyakuYMDfrom, KeiyakuYMDto, BumonCD, Bu, ",
    "       Ka, Kakari, Yakusyoku, Furikomi_KinyuKikan, Furikomi_Tenpo,",
    "       Furikomi_Syumoku, Furikomi_Koza, Fututyo_KinyuKikan,",
    "       Fututyo_tenpo, Fututyo_Syumoku, Fututyo_Koza, KariSaiyoYMD,",
    "       HonsaiyoYMD, TaisyokuYMD, TaisyokuRiyu, JyutakuKBN, Yatin, JyutakuTeate,",
    "       MotiieSikyuS, MotiieSikyuE, ",
    "       Furikomi_KozaMeigi, Fututyo_KozaMeigi, KisoNenkin, KenkoHoken, Hosyonin1Simei, Hosyonin2Simei",
    "       FROM STAFF "};

const TColumnSpec* StaffColumn(const std::string& name) {
    for (const TColumnSpec& c : StaffSpec().Columns)
        if (c.Name == name) return &c;
    return nullptr;
}

std::string Utf8Label(const kura::TField& field) { return gui::QStr(field.DisplayName()).toStdString(); }

}  // namespace

void TFmain::AddStaffColumns() {
    for (const StaffField& f : StaffFields) {
        const TColumnSpec* spec = StaffColumn(f.name);
        auto field = kura::CreateField(spec->Type, spec->Type == kura::ftString ? spec->Size : 0);
        field->FieldName = f.name;
        field->DisplayLabel = gui::Cp932(U8(f.label));
        Qstaff->AddField(std::move(field));
    }
    for (const char* field : StaffColumns) StaffGrid->AddColumn(field);
}

std::vector<std::string> TFmain::StaffListLines() {
    std::vector<std::string> terms;
    for (int k = 0; k < 3; ++k) {
        kura::TField* found = nullptr;
        for (int i = 0; i < Qstaff->FieldCount() && !found; ++i)
            if (Utf8Label(*Qstaff->Fields(i)) == Settings.Komoku[k]) found = Qstaff->Fields(i);
        if (!found) {
            Settings.Komoku[k] = None;
            continue;
        }
        if (Settings.Jyun[k] == Descending) {
            terms.push_back(found->FieldName + " DESC");
        } else {
            terms.push_back(found->FieldName + " ASC");
            Settings.Jyun[k] = Ascending;
        }
    }
    std::vector<std::string> lines(std::begin(StaffSelect), std::end(StaffSelect));
    if (Settings.HiHyoji) lines.push_back("WHERE TaisyokuYMD is null");
    for (std::size_t i = 0; i < terms.size(); ++i) {
        lines.push_back(i == 0 ? "ORDER BY " : ", ");
        lines.push_back(terms[i]);
    }
    return lines;
}

void TFmain::OpenStaffList() {
    const std::vector<std::string> lines = StaffListLines();
    Qstaff->Close();
    Qstaff->SetSQL(JoinLines(lines));
    Qstaff->Open();
}

void TFmain::QstaffAfterOpen(kura::TDataSet* dataSet) {
    const bool any = !dataSet->IsEmpty();
    STAFFeditBTN->setEnabled(any);
    STAFFdelBTN->setEnabled(any);
}

void TFmain::StaffGridTitleClick(int column) {
    kura::TField* field = StaffGrid->ColumnField(column);
    if (!field) return;
    const std::string label = Utf8Label(*field);
    if (Settings.Komoku[0] == label) Settings.Jyun[0] = Settings.Jyun[0] == Ascending ? Descending : Ascending;
    Settings.Komoku[0] = label;
    OpenStaffList();
}

bool TFmain::RowRetired(int row) const {
    // Any column on TaisyokuYMD tells, shown or hidden: its text is empty exactly when
    // the employee has no retirement date.
    for (int c = 0; c < StaffGrid->ColumnCount(); ++c)
        if (StaffGrid->Column(c).FieldName == "TaisyokuYMD")
            return !StaffGrid->model()->index(row, c).data(Qt::DisplayRole).toString().isEmpty();
    return false;
}

void TFmain::StaffGridDrawColumnCell(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index,
                                     int) {
    if (!(option.state & QStyle::State_Selected) && RowRetired(index.row())) {
        QStyleOptionViewItem grey(option);
        painter->fillRect(option.rect, gui::ToQColor(0xE0E0E0));
        grey.palette.setColor(QPalette::Text, Qt::black);
        grey.palette.setColor(QPalette::Base, gui::ToQColor(0xE0E0E0));
        grey.backgroundBrush = QBrush(gui::ToQColor(0xE0E0E0));
        StaffGrid->DefaultDrawColumnCell(painter, grey, index);
        return;
    }
    StaffGrid->DefaultDrawColumnCell(painter, option, index);
}

void TFmain::SetStaffFontSize(int points) { StaffGrid->SetGridFontSize(std::clamp(points, MinFontSize, MaxFontSize)); }

void TFmain::CuteButton6Click() {
    if (!FhyojiJyun) FhyojiJyun = new TFhyojiJyun(*StaffGrid, this);
    // Freed and forgotten whatever the result, also when something fails.
    const std::unique_ptr<TFhyojiJyun> owner(FhyojiJyun);
    struct Forget {
        ~Forget() { FhyojiJyun = nullptr; }
    } forget;
    TFhyojiJyun& d = *FhyojiJyun;
    QStringList labels{U8(None)};
    for (int i = 0; i < Qstaff->FieldCount(); ++i) labels << gui::QStr(Qstaff->Fields(i)->DisplayName());
    for (int k = 0; k < 3; ++k) {
        d.KomokuCB[k]->clear();
        d.KomokuCB[k]->addItems(labels);
        d.KomokuCB[k]->setCurrentText(U8(Settings.Komoku[k]));
        d.JyunRG[k]->SetItemIndex(Settings.Jyun[k] == Ascending ? 0 : 1);
    }
    d.FontSizeCB->setCurrentText(QString::number(StaffGrid->GridFontSize()));
    d.TaisyokuCB->setChecked(Settings.HiHyoji);
    if (d.exec() != gui::mrOk) return;
    for (int k = 0; k < 3; ++k) {
        Settings.Komoku[k] = d.KomokuCB[k]->currentText().toStdString();
        Settings.Jyun[k] = d.JyunRG[k]->ItemIndex() != 0 ? Descending : Ascending;
    }
    SetStaffFontSize(d.FontSize());
    Settings.HiHyoji = d.TaisyokuCB->isChecked();
    OpenStaffList();
}

void TFmain::SaisinBTNClick() {
    // Back to the same employee after the rebuild; when that employee is gone, to the
    // row that took its place, else wherever the new list begins.
    kura::TBookmark mark;
    int32_t code = 0;
    bool haveCode = false;
    if (Qstaff->Active() && !Qstaff->IsEmpty()) {
        mark = Qstaff->GetBookmark();
        if (kura::TField* f = Qstaff->FindField("StaffCD"); f && !f->IsNull()) {
            code = f->AsInteger();
            haveCode = true;
        }
    }
    RefreshJyokyo();
    OpenStaffList();
    if (Qstaff->IsEmpty()) return;
    if (haveCode && Qstaff->Locate("StaffCD", kura::TVariant(code), 0)) return;
    if (!mark.empty() && Qstaff->BookmarkValid(mark)) Qstaff->GotoBookmark(mark);
}

void TFmain::JidoCBClick() {
    Settings.JidoKosin = JidoCB->isChecked();
    SaisinBTN->setEnabled(!JidoCB->isChecked());
}

}  // namespace app

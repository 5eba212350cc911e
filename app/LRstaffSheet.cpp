#include "app/LRstaffSheet.h"

#include <QImage>
#include <QMetaObject>
#include <QShowEvent>

#include "app/DateFormat.h"
#include "components/KuraQuery.h"
#include "platform/CodePage.h"
#include "platform/dataset/DataSource.h"
#include "platform/dataset/Field.h"

namespace app {
namespace {

using report::TAlignment;
using report::TLineStyle;
using report::TTextLayout;

TLineStyle Style(char c) {
    return c == 'S' ? TLineStyle::lsSingle : c == 'D' ? TLineStyle::lsDouble : TLineStyle::lsNone;
}

// Lines of a memo text; CR LF, LF or CR ends a line.
std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            lines.push_back(line);
            line.clear();
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else {
            line += c;
        }
    }
    if (!line.empty()) lines.push_back(line);
    return lines;
}

struct ColumnItem {
    const char* name;
    int x, y, w, h;
    const char* lines;
    TAlignment align = TAlignment::taLeftJustify;
    int font = 0;
};

constexpr TAlignment L = TAlignment::taLeftJustify, C = TAlignment::taCenter;

const ColumnItem kColumns[] = {
    {"Furigana", 96, 112, 193, 25, "NNSS", L, 13},
    {"Simei", 96, 136, 193, 33, "NNSS", L, 19},
    {"Kyusei", 336, 112, 81, 25, "NNSS"},
    {"Seibetu", 288, 136, 49, 33, "NNSS", C},
    {"SeinenYMD", 336, 136, 185, 33, "NNSS", C},
    {"KetuekiGata", 472, 112, 49, 25, "NNSS", C},
    {"Yubin", 96, 168, 73, 25, "NNNN"},
    {"Jyusyo1", 168, 168, 353, 25, "NNSN"},
    {"Jyusyo2", 168, 192, 353, 25, "NNSS"},
    {"Tel", 96, 216, 425, 25, "NNSS"},
    {"fax", 96, 240, 193, 25, "NNSS"},
    {"Keitai", 368, 240, 153, 25, "NNSS"},
    {"Mail", 96, 264, 425, 25, "NNSS"},
    {"KeitaiMail", 96, 288, 577, 25, "NNDS"},
    {"Honseki1", 96, 312, 577, 25, "NNDN"},
    {"Honseki2", 96, 336, 577, 25, "NNDS"},
    {"Hosyonin1Simei", 96, 360, 153, 25, "NNSN"},
    {"Hosyonin1Tel", 96, 384, 153, 25, "NNSS"},
    {"Hosyonin1Yubin", 248, 360, 73, 25, "NNNN"},
    {"Hosyonin1Jyusyo1", 320, 360, 353, 25, "NNDN"},
    {"Hosyonin1Jyusyo2", 320, 384, 353, 25, "NNDS"},
    {"Hosyonin2Simei", 96, 408, 153, 25, "NNSN"},
    {"Hosyonin2Tel", 96, 432, 153, 25, "NNSS"},
    {"Hosyonin2Yubin", 248, 408, 73, 25, "NNNN"},
    {"Hosyonin2Jyusyo1", 320, 408, 353, 25, "NNDN"},
    {"Hosyonin2Jyusyo2", 320, 432, 353, 25, "NNDS"},
    {"SaisyuGakureki", 96, 479, 153, 25, "NNSS"},
    {"SotugyoYMD", 368, 479, 305, 25, "NNDS"},
    {"KariSaiyoYMD", 96, 503, 153, 25, "NNSS"},
    {"HonsaiyoYMD", 368, 503, 305, 25, "NNDS"},
    {"TaisyokuYMD", 96, 527, 153, 25, "NNSS"},
    {"TaisyokuRiyu", 368, 527, 305, 25, "NNDS"},
};

struct Label {
    const char* text;
    int x, y, w, h;
    const char* lines;
    TAlignment align;
};

// Row captions down the left edge, then the captions inside the rows.
const Label kLabels[] = {
    {"ふりがな", 0, 112, 97, 25, "NDSS", C},       {"氏\u3000名", 0, 136, 97, 33, "NDSS", C},
    {"住\u3000所", 0, 168, 97, 49, "NDSS", C},      {"電話番号", 0, 216, 97, 25, "NDSS", C},
    {"ＦＡＸ", 0, 240, 97, 25, "NDSS", C},          {"メール", 0, 264, 97, 25, "NDSS", C},
    {"携帯メール", 0, 288, 97, 25, "NDSS", C},      {"本\u3000籍", 0, 312, 97, 49, "NDSS", C},
    {"保証人１", 0, 360, 97, 49, "NDSS", C},        {"保証人２", 0, 408, 97, 49, "NDSS", C},
    {"最終学歴", 0, 479, 97, 25, "NDSS", C},        {"試採用日", 0, 503, 97, 25, "NDSS", C},
    {"退職(死亡)日", 0, 527, 97, 25, "NDSS", C},    {"旧姓", 288, 112, 49, 25, "NNSS", C},
    {"血液型", 416, 112, 57, 25, "NNSS", C},        {"携帯電話", 288, 240, 81, 25, "NNSS", C},
    {"卒業年月日", 248, 479, 121, 25, "NNSS", C},   {"本採用日", 248, 503, 121, 25, "NNSS", C},
    {"退職(死亡)理由", 248, 527, 121, 25, "NNSS", C},
    // Section bars, frames and underline cells.
    {"■基本情報", 0, 88, 673, 25, "NDDS", L},       {"■履\u3000歴", 0, 456, 673, 25, "NDDS", L},
    {"■従事する業務の内容", 0, 809, 673, 25, "NDDS", L}, {"■備\u3000考", 0, 925, 673, 25, "NDDS", L},
    {"", 520, 112, 153, 177, "NNDS", L},            {"", 0, 552, 673, 256, "NDDS", L},
    {"", 0, 833, 673, 93, "NDDS", L},               {"", 0, 949, 673, 76, "NDDD", L},
    {"", 96, 192, 73, 25, "NNNS", L},               {"", 248, 384, 73, 25, "NNNS", L},
    {"", 248, 432, 73, 25, "NNNS", L},
};

const char* const kDateColumns[] = {"SeinenYMD", "SotugyoYMD", "KariSaiyoYMD", "HonsaiyoYMD", "TaisyokuYMD"};

}  // namespace

TLRstaffSheet::TLRstaffSheet(QWidget* parent)
    : TBaseLRep(parent), dsStaff_(std::make_unique<kura::TDataSource>()), staffData_(*(Qstaff = new kura::TKuraQuery)) {
    setObjectName("LRstaffSheet");
    setWindowTitle(QString::fromUtf8("労働者名簿"));
    LightRep1->Font.Name = "ＭＳ ゴシック";
    LightRep1->Font.Height = -15;
    LightRep1->SetMarginLeft(74);
    LightRep1->SetMarginTop(36);
    LightRep1->SetMarginRight(36);
    LightRep1->SetMarginBottom(36);

    Qstaff->SetName("Qstaff");
    Qstaff->SetDatabaseName("DataDB");
    Qstaff->SetSessionName("MySession");
    Qstaff->SetSQL("SELECT * FROM STAFF");
    dsStaff_->SetDataSet(Qstaff);
    Qgakureki = new kura::TKuraQuery;
    Qgakureki->SetName("Qgakureki");
    Qgakureki->SetDatabaseName("DataDB");
    Qgakureki->SetSessionName("MySession");
    Qgakureki->SetSQL("SELECT * FROM GAKUREKI\r\nWHERE StaffCD = :StaffCD\r\nORDER BY YMD");
    Qgakureki->SetDataSource(dsStaff_.get());
    dsMast.DataSet = &staffData_;

    BuildLayout();
}

TLRstaffSheet::~TLRstaffSheet() {
    delete Qgakureki;
    dsStaff_->SetDataSet(nullptr);
    delete Qstaff;
}

report::TLRItem* TLRstaffSheet::AddItem(const char* name, int x, int y, int w, int h, const char* lines,
                                         int fontHeight) {
    auto* item = new report::TLRItem;
    item->Name = name;
    item->SetParent(LRLayoutPanel1);
    item->SetBounds(x, y, w, h);
    if (fontHeight) {
        item->ParentFont = false;
        item->Font = LightRep1->Font;
        item->Font.Height = -fontHeight;
    }
    item->Layout = TTextLayout::tlCenter;
    item->LineTop = Style(lines[0]);
    item->LineLeft = Style(lines[1]);
    item->LineRight = Style(lines[2]);
    item->LineBottom = Style(lines[3]);
    return item;
}

void TLRstaffSheet::AddLabel(const char* utf8, int x, int y, int w, int h, const char* lines, TAlignment align) {
    report::TLRItem* item = AddItem("", x, y, w, h, lines);
    item->Text = platform::Utf8ToCp932(utf8);
    item->Alignment = align;
}

report::TLRVariableText* TLRstaffSheet::AddVText(const char* name, int x, int y, int w, int h) {
    auto* v = new report::TLRVariableText;
    v->Name = name;
    v->SetParent(LRLayoutPanel1);
    v->SetBounds(x, y, w, h);
    return v;
}

void TLRstaffSheet::BuildLayout() {
    LRLayoutPanel1 = new report::TLRLayoutPanel;
    LRLayoutPanel1->Name = "LRLayoutPanel1";
    LRLayoutPanel1->SetParent(LightRep1);
    LRLayoutPanel1->SetLRAlign(report::TLRAlign::laTop);
    LRLayoutPanel1->SetBounds(75, 37, 682, 1062);
    LRLayoutPanel1->BeforePrint = [this](report::TControl*, const report::TRect&, report::TPrintStatus&) {
        FillPage();
    };
    LRLayoutPanel1->AfterPrint = [this](report::TControl*) {
        gyomuLine_ = bikoLine_ = 0;
        Qstaff->Next();
    };

    report::TLRItem* title = AddItem("LRItem1", 192, 40, 257, 41, "NNNN", 32);
    title->Text = platform::Utf8ToCp932("労 働 者 名 簿");
    title->Layout = TTextLayout::tlTop;
    report::TLRItem* codeLabel = AddItem("LRItem2", 480, 48, 121, 25, "NNNN", 16);
    codeLabel->Text = platform::Utf8ToCp932("従業員コード：");
    codeLabel->Layout = TTextLayout::tlBottom;
    for (const Label& l : kLabels) AddLabel(l.text, l.x, l.y, l.w, l.h, l.lines, l.align);

    report::TLRItem* hizuke = AddItem("Hizuke", 544, 8, 129, 17, "NNNN");
    hizuke->Alignment = TAlignment::taRightJustify;
    hizuke->Layout = TTextLayout::tlTop;
    columns_["Hizuke"] = hizuke;
    report::TLRItem* code = AddItem("StaffCD", 600, 48, 73, 25, "NNNN", 16);
    code->Alignment = TAlignment::taRightJustify;
    code->Layout = TTextLayout::tlBottom;
    columns_["StaffCD"] = code;
    for (const ColumnItem& c : kColumns) {
        report::TLRItem* item = AddItem(c.name, c.x, c.y, c.w, c.h, c.lines, c.font);
        item->Alignment = c.align;
        columns_[c.name] = item;
    }

    photo = new report::TLRImage;
    photo->Name = "photo";
    photo->SetParent(LRLayoutPanel1);
    photo->SetBounds(536, 120, 120, 160);
    photo->Stretch = true;
    VText1 = AddVText("VText1", 8, 556, 169, 250);
    VText2 = AddVText("VText2", 176, 556, 489, 250);
    VText4 = AddVText("VText4", 8, 841, 657, 81);
    VText3 = AddVText("VText3", 8, 957, 657, 69);
}

report::TLRItem* TLRstaffSheet::Item(const std::string& name) const {
    const auto it = columns_.find(name);
    return it == columns_.end() ? nullptr : it->second;
}

void TLRstaffSheet::showEvent(QShowEvent* event) {
    TBaseLRep::showEvent(event);
    // The preview starts once the window is on screen, not inside its show.
    if (!shown_) QMetaObject::invokeMethod(this, [this] { if (!shown_) FormShow(); }, Qt::QueuedConnection);
}

void TLRstaffSheet::FormShow() {
    shown_ = true;
    RunGuarded([this] {
        if (!Qstaff->Active()) Qstaff->Open();
        Qgakureki->Open();
    });
    gyomuLine_ = bikoLine_ = 0;
    ShowPreview();
}

void TLRstaffSheet::FillPage() {
    columns_["Hizuke"]->Text = platform::Utf8ToCp932(FormatDateTime("yyyy/m/d h:nn", Now()));
    for (auto& [name, item] : columns_) {
        if (name == "Hizuke") continue;
        kura::TField* field = Qstaff->FieldByName(name);
        item->Text = field->AsString();
    }
    for (const char* name : kDateColumns) {
        kura::TField* field = Qstaff->FieldByName(name);
        const char* format = std::string(name) == "SeinenYMD" ? "yyyy(gee)/m/d 生" : "yyyy(gee)/m/d";
        columns_[name]->Text =
            field->IsNull() ? std::string() : platform::Utf8ToCp932(FormatDateTime(format, field->AsDateTime()));
    }

    // A photograph that is missing or cannot be read leaves the frame empty.
    kura::TField* picture = Qstaff->FieldByName("Photo");
    photo->SetPicture(QImage());
    if (!picture->IsNull()) {
        try {
            photo->LoadPicture(picture->AsString());
        } catch (const std::exception&) {
            photo->SetPicture(QImage());
        }
    }

    VText1->Text.clear();
    VText2->Text.clear();
    if (Qgakureki->Active()) {
        for (; !Qgakureki->Eof(); Qgakureki->Next()) {
            kura::TField* ymd = Qgakureki->FieldByName("YMD");
            if (!ymd->IsNull())
                VText1->Text += platform::Utf8ToCp932(FormatDateTime("yyyy(gee)'年'm'月'd'日'", ymd->AsDateTime()));
            VText1->Text += "\r\n";
            VText2->Text += Qgakureki->FieldByName("NAIYO")->AsString() + "\r\n";
        }
    }
    VText4->Text.clear();
    AppendMemo(*VText4, "GyomuNaiyo", gyomuLine_);
    VText3->Text.clear();
    AppendMemo(*VText3, "Biko", bikoLine_);
}

void TLRstaffSheet::AppendMemo(report::TLRVariableText& target, const char* column, int from) {
    const std::vector<std::string> lines = SplitLines(Qstaff->FieldByName(column)->AsString());
    for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i) target.Text += lines[i] + "\r\n";
}

}  // namespace app

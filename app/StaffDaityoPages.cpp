// The editor's controls: the top area, the seven tabs and the buttons.
#include <QButtonGroup>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QRadioButton>
#include <QSplitter>
#include <QVBoxLayout>

#include "app/DBGridEx.h"
#include "app/FormKit.h"
#include "app/MakatiButton.h"
#include "app/StaffDaityo.h"
#include "platform/dataset/Field.h"
#include "platform/gui/DataControls.h"

namespace app {

namespace {

const char* const BloodTypes[] = {"", "A", "B", "AB", "O"};
const char* const AccountKinds[] = {"", "普通", "当座", "貯蓄"};
const char* const Schools[] = {"", "中学", "高校", "高専", "専門学校", "短大", "農協学校", "大学", "大学院"};
const char* const Housing[] = {"", "持家", "借家", "その他"};

QGridLayout* Grid(QWidget* w) { return new QGridLayout(w); }

}  // namespace

QLineEdit* TFstaffDaityo::Edit(QWidget* parent, const std::string& field) {
    QLineEdit* e = MakeEdit(parent, QString::fromStdString(field) + "EDT");
    gui::BindEdit(e, &DSstaff, field);
    Editors[field] = e;
    return e;
}

QLineEdit* TFstaffDaityo::Date(QWidget* parent, const char* field, QWidget*& row) {
    QLineEdit* e = DateEdit(parent, QString(field) + "EDT", &DSstaff, field);
    Editors[field] = e;
    row = new QWidget(parent);
    auto* h = new QHBoxLayout(row);
    h->setContentsMargins(0, 0, 0, 0);
    h->addWidget(e);
    h->addWidget(CalendarButton(row, QString(field) + "BTN", [this, field] { return Tstaff->FieldByName(field); }));
    return e;
}

QComboBox* TFstaffDaityo::Combo(QWidget* parent, const char* field, const char* const* items, int count) {
    auto* c = new QComboBox(parent);
    c->setObjectName(QString(field) + "CMB");
    for (int i = 0; i < count; ++i) c->addItem(QString::fromUtf8(items[i]));
    gui::BindComboBox(c, &DSstaff, field);
    Editors[field] = c;
    return c;
}

void TFstaffDaityo::BuildTop(QWidget* area) {
    QGridLayout* g = Grid(area);
    KeyEDT = Edit(area, "StaffCD");
    KeyEDT->setObjectName("KeyEDT");
    ModeLBL = new QLabel(area);
    ModeLBL->setObjectName("ModeLBL");
    ModeLBL->setAutoFillBackground(true);
    Place(g, 0, 0, "従業員コード", KeyEDT);
    g->addWidget(ModeLBL, 0, 2);
    Place(g, 1, 0, "氏名", Edit(area, "Simei"));
    Place(g, 1, 2, "ふりがな", Edit(area, "Furigana"));
    Place(g, 1, 4, "旧姓", Edit(area, "Kyusei"));
    QWidget* birth = nullptr;
    Date(area, "SeinenYMD", birth);
    Place(g, 2, 0, "生年月日", birth);
    QLineEdit* era = MakeEdit(area, "wareki");
    era->setReadOnly(true);
    gui::BindEdit(era, &DSstaff, "wareki");
    FollowSource(era, Tstaff->FieldByName("wareki"), Tstaff->FieldByName("SeinenYMD"));
    g->addWidget(era, 2, 2);
    NenreiLBL = new QLabel(area);
    NenreiLBL->setObjectName("NenreiLBL");
    g->addWidget(NenreiLBL, 2, 3);
    auto* reference = new QToolButton(area);
    reference->setObjectName("SpeedButton1");
    reference->setText("...");
    connect(reference, &QToolButton::clicked, this, [this] { SpeedButton1Click(); });
    g->addWidget(reference, 2, 4);
    SeibetuRG = new QGroupBox(QString::fromUtf8("性別"), area);
    SeibetuRG->setObjectName("SeibetuRG");
    SeibetuGroup = new QButtonGroup(SeibetuRG);
    auto* sex = new QHBoxLayout(SeibetuRG);
    for (int i = 0; i < 2; ++i) {
        auto* r = new QRadioButton(QString::fromUtf8(i == 0 ? "男" : "女"), SeibetuRG);
        r->setObjectName(i == 0 ? "SeibetuMale" : "SeibetuFemale");
        SeibetuGroup->addButton(r, i);
        sex->addWidget(r);
    }
    connect(SeibetuGroup, &QButtonGroup::idClicked, this, [this](int id) { SeibetuRGClick(id); });
    g->addWidget(SeibetuRG, 2, 5);
    Place(g, 3, 0, "〒", Edit(area, "Yubin"));
    Place(g, 3, 2, "（住所）", Edit(area, "Jyusyo1"));
    Place(g, 3, 4, "（建物等）", Edit(area, "Jyusyo2"));
    Place(g, 4, 0, "電話", Edit(area, "Tel"));
    Place(g, 4, 2, "Fax", Edit(area, "Fax"));
    Place(g, 4, 4, "携帯電話", Edit(area, "Keitai"));
    Place(g, 5, 0, "メール", Edit(area, "Mail"));
    Place(g, 5, 2, "携帯メール", Edit(area, "KeitaiMail"));
    Place(g, 6, 0, "部", BuCMB = Combo(area, "Bu", nullptr, 0));
    Place(g, 6, 2, "課", KaCMB = Combo(area, "Ka", nullptr, 0));
    Place(g, 6, 4, "係", KakariCMB = Combo(area, "Kakari", nullptr, 0));
    Place(g, 7, 0, "役職", YakusyokuCMB = Combo(area, "Yakusyoku", nullptr, 0));
    Place(g, 7, 2, "職員区分", SyokuinKBNCMB = Combo(area, "SyokuinKBN", nullptr, 0));
    Place(g, 7, 4, "部門コード", Edit(area, "BumonCD"));
    QComboBox* blood = Combo(area, "KetuekiGata", BloodTypes, 5);
    blood->setEditable(false);
    Place(g, 8, 0, "血液型", blood);
    QWidget *from = nullptr, *to = nullptr;
    Date(area, "KeiyakuYMDfrom", from);
    Date(area, "KeiyakuYMDto", to);
    Place(g, 8, 2, "契約期間", from);
    Place(g, 8, 4, "～", to);
    PhotoIMG = new QLabel(area);
    PhotoIMG->setObjectName("Photo");
    PhotoIMG->setFixedSize(129, 169);
    PhotoIMG->setFrameShape(QFrame::Box);
    PhotoIMG->setScaledContents(true);
    g->addWidget(new QLabel(QString::fromUtf8("写真"), area), 0, 7);
    g->addWidget(PhotoIMG, 1, 7, 6, 1);
    BitBtn1 = MakeButton(area, "BitBtn1", "スキャン", 0xC0C0C0, 0x808080);
    PasteBTN = MakeButton(area, "PasteBTN", "貼り付け", 0xC0C0C0, 0x808080);
    PasteBTN->hide();
    RirekiBTN = MakeButton(area, "RirekiBTN", "履歴書", 0xC0C0C0, 0x808080);
    g->addWidget(BitBtn1, 7, 7);
    g->addWidget(RirekiBTN, 8, 7);
    connect(BitBtn1, &QPushButton::clicked, this, [this] { BitBtn1Click(); });
    connect(RirekiBTN, &QPushButton::clicked, this, [this] { RirekiBTNClick(); });
}

void TFstaffDaityo::BuildPages() {
    // 本籍・保証人
    auto* page1 = new QWidget;
    QGridLayout* g = Grid(page1);
    Place(g, 0, 0, "本籍", Edit(page1, "Honseki1"));
    g->addWidget(Edit(page1, "Honseki2"), 1, 1);
    PageControl2 = new QTabWidget(page1);
    PageControl2->setObjectName("PageControl2");
    for (const char* n : {"1", "2"}) {
        auto* p = new QWidget;
        QGridLayout* pg = Grid(p);
        const std::string base = std::string("Hosyonin") + n;
        Place(pg, 0, 0, "氏名", Edit(p, base + "Simei"));
        Place(pg, 1, 0, "〒", Edit(p, base + "Yubin"));
        Place(pg, 2, 0, "（住所）", Edit(p, base + "Jyusyo1"));
        Place(pg, 3, 0, "（建物等）", Edit(p, base + "Jyusyo2"));
        Place(pg, 4, 0, "電話", Edit(p, base + "Tel"));
        PageControl2->addTab(p, QString::fromUtf8(*n == '1' ? "保証人（１）" : "保証人（２）"));
    }
    g->addWidget(PageControl2, 2, 0, 1, 2);
    PageControl1->addTab(page1, QString::fromUtf8("本籍・保証人"));

    // 口座情報
    auto* page2 = new QWidget;
    g = Grid(page2);
    const char* const captions[] = {"金融機関名", "店舗名", "貯金種目", "口座番号", "口座名義"};
    const char* const salary[] = {"Furikomi_KinyuKikan", "Furikomi_Tenpo", "Furikomi_Syumoku", "Furikomi_Koza",
                                  "Furikomi_KozaMeigi"};
    const char* const savings[] = {"Fututyo_KinyuKikan", "Fututyo_tenpo", "Fututyo_Syumoku", "Fututyo_Koza",
                                   "Fututyo_KozaMeigi"};
    g->addWidget(new QLabel(QString::fromUtf8("給与振込先口座"), page2), 0, 1);
    g->addWidget(new QLabel(QString::fromUtf8("普通貯金"), page2), 0, 3);
    for (int i = 0; i < 5; ++i) {
        QWidget* a = i == 2 ? static_cast<QWidget*>(Combo(page2, salary[i], AccountKinds, 4)) : Edit(page2, salary[i]);
        QWidget* b = i == 2 ? static_cast<QWidget*>(Combo(page2, savings[i], AccountKinds, 4)) : Edit(page2, savings[i]);
        Place(g, i + 1, 0, captions[i], a);
        Place(g, i + 1, 2, captions[i], b);
    }
    PageControl1->addTab(page2, QString::fromUtf8("口座情報"));
    PageControl1->addTab(BuildHistoryPage(), QString::fromUtf8("学歴・職歴"));

    // 住宅情報
    auto* page4 = new QWidget;
    g = Grid(page4);
    Place(g, 0, 0, "住宅区分", Combo(page4, "JyutakuKBN", Housing, 4));
    Place(g, 1, 0, "家賃", Edit(page4, "Yatin"));
    Place(g, 2, 0, "住宅手当", Edit(page4, "JyutakuTeate"));
    QWidget *start = nullptr, *end = nullptr;
    Date(page4, "MotiieSikyuS", start);
    Date(page4, "MotiieSikyuE", end);
    Place(g, 3, 0, "持家手当支給期間", start);
    Place(g, 3, 2, "～", end);
    PageControl1->addTab(page4, QString::fromUtf8("住宅情報"));

    // 社会保険
    auto* page5 = new QWidget;
    g = Grid(page5);
    Place(g, 0, 0, "基礎年金番号", Edit(page5, "KisoNenkin"));
    Place(g, 1, 0, "健康保険記号番号", Edit(page5, "KenkoHoken"));
    PageControl1->addTab(page5, QString::fromUtf8("社会保険"));
    PageControl1->addTab(BuildFamilyPage(), QString::fromUtf8("家族"));

    // 備考
    auto* page7 = new QWidget;
    auto* v = new QVBoxLayout(page7);
    auto* splitter = new QSplitter(Qt::Vertical, page7);
    for (const char* f : {"Biko", "GyomuNaiyo"}) {
        auto* box = new QWidget(splitter);
        auto* bv = new QVBoxLayout(box);
        bv->addWidget(new QLabel(QString::fromUtf8(*f == 'B' ? "備　考" : "従事する業務の内容"), box));
        auto* memo = new QPlainTextEdit(box);
        memo->setObjectName(QString(f) + "MEMO");
        gui::BindMemo(memo, &DSstaff, f);
        Editors[f] = memo;
        bv->addWidget(memo);
    }
    v->addWidget(splitter);
    PageControl1->addTab(page7, QString::fromUtf8("備考"));
}

QWidget* TFstaffDaityo::BuildHistoryPage() {
    auto* page = new QWidget;
    QGridLayout* g = Grid(page);
    Place(g, 0, 0, "最終学歴", Combo(page, "SaisyuGakureki", Schools, 9));
    const char* const dates[][2] = {{"SotugyoYMD", "卒業年月日"}, {"KariSaiyoYMD", "試採用日"},
                                    {"HonsaiyoYMD", "本採用日"}, {"TaisyokuYMD", "退職日"}};
    for (int i = 0; i < 4; ++i) {
        QWidget* row = nullptr;
        Date(page, dates[i][0], row);
        Place(g, i + 1, 0, dates[i][1], row);
    }
    Place(g, 5, 0, "退職理由", Edit(page, "TaisyokuRiyu"));
    GakurekiGrid = new TDBGridEx(page);
    GakurekiGrid->setObjectName("GakurekiGrid");
    GakurekiGrid->SetDataSource(&DSrireki);
    GakurekiGrid->SetRowSelect(true);
    GakurekiGrid->AddColumn("Seireki", {}, 46);
    GakurekiGrid->AddColumn("Wareki", {}, 59);
    GakurekiGrid->AddColumn("Tuki", {}, 26);
    GakurekiGrid->AddColumn("NAIYO", {}, 460);
    GakurekiGrid->FitColumns();
    // Titles at the left of their columns: the wide text column's title stays in sight.
    GakurekiGrid->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    g->addWidget(GakurekiGrid, 0, 2, 7, 1);
    auto* buttons = new QHBoxLayout;
    GakurekiaddBTN = MakeButton(page, "GakurekiaddBTN", "追　加", 0xFFFF6A, 0xAAAA00);
    GakurekiEditBTN = MakeButton(page, "GakurekiEditBTN", "修　正", 0x6AFFFF, 0x00AAAA);
    GakurekiDelBTN = MakeButton(page, "GakurekiDelBTN", "削　除", 0xFF6AFF, 0xAA00AA);
    for (auto* b : {GakurekiaddBTN, GakurekiEditBTN, GakurekiDelBTN}) buttons->addWidget(b);
    g->addLayout(buttons, 7, 2);
    connect(GakurekiaddBTN, &QPushButton::clicked, this, [this] { GakurekiaddBTNClick(); });
    connect(GakurekiEditBTN, &QPushButton::clicked, this, [this] { GakurekiEditBTNClick(); });
    connect(GakurekiDelBTN, &QPushButton::clicked, this, [this] { GakurekiDelBTNClick(); });
    return page;
}

QWidget* TFstaffDaityo::BuildFamilyPage() {
    auto* page = new QWidget;
    auto* v = new QVBoxLayout(page);
    KazokuGrid = new TDBGridEx(page);
    KazokuGrid->setObjectName("KazokuGrid");
    KazokuGrid->SetDataSource(&DSkazoku);
    KazokuGrid->SetRowSelect(true);
    const std::pair<const char*, int> columns[] = {{"Seq", 27},        {"Simei", 99},      {"Zokugara", 54},
                                                   {"Seibetu", 64},    {"SeinenYMD", 81},  {"Nenrei", 40},
                                                   {"HaigusyaKBN", 52}, {"FuyoKBN", 39},    {"DoukyoKBN", 38},
                                                   {"KisoNenkin", 64}, {"KenkoHoken", 64}};
    for (const auto& [name, width] : columns) KazokuGrid->AddColumn(name, {}, width);
    for (int flag = 6; flag <= 8; ++flag) KazokuGrid->SetColumnAlignment(flag, Qt::AlignHCenter);
    KazokuGrid->FitColumns();
    connect(KazokuGrid, &QAbstractItemView::doubleClicked, this, [this] { KazokuUpdBTNClick(); });
    v->addWidget(KazokuGrid);
    auto* buttons = new QHBoxLayout;
    KazokuAddBTN = MakeButton(page, "KazokuAddBTN", "追　加", 0xFFFF6A, 0xAAAA00);
    KazokuUpdBTN = MakeButton(page, "KazokuUpdBTN", "修　正", 0x6AFFFF, 0x00AAAA);
    KazokuDelBTN = MakeButton(page, "KazokuDelBTN", "削　除", 0xFF6AFF, 0xAA00AA);
    for (auto* b : {KazokuAddBTN, KazokuUpdBTN, KazokuDelBTN}) buttons->addWidget(b);
    v->addLayout(buttons);
    connect(KazokuAddBTN, &QPushButton::clicked, this, [this] { KazokuAddBTNClick(); });
    connect(KazokuUpdBTN, &QPushButton::clicked, this, [this] { KazokuUpdBTNClick(); });
    connect(KazokuDelBTN, &QPushButton::clicked, this, [this] { KazokuDelBTNClick(); });
    return page;
}

}  // namespace app

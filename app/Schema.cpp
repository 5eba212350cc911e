#include "app/Schema.h"

#include "components/KuraTable.h"
#include "platform/dataset/FieldDefs.h"

namespace app {

using kura::ftDate;
using kura::ftGraphic;
using kura::ftInteger;
using kura::ftMemo;
using kura::ftString;

namespace {

TColumnSpec Chr(const char* name, int size, bool notNull = false) {
    return {name, "CHARACTER(" + std::to_string(size) + ")", ftString, size, notNull};
}
TColumnSpec Int(const char* name, bool notNull = false) { return {name, "INTEGER", ftInteger, 0, notNull}; }
TColumnSpec Date(const char* name) { return {name, "DATE", ftDate, 0, false}; }
TColumnSpec Memo(const char* name) { return {name, "MEMO", ftMemo, 0, false}; }
TColumnSpec Graphic(const char* name) { return {name, "BLOB(0,5)", ftGraphic, 0, false}; }

bool HasField(const std::vector<std::string>& names, const char* name) {
    for (const auto& n : names)
        if (kura::SameText(n, name)) return true;
    return false;
}

}  // namespace

const TTableSpec& StaffSpec() {
    static const TTableSpec spec{
        "Staff",
        {Int("StaffCD", true),
         Chr("Simei", 20, true),
         Chr("Furigana", 20),
         Chr("Kyusei", 30),
         Chr("Seibetu", 4),
         Date("SeinenYMD"),
         Chr("KetuekiGata", 2),
         Chr("Yubin", 8),
         Chr("Jyusyo1", 40),
         Chr("Jyusyo2", 40),
         Chr("Tel", 12),
         Chr("Fax", 12),
         Chr("Keitai", 13),
         Chr("Mail", 40),
         Chr("KeitaiMail", 40),
         Chr("Honseki1", 40),
         Chr("Honseki2", 40),
         Chr("SaisyuGakureki", 10),
         Date("SotugyoYMD"),
         Chr("SyokuinKBN", 10),
         Date("KeiyakuYMDfrom"),
         Date("KeiyakuYMDto"),
         Chr("BumonCD", 10),
         Chr("Bu", 10),
         Chr("Ka", 10),
         Chr("Kakari", 10),
         Chr("Yakusyoku", 10),
         Chr("Furikomi_KinyuKikan", 20),
         Chr("Furikomi_Tenpo", 20),
         Chr("Furikomi_Syumoku", 4),
         Chr("Furikomi_Koza", 7),
         Chr("Furikomi_KozaMeigi", 40),
         Chr("Fututyo_KinyuKikan", 20),
         Chr("Fututyo_tenpo", 20),
         Chr("Fututyo_Syumoku", 4),
         Chr("Fututyo_Koza", 7),
         Chr("Fututyo_KozaMeigi", 40),
         Date("KariSaiyoYMD"),
         Date("HonsaiyoYMD"),
         Date("TaisyokuYMD"),
         Chr("TaisyokuRiyu", 40),
         Chr("JyutakuKBN", 4),
         Int("Yatin"),
         Int("JyutakuTeate"),
         Date("MotiieSikyuS"),
         Date("MotiieSikyuE"),
         Chr("Hosyonin1Simei", 20),
         Chr("Hosyonin1Yubin", 8),
         Chr("Hosyonin1Jyusyo1", 40),
         Chr("Hosyonin1Jyusyo2", 40),
         Chr("Hosyonin1Tel", 12),
         Chr("Hosyonin2Simei", 20),
         Chr("Hosyonin2Yubin", 8),
         Chr("Hosyonin2Jyusyo1", 40),
         Chr("Hosyonin2Jyusyo2", 40),
         Chr("Hosyonin2Tel", 12),
         Graphic("Photo"),
         Memo("Biko"),
         Memo("GyomuNaiyo"),
         Chr("KisoNenkin", 12),
         Chr("KenkoHoken", 20)},
        {"StaffCD"},
        ""};
    return spec;
}

const TTableSpec& GakurekiSpec() {
    static const TTableSpec spec{"Gakureki", {Int("StaffCD", true), Date("YMD"), Chr("NAIYO", 60)}, {"StaffCD", "YMD"}, ""};
    return spec;
}

const TTableSpec& KazokuSpec() {
    static const TTableSpec spec{"Kazoku",
                                 {Int("StaffCD", true), Int("Seq", true), Chr("Simei", 20, true), Chr("Furigana", 30),
                                  Chr("Seibetu", 4), Date("SeinenYMD"), Chr("Zokugara", 12), Int("HaigusyaKBN"),
                                  Int("FuyoKBN"), Int("DoukyoKBN"), Chr("KisoNenkin", 12), Chr("KenkoHoken", 20)},
                                 {"StaffCD", "Seq"},
                                 ""};
    return spec;
}

const TTableSpec& RirekisyoSpec() {
    static const TTableSpec spec{"Rirekisyo",
                                 {Int("StaffCD", true), Graphic("Rirekisyo1"), Graphic("Rirekisyo2")},
                                 {"StaffCD"},
                                 "Rirekisyo"};
    return spec;
}

const TTableSpec* SpecOf(const std::string& tableName) {
    for (const TTableSpec* spec : {&StaffSpec(), &GakurekiSpec(), &KazokuSpec(), &RirekisyoSpec()})
        if (kura::SameText(spec->Name, tableName)) return spec;
    return nullptr;
}

namespace {

// The primary key as both statements write it.
std::string KeyClause(const TTableSpec& spec) {
    std::string key = "PRIMARY KEY (";
    for (std::size_t i = 0; i < spec.Key.size(); ++i) key += (i ? ", \"" : "\"") + spec.Key[i] + "\"";
    return key + ") COMPRESS NONE";
}

}  // namespace

std::vector<std::string> CreationText(const TTableSpec& spec) {
    std::vector<std::string> lines;
    lines.push_back("CREATE TABLE IF NOT EXISTS \"" + spec.Name + "\"");
    lines.push_back("(");
    for (const auto& c : spec.Columns)
        lines.push_back("   \"" + c.Name + "\" " + c.SqlType + (c.NotNull ? " NOT NULL" : "") + ",");
    lines.push_back("   " + KeyClause(spec));
    if (!spec.Description.empty()) lines.push_back("   DESCRIPTION '" + spec.Description + "'");
    lines.push_back("   LANGUAGE \"ANSI Standard\" SORT \"Default Order\"");
    lines.push_back("   USER MAJOR VERSION 1");
    lines.push_back(");");
    return lines;
}

std::vector<std::string> KeyRebuildText(const TTableSpec& spec) {
    return {"ALTER TABLE \"" + spec.Name + "\"", "REDEFINE " + KeyClause(spec), "NOBACKUP"};
}

std::vector<std::string> StaffUpgradeText() {
    return {"ALTER TABLE \"Staff\" ", "ADD \"Furikomi_KozaMeigi\" CHARACTER(40),", "ADD \"Fututyo_KozaMeigi\" CHARACTER(40)"};
}

std::vector<std::string> GakurekiUpgradeText() {
    return {"ALTER TABLE \"Gakureki\" ", "REDEFINE \"NAIYO\" CHARACTER(60),", "ADD \"V102\"      CHARACTER(1)"};
}

void DefineTable(kura::TKuraTable& table, const TTableSpec& spec) {
    table.FieldDefs().Clear();
    for (const auto& c : spec.Columns) table.FieldDefs().Add(c.Name, c.Type, c.Size, c.NotNull);
    table.IndexDefs().Clear();
    std::string key;
    for (const auto& k : spec.Key) key += (key.empty() ? "" : ";") + k;
    table.IndexDefs().Add("", key, kura::ixPrimary | kura::ixUnique);
}

std::string JoinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) text += line + "\r\n";
    return text;
}

bool StaffNeedsUpgrade(const std::vector<std::string>& names) { return !HasField(names, "Furikomi_KozaMeigi"); }
bool GakurekiNeedsUpgrade(const std::vector<std::string>& names) { return !HasField(names, "V102"); }

}  // namespace app

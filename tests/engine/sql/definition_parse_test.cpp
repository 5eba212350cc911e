#include "SqlTestSupport.h"

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/files/FieldTypes.h"

using namespace kura;
using namespace kura::sqltest;

namespace {

std::string DescribeField(TCreateField& f) {
    f.LoadFromToken(f.FieldNumber);
    std::string s = f.Add ? "+" : f.Redefine ? "~" : f.Drop ? "-" : "";
    s += f.ColumnName;
    if (!f.NewColumnName.empty()) s += ">" + f.NewColumnName;
    if (f.TypeGiven) {
        s += " " + std::to_string(f.FieldType) + "/" + std::to_string(f.FieldSubtype);
        if (f.Size) s += " size " + std::to_string(f.Size);
        if (f.Decimals) s += " dec " + std::to_string(f.Decimals);
    }
    if (f.AtPosition) s += " at " + std::to_string(f.AtPosition);
    if (!f.Description.empty()) s += " desc[" + f.Description + "]";
    if (f.NotNull) s += " notnull";
    if (!f.DefaultText.empty()) s += " default[" + f.DefaultText + "]";
    if (!f.MinimumText.empty()) s += " min[" + f.MinimumText + "]";
    if (!f.MaximumText.empty()) s += " max[" + f.MaximumText + "]";
    if (f.CharCase) s += " case " + std::to_string(f.CharCase);
    const int given = f.DescriptionGiven + f.NotNullGiven + f.DefaultGiven + f.MinimumGiven + f.MaximumGiven + f.CharCaseGiven;
    if (given) s += " given " + std::to_string(given);
    return s;
}

std::string DescribeIndex(const TCreateIndex& i) {
    std::string s = i.Add ? "+" : i.Redefine ? "~" : i.Drop ? "-" : "";
    s += i.IndexName + "(";
    for (int32_t n = 0; n < i.ColumnNames.Count(); ++n) s += (n ? "," : "") + i.ColumnNames[n];
    s += ")";
    if (i.Unique) s += " unique";
    if (i.Descending) s += " desc";
    if (i.NoCase) s += " nocase";
    if (i.Compression) s += " compress " + std::to_string(i.Compression);
    return s;
}

std::string DescribeDefinition(std::string_view text) {
    SqlOutcome r = ParseSql(text);
    if (r.Code) return "error: " + r.Message;
    TDataQuery& q = *r.Master();
    std::string s(StatementName(q.Kind));
    if (q.IfExists) s += " ifexists";
    if (q.IfNotExists) s += " ifnotexists";
    for (const auto& t : q.SourceTables) {
        s += std::string(" table[") + (t->InMemory ? "mem:" : "") + (t->Database.empty() || t->InMemory ? "" : t->Database + "\\") +
             t->TableName + "]";
    }
    for (auto& f : q.CreateFields) s += " {" + DescribeField(*f) + "}";
    for (const auto& i : q.CreateIndexes) s += " key{" + DescribeIndex(*i) + "}";
    if (q.TextIndex) s += " text{" + DescribeIndex(*q.TextIndex) + "}";
    if (q.StopWordsGiven) {
        s += " stop[";
        for (int32_t n = 0; n < q.StopWords.Count(); ++n) s += (n ? "|" : "") + q.StopWords[n];
        s += "]";
    }
    if (q.SpaceChars.any()) s += " spaces " + std::to_string(q.SpaceChars.count());
    if (q.IncludeChars.any()) s += " includes " + std::to_string(q.IncludeChars.count());
    if (q.DescriptionGiven) s += " desc[" + q.Description + "]";
    if (q.BlobBlockSizeGiven) s += " block " + std::to_string(q.BlobBlockSize);
    if (q.LanguageGiven) s += " lang " + std::to_string(q.LanguageId);
    if (q.EncryptionGiven) s += " password[" + q.Password + "]";
    if (q.MajorVersionGiven || q.MinorVersionGiven) {
        s += " version " + std::to_string(q.UserMajorVersion) + "." + std::to_string(q.UserMinorVersion);
    }
    if (q.LastAutoInc >= 0) s += " last " + std::to_string(q.LastAutoInc);
    if (q.NoBackup) s += " nobackup";
    if (q.CommitFlush) s += " flush";
    return s;
}

struct ModelCase {
    const char* Text;
    const char* Model;
};

const ModelCase DefinitionCases[] = {
    {"CREATE TABLE IF NOT EXISTS \"Staff\" ( \"StaffCD\" INTEGER NOT NULL, \"Simei\" CHARACTER(20) NOT NULL, "
     "\"Photo\" BLOB(0,5), \"Biko\" MEMO, PRIMARY KEY (\"StaffCD\") COMPRESS NONE LANGUAGE \"ANSI Standard\" "
     "SORT \"Default Order\" USER MAJOR VERSION 1 );",
     "CREATE TABLE ifnotexists table[Staff] {StaffCD 6/0 notnull} {Simei 1/0 size 20 notnull} {Photo 3/26} "
     "{Biko 3/22} key{(StaffCD)} lang 0 version 1.0"},
    {"CREATE TABLE t (a INTEGER DEFAULT -1, b VARCHAR(5) DESCRIPTION 'the b' DEFAULT 'x' MIN 'a' MAX 'z' "
     "CHARCASE UPPER, c DECIMAL(10, 2) MINIMUM +0.5 MAXIMUM 1e3, d DATE DEFAULT CURRENT_DATE, e BOOLEAN DEFAULT TRUE)",
     "CREATE TABLE table[t] {a 6/0 default[-1]} {b 1/0 size 5 desc[the b] default[x] min[a] max[z] case 2} "
     "{c 8/0 dec 2 min[+0.5] max[1e3]} {d 2/0 default[CURRENT_DATE]} {e 4/0 default[TRUE]}"},
    {"create table MEMORY tmp (Count INTEGER, Min BYTES(8), Year SMALLINT)",
     "CREATE TABLE table[mem:tmp] {Count 6/0} {Min 9/0 size 8} {Year 5/0}"},
    {"CREATE TABLE t (a INTEGER, CONSTRAINT pk UNIQUE DESC NOCASE PRIMARY KEY (a) COMPRESS FULL "
     "TEXT INDEX (b, c) STOP WORDS 'a  the of' SPACE CHARS ' -' INCLUDE CHARS '@' DESCRIPTION 'people' "
     "BLOB BLOCK SIZE 1024 ENCRYPTED WITH 'secret' USER MINOR VERSION 3 USER MAJOR VERSION 2 LAST AUTOINC 100)",
     "CREATE TABLE table[t] {a 6/0} key{(a) unique desc nocase compress 3} text{(b,c) compress 3} stop[a|the|of] "
     "spaces 2 includes 1 desc[people] block 1024 password[secret] version 2.3 last 100"},
    {"ALTER TABLE \"Gakureki\" REDEFINE \"NAIYO\" CHARACTER(60), ADD \"V102\" CHARACTER(1)",
     "ALTER TABLE table[Gakureki] {~NAIYO 1/0 size 60} {+V102 1/0 size 1}"},
    {"ALTER TABLE t ADD a INTEGER AT 0, ADD COLUMN b DATE AT 2 NOT NULL DEFAULT '2001-01-01', DROP c, DROP COLUMN d",
     "ALTER TABLE table[t] {+a 6/0} {+b 2/0 at 2 notnull default[2001-01-01] given 2} {-c} {-d}"},
    {"ALTER TABLE t REDEFINE a b VARCHAR(9) DESCRIPTION 'x', REDEFINE c MAX 10, REDEFINE e f",
     "ALTER TABLE table[t] {~a>b 1/0 size 9 desc[x] given 1} {~c max[10] given 1} {~e>f}"},
    {"ALTER TABLE t DROP CONSTRAINT pk PRIMARY KEY, ADD PRIMARY KEY (a, b), REDEFINE CONSTRAINT x UNIQUE PRIMARY KEY (a), "
     "LANGUAGE 'ANSI Standard' NOBACKUP",
     "ALTER TABLE table[t] key{-()} key{+(a,b)} key{~(a) unique} lang 0 nobackup"},
    {"CREATE UNIQUE NOCASE INDEX IF NOT EXISTS ix ON t (a, b) COMPRESS FULL",
     "CREATE INDEX ifnotexists table[t] key{ix(a,b) unique nocase compress 3}"},
    {"CREATE DESCENDING INDEX \"By Name\" ON MEMORY db\\t ('Name')", "CREATE INDEX table[mem:db\\t] key{By Name(Name) desc}"},
    {"DROP TABLE IF EXISTS MEMORY t", "DROP TABLE ifexists table[mem:t]"},
    {"DROP TABLE 'c:/db/staff.dat'", "DROP TABLE table[c:\\db\\staff]"},
    {"DROP INDEX t.ix", "DROP INDEX table[t] key{-ix()}"},
    {"DROP INDEX IF EXISTS MEMORY t.PRIMARY", "DROP INDEX ifexists table[mem:t] key{-PRIMARY()}"},
    {"DROP INDEX 'c:\\db'\\t.ix", "DROP INDEX table[c:\\db\\t] key{-ix()}"},
    {"START TRANSACTION", "START TRANSACTION"},
    {"ROLLBACK WORK;", "ROLLBACK"},
    {"COMMIT", "COMMIT"},
    {"COMMIT WORK FLUSH", "COMMIT flush"},
};

TEST(DefinitionParse, ModelOfEveryForm) {
    PoolScope pool;
    for (const ModelCase& c : DefinitionCases) {
        EXPECT_EQ(DescribeDefinition(c.Text), c.Model) << c.Text;
    }
    EXPECT_EQ(pool.Outstanding(), 0);
}

TEST(DefinitionParse, DefaultsOfAFreshQuery) {
    TQueryStatement statement;
    TDataQuery query(&statement);
    EXPECT_EQ(query.Top, -1);
    EXPECT_EQ(query.RowLimit, -1);
    EXPECT_EQ(query.BlobBlockSize, 512);
    EXPECT_EQ(query.UserMajorVersion, 1);
    EXPECT_EQ(query.UserMinorVersion, 0);
    EXPECT_EQ(query.LastAutoInc, -1);
    EXPECT_EQ(query.UnionAll, 1);
    EXPECT_EQ(query.OrderIndex, 255);
    EXPECT_FALSE(query.TextIndex);
}

TEST(DefinitionParse, ResetClearsEverythingOfTheLastParse) {
    TQueryStatement statement;
    statement.ParseFirst(
        "CREATE TABLE t (a MEMO, TEXT INDEX (a) STOP WORDS 'x y' SPACE CHARS ' ' INCLUDE CHARS '@' "
        "LANGUAGE 'ANSI Standard' ENCRYPTED WITH 'pw')");
    TDataQuery& q = *statement.MasterQuery();
    ASSERT_TRUE(q.TextIndex);
    q.Reset();
    EXPECT_EQ(q.LanguageGiven, 0);
    EXPECT_EQ(q.Password, "");
    EXPECT_EQ(q.EncryptionGiven, 0);
    EXPECT_FALSE(q.SpaceChars.any());
    EXPECT_FALSE(q.IncludeChars.any());
    EXPECT_EQ(q.StopWords.Count(), 0);
    EXPECT_FALSE(q.TextIndex);
    EXPECT_TRUE(q.CreateFields.empty());
    EXPECT_TRUE(q.SourceTables.empty());
}

TEST(DefinitionParse, DefinitionTokenSizes) {
    SqlOutcome r = ParseSql("CREATE TABLE t (a CHAR(20), b DECIMAL(12, 4), c VARBYTES(7), d FLOAT)");
    ASSERT_EQ(r.Message, "");
    auto& fields = r.Master()->CreateFields;
    ASSERT_EQ(fields.size(), 4u);
    EXPECT_EQ(fields[0]->Definition->DataSize, 21);
    EXPECT_EQ(fields[1]->Definition->Scale, 4);
    fields[1]->LoadFromToken(2);
    EXPECT_EQ(fields[1]->FieldNumber, 2);
    EXPECT_EQ(fields[1]->Decimals, 4);
    fields[2]->LoadFromToken(3);
    EXPECT_EQ(fields[2]->Size, 7);
    fields[3]->LoadFromToken(4);
    EXPECT_EQ(fields[3]->FieldType, fldFLOAT);
    EXPECT_EQ(fields[3]->Size, 0);
}

TEST(DefinitionParse, TableAccessAnnouncedPerStatementKind) {
    TDataSession session;
    TDataDirectory* memory = session.OpenDataDirectory("Memory", "");
    ASSERT_NE(memory, nullptr);
    TDataCursor cursor(memory);
    std::vector<int32_t> seen;
    session.SetTableAccessEvent([&](TDataCursor* c, uint8_t access) {
        EXPECT_EQ(c, &cursor);
        seen.push_back(access);
        return 0;
    });
    const char* const texts[] = {"SELECT a FROM t",         "INSERT INTO t VALUES (1)", "UPDATE t SET a = 1",
                                 "DELETE FROM t",           "CREATE TABLE t (a INTEGER)", "ALTER TABLE t DROP a",
                                 "DROP TABLE t",            "CREATE INDEX i ON t (a)",  "DROP INDEX t.i",
                                 "START TRANSACTION",       "ROLLBACK",                 "COMMIT"};
    for (const char* text : texts) {
        SqlOutcome r = ParseSql(text);
        ASSERT_EQ(r.Message, "") << text;
        r.Master()->NotifyTableAccess(&cursor);
    }
    EXPECT_EQ(seen, (std::vector<int32_t>{taSelect, taInsert, taUpdate, taDelete, taCreate, taAlter, taDrop, taCreate,
                                          taDrop}));
}

}  // namespace

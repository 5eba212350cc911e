#include "engine/errors/EngineErrors.h"
#include "engine/errors/JournalReports.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/LastError.h"

using namespace kura;

namespace {

// Raises and hands back the exception, so tests can look at what callers see.
EKuraEngineError Raised(uint32_t code, std::string_view server = {}, std::string_view user = {},
                        std::string_view database = {}, std::string_view table = {}, std::string_view field = {},
                        std::string_view index = {}, std::string_view message = {}) {
    try {
        RaiseEngineError(code, server, user, database, table, field, index, message);
    } catch (const EKuraEngineError& e) {
        return e;
    }
    ADD_FAILURE() << "RaiseEngineError returned";
    return EKuraEngineError(code);
}

struct Known {
    TEngineErrorCode code;
    const char* name;
};

// Every code that exists; the table must hold each exactly once with a name.
const Known AllCodes[] = {
    {0, "KURA_NONE"}, {8705, "KURA_BOF"}, {8706, "KURA_EOF"}, {8708, "KURA_KEYORRECDELETED"},
    {8709, "KURA_NOCURRREC"}, {8710, "KURA_RECNOTFOUND"}, {8711, "KURA_ENDOFBLOB"},
    {8961, "KURA_HEADERCORRUPT"}, {8962, "KURA_FILECORRUPT"}, {8963, "KURA_MEMOCORRUPT"},
    {8965, "KURA_INDEXCORRUPT"}, {9217, "KURA_READERR"}, {9218, "KURA_WRITEERR"},
    {9220, "KURA_FILEDELETEFAIL"}, {9221, "KURA_FILENOACCESS"}, {9477, "KURA_RECTOOBIG"},
    {9479, "KURA_TABLEFULL"}, {9482, "KURA_INTERNALLIMIT"}, {9487, "KURA_INDEXLIMIT"},
    {9492, "KURA_FLDLIMIT"}, {9494, "KURA_OPENBLOBLIMIT"}, {9498, "KURA_BLOBLIMIT"},
    {9729, "KURA_KEYVIOL"}, {9730, "KURA_MINVALERR"}, {9731, "KURA_MAXVALERR"}, {9732, "KURA_REQDERR"},
    {9985, "KURA_OUTOFRANGE"}, {9993, "KURA_PRIMARYKEYREDEFINE"}, {9998, "KURA_INVALIDBLOBOFFSET"},
    {10000, "KURA_INVALIDFLDTYPE"}, {10006, "KURA_INVALIDVCHKSTRUCT"}, {10010, "KURA_INDEXNAMEREQUIRED"},
    {10015, "KURA_INVALIDPASSWORD"}, {10022, "KURA_INVALIDINDEXNAME"}, {10023, "KURA_INVALIDIDXDESC"},
    {10026, "KURA_INVALIDKEY"}, {10027, "KURA_INDEXEXISTS"}, {10029, "KURA_INVALIDBLOBLEN"},
    {10030, "KURA_INVALIDBLOBHANDLE"}, {10031, "KURA_TABLEOPEN"}, {10038, "KURA_INVALIDFIELDNAME"},
    {10050, "KURA_NOSUCHFILTER"}, {10051, "KURA_INVALIDFILTER"}, {10055, "KURA_INVALIDINDEXDELETE"},
    {10241, "KURA_LOCKED"}, {10242, "KURA_UNLOCKFAILED"}, {10249, "KURA_LOCKTIMEOUT"},
    {10253, "KURA_NEEDEXCLACCESS"}, {10258, "KURA_RECLOCKFAILED"}, {10498, "KURA_NOTSUFFTABLERIGHTS"},
    {10753, "KURA_NOTABLOB"}, {10758, "KURA_NOTINITIALIZED"}, {11010, "KURA_OSENOENT"},
    {11012, "KURA_OSEMFILE"}, {11013, "KURA_OSEACCES"}, {11014, "KURA_OSEBADF"}, {11016, "KURA_OSENOMEM"},
    {11017, "KURA_OSEINVMEM"}, {11023, "KURA_OSENODEV"}, {11025, "KURA_OSENOTSAM"},
    {11047, "KURA_OSUNKNOWN"}, {11276, "KURA_REMOTECOMMLOST"}, {11279, "KURA_REMOTEUNKNOWN"},
    {11280, "KURA_REMOTECONNECT"}, {11281, "KURA_REMOTENOLOGIN"}, {11282, "KURA_REMOTEMAXCONNECT"},
    {11283, "KURA_REMOTEADDRESSBLOCK"}, {11284, "KURA_REMOTECALLBACK"}, {11285, "KURA_REMOTECALLBACKERR"},
    {11286, "KURA_REMOTEVERSION"}, {11287, "KURA_REMOTEINVLOGIN"}, {11288, "KURA_REMOTENOTAUTH"},
    {11289, "KURA_REMOTENOTADMIN"}, {11290, "KURA_REMOTEINVUSER"}, {11291, "KURA_REMOTENOUSER"},
    {11292, "KURA_REMOTEDUPUSER"}, {11293, "KURA_REMOTEINVDB"}, {11294, "KURA_REMOTENODB"},
    {11295, "KURA_REMOTEDUPDB"}, {11296, "KURA_REMOTEINVDBUSER"}, {11297, "KURA_REMOTENODBUSER"},
    {11298, "KURA_REMOTEDUPDBUSER"}, {11299, "KURA_REMOTEINVREQUEST"}, {11300, "KURA_IMPORTERROR"},
    {11301, "KURA_EXPORTERROR"}, {11949, "KURA_SQLPARSE"}, {12035, "KURA_OLDVERSION"},
    {12292, "KURA_SEARCHCOLREQD"}, {13060, "KURA_TABLEEXISTS"}, {15001, "KURA_COMPRESS"},
    {15002, "KURA_UNCOMPRESS"}, {15878, "KURA_CANNOTLOADLDDRV"},
};

}  // namespace

TEST(EngineErrorTable, EveryCodeHasItsNameAndAMessage) {
    ASSERT_EQ(std::size(AllCodes), 92u);
    std::set<std::string> texts;
    for (const auto& k : AllCodes) {
        EXPECT_EQ(GetEngineErrorName(k.code), k.name) << k.code;
        // Filling every slot shows that no message keeps a placeholder of its own.
        SetEngineErrorContext(k.code, 1, 2, "srv", "usr", "db", "TBL", "FLD", "IDX", "MSG");
        std::string text = GetEngineErrorMessage(k.code);
        EXPECT_FALSE(text.empty());
        EXPECT_EQ(text.find("%s"), std::string::npos) << k.code;
        texts.insert(text);
    }
    // 90 texts of their own plus the fallback that 0 and 11284 share.
    EXPECT_EQ(texts.size(), 91u);
    for (const TEngineErrorCode none : {4464, 8966, 8967}) EXPECT_EQ(GetEngineErrorName(none), "") << none;
    EXPECT_EQ(GetEngineErrorName(70000), "");
}

TEST(EngineErrorTable, PositionAndLockMessagesNameTheTable) {
    EXPECT_STREQ(Raised(KURA_BOF, "", "", "", "STAFF").what(),
                 "Kura Engine Error # 8705 Beginning of table 'STAFF' unexpectedly encountered");
    EXPECT_STREQ(Raised(KURA_RECNOTFOUND, "", "", "", "Kazoku").what(),
                 "Kura Engine Error # 8710 Record not found in the table 'Kazoku'");
    EXPECT_STREQ(Raised(KURA_RECLOCKFAILED, "", "", "", "STAFF").what(),
                 "Kura Engine Error # 10258 Record in the table 'STAFF' is in use by another user");
    EXPECT_STREQ(Raised(KURA_LOCKTIMEOUT, "", "", "", "STAFF").what(),
                 "Kura Engine Error # 10249 General lock failure with the table 'STAFF'");
}

TEST(EngineErrorTable, CorruptionAndFileMessages) {
    EXPECT_STREQ(Raised(KURA_HEADERCORRUPT, "", "", "", "Staff").what(),
                 "Kura Engine Error # 8961 Header information corrupt in the table 'Staff'");
    EXPECT_STREQ(Raised(KURA_INDEXCORRUPT, "", "", "", "Staff").what(),
                 "Kura Engine Error # 8965 Index page buffers corrupt in the table 'Staff'");
    EXPECT_STREQ(Raised(KURA_READERR, "", "", "", "Staff").what(),
                 "Kura Engine Error # 9217 Error reading from the table 'Staff'");
    EXPECT_STREQ(Raised(KURA_OSEACCES, "", "", "", "Staff").what(),
                 "Kura Engine Error # 11013 Access denied to table 'Staff'");
}

TEST(EngineErrorTable, ArgumentsFollowTheirOwnOrder) {
    // Index before table, field before index before table, message after table.
    EXPECT_STREQ(Raised(KURA_KEYVIOL, "", "", "", "STAFF", "", "ByName").what(),
                 "Kura Engine Error # 9729 Duplicate key found in the index 'ByName' of the table 'STAFF'");
    EXPECT_STREQ(Raised(KURA_INVALIDIDXDESC, "", "", "", "STAFF", "7", "ByName").what(),
                 "Kura Engine Error # 10023 Invalid field number '7' specified in the index 'ByName' for the "
                 "table 'STAFF'");
    EXPECT_STREQ(Raised(KURA_INVALIDFILTER, "", "", "", "STAFF", "", "", "bad token").what(),
                 "Kura Engine Error # 10051 Filter error for the table 'STAFF' - bad token");
    EXPECT_STREQ(Raised(KURA_REMOTENOTAUTH, "host", "taro", "Personnel").what(),
                 "Kura Engine Error # 11288 The user 'taro' is not authorized to perform this operation with "
                 "the database 'Personnel' on the database server at 'host'");
    EXPECT_STREQ(Raised(KURA_SQLPARSE, "", "", "", "", "", "", "Expected FROM").what(),
                 "Kura Engine Error # 11949 SQL error - Expected FROM");
}

TEST(EngineErrorRaise, CodeIsTakenAsItsLow16Bits) {
    auto e = Raised(70000);
    EXPECT_EQ(e.ErrorCode(), 4464);
    EXPECT_STREQ(e.what(), "Kura Engine Error # 4464 An unknown error occurred");
    EXPECT_STREQ(Raised(KURA_REMOTECALLBACK, "srv").what(), "Kura Engine Error # 11284 An unknown error occurred");
    EXPECT_STREQ(Raised(KURA_NONE).what(), "Kura Engine Error # 0 An unknown error occurred");
}

TEST(EngineErrorRaise, OperatingSystemAndSocketErrorsAreCaptured) {
    platform::SetLastError(5);
    platform::WSASetLastError(10061);
    auto e = Raised(KURA_OSUNKNOWN, "", "", "", "STAFF");
    EXPECT_STREQ(e.what(), "Kura Engine Error # 11047 An unknown operating system error 5 occurred with the table 'STAFF'");
    EXPECT_EQ(e.OSErrorCode(), 5);
    EXPECT_EQ(e.SocketErrorCode(), 10061);
    EXPECT_EQ(GetEngineErrorContext(ctxOSError), "5");
    EXPECT_EQ(GetEngineErrorContext(ctxSocketError), "10061");
    platform::SetLastError(0);
    platform::WSASetLastError(0);
}

TEST(EngineErrorRaise, ContextSlotsAreKeptAndBounded) {
    std::string longName(300, 'x');
    auto e = Raised(KURA_OUTOFRANGE, "s", "u", "d", "t", longName, "i", "m");
    EXPECT_EQ(e.ErrorContext(ctxServer), "s");
    EXPECT_EQ(e.ErrorContext(ctxUser), "u");
    EXPECT_EQ(e.ErrorContext(ctxDatabase), "d");
    EXPECT_EQ(e.ErrorContext(ctxTable), "t");
    EXPECT_EQ(e.ErrorContext(ctxField), std::string(255, 'x'));
    EXPECT_EQ(e.ErrorContext(ctxIndex), "i");
    EXPECT_EQ(e.ErrorContext(ctxMessage), "m");
    EXPECT_EQ(e.ErrorContext(7), "");
    EXPECT_EQ(GetEngineErrorContext(9), "");
    EXPECT_EQ(GetEngineErrorContext(-1), "");
    // Long context gives a message cut to 254 bytes.
    EXPECT_EQ(GetEngineErrorMessage(KURA_OUTOFRANGE).size(), 254u);
    // Cut on whole characters (長 is 92 B7): the slot keeps 127 of them, the message
    // ("Table '", 7 bytes, then the table) 123.
    std::string longJapanese;
    for (int i = 0; i < 150; ++i) longJapanese += "\x92\xB7";
    const auto cut = Raised(KURA_OSENOENT, "", "", "", longJapanese);
    EXPECT_EQ(cut.ErrorContext(ctxTable), longJapanese.substr(0, 254));
    EXPECT_EQ(GetEngineErrorMessage(KURA_OSENOENT), "Table '" + longJapanese.substr(0, 246));

    // A new raise clears slots the earlier one set.
    auto second = Raised(KURA_TABLEEXISTS, "", "", "", "Gakureki");
    EXPECT_EQ(second.ErrorContext(ctxField), "");
    EXPECT_EQ(GetEngineErrorContext(ctxServer), "");
    ClearEngineErrorContext();
    EXPECT_EQ(GetEngineErrorContext(ctxTable), "");
    EXPECT_EQ(GetEngineErrorContext(ctxOSError), "0");
}

// The engine writes paths with either separator; its messages show them as the
// system writes them, a double-byte character whose second byte is that of "\"
// (表, 95 5C) left whole.
TEST(EngineErrorRaise, PathsAreShownAsTheSystemWritesThem) {
    auto e = Raised(KURA_WRITEERR, "", "", "C:\\data\\", "data\\sub\\\x95\x5C.DAT");
    EXPECT_EQ(e.ErrorContext(ctxTable), "data/sub/\x95\x5C.DAT");
    EXPECT_EQ(e.ErrorContext(ctxDatabase), "C:/data/");
    EXPECT_STREQ(e.what(), "Kura Engine Error # 9218 Error writing to the table 'data/sub/\x95\x5C.DAT'");
    // Other slots are text, not paths.
    EXPECT_EQ(Raised(KURA_INVALIDFILTER, "", "", "", "T", "", "", "a\\b").ErrorContext(ctxMessage), "a\\b");
    // Advice follows the text only when the raise gives it.
    EXPECT_STREQ(Raised(KURA_HEADERCORRUPT, "", "", "", "T.JNL").what(),
                 "Kura Engine Error # 8961 Header information corrupt in the table 'T.JNL'");
    EXPECT_STREQ(Raised(KURA_HEADERCORRUPT, "", "", "", "T.JNL", "", "", "do this").what(),
                 "Kura Engine Error # 8961 Header information corrupt in the table 'T.JNL' - do this");
    EXPECT_STREQ(Raised(KURA_OSEACCES, "", "", "", "T.JNS", "", "", "do that").what(),
                 "Kura Engine Error # 11013 Access denied to table 'T.JNS' - do that");
}

// Each way out the recovery of a cut commit names reads back as what it is, with the
// tables or the file it names whole (a bare record beside the journal, in the longest
// folder the program accepts too); a way out whose names would not fit its slot whole
// is said as the one that needs none. Any other error (or another code with the same
// text) is none of them.
TEST(EngineErrorRaise, TheWaysOutOfACutCommitReadBackAsTheirKind) {
    using R = TJournalReport;
    const std::string longName(240, 'L'), setAside(kJournalSetAside), cannotTell(kJournalCannotTell),
        needsWrite(kJournalNeedsWrite), disagree(kJournalRecordsDisagreeRestore), apart(kJournalStandsApart);
    // The program's longest database folder: 236 bytes of folder (double-byte 長, 92 B7), "/DB".
    std::string longFolder = "/";
    while (longFolder.size() < 235) longFolder += "\x92\xB7";
    longFolder += "a/DB";
    ASSERT_EQ(longFolder.size(), 239u);
    const std::tuple<std::string, uint32_t, std::string, R, std::vector<std::string>> reports[] = {
        // the folder of the journal named, the advice, its kind, names
        {"/db", KURA_HEADERCORRUPT, setAside, R::SetAside, {}},
        {"/db", KURA_HEADERCORRUPT, JournalStandsApart({}), R::StandsApart, {}},
        {"/db", KURA_HEADERCORRUPT, JournalStandsApart({"Kazoku", "Gakureki"}), R::StandsApart, {"Kazoku", "Gakureki"}},
        {"/db", KURA_HEADERCORRUPT, JournalStandsApart({"人事"}), R::StandsApart, {"人事"}},
        {"/db", KURA_HEADERCORRUPT, JournalStandsApart({"A", longName}), R::StandsApart, {}},  // said without them
        {"/db", KURA_HEADERCORRUPT, JournalStandsApart({"A", longName}).substr(0, apart.size() + 1), R::StandsApart, {}},
        {longFolder, KURA_HEADERCORRUPT, JournalStandsApart({"Staff", "Rirekisyo", "Gakureki", "Kazoku"}),
         R::StandsApart, {"Staff", "Rirekisyo", "Gakureki", "Kazoku"}},
        {"/db", KURA_HEADERCORRUPT, JournalPartnerNotFound("/db/Kazoku"), R::PartnerNotFound, {"/db/Kazoku"}},
        {"/db", KURA_HEADERCORRUPT, JournalPartnerNotFound("/other/Kazoku"), R::PartnerNotFound, {"/other/Kazoku"}},
        {"/db", KURA_HEADERCORRUPT, JournalPartnerNotFound("Kazoku"), R::PartnerNotFound, {"Kazoku"}},
        {longFolder, KURA_HEADERCORRUPT, JournalPartnerNotFound("Rirekisyo"), R::PartnerNotFound, {"Rirekisyo"}},
        {"/db", KURA_HEADERCORRUPT, JournalPartnerNotFound(longName), R::RestoreTogether, {}},
        {"/db", KURA_HEADERCORRUPT, JournalPartnerNotFound(longFolder + "/Kazoku"), R::RestoreTogether, {}},
        {"/db", KURA_HEADERCORRUPT, JournalRemoveRecord("/db/Staff.JNS"), R::RemoveRecord, {"/db/Staff.JNS"}},
        {"/db", KURA_HEADERCORRUPT, JournalRemoveRecord("Staff.JNS"), R::RemoveRecord, {"/db/Staff.JNS"}},
        {longFolder, KURA_HEADERCORRUPT, JournalRemoveRecord("Rirekisyo.JNS"), R::RemoveRecord,
         {longFolder + "/Rirekisyo.JNS"}},
        {"", KURA_HEADERCORRUPT, JournalRemoveRecord("Staff.JNS"), R::RemoveRecord, {"Staff.JNS"}},
        {"/db", KURA_HEADERCORRUPT, JournalRemoveRecord(longFolder + "/Rirekisyo.JNS"), R::RestoreTogether, {}},
        {"/db", KURA_HEADERCORRUPT, cannotTell, R::RestoreTogether, {}},
        {"/db", KURA_HEADERCORRUPT, disagree, R::RestoreTogether, {}},
        {"/db", KURA_OSEACCES, needsWrite, R::NeedsWrite, {}},
        {"/db", KURA_HEADERCORRUPT, "", R::None, {}}, {"/db", KURA_HEADERCORRUPT, needsWrite, R::None, {}},
        {"/db", KURA_OSEACCES, setAside, R::None, {}}, {"/db", KURA_OSEACCES, "", R::None, {}},
        {"/db", KURA_WRITEERR, cannotTell, R::None, {}}};
    for (const auto& [folder, code, advice, kind, names] : reports) {
        SCOPED_TRACE(advice);
        EXPECT_LE(advice.size(), EngineErrorContextLength);
        const std::string journal = folder.empty() ? "Rirekisyo.JNL" : folder + "/Rirekisyo.JNL";
        const EKuraEngineError e = Raised(code, "", "", "", journal, "", "", advice);
        EXPECT_EQ(e.ErrorContext(ctxTable), journal);
        EXPECT_EQ(e.ErrorContext(ctxMessage), advice);
        EXPECT_EQ(JournalReportOf(e), kind);
        EXPECT_EQ(JournalReportNames(e), names);
    }
}

TEST(EngineErrorRaise, CodeOfAnyException) {
    EXPECT_EQ(GetEngineErrorCode(Raised(KURA_KEYVIOL)), KURA_KEYVIOL);
    EXPECT_EQ(GetEngineErrorCode(std::runtime_error("division by zero")), KURA_OSUNKNOWN);
    EXPECT_EQ(GetEngineErrorCode(EDatabaseError("Field Simei cannot be modified.")), KURA_OSUNKNOWN);
    std::exception_ptr p;
    try {
        throw 42;
    } catch (...) {
        p = std::current_exception();
    }
    EXPECT_EQ(GetEngineErrorCode(p), KURA_OSUNKNOWN);
    try {
        RaiseEngineError(KURA_LOCKED);
    } catch (...) {
        p = std::current_exception();
    }
    EXPECT_EQ(GetEngineErrorCode(p), KURA_LOCKED);
    // The engine exception is a database error to whoever catches that.
    EXPECT_THROW(RaiseEngineError(KURA_EOF), EDatabaseError);
}

TEST(EngineErrorRaise, ConcurrentRaisesKeepTheirOwnContext) {
    // Each thread must see the table it raised with, never another thread's.
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &mismatches] {
            std::string table = "T" + std::to_string(t);
            for (int i = 0; i < 500; ++i) {
                auto e = Raised(KURA_TABLEFULL, "", "", "", table);
                if (e.ErrorContext(ctxTable) != table ||
                    std::string(e.what()).find("'" + table + "'") == std::string::npos)
                    ++mismatches;
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(mismatches.load(), 0);
}

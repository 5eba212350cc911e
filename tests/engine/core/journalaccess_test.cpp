// Write access refused (EACCES: a user who may read but not write, EROFS: a
// read-only mount) to the journal, to the folder (no file can be created in it),
// to one table file or to all of them, through the file layer's open call; or a link
// at one file to it moved elsewhere. Whatever is refused, no table is ever written
// without its journal, nor read half written, nor anything through a link:
//   - without a journal to write, every write and commit is refused
//     (KURA_OSEACCES) and the table stays as it was and readable;
//   - a journal that holds an interrupted write and cannot be played back refuses
//     the open with that error, naming the table;
//   - once access is back, the next open finds the table whole.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/core/EngineLibrary.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestSupport.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CrashScript.h"
#include "tests/engine/core/CutImages.h"
#include "tests/engine/core/TableCheck.h"

using namespace kura;
using namespace kura::test;
namespace fs = std::filesystem;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

constexpr uint32_t SEED = 4141;
const char* const TABLE = "T";

// The opens for writing that fail: of names ending so ("" for every name), of
// new files only (a folder that refuses to create them) or of any; or a link (kLink).
struct Refusal {
    std::string Suffix;
    bool NewFilesOnly = false;
    int Error = EACCES;
};
constexpr int kLink = 0;
const Refusal* gRefusal = nullptr;

int RefusingOpen(const char* path, int flags, mode_t mode) {
    const std::string name(path);
    const bool writes = (flags & O_ACCMODE) != O_RDONLY || (flags & (O_CREAT | O_TRUNC)) != 0;
    if (gRefusal && writes && name.size() >= gRefusal->Suffix.size() &&
        name.compare(name.size() - gRefusal->Suffix.size(), gRefusal->Suffix.size(), gRefusal->Suffix) == 0 &&
        (!gRefusal->NewFilesOnly || !fs::exists(name))) {
        errno = gRefusal->Error;
        return -1;
    }
    return platform::SystemFileCalls().open(path, flags, mode);
}

// A link is found by its name in another case, as the file layer finds names.
struct Refused {
    Refused(const Refusal& r, const std::string& folder)
        : Name(folder + "/" + TABLE + r.Suffix), Link(folder + "/t" + r.Suffix) {
        if (r.Error == kLink) {
            if (fs::exists(Name)) fs::rename(Name, Elsewhere.file(TABLE + r.Suffix));
            Moved = ReadFolder(Elsewhere.path());
            fs::create_symlink(Elsewhere.file(TABLE + r.Suffix), Link);
            return;
        }
        gRefusal = &r;
        platform::FileCalls().open = RefusingOpen;
    }
    ~Refused() {
        platform::FileCalls() = platform::SystemFileCalls();
        gRefusal = nullptr;
        if (!fs::is_symlink(Link)) return;
        EXPECT_EQ(ReadFolder(Elsewhere.path()), Moved) << "written through the link";
        fs::remove(Link);
        for (const auto& [name, bytes] : Moved) fs::rename(Elsewhere.file(name), Name);
    }
    const std::string Name, Link;
    TempDir Elsewhere;
    FolderFiles Moved;
};

enum class JournalState { Missing, Cold, Hot };
// What the program meets: writes refused for want of a journal, a table that
// is read-only, the open refused, or a table that works as ever.
enum class Outcome { NoJournal, ReadOnly, OpenRefused, Works };

// A table with records, its files as a forced commit killed half-way through
// its writes in place leaves them, and the content before that commit.
struct Tables {
    TempDir tmp;
    FolderFiles Cold;
    FolderFiles Hot;
    CrashRows Rows;

    Tables() {
        RecordDb db(tmp.path(), lpPessimistic);
        EXPECT_TRUE(CreateRecordTable(*db.dir, TABLE, StressTable()));
        auto c = OpenRecordCursor(*db.dir, TABLE);
        for (const CrashOp& op : CrashInitialRecords(SEED, 8)) {
            RunCrashOp(*c, op);
            ApplyToModel(Rows, op);
        }
        Cold = ReadFolder(tmp.path());
        std::mt19937 rng(SEED);
        db.session.SetForceBufferFlush(true);
        std::vector<FileEvent> events;
        {
            CallRecorder recorder(tmp.path());
            RunCrashOp(*c, NewRecordOp(rng, 77, CrashOp::Append));
            events = recorder.Events();
        }
        // Past the journal and its sync, two calls into the writes in place.
        const std::string journal = std::string(TABLE) + ".JNL";
        std::size_t cut = 0;
        while (cut < events.size() && events[cut].File != journal) ++cut;
        while (cut < events.size() && events[cut].File == journal) ++cut;
        Hot = CutImage(Cold, events, cut + 2, CutModel::Kill, rng);
    }

    void Put(JournalState state) const {
        FolderFiles files = state == JournalState::Hot ? Hot : Cold;
        if (state == JournalState::Missing) files.erase(std::string(TABLE) + ".JNL");
        WriteFolder(tmp.path(), files);
    }
};

TEngineErrorCode ErrorOf(const std::function<void()>& f, std::string* message = nullptr) {
    try {
        f();
    } catch (const EKuraEngineError& e) {
        if (message) *message = e.what();
        return e.ErrorCode();
    }
    return 0;
}

}  // namespace

TEST(JournalAccess, NoTableIsWrittenUnprotectedNorReadHalfWritten) {
    const Tables tables;
    struct Case {
        const char* What;
        Refusal Refuse;
        Outcome Missing, Cold, Hot;
    };
    using enum Outcome;
    const Case cases[] = {
        {"the journal", {".JNL", false, EACCES}, NoJournal, NoJournal, OpenRefused},
        {"the journal, read-only mount", {".JNL", false, EROFS}, NoJournal, NoJournal, OpenRefused},
        {"the folder", {"", true, EACCES}, NoJournal, Works, Works},
        {"the .DAT", {".DAT", false, EACCES}, ReadOnly, ReadOnly, OpenRefused},
        {"the .IDX", {".IDX", false, EROFS}, ReadOnly, ReadOnly, OpenRefused},
        {"the .BLB", {".BLB", false, EACCES}, ReadOnly, ReadOnly, OpenRefused},
        {"everything, read-only mount", {"", false, EROFS}, ReadOnly, ReadOnly, OpenRefused},
        {"a link at the journal", {".JNL", false, kLink}, NoJournal, NoJournal, OpenRefused},
        {"a link at the .DAT", {".DAT", false, kLink}, ReadOnly, ReadOnly, OpenRefused},
        {"a link at the .IDX", {".IDX", false, kLink}, ReadOnly, ReadOnly, OpenRefused},
        {"a link at the .BLB", {".BLB", false, kLink}, ReadOnly, ReadOnly, OpenRefused},
    };
    for (const Case& c : cases) {
        for (const JournalState state : {JournalState::Missing, JournalState::Cold, JournalState::Hot}) {
            const Outcome outcome = state == JournalState::Missing ? c.Missing
                                    : state == JournalState::Cold  ? c.Cold
                                                                   : c.Hot;
            SCOPED_TRACE(std::string(c.What) + ", journal " + std::to_string(static_cast<int>(state)));
            tables.Put(state);
            const FolderFiles put = TableFilesOf(ReadFolder(tables.tmp.path()));
            {
                const Refused refused(c.Refuse, tables.tmp.path());
                RecordDb db(tables.tmp.path(), lpPessimistic);
                std::unique_ptr<TDataCursor> cursor;
                std::string message;
                const TEngineErrorCode open = ErrorOf([&] { cursor = OpenRecordCursor(*db.dir, TABLE); }, &message);
                if (outcome == Outcome::OpenRefused) {
                    EXPECT_EQ(open, KURA_OSEACCES);
                    // Named as every engine message names a table.
                    EXPECT_NE(message.find("Access denied to table 'T'"), std::string::npos) << message;
                } else {
                    ASSERT_EQ(open, 0) << message;
                    EXPECT_EQ(CheckTable(*cursor).Rows, tables.Rows);
                    std::mt19937 rng(1);
                    const TEngineErrorCode write =
                        ErrorOf([&] { RunCrashOp(*cursor, NewRecordOp(rng, 90, CrashOp::Append)); }, &message);
                    db.dir->StartTransaction();
                    TEngineErrorCode commit = ErrorOf([&] {
                        RunCrashOp(*cursor, NewRecordOp(rng, 91, CrashOp::Append));
                        db.dir->Commit(true, false);
                    });
                    if (db.dir->InTransaction()) db.dir->Rollback();
                    if (outcome == Outcome::Works) {
                        EXPECT_EQ(write, 0);
                        EXPECT_EQ(commit, 0);
                    } else {
                        // A link at the journal is named; a table whose file is a link is read-only.
                        if (outcome == Outcome::NoJournal) {
                            EXPECT_EQ(write, KURA_OSEACCES);
                            EXPECT_EQ(commit, KURA_OSEACCES);
                            EXPECT_TRUE(c.Refuse.Error != kLink || message.find("/T.JNL'") != message.npos) << message;
                        }
                        EXPECT_NE(write, 0);
                        EXPECT_NE(commit, 0);
                        // Still readable, as it was, by a cursor that did not see the refusals.
                        auto again = OpenRecordCursor(*db.dir, TABLE);
                        EXPECT_EQ(CheckTable(*again).Rows, tables.Rows);
                    }
                }
                // A table made anew where such a link stands: refused, naming it, and
                // nothing made beside it.
                const std::string made = tables.tmp.file("U" + c.Refuse.Suffix);
                if (c.Refuse.Error == kLink && state == JournalState::Missing) {
                    cursor.reset();
                    fs::create_symlink(refused.Elsewhere.file(TABLE + c.Refuse.Suffix), made);
                    const Raised r = RaisedBy([&] { CreateRecordTable(*db.dir, "U", StressTable()); });
                    EXPECT_EQ(r.code, KURA_OSEACCES);
                    EXPECT_EQ(r.table, made);
                    for (const auto& [name, bytes] : ReadFolder(tables.tmp.path()))
                        EXPECT_TRUE(name.rfind("U.", 0) != 0 || tables.tmp.file(name) == made) << name << " made";
                    fs::remove(made);
                }
            }
            if (outcome != Outcome::Works) {
                EXPECT_EQ(TableFilesOf(ReadFolder(tables.tmp.path())), put) << "the files were written";
            }
            // Access back: the table opens whole, as before the killed commit.
            RecordDb db(tables.tmp.path(), lpPessimistic);
            auto cursor = OpenRecordCursor(*db.dir, TABLE);
            const CrashRows rows = CheckTable(*cursor).Rows;
            if (outcome == Outcome::Works) {
                EXPECT_GE(rows.size(), tables.Rows.size());
            } else {
                EXPECT_EQ(rows, tables.Rows);
            }
            if (::testing::Test::HasFailure()) return;
        }
    }
}

// A commit over several tables changes all of them or none. One transaction
// changes two or four tables (the staff editor saves four in one: the employee and
// the education, family and other rows that go with it); at every write call of
// its commit:
//   - the call fails (ENOSPC, EIO): the commit raises, the transaction stays open
//     and every further commit fails until the program rolls back; then every table
//     is as before, on the disk and in the program, which carries on;
//   - the program is killed there, or the power fails (writes since each file's
//     last sync lost or torn): the next program to open any of the tables finds
//     every table as before the commit or every table as after it, and after it
//     once a forced commit returned;
//   - the playback of what a kill left is itself cut at every call, twice over.
// The journals of such a commit name each other (format 4), and a commit that
// changes one table of several costs the syncs of that table alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <numeric>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "engine/core/EngineLibrary.h"
#include "engine/errors/JournalReports.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "engine/files/SettledCommits.h"
#include "engine/sql/QueryStatement.h"
#include "platform/CodePage.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/EngineTestSupport.h"
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

constexpr uint32_t SEED = 4040;
constexpr int INITIAL = 6;
// The tables of one save, two of them with code page 932 names (社員表 ends in the
// byte of "\").
const char* const kTables[] = {"STAFF", "\x8A\x77\x97\xF0", "\x89\xC6\x91\xB0", "\x8E\xD0\x88\xF5\x95\x5C"};

struct CommitCase {
    int Tables;
    bool Forced;
    std::string Name() const { return std::to_string(Tables) + " tables, " + (Forced ? "forced" : "not forced"); }
};
const CommitCase kCases[] = {{2, false}, {2, true}, {4, false}, {4, true}};

// Tables of the stress layout with a few records each, and the transaction: per
// table one record changed, one appended (with BLOBs) and one deleted.
class CommitTables {
public:
    explicit CommitTables(int count) : names_(kTables, kTables + count) {
        fs::create_directories(Work());
        RecordDb db(Work(), lpPessimistic);
        std::mt19937 rng(SEED);
        for (std::size_t t = 0; t < names_.size(); ++t) {
            EXPECT_TRUE(CreateRecordTable(*db.dir, names_[t], StressTable()));
            auto c = OpenRecordCursor(*db.dir, names_[t]);
            CrashRows rows;
            for (const CrashOp& op : CrashInitialRecords(SEED + static_cast<uint32_t>(t), INITIAL)) {
                RunCrashOp(*c, op);
                ApplyToModel(rows, op);
            }
            before_.push_back(rows);
            std::vector<CrashOp> ops = {NewRecordOp(rng, 1, CrashOp::Modify), NewRecordOp(rng, 100, CrashOp::Append)};
            ops.push_back(CrashOp{CrashOp::Delete, 2, {}, {}, 0, 0});
            for (const CrashOp& op : ops) ApplyToModel(rows, op);
            ops_.push_back(ops);
            after_.push_back(rows);
        }
    }

    std::string Work() const { return tmp_.file("work"); }
    std::string Journal(std::size_t i) const { return platform::Cp932ToUtf8(names_[i]) + ".JNL"; }
    const std::vector<std::string>& Names() const { return names_; }
    const std::vector<CrashRows>& Before() const { return before_; }
    const std::vector<CrashRows>& After() const { return after_; }
    FolderFiles Pristine() const { return pristine_; }
    void Keep() { pristine_ = ReadFolder(Work()); }
    void Restore() const { WriteFolder(Work(), pristine_); }

    // In the order of the names; opened backwards, the first table opened last decides a commit.
    std::vector<std::unique_ptr<TDataCursor>> Open(RecordDb& db, bool backwards = false) const {
        std::vector<std::unique_ptr<TDataCursor>> cursors(names_.size());
        for (std::size_t n = 0, i = backwards ? names_.size() - 1 : 0; n < names_.size(); ++n, backwards ? --i : ++i)
            cursors[i] = OpenRecordCursor(*db.dir, names_[i]);
        return cursors;
    }
    // Starts the transaction and makes its changes.
    void Change(RecordDb& db, std::vector<std::unique_ptr<TDataCursor>>& cursors) const {
        db.dir->StartTransaction();
        for (std::size_t t = 0; t < names_.size(); ++t)
            for (const CrashOp& op : ops_[t]) RunCrashOp(*cursors[t], op);
    }
    // Every table as a later program finds it, checked whole.
    std::vector<CrashRows> Contents() const {
        RecordDb db(Work(), lpPessimistic);
        std::vector<CrashRows> rows;
        for (auto& c : Open(db)) rows.push_back(CheckTable(*c).Rows);
        return rows;
    }

private:
    TempDir tmp_;
    std::vector<std::string> names_;
    std::vector<CrashRows> before_;
    std::vector<CrashRows> after_;
    std::vector<std::vector<CrashOp>> ops_;
    FolderFiles pristine_;
};

// The files of one commit, recorded.
struct RecordedCommit {
    FolderFiles Baseline;  // the folder when the commit starts
    std::vector<FileEvent> Events;
    FolderFiles Done;  // the folder once it returned

    // The first call from `from` on that is (or is not) one of a journal.
    std::size_t Next(std::size_t from, bool journal) const {
        while (from < Events.size() && (Events[from].File.find(".JNL") != std::string::npos) != journal) ++from;
        return from;
    }
    // The folder as a kill leaves it `after` calls past the last journal write
    // before the tables are written in place.
    FolderFiles KilledInPlace(std::size_t after, uint32_t seed) const {
        std::mt19937 rng(seed);
        return CutImage(Baseline, Events, Next(0, false) + after, CutModel::Kill, rng);
    }
};

RecordedCommit RecordCommit(const CommitTables& t, bool forced, std::size_t changed, bool firstDecides = false) {
    RecordedCommit run;
    t.Restore();
    RecordDb db(t.Work(), lpPessimistic);
    auto cursors = t.Open(db, firstDecides);
    if (changed == t.Names().size()) {
        t.Change(db, cursors);
    } else {
        // The first `changed` tables are written; the others are in the transaction.
        db.dir->StartTransaction();
        std::mt19937 rng(SEED);
        for (std::size_t i = 0; i < changed; ++i) RunCrashOp(*cursors[i], NewRecordOp(rng, 100, CrashOp::Append));
    }
    run.Baseline = ReadFolder(t.Work());
    {
        CallRecorder recorder(t.Work());
        db.dir->Commit(true, forced);
        run.Events = recorder.Events();
    }
    run.Done = ReadFolder(t.Work());
    return run;
}

std::size_t Syncs(const std::vector<FileEvent>& events) {
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(), [](const FileEvent& e) { return e.What == FileEvent::Sync; }));
}

}  // namespace

TEST(CommitFault, AFailedWriteAtAnyCallLeavesEveryTableAsBefore) {
    for (const CommitCase& c : kCases) {
        SCOPED_TRACE(c.Name());
        CommitTables t(c.Tables);
        t.Keep();
        // The failures are made through the call table; the disk need not be waited for.
        const NoDiskSyncs noSyncs;
        int failed = 0;
        for (uint64_t at = 1;; ++at) {
            SCOPED_TRACE("write call " + std::to_string(at));
            t.Restore();
            TEngineErrorCode code = 0;
            uint64_t calls = 0;
            {
                RecordDb db(t.Work(), lpPessimistic);
                auto cursors = t.Open(db);
                t.Change(db, cursors);
                const FaultedCall faulted = CallFailingAt(at, FullDiskOrFailedDevice(at), [&] { db.dir->Commit(true, c.Forced); });
                code = faulted.Code;
                calls = faulted.Calls;
                if (code != 0) {
                    ++failed;
                    EXPECT_EQ(code, KURA_WRITEERR);
                    EXPECT_TRUE(db.dir->InTransaction());
                    TEngineErrorCode again = 0;
                    try {
                        db.dir->Commit(true, c.Forced);
                    } catch (const EKuraEngineError& e) {
                        again = e.ErrorCode();
                    }
                    EXPECT_EQ(again, code);
                    db.dir->Rollback();
                    // In the program too every table is as before (read by new cursors,
                    // which did not see the failure); it carries on.
                    auto fresh = t.Open(db);
                    for (std::size_t i = 0; i < fresh.size(); ++i)
                        EXPECT_EQ(CheckTable(*fresh[i]).Rows, t.Before()[i]) << "table " << i << " in the program";
                    // On the disk every byte is back.
                    EXPECT_EQ(TableFilesOf(ReadFolder(t.Work())), TableFilesOf(t.Pristine()));
                    AppendStressRecord(*cursors[0], 501, "next", "", {});
                }
            }
            // Now and then (and once it succeeds) the whole way through a later program.
            std::vector<CrashRows> expected = code != 0 ? t.Before() : t.After();
            if (code != 0) expected[0][501] = "next|" + NoteOf(Checksum(std::vector<uint8_t>{}), Checksum(std::string()));
            if (code == 0 || at % 4 == 1) {
                EXPECT_EQ(t.Contents(), expected);
            }
            if (calls < at || ::testing::Test::HasFailure()) break;
        }
        EXPECT_GT(failed, 2 * c.Tables);
    }
}

TEST(CommitFault, AKillOrPowerCutAtAnyCallLeavesEveryTableOnOneSide) {
    for (const CommitCase& c : kCases) {
        SCOPED_TRACE(c.Name());
        CommitTables t(c.Tables);
        t.Keep();
        const RecordedCommit run = RecordCommit(t, c.Forced, t.Names().size());
        const FolderFiles before = Unstamped(run.Baseline);
        const FolderFiles after = Unstamped(run.Done);
        // Both sides are whole tables of the content expected.
        WriteFolder(t.Work(), run.Done);
        ASSERT_EQ(t.Contents(), t.After());
        WriteFolder(t.Work(), run.Baseline);
        ASSERT_EQ(t.Contents(), t.Before());
        std::vector<std::string> reversed(t.Names().rbegin(), t.Names().rend());
        const NoDiskSyncs noSyncs;
        int sides[2] = {0, 0};
        for (std::size_t cut = 0; cut <= run.Events.size(); ++cut) {
            std::mt19937 rng(static_cast<uint32_t>(cut));
            const std::vector<CutModel> models =
                c.Forced ? std::vector<CutModel>{CutModel::Kill, CutModel::Lost, CutModel::Torn}
                         : std::vector<CutModel>{CutModel::Kill};
            for (const CutModel model : models) {
                SCOPED_TRACE("stopped after call " + std::to_string(cut) + " of " +
                             std::to_string(run.Events.size()) + ", model " + std::to_string(static_cast<int>(model)));
                WriteFolder(t.Work(), CutImage(run.Baseline, run.Events, cut, model, rng));
                // Whichever table a program opens first settles them all.
                const std::vector<std::string>& order = cut % 2 == 0 ? t.Names() : reversed;
                EXPECT_EQ(RecoverTables(t.Work(), {order[0]}), 0);
                const FolderFiles now = Unstamped(ReadFolder(t.Work()));
                const bool isBefore = now == before;
                const bool isAfter = now == after;
                EXPECT_TRUE(isBefore || isAfter) << "the tables are on different sides";
                if (c.Forced && cut == run.Events.size()) {
                    EXPECT_TRUE(isAfter) << "a forced commit that returned";
                }
                sides[isAfter ? 1 : 0] += isBefore || isAfter ? 1 : 0;
                // Now and then the whole way through the engine.
                if (cut % 16 == 4 && model == CutModel::Kill) {
                    EXPECT_EQ(t.Contents(), isAfter ? t.After() : t.Before());
                }
                if (::testing::Test::HasFailure()) break;
            }
            if (::testing::Test::HasFailure()) break;
        }
        EXPECT_GT(sides[0], 0);
        EXPECT_GT(sides[1], 0);
    }
}

// A kill after the first table of the commit was written in place, before the
// second: the playback of the journals is cut at every call, twice over, and every
// table ends exactly as one uncut playback leaves it, before the commit. The same
// after both were written, the table that does not decide away meanwhile: once a
// playback completes and a later commit wrote the other table, it comes back and
// follows the other back.
TEST(CommitFault, APlaybackOfACommitCutAtAnyCallIsTakenUpByTheNext) {
    CommitTables t(2);
    t.Keep();
    const RecordedCommit run = RecordCommit(t, true, 2);
    // The last write in place to the first table written.
    std::size_t cut = 0;
    std::string first;
    for (std::size_t i = 0; i < run.Events.size(); ++i) {
        const FileEvent& e = run.Events[i];
        const bool journal = e.File.size() > 4 && e.File.substr(e.File.size() - 4) == ".JNL";
        if (e.What != FileEvent::Write || journal) continue;
        const std::string table = e.File.substr(0, e.File.size() - 4);
        if (first.empty()) first = table;
        if (table != first) break;
        cut = i + 1;
    }
    ASSERT_GT(cut, 0u);
    std::mt19937 rng(3);
    const FolderFiles killed = CutImage(run.Baseline, run.Events, cut, CutModel::Kill, rng);
    WriteFolder(t.Work(), killed);
    ASSERT_EQ(RecoverTables(t.Work(), {t.Names()[1]}), 0);
    const FolderFiles reference = TableFilesOf(ReadFolder(t.Work()));
    EXPECT_EQ(Unstamped(reference), Unstamped(run.Baseline));
    EXPECT_EQ(t.Contents(), t.Before());
    std::set<uint64_t> seen;
    int played = CutPlaybacks(t.Work(), {t.Names()[1]}, killed, reference, 2, seen);
    FolderFiles written = CutImage(run.Baseline, run.Events, run.Next(cut, true), CutModel::Kill, rng);
    const std::string away = platform::Cp932ToUtf8(t.Names()[0]);
    FolderFiles aside;
    for (const char* ext : {".DAT", ".IDX", ".BLB", ".JNL"}) aside.insert(written.extract(away + ext));
    const FolderFiles before = Unstamped(run.Baseline);
    ASSERT_NE(Unstamped(aside).at(away + ".DAT"), before.at(away + ".DAT")) << "the table was not written";
    WriteFolder(t.Work(), written);
    ASSERT_EQ(RecoverTables(t.Work(), {t.Names()[1]}), 0);
    const FolderFiles alone = TableFilesOf(ReadFolder(t.Work()));
    const std::string decider = t.Work() + "/" + platform::Cp932ToUtf8(t.Names()[1]) + ".DAT";
    played += CutPlaybacks(t.Work(), {t.Names()[1]}, written, alone, 2, seen, true, [&] {
        Bytes data = ReadBytes(decider);
        data[0] ^= 0x5A;  // the change counter a later commit moves on
        WriteBytes(decider, data);
        for (const auto& [name, bytes] : aside) WriteBytes(t.Work() + "/" + name, bytes);
        EXPECT_EQ(RecoverTables(t.Work(), {t.Names()[0]}), 0);
        const FolderFiles now = Unstamped(ReadFolder(t.Work()));
        for (const auto& [name, bytes] : Unstamped(aside)) EXPECT_EQ(now.at(name), before.at(name)) << name;
    });
    std::cout << played << " playbacks of cut playbacks\n";
}

// Every write from the Nth of a commit on fails (a disk that went away in the
// middle of it): the commit fails, its undo fails too, and so does everything the
// program writes until it is gone. Once the disk is back, the next program finds
// every table as before (or, when the commit had returned, as after). Syncs are
// left alone: one that fails after its writes reached the system leaves the
// outcome to those writes. The same with one table's journal alone failing: once
// the commit is decided and that journal cannot be dropped, the deciding journal
// stays until it is, a later commit of the program is refused rather than written
// over it, and the next programs settle the commit, even with that journal read-only.
namespace {

struct FailingFrom {
    static inline uint64_t Calls = 0;
    static inline uint64_t From = 0;
    static inline std::string Only;  // the name of the one file whose calls count and fail ("" any)
    platform::FileCallTable Saved;
    explicit FailingFrom(uint64_t from, const std::string& only = {}) : Saved(platform::FileCalls()) {
        Calls = 0;
        From = from;
        Only = only;
        auto& calls = platform::FileCalls();
        calls.pwrite = [](int fd, const void* b, size_t n, off_t at) -> ssize_t {
            if (Counts(fd) && ++Calls >= From) return errno = EIO, -1;
            return platform::SystemFileCalls().pwrite(fd, b, n, at);
        };
        calls.ftruncate = [](int fd, off_t length) {
            if (Counts(fd) && ++Calls >= From) return errno = EIO, -1;
            return platform::SystemFileCalls().ftruncate(fd, length);
        };
        calls.fsync = calls.fdatasync = [](int fd) { return Calls += Counts(fd) ? 1 : 0, 0; };
    }
    ~FailingFrom() { platform::FileCalls() = Saved; }
    FailingFrom(const FailingFrom&) = delete;
    FailingFrom& operator=(const FailingFrom&) = delete;
    static bool Counts(int fd) {
        char link[4096] = {};
        return Only.empty() || (readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1) > 0 &&
                                std::string(link).ends_with("/" + Only));
    }
};

// The journal of that name if its header is whole and it has `size` bytes or more.
const Bytes* HotJournal(const FolderFiles& files, const std::string& name, std::size_t size = 64) {
    const auto j = files.find(name);
    const bool hot = j != files.end() && j->second.size() >= size &&
                     dfbytes::GetU32(&j->second[60]) == JournalChecksum(j->second.data(), 60);
    return hot ? &j->second : nullptr;
}
// Whether a journal says its commit stands, in its header and in the header's copy.
bool DecidedIn(const FolderFiles& files, const std::string& journal) {
    const auto j = files.find(journal);
    return j != files.end() && j->second.size() >= 128 && std::equal(j->second.begin(), j->second.begin() + 8, "KURA-DEC") &&
           std::equal(j->second.end() - 64, j->second.end() - 56, "KURA-DEC");
}

}  // namespace

TEST(CommitFault, ACommitWhoseUndoFailsTooIsTakenBackByTheNextProgram) {
    const NoDiskSyncs noSyncs;
    std::optional<CommitTables> tables;
    for (std::size_t n = 0; n < 2 * std::size(kCases); ++n) {
        // Every file failing, then the first table's journal alone; the last table's decides.
        const CommitCase& c = kCases[n / 2];
        const std::string partner = n % 2 == 0 ? "" : platform::Cp932ToUtf8(kTables[0]) + ".JNL";
        SCOPED_TRACE(c.Name() + ", " + (partner.empty() ? "every file" : partner) + " failing");
        if (partner.empty()) tables.emplace(c.Tables).Keep();
        const CommitTables& t = *tables;
        const std::string decider = t.Journal(c.Tables - 1);
        const std::string path = t.Work() + "/" + partner;
        auto hot = [&](const std::string& journal) { return HotJournal(ReadFolder(t.Work()), journal) != nullptr; };
        auto decides = [&] { return hot(decider) && DecidedIn(ReadFolder(t.Work()), decider); };
        int failed = 0;
        int kept = 0;
        for (uint64_t from = 1;; ++from) {
            SCOPED_TRACE("failing from write call " + std::to_string(from));
            t.Restore();
            bool committed = false;
            bool left = false;  // a journal of the returned commit left behind
            uint64_t calls = 0;
            {
                RecordDb db(t.Work(), lpPessimistic);
                auto cursors = t.Open(db);
                t.Change(db, cursors);
                std::optional<FailingFrom> failing(std::in_place, from, partner);
                try {
                    db.dir->Commit(true, c.Forced);
                    committed = true;
                } catch (const EKuraEngineError& e) {
                    EXPECT_EQ(e.ErrorCode(), KURA_WRITEERR);
                    try {
                        db.dir->Rollback();
                    } catch (const EKuraEngineError&) {
                    }
                }
                calls = FailingFrom::Calls;
                failing.reset();
                left = committed && !partner.empty() && hot(partner);
                if (left) {
                    ++kept;
                    EXPECT_TRUE(decides()) << "the deciding journal went first";
                    // That journal read-only now, and its table closed (whose handle could still drop it).
                    cursors.front().reset();
                    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
                    db.dir->StartTransaction();
                    AppendStressRecord(*cursors.back(), 502, "refused", "", {});
                    EXPECT_EQ(ErrorOf([&] { db.dir->Commit(true, c.Forced); }), KURA_OSEACCES);
                    if (db.dir->InTransaction()) db.dir->Rollback();
                    EXPECT_TRUE(decides());
                }
                cursors.clear();
            }
            failed += committed ? 0 : 1;
            if (left) {
                // The next programs' recoveries, while that journal cannot be written.
                EXPECT_EQ(t.Contents(), t.After());
                EXPECT_TRUE(decides()) << "the deciding journal went first";
                fs::permissions(path, fs::perms::owner_write, fs::perm_options::add);
            }
            EXPECT_EQ(t.Contents(), committed ? t.After() : t.Before());
            EXPECT_FALSE(left && (hot(partner) || hot(decider))) << "the commit was not settled";
            if (committed && calls < from) break;
            if (::testing::Test::HasFailure()) break;
        }
        EXPECT_GT(failed, partner.empty() ? 2 * c.Tables : 0);
        EXPECT_TRUE(partner.empty() || kept > 0) << "no journal of a returned commit was left";
    }
}

// A commit over two tables killed while it wrote them in place, and then one
// table's .DAT made read-only: whichever table is opened, the open is refused
// naming the table that cannot be written back, and no byte of either table
// changes; with write access back, both are as before. The same once the commit
// stood and only its deciding journal holds it, that journal read-only: the other
// table can be neither dropped nor renamed (the deciding table needs it to tell),
// and once access is back the drop or rename settles the commit first and the
// deciding table keeps it.
TEST(CommitFault, ACutCommitWithATableThatCannotBeWrittenBackIsRefusedAndLeftAlone) {
    CommitTables t(2);
    t.Keep();
    const RecordedCommit run = RecordCommit(t, false, 2);
    const FolderFiles image = run.KilledInPlace(2, 4);
    // The deciding journal alone holds the commit, which stands.
    std::optional<std::size_t> decider;
    FolderFiles decided;
    for (std::size_t cut = 0; cut <= run.Events.size() && !decider; ++cut) {
        std::mt19937 none(0);
        decided = CutImage(run.Baseline, run.Events, cut, CutModel::Kill, none);
        for (std::size_t d = 0; d < 2; ++d)
            if (DecidedIn(decided, t.Journal(d)) && !HotJournal(decided, t.Journal(1 - d))) decider = d;
    }
    ASSERT_TRUE(decider);
    const NoDiskSyncs noSyncs;
    for (std::size_t readOnly = 0; readOnly < 2; ++readOnly) {
        // Each table opened; then the other than the deciding one dropped, or renamed.
        for (std::size_t opened = 0; opened < 4; ++opened) {
            const bool drop = opened >= 2;
            if (drop && readOnly != *decider) continue;
            SCOPED_TRACE("table " + std::to_string(readOnly) + " read-only, table " + std::to_string(opened) +
                         " opened");
            const std::string& other = t.Names()[1 - *decider];
            auto act = [&](RecordDb& db) {
                if (!drop) OpenRecordCursor(*db.dir, t.Names()[opened]);
                else EXPECT_EQ(opened == 2 ? db.dir->DeleteTable(other, false) : db.dir->RenameTable(other, "N", false, false), 0);
            };
            const FolderFiles& start = drop ? decided : image;
            WriteFolder(t.Work(), start);
            const std::string data = t.Work() + "/" + platform::Cp932ToUtf8(t.Names()[readOnly]) + (drop ? ".JNL" : ".DAT");
            fs::permissions(data, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
            std::string message;
            try {
                RecordDb db(t.Work(), lpPessimistic);
                act(db);
            } catch (const EKuraEngineError& e) {
                EXPECT_EQ(e.ErrorCode(), KURA_OSEACCES);
                message = e.what();
            }
            EXPECT_NE(message.find("Access denied to table '" + t.Names()[readOnly] + "'"), std::string::npos)
                << message;
            EXPECT_EQ(ReadFolder(t.Work()), start);
            fs::permissions(data, fs::perms::owner_write, fs::perm_options::add);
            if (!drop) {
                EXPECT_EQ(t.Contents(), t.Before());
                continue;
            }
            RecordDb db(t.Work(), lpPessimistic);
            act(db);
            EXPECT_EQ(CheckTable(*OpenRecordCursor(*db.dir, t.Names()[*decider])).Rows, t.After()[*decider]);
        }
    }
}

// Two cut commits that share a table: X over A and B (decided by B's journal or by
// A's) is cut at each of its calls; a second program opens B and C (which settles
// X), and its commit Y over B and C (decided by C's or by B's: B at the same place
// in both records or not) is cut in turn, with its journals written, with its
// deciding journal saying it stands, or not at all. Their journals meet too: when
// A's decides X and B's was not written yet, the second program never sees X; or a
// copy of A's journal holding X is put back beside Y's. Opened the older table first
// or last (in every order where the journals meet), A and B end on one side of X and
// B and C on one side of Y, after each whose deciding journal said it stood: a later
// commit's journal never undoes one that stood, nor the other way round. When A
// decides X, every other cut where nothing meets is left out, and the copy goes back
// only with B at the same place in both records and Y's journals there: all of them
// would make the test take half as long again.
TEST(CommitFault, TwoCutCommitsThatShareATableEachEndOnOneSide) {
    CommitTables t(3);
    t.Keep();
    const NoDiskSyncs noSyncs;
    const std::vector<CrashRows>& xBefore = t.Before();
    const std::string aJournal = t.Journal(0), bJournal = t.Journal(1);
    std::mt19937 none(0);  // a kill draws nothing
    auto yDecided = [&](const FolderFiles& image) { return DecidedIn(image, bJournal) || DecidedIn(image, t.Journal(2)); };
    // Each table opened first once: with their reverses, every order of opening.
    const std::vector<std::vector<std::size_t>> orders = {{0, 1, 2}, {1, 2, 0}, {2, 0, 1}};
    int runs = 0;
    int met = 0;
    for (const bool aDecidesX : {false, true}) {
        const RecordedCommit x = RecordCommit(t, false, 2, aDecidesX);
        WriteFolder(t.Work(), x.Done);
        const std::vector<CrashRows> xAfter = t.Contents();
        for (std::size_t cut = 0; cut <= x.Events.size(); ++cut) {
            const FolderFiles xImage = CutImage(x.Baseline, x.Events, cut, CutModel::Kill, none);
            const bool xStood = DecidedIn(xImage, aJournal) || DecidedIn(xImage, bJournal);
            EXPECT_TRUE(!xStood || DecidedIn(xImage, aDecidesX ? aJournal : bJournal)) << "the table opened last decides X";
            const bool aHolds = HotJournal(xImage, aJournal);
            // Opening B and C leaves X alone: its journals meet Y's with nothing done by hand.
            const bool meet = aHolds && !HotJournal(xImage, bJournal);
            const bool plain = !aDecidesX || meet || cut % 2 == 0;
            for (const bool samePlace : {false, true}) {
                // The copy where B's journal of Y could pass for one of X.
                const bool copy = aHolds && !meet && samePlace;
                if (!plain && !copy) continue;
                const bool bDecidesY = samePlace != aDecidesX;
                WriteFolder(t.Work(), xImage);
                RecordedCommit y;
                {
                    RecordDb db(t.Work(), lpPessimistic);
                    // The table opened last decides the commit.
                    auto c = bDecidesY ? OpenRecordCursor(*db.dir, t.Names()[2]) : nullptr;
                    auto b = OpenRecordCursor(*db.dir, t.Names()[1]);
                    if (!c) c = OpenRecordCursor(*db.dir, t.Names()[2]);
                    db.dir->StartTransaction();
                    AppendStressRecord(*b, 200, "y", "", {});
                    AppendStressRecord(*c, 200, "y", "", {});
                    y.Baseline = ReadFolder(t.Work());
                    CallRecorder recorder(t.Work());
                    db.dir->Commit(true, false);
                    y.Events = recorder.Events();
                }
                auto yImageAt = [&](std::size_t yCut) { return CutImage(y.Baseline, y.Events, yCut, CutModel::Kill, none); };
                // Y cut with its journals written, while its deciding journal says it stands
                // (A's may still say that X stands), and not at all.
                const std::size_t written = y.Next(0, false);
                std::size_t decidedAt = written;
                while (decidedAt < y.Events.size() && !yDecided(yImageAt(decidedAt))) ++decidedAt;
                EXPECT_EQ(DecidedIn(yImageAt(decidedAt), bJournal), bDecidesY) << "B decides Y";
                const std::vector<std::size_t> yCuts = {written + 1, y.Events.size(), decidedAt};
                for (std::size_t n = 0; n < yCuts.size(); ++n) {
                    const std::size_t yCut = yCuts[n];
                    const FolderFiles yImage = yImageAt(yCut);
                    const bool yStood = yCut == y.Events.size() || yDecided(yImage);
                    // A's journal put back or not; the tables opened in an order and in its reverse.
                    for (int variant = 0; variant < 4; ++variant) {
                        const bool copyBack = variant >= 2;
                        if (copyBack ? !copy || yCut == y.Events.size() : !plain) continue;
                        FolderFiles image = yImage;
                        if (copyBack) image[aJournal] = xImage.at(aJournal);
                        const bool meeting = HotJournal(image, aJournal) && HotJournal(image, bJournal);
                        // The older table first and last; where the journals meet, each table first and
                        // last at one cut or another.
                        std::vector<std::size_t> order = orders[meeting ? (cut + n) % orders.size() : 0];
                        if (variant % 2 == 1) std::reverse(order.begin(), order.end());
                        SCOPED_TRACE("X decided by " + std::string(aDecidesX ? "A" : "B") + ", cut after call " +
                                     std::to_string(cut) + ", Y decided by " + (bDecidesY ? "B" : "C") + " after " +
                                     std::to_string(yCut) + (copyBack ? ", A's journal put back" : "") + ", opened " +
                                     std::to_string(order[0]) + std::to_string(order[1]) + std::to_string(order[2]));
                        WriteFolder(t.Work(), image);
                        for (const std::size_t i : order) {
                            RecordDb db(t.Work(), lpPessimistic);
                            EXPECT_NO_THROW(OpenRecordCursor(*db.dir, t.Names()[i]));
                        }
                        std::vector<CrashRows> rows = t.Contents();
                        const bool yInB = rows[1].erase(200) == 1;
                        const bool yInC = rows[2].erase(200) == 1;
                        EXPECT_EQ(yInB, yInC) << "Y split";
                        EXPECT_EQ(rows[2], xBefore[2]);
                        const bool aAfter = rows[0] == xAfter[0];
                        EXPECT_TRUE(aAfter || rows[0] == xBefore[0]);
                        EXPECT_EQ(rows[1], aAfter ? xAfter[1] : xBefore[1]) << "X split";
                        EXPECT_TRUE(aAfter || !xStood) << "X stood";
                        EXPECT_TRUE(yInB || !yStood) << "Y stood";
                        ++runs;
                        met += meeting ? 1 : 0;
                        if (::testing::Test::HasFailure()) return;
                    }
                }
            }
        }
    }
    std::cout << runs << " pairs of cut commits, " << met << " where their journals meet\n";
    EXPECT_GT(met, 0);
}

namespace {

// The journals of a commit over several tables as the program before this one
// wrote them (format 3): no file states in the record, no copy of the header, and a
// deciding journal invalidated, not marked, once the commit stood.
Bytes LegacyJournal(const Bytes& j) {
    using namespace dfbytes;
    if (j.size() < 128 || GetU32(&j[8]) != JOURNAL_BOUND_FORMAT) return j;
    if (std::equal(j.begin(), j.begin() + 8, "KURA-DEC")) return Bytes(64, 0);
    const uint64_t length = GetU64(&j[16]);
    const std::size_t record = 64 + length - GetU32(&j[48]);
    std::size_t at = record + 4;
    for (int n = 0; n < 4 * GetU16(&j[record]); ++n) at += 2u + GetU16(&j[at]);
    Bytes old(j.begin(), j.begin() + static_cast<std::ptrdiff_t>(at));
    PutU32(&old[8], 3);
    std::fill(old.begin() + 48, old.begin() + 60, 0);
    Seal(old);
    return old;
}

}  // namespace

// A commit over two tables cut at each of its calls, its journals then turned into
// the ones the program before this one wrote: every table still ends on one side
// (after it once the deciding journal was invalidated, as that program decided).
TEST(CommitFault, JournalsOfTheEarlierFormatAreSettledAsTheyWereWritten) {
    CommitTables t(2);
    t.Keep();
    const RecordedCommit run = RecordCommit(t, false, 2);
    const FolderFiles before = Unstamped(run.Baseline);
    const FolderFiles after = Unstamped(run.Done);
    const NoDiskSyncs noSyncs;
    int sides[2] = {0, 0};
    for (std::size_t cut = 0; cut <= run.Events.size(); ++cut) {
        SCOPED_TRACE("cut after call " + std::to_string(cut));
        std::mt19937 rng(static_cast<uint32_t>(cut));
        FolderFiles image = CutImage(run.Baseline, run.Events, cut, CutModel::Kill, rng);
        for (auto& [name, bytes] : image)
            if (name.size() > 4 && name.substr(name.size() - 4) == ".JNL") bytes = LegacyJournal(bytes);
        WriteFolder(t.Work(), image);
        EXPECT_EQ(RecoverTables(t.Work(), {t.Names()[cut % 2]}), 0);
        const FolderFiles now = Unstamped(ReadFolder(t.Work()));
        EXPECT_TRUE(now == before || now == after) << "the tables are on different sides";
        sides[now == after ? 1 : 0] += 1;
        if (::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(sides[0], 0);
    EXPECT_GT(sides[1], 0);
}

// Two programs open the two tables of a commit cut off half-way at the same moment:
// each recovery needs the other's journal, backs off while the other holds it,
// and the commit is settled once, every table before it.
TEST(CommitFault, TwoOpenersAtOnceSettleACutCommit) {
    CommitTables t(2);
    t.Keep();
    const RecordedCommit run = RecordCommit(t, false, 2);
    const FolderFiles killed = run.KilledInPlace(3, 2);
    for (int round = 0; round < 10; ++round) {
        SCOPED_TRACE(round);
        WriteFolder(t.Work(), killed);
        std::vector<CrashRows> seen(2);
        std::vector<TEngineErrorCode> errors(2, 0);
        std::vector<std::thread> openers;
        for (std::size_t i = 0; i < 2; ++i)
            openers.emplace_back([&, i] {
                try {
                    RecordDb db(t.Work(), lpPessimistic);
                    auto c = OpenRecordCursor(*db.dir, t.Names()[i]);
                    seen[i] = CheckTable(*c).Rows;
                } catch (const EKuraEngineError& e) {
                    errors[i] = e.ErrorCode();
                }
            });
        for (std::thread& opener : openers) opener.join();
        EXPECT_EQ(errors, std::vector<TEngineErrorCode>(2, 0));
        EXPECT_EQ(seen, t.Before());
        EXPECT_EQ(Unstamped(ReadFolder(t.Work())), Unstamped(run.Baseline));
        if (::testing::Test::HasFailure()) break;
    }
}

// The journals of a commit over several tables, as a kill between its writes in
// place leaves them: the same commit id in each, the record that names every
// table's journal and files, bare, with each journal's own place and every table's
// file states (its own journal's entries without their saved bytes), its length
// and CRC in the header, and a copy of the header ending the file.
TEST(CommitFault, TheJournalsOfACommitNameEachOther) {
    using namespace dfbytes;
    CommitTables t(2);
    t.Keep();
    const RecordedCommit run = RecordCommit(t, false, 2);
    const FolderFiles image = run.KilledInPlace(0, 1);
    // The deciding journal is the first the commit writes: the last table's.
    const std::vector<std::string> order(t.Names().rbegin(), t.Names().rend());
    uint64_t id = 0;
    std::vector<Bytes> ownStates(2);
    std::vector<Bytes> recordStates(2);
    for (std::size_t self = 0; self < 2; ++self) {
        SCOPED_TRACE(self);
        const Bytes& j = image.at(self == 1 ? "STAFF.JNL" : "\xE5\xAD\xA6\xE6\xAD\xB4.JNL");
        ASSERT_GE(j.size(), 128u);
        EXPECT_EQ(GetU32(&j[8]), JOURNAL_BOUND_FORMAT);
        EXPECT_EQ(GetU32(&j[60]), JournalChecksum(j.data(), 60));
        const uint64_t length = GetU64(&j[16]);
        ASSERT_EQ(128 + length, j.size());
        EXPECT_TRUE(std::equal(j.begin(), j.begin() + 64, j.end() - 64)) << "the copy of the header";
        EXPECT_EQ(GetU32(&j[24]), JournalChecksum(&j[64], length));
        if (self == 0) id = GetU64(&j[40]);
        EXPECT_NE(id, 0u);
        EXPECT_EQ(GetU64(&j[40]), id);
        const uint32_t recordLength = GetU32(&j[48]);
        ASSERT_LT(recordLength, length);
        const std::size_t record = 64 + length - recordLength;
        EXPECT_EQ(GetU32(&j[52]), JournalChecksum(&j[record], recordLength));
        for (std::size_t k = 56; k < 60; ++k) EXPECT_EQ(j[k], 0) << k;
        // Past the entries (as in format 2), the record.
        std::size_t at = 64;
        ownStates[self].push_back(static_cast<uint8_t>(GetU32(&j[28])));
        for (uint32_t e = 0; e < GetU32(&j[28]); ++e) {
            const uint32_t ranges = GetU32(&j[at + 24]);
            const std::size_t head = at;
            at += 46 + 2u * GetU16(&j[at + 44]);
            ownStates[self].insert(ownStates[self].end(), j.begin() + static_cast<std::ptrdiff_t>(head),
                                   j.begin() + static_cast<std::ptrdiff_t>(at));
            PutU32(&ownStates[self][ownStates[self].size() - (at - head) + 24], 0);
            for (uint32_t r = 0; r < ranges; ++r) at += 12 + GetU32(&j[at + 8]);
        }
        ASSERT_EQ(at, record);
        EXPECT_EQ(GetU16(&j[at]), 2u);
        EXPECT_EQ(GetU16(&j[at + 2]), self);
        at += 4;
        std::vector<std::string> names;
        for (int n = 0; n < 8; ++n) {
            const uint16_t size = GetU16(&j[at]);
            names.emplace_back(reinterpret_cast<const char*>(&j[at + 2]), size);
            at += 2u + size;
        }
        std::vector<std::string> expected;
        for (const std::string& table : order)
            for (const char* ext : {".JNL", ".DAT", ".IDX", ".BLB"}) expected.push_back(table + ext);
        EXPECT_EQ(names, expected);
        Bytes states(j.begin() + static_cast<std::ptrdiff_t>(at), j.begin() + static_cast<std::ptrdiff_t>(64 + length));
        if (self == 0) recordStates[0] = states;
        EXPECT_EQ(states, recordStates[0]) << "every journal records the same states";
    }
    Bytes both = ownStates[0];
    both.insert(both.end(), ownStates[1].begin(), ownStates[1].end());
    EXPECT_EQ(recordStates[0], both);
}

// A recovery records how it settled a cut commit beside every journal it holds.
// A journal that still holds a commit its deciding journal no longer holds, every
// table after it (a copy of it put back), is dropped unplayed when no record knows
// the commit: it completed. A record that dropped entries to make room, or is
// damaged, cannot vouch for its silence: every open of the table is refused naming
// its journal, which stays until the record is put right. One that cannot be
// written refuses the open, naming it, and nothing changes.
TEST(CommitFault, ARecordThatCannotVouchForItsSilenceRefusesTheTable) {
    CommitTables t(2);
    t.Keep();
    const RecordedCommit run = RecordCommit(t, false, 2);
    std::mt19937 none(0);
    const FolderFiles killed = CutImage(run.Baseline, run.Events, run.Next(run.Next(0, false), true), CutModel::Kill, none);
    const NoDiskSyncs noSyncs;
    WriteFolder(t.Work(), killed);
    ASSERT_EQ(RecoverTables(t.Work(), {t.Names()[0]}), 0);
    EXPECT_EQ(t.Contents(), t.Before());
    const uint64_t id = dfbytes::GetU64(&killed.at(t.Journal(0))[40]);
    const std::string record = t.Work() + "/" + platform::Cp932ToUtf8(t.Names()[1]) + ".JNS";
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_EQ(jnl::ReadSettled(t.Work() + "/" + t.Names()[i] + ".JNS").Find(id), jnl::TOutcome::RolledBack) << i;
    jnl::TSettledCommits full;
    for (uint64_t other = 0; other <= jnl::SETTLED_ENTRIES; ++other) full.Add(other + 1, jnl::TOutcome::RolledBack);
    // None, damaged, with dropped entries, whole but read-only, whole at the end of a link.
    const std::vector<Bytes> records = {{}, {1, 2, 3}, jnl::SettledSlot(full), jnl::SettledSlot({}), jnl::SettledSlot({})};
    const TempDir elsewhere;
    for (std::size_t r = 0; r < records.size(); ++r) {
        const Bytes& bytes = records[r];
        const bool readOnly = r >= 3, linked = r == 4;
        SCOPED_TRACE(std::to_string(bytes.size()) + (readOnly ? ", read-only" : "") + (linked ? ", a link" : ""));
        FolderFiles copyBack = run.Done;
        copyBack[t.Journal(0)] = killed.at(t.Journal(0));
        WriteFolder(t.Work(), copyBack);
        if (!bytes.empty()) WriteBytes(linked ? elsewhere.file("T.JNS") : record, bytes);
        if (linked) fs::create_symlink(elsewhere.file("T.JNS"), record);
        else if (readOnly) fs::permissions(record, fs::perms::owner_read);
        for (int open = 0; open < 2 && !bytes.empty(); ++open) {
            const Raised refused =
                RaisedBy([&] { OpenRecordCursor(*RecordDb(t.Work(), lpPessimistic).dir, t.Names()[0]); });
            EXPECT_EQ(refused.code, readOnly ? KURA_OSEACCES : KURA_HEADERCORRUPT);
            EXPECT_TRUE(refused.table.ends_with(readOnly ? "/" + t.Names()[1] + ".JNS" : "/" + t.Names()[0] + ".JNL"))
                << refused.table;
            EXPECT_EQ(ReadFolder(t.Work()).at(t.Journal(0)), copyBack.at(t.Journal(0)));
        }
        EXPECT_EQ(linked ? ReadBytes(elsewhere.file("T.JNS")) : bytes, bytes) << "written through the link";
        fs::remove(record);
        EXPECT_EQ(t.Contents(), t.After());
    }
}

// A forced commit that changes one of the transaction's tables syncs what a
// forced commit of that table alone syncs. One over several tables syncs each
// journal's payload before its header, the deciding journal's decision in its copy
// and then in its header, and the others' invalidations; the deciding journal then
// goes unsynced.
TEST(CommitFault, AOneTableCommitCostsNoMoreSyncs) {
    CommitTables alone(1);
    alone.Keep();
    CommitTables two(2);
    two.Keep();
    const std::size_t one = Syncs(RecordCommit(alone, true, 1).Events);
    EXPECT_EQ(Syncs(RecordCommit(two, true, 1).Events), one);
    const RecordedCommit both = RecordCommit(two, true, 2);
    EXPECT_EQ(Syncs(both.Events), 2 * one + 3);
    std::cout << "syncs of a forced commit: " << one << " for one table, " << Syncs(both.Events) << " for two\n";
    for (const FileEvent& e : both.Events) EXPECT_EQ(e.File.find(".JNL."), std::string::npos) << e.File;
}

namespace {

// What a user or another program does to one table of a cut commit before anything
// opens it again.
enum class TableOp {
    Drop,                  // DROP TABLE
    CreateOver,            // CREATE TABLE over it
    DeleteFiles,           // its .DAT, .IDX and .BLB deleted by hand
    DeleteAndCreate,       // all its files deleted, the table created anew
    OlderCopy,             // its files and journal put back as they were before the commit
    StaleJournal,          // its journal replaced by one an earlier flush of it left
    ForeignJournal,        // its journal replaced by another table's
    FlipPayloadByte,       // media damage: a byte of the journal past its header
    FlipHeaderByte,        //               a byte of its header
    ZeroHeader,            //               its header zeroed
    CutShort,              //               the journal cut short
    RecordNamesOtherPlace, // its commit record's place changed, its checksums made to hold
    RenameByHand,          // its four files, the journal among them, renamed by hand
    CreateOverJournal,     // its .DAT, .IDX and .BLB deleted by hand, the table created over its journal
    RenameOnto,            // the same, and another table renamed onto its name
    RenameOtherOnto,       // the same, and the next table of the commit renamed onto its name
    LaterCommitAlone,      // opened, and a commit on it alone (while others still hold the cut commit)
    HeldByAnother,         // opened for exclusive use by another program while the others are opened
    StaleCopyBack,         // its journal copied, the commit settled, a later one over the others, the copy put back
    AwayMeanwhile,         // its four files moved away, the others opened and a later commit over them, the files back
    CopyBackAfterLater,    // a copy of its four files taken, all opened, a later commit over the others, the copy back
    RenamedOthersWritten,  // renamed by hand, the others opened and a later commit over them, then opened renamed
    RenamedOthersHeld,     // renamed by hand, the others opened, then held for exclusive use while it is opened
    SwappedByHand,         // its four files and the next table's swapped by hand
    CopyOpenedFirst,       // its four files copied to another name (it stays), the copy opened first
    // Its four files moved away, the others opened (settled) and then, before the files are back:
    RecordsLostMeanwhile,  //   a later commit over them and their records filled or damaged, one more cut and settled
    PartnersRenamed,       //   renamed through the engine (all but one of them dropped), or by hand without records
    ForeignRecord,         //   a record that says the commit stood put beside one of them (or beside it)
    // Nothing by hand: it stays, and all the others (whose journals may have let go of the commit) are
    OthersDropped,         //   dropped (DROP TABLE in SQL, or through the engine)
    OthersRenamed,         //   renamed through the engine, then a later commit over them
    OthersCutMany          //   written by more commits than a record keeps, each killed and settled, then a later one
};
// The operations by hand while the other tables are settled or written.
constexpr int kFirstByHand = static_cast<int>(TableOp::AwayMeanwhile);

bool OneOf(TableOp op, std::initializer_list<TableOp> ops) { return std::find(ops.begin(), ops.end(), op) != ops.end(); }

// What a report says, by its context (a long folder fills the message's 254 bytes): the
// code, the journal named, the way out, and the file the way out names, whole, with its folder.
std::string Told(const EKuraEngineError& e) {
    std::string told = "Kura Engine Error # " + std::to_string(e.ErrorCode()) + " '" + e.ErrorContext(ctxTable) +
                       "' | " + e.ErrorContext(ctxMessage);
    if (JournalReportOf(e) == TJournalReport::RemoveRecord)
        for (const std::string& name : JournalReportNames(e)) told += " | to remove: '" + name + "'";
    return told;
}

// The journal's checksums, and its copy of the header, made to hold again.
void Reseal(Bytes& j) {
    using namespace dfbytes;
    const uint64_t length = GetU64(&j[16]);
    const uint32_t record = GetU32(&j[48]);
    PutU32(&j[52], JournalChecksum(&j[64 + length - record], record));
    PutU32(&j[24], JournalChecksum(&j[64], length));
    PutU32(&j[60], JournalChecksum(j.data(), 60));
    if (j.size() == 128 + length) std::copy(j.begin(), j.begin() + 64, j.end() - 64);
}

// Whether the table's files are the ones of an image (change counters aside),
// under the name `as` in the image.
bool SameTable(const FolderFiles& now, const FolderFiles& image, const std::string& table, const std::string& as) {
    for (const char* ext : {".DAT", ".IDX", ".BLB"}) {
        const auto a = now.find(platform::Cp932ToUtf8(table) + ext);
        const auto b = image.find(platform::Cp932ToUtf8(as) + ext);
        if ((a == now.end()) != (b == image.end())) return false;
        if (a == now.end()) continue;
        if (a->second.size() != b->second.size() ||
            !std::equal(a->second.begin() + std::min<std::ptrdiff_t>(4, static_cast<std::ptrdiff_t>(a->second.size())),
                        a->second.end(),
                        b->second.begin() + std::min<std::ptrdiff_t>(4, static_cast<std::ptrdiff_t>(b->second.size()))))
            return false;
    }
    return true;
}

// Each table's journal as an earlier flush of that table alone left it, hot.
std::vector<Bytes> StaleJournals(const CommitTables& t) {
    std::vector<Bytes> stale;
    for (std::size_t k = 0; k < t.Names().size(); ++k) {
        t.Restore();
        std::vector<FileEvent> events;
        {
            CallRecorder recorder(t.Work());
            {
                RecordDb db(t.Work(), lpPessimistic);
                auto c = OpenRecordCursor(*db.dir, t.Names()[k]);
                std::mt19937 rng(static_cast<uint32_t>(k));
                RunCrashOp(*c, NewRecordOp(rng, 300, CrashOp::Append));
            }
            events = recorder.Events();
        }
        Bytes journal;
        for (const FileEvent& e : events)
            if (e.What == FileEvent::Write && e.File == platform::Cp932ToUtf8(t.Names()[k]) + ".JNL" && e.Offset == 0 &&
                e.Data.size() > 64) {
                journal = e.Data;
                break;
            }
        EXPECT_FALSE(journal.empty());
        stale.push_back(journal);
    }
    t.Restore();
    return stale;
}

}  // namespace

// A commit over two and three tables is cut at each of its calls (a kill; a power
// cut that loses or tears what was not synced), and before anything opens the
// tables again one of them goes through a table-level operation (TableOp). Then the
// tables are opened in every order. Each table ends on one side of the commit (the
// dropped or new one aside), or an open is refused naming the journal that could
// not take it back: the commit is never split silently, and every table opens
// again afterwards. One part per commit (two or three tables, forced or not), per
// model of the cut and per group of operations, so that each part runs well within
// a test's time.
struct TableOpsPart {
    CommitCase Case;
    CutModel Model;
    TableOp First, Last;  // a group of operations, in order
    const char* Ops;
    bool Damages;  // some operation damages a journal: a report must come in every part
    std::string Name() const {
        return std::string(Case.Tables == 2 ? "Two" : "Three") + "Tables" + (Case.Forced ? "Forced" : "") +
               (Model == CutModel::Kill ? "Killed" : Model == CutModel::Lost ? "WritesLost" : "WritesTorn") + Ops;
    }
};
void PrintTo(const TableOpsPart& part, std::ostream* out) { *out << part.Name(); }

std::vector<TableOpsPart> TableOpsParts() {
    using enum TableOp;
    // Every operation, in three groups.
    const std::tuple<TableOp, TableOp, const char*, bool> groups[] = {{Drop, FlipHeaderByte, "MadeAnewOrDamaged", true},
        {ZeroHeader, StaleCopyBack, "DamagedRenamedOrUsedAlone", true}, {AwayMeanwhile, OthersCutMany, "AwayOrOthersGoOn", false}};
    std::vector<TableOpsPart> parts;
    for (const CommitCase c : {CommitCase{2, false}, CommitCase{2, true}, CommitCase{3, false}, CommitCase{3, true}})
        for (const CutModel model : {CutModel::Kill, CutModel::Lost, CutModel::Torn})
            for (const auto& [first, last, ops, damages] : groups)
                if (c.Forced || model == CutModel::Kill) parts.push_back({c, model, first, last, ops, damages});
    return parts;
}

using ATableDroppedRestoredOrDamagedBeforeRecovery = ::testing::TestWithParam<TableOpsPart>;

TEST_P(ATableDroppedRestoredOrDamagedBeforeRecovery, NeverSplitsTheCommit) {
    using enum TableOp;
    int reported = 0;
    int runs = 0;
    {
        const CommitCase c = GetParam().Case;
        SCOPED_TRACE(c.Name());
        CommitTables t(c.Tables);
        t.Keep();
        const std::vector<Bytes> stale = StaleJournals(t);
        const RecordedCommit run = RecordCommit(t, c.Forced, t.Names().size());
        const std::size_t m = t.Names().size();
        const NoDiskSyncs noSyncs;
        // The orders of opening: all of them with two tables; with three, two a case
        // (one and its reverse, a different pair from case to case).
        std::vector<std::vector<std::size_t>> orders;
        std::vector<std::size_t> order(m);
        std::iota(order.begin(), order.end(), 0);
        do orders.push_back(order);
        while (std::next_permutation(order.begin(), order.end()));
        // The same image (a power cut loses what earlier cuts lost too) needs opening once.
        std::set<std::tuple<uint64_t, std::size_t, TableOp>> seen;
        std::size_t turn = 0;
        for (std::size_t cut = 0; cut <= run.Events.size(); ++cut) {
            std::mt19937 rng(static_cast<uint32_t>(cut * 7 + m));
            for (const CutModel model : {GetParam().Model}) {
                const FolderFiles image = CutImage(run.Baseline, run.Events, cut, model, rng);
                // One operation on each table, another at each cut; every operation (but those by
                // hand) on every table while the deciding journal says the commit stands (the few
                // calls before the other journals have let go of it); each table whose journal does
                // not hold the commit while another's does used alone; a table renamed by hand
                // (another at each cut) while every journal holds the commit undecided; one whose
                // journal holds it (another table and operation at each cut) away, put back or
                // swapped; the deciding table renamed while the others are settled; and, while the
                // deciding journal says the commit stands, every other table taken away or
                // written on through the engine.
                // The table whose journal says the commit stands, in its header and the
                // header's copy (not yet both: a damaged header may leave it undecided).
                std::size_t decider = m;
                std::vector<bool> holds(m);
                for (std::size_t k = 0; k < m; ++k) {
                    if (DecidedIn(image, t.Journal(k))) decider = k;
                    const Bytes* j = HotJournal(image, t.Journal(k), 128);
                    holds[k] = j && dfbytes::GetU32(&(*j)[8]) == JOURNAL_BOUND_FORMAT;
                }
                const bool decided = decider < m;
                const auto holders = static_cast<std::size_t>(std::count(holds.begin(), holds.end(), true));
                const std::size_t step = cut + static_cast<std::size_t>(model);
                std::vector<std::pair<std::size_t, TableOp>> work;
                for (std::size_t k = 0; k < m; ++k)
                    for (int o = static_cast<int>(GetParam().First); o <= static_cast<int>(GetParam().Last); ++o) {
                        const auto op = static_cast<TableOp>(o);
                        const bool alone = OneOf(op, {LaterCommitAlone, HeldByAnother}) && holders > 0 && !holds[k];
                        const bool renamed = op == RenameByHand && holders == m && !decided && k == step % m;
                        const bool rotated = static_cast<std::size_t>(o) == (step + 5 * k) % kFirstByHand;
                        const TableOp byHand[] = {AwayMeanwhile, CopyBackAfterLater, SwappedByHand};
                        const bool elsewhere =
                            (op == byHand[step / m % 3] || op == CopyOpenedFirst) && holds[k] && k == step % m;
                        const bool deciding = OneOf(op, {RenamedOthersWritten, RenamedOthersHeld, RecordsLostMeanwhile,
                                                         PartnersRenamed, ForeignRecord}) &&
                                              k == decider;
                        if (op >= OthersDropped ? k == decider
                            : o >= kFirstByHand ? elsewhere || deciding
                                                : decided || alone || renamed || rotated)
                            work.emplace_back(k, op);
                    }
                for (const auto& [table, operation] : work) {
                    const std::size_t k = table;
                    const TableOp op = operation;
                    SCOPED_TRACE("cut after call " + std::to_string(cut) + ", model " +
                                 std::to_string(static_cast<int>(model)) + ", operation " +
                                 std::to_string(static_cast<int>(op)) + " on table " + std::to_string(k));
                    // Engine names are code page 932, the names on the disk UTF-8.
                    if (!seen.emplace(DigestOf(image), k, op).second) continue;
                    const std::string& name = t.Names()[k];
                    const std::string disk = platform::Cp932ToUtf8(name);
                    const std::string base = t.Work() + "/" + disk;
                    WriteFolder(t.Work(), image);
                    FolderFiles files = image;
                    const Bytes* const journal = HotJournal(files, disk + ".JNL", 128);
                    std::vector<std::string> reports;
                    // The names the tables go by now (a copy of table k adds one), those gone (dropped or
                    // replaced); the keys of records later commits added.
                    std::vector<std::string> names = t.Names();
                    std::set<std::size_t> gone;
                    std::map<std::size_t, int32_t> later;
                    auto engine = [&](const std::function<void(RecordDb&)>& f) {
                        try {
                            RecordDb db(t.Work(), lpPessimistic);
                            f(db);
                        } catch (const EKuraEngineError& e) {
                            EXPECT_EQ(e.ErrorCode(), KURA_HEADERCORRUPT) << e.what();
                            reports.push_back(Told(e));
                        }
                    };
                    // The other tables opened (which settles what they hold) and a commit over them and `also`
                    // (778: a later one, whose records are set aside once it is done); its calls kept in `cut`.
                    auto commitOverOthers = [&](int32_t key, const std::string& also = {}, RecordedCommit* cut = nullptr) {
                        engine([&](RecordDb& db) {
                            std::vector<std::unique_ptr<TDataCursor>> others;
                            for (std::size_t i = 0; i < m; ++i)
                                if (i != k) others.push_back(OpenRecordCursor(*db.dir, names[i]));
                            if (!also.empty()) others.push_back(OpenRecordCursor(*db.dir, also));
                            db.dir->StartTransaction();
                            for (auto& c : others) AppendStressRecord(*c, key, cut ? "cut" : "later" + std::to_string(key), "", {});
                            std::optional<CallRecorder> recorder;
                            if (cut) cut->Baseline = ReadFolder(t.Work());
                            if (cut) recorder.emplace(t.Work());
                            db.dir->Commit(true, false);
                            if (cut) cut->Events = recorder->Events();
                            for (std::size_t i = 0; key == 778 && i < m; ++i)
                                if (i != k) later[i] = key;
                        });
                    };
                    // The table's four files moved from one name to another (or to another folder).
                    auto move = [&](const std::string& from, const std::string& to) {
                        for (const char* ext : {".DAT", ".IDX", ".BLB", ".JNL"})
                            if (fs::exists(from + ext)) fs::rename(from + ext, to + ext);
                    };
                    // Its four files put back from a copy, those it holds.
                    auto putBack = [&](const FolderFiles& copy) {
                        for (const char* ext : {".DAT", ".IDX", ".BLB", ".JNL"})
                            if (copy.count(disk + ext) != 0) WriteBytes(base + ext, copy.at(disk + ext));
                    };
                    bool ontoRefused = false;  // a rename onto the name refused for the journal there
                    std::vector<std::size_t> held;  // kept by another program while the others are opened
                    if (op == HeldByAnother) held.push_back(k);
                    switch (op) {
                        case Drop:
                            engine([&](RecordDb& db) { EXPECT_EQ(db.dir->DeleteTable(name, false), 0); });
                            gone.insert(k);
                            break;
                        case CreateOver:
                            engine([&](RecordDb& db) { EXPECT_TRUE(CreateRecordTable(*db.dir, name, StressTable())); });
                            gone.insert(k);
                            break;
                        case DeleteFiles:
                        case DeleteAndCreate:
                        case CreateOverJournal:
                        case RenameOnto:
                        case RenameOtherOnto:
                            for (const char* ext : {".DAT", ".IDX", ".BLB"}) fs::remove(base + ext);
                            gone.insert(k);
                            if (op == DeleteFiles) break;
                            if (op == DeleteAndCreate) fs::remove(base + ".JNL");
                            engine([&](RecordDb& db) {
                                const std::size_t next = (k + 1) % m;
                                const std::string made = op == RenameOnto ? "SPARE" : op == RenameOtherOnto ? names[next] : name;
                                EXPECT_TRUE(op == RenameOtherOnto || CreateRecordTable(*db.dir, made, StressTable()));
                                if (made == name) return;
                                // A journal there that still holds anything, or that a cut commit naming the
                                // table renamed names too (which the rename, settling it first, writes beside),
                                // is not the new table's: the rename is refused unchanged, naming it as it stands.
                                const FolderFiles before = ReadFolder(t.Work());
                                try {
                                    db.dir->RenameTable(made, name, false, false);
                                } catch (const EKuraEngineError& e) {
                                    if (e.ErrorCode() == KURA_HEADERCORRUPT) throw;  // a report, said
                                    ontoRefused = true;
                                    EXPECT_EQ(e.ErrorCode(), KURA_TABLEEXISTS) << e.what();
                                    EXPECT_EQ(platform::Cp932ToUtf8(e.ErrorContext(3)), base + ".JNL");
                                    EXPECT_TRUE(ReadFolder(t.Work()) == before) << "changed";
                                    return;
                                }
                                if (op == RenameOtherOnto) names[next] = name;
                            });
                            break;
                        case RenameByHand:
                        case RenamedOthersWritten:
                        case RenamedOthersHeld:
                            names[k] = "RENAMED";
                            move(base, t.Work() + "/" + names[k]);
                            if (op == RenamedOthersWritten) commitOverOthers(778);
                            for (std::size_t i = 0; op == RenamedOthersHeld && i < m; ++i)
                                if (i != k) {
                                    engine([&](RecordDb& db) { OpenRecordCursor(*db.dir, names[i]); });
                                    held.push_back(i);
                                }
                            break;
                        case SwappedByHand:
                            std::swap(names[k], names[(k + 1) % m]);
                            move(base, t.Work() + "/SWAP");
                            move(t.Work() + "/" + platform::Cp932ToUtf8(names[k]), base);
                            move(t.Work() + "/SWAP", t.Work() + "/" + platform::Cp932ToUtf8(names[k]));
                            break;
                        case LaterCommitAlone:
                            engine([&](RecordDb& db) {
                                AppendStressRecord(*OpenRecordCursor(*db.dir, name), 777, "later", "", {});
                            });
                            later[k] = 777;
                            break;
                        case HeldByAnother:
                            break;
                        case StaleCopyBack:
                        case CopyBackAfterLater:
                        case AwayMeanwhile:
                            if (!journal) break;
                            // The copy a backup took (of its journal, or its four files), and everything opened
                            // (settled); or its four files moved away. Then a later commit over the other tables,
                            // and the copy or the files put back.
                            if (op == AwayMeanwhile) move(base, t.Work() + "/../AWAY");
                            else engine([&](RecordDb& db) { OpenRecordCursor(*db.dir, name); });
                            commitOverOthers(778);
                            if (op == StaleCopyBack) WriteBytes(base + ".JNL", *journal);
                            else putBack(image);
                            break;
                        case CopyOpenedFirst:
                            for (const char* ext : {".DAT", ".IDX", ".BLB", ".JNL"})
                                if (fs::exists(base + ext)) fs::copy_file(base + ext, t.Work() + "/COPY" + ext);
                            names.push_back("COPY");
                            break;
                        case RecordsLostMeanwhile:
                        case PartnersRenamed:
                        case ForeignRecord: {
                            move(base, t.Work() + "/../AWAY");
                            const std::size_t variant = step / m % 3;
                            for (std::size_t i = 0, renamed = 0; i < m; ++i) {
                                const std::string other = t.Work() + "/" + names[i], record = other + ".JNS";
                                if (i == k) continue;
                                // Renamed through the engine (variant 1: the first, the others dropped), or by hand.
                                if (op != PartnersRenamed || variant == 2)
                                    engine([&](RecordDb& db) { OpenRecordCursor(*db.dir, names[i]); });
                                if (op == PartnersRenamed && variant == 1 && renamed++ > 0) {
                                    engine([&](RecordDb& db) { EXPECT_EQ(db.dir->DeleteTable(names[i], false), 0); });
                                    gone.insert(i);
                                } else if (op == PartnersRenamed) {
                                    const std::string to = "R" + std::to_string(i);
                                    if (variant == 2) move(platform::Cp932ToUtf8(other), t.Work() + "/" + to);
                                    else engine([&](RecordDb& db) { EXPECT_EQ(db.dir->RenameTable(names[i], to, false, false), 0); });
                                    EXPECT_FALSE(fs::exists(platform::Cp932ToUtf8(record)) && variant == 0);
                                    names[i] = to;
                                }
                                // Its record filled to the limit, so that the next commit settled drops the entry;
                                // or damaged.
                                jnl::TSettledCommits full = jnl::ReadSettled(record);
                                for (uint64_t id = 1; full.Entries.size() < jnl::SETTLED_ENTRIES; ++id)
                                    full.Add(id, jnl::TOutcome::RolledBack);
                                if (op == RecordsLostMeanwhile && variant % 2 == 0) jnl::WriteSettled(record, full);
                                if (op == RecordsLostMeanwhile && variant % 2 == 1)
                                    WriteBytes(platform::Cp932ToUtf8(record), Bytes(2 * jnl::SETTLED_SLOT_SIZE, 0x5A));
                            }
                            if (op == RecordsLostMeanwhile) {
                                // A commit over them killed once its journals are written, settled by the next.
                                RecordedCommit cut{ReadFolder(t.Work()), {}, {}};
                                {
                                    CallRecorder recorder(t.Work());
                                    commitOverOthers(779);
                                    cut.Events = recorder.Events();
                                }
                                WriteFolder(t.Work(), cut.KilledInPlace(0, 1));
                                commitOverOthers(778);
                            }
                            if (op == ForeignRecord)
                                jnl::WriteSettled(t.Work() + "/" + names[m == 2 ? k : (k + 1) % m] + ".JNS",
                                                  {{{dfbytes::GetU64(&image.at(disk + ".JNL")[40]), jnl::TOutcome::Stood}}});
                            move(t.Work() + "/../AWAY", base);
                            break;
                        }
                        case OlderCopy:
                            putBack(run.Baseline);
                            break;
                        case StaleJournal:
                            WriteBytes(base + ".JNL", stale[k]);
                            break;
                        case OthersDropped:
                        case OthersRenamed:
                        case OthersCutMany:
                            for (std::size_t i = 0, dropped = 0; op != OthersCutMany && i < m; ++i) {
                                if (i == k) continue;
                                if (op == OthersDropped) gone.insert(i);
                                const std::string to = op == OthersRenamed ? "N" + std::to_string(i) : names[i];
                                engine([&](RecordDb& db) {
                                    if (op == OthersRenamed) EXPECT_EQ(db.dir->RenameTable(names[i], to, false, false), 0);
                                    else if (dropped++ > 0) EXPECT_EQ(db.dir->DeleteTable(names[i], false), 0);
                                    else {  // in SQL, as a user may spell it: in another case
                                        TQueryStatement drop(db.dir);
                                        drop.Prepare("DROP TABLE \"" + (to == "STAFF" ? std::string("Staff") : to) + "\"");
                                        TDataCursor* none = nullptr;
                                        drop.Execute(none);
                                    }
                                });
                                names[i] = to;
                            }
                            if (op != OthersCutMany) {
                                if (op == OthersRenamed) commitOverOthers(778);
                                break;
                            }
                            // Commits over the others and a table of their own (the others alone may be one
                            // table, whose commits need no record), each killed before it is decided and settled
                            // by the next, until the others' records have dropped entries.
                            engine([&](RecordDb& db) { EXPECT_TRUE(CreateRecordTable(*db.dir, "SPARE", StressTable())); });
                            for (std::size_t n = 0; n <= jnl::SETTLED_ENTRIES; ++n) {
                                RecordedCommit cut;
                                commitOverOthers(779, "SPARE", &cut);
                                WriteFolder(t.Work(), cut.KilledInPlace(n % 3, static_cast<uint32_t>(n)));
                            }
                            commitOverOthers(778, "SPARE");
                            for (std::size_t i = 0; i < m; ++i)
                                EXPECT_TRUE(i == k || jnl::ReadSettled(t.Work() + "/" + names[i] + ".JNS").DroppedOthers) << i;
                            break;
                        case ForeignJournal: {
                            const auto other = files.find(platform::Cp932ToUtf8(t.Names()[(k + 1) % m]) + ".JNL");
                            if (other != files.end()) WriteBytes(base + ".JNL", other->second);
                            break;
                        }
                        default: {
                            if (!journal) break;
                            Bytes j = *journal;
                            if (op == FlipPayloadByte) j[64 + (j.size() - 64) / 2] ^= 0x10;
                            if (op == FlipHeaderByte) j[20] ^= 0x01;
                            if (op == ZeroHeader) std::fill(j.begin(), j.begin() + 64, 0);
                            if (op == CutShort) j.resize(64 + (j.size() - 64) / 2);
                            if (op == RecordNamesOtherPlace) {
                                const uint64_t length = dfbytes::GetU64(&j[16]);
                                const std::size_t record = 64 + length - dfbytes::GetU32(&j[48]);
                                dfbytes::PutU16(&j[record + 2], static_cast<uint16_t>((dfbytes::GetU16(&j[record + 2]) + 1) % m));
                                Reseal(j);
                            }
                            WriteBytes(base + ".JNL", j);
                        }
                    }
                    const FolderFiles operated = ReadFolder(t.Work());
                    // Made anew over a journal that held the commit: the commit was settled first.
                    const bool madeOver = OneOf(op, {CreateOverJournal, RenameOnto}) && holds[k] && !ontoRefused;
                    for (std::size_t i = 0; madeOver && i < m; ++i)
                        EXPECT_EQ(HotJournal(operated, t.Journal(i)), nullptr) << "not settled";
                    std::vector<std::vector<std::size_t>> chosen = orders;
                    if (m > 2) {
                        chosen = {orders[turn++ % orders.size()]};
                        chosen.emplace_back(chosen[0].rbegin(), chosen[0].rend());
                    }
                    for (const std::vector<std::size_t>& order : chosen) {
                        WriteFolder(t.Work(), operated);
                        std::vector<std::string> said = reports;
                        // Whether a report named the table's journal: then the table may be
                        // half written, the one thing that could take it back being gone.
                        auto named = [&](std::size_t i) {
                            return std::any_of(said.begin(), said.end(), [&](const std::string& s) {
                                return s.find("/" + names[i] + ".JNL") != std::string::npos;
                            });
                        };
                        auto open = [&](std::size_t i) -> std::optional<CrashRows> {
                            try {
                                RecordDb db(t.Work(), lpPessimistic);
                                auto c = OpenRecordCursor(*db.dir, names[i]);
                                if (later.count(i) != 0) return CheckTable(*c).Rows;
                            } catch (const EKuraEngineError& e) {
                                const std::string what = Told(e);
                                if ((e.ErrorCode() == KURA_OSENOENT && gone.contains(i)) || named(i)) return std::nullopt;
                                EXPECT_EQ(e.ErrorCode(), KURA_HEADERCORRUPT) << what;
                                EXPECT_NE(what.find(".JNL"), std::string::npos) << what;
                                said.push_back(what);
                            }
                            return std::nullopt;
                        };
                        {
                            // Another program keeps tables to itself while the others are opened.
                            std::optional<RecordDb> holder;
                            std::vector<std::unique_ptr<TDataCursor>> holding;
                            if (!held.empty()) holder.emplace(t.Work(), lpPessimistic);
                            for (const std::size_t i : held)
                                holding.push_back(OpenRecordCursor(*holder->dir, names[i], true));
                            if (op == CopyOpenedFirst) open(m);
                            for (const std::size_t i : order)
                                if (std::find(held.begin(), held.end(), i) == held.end()) open(i);
                        }
                        for (const std::size_t i : held) open(i);
                        // Whatever was said, each table opens again (or is gone, or was named).
                        std::size_t reportsBefore = said.size();
                        std::vector<std::optional<CrashRows>> rows(names.size());
                        for (std::size_t i = 0; i < names.size(); ++i) rows[i] = open(i);
                        EXPECT_EQ(said.size(), reportsBefore) << "a report made twice";
                        // The way out a report names taken (the file it says to remove gone; a table not found
                        // put back, as the operation did, or gone for good and the journal removed): the tables
                        // it named open, and on the others' side.
                        const auto wayOut = std::find_if(said.begin(), said.end(), [](const std::string& s) {
                            return s.find("remove '") != std::string::npos || s.find("is not found") != std::string::npos;
                        });
                        EXPECT_TRUE(op != ForeignRecord || said.empty() || wayOut != said.end()) << "no way out named";
                        if (wayOut != said.end()) {
                            constexpr std::string_view toRemove = " | to remove: '";
                            const std::size_t named = wayOut->find(toRemove);
                            EXPECT_EQ(named != std::string::npos, wayOut->find("remove '") != std::string::npos)
                                << "a record to remove that cannot be read back whole: " << *wayOut;
                            const std::size_t at = named + toRemove.size();
                            if (named != std::string::npos)
                                EXPECT_TRUE(fs::remove(platform::Cp932ToUtf8(wayOut->substr(at, wayOut->find('\'', at) - at))));
                            else if (OneOf(op, {Drop, OthersDropped})) fs::remove(t.Work() + "/" + t.Journal(decider));
                            said.erase(wayOut);
                            reportsBefore = said.size();
                            for (std::size_t i = 0; i < names.size(); ++i) rows[i] = open(i);
                            EXPECT_EQ(said.size(), reportsBefore) << "refused after its way out";
                        }
                        const FolderFiles now = ReadFolder(t.Work());
                        // The sides: a table named by a report may stand apart.
                        std::set<int> sides;
                        for (std::size_t i = 0; i < names.size(); ++i) {
                            // A table whose files were replaced stands on its own.
                            if (gone.contains(i) || (op == OlderCopy && i == k) || named(i) || (later.count(i) != 0 && !rows[i])) continue;
                            bool before = SameTable(now, run.Baseline, names[i], t.Names()[i < m ? i : k]);
                            bool after = SameTable(now, run.Done, names[i], t.Names()[i < m ? i : k]);
                            if (later.count(i) != 0) {  // records a later commit added aside
                                CrashRows r = *rows[i];
                                EXPECT_EQ(r.erase(later[i]), 1u) << "table " << i << " lost a later commit";
                                before = r == t.Before()[i];
                                after = r == t.After()[i];
                            }
                            EXPECT_TRUE(before || after) << "table " << i << " is on neither side";
                            sides.insert(after ? 1 : 0);
                        }
                        EXPECT_LE(sides.size(), 1u) << "the tables are on different sides, " << said.size()
                                                    << " reports" << (said.empty() ? "" : said[0]);
                        if (c.Forced && cut == run.Events.size() && said.empty()) {
                            EXPECT_EQ(sides.count(0), 0u) << "a forced commit that returned";
                        }
                        // A commit whose deciding journal says it stands is kept, unless that
                        // journal was put out of the way by hand.
                        const bool replaced =
                            k == decider && OneOf(op, {StaleJournal, ForeignJournal, OlderCopy, DeleteAndCreate,
                                                       RenameByHand, AwayMeanwhile, RenamedOthersWritten,
                                                       RenamedOthersHeld, RecordsLostMeanwhile, PartnersRenamed,
                                                       ForeignRecord});
                        if (decided && !replaced && said.empty()) {
                            EXPECT_EQ(sides.count(0), 0u) << "a commit that stood was undone";
                        }
                        // A table used alone, renamed, moved, copied or swapped by hand, or made anew
                        // through the engine is whole: nothing is said of it (unless records that could
                        // tell were lost or disagree, or the deciding table finds no other); nor of the
                        // deciding table whose others were dropped, renamed or written on through the
                        // engine. Nor does a table put back as it was before a commit that stood pass unsaid.
                        const bool told = OneOf(op, {RecordsLostMeanwhile, ForeignRecord}) ||
                                          (op == AwayMeanwhile && decided && k != decider);
                        const bool whole = (op >= AwayMeanwhile && op < OthersDropped && !told) ||
                                           OneOf(op, {LaterCommitAlone, HeldByAnother, RenameByHand, CreateOverJournal,
                                                      OthersDropped, OthersRenamed, OthersCutMany}) ||
                                           (op == RenameOnto && !ontoRefused);
                        EXPECT_TRUE(said.empty() || !whole) << said[0];
                        EXPECT_TRUE(named(k) || !decided || op != OlderCopy || k == decider)
                            << "a table put back before a commit that stood";
                        reported += said.empty() ? 0 : 1;
                        ++runs;
                        if (::testing::Test::HasFailure()) return;
                    }
                }
            }
        }
    }
    std::cout << runs << " orders of opening, " << reported << " with a journal named\n";
    EXPECT_TRUE(reported > 0 || !GetParam().Damages);
}

INSTANTIATE_TEST_SUITE_P(CommitFault, ATableDroppedRestoredOrDamagedBeforeRecovery, ::testing::ValuesIn(TableOpsParts()),
                         [](const ::testing::TestParamInfo<TableOpsPart>& info) { return info.param.Name(); });

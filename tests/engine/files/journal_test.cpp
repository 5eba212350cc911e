// The held-back writes of a flush and the journal's own bytes; the journal of
// three plain files played back after a stop anywhere in a flush, and journals that
// do not fit them or lie about them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <tuple>
#include <vector>

#include "engine/files/EngineFile.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "engine/files/JournalFormat.h"
#include "engine/files/SettledCommits.h"
#include "engine/files/WriteCapture.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CutImages.h"

using namespace kura;
using namespace kura::test;
namespace fs = std::filesystem;

namespace {

const auto* const environment = ::testing::AddGlobalTestEnvironment(new FileListEnvironment);

// A disk file of these bytes, as the capture reads it.
TWriteCapture::TDiskRead ReadsFrom(const std::vector<uint8_t>& disk) {
    return [&disk](int64_t at, void* out, int32_t n) {
        const int64_t have = std::max<int64_t>(0, std::min<int64_t>(n, static_cast<int64_t>(disk.size()) - at));
        if (have > 0) std::memcpy(out, disk.data() + at, static_cast<std::size_t>(have));
        return static_cast<int32_t>(have);
    };
}

// A read of count bytes at `at` gives the model's bytes there, short at its end.
::testing::AssertionResult ReadsAsModel(const TWriteCapture& capture, const TWriteCapture::TDiskRead& fromDisk,
                                        const std::vector<uint8_t>& model, int64_t at, uint32_t count) {
    std::vector<uint8_t> got(count, 0xEE);
    const int32_t n = capture.Read(at, got.data(), static_cast<int32_t>(got.size()), fromDisk);
    const auto expected = static_cast<int32_t>(
        std::max<int64_t>(0, std::min<int64_t>(got.size(), static_cast<int64_t>(model.size()) - at)));
    if (n != expected) return ::testing::AssertionFailure() << "read " << n << " bytes, not " << expected;
    if (!std::equal(got.begin(), got.begin() + n, model.begin() + at))
        return ::testing::AssertionFailure() << "bytes differ from the model";
    return ::testing::AssertionSuccess();
}

// The file as the held-back writes leave it, against a plain byte model: every
// read sees the model, and writing the extents in place over the disk after the
// cut gives the model.
TEST(WriteCapture, ReadsAndTheFinalFileFollowAByteModel) {
    std::mt19937 rng(77);
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> disk(rng() % 3000);
        for (auto& b : disk) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> model = disk;
        TWriteCapture capture;
        capture.Reset(static_cast<int64_t>(disk.size()));
        const TWriteCapture::TDiskRead fromDisk = ReadsFrom(disk);
        for (int step = 0; step < 60; ++step) {
            const uint32_t what = rng() % 10;
            const auto at = static_cast<int64_t>(rng() % (model.size() + 600));
            if (what < 6) {
                std::vector<uint8_t> bytes(1 + rng() % 500);
                for (auto& b : bytes) b = static_cast<uint8_t>(rng());
                capture.Write(at, bytes.data(), static_cast<int32_t>(bytes.size()));
                if (model.size() < at + bytes.size()) model.resize(at + bytes.size(), 0);
                std::copy(bytes.begin(), bytes.end(), model.begin() + at);
            } else if (what == 6) {
                capture.Cut(at);
                model.resize(static_cast<std::size_t>(at), 0);
            } else {
                ASSERT_TRUE(ReadsAsModel(capture, fromDisk, model, at, 1 + rng() % 700)) << round << ":" << step;
            }
            ASSERT_EQ(capture.Size(), static_cast<int64_t>(model.size()));
        }
        // Extents never touch or overlap.
        int64_t end = -1;
        for (const auto& [offset, bytes] : capture.Extents()) {
            EXPECT_GT(offset, end);
            end = offset + static_cast<int64_t>(bytes.size());
        }
        std::vector<uint8_t> file(disk.begin(), disk.begin() + std::min<int64_t>(capture.KeptDiskBytes(),
                                                                                     static_cast<int64_t>(disk.size())));
        for (const auto& [offset, bytes] : capture.Extents()) {
            if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size(), 0);
            std::copy(bytes.begin(), bytes.end(), file.begin() + offset);
        }
        file.resize(static_cast<std::size_t>(capture.Size()), 0);
        EXPECT_EQ(file, model) << round;
    }
}

// Writes deferred to a source (the held changes of a commit) mixed with held-back
// writes and cuts, over the disk bytes and beyond them: reads see the byte model,
// deferred ranges never touch each other or reach into the leading bytes (those
// are held back), the deferred ranges from their source with the extents on top,
// over the disk after the cut, give the model, and the runs of written bytes below
// any offset are those the two kinds of write cover. A source that fails fails
// the reads that need it.
TEST(WriteCapture, DeferredWritesFollowAByteModel) {
    std::mt19937 rng(91);
    int deferred = 0;
    int overDisk = 0;
    for (int round = 0; round < 200; ++round) {
        std::vector<uint8_t> disk(rng() % 3000);
        for (auto& b : disk) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> model = disk;
        // What the source holds, by file offset (as the held changes do).
        std::vector<uint8_t> source;
        bool sourceFails = false;
        const TWriteCapture::TSourceRead fromSource = [&](int64_t at, uint8_t* out, int32_t n) {
            if (sourceFails || at < 0 || at + n > static_cast<int64_t>(source.size())) return false;
            std::memcpy(out, source.data() + at, static_cast<std::size_t>(n));
            return true;
        };
        TWriteCapture capture;
        capture.Reset(static_cast<int64_t>(disk.size()));
        const TWriteCapture::TDiskRead fromDisk = ReadsFrom(disk);
        for (int step = 0; step < 60; ++step) {
            const uint32_t what = rng() % 12;
            const auto at = static_cast<int64_t>(rng() % (model.size() + 600));
            std::vector<uint8_t> bytes(1 + rng() % 500);
            for (auto& b : bytes) b = static_cast<uint8_t>(rng());
            if (what < 4 || what >= 10) {
                if (what < 4) {
                    capture.Write(at, bytes.data(), static_cast<int32_t>(bytes.size()));
                } else {
                    overDisk += at < capture.KeptDiskBytes();
                    if (source.size() < at + bytes.size()) source.resize(at + bytes.size(), 0);
                    // The source holds the bytes before the capture is told of them.
                    std::copy(bytes.begin(), bytes.end(), source.begin() + at);
                    ASSERT_TRUE(capture.Defer(at, static_cast<int64_t>(bytes.size()), fromSource)) << round << ":" << step;
                    ++deferred;
                }
                if (model.size() < at + bytes.size()) model.resize(at + bytes.size(), 0);
                std::copy(bytes.begin(), bytes.end(), model.begin() + at);
            } else if (what == 4) {
                capture.Cut(at);
                model.resize(static_cast<std::size_t>(at), 0);
            } else {
                ASSERT_TRUE(ReadsAsModel(capture, fromDisk, model, at, 1 + rng() % 700)) << round << ":" << step;
            }
            ASSERT_EQ(capture.Size(), static_cast<int64_t>(model.size()));
        }
        int64_t end = -1;
        std::vector<bool> covered(static_cast<std::size_t>(capture.Size()), false);
        for (const auto& [offset, length] : capture.Deferred()) {
            EXPECT_GT(offset, end);
            EXPECT_GE(offset, CAPTURE_LEADING_BYTES);
            EXPECT_GT(length, 0);
            end = offset + length;
            std::fill(covered.begin() + offset, covered.begin() + end, true);
        }
        end = -1;
        for (const auto& [offset, bytes] : capture.Extents()) {
            EXPECT_GT(offset, end);
            end = offset + static_cast<int64_t>(bytes.size());
            std::fill(covered.begin() + offset, covered.begin() + end, true);
        }
        // The runs below a random offset: separate, in order, covering what is written.
        const auto below = static_cast<int64_t>(rng() % (covered.size() + 1));
        std::vector<bool> runs(covered.size(), false);
        end = -1;
        capture.ForEachWritten(below, [&](int64_t offset, int64_t length) {
            EXPECT_GT(offset, end);
            EXPECT_GT(length, 0);
            end = offset + length;
            std::fill(runs.begin() + offset, runs.begin() + end, true);
        });
        EXPECT_LE(end, below);
        std::fill(covered.begin() + below, covered.end(), false);
        EXPECT_EQ(runs, covered) << round;
        std::vector<uint8_t> file(disk.begin(), disk.begin() + std::min<int64_t>(capture.KeptDiskBytes(),
                                                                                     static_cast<int64_t>(disk.size())));
        for (const auto& [offset, length] : capture.Deferred()) {
            if (static_cast<int64_t>(file.size()) < offset + length) file.resize(static_cast<std::size_t>(offset + length), 0);
            ASSERT_TRUE(capture.ReadDeferred(offset, file.data() + offset, static_cast<int32_t>(length)));
        }
        for (const auto& [offset, bytes] : capture.Extents()) {
            if (file.size() < offset + bytes.size()) file.resize(offset + bytes.size(), 0);
            std::copy(bytes.begin(), bytes.end(), file.begin() + offset);
        }
        file.resize(static_cast<std::size_t>(capture.Size()), 0);
        EXPECT_EQ(file, model) << round;
        // A read over a deferred range fails with its source; one beside it does not.
        if (!capture.Deferred().empty()) {
            sourceFails = true;
            const auto& [offset, length] = *capture.Deferred().begin();
            uint8_t b[8];
            EXPECT_EQ(capture.Read(offset, b, 1, fromDisk), -1);
            if (offset > 0) {
                EXPECT_EQ(capture.Read(offset - 1, b, 1, fromDisk), 1);
            }
        }
        capture.Reset(0);
        EXPECT_TRUE(capture.Deferred().empty());
    }
    EXPECT_GT(deferred, 300);
    EXPECT_GT(overDisk, 50);
}

TEST(WriteCapture, RewritesOfOnePlaceStayOneExtent) {
    TWriteCapture c;
    c.Reset(100);
    EXPECT_TRUE(c.Empty());
    const uint8_t a[4] = {1, 2, 3, 4};
    for (int i = 0; i < 5; ++i) c.Write(10, a, 4);
    // Appended slots one after another grow one extent.
    for (int i = 0; i < 50; ++i) c.Write(100 + 4 * i, a, 4);
    EXPECT_EQ(c.Extents().size(), 2u);
    EXPECT_EQ(c.Size(), 300);
    EXPECT_EQ(c.KeptDiskBytes(), 100);
    c.Cut(50);
    EXPECT_EQ(c.Extents().size(), 1u);
    EXPECT_EQ(c.KeptDiskBytes(), 50);
    EXPECT_FALSE(c.Empty());
}

TEST(JournalFormat, ChecksumIsCrc32) {
    // The CRC-32 check value of "123456789".
    const char* text = "123456789";
    EXPECT_EQ(JournalChecksum(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
    EXPECT_EQ(JOURNAL_HEADER_SIZE, 64);
    EXPECT_EQ(JOURNAL_FORMAT, 2u);
}

// The record of settled commits, byte by byte: a slot of two entries; its copy
// read when the slot is damaged, nothing known when both are (and silence then
// untrusted, as past the limit of entries); a rewrite cut off at any call (a kill,
// a power cut that loses or tears what was not synced) leaves the old record or
// the new one, never neither.
TEST(JournalFormat, TheRecordOfSettledCommitsKeepsItsLayout) {
    using jnl::TOutcome;
    jnl::TSettledCommits two;
    two.Add(0x0102030405060708u, TOutcome::RolledBack);
    two.Add(0x1122334455667788u, TOutcome::Stood);
    Bytes golden = {'K', 'U', 'R', 'A', '-', 'J', 'N', 'S', 1, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0x75, 0x5F, 0x1D, 0xEF,
                    8, 7, 6, 5, 4, 3, 2, 1, 1, 0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11, 2};
    golden.resize(24 + 64 * 9, 0);
    EXPECT_EQ(jnl::SettledSlot(two), golden);
    TempDir dir;
    const std::string name = dir.file("T.JNS");
    EXPECT_EQ(jnl::SettledNameOf(dir.file("T.JNL")), name);
    auto read = [&] { return jnl::ReadSettled(name); };
    EXPECT_TRUE(read().Entries.empty() && read().Complete()) << "no file";
    jnl::WriteSettled(name, two);
    Bytes both = golden;
    both.insert(both.end(), golden.begin(), golden.end());
    EXPECT_EQ(ReadBytes(Native(name)), both);
    for (const std::size_t damage : {std::size_t{22}, std::size_t{30}}) {
        Bytes bytes = both;
        bytes[damage] ^= 0x40;
        WriteBytes(Native(name), bytes);
        EXPECT_EQ(read().Entries, two.Entries) << damage;
        bytes[damage + golden.size()] ^= 0x40;
        WriteBytes(Native(name), bytes);
        EXPECT_TRUE(read().Entries.empty() && !read().Complete()) << damage;
    }
    // A note kept past the limit (0x81), and flag 2: others went. An earlier
    // program's record that dropped entries (flag 1) vouches for nothing; a slot
    // with bits of neither kind is damage.
    jnl::TSettledCommits kept;
    kept.Entries = {{0x0102030405060708u, TOutcome::RolledBack, true}};
    kept.DroppedOthers = true;
    Bytes keptGolden = {'K', 'U', 'R', 'A', '-', 'J', 'N', 'S', 1, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0,
                        0x29, 0x71, 0xCF, 0xC5, 8, 7, 6, 5, 4, 3, 2, 1, 0x81};
    keptGolden.resize(golden.size(), 0);
    EXPECT_EQ(jnl::SettledSlot(kept), keptGolden);
    jnl::TSettledCommits parsed;
    ASSERT_TRUE(jnl::ParseSettledSlot(keptGolden.data(), keptGolden.size(), parsed));
    EXPECT_TRUE(parsed.Entries == kept.Entries && parsed.Vouches() && !parsed.Complete());
    Bytes earlier = golden;
    earlier[16] = 1;
    auto resealed = [](Bytes slot) {
        Bytes covered(slot.begin(), slot.begin() + 20);
        covered.insert(covered.end(), slot.begin() + 24, slot.begin() + 24 + 9 * dfbytes::GetU32(&slot[12]));
        dfbytes::PutU32(&slot[20], JournalChecksum(covered.data(), covered.size()));
        return slot;
    };
    ASSERT_TRUE(jnl::ParseSettledSlot(resealed(earlier).data(), earlier.size(), parsed));
    EXPECT_TRUE(parsed.Dropped && !parsed.Vouches() && parsed.Entries == two.Entries);
    for (const auto& [at, value] : {std::pair{16, 4}, {32, 0x82}, {32, 3}, {32, 0x80}}) {
        Bytes bad = keptGolden;
        bad[static_cast<std::size_t>(at)] = static_cast<uint8_t>(value);
        EXPECT_FALSE(jnl::ParseSettledSlot(resealed(bad).data(), bad.size(), parsed)) << at << " " << value;
    }
    // Past the limit the oldest note goes that is not kept, the oldest kept one only
    // when every note is: the record says which kind went, and vouches while no kept
    // note did.
    // Rollbacks noted as kept, then other notes; a note gone, one that stays; whether the record vouches.
    const std::tuple<uint64_t, uint64_t, uint64_t, uint64_t, bool> fills[] = {
        {0, 65, 100, 164, true}, {1, 64, 100, 1, true}, {65, 0, 1, 2, false}};
    for (const auto& [keptNotes, plain, gone, stays, vouches] : fills) {
        jnl::TSettledCommits full;
        for (uint64_t n = 0; n < keptNotes; ++n) full.Add(1 + n, TOutcome::RolledBack, true);
        for (uint64_t n = 0; n < plain; ++n) full.Add(100 + n, n % 2 != 0 ? TOutcome::Stood : TOutcome::RolledBack);
        EXPECT_EQ(full.Entries.size(), jnl::SETTLED_ENTRIES) << keptNotes;
        EXPECT_TRUE(full.Find(gone) == TOutcome::Unknown && full.Find(stays) != TOutcome::Unknown) << keptNotes;
        EXPECT_TRUE(full.Vouches() == vouches && full.Dropped != vouches && !full.Complete()) << keptNotes;
    }
    jnl::TSettledCommits full = two;
    for (uint64_t id = 1; id < jnl::SETTLED_ENTRIES; ++id) full.Add(id, TOutcome::RolledBack);
    EXPECT_EQ(full.Find(two.Entries[0].Id), TOutcome::Unknown);
    // Each call of a rewrite cut off, each slot synced before the next is written.
    const NoDiskSyncs noSyncs;
    jnl::WriteSettled(name, two);
    const FolderFiles old = ReadFolder(Native(dir.path()));
    const CallRecorder recorder(Native(dir.path()));  // records no reads
    jnl::WriteSettled(name, full);
    const std::vector<FileEvent> events = recorder.Events();
    std::mt19937 rng(5);
    for (std::size_t cut = 0; cut <= events.size(); ++cut)
        for (int draw = 0; draw < 99; ++draw) {
            WriteFolder(Native(dir.path()), CutImage(old, events, cut, static_cast<CutModel>(draw % 3), rng));
            const jnl::TSettledCommits now = read();
            EXPECT_TRUE(now.Entries == full.Entries || (now.Entries == two.Entries && cut < events.size())) << cut;
        }
}

// The spans a journal saves of a rewritten piece, against a byte-at-a-time
// model: runs of changes, gaps on both sides of the joining limit, bytes a
// rewrite happens to leave as they were, and every length around a word.
TEST(JournalFormat, ChangedSpansFollowAByteModel) {
    auto model = [](const Bytes& was, const Bytes& is, int64_t gap) {
        std::vector<std::pair<int64_t, int64_t>> spans;
        const auto count = static_cast<int64_t>(was.size());
        for (int64_t at = 0; at < count; ++at) {
            if (was[at] == is[at]) continue;
            if (!spans.empty() && at - spans.back().second <= gap) {
                spans.back().second = at + 1;
            } else {
                spans.emplace_back(at, at + 1);
            }
        }
        return spans;
    };
    std::mt19937 rng(2207);
    std::vector<std::pair<int64_t, int64_t>> spans{{1, 2}};
    for (int round = 0; round < 3000; ++round) {
        Bytes was(round < 40 ? round : rng() % 700);
        for (auto& b : was) b = static_cast<uint8_t>(rng() % 4);
        Bytes is = was;
        for (std::size_t at = 0; at < is.size();) {
            const std::size_t run = rng() % 12;
            if (rng() % 3 == 0) {
                for (std::size_t k = at; k < std::min(is.size(), at + run); ++k) is[k] = static_cast<uint8_t>(rng() % 4);
            }
            at += run + (rng() % 2 ? 31 + rng() % 4 : rng() % 9);
        }
        const int64_t gap = round % 2 ? 32 : rng() % 5;
        jnl::ChangedSpans(was.data(), is.data(), static_cast<int64_t>(was.size()), gap, spans);
        ASSERT_EQ(spans, model(was, is, gap)) << "round " << round;
    }
}

// Three files of random bytes, "T.DAT", "T.IDX" and "T.BLB", open through the
// registry, with their journal; a flush writes through the handlers and is recorded.
class JournalledFiles {
public:
    explicit JournalledFiles(uint32_t seed) : rng_(seed) {
        for (int i = 0; i < 3; ++i) {
            Bytes bytes(600 + rng_() % 3000);
            for (auto& b : bytes) b = static_cast<uint8_t>(rng_());
            WriteBytes(Native(Name(i)), bytes);
            handlers_[i].FileName = Name(i);
            handlers_[i].OpenFile();
        }
        journal_.Open(base() + ".JNL", {Name(0), Name(1), Name(2)});
        original_ = ReadFolder(Native(dir_.path()));
    }
    ~JournalledFiles() {
        journal_.Close();
        for (auto& h : handlers_) h.CloseFile();
    }

    std::string Folder() const { return dir_.path(); }
    std::string Name(int file) const { return base() + (file == 0 ? ".DAT" : file == 1 ? ".IDX" : ".BLB"); }
    const FolderFiles& Original() const { return original_; }

    // One flush of random spans (the first at `firstAt` in the .DAT), recorded;
    // every call of it, and the folder before it.
    std::vector<FileEvent> Flush(int64_t firstAt) {
        journal_.Begin({&handlers_[0], &handlers_[1], &handlers_[2]});
        auto put = [&](int file, int64_t at, std::size_t size) {
            Bytes bytes(size);
            for (auto& b : bytes) b = static_cast<uint8_t>(rng_());
            handlers_[file].Seek(soFromBeginning, at);
            handlers_[file].WriteBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
        };
        put(0, firstAt, 200);
        put(1, 300 + rng_() % 200, 100);
        put(2, 0, 64);
        journal_.End();
        before_ = ReadFolder(Native(dir_.path()));
        CallRecorder recorder(Native(dir_.path()));
        TJournalTargets targets;
        for (auto& t : targets) t.NewCounter = 1000 + rng_() % 1000;
        journal_.Apply(targets, false);
        return recorder.Events();
    }
    // The folder before the last flush.
    const FolderFiles& Before() const { return before_; }

private:
    std::string base() const { return dir_.file("T"); }
    TempDir dir_;
    std::mt19937 rng_;
    std::array<TFileHandler, 3> handlers_;
    TTableJournal journal_;
    FolderFiles original_;
    FolderFiles before_;
};

// The index of the first write of the calls to the named file after the journal's.
std::size_t FirstWriteTo(const std::vector<FileEvent>& events, const std::string& file) {
    for (std::size_t i = 1; i < events.size(); ++i)
        if (events[i].What == FileEvent::Write && events[i].File == file) return i;
    return events.size();
}

// A writer that dies while its first write of a file is half done leaves the
// file's leading bytes part before and part after the flush. When that write starts
// inside the bytes the journal keeps images of (but not at 0), they still fit the
// journal: it is played back, the table never set aside as another's.
TEST(Journal, AWriteTornInsideTheLeadingBytesIsRolledBack) {
    for (const int64_t firstAt : {1, 4, 50, 127, 128}) {
        for (const std::size_t kept : {1, 60, 150}) {
            SCOPED_TRACE("first write at " + std::to_string(firstAt) + ", " + std::to_string(kept) + " bytes of it");
            JournalledFiles files(static_cast<uint32_t>(firstAt * 31 + kept));
            const std::vector<FileEvent> events = files.Flush(firstAt);
            const std::size_t torn = FirstWriteTo(events, "T.DAT");
            ASSERT_LT(torn, events.size());
            ASSERT_EQ(events[torn].Offset, firstAt);
            std::mt19937 rng(1);
            FolderFiles image = CutImage(files.Before(), events, torn, CutModel::Kill, rng);
            ApplyEvent(image["T.DAT"], events[torn], kept);
            WriteFolder(Native(files.Folder()), image);
            EXPECT_EQ(RecoverTables(files.Folder(), {"T"}), 0);
            const FolderFiles after = ReadFolder(Native(files.Folder()));
            // Every byte back, but for the change counter a playback moves on.
            for (const char* name : {"T.DAT", "T.IDX", "T.BLB"}) {
                const Bytes& was = files.Before().at(name);
                const Bytes& now = after.at(name);
                ASSERT_EQ(now.size(), was.size()) << name;
                EXPECT_TRUE(std::equal(now.begin() + 4, now.end(), was.begin() + 4)) << name;
            }
        }
    }
}

// A journal that the files do not fit is copied aside, the next one to the next
// number; a copy already kept is not made again, and no more than JOURNAL_COPIES
// are kept, the oldest replaced. A copy that cannot be written (nor one at a link,
// which stays as it was) does not keep the table out, and the copies (also the many earlier programs left) go with the
// table, as does its record of settled commits. The report names the copy, or the
// journal where the copy's name is longer than an error names whole (255 bytes).
TEST(Journal, JournalsSetAsideKeepABoundedNumberOfDistinctCopies) {
    JournalledFiles files(9);
    // Journals whose flushes were stopped before any write in place, beside a
    // .DAT file put back from elsewhere.
    std::vector<Bytes> journals;
    for (int i = 0; i < JOURNAL_COPIES + 2; ++i) {
        const std::vector<FileEvent> events = files.Flush(0);
        std::mt19937 rng(1);
        Bytes journal = CutImage(files.Before(), events, 1, CutModel::Kill, rng).at("T.JNL");
        journal.resize(64 + dfbytes::GetU64(&journal[16]));
        journals.push_back(journal);
    }
    FolderFiles foreign = files.Original();
    foreign["T.DAT"][0] ^= 0xFF;
    auto present = [&](const Bytes& journal, bool copiesReadOnly = false, const std::function<void()>& age = {}) {
        FolderFiles image = foreign;
        image["T.JNL"] = journal;
        for (const auto& [name, bytes] : ReadFolder(Native(files.Folder())))
            if (name.rfind("T.JNL.", 0) == 0) image[name] = bytes;
        WriteFolder(Native(files.Folder()), image);
        for (const auto& [name, bytes] : image)
            if (copiesReadOnly && name.rfind("T.JNL.", 0) == 0)
                fs::permissions(Native(files.Folder() + "/" + name), fs::perms::owner_read);
        if (age) age();
        EXPECT_EQ(RecoverTables(files.Folder(), {"T"}), KURA_HEADERCORRUPT);
        EXPECT_EQ(TableFilesOf(ReadFolder(Native(files.Folder()))), TableFilesOf(foreign)) << "the files as they were";
        EXPECT_EQ(RecoverTables(files.Folder(), {"T"}), 0) << "reported once";
    };
    auto copy = [&](int n) { return ReadBytes(Native(files.Folder() + "/T.JNL." + std::to_string(n))); };
    for (int i = 0; i < JOURNAL_COPIES; ++i) {
        present(journals[static_cast<std::size_t>(i)]);
        for (int n = 0; n <= i; ++n) EXPECT_EQ(copy(n + 1), journals[static_cast<std::size_t>(n)]) << n + 1;
    }
    // Again: nothing new.
    present(journals[1]);
    EXPECT_FALSE(fs::exists(Native(files.Folder() + "/T.JNL." + std::to_string(JOURNAL_COPIES + 1))));
    // Beyond the bound the oldest copy is replaced, whatever its number: ages a day
    // apart, the third the oldest.
    present(journals[JOURNAL_COPIES], false, [&] {
        const auto now = fs::file_time_type::clock::now();
        for (int n = 1; n <= JOURNAL_COPIES; ++n)
            fs::last_write_time(Native(files.Folder() + "/T.JNL." + std::to_string(n)),
                                now - std::chrono::hours(24 * (n == 3 ? 10 : n)));
    });
    for (int n = 1; n <= JOURNAL_COPIES; ++n)
        EXPECT_EQ(copy(n), n == 3 ? journals[JOURNAL_COPIES] : journals[static_cast<std::size_t>(n - 1)]) << n;
    EXPECT_FALSE(fs::exists(Native(files.Folder() + "/T.JNL." + std::to_string(JOURNAL_COPIES + 1))));
    // No room for a copy: the table is not locked out for it.
    const TempDir elsewhere;
    present(journals[JOURNAL_COPIES + 1], false, [&] {
        for (int n = 1; n <= JOURNAL_COPIES; ++n) {
            const std::string copy = Native(files.Folder() + "/T.JNL." + std::to_string(n));
            fs::rename(copy, Native(elsewhere.file(std::to_string(n))));
            fs::create_symlink(Native(elsewhere.file(std::to_string(n))), copy);
        }
    });
    for (int n = 1; n <= JOURNAL_COPIES; ++n)
        EXPECT_EQ(copy(n), n == 3 ? journals[JOURNAL_COPIES] : journals[static_cast<std::size_t>(n - 1)]) << n;
    present(journals[JOURNAL_COPIES + 1], true);
    for (int n = 1; n <= 30; ++n) {
        const std::string name = files.Folder() + "/T.JNL." + std::to_string(n);
        if (fs::exists(Native(name))) fs::permissions(Native(name), fs::perms::owner_read | fs::perms::owner_write);
        WriteBytes(Native(name), {1, 2, 3});
    }
    WriteBytes(Native(files.Folder() + "/T.JNS"), {1, 2, 3});
    DeleteJournalLeftovers(files.Folder() + "/T.JNL");
    for (const auto& [name, bytes] : ReadFolder(Native(files.Folder())))
        EXPECT_TRUE(name.rfind("T.JNL.", 0) == std::string::npos && name != "T.JNS") << name;
    const TempDir apart;
    auto deep = [&](std::size_t dat) {  // a folder where "/T.DAT" takes `dat` bytes
        std::string folder = apart.file("d" + std::to_string(dat));
        for (std::size_t room; (room = dat - 6 - folder.size()) > 0;)
            folder += room == 1 ? std::string("d") : "/" + std::string(std::min<std::size_t>(room - 1, 100), 'd');
        return folder;
    };
    const std::pair<std::string, const char*> folders[] = {  // the folder, the file the journal's report names there
        {apart.file("short"), "/T.JNL.1"}, {deep(MaxFileNameLength - 2), "/T.JNL.1"},
        {deep(MaxFileNameLength - 1), "/T.JNL"}, {deep(MaxFileNameLength), "/T.JNL"}};
    for (const auto& [folder, file] : folders) {
        ASSERT_TRUE(fs::create_directories(Native(folder)));
        FolderFiles image = foreign;
        image["T.JNL"] = journals[0];
        WriteFolder(Native(folder), image);
        try {
            TTableJournal journal;
            journal.Open(folder + "/T.JNL", {folder + "/T.DAT", folder + "/T.IDX", folder + "/T.BLB"});
            journal.Hold();
            ADD_FAILURE() << "no report";
        } catch (const EKuraEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), KURA_HEADERCORRUPT);
            EXPECT_EQ(ReadBytes(Native(folder + "/T.JNL.1")), journals[0]);
            EXPECT_EQ(e.ErrorContext(ctxTable), folder + file);
        }
    }
}

// A journal whose checksums hold but whose recorded old length its saved bytes
// cannot fill (a file grown to gigabytes at playback) is not played back: the files
// keep their lengths. A later-format journal that lies is not one of ours; a
// first-format one is set aside.
TEST(Journal, ALengthTheJournalCannotFillIsNotPlayedBack) {
    JournalledFiles files(17);
    const std::vector<FileEvent> events = files.Flush(0);
    std::mt19937 rng(1);
    const std::size_t inPlace = FirstWriteTo(events, "T.IDX");
    FolderFiles image = CutImage(files.Before(), events, inPlace + 1, CutModel::Kill, rng);
    Bytes journal = image.at("T.JNL");
    journal.resize(64 + dfbytes::GetU64(&journal[16]));
    ASSERT_EQ(dfbytes::GetU32(&journal[8]), JOURNAL_FORMAT);
    for (const uint64_t lie : {uint64_t{1} << 33, uint64_t{1} << 30, uint64_t{5000}}) {
        for (const bool first : {false, true}) {
            SCOPED_TRACE(std::to_string(lie) + (first ? ", first format" : ""));
            Bytes j = journal;
            dfbytes::PutU64(&j[64 + 4], lie);  // the first entry's old length
            if (first) j = FirstFormat(j);
            Seal(j);
            FolderFiles lied = image;
            lied["T.JNL"] = j;
            WriteFolder(Native(files.Folder()), lied);
            const TEngineErrorCode code = RecoverTables(files.Folder(), {"T"});
            EXPECT_TRUE(code == 0 || code == KURA_HEADERCORRUPT) << code;
            for (const char* name : {"T.DAT", "T.IDX", "T.BLB"})
                EXPECT_EQ(fs::file_size(Native(files.Folder() + "/" + name)), image.at(name).size()) << name;
            EXPECT_EQ(RecoverTables(files.Folder(), {"T"}), 0);
        }
    }
}

}  // namespace

// A transaction's held changes read back exactly as a byte-for-byte model of the
// file says, in memory and after they moved to their spill file; a failed write
// of the spill file loses nothing held; the spill file goes with the changes; a
// commit of them takes no more memory than their budget, whatever it changes.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "engine/files/HeldChanges.h"
#include "engine/files/Journal.h"
#include "platform/FileCalls.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/CutImages.h"

using namespace kura;
using namespace kura::test;
namespace fs = std::filesystem;

namespace {

// What this program has allocated through new and not freed, and the most of it
// since the last reset.
std::atomic<int64_t> gLiveBytes{0};
std::atomic<int64_t> gPeakBytes{0};

void* CountedAlloc(std::size_t size) {
    void* p = std::malloc(size == 0 ? 1 : size);
    if (!p) throw std::bad_alloc();
    const int64_t live = gLiveBytes += static_cast<int64_t>(malloc_usable_size(p));
    int64_t peak = gPeakBytes.load();
    while (live > peak && !gPeakBytes.compare_exchange_weak(peak, live)) {
    }
    return p;
}

void CountedFree(void* p) noexcept {
    if (!p) return;
    gLiveBytes -= static_cast<int64_t>(malloc_usable_size(p));
    std::free(p);
}

}  // namespace

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return CountedAlloc(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { CountedFree(p); }
void operator delete[](void* p) noexcept { CountedFree(p); }
void operator delete(void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete[](void* p, std::size_t) noexcept { CountedFree(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { CountedFree(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { CountedFree(p); }

namespace {

const auto* const kRegistry = ::testing::AddGlobalTestEnvironment(new FileListEnvironment);

std::size_t FilesIn(const std::string& folder) {
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(Native(folder)), fs::directory_iterator()));
}

// The file as the model knows it: disk bytes, then what was written over them.
struct Model {
    std::vector<uint8_t> Disk;
    std::vector<uint8_t> Bytes;
    std::vector<bool> Held;

    void Write(int64_t offset, const std::vector<uint8_t>& bytes) {
        const auto end = static_cast<std::size_t>(offset) + bytes.size();
        if (Bytes.size() < end) Bytes.resize(end, 0);
        if (Held.size() < end) Held.resize(end, false);
        std::copy(bytes.begin(), bytes.end(), Bytes.begin() + offset);
        std::fill(Held.begin() + offset, Held.begin() + static_cast<int64_t>(end), true);
    }
    void Cut(int64_t offset) {
        // Nothing held survives the cut; the disk bytes below it stay.
        for (std::size_t i = static_cast<std::size_t>(offset); i < Held.size(); ++i) Held[i] = false;
        while (!Held.empty() && !Held.back()) Held.pop_back();
        Bytes.resize(std::max(Held.size(), Disk.size()));
        for (std::size_t i = 0; i < Bytes.size(); ++i)
            if (i >= Held.size() || !Held[i]) Bytes[i] = i < Disk.size() ? Disk[i] : 0;
    }
    int64_t End() const { return static_cast<int64_t>(Held.size()); }
};

// What a handler reads: the disk's part, then the held bytes over it.
std::vector<uint8_t> ReadThrough(const THeldChanges& held, const Model& m, int64_t offset, int32_t count) {
    std::vector<uint8_t> out(static_cast<std::size_t>(count), 0xEE);
    const int64_t fromDisk = std::clamp<int64_t>(static_cast<int64_t>(m.Disk.size()) - offset, 0, count);
    std::copy_n(m.Disk.begin() + std::min<int64_t>(offset, static_cast<int64_t>(m.Disk.size())), fromDisk, out.begin());
    const int32_t valid = held.Overlay(offset, out.data(), count, static_cast<int32_t>(fromDisk));
    out.resize(static_cast<std::size_t>(valid));
    return out;
}

std::vector<uint8_t> Expected(const Model& m, int64_t offset, int32_t count) {
    const int64_t size = std::max<int64_t>(static_cast<int64_t>(m.Disk.size()), m.End());
    std::vector<uint8_t> out;
    for (int64_t i = offset; i < offset + count && i < size; ++i)
        out.push_back(i < static_cast<int64_t>(m.Bytes.size()) ? m.Bytes[static_cast<std::size_t>(i)]
                                                                : m.Disk[static_cast<std::size_t>(i)]);
    return out;
}

// Every held span, laid over the disk bytes, gives the model's file.
void ExpectSameFile(const THeldChanges& held, const Model& m) {
    std::vector<uint8_t> file = m.Disk;
    held.ForEach([&](int64_t offset, const uint8_t* bytes, int32_t count) {
        ASSERT_LE(count, HELD_SPAN_LIMIT);
        if (file.size() < static_cast<std::size_t>(offset + count)) file.resize(static_cast<std::size_t>(offset + count), 0);
        std::copy_n(bytes, count, file.begin() + offset);
    });
    std::vector<uint8_t> expected = m.Disk;
    if (expected.size() < m.Bytes.size()) expected.resize(m.Bytes.size(), 0);
    for (std::size_t i = 0; i < m.Held.size(); ++i)
        if (m.Held[i]) expected[i] = m.Bytes[i];
    EXPECT_EQ(file, expected);
    EXPECT_EQ(held.End(), m.End());
}

// The same, except for the bytes of one write that failed: those hold either
// what they held before or the failed write's bytes.
void ExpectSameFileBut(const THeldChanges& held, const Model& m, int64_t offset, int32_t count) {
    const std::vector<uint8_t> before = Expected(m, 0, static_cast<int32_t>(std::max<int64_t>(m.End(), offset + count)));
    std::vector<uint8_t> now(before.size());
    held.ForEach([&](int64_t at, const uint8_t* bytes, int32_t n) {
        for (int32_t i = 0; i < n && static_cast<std::size_t>(at + i) < now.size(); ++i)
            now[static_cast<std::size_t>(at + i)] = bytes[i];
    });
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (static_cast<int64_t>(i) >= offset && static_cast<int64_t>(i) < offset + count) continue;
        if (i < m.Held.size() && m.Held[i]) {
            ASSERT_EQ(now[i], before[i]) << "byte " << i;
        }
    }
}

// Writes as the caches make them: records of a fixed size rewritten, runs of
// appended records and pages, joined runs over several held spans, runs that start
// where a held span ends and reach into a later one, a cut now and then; with a
// budget that makes them move to the spill file several times.
TEST(HeldChanges, ReadsBackAsTheModelSaysInMemoryAndSpilled) {
    struct Case {
        const char* Name;
        int64_t Budget;
        int Writes;
    };
    const Case cases[] = {{"in memory", int64_t{1} << 30, 600}, {"spilled", 20000, 600}, {"tiny budget", 1, 300}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        std::mt19937 rng(43);
        Model m;
        m.Disk.resize(30000);
        for (auto& b : m.Disk) b = static_cast<uint8_t>(rng());
        m.Bytes = m.Disk;
        THeldBudget budget;
        budget.Limit = c.Budget;
        budget.Directory = dir.path();
        THeldChanges held;
        held.SetBudget(&budget);
        int64_t appendAt = static_cast<int64_t>(m.Disk.size());
        int coveredReads = 0;
        for (int i = 0; i < c.Writes; ++i) {
            int64_t offset = 0;
            int32_t count = 0;
            switch (rng() % 7) {
                case 0:
                case 1:  // a record rewritten
                    offset = 100 + static_cast<int64_t>(rng() % 500) * 57;
                    count = 57;
                    break;
                case 6: {  // from where a held span ends on into a later one
                    const auto end = static_cast<int64_t>(m.Held.size());
                    int64_t at = static_cast<int64_t>(rng() % 30000);
                    while (at + 1 < end && !(m.Held[static_cast<std::size_t>(at)] && !m.Held[static_cast<std::size_t>(at + 1)]))
                        ++at;
                    int64_t next = at + 1;
                    while (next < end && !m.Held[static_cast<std::size_t>(next)]) ++next;
                    offset = at + 1;
                    count = next < end ? static_cast<int32_t>(next - offset + 1 + rng() % 300) : 57;
                    break;
                }
                case 2:  // appended records, one run after the other
                    offset = appendAt;
                    count = static_cast<int32_t>(57 * (1 + rng() % 80));
                    appendAt += count;
                    break;
                case 3:  // a joined run over what is held
                    offset = static_cast<int64_t>(rng() % 40000);
                    count = static_cast<int32_t>(1 + rng() % 9000);
                    break;
                case 4:  // a page
                    offset = static_cast<int64_t>(rng() % 12) * 4096;
                    count = 4096;
                    break;
                default: {  // a read anywhere, also past the end
                    const auto at = static_cast<int64_t>(rng() % 60000);
                    const auto n = static_cast<int32_t>(1 + rng() % 9000);
                    const std::vector<uint8_t> got = ReadThrough(held, m, at, n);
                    const std::vector<uint8_t> want = Expected(m, at, n);
                    std::size_t k = 0;
                    while (k < got.size() && k < want.size() && got[k] == want[k]) ++k;
                    ASSERT_EQ(got, want) << "read " << at << "+" << n << " first difference " << k << " sizes "
                                         << got.size() << " " << want.size() << " end " << m.End() << " held "
                                         << held.End();
                    // Whether the file need be read at all.
                    bool covered = at + n <= m.End();
                    for (int64_t i = at; covered && i < at + n; ++i) covered = m.Held[static_cast<std::size_t>(i)];
                    ASSERT_EQ(held.Covers(at, n), covered) << "read " << at << "+" << n;
                    coveredReads += covered;
                    if (rng() % 40 == 0) {
                        const auto cut = static_cast<int64_t>(rng() % 60000);
                        held.Cut(cut);
                        m.Cut(cut);
                        appendAt = std::max<int64_t>(static_cast<int64_t>(m.Disk.size()), m.End());
                    }
                    continue;
                }
            }
            std::vector<uint8_t> bytes(static_cast<std::size_t>(count));
            for (auto& b : bytes) b = static_cast<uint8_t>(rng());
            held.Write(offset, bytes.data(), count);
            m.Write(offset, bytes);
            EXPECT_LE(budget.InMemory, std::max<int64_t>(c.Budget, 0) + HELD_SPAN_LIMIT);
        }
        ExpectSameFile(held, m);
        EXPECT_GT(coveredReads, 0);
        EXPECT_EQ(held.Spilled(), c.Budget < (1 << 20));
        // The spill file has no name in its folder: nothing is left there should the
        // program die.
        EXPECT_EQ(OpenFilesIn(Native(dir.path())), held.Spilled() ? 1u : 0u);
        EXPECT_EQ(FilesIn(dir.path()), 0u);
        held.Clear();
        EXPECT_TRUE(held.Empty());
        EXPECT_EQ(held.InMemory(), 0);
        EXPECT_EQ(budget.InMemory, 0);
        EXPECT_EQ(OpenFilesIn(Native(dir.path())), 0u);
    }
}

// A write of the spill file that fails, at each write call in turn, raises 9218
// and loses nothing: what was held reads back whole, and the spill file is gone
// once the changes are forgotten, and when the object goes without that.
TEST(HeldChanges, AFailedSpillWriteLosesNothing) {
    int failed = 0;
    for (uint64_t at = 1;; ++at) {
        SCOPED_TRACE(at);
        TempDir dir;
        std::mt19937 rng(7);
        Model m;
        THeldBudget budget;
        budget.Limit = 3000;
        budget.Directory = dir.path();
        TEngineErrorCode code = 0;
        uint64_t calls = 0;
        {
            THeldChanges held;
            held.SetBudget(&budget);
            platform::ArmFileFault({at, platform::FileFaultAction::Fail, EIO});
            for (int i = 0; i < 40; ++i) {
                const auto offset = static_cast<int64_t>(rng() % 20) * 500;
                std::vector<uint8_t> bytes(500);
                for (auto& b : bytes) b = static_cast<uint8_t>(rng());
                try {
                    held.Write(offset, bytes.data(), 500);
                } catch (const EKuraEngineError& e) {
                    code = e.ErrorCode();
                    calls = platform::FileWriteCalls();
                    platform::ArmFileFault({});
                    // What was held before reads back whole; the cache that
                    // failed to write keeps the bytes and writes them again.
                    ExpectSameFileBut(held, m, offset, 500);
                    held.Write(offset, bytes.data(), 500);
                }
                m.Write(offset, bytes);
            }
            if (code == 0) calls = platform::FileWriteCalls();
            platform::ArmFileFault({});
            ExpectSameFile(held, m);
            EXPECT_EQ(ReadThrough(held, m, 0, 10000), Expected(m, 0, 10000));
            if (code != 0) {
                EXPECT_EQ(code, KURA_WRITEERR);
                ++failed;
                held.Spill();
                EXPECT_EQ(held.InMemory(), 0);
                ExpectSameFile(held, m);
            }
            if (at % 2 == 0) {
                held.Clear();
                EXPECT_EQ(FilesIn(dir.path()), 0u);
            }
        }
        EXPECT_EQ(FilesIn(dir.path()), 0u);
        if (calls < at || ::testing::Test::HasFailure()) break;
    }
    EXPECT_GT(failed, 3);
}

// A commit far past its budget (20 MB rewritten below the old ends of the files:
// whole runs of pages, scattered records, the header) takes no more memory than
// the budget and a few pieces of a megabyte: the journal's capture takes the
// held bytes from where they are held, and the journal, built within the budget,
// lies in a spill file of its own until it is written. The files end as the byte
// model says, the journal holds nothing, and no spill file is left.
TEST(HeldChanges, ACommitOfAnySizeStaysWithinItsBudget) {
    TempDir dir;
    const std::string spills = dir.file("private");
    fs::create_directories(Native(spills));
    std::mt19937 rng(3);
    auto randomBytes = [&](std::size_t n) {
        Bytes bytes(n);
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        return bytes;
    };
    const std::size_t sizes[3] = {std::size_t{16} << 20, std::size_t{12} << 20, std::size_t{64} << 10};
    THeldBudget budget;
    budget.Limit = 64 << 10;
    budget.Directory = spills;
    std::array<TFileHandler, 3> files;
    std::array<THeldChanges, 3> held;
    std::array<Bytes, 3> model;
    for (int i = 0; i < 3; ++i) {
        model[i] = randomBytes(sizes[i]);
        files[i].FileName = dir.file(i == 0 ? "T.DAT" : i == 1 ? "T.IDX" : "T.BLB");
        WriteBytes(Native(files[i].FileName), model[i]);
        files[i].OpenFile();
        held[i].SetBudget(&budget);
        held[i].Holding = true;
        files[i].Held = &held[i];
    }
    int64_t changed = 0;
    auto put = [&](int i, int64_t at, std::size_t n) {
        const Bytes bytes = randomBytes(n);
        files[i].Seek(soFromBeginning, at);
        files[i].WriteBuffer(bytes.data(), static_cast<int32_t>(n));
        std::copy(bytes.begin(), bytes.end(), model[i].begin() + at);
        changed += static_cast<int64_t>(n);
    };
    for (int64_t at = 0; at < static_cast<int64_t>(sizes[1]); at += 4096) put(1, at, 4096);
    for (int64_t at = 1 << 20; at < static_cast<int64_t>(sizes[0]); at += 2 << 20) put(0, at, 1 << 20);
    for (int k = 0; k < 2000; ++k) put(0, static_cast<int64_t>(rng() % (sizes[0] - 100)), 100);
    put(2, 0, 512);
    for (const THeldChanges& h : held) EXPECT_LE(h.InMemory(), budget.Limit + HELD_SPAN_LIMIT);

    TTableJournal journal;
    ASSERT_TRUE(journal.Open(dir.file("T.JNL"), {files[0].FileName, files[1].FileName, files[2].FileName}));
    const int64_t base = gLiveBytes.load();
    gPeakBytes = base;
    for (THeldChanges& h : held) h.Holding = false;
    journal.Begin({&files[0], &files[1], &files[2]});
    for (TFileHandler& f : files) f.WriteHeld();
    journal.End();
    journal.StageWithin(&budget);
    journal.Apply({}, false);
    const int64_t most = gPeakBytes.load() - base;
    const int64_t bound = budget.Limit + (8 << 20);
    EXPECT_GT(changed, 2 * bound);
    EXPECT_LT(most, bound) << "the commit of " << changed << " bytes took " << most << " bytes";

    for (int i = 0; i < 3; ++i) {
        files[i].Held = nullptr;
        held[i].Clear();
        files[i].CloseFile();
        EXPECT_EQ(ReadBytes(Native(files[i].FileName)), model[i]) << i;
    }
    EXPECT_FALSE(journal.IsHot());
    journal.Close();
    EXPECT_TRUE(fs::is_empty(Native(spills)));
}

}  // namespace

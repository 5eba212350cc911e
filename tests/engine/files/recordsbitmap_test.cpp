#include "engine/files/RecordsBitmap.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace kura {
namespace {

// The plain model: bit r (1..size) of a vector<bool>.
struct Model {
    std::vector<bool> bits = std::vector<bool>(1, false);  // slot 0 unused

    int32_t count() const { return static_cast<int32_t>(bits.size()) - 1; }
    void resize(int32_t n) { bits.resize(static_cast<size_t>(n) + 1, false); }

    bool findNext(int32_t& recNo, int32_t n, int32_t& position) const
    {
        int32_t found = 0;
        for (int32_t r = std::max(recNo + 1, 1); r <= count(); ++r)
            if (bits[r]) {
                recNo = r;
                ++position;
                if (++found >= std::max(n, 1))
                    return true;
            }
        return false;
    }

    bool findPrior(int32_t& recNo, int32_t n, int32_t& position) const
    {
        int32_t found = 0;
        for (int32_t r = std::min(recNo - 1, count()); r >= 1; --r)
            if (bits[r]) {
                recNo = r;
                --position;
                if (++found >= std::max(n, 1))
                    return true;
            }
        return false;
    }
};

void ExpectSame(const TRecordsBitmap& b, const Model& m)
{
    ASSERT_EQ(b.RecordCount(), m.count());
    ASSERT_EQ(b.BitCount(), (m.count() + 31) / 32 * 32);
    ASSERT_EQ(b.WordCount(), b.BitCount() / 32);
    int32_t total = 0;
    for (int32_t r = 1; r <= m.count(); ++r) {
        ASSERT_EQ(b.GetBit(r), m.bits[r]) << "record " << r;
        ASSERT_EQ(b.CountBefore(r), total) << "record " << r;
        total += m.bits[r];
    }
    ASSERT_EQ(b.CountBefore(m.count() + 1), total);
    ASSERT_EQ(b.Count(), total);
    // All set records at once, after what the list already held.
    std::vector<uint32_t> all{0u};
    b.AppendSetRecords(all);
    std::vector<uint32_t> expected{0u};
    for (int32_t r = 1; r <= m.count(); ++r)
        if (m.bits[r])
            expected.push_back(static_cast<uint32_t>(r));
    ASSERT_EQ(all, expected);
    // Nothing lives past the record count, not even inside the block.
    for (int32_t w = 0; w < b.Capacity() / 4; ++w) {
        const uint32_t word = b.Bits()[w];
        const int64_t first = int64_t{w} * 32 + 1;
        for (int bit = 0; bit < 32; ++bit)
            if (first + bit > m.count()) {
                ASSERT_EQ((word >> bit) & 1u, 0u) << "record " << first + bit;
            }
    }
}

// Runs of set and clear records, so whole words of ones and zeros occur.
void Scatter(std::mt19937& rng, TRecordsBitmap& b, Model& m)
{
    const int32_t n = m.count();
    if (n == 0)
        return;
    for (int k = 0; k < 6; ++k) {
        const int32_t start = 1 + static_cast<int32_t>(rng() % n);
        const int32_t len = static_cast<int32_t>(rng() % (k % 2 ? 200 : 8));
        const bool set = rng() % 2;
        for (int32_t r = start; r < start + len && r <= n; ++r) {
            set ? b.SetBit(r) : b.ClearBit(r);
            m.bits[r] = set;
        }
    }
}

// The same step on a bitmap and its model.
void Resize(TRecordsBitmap& b, Model& m, int32_t n)
{
    b.SetRecordCount(n);
    m.resize(n);
}

void Invert(TRecordsBitmap& b, Model& m)
{
    b.Invert();
    for (int32_t r = 1; r <= m.count(); ++r)
        m.bits[r] = !m.bits[r];
}

void Fill(TRecordsBitmap& b, Model& m, bool set)
{
    if (set) {
        b.SetAll();
        std::fill(m.bits.begin() + 1, m.bits.end(), true);
    } else {
        b.ClearAll();
        std::fill(m.bits.begin(), m.bits.end(), false);
    }
}

void Combine(TRecordsBitmap& b, Model& m, const TRecordsBitmap& other, const Model& mo, bool andWith)
{
    andWith ? b.AndWith(other) : b.OrWith(other);
    for (int32_t r = 1; r <= m.count(); ++r) {
        const bool o = r <= mo.count() && mo.bits[r];
        m.bits[r] = andWith ? (m.bits[r] && o) : (m.bits[r] || o);
    }
}

TEST(RecordsBitmap, RandomisedAgainstModel)
{
    std::mt19937 rng(12345);
    TRecordsBitmap b, other;
    Model m, mo;
    for (int step = 0; step < 4000; ++step) {
        switch (rng() % 12) {
        case 0:  // resize, growing and shrinking
            Resize(b, m, static_cast<int32_t>(rng() % 700));
            break;
        case 1:
        case 2:
            Scatter(rng, b, m);
            break;
        case 3:
            Invert(b, m);
            break;
        case 4:
            Fill(b, m, rng() % 2);
            break;
        case 5:
        case 6: {  // combine with a second bitmap, possibly of another size
            Resize(other, mo, (rng() % 3 == 0) ? static_cast<int32_t>(rng() % 700) : m.count());
            Fill(other, mo, false);
            Scatter(rng, other, mo);
            Scatter(rng, other, mo);
            Combine(b, m, other, mo, rng() % 2);
            break;
        }
        case 7:
            if (rng() % 8 == 0) {
                other.Assign(b);
                ASSERT_NO_FATAL_FAILURE(ExpectSame(other, m));
            }
            break;
        default: {  // walk forward and backward
            for (int k = 0; k < 8; ++k) {
                const int32_t from = static_cast<int32_t>(rng() % (m.count() + 2));
                const int32_t n = 1 + static_cast<int32_t>(rng() % (k < 4 ? 3 : 300));
                int32_t recNo = from, position = 1000, mRecNo = from, mPosition = 1000;
                const bool forward = rng() % 2;
                const bool found = forward ? b.FindNext(recNo, n, position) : b.FindPrior(recNo, n, position);
                const bool mFound = forward ? m.findNext(mRecNo, n, mPosition) : m.findPrior(mRecNo, n, mPosition);
                ASSERT_EQ(found, mFound) << (forward ? "next" : "prior") << " from " << from << " n " << n;
                ASSERT_EQ(recNo, mRecNo) << (forward ? "next" : "prior") << " from " << from << " n " << n;
                ASSERT_EQ(position, mPosition);
            }
            break;
        }
        }
        if (step % 25 == 0) {
            ASSERT_NO_FATAL_FAILURE(ExpectSame(b, m)) << "step " << step;
        }
    }
    ASSERT_NO_FATAL_FAILURE(ExpectSame(b, m));
}

// Sets of a few records among tens of thousands, as selective filters make them:
// every operation that visits only the blocks holding records must agree with
// the model, through growing, shrinking, copies in both directions and walks that
// cross long empty stretches.
TEST(RecordsBitmap, SparseSetsOverManyBlocksAgainstModel)
{
    std::mt19937 rng(34);
    TRecordsBitmap b, other;
    Model m, mo;
    auto sprinkle = [&](TRecordsBitmap& x, Model& mx) {
        const int32_t n = mx.count();
        for (int k = 0; n > 0 && k < 5; ++k) {
            const int32_t r = 1 + static_cast<int32_t>(rng() % n);
            x.SetBit(r);
            mx.bits[r] = true;
        }
    };
    auto check = [&](const TRecordsBitmap& x, const Model& mx) {
        ASSERT_EQ(x.RecordCount(), mx.count());
        std::vector<int32_t> set;
        for (int32_t r = 1; r <= mx.count(); ++r)
            if (mx.bits[r])
                set.push_back(r);
        ASSERT_EQ(x.Count(), static_cast<int32_t>(set.size()));
        // A walk from the start meets exactly the model's records, and back again.
        int32_t recNo = 0, position = 0;
        for (int32_t r : set) {
            ASSERT_TRUE(x.FindNext(recNo, 1, position));
            ASSERT_EQ(recNo, r);
            ASSERT_EQ(x.CountBefore(r), position - 1);
        }
        ASSERT_FALSE(x.FindNext(recNo, 1, position));
        std::vector<uint32_t> all;
        x.AppendSetRecords(all);
        ASSERT_EQ(all, std::vector<uint32_t>(set.begin(), set.end()));
        recNo = mx.count() + 1;
        for (auto it = set.rbegin(); it != set.rend(); ++it) {
            ASSERT_TRUE(x.FindPrior(recNo, 1, position));
            ASSERT_EQ(recNo, *it);
        }
        ASSERT_FALSE(x.FindPrior(recNo, 1, position));
        ASSERT_EQ(x.CountBefore(mx.count() + 1), static_cast<int32_t>(set.size()));
    };
    for (int step = 0; step < 1500; ++step) {
        switch (rng() % 10) {
        case 0:
            Resize(b, m, static_cast<int32_t>(rng() % 40000));
            break;
        case 1:
        case 2:
            sprinkle(b, m);
            break;
        case 3: {  // a record cleared: its block may stay marked
            for (int32_t r = 1; r <= m.count(); ++r)
                if (m.bits[r] && rng() % 2) {
                    b.ClearBit(r);
                    m.bits[r] = false;
                    break;
                }
            break;
        }
        case 4:
            if (rng() % 4 == 0)
                Invert(b, m);
            else
                Fill(b, m, false);
            break;
        case 5:
        case 6: {
            Resize(other, mo, (rng() % 3 == 0) ? static_cast<int32_t>(rng() % 40000) : m.count());
            Fill(other, mo, rng() % 5 == 0);
            sprinkle(other, mo);
            Combine(b, m, other, mo, rng() % 2);
            // A combine with a set of another size, full or not, keeps every walk whole.
            ASSERT_NO_FATAL_FAILURE(check(b, m)) << "step " << step;
            break;
        }
        case 7:  // copies both ways, over sets of other sizes
            if (rng() % 2) {
                other.Assign(b);
                mo = m;
            } else {
                b.Assign(other);
                m = mo;
            }
            break;
        default: {
            const int32_t from = static_cast<int32_t>(rng() % (m.count() + 2));
            const int32_t n = 1 + static_cast<int32_t>(rng() % 4);
            int32_t recNo = from, position = 0, mRecNo = from, mPosition = 0;
            const bool forward = rng() % 2;
            ASSERT_EQ(forward ? b.FindNext(recNo, n, position) : b.FindPrior(recNo, n, position),
                      forward ? m.findNext(mRecNo, n, mPosition) : m.findPrior(mRecNo, n, mPosition));
            ASSERT_EQ(recNo, mRecNo);
            ASSERT_EQ(position, mPosition);
            break;
        }
        }
        if (step % 50 == 0) {
            ASSERT_NO_FATAL_FAILURE(check(b, m)) << "step " << step;
        }
    }
    ASSERT_NO_FATAL_FAILURE(check(b, m));
    ASSERT_NO_FATAL_FAILURE(ExpectSame(b, m));
}

TEST(RecordsBitmap, DocumentedCases)
{
    TRecordsBitmap b;
    EXPECT_EQ(b.Bits(), nullptr);
    b.SetRecordCount(40);
    b.SetBit(1);
    b.SetBit(33);
    b.SetBit(40);
    EXPECT_EQ(b.Count(), 3);
    EXPECT_EQ(b.CountBefore(40), 2);
    EXPECT_EQ(b.CountBefore(1), 0);
    int32_t recNo = 0, position = 0;
    EXPECT_TRUE(b.FindNext(recNo, 2, position));
    EXPECT_EQ(recNo, 33);
    EXPECT_EQ(position, 2);
    EXPECT_FALSE(b.FindNext(recNo, 2, position));
    EXPECT_EQ(recNo, 40);
    EXPECT_EQ(position, 3);
    recNo = 1;
    EXPECT_FALSE(b.FindPrior(recNo, 1, position));
    EXPECT_EQ(recNo, 1);
    EXPECT_EQ(position, 3);

    // Growth in 256-byte granules, no shrinking while records remain.
    TRecordsBitmap g;
    g.SetRecordCount(33);
    EXPECT_EQ(g.Capacity(), 256);
    EXPECT_EQ(g.WordCount(), 2);
    g.SetRecordCount(32);
    EXPECT_EQ(g.WordCount(), 1);
    EXPECT_EQ(g.Capacity(), 256);
    g.SetRecordCount(2049);
    EXPECT_EQ(g.Capacity(), 512);
    g.SetRecordCount(0);
    EXPECT_EQ(g.Capacity(), 0);
    EXPECT_EQ(g.Bits(), nullptr);

    // Out-of-range record numbers are neither read nor written.
    g.SetRecordCount(10);
    g.SetBit(0);
    g.SetBit(11);
    g.SetBit(-3);
    EXPECT_FALSE(g.GetBit(11));
    EXPECT_EQ(g.Count(), 0);
}

TEST(RecordsBitmap, NothingPastTheRecordCount)
{
    TRecordsBitmap b;
    b.SetRecordCount(40);
    b.SetAll();
    EXPECT_EQ(b.Count(), 40);
    int32_t recNo = 0, position = 0;
    // Asking for more than exist ends at the last record, not beyond.
    EXPECT_FALSE(b.FindNext(recNo, 50, position));
    EXPECT_EQ(recNo, 40);
    EXPECT_EQ(position, 40);
    b.SetRecordCount(64);  // same block: no stale records appear
    EXPECT_EQ(b.Count(), 40);
    EXPECT_FALSE(b.GetBit(41));

    b.SetRecordCount(40);
    b.ClearAll();
    b.Invert();
    b.SetRecordCount(100);
    EXPECT_EQ(b.Count(), 40);

    // A shrunk-then-grown bitmap does not bring back dropped records.
    b.SetRecordCount(10);
    b.SetRecordCount(100);
    EXPECT_EQ(b.Count(), 10);

    // OR with a longer bitmap keeps to this bitmap's records.
    TRecordsBitmap longer;
    longer.SetRecordCount(100);
    longer.SetAll();
    b.SetRecordCount(35);
    b.ClearAll();
    b.OrWith(longer);
    b.SetRecordCount(100);
    EXPECT_EQ(b.Count(), 35);
    // AND with a shorter bitmap clears what it lacks.
    TRecordsBitmap shorter;
    shorter.SetRecordCount(20);
    shorter.SetAll();
    b.AndWith(shorter);
    EXPECT_EQ(b.Count(), 20);
}

TEST(RecordsBitmap, PoolKeepsAtMost64)
{
    TRecordsBitmapStack pool;
    TRecordsBitmap* fresh = pool.Pop();  // empty pool creates one
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fresh->RecordCount(), 0);
    pool.Push(fresh);
    EXPECT_EQ(fresh, nullptr);
    EXPECT_EQ(pool.Size(), 1);

    std::vector<TRecordsBitmap*> many;
    for (int i = 0; i < 65; ++i)
        many.push_back(new TRecordsBitmap());
    for (auto*& b : many)
        pool.Push(b);  // the 65th pushed while 64 are held is freed
    EXPECT_EQ(pool.Size(), 64);
    for (auto* b : many)
        EXPECT_EQ(b, nullptr);
    TRecordsBitmap* nil = nullptr;
    pool.Push(nil);
    EXPECT_EQ(pool.Size(), 64);

    // Pop hands back the most recently pushed one, cleared, with its size.
    TRecordsBitmap* b = pool.Pop();
    b->SetRecordCount(100);
    b->SetAll();
    TRecordsBitmap* marker = b;
    pool.Push(b);
    TRecordsBitmap* again = pool.Pop();
    EXPECT_EQ(again, marker);
    EXPECT_EQ(again->RecordCount(), 100);
    EXPECT_EQ(again->Count(), 0);
    delete again;

    // The global routines, with and without the pool.
    TRecordsBitmapStack* saved = RecordsBitmapStack;
    RecordsBitmapStack = &pool;
    TRecordsBitmap* g = AllocRecordsBitmap();
    const int before = pool.Size();
    ReleaseRecordsBitmap(g);
    EXPECT_EQ(g, nullptr);
    EXPECT_EQ(pool.Size(), before + 1);
    ReleaseRecordsBitmap(g);  // nil: nothing happens
    RecordsBitmapStack = nullptr;
    g = AllocRecordsBitmap();
    ASSERT_NE(g, nullptr);
    ReleaseRecordsBitmap(g);
    EXPECT_EQ(g, nullptr);
    RecordsBitmapStack = saved;
}

}  // namespace
}  // namespace kura

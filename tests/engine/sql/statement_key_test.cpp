// A key made for a statement hands each key's records in record order with the
// bytes it carries of each, as a sorted model says, whether it sorted them in
// memory or in runs merged through its spill file, compared by a function or as
// 32-bit numbers, with and without a directory of hashes, and again after it was
// cleared and made anew. Its scratch file reads back what was written however
// its pages came and went.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/files/ScratchFile.h"
#include "engine/sql/StatementKey.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kRegistry = ::testing::AddGlobalTestEnvironment(new FileListEnvironment);

TEST(StatementKey, FindsEachKeysRecordsInRecordOrderWithWhatItCarries) {
    struct Case {
        int64_t memory;           // of the scratch file
        uint32_t entries, keys;   // keys: distinct ones among the entries
        bool compared, spread;    // by a function over 6 key bytes (else as a 32-bit number); hashes in a directory
        uint16_t payload;
        bool ordered = false;  // the entries come in the key's order (runs that follow one another)
    };
    const Case cases[] = {
        {1 << 20, 0, 1, false, true, 0},        {1 << 20, 1, 1, false, false, 5},
        {1 << 20, 3000, 40, false, false, 0},   {1 << 20, 3000, 3000, false, true, 9},
        {8192, 5000, 700, false, false, 13},    {8192, 5000, 5000, false, true, 2},
        {1 << 20, 2000, 30, true, false, 7},    {8192, 4000, 900, true, false, 21},
        {SCRATCH_PAGE_SIZE, 2500, 2500, true, false, 0},
        {8192, 5000, 700, false, false, 13, true},   {8192, 4000, 200, true, false, 21, true},
        // More pages than the memory keeps first keys of, and a directory it bounds.
        {SCRATCH_PAGE_SIZE, 20000, 3000, true, false, 30}, {SCRATCH_PAGE_SIZE, 20000, 5000, false, false, 8},
        {SCRATCH_PAGE_SIZE, 20000, 20000, false, true, 4},
    };
    std::mt19937 random(75);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.entries) + " entries, " + std::to_string(c.keys) + " keys, memory " +
                     std::to_string(c.memory));
        TempDir folder;
        TScratchFile scratch(c.memory, folder.path());
        const uint16_t width = c.compared ? 6 : 4;
        // Texts compared bytewise backwards, so that their order is not their bytes'.
        TStatementKey::TCompare compare;
        if (c.compared)
            compare = [](const uint8_t* a, const uint8_t* b) {
                for (int i = 5; i >= 0; --i)
                    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
                return 0;
            };
        TStatementKey key(scratch, 3 * TStatementKey::REGION_SIZE, width, c.payload, compare, c.spread);
        auto keyOf = [&](uint32_t k) {
            std::vector<uint8_t> bytes(width, 0);
            const uint32_t value = c.spread ? k * 2654435761u : k;
            std::memcpy(bytes.data(), &value, 4);
            if (c.compared) bytes[5] = static_cast<uint8_t>(k % 251);
            return bytes;
        };
        auto payloadOf = [&](uint32_t recordNo) {
            std::vector<uint8_t> bytes(c.payload);
            for (uint16_t i = 0; i < c.payload; ++i) bytes[i] = static_cast<uint8_t>(recordNo * 7 + i);
            return bytes;
        };
        for (const bool again : {false, true}) {
            // Every record number once, in no order; made again from the odd ones.
            std::vector<uint32_t> numbers;
            for (uint32_t n = 1; n <= c.entries; ++n)
                if (!again || n % 2 == 1) numbers.push_back(n);
            if (!c.ordered) std::shuffle(numbers.begin(), numbers.end(), random);
            std::map<uint32_t, std::vector<uint32_t>> model;
            if (again) key.Clear();
            for (uint32_t n : numbers) {
                const uint32_t k = c.ordered ? static_cast<uint32_t>(uint64_t{n - 1} * c.keys / c.entries)
                                             : static_cast<uint32_t>(random() % c.keys);
                model[k].push_back(n);
                key.Add(keyOf(k).data(), n, payloadOf(n).data());
            }
            key.Finish();
            ASSERT_EQ(key.Size(), numbers.size());
            // Sought in the key's order, as outer rows in that order seek them, then in none.
            std::vector<uint32_t> sought(c.keys + 1);
            std::iota(sought.begin(), sought.end(), 0u);
            if (again) std::shuffle(sought.begin(), sought.end(), random);
            for (uint32_t k : sought) {
                std::vector<uint32_t> expected = model[k];
                std::sort(expected.begin(), expected.end());
                key.Seek(keyOf(k).data());
                std::vector<uint32_t> found;
                uint32_t recordNo = 0;
                for (const uint8_t* carried = nullptr; key.Next(recordNo, carried);) {
                    found.push_back(recordNo);
                    const std::vector<uint8_t> bytes = payloadOf(recordNo);
                    ASSERT_TRUE(c.payload == 0 || std::memcmp(carried, bytes.data(), c.payload) == 0) << recordNo;
                }
                ASSERT_EQ(found, expected) << "key " << k;
            }
        }
        // A key of far more bytes than the memory went through the spill file.
        EXPECT_EQ(scratch.Spilled(), int64_t{c.entries} * (width + 4 + c.payload) > c.memory);
        EXPECT_LE(scratch.InMemory(), std::max<int64_t>(c.memory, SCRATCH_PAGE_SIZE));
    }
}

TEST(StatementKey, TheScratchFileReadsBackWhatWasWrittenThroughEvictionsAndALowerLimit) {
    TempDir folder;
    TScratchFile scratch(3 * SCRATCH_PAGE_SIZE, folder.path());
    std::vector<uint8_t> model(12 * SCRATCH_PAGE_SIZE, 0);
    std::mt19937 random(4);
    for (int step = 0; step < 3000; ++step) {
        if (step == 1500) scratch.SetLimit(1);
        const int64_t offset = random() % (model.size() - 200);
        const int64_t count = 1 + random() % 200;
        std::vector<uint8_t> bytes(static_cast<size_t>(count));
        if (random() % 3 != 0) {
            for (uint8_t& b : bytes) b = static_cast<uint8_t>(random());
            scratch.Write(offset, bytes.data(), count);
            std::copy(bytes.begin(), bytes.end(), model.begin() + offset);
        } else {
            scratch.Read(offset, bytes.data(), count);
            ASSERT_TRUE(std::equal(bytes.begin(), bytes.end(), model.begin() + offset)) << "step " << step;
        }
        ASSERT_LE(scratch.InMemory(), step < 1500 ? 3 * SCRATCH_PAGE_SIZE : SCRATCH_PAGE_SIZE);
    }
    EXPECT_TRUE(scratch.Spilled());
    // Pages forgotten read as zeros again; the others as written.
    scratch.Forget(2 * SCRATCH_PAGE_SIZE, 5 * SCRATCH_PAGE_SIZE);
    std::fill(model.begin() + 2 * SCRATCH_PAGE_SIZE, model.begin() + 5 * SCRATCH_PAGE_SIZE, 0);
    std::vector<uint8_t> all(model.size());
    scratch.Read(0, all.data(), static_cast<int64_t>(all.size()));
    EXPECT_EQ(all, model);
}

}  // namespace

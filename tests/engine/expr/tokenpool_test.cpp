#include "engine/expr/ExpTokenPool.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>
#include <vector>

using namespace kura;

TEST(ExpTokenPool, FreshAndClearedNodes) {
    TExpToken fresh;
    EXPECT_EQ(fresh.ValueCapacity(), 256);
    EXPECT_EQ(fresh.BindSlot1, 0);  // only Clear marks the slots unbound
    EXPECT_EQ(fresh.BindSlot2, 0);
    EXPECT_TRUE(fresh.Arguments.empty());

    TExpToken child;
    TExpToken node;
    node.Text = "x";
    node.Kind = 5;
    node.Code = 3;
    node.Name = "COL";
    node.TableName = "T";
    node.DataSize = 4;
    node.IsNull = 1;
    node.Left = &child;
    node.Parent = &child;
    node.Arguments = {&child, nullptr};
    node.ReadPosition = 9;
    node.Value[0] = 0xAB;
    node.Clear();
    EXPECT_TRUE(node.Text.empty());
    EXPECT_EQ(node.Kind, 0);
    EXPECT_EQ(node.Code, 0);
    EXPECT_TRUE(node.Name.empty());
    EXPECT_TRUE(node.TableName.empty());
    EXPECT_EQ(node.DataSize, 0);
    EXPECT_EQ(node.IsNull, 0);
    EXPECT_EQ(node.Left, nullptr);
    EXPECT_EQ(node.Parent, nullptr);
    EXPECT_TRUE(node.Arguments.empty());
    EXPECT_EQ(node.ReadPosition, 0u);
    EXPECT_EQ(node.BindSlot1, -1);
    EXPECT_EQ(node.BindSlot2, -1);
    EXPECT_EQ(node.ValueCapacity(), 256);
    EXPECT_EQ(node.Value[0], 0);

    // A grown buffer shrinks back to one zeroed block; a freed one stays empty.
    node.Value.assign(768, 0xFF);
    node.Clear();
    EXPECT_EQ(node.ValueCapacity(), 256);
    EXPECT_EQ(node.Value[255], 0);
    node.Value.clear();
    node.Clear();
    EXPECT_EQ(node.ValueCapacity(), 0);
}

TEST(ExpTokenPool, PopAndPush) {
    TExpTokenStack pool;
    EXPECT_EQ(pool.Count(), 0);
    TExpToken* node = pool.Pop();  // empty pool: a new node
    ASSERT_NE(node, nullptr);
    node->Kind = 2;
    node->Value.assign(1024, 1);
    TExpToken* const raw = node;
    pool.Push(node);
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(pool.Count(), 1);

    TExpToken* again = pool.Pop();  // the same node, cleared
    EXPECT_EQ(again, raw);
    EXPECT_EQ(again->Kind, 0);
    EXPECT_EQ(again->ValueCapacity(), 256);
    EXPECT_EQ(pool.Count(), 0);

    TExpToken* none = nullptr;
    pool.Push(none);  // nil-safe
    EXPECT_EQ(pool.Count(), 0);
    pool.Push(again);

    // Last in, first out.
    TExpToken* first = pool.Pop();
    TExpToken* second = pool.Pop();
    TExpToken* secondRaw = second;
    pool.Push(first);
    pool.Push(second);
    EXPECT_EQ(pool.Pop(), secondRaw);
    delete secondRaw;
}

TEST(ExpTokenPool, KeepsAtMostCapacityNodes) {
    TExpTokenStack pool;
    std::vector<TExpToken*> nodes;
    for (int i = 0; i < TExpTokenStack::Capacity + 10; ++i) nodes.push_back(pool.Pop());
    for (TExpToken*& node : nodes) pool.Push(node);  // the extra ten are freed (ASan checks)
    EXPECT_EQ(pool.Count(), TExpTokenStack::Capacity);
    for (TExpToken* node : nodes) EXPECT_EQ(node, nullptr);
}

TEST(ExpTokenPool, GlobalFunctionsAndThreads) {
    ASSERT_EQ(ExpTokenStack, nullptr);
    TExpToken* loose = AllocExpToken();  // no pool: plain allocation and release
    ASSERT_NE(loose, nullptr);
    ReleaseExpToken(loose);
    EXPECT_EQ(loose, nullptr);

    ExpTokenStack = new TExpTokenStack();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 500; ++i) {
                TExpToken* a = AllocExpToken();
                TExpToken* b = AllocExpToken();
                a->Kind = 1;
                ReleaseExpToken(a);
                ReleaseExpToken(b);
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_GE(ExpTokenStack->Count(), 2);
    EXPECT_LE(ExpTokenStack->Count(), 8);
    // Distinct nodes come out while the pool is drained.
    std::set<TExpToken*> seen;
    std::vector<TExpToken*> taken;
    for (int i = 0; i < 8; ++i) {
        taken.push_back(AllocExpToken());
        EXPECT_TRUE(seen.insert(taken.back()).second);
    }
    for (TExpToken*& node : taken) ReleaseExpToken(node);
    delete ExpTokenStack;
    ExpTokenStack = nullptr;
}

TEST(ExpTokenPool, ManyAtOnceKeepTheCapacityAndTheNodes) {
    TExpTokenStack pool;
    std::vector<TExpToken*> nodes;
    for (int i = 0; i < 10; ++i) nodes.push_back(pool.Pop());
    const std::set<TExpToken*> made(nodes.begin(), nodes.end());
    pool.PushMany(nodes);
    EXPECT_TRUE(nodes.empty());
    EXPECT_EQ(pool.Count(), 10);
    // Fewer than asked when the pool runs short; appended after what is there.
    std::vector<TExpToken*> taken{nullptr};
    pool.PopMany(taken, 4);
    EXPECT_EQ(taken.size(), 5u);
    EXPECT_EQ(pool.Count(), 6);
    pool.PopMany(taken, 100);
    EXPECT_EQ(taken.size(), 11u);
    EXPECT_EQ(pool.Count(), 0);
    taken.erase(taken.begin());
    EXPECT_EQ(std::set<TExpToken*>(taken.begin(), taken.end()), made);
    pool.PopMany(taken, -1);
    EXPECT_EQ(taken.size(), 10u);
    // Beyond the capacity the rest are freed (ASan checks).
    for (int i = 0; i < TExpTokenStack::Capacity; ++i) taken.push_back(new TExpToken());
    pool.PushMany(taken);
    EXPECT_EQ(pool.Count(), TExpTokenStack::Capacity);
    pool.PushMany(taken);
    EXPECT_EQ(pool.Count(), TExpTokenStack::Capacity);
}

// Randomised navigation and editing against a model, with windows of one and of
// several record buffers (a grid's link asks for more): after every step the
// current record, BOF and EOF must be what a sorted list of keys says.
#include <algorithm>
#include <random>
#include <set>

#include "platform/dataset/DataSource.h"
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

class GridLink : public TDataLink {};

class NavigationModel : public ComponentTest, public ::testing::WithParamInterface<int> {};

TEST_P(NavigationModel, RandomStepsAgreeWithTheModel) {
    auto t = StaffTable(0);
    TDataSource source;
    source.SetDataSet(t.get());
    GridLink grid;
    grid.SetBufferCount(GetParam());
    grid.SetDataSource(&source);
    EXPECT_EQ(t->BufferCount(), GetParam());

    std::set<int> model;
    std::mt19937 rng(static_cast<uint32_t>(GetParam()) * 7919u);
    for (int i = 0; i < 40; ++i) {
        const int id = static_cast<int>(rng() % 1000);
        if (model.insert(id).second) AddStaff(*t, id, "R" + std::to_string(id), id % 5);
    }
    t->First();
    std::vector<int> keys(model.begin(), model.end());
    int pos = 0;  // index into keys of the current record
    auto check = [&](const char* step) {
        ASSERT_FALSE(keys.empty());
        ASSERT_EQ(t->FieldByName("Id")->AsInteger(), keys[static_cast<std::size_t>(pos)]) << step;
        ASSERT_EQ(t->FieldByName("Name")->AsString(), "R" + std::to_string(keys[static_cast<std::size_t>(pos)]))
            << step;
    };
    for (int step = 0; step < 400; ++step) {
        const int op = static_cast<int>(rng() % 8);
        const int n = static_cast<int>(keys.size());
        if (op == 0) {
            t->First();
            pos = 0;
            ASSERT_TRUE(t->Bof());
        } else if (op == 1) {
            t->Last();
            pos = n - 1;
            ASSERT_TRUE(t->Eof());
        } else if (op == 2 || op == 3) {
            const int d = static_cast<int>(rng() % 11) - 5;
            const int moved = t->MoveBy(d);
            const int target = std::clamp(pos + d, 0, n - 1);
            ASSERT_EQ(moved, target - pos);
            if (d > 0 && pos + d > n - 1) {
                ASSERT_TRUE(t->Eof());
            }
            if (d < 0 && pos + d < 0) {
                ASSERT_TRUE(t->Bof());
            }
            pos = target;
        } else if (op == 4) {
            const int id = static_cast<int>(rng() % 1000);
            if (model.count(id)) continue;
            t->Insert();
            t->FieldByName("Id")->SetAsInteger(id);
            t->FieldByName("Name")->SetAsString("R" + std::to_string(id));
            t->Post();
            model.insert(id);
            keys.assign(model.begin(), model.end());
            pos = static_cast<int>(std::find(keys.begin(), keys.end(), id) - keys.begin());
        } else if (op == 5 && n > 2) {
            const int removed = keys[static_cast<std::size_t>(pos)];
            t->Delete();
            model.erase(removed);
            keys.assign(model.begin(), model.end());
            pos = std::min(pos, static_cast<int>(keys.size()) - 1);
        } else if (op == 6) {
            const int target = static_cast<int>(rng() % static_cast<uint32_t>(n));
            ASSERT_TRUE(t->Locate("Id", TVariant(keys[static_cast<std::size_t>(target)]), 0));
            pos = target;
        } else {
            const TBookmark mark = t->GetBookmark();
            const int saved = pos;
            t->MoveBy(static_cast<int>(rng() % 7) - 3);
            t->GotoBookmark(mark);
            pos = saved;
        }
        check("step");
        ASSERT_EQ(t->RecordCount(), static_cast<int>(keys.size()));
    }
}

INSTANTIATE_TEST_SUITE_P(Windows, NavigationModel, ::testing::Values(1, 3, 8));

}  // namespace
}  // namespace kura::test

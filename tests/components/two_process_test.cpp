// Two processes editing one table through the table component: the pessimistic
// protocol refuses a second edit of a locked record, the optimistic one refuses
// the later post of a record changed meanwhile; either way nothing posted is lost.
#include "tests/components/ComponentTestSupport.h"

namespace kura::test {
namespace {

class TwoProcesses : public ComponentTest {
protected:
    std::unique_ptr<TKuraTable> Prepare(TLockProtocol protocol) {
        Session().SetLockProtocol(protocol);
        Session().SetLockRetryCount(2);
        Session().SetLockWaitTime(10);
        return StaffTable(3);
    }
    std::unique_ptr<ChildProcess> Child(TLockProtocol protocol) {
        auto child = std::make_unique<ChildProcess>(std::vector<std::string>{
            "table-shell", dir.path(), "Staff", protocol == lpOptimistic ? "1" : "0"});
        EXPECT_EQ(child->readLine(), "ready");
        return child;
    }
    static std::string Ask(ChildProcess& child, const std::string& line) {
        child.send(line);
        return child.readLine();
    }
};

TEST_F(TwoProcesses, PessimisticEditLocksTheRecordAgainstTheOtherProcess) {
    auto t = Prepare(lpPessimistic);
    auto child = Child(lpPessimistic);
    ASSERT_TRUE(t->Locate("Id", TVariant(2), 0));
    t->Edit();
    t->FieldByName("Name")->SetAsString("Parent");
    EXPECT_EQ(Ask(*child, "edit 2"), "error " + std::to_string(KURA_RECLOCKFAILED));
    EXPECT_EQ(Ask(*child, "edit 3"), "ok");  // other records stay free
    EXPECT_EQ(Ask(*child, "name Child3"), "ok");
    t->Post();
    EXPECT_EQ(Ask(*child, "edit 2"), "ok");
    // The parent now waits for the child's lock.
    ASSERT_TRUE(t->Locate("Id", TVariant(1), 0));
    t->Edit();  // another record is free
    t->Cancel();
    ASSERT_TRUE(t->Locate("Id", TVariant(2), 0));
    EXPECT_EQ(EngineErrorOf([&] { t->Edit(); }), KURA_RECLOCKFAILED);
    EXPECT_EQ(t->State(), dsBrowse);
    EXPECT_EQ(Ask(*child, "name Child2"), "ok");
    t->Refresh();
    ASSERT_TRUE(t->Locate("Id", TVariant(2), 0));
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Child2");
    ASSERT_TRUE(t->Locate("Id", TVariant(3), 0));
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Child3");
    EXPECT_EQ(Ask(*child, "count"), "count 3");
    child->send("quit");
    EXPECT_EQ(child->wait(), 0);
}

TEST_F(TwoProcesses, OptimisticPostOfAChangedRecordIsRefusedAndNothingIsLost) {
    auto t = Prepare(lpOptimistic);
    auto child = Child(lpOptimistic);
    ASSERT_TRUE(t->Locate("Id", TVariant(1), 0));
    t->Edit();
    EXPECT_EQ(Ask(*child, "edit 1"), "ok");  // no lock: both may edit
    t->FieldByName("Name")->SetAsString("First");
    t->Post();
    EXPECT_EQ(Ask(*child, "name Second"), "error " + std::to_string(KURA_KEYORRECDELETED));
    EXPECT_EQ(Ask(*child, "cancel"), "ok");
    EXPECT_EQ(Ask(*child, "read 1"), "name First");
    EXPECT_EQ(Ask(*child, "edit 1"), "ok");
    EXPECT_EQ(Ask(*child, "name Second"), "ok");
    t->Refresh();
    ASSERT_TRUE(t->Locate("Id", TVariant(1), 0));
    EXPECT_EQ(t->FieldByName("Name")->AsString(), "Second");
    EXPECT_EQ(t->RecordCount(), 3);
    child->send("quit");
    EXPECT_EQ(child->wait(), 0);
}

}  // namespace
}  // namespace kura::test

// Index-order scans that read records ahead of the cursor (the record window): the
// records they show must be the ones a scan without it shows, in every order and
// direction, also while another cursor or another program changes the table. So
// must a natural-order scan that reads records where the cursor has them
// (GetNextRecordView: the cached record, or the slot in the cursor's scan block).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataTable.h"
#include "engine/core/EngineLibrary.h"
#include "tests/common/EngineTestEnvironment.h"
#include "tests/common/TestSupport.h"
#include "tests/engine/core/RecordTestSupport.h"

using namespace kura;
using namespace kura::test;

namespace {

const auto* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(new test::CallEnvironment<InitEngineLibrary, DoneEngineLibrary>);

constexpr uint8_t BY_NAME = 1;
constexpr uint8_t BY_NOTE = 2;

struct Row {
    std::string Name;
    std::string Note;
};

// A table whose primary order visits the slots scattered over the file, read by a
// session whose record cache holds only a few records.
struct ScanDb {
    // Codes step, 2 * step, ... count * step.
    explicit ScanDb(int32_t count, int32_t step = 1, bool encrypted = false) : db(tmp.path(), lpPessimistic) {
        db.session.RecordBufferSize = 1024;
        TTableDefinition def = RecordTable();
        if (encrypted) {
            def.Encrypted = true;
            def.Password = "himitsu";
            db.session.AddPassword("himitsu");
        }
        EXPECT_TRUE(CreateRecordTable(*db.dir, "REC", def));
        writer = OpenRecordCursor(*db.dir, "REC");
        std::vector<int32_t> codes(static_cast<std::size_t>(count));
        std::iota(codes.begin(), codes.end(), 1);
        for (int32_t& code : codes) code *= step;
        std::mt19937 rng(7);
        std::shuffle(codes.begin(), codes.end(), rng);
        db.dir->StartTransaction();
        for (int32_t code : codes) {
            Row row{"N" + std::to_string(rng() % 1000000) + "-" + std::to_string(code), "T" + std::to_string(rng() % 9)};
            std::vector<uint8_t> record = MakeRecord(*writer, code, row.Name, row.Note);
            writer->AppendRecord(record.data(), true);
            Model[code] = row;
        }
        db.dir->Commit();
    }

    // Finds the record of `code` with the writer cursor; its buffer.
    std::vector<uint8_t> Find(int32_t code) {
        writer->SwitchToIndex(PRIMARY_INDEX);
        std::vector<uint8_t> search(writer->GetCursorRecordSize(), 0);
        std::vector<uint8_t> record(writer->GetCursorRecordSize(), 0);
        writer->PutField(F_CODE, search.data(), &code);
        EXPECT_TRUE(writer->FindKey(0, search.data(), 1, 0, 0, record.data())) << code;
        return record;
    }
    void Rename(int32_t code, const std::string& name) {
        std::vector<uint8_t> record = Find(code);
        SetName(*writer, record, name);
        writer->ModifyRecord(record.data(), true, false);
        Model[code].Name = name;
    }
    void Add(int32_t code, const std::string& name) {
        std::vector<uint8_t> record = MakeRecord(*writer, code, name, "added");
        writer->AppendRecord(record.data(), true);
        Model[code] = Row{name, "added"};
    }
    void Remove(int32_t code) {
        std::vector<uint8_t> record = Find(code);
        writer->DeleteRecord(record.data(), false);
        Model.erase(code);
    }

    TempDir tmp;
    RecordDb db;
    std::unique_ptr<TDataCursor> writer;
    std::map<int32_t, Row> Model;
};

// The codes in the order the index shows them, from the model.
std::vector<int32_t> ExpectedOrder(const std::map<int32_t, Row>& model, uint8_t index) {
    std::vector<int32_t> codes;
    for (const auto& [code, row] : model) codes.push_back(code);
    if (index == BY_NAME)
        std::stable_sort(codes.begin(), codes.end(),
                         [&](int32_t a, int32_t b) { return model.at(a).Name < model.at(b).Name; });
    return codes;
}

// Steps through the whole order and checks every record against the model; a hook
// runs after the n-th record. Answers the codes in the order seen. In place: forward
// through GetNextRecordView.
std::vector<int32_t> Scan(TDataCursor& c, const std::map<int32_t, Row>& model, bool forward,
                          const std::function<void(int)>& after = {}, bool inPlace = false) {
    std::vector<uint8_t> buffer(c.GetCursorRecordSize());
    std::vector<int32_t> seen;
    if (forward)
        c.SetToBegin();
    else
        c.SetToEnd();
    auto step = [&] {
        if (!inPlace) return forward ? c.GetNextRecord(buffer.data()) : c.GetPriorRecord(buffer.data());
        const uint8_t* image = nullptr;
        TRecord* held = nullptr;
        const TEngineErrorCode code = c.GetNextRecordView(image, held);
        if (image) std::copy(image, image + buffer.size(), buffer.begin());
        c.ReleaseRecord(held);
        return code;
    };
    for (int n = 1;; ++n) {
        const TEngineErrorCode code = step();
        if (code != 0) break;
        const int32_t id = CodeOf(c, buffer);
        seen.push_back(id);
        if (after) after(n);
        const auto it = model.find(id);
        if (it == model.end()) {
            ADD_FAILURE() << "record " << id << " is not in the table";
            continue;
        }
        EXPECT_EQ(TextOf(c, buffer), it->second.Name) << id;
        EXPECT_EQ(TextOf(c, buffer, F_NOTE), it->second.Note) << id;
    }
    if (!forward) std::reverse(seen.begin(), seen.end());
    return seen;
}

std::vector<int32_t> ViewScan(TDataCursor& c, const std::map<int32_t, Row>& model,
                              const std::function<void(int)>& after = {}) {
    return Scan(c, model, true, after, true);
}

}  // namespace

TEST(RecordWindow, ScansShowTheTableInEveryOrderAndDirection) {
    ScanDb s(700);
    auto c = OpenRecordCursor(*s.db.dir, "REC");
    TDataFile& data = c->GetTable()->GetDataFile();
    for (uint8_t index : {PRIMARY_INDEX, BY_NAME, BY_NOTE}) {
        for (bool forward : {true, false}) {
            SCOPED_TRACE(std::to_string(index) + (forward ? " forward" : " backward"));
            c->SwitchToIndex(index);
            const uint32_t loadsBefore = data.Statistics().WindowLoads;
            const std::vector<int32_t> seen = Scan(*c, s.Model, forward);
            EXPECT_GT(data.Statistics().WindowLoads, loadsBefore);
            if (index == BY_NOTE) {
                std::vector<int32_t> sorted = seen;
                std::sort(sorted.begin(), sorted.end());
                EXPECT_EQ(sorted, ExpectedOrder(s.Model, PRIMARY_INDEX));
            } else {
                EXPECT_EQ(seen, ExpectedOrder(s.Model, index));
            }
        }
    }
}

// A window left behind by an index-order scan serves no other cursor's block reads:
// a natural-order scan still reads many records per miss, not one.
TEST(RecordWindow, ANaturalScanAfterAnIndexScanStillReadsBlocks) {
    ScanDb s(700);
    auto byKey = OpenRecordCursor(*s.db.dir, "REC");
    byKey->SwitchToIndex(PRIMARY_INDEX);
    Scan(*byKey, s.Model, true, [&](int n) {
        if (n != 350) return;
        auto natural = OpenRecordCursor(*s.db.dir, "REC");
        natural->SwitchToIndex(NATURAL_ORDER);
        TDataFile& data = natural->GetTable()->GetDataFile();
        const TDataFileStatistics before = data.Statistics();
        const std::vector<int32_t> seen = Scan(*natural, s.Model, true);
        EXPECT_EQ(seen.size(), s.Model.size());
        EXPECT_EQ(data.Statistics().WindowLoads, before.WindowLoads);
        // Each miss fills as much of the small cache as it can take.
        EXPECT_LT(data.Statistics().CacheMisses - before.CacheMisses, 700u / 8);
    });
}

// Another cursor of this program renames, adds and deletes records the scan has
// read ahead but not reached yet, next to the scan's key in its leaf and far
// ahead, written at once or held in a transaction.
TEST(RecordWindow, AnotherCursorsChangesAheadAreSeen) {
    for (bool transaction : {false, true}) {
        SCOPED_TRACE(transaction);
        ScanDb s(600, 2);
        auto c = OpenRecordCursor(*s.db.dir, "REC");
        c->SwitchToIndex(PRIMARY_INDEX);
        if (transaction) s.db.dir->StartTransaction();
        const std::vector<int32_t> seen = Scan(*c, s.Model, true, [&](int n) {
            // Standing on code 80 after the 40th record.
            if (n == 40) {
                s.Add(81, "between");
                s.Remove(82);
                s.Rename(84, "next but one");
                s.Rename(600, "renamed");
                s.Rename(1110, "renamed too");
                s.Remove(900);
            }
            // And after stepping within the leaf since, once more on its next key.
            if (n == 45) s.Remove(92);
        });
        if (transaction) s.db.dir->Commit();
        EXPECT_EQ(seen, ExpectedOrder(s.Model, PRIMARY_INDEX));
    }
}

// Another program renames the record a backward scan reaches last, after the scan
// has read it ahead: the scan shows the new name.
TEST(RecordWindow, AnotherProgramsChangeAheadIsSeen) {
    ScanDb s(500);
    auto c = OpenRecordCursor(*s.db.dir, "REC");
    c->SwitchToIndex(PRIMARY_INDEX);
    ChildProcess child({"rec-shell", s.tmp.path(), "REC", std::to_string(lpPessimistic)});
    ASSERT_EQ(child.readLine(), "ready");
    auto ask = [&](const std::string& line) {
        child.send(line);
        return child.readLine();
    };
    const std::vector<int32_t> seen = Scan(*c, s.Model, false, [&](int n) {
        if (n != 30) return;
        EXPECT_EQ(ask("first").rfind("rec 1 ", 0), 0u);
        EXPECT_EQ(ask("name Child"), "ok");
        s.Model[1].Name = "Child";
    });
    EXPECT_EQ(seen, ExpectedOrder(s.Model, PRIMARY_INDEX));
    // A natural-order scan in place renames the record 20 slots ahead of it, which
    // its scan block holds already.
    c->SwitchToIndex(NATURAL_ORDER);
    const std::vector<int32_t> natural = ViewScan(*c, s.Model);
    const auto ahead = std::find(natural.begin(), natural.end(), 1) - natural.begin();
    ASSERT_GT(ahead, 20);
    ViewScan(*c, s.Model, [&](int n) {
        if (n != ahead - 20) return;
        EXPECT_EQ(ask("first").rfind("rec 1 ", 0), 0u);
        EXPECT_EQ(ask("name Later"), "ok");
        s.Model[1].Name = "Later";
    });
    child.send("quit");
    EXPECT_EQ(child.wait(), 0);
}

// Scans in place show what copying scans show, in far fewer reads: plain, under a
// filter, encrypted.
TEST(ScanBlock, ShowsWhatACopyingScanShows) {
    for (const char* kind : {"plain", "filtered", "encrypted"}) {
        SCOPED_TRACE(kind);
        ScanDb s(3000, 1, kind == std::string("encrypted"));
        auto c = OpenRecordCursor(*s.db.dir, "REC");
        c->SwitchToIndex(NATURAL_ORDER);
        std::map<int32_t, Row> model = s.Model;
        if (kind == std::string("filtered")) {
            c->ActivateFilter(c->AddFilter("Code > 1000 AND Code < 2500"));
            std::erase_if(model, [](const auto& entry) { return entry.first <= 1000 || entry.first >= 2500; });
        }
        const std::vector<int32_t> copied = Scan(*c, model, true);
        TDataFile& data = c->GetTable()->GetDataFile();
        const uint32_t reads = data.Statistics().BlockReads;
        EXPECT_EQ(ViewScan(*c, model), copied);
        EXPECT_LE(data.Statistics().BlockReads - reads, 8u);
        EXPECT_EQ(copied.size(), model.size());
    }
}

// Another cursor of this program renames, adds and deletes records the scan block
// already holds, written at once or held in a transaction.
TEST(ScanBlock, AnotherCursorsChangesAheadAreSeen) {
    for (bool transaction : {false, true}) {
        SCOPED_TRACE(transaction);
        ScanDb s(600, 2);
        auto c = OpenRecordCursor(*s.db.dir, "REC");
        c->SwitchToIndex(NATURAL_ORDER);
        const std::vector<int32_t> order = ViewScan(*c, s.Model);
        if (transaction) s.db.dir->StartTransaction();
        std::vector<int32_t> seen = ViewScan(*c, s.Model, [&](int n) {
            if (n != 40) return;
            s.Add(1301, "appended");
            s.Remove(order[41]);
            s.Rename(order[42], "next but one");
            s.Rename(order[300], "renamed");
            s.Remove(order[500]);
        });
        if (transaction) s.db.dir->Commit();
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, ExpectedOrder(s.Model, PRIMARY_INDEX));
    }
}

#pragma once
// The writes of the crash tests: a fixed script of steps on a table of the stress
// layout, each step one write outside a transaction or a transaction of several,
// that a writer process carries out (tests/helpers/child_crash.cpp) and the test
// replays on a model to know the table's content before and after every step.
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "tests/engine/core/RecordTestSupport.h"
#include "tests/engine/core/StressTestSupport.h"

namespace kura::test {

struct CrashOp {
    enum Kind { Append, Modify, Delete } What = Append;
    int32_t Code = 0;
    std::string Name;
    std::string Memo;
    uint32_t PhotoSeed = 0;
    uint32_t PhotoSize = 0;

    std::vector<uint8_t> Photo() const {
        std::mt19937 rng(PhotoSeed);
        return RandomBytes(rng, PhotoSize);
    }
    std::string Row() const { return Name + "|" + NoteOf(Checksum(Photo()), Checksum(Memo)); }
};

struct CrashStep {
    bool Transaction = false;
    std::vector<CrashOp> Ops;
};

// Content by code: name "|" note, as TableCheck reads it back.
using CrashRows = std::map<int32_t, std::string>;

inline CrashOp NewRecordOp(std::mt19937& rng, int32_t code, CrashOp::Kind what) {
    CrashOp op;
    op.What = what;
    op.Code = code;
    op.Name = "r" + std::to_string(code) + "v" + std::to_string(rng() % 100000);
    op.Memo = MakeMemo(rng, 7, static_cast<uint32_t>(code), 40);
    op.PhotoSeed = rng();
    // Up to several BLOB blocks, now and then none.
    op.PhotoSize = rng() % 5 == 0 ? 0 : rng() % 6000;
    return op;
}

// The records a crash table starts with (codes 1..count), appended one by one.
inline std::vector<CrashOp> CrashInitialRecords(uint32_t seed, int count) {
    std::mt19937 rng(seed);
    std::vector<CrashOp> ops;
    for (int32_t code = 1; code <= count; ++code) ops.push_back(NewRecordOp(rng, code, CrashOp::Append));
    return ops;
}

// Steps on a table that starts with the initial records: appends of new codes,
// modifications and deletions of existing ones, about one step in three a
// transaction of two to four operations.
inline std::vector<CrashStep> CrashScript(uint32_t seed, int initial, int steps) {
    std::mt19937 rng(seed * 31u + 5u);
    std::vector<int32_t> live;
    for (int32_t code = 1; code <= initial; ++code) live.push_back(code);
    int32_t next = initial + 1;
    std::vector<CrashStep> script;
    for (int s = 0; s < steps; ++s) {
        CrashStep step;
        step.Transaction = rng() % 3 == 0;
        const int ops = step.Transaction ? 2 + static_cast<int>(rng() % 3) : 1;
        for (int i = 0; i < ops; ++i) {
            const uint32_t kind = rng() % 3;
            if (kind == 0 || live.size() < 3) {
                step.Ops.push_back(NewRecordOp(rng, next, CrashOp::Append));
                live.push_back(next++);
                continue;
            }
            const std::size_t at = rng() % live.size();
            const int32_t code = live[at];
            if (kind == 1) {
                step.Ops.push_back(NewRecordOp(rng, code, CrashOp::Modify));
            } else {
                CrashOp op;
                op.What = CrashOp::Delete;
                op.Code = code;
                step.Ops.push_back(op);
                live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
            }
        }
        script.push_back(std::move(step));
    }
    return script;
}

inline void ApplyToModel(CrashRows& rows, const CrashOp& op) {
    if (op.What == CrashOp::Delete)
        rows.erase(op.Code);
    else
        rows[op.Code] = op.Row();
}

// The model after every step: [0] before the first, [i] after step i.
inline std::vector<CrashRows> CrashStates(const std::vector<CrashOp>& initial, const std::vector<CrashStep>& script) {
    std::vector<CrashRows> states(1);
    for (const CrashOp& op : initial) ApplyToModel(states[0], op);
    for (const CrashStep& step : script) {
        states.push_back(states.back());
        for (const CrashOp& op : step.Ops) ApplyToModel(states.back(), op);
    }
    return states;
}

// Carries out one operation through a cursor of the table.
inline void RunCrashOp(TDataCursor& cursor, const CrashOp& op) {
    if (op.What == CrashOp::Append) {
        AppendStressRecord(cursor, op.Code, op.Name, op.Memo, op.Photo());
        return;
    }
    std::vector<uint8_t> buffer(cursor.GetCursorRecordSize());
    std::vector<uint8_t> probe = MakeRecord(cursor, op.Code, "");
    // Edit state as the dataset enters it: the record as read, then locked.
    if (cursor.FindKey(0, probe.data(), 1, 0, 0, nullptr) == 0 || cursor.GetCurrentRecord(buffer.data(), false) != 0 ||
        cursor.GetCurrentRecord(buffer.data(), true) != 0)
        throw std::runtime_error("no record " + std::to_string(op.Code));
    if (op.What == CrashOp::Delete) {
        cursor.DeleteRecord(buffer.data(), true);
        return;
    }
    const std::vector<uint8_t> photo = op.Photo();
    SetName(cursor, buffer, op.Name);
    WriteBlob(cursor, buffer.data(), F_MEMO, op.Memo.data(), op.Memo.size());
    WriteBlob(cursor, buffer.data(), F_PHOTO, photo.data(), photo.size());
    const std::string note = NoteOf(Checksum(photo), Checksum(op.Memo));
    cursor.PutField(F_NOTE, buffer.data(), note.c_str());
    cursor.ModifyRecord(buffer.data(), true, true);
}

}  // namespace kura::test

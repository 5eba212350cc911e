// The worker of the multi-process stress test: one program among several that
// append, modify and delete records with BLOBs, a memo under the text index and a
// unique name on one shared table, for a bounded time.
//
// stress-worker DIR TABLE SEED MILLISECONDS [KILLAT]: odd seeds work under the
// optimistic lock protocol, even seeds under the pessimistic one. With KILLAT the
// worker is killed at that write call (counted from "go"), most likely inside a
// flush. The worker says "ready",
// waits for "go", works, and ends with one line:
//   done appended=<n> deleted=<n> modified=<n> ... (exit code 0), or
//   fail <what> (exit code 1) for a corruption error, any other unexpected error or
//   a BLOB that does not match the checksum its record keeps.
// Contention errors (record locked, record changed, key violation, lock timeout)
// are counted and the operation is given up.
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/core/DataCursor.h"
#include "engine/core/DataDirectory.h"
#include "engine/core/DataSession.h"
#include "engine/core/EngineLibrary.h"
#include "engine/errors/EngineErrors.h"
#include "platform/FileCalls.h"
#include "tests/engine/core/RecordTestSupport.h"
#include "tests/engine/core/StressTestSupport.h"
#include "tests/helpers/ChildCommands.h"

namespace {

using namespace kura;
using namespace kura::test;
using kura::testchild::hear;
using kura::testchild::say;

// Codes of seeds 0 (the records the test starts with) to 8 are probed when positioning.
constexpr int WORKER_SEEDS = 8;

bool IsContention(TEngineErrorCode code) {
    return code == KURA_RECLOCKFAILED || code == KURA_KEYORRECDELETED || code == KURA_KEYVIOL ||
           code == KURA_LOCKTIMEOUT;
}

// A fault the worker found itself; ends the run like an unexpected engine error.
struct WorkerFault : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Worker {
public:
    Worker(const std::string& path, const std::string& table, uint32_t seed)
        : seed_(seed), rng_(seed * 7919u + 17u) {
        session_.SetLockProtocol(seed % 2 == 1 ? lpOptimistic : lpPessimistic);
        // Enough patience for another program's short transaction, bounded all the
        // same so a worker never hangs.
        session_.SetLockRetryCount(10);
        session_.SetLockWaitTime(15);
        dir_ = session_.OpenDataDirectory("DB", path);
        cursor_ = OpenRecordCursor(*dir_, table);
        buffer_.resize(cursor_->GetCursorRecordSize());
    }
    ~Worker() {
        cursor_.reset();
    }

    // One operation, or a short transaction of up to three.
    void Step() {
        if (rng_() % 6 != 0) {
            Guarded([&] { Operation(); });
            appended_ += pendingAppends_;
            deleted_ += pendingDeletes_;
            ClearPending();
            return;
        }
        try {
            dir_->StartTransaction();
        } catch (const EKuraEngineError& e) {
            Tolerate(e.ErrorCode(), "start transaction", e.what());
            return;
        }
        ++transactions_;
        bool failed = false;
        const int count = 1 + static_cast<int>(rng_() % 3);
        for (int i = 0; i < count && !failed; ++i) failed = !Guarded([&] { Operation(); });
        const bool rollback = failed || rng_() % 4 == 0;
        if (!rollback) {
            try {
                dir_->Commit();
                appended_ += pendingAppends_;
                deleted_ += pendingDeletes_;
                ClearPending();
                return;
            } catch (const EKuraEngineError& e) {
                Tolerate(e.ErrorCode(), "commit", e.what());
            }
        }
        ++rollbacks_;
        dir_->Rollback();
        ClearPending();
    }

    std::string Report() const {
        std::ostringstream out;
        out << "done appended=" << appended_ << " deleted=" << deleted_ << " modified=" << modified_
            << " transactions=" << transactions_ << " rollbacks=" << rollbacks_;
        for (const auto& [code, n] : contention_) out << " e" << code << "=" << n;
        return out.str();
    }

private:
    // Runs one operation; contention errors are counted and end it (false), any
    // other error passes on.
    template <class F>
    bool Guarded(F&& f) {
        trace_.clear();
        try {
            f();
            CheckBrackets(operation_);
            return true;
        } catch (const EKuraEngineError& e) {
            trace_ += " raised " + std::to_string(e.ErrorCode());
            CheckBrackets(operation_ + " (failed)");
            Tolerate(e.ErrorCode(), operation_, e.what());
        }
        // The edit ends and its unsaved BLOBs go. (Not through the buffer's fields:
        // after a successful post they still name BLOBs the post has freed.)
        try {
            cursor_->FreeAllBlobs(true);
            cursor_->CancelRecord();
        } catch (const EKuraEngineError& e) {
            Tolerate(e.ErrorCode(), "cancel", e.what());
        }
        return false;
    }

    void Tolerate(TEngineErrorCode code, const std::string& where, const std::string& what) {
        if (!IsContention(code)) {
            throw WorkerFault("error " + std::to_string(code) + " in " + where + ": " + what + " trace:" + trace_);
        }
        ++contention_[code];
    }

    // An operation must leave no read bracket open: its reader lock would keep
    // every writer of every program out.
    void CheckBrackets(const std::string& where) {
        TDataTable* table = cursor_->GetTable();
        if (table && (table->GetReadDepth() != 0 || table->IsReadLocked()))
            throw WorkerFault("read bracket left open (depth " + std::to_string(table->GetReadDepth()) + ") after " +
                              where + " trace:" + trace_);
    }
    // Marks a step of the operation for the fault report and checks the brackets.
    void Checkpoint(const char* label) {
        trace_ += std::string(" ") + label;
        CheckBrackets(label);
    }

    void ClearPending() {
        pendingAppends_ = 0;
        pendingDeletes_ = 0;
    }

    void Operation() {
        const uint32_t pick = rng_() % 100;
        if (pick < 45)
            Append();
        else if (pick < 80)
            Modify();
        else
            Delete();
    }

    std::string FreshName(uint32_t serial) {
        // Now and then a name from a small shared pool, which the unique index must
        // refuse when another record holds it.
        if (rng_() % 8 == 0) return "pool" + std::to_string(rng_() % 24);
        return "w" + std::to_string(seed_) + "n" + std::to_string(serial);
    }

    void Append() {
        operation_ = "append";
        const uint32_t serial = ++serial_;
        const int32_t code = static_cast<int32_t>(seed_) * STRESS_CODE_BASE + static_cast<int32_t>(serial);
        const std::string memo = MakeMemo(rng_, seed_, serial, 400);
        const std::vector<uint8_t> photo = RandomBytes(rng_, rng_() % 20481);
        AppendStressRecord(*cursor_, code, FreshName(serial), memo, photo);
        ++pendingAppends_;
    }

    // Puts the cursor on some record and reads it into the buffer; false when the
    // table has none there.
    bool Position() {
        const uint32_t how = rng_() % 10;
        if (how < 6) {
            const int32_t code = static_cast<int32_t>(rng_() % (WORKER_SEEDS + 1)) * STRESS_CODE_BASE +
                                 static_cast<int32_t>(rng_() % (serial_ + 50));
            std::vector<uint8_t> probe = MakeRecord(*cursor_, code, "");
            cursor_->FindKey(0, probe.data(), 1, 1, 0, nullptr);
            Checkpoint("findkey");
            const bool found = cursor_->GetCurrentRecord(buffer_.data(), false) == 0;
            Checkpoint("read");
            return found;
        }
        const int steps = 1 + static_cast<int>(rng_() % 5);
        TEngineErrorCode result = 0;
        if (how < 8) {
            cursor_->SetToBegin();
            Checkpoint("begin");
            for (int i = 0; i < steps && result == 0; ++i) {
                result = cursor_->GetNextRecord(buffer_.data());
                Checkpoint("next");
            }
        } else {
            cursor_->SetToEnd();
            Checkpoint("end");
            for (int i = 0; i < steps && result == 0; ++i) {
                result = cursor_->GetPriorRecord(buffer_.data());
                Checkpoint("prior");
            }
        }
        return result == 0;
    }

    void Modify() {
        operation_ = "position";
        if (!Position()) return;
        operation_ = "edit";
        // Enters edit state as the dataset does: the record as read, then locked.
        if (cursor_->GetCurrentRecord(buffer_.data(), true) != 0) {
            cursor_->CancelRecord();
            return;
        }
        Checkpoint("edit");
        const bool pessimistic = pessimistic_;
        operation_ = "modify";
        const std::string note = TextOf(*cursor_, buffer_, F_NOTE);
        uint32_t photoSum = 0, memoSum = 0;
        if (note.size() == 16) {
            photoSum = static_cast<uint32_t>(std::stoul(note.substr(0, 8), nullptr, 16));
            memoSum = static_cast<uint32_t>(std::stoul(note.substr(8), nullptr, 16));
        } else {
            throw WorkerFault("record without a checksum note: '" + note + "'");
        }
        const uint32_t change = rng_() % 6;
        if (change == 0 || change == 5) SetName(*cursor_, buffer_, FreshName(++serial_));
        if (change == 1 || change == 5) {
            const std::vector<uint8_t> photo = RandomBytes(rng_, rng_() % 20481);
            WriteBlob(*cursor_, buffer_.data(), F_PHOTO, photo.data(), photo.size());
            Checkpoint("photo");
            photoSum = Checksum(photo);
        }
        if (change == 2) {
            // Bytes overwritten inside the current value, and maybe some appended.
            std::vector<uint8_t> photo = LoadBlob(*cursor_, buffer_.data(), F_PHOTO, true);
            Checkpoint("loadphoto");
            // Under the lock nobody can have rewritten it since the read.
            if (pessimistic && Checksum(photo) != photoSum) throw WorkerFault("photo does not match its checksum");
            const std::size_t at = photo.empty() ? 0 : rng_() % photo.size();
            const std::vector<uint8_t> patch = RandomBytes(rng_, 1 + rng_() % 3000);
            CheckBlobResult(cursor_->PutBlob(F_PHOTO, buffer_.data(), static_cast<uint32_t>(at), patch.data(),
                                             static_cast<uint32_t>(patch.size()), false),
                            "patch blob");
            if (photo.size() < at + patch.size()) photo.resize(at + patch.size());
            std::copy(patch.begin(), patch.end(), photo.begin() + static_cast<std::ptrdiff_t>(at));
            photoSum = Checksum(photo);
        }
        if (change == 3 || change == 4) {
            if (change == 4) {
                const std::vector<uint8_t> old = LoadBlob(*cursor_, buffer_.data(), F_MEMO, true);
                Checkpoint("loadmemo");
                if (pessimistic && Checksum(old) != memoSum) throw WorkerFault("memo does not match its checksum");
            }
            const std::string memo = MakeMemo(rng_, seed_, ++serial_, 400);
            WriteBlob(*cursor_, buffer_.data(), F_MEMO, memo.data(), memo.size());
            Checkpoint("memo");
            memoSum = Checksum(memo);
        }
        const std::string newNote = NoteOf(photoSum, memoSum);
        cursor_->PutField(F_NOTE, buffer_.data(), newNote.c_str());
        cursor_->ModifyRecord(buffer_.data(), true, true);
        ++modified_;
    }

    void Delete() {
        operation_ = "position";
        if (!Position()) return;
        operation_ = "delete";
        // Half the time from edit state (the lock taken first), else directly.
        if (rng_() % 2 == 0 && cursor_->GetCurrentRecord(buffer_.data(), true) != 0) {
            cursor_->CancelRecord();
            return;
        }
        cursor_->DeleteRecord(buffer_.data(), true);
        ++pendingDeletes_;
    }

    uint32_t seed_;
    bool pessimistic_ = seed_ % 2 == 0;
    std::mt19937 rng_;
    TDataSession session_;
    TDataDirectory* dir_ = nullptr;
    std::unique_ptr<TDataCursor> cursor_;
    std::vector<uint8_t> buffer_;
    uint32_t serial_ = 0;
    std::string operation_;
    std::string trace_;
    int appended_ = 0, deleted_ = 0, modified_ = 0, transactions_ = 0, rollbacks_ = 0;
    int pendingAppends_ = 0, pendingDeletes_ = 0;
    std::map<TEngineErrorCode, int> contention_;
};

const kura::testchild::ChildCommand worker("stress-worker", [](const std::vector<std::string>& args) {
    if (args.size() < 4) return 2;
    const uint32_t seed = static_cast<uint32_t>(std::stoul(args[2]));
    const auto duration = std::chrono::milliseconds(std::stoi(args[3]));
    InitEngineLibrary();
    int exitCode = 0;
    {
        std::unique_ptr<Worker> w;
        try {
            w = std::make_unique<Worker>(args[0], args[1], seed);
        } catch (const EKuraEngineError& e) {
            say("fail open " + std::to_string(e.ErrorCode()) + " " + e.what());
            DoneEngineLibrary();
            return 1;
        }
        say("ready");
        if (hear() != "go") {
            w.reset();
            DoneEngineLibrary();
            return 2;
        }
        if (args.size() > 4) platform::ArmFileFault({std::stoull(args[4]), platform::FileFaultAction::Stop, 5});
        const auto end = std::chrono::steady_clock::now() + duration;
        try {
            while (std::chrono::steady_clock::now() < end) w->Step();
            say(w->Report());
        } catch (const WorkerFault& e) {
            say(std::string("fail ") + e.what());
            exitCode = 1;
        } catch (const EKuraEngineError& e) {
            say("fail error " + std::to_string(e.ErrorCode()) + ": " + e.what());
            exitCode = 1;
        } catch (const std::exception& e) {
            say(std::string("fail ") + e.what());
            exitCode = 1;
        }
        try {
            w.reset();
        } catch (...) {
        }
    }
    DoneEngineLibrary();
    return exitCode;
});

}  // namespace

namespace {

// stress-edit DIR TABLE CODE: rewrites the memo of the record with this code under
// the pessimistic protocol, with its checksum; says "ok" or "error <n>".
const kura::testchild::ChildCommand edit("stress-edit", [](const std::vector<std::string>& args) {
    if (args.size() < 3) return 2;
    InitEngineLibrary();
    int exitCode = 0;
    {
        RecordDb db(args[0], lpPessimistic);
        try {
            auto cursor = OpenRecordCursor(*db.dir, args[1]);
            std::vector<uint8_t> buffer(cursor->GetCursorRecordSize());
            std::vector<uint8_t> probe = MakeRecord(*cursor, std::stoi(args[2]), "");
            if (cursor->FindKey(0, probe.data(), 1, 0, 0, nullptr) == 0) throw std::runtime_error("no such record");
            // Edit state as the dataset enters it: the record as read, then locked.
            if (cursor->GetCurrentRecord(buffer.data(), false) != 0 ||
                cursor->GetCurrentRecord(buffer.data(), true) != 0)
                throw std::runtime_error("no record");
            const std::string note = TextOf(*cursor, buffer, F_NOTE);
            const std::string memo = "rewritten by another program";
            WriteBlob(*cursor, buffer.data(), F_MEMO, memo.data(), memo.size());
            const std::string newNote = note.substr(0, 8) + NoteOf(0, Checksum(memo)).substr(8);
            cursor->PutField(F_NOTE, buffer.data(), newNote.c_str());
            cursor->ModifyRecord(buffer.data(), true, true);
            say("ok");
        } catch (const EKuraEngineError& e) {
            say("error " + std::to_string(e.ErrorCode()));
            exitCode = 1;
        } catch (const std::exception& e) {
            say(std::string("fail ") + e.what());
            exitCode = 1;
        }
    }
    DoneEngineLibrary();
    return exitCode;
});

}  // namespace

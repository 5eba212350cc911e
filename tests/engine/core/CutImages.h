#pragma once
// What a kill or a power cut leaves of a folder's files. The file layer's call
// table records every write, cut and sync made on the files of one folder; an
// image is the folder as a stop after the first N of those calls leaves it:
//   - Kill: every call made is there (the system keeps what a dead program wrote);
//   - Lost: each file as its last completed sync left it, every later write gone;
//   - Torn: the same, but each later write kept, lost or torn (a part of it
//     written), at random, where the caller allows it.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>

#include "engine/errors/EngineErrors.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "platform/FileCalls.h"

namespace kura::test {

using Bytes = std::vector<uint8_t>;
// A folder's files by name.
using FolderFiles = std::map<std::string, Bytes>;

// One call of the file layer on a file of the recorded folder.
struct FileEvent {
    enum Kind { Write, Cut, Sync } What = Write;
    std::string File;    // the name in the folder
    int64_t Offset = 0;  // where a write starts; the length a cut leaves
    Bytes Data;
};

enum class CutModel { Kill, Lost, Torn };

namespace cutimages {

struct State {
    std::string Folder;  // as the kernel names it
    std::vector<FileEvent> Events;
};
inline State* gState = nullptr;

// The name in the recorded folder that an open descriptor names ("" for others).
inline std::string FileOf(int fd) {
    char link[4096] = {};
    const std::string proc = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = readlink(proc.c_str(), link, sizeof link - 1);
    const std::string path = n > 0 ? std::string(link, static_cast<std::size_t>(n)) : std::string();
    if (!gState || path.size() <= gState->Folder.size() + 1 || path.rfind(gState->Folder + "/", 0) != 0) return {};
    const std::string name = path.substr(gState->Folder.size() + 1);
    return name.find('/') == std::string::npos ? name : std::string();
}

inline void Record(FileEvent e) {
    if (gState && !e.File.empty()) gState->Events.push_back(std::move(e));
}

inline ssize_t Pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    const ssize_t n = platform::SystemFileCalls().pwrite(fd, buffer, count, offset);
    if (n > 0) {
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        Record({FileEvent::Write, FileOf(fd), offset, Bytes(bytes, bytes + n)});
    }
    return n;
}
inline int Ftruncate(int fd, off_t length) {
    const int result = platform::SystemFileCalls().ftruncate(fd, length);
    if (result == 0) Record({FileEvent::Cut, FileOf(fd), length, {}});
    return result;
}
// A sync is recorded, not made: the images model what it keeps.
inline int Fsync(int fd) {
    Record({FileEvent::Sync, FileOf(fd), 0, {}});
    return 0;
}
inline int NoSync(int) { return 0; }

}  // namespace cutimages

// Syncs that reach no disk while it lives: the images model what a sync keeps,
// so the tests need not wait for the disk.
class NoDiskSyncs {
public:
    NoDiskSyncs() : saved_(platform::FileCalls()) {
        platform::FileCalls().fsync = cutimages::NoSync;
        platform::FileCalls().fdatasync = cutimages::NoSync;
    }
    ~NoDiskSyncs() {
        platform::FileCalls().fsync = saved_.fsync;
        platform::FileCalls().fdatasync = saved_.fdatasync;
    }
    NoDiskSyncs(const NoDiskSyncs&) = delete;
    NoDiskSyncs& operator=(const NoDiskSyncs&) = delete;

private:
    platform::FileCallTable saved_;
};

// Records the calls on the files of one folder while it lives (one recorder at a
// time); the calls in place before are back once it ends. Syncs are recorded
// without reaching the disk.
class CallRecorder {
public:
    explicit CallRecorder(const std::string& folder) : saved_(platform::FileCalls()) {
        state_.Folder = std::filesystem::canonical(folder).string();
        cutimages::gState = &state_;
        platform::FileCalls().pwrite = cutimages::Pwrite;
        platform::FileCalls().ftruncate = cutimages::Ftruncate;
        platform::FileCalls().fsync = cutimages::Fsync;
        platform::FileCalls().fdatasync = cutimages::Fsync;
    }
    ~CallRecorder() {
        platform::FileCalls() = saved_;
        cutimages::gState = nullptr;
    }
    CallRecorder(const CallRecorder&) = delete;
    CallRecorder& operator=(const CallRecorder&) = delete;
    std::size_t Count() const { return state_.Events.size(); }
    const std::vector<FileEvent>& Events() const { return state_.Events; }

private:
    platform::FileCallTable saved_;
    cutimages::State state_;
};

inline Bytes ReadBytes(const std::string& path) {
    // In one read: byte by byte through a stream iterator, the folders of the fault
    // tests took most of their time.
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return {};
    Bytes bytes(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

inline void WriteBytes(const std::string& path, const Bytes& bytes) {
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline FolderFiles ReadFolder(const std::string& folder) {
    FolderFiles files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files[entry.path().filename().string()] = ReadBytes(entry.path().string());
    return files;
}

// Makes the folder hold exactly these files.
inline void WriteFolder(const std::string& folder, const FolderFiles& files) {
    for (const auto& entry : std::filesystem::directory_iterator(folder)) std::filesystem::remove(entry.path());
    for (const auto& [name, bytes] : files) WriteBytes(folder + "/" + name, bytes);
}

inline void ApplyEvent(Bytes& file, const FileEvent& e, std::size_t keep) {
    if (e.What == FileEvent::Cut) {
        file.resize(static_cast<std::size_t>(e.Offset), 0);
        return;
    }
    const auto at = static_cast<std::size_t>(e.Offset);
    if (file.size() < at + keep) file.resize(at + keep, 0);
    std::copy(e.Data.begin(), e.Data.begin() + static_cast<std::ptrdiff_t>(keep), file.begin() + at);
}

// The folder as a stop after the first `cut` events leaves it, starting from
// `baseline` (what was on the disk before the events). Under Torn, a write after
// its file's last sync may be torn only where mayTear(event index) allows.
inline FolderFiles CutImage(const FolderFiles& baseline, const std::vector<FileEvent>& events, std::size_t cut,
                            CutModel model, std::mt19937& rng,
                            const std::function<bool(std::size_t)>& mayTear = nullptr) {
    FolderFiles files = baseline;
    std::map<std::string, std::size_t> synced;  // per file, the index of its last sync before the cut
    for (std::size_t i = 0; i < cut; ++i)
        if (events[i].What == FileEvent::Sync) synced[events[i].File] = i;
    for (std::size_t i = 0; i < cut; ++i) {
        const FileEvent& e = events[i];
        if (e.What == FileEvent::Sync) continue;
        Bytes& file = files[e.File];
        const auto s = synced.find(e.File);
        if (model == CutModel::Kill || (s != synced.end() && i < s->second)) {
            ApplyEvent(file, e, e.Data.size());
            continue;
        }
        if (model == CutModel::Lost || (mayTear && !mayTear(i))) continue;
        const uint32_t fate = rng() % 3;
        if (fate == 0) continue;
        const std::size_t keep = fate == 1 || e.Data.size() < 2 ? e.Data.size() : 1 + rng() % (e.Data.size() - 1);
        ApplyEvent(file, e, keep);
    }
    return files;
}

// A journal's header checksums made to hold again.
inline void Seal(Bytes& j) {
    using namespace dfbytes;
    PutU64(&j[16], j.size() - 64);
    PutU32(&j[24], JournalChecksum(&j[64], j.size() - 64));
    PutU32(&j[60], JournalChecksum(j.data(), 60));
}

// The same journal as an earlier program wrote it: entries of the written files
// only, without lengths after the flush and without images.
inline Bytes FirstFormat(const Bytes& j) {
    using namespace dfbytes;
    Bytes out(j.begin(), j.begin() + 64);
    PutU32(&out[8], 1);
    const std::size_t end = 64 + GetU64(&j[16]);
    uint32_t entries = 0;
    for (std::size_t at = 64; at < end;) {
        const bool written = j[at + 1] == 1;
        const uint32_t ranges = GetU32(&j[at + 24]);
        const std::size_t images = 2u * GetU16(&j[at + 44]);
        std::size_t next = at + 46 + images;
        for (uint32_t r = 0; r < ranges; ++r) next += 12 + GetU32(&j[next + 8]);
        if (written) {
            ++entries;
            out.insert(out.end(), j.begin() + static_cast<std::ptrdiff_t>(at),
                       j.begin() + static_cast<std::ptrdiff_t>(at + 28));
            out[out.size() - 27] = 0;  // the flags byte was zero in the first format
            out.insert(out.end(), j.begin() + static_cast<std::ptrdiff_t>(at + 46 + images),
                       j.begin() + static_cast<std::ptrdiff_t>(next));
        }
        at = next;
    }
    PutU32(&out[28], entries);
    Seal(out);
    return out;
}

// What a call made while one write call of the file layer failed: the engine
// error it raised (0 when none) and the write calls it made.
struct FaultedCall {
    TEngineErrorCode Code = 0;
    uint64_t Calls = 0;
};

// Runs `call` with write call number `at` failing with `error`, and disarms after.
inline FaultedCall CallFailingAt(uint64_t at, int error, const std::function<void()>& call) {
    platform::ArmFileFault({at, platform::FileFaultAction::Fail, error});
    FaultedCall result;
    try {
        call();
    } catch (const EKuraEngineError& e) {
        result.Code = e.ErrorCode();
    }
    result.Calls = platform::FileWriteCalls();
    platform::ArmFileFault({});
    return result;
}

// A full disk and a failing device in turn.
inline int FullDiskOrFailedDevice(uint64_t at) { return at % 2 != 0 ? ENOSPC : EIO; }

// Plays back the journals of the tables in the folder as an opener does, under
// each journal's writer lock; the engine error it raises, 0 when none.
inline TEngineErrorCode RecoverTables(const std::string& folder, const std::vector<std::string>& tables) {
    try {
        for (const std::string& table : tables) {
            const std::string base = folder + "/" + table;
            TTableJournal journal;
            journal.Open(base + ".JNL", {base + ".DAT", base + ".IDX", base + ".BLB"});
            journal.Hold();
            journal.Close();
        }
    } catch (const EKuraEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

// The table files of a folder, without journals and their copies.
inline FolderFiles TableFilesOf(const FolderFiles& files) {
    FolderFiles tables;
    for (const auto& [name, bytes] : files) {
        const std::string ext = name.size() > 4 ? name.substr(name.size() - 4) : std::string();
        if (ext == ".DAT" || ext == ".IDX" || ext == ".BLB") tables[name] = bytes;
    }
    return tables;
}

// The table files with their change counters (the first four bytes of each, which
// a playback moves on) blanked.
inline FolderFiles Unstamped(const FolderFiles& files) {
    FolderFiles out = TableFilesOf(files);
    for (auto& [name, bytes] : out)
        for (std::size_t k = 0; k < 4 && k < bytes.size(); ++k) bytes[k] = 0;
    return out;
}

// A digest of a folder's files (FNV-1a, 64 bits), to play each image back once.
inline uint64_t DigestOf(const FolderFiles& files) {
    uint64_t h = 1469598103934665603ULL;
    auto mix = [&](const uint8_t* p, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ULL;
    };
    for (const auto& [name, bytes] : files) {
        mix(reinterpret_cast<const uint8_t*>(name.data()), name.size() + 1);
        const uint64_t size = bytes.size();
        mix(reinterpret_cast<const uint8_t*>(&size), sizeof size);
        mix(bytes.data(), bytes.size());
    }
    return h;
}

// Playbacks of hot journals cut short. The playback of `image` is recorded, made
// to fail at each of its calls (an I/O error) and stopped after each of them: by a
// kill (every call made is there) or a power cut (writes since each file's last
// sync lost, or torn; after its last call too). What each kill leaves is played
// back again and that playback killed after each of its calls in turn, and so on,
// `depth` playbacks deep; every chain ends with a playback that completes. Each
// must leave the table files exactly as one uncut playback leaves them
// (`reference`), and never report a journal that does not fit; `then` checks what
// follows from each. Answers how many playbacks were made.
inline int CutPlaybacks(const std::string& folder, const std::vector<std::string>& tables, const FolderFiles& image,
                        const FolderFiles& reference, int depth, std::set<uint64_t>& seen,
                        bool powerCuts = true, const std::function<void()>& then = [] {}) {
    const NoDiskSyncs noSyncs;
    WriteFolder(folder, image);
    std::vector<FileEvent> events;
    {
        CallRecorder recorder(folder);
        EXPECT_EQ(RecoverTables(folder, tables), 0);
        events = recorder.Events();
    }
    EXPECT_EQ(TableFilesOf(ReadFolder(folder)), reference) << "after an uncut playback, depth " << depth;
    then();
    int played = 1;
    // A call of the playback that fails (an I/O error): the next playback completes it.
    for (std::size_t call = 1; powerCuts && call <= events.size() && !::testing::Test::HasFailure(); ++call) {
        WriteFolder(folder, image);
        platform::ArmFileFault({call, platform::FileFaultAction::Fail, 5});
        const TEngineErrorCode failed = RecoverTables(folder, tables);
        platform::ArmFileFault({});
        EXPECT_TRUE(failed == 0 || failed == KURA_WRITEERR) << "call " << call << " failed: " << failed;
        EXPECT_EQ(RecoverTables(folder, tables), 0) << "after call " << call << " failed";
        EXPECT_EQ(TableFilesOf(ReadFolder(folder)), reference) << "after call " << call << " failed";
        then();
        played += 2;
    }
    std::mt19937 rng(static_cast<uint32_t>(events.size() * 131 + depth));
    for (std::size_t cut = 1; cut <= events.size() && !::testing::Test::HasFailure(); ++cut) {
        for (const CutModel model : {CutModel::Kill, CutModel::Lost, CutModel::Torn}) {
            if ((model != CutModel::Kill && !powerCuts) || (model == CutModel::Kill && cut == events.size())) continue;
            FolderFiles next = CutImage(image, events, cut, model, rng);
            if (!seen.insert(DigestOf(next)).second) continue;
            if (depth > 1 && model == CutModel::Kill) {
                played += CutPlaybacks(folder, tables, next, reference, depth - 1, seen, false, then);
                continue;
            }
            WriteFolder(folder, next);
            EXPECT_EQ(RecoverTables(folder, tables), 0) << "playback cut after call " << cut;
            EXPECT_EQ(TableFilesOf(ReadFolder(folder)), reference) << "playback cut after call " << cut;
            then();
            ++played;
        }
    }
    return played;
}

}  // namespace kura::test

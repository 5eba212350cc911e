// The external record sort: the file is read in runs that each fit the run size,
// every run is sorted and written to the temporary run file after the one before,
// and the runs are merged into the output in one pass. A table that fits one run is
// sorted in memory without a run file, and so are runs that together fit the size
// of one (groups and duplicates folded within each run). One file serves every run:
// creating a file in a crowded temporary folder costs more than writing a run.
#include <algorithm>
#include <cstring>
#include <queue>

#include "engine/files/KeyEncoding.h"
#include "engine/files/RecordSorter.h"
#include "engine/files/Routines.h"

namespace kura {

namespace {

std::string DirectoryOf(std::string_view path) {
    const std::size_t cut = LastDelimiter(path, "\\/");
    return cut == std::string_view::npos ? std::string() : std::string(path.substr(0, cut));
}

}  // namespace

void TRecordSorter::StartRuns() {
    const int32_t bufferCount = F.FOwner ? F.FOwner->GetRecordBufferCount() : DEFAULT_SORT_RECORD_COUNT;
    RunSize = std::max(1, std::min(SORT_RUN_BYTES / std::max(R, 1), bufferCount));
    OutCapacity = RunSize;
    RunEntries.reset();
    RunCount = 0;
    RunFed = 0;
}

void TRecordSorter::AddSlot(const uint8_t* slot, uint32_t recordNo, bool scrambled) {
    // A full run goes out only when another record comes: a table that fits one run
    // is sorted in memory.
    if (RunFed == static_cast<uint32_t>(RunSize)) FlushRun();
    const std::size_t e = static_cast<std::size_t>(E);
    // Room for a whole run, taken once and never cleared: every entry is written
    // before it is read.
    if (!RunEntries) RunEntries.reset(new uint8_t[static_cast<std::size_t>(RunSize) * e]);
    if (TakeSlot(slot, recordNo, scrambled, RunEntries.get() + RunCount * e)) {
        ++RunCount;
        ++RunFed;
        ++Result.InputCount;
    }
}

void TRecordSorter::FlushRun() {
    // A folding run's groups are already folded and in key order.
    if (!Folding) {
        SortEntries(RunEntries.get(), RunCount, RunOrder);
        FoldRun(RunEntries.get(), RunOrder);
    }
    WriteRun(RunEntries.get(), RunOrder);
    RunCount = 0;
    RunFed = 0;
    if (Folding) StartFoldedRun();
}

void TRecordSorter::EndRuns() {
    if (Runs.empty()) {
        // The whole table fitted one run: no run file is needed.
        if (Folding)
            OfferInOrder(RunEntries.get(), RunOrder);
        else
            SortInMemory(RunEntries.get(), RunCount);
        return;
    }
    if (RunFed > 0) FlushRun();
    RunEntries.reset();
    RunOrder = {};
    RunImage = {};
    Merge();
}

void TRecordSorter::SortExternally(uint32_t slots) {
    StartRuns();
    const std::size_t r = static_cast<std::size_t>(R);
    std::vector<uint8_t> slotBuffer;
    uint32_t done = 0;
    while (done < slots) {
        const uint32_t take = std::min<uint32_t>(static_cast<uint32_t>(RunSize), slots - done);
        slotBuffer.resize(take * r);
        {
            TFileSectionGuard guard(F);
            F.Seek(soFromBeginning, F.DataStart() + static_cast<int64_t>(done) * R);
            F.ReadBuffer(slotBuffer.data(), static_cast<int32_t>(take * r), false);
        }
        for (uint32_t i = 0; i < take; ++i) AddSlot(slotBuffer.data() + i * r, done + i + 1, true);
        done += take;
    }
    slotBuffer = {};
    EndRuns();
}

// Equal keys within one run: DISTINCT keeps the first, which is the one the merge
// would keep; combinable grouping folds the others into it. Either way the run
// and the merge carry each key of the run once.
void TRecordSorter::FoldRun(uint8_t* entries, std::vector<uint32_t>& order) {
    const bool fold = !Q.Distinct && Q.Grouping && Q.Combinable && Q.Accumulate;
    if (!Q.Distinct && !fold) return;
    const std::size_t e = static_cast<std::size_t>(E);
    const std::size_t r = static_cast<std::size_t>(R);
    std::size_t kept = 0;
    for (std::size_t i = 0; i < order.size(); ++i) {
        uint8_t* entry = entries + order[i] * e;
        if (kept > 0) {
            uint8_t* head = entries + order[kept - 1] * e;
            if (CompareSortKeys(L, entry + r, head + r, false) == 0) {
                if (fold) Q.Accumulate(Q.CallbackData, false, entry, head);
                continue;
            }
        }
        order[kept++] = order[i];
    }
    order.resize(kept);
}

void TRecordSorter::WriteRun(const uint8_t* entries, const std::vector<uint32_t>& order) {
    const std::size_t e = static_cast<std::size_t>(E);
    std::vector<uint8_t>& image = RunImage;
    image.resize(order.size() * e);
    for (std::size_t i = 0; i < order.size(); ++i) {
        uint8_t* target = image.data() + i * e;
        std::memcpy(target, entries + order[i] * e, e);
        // Run files of an encrypted table carry no plain text.
        if (Encrypted) ScrambleBuffer(target, E, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    }
    TSortRun run;
    run.Start = RunFileEnd;
    run.Entries = static_cast<uint32_t>(order.size());
    Runs.push_back(std::move(run));
    ++Result.Runs;
    RunFileEnd += static_cast<int64_t>(image.size());
    // Runs that fold to little (groups, duplicates) stay in memory while they all fit
    // the size of one run: then no file is made at all.
    if (!RunFile && static_cast<int64_t>(HeldRuns.size() + image.size()) <= SORT_RUN_BYTES) {
        HeldRuns.insert(HeldRuns.end(), image.begin(), image.end());
        return;
    }
    if (!RunFile) {
        RunFile = std::make_unique<TFileHandler>();
        std::string directory = F.FOwner ? F.FOwner->GetPrivateDirectory() : std::string();
        if (directory.empty()) directory = DirectoryOf(F.FileName);
        RunFile->IsMemory = F.IsMemory;
        CreateUniqueFileName(directory, ".TMP", F.IsMemory, RunFile->FileName);
        RunFile->CreatePrivateFile();
        if (!HeldRuns.empty()) {
            // The runs held so far go first, then this one.
            HeldRuns.insert(HeldRuns.end(), image.begin(), image.end());
            image.swap(HeldRuns);
            HeldRuns = {};
        }
    }
    if (!image.empty()) {
        TFileSectionGuard guard(*RunFile);
        RunFile->Seek(soFromBeginning, RunFileEnd - static_cast<int64_t>(image.size()));
        RunFile->WriteBuffer(image.data(), static_cast<int32_t>(image.size()));
    }
}

bool TRecordSorter::FillRun(TSortRun& run) {
    if (run.Next < run.Buffered) return true;
    if (run.Read >= run.Entries) return false;
    const uint32_t chunk = std::max<uint32_t>(1, static_cast<uint32_t>(SORT_MERGE_READ_BYTES / std::max(E, 1)));
    const uint32_t take = std::min(chunk, run.Entries - run.Read);
    const std::size_t e = static_cast<std::size_t>(E);
    run.Buffer.resize(take * e);
    const int64_t at = run.Start + static_cast<int64_t>(run.Read) * E;
    if (RunFile) {
        TFileSectionGuard guard(*RunFile);
        RunFile->Seek(soFromBeginning, at);
        RunFile->ReadBuffer(run.Buffer.data(), static_cast<int32_t>(take * e), false);
    } else {
        std::memcpy(run.Buffer.data(), HeldRuns.data() + at, take * e);
    }
    if (Encrypted)
        for (uint32_t i = 0; i < take; ++i)
            UnscrambleBuffer(run.Buffer.data() + i * e, E, TABLE_SCRAMBLE_LOW, TABLE_SCRAMBLE_HIGH);
    run.Read += take;
    run.Buffered = take;
    run.Next = 0;
    return true;
}

void TRecordSorter::Merge() {
    const std::size_t e = static_cast<std::size_t>(E);
    const std::size_t r = static_cast<std::size_t>(R);
    auto current = [&](std::size_t index) { return Runs[index].Buffer.data() + Runs[index].Next * e; };
    // The smallest full key first; runs hold earlier slots first, so equal keys keep
    // their input order.
    auto later = [&](std::size_t a, std::size_t b) {
        int32_t c = CompareSortKeys(L, current(a) + r, current(b) + r, true);
        return c != 0 ? c > 0 : a > b;
    };
    std::priority_queue<std::size_t, std::vector<std::size_t>, decltype(later)> heap(later);
    for (std::size_t i = 0; i < Runs.size(); ++i)
        if (FillRun(Runs[i])) heap.push(i);
    while (!heap.empty() && !Stopped) {
        const std::size_t index = heap.top();
        heap.pop();
        Offer(current(index));
        ++Runs[index].Next;
        if (FillRun(Runs[index])) heap.push(index);
    }
}

void TRecordSorter::DropRuns() noexcept {
    Runs.clear();
    HeldRuns = {};
    if (!RunFile) return;
    try {
        RunFile->CloseFile();
        // A memory file keeps its name until it is deleted.
        if (RunFile->IsMemory) RunFile->DeleteFile();
    } catch (...) {
        // A run file that cannot be deleted must not hide the sort's own outcome.
    }
    RunFile.reset();
}

}  // namespace kura

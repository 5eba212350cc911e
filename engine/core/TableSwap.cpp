#include "engine/core/TableSwap.h"

#include <array>

#include "engine/core/DataTable.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/EngineFile.h"
#include "engine/files/FileHandler.h"
#include "engine/files/Routines.h"

namespace kura {

void (*TableSwapStepHook)(int step) = nullptr;

namespace {

int SwapStep = 0;

void StepDone() {
    if (TableSwapStepHook) TableSwapStepHook(++SwapStep);
}

struct TSwapPlan {
    std::string TempName;
    bool NewHasBlobFile = false;
    bool KeepBackups = false;
};

std::string FileOf(const std::string& folder, std::string_view name, std::string_view ext) {
    std::string file;
    ReplaceFileExt(name, DataFileExt, ext, file);
    return folder + file;
}

void Check(int32_t result, const std::string& file) {
    if (result < 0) RaiseEngineError(static_cast<uint32_t>(-static_cast<int64_t>(result)), {}, {}, {}, file);
}

// The marker's text: flags, a blank, the temporary name.
std::string Encode(const TSwapPlan& plan) {
    return std::string(plan.NewHasBlobFile ? "B" : "-") + (plan.KeepBackups ? "K" : "-") + " " + plan.TempName;
}

bool Decode(const std::string& text, TSwapPlan& plan) {
    if (text.size() < 4 || text[2] != ' ') return false;
    plan.NewHasBlobFile = text[0] == 'B';
    plan.KeepBackups = text[1] == 'K';
    plan.TempName = text.substr(3);
    return !plan.TempName.empty() && !ContainsPath(plan.TempName);
}

void WriteMarker(const std::string& draft, const std::string& marker, const TSwapPlan& plan) {
    const std::string text = Encode(plan);
    if (FileList->FileExists(draft, false)) Check(FileList->DeleteFile(draft, false), draft);
    TFileHandler file;
    file.FileName = draft;
    file.Exclusive = true;
    file.CreateFile();
    {
        TFileSectionGuard guard(file);
        file.Seek(soFromBeginning, 0);
        file.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
    }
    file.FlushFile();
    file.CloseFile();
    Check(FileList->RenameFile(draft, false, marker), marker);
}

bool ReadMarker(const std::string& marker, TSwapPlan& plan) {
    TFileHandler file;
    file.FileName = marker;
    file.ReadOnly = true;
    file.OpenFile();
    std::string text(300, '\0');
    int32_t got = 0;
    {
        TFileSectionGuard guard(file);
        file.Seek(soFromBeginning, 0);
        got = file.ReadBuffer(text.data(), static_cast<int32_t>(text.size()), true);
    }
    file.CloseFile();
    text.resize(static_cast<std::size_t>(got));
    return Decode(text, plan);
}

// Step 2 for one file; each part is skipped when it is already done.
void ReplaceFile(const std::string& folder, std::string_view name, const TSwapPlan& plan, std::string_view ext,
                 std::string_view backupExt, bool newHasFile, bool inMemory) {
    const std::string current = FileOf(folder, name, ext);
    const std::string replacement = FileOf(folder, plan.TempName, ext);
    const std::string backup = FileOf(folder, name, backupExt);
    // Without its replacement waiting, a file of a table that has one is already new.
    if (newHasFile && !FileList->FileExists(replacement, inMemory)) return;
    if (FileList->FileExists(current, inMemory)) {
        if (plan.KeepBackups && !inMemory) {
            if (FileList->FileExists(backup, inMemory)) Check(FileList->DeleteFile(backup, inMemory), backup);
            Check(FileList->RenameFile(current, inMemory, backup), current);
        } else {
            Check(FileList->DeleteFile(current, inMemory), current);
        }
        if (!inMemory) StepDone();
    }
    if (newHasFile) Check(FileList->RenameFile(replacement, inMemory, current), replacement);
    if (newHasFile && !inMemory) StepDone();
}

// The temporary name a note holds, "" when it holds none.
std::string ReadNote(TFileHandler& file) {
    std::string text(300, '\0');
    TFileSectionGuard guard(file);
    file.Seek(soFromBeginning, 0);
    text.resize(static_cast<std::size_t>(file.ReadBuffer(text.data(), static_cast<int32_t>(text.size()), true)));
    return ContainsPath(text) ? std::string() : text;
}

void DeleteIfThere(const std::string& file) {
    if (FileList->FileExists(file, false)) Check(FileList->DeleteFile(file, false), file);
}

void RunSwap(const std::string& folder, std::string_view name, const TSwapPlan& plan, bool inMemory) {
    ReplaceFile(folder, name, plan, BlobFileExt, BlobBackupExt, plan.NewHasBlobFile, inMemory);
    ReplaceFile(folder, name, plan, IndexFileExt, IndexBackupExt, true, inMemory);
    ReplaceFile(folder, name, plan, DataFileExt, DataBackupExt, true, inMemory);
    // The rollback journals describe files that are gone now: the old table's was settled
    // when the table was opened for the restructure, and the copy's flushes all ended
    // before the marker was published.
    if (!inMemory)
        for (std::string_view table : {name, std::string_view(plan.TempName)})
            DeleteIfThere(FileOf(folder, table, JournalFileExt));
}

}  // namespace

void SwapInRestructuredTable(const std::string& folder, std::string_view name, std::string_view tempName,
                             bool newHasBlobFile, bool keepBackups, bool inMemory, bool& published) {
    published = false;
    TSwapPlan plan;
    ReplaceFileExt(tempName, DataFileExt, "", plan.TempName);
    plan.NewHasBlobFile = newHasBlobFile;
    plan.KeepBackups = keepBackups;
    // Every step of a swap may be repeated: one that failed gets a second chance
    // before the caller hears of it.
    auto runTwice = [&] {
        try {
            RunSwap(folder, name, plan, inMemory);
        } catch (...) {
            RunSwap(folder, name, plan, inMemory);
        }
    };
    if (inMemory) {
        published = true;
        runTwice();
        return;
    }
    const std::string marker = FileOf(folder, name, SwapMarkerExt);
    const std::string draft = FileOf(folder, name, SwapMarkerDraftExt);
    SwapStep = 0;
    try {
        WriteMarker(draft, marker, plan);
    } catch (...) {
        // Not published: the old table stands, and a draft would only confuse.
        try {
            DeleteIfThere(draft);
        } catch (...) {
        }
        throw;
    }
    published = true;
    StepDone();
    runTwice();
    // The new table is in place; a marker left behind only repeats finished steps
    // at the next open.
    try {
        Check(FileList->DeleteFile(marker, false), marker);
    } catch (...) {
    }
    StepDone();
}

TRestructureNote::TRestructureNote(const std::string& folder, std::string_view name, std::string_view tempName)
    : FFileName(FileOf(folder, name, RestructureNoteExt)), FFile(std::make_unique<TFileHandler>()) {
    DeleteIfThere(FFileName);
    FFile->FileName = FFileName;
    FFile->Exclusive = true;
    FFile->CreateFile();
    std::string text;
    ReplaceFileExt(tempName, DataFileExt, "", text);
    {
        TFileSectionGuard guard(*FFile);
        FFile->Seek(soFromBeginning, 0);
        FFile->WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
    }
    FFile->FlushFile();
}

TRestructureNote::~TRestructureNote() {
    try {
        FFile->CloseFile();
        if (!FFileName.empty()) DeleteIfThere(FFileName);
    } catch (...) {
        // A note left behind is dropped by the next open of the table.
    }
}

void TRestructureNote::Keep() { FFileName.clear(); }

bool CompleteInterruptedSwap(const std::string& folder, std::string_view name) {
    const std::string marker = FileOf(folder, name, SwapMarkerExt);
    const std::string draft = FileOf(folder, name, SwapMarkerDraftExt);
    const std::string note = FileOf(folder, name, RestructureNoteExt);
    const bool hasNote = FileList->FileExists(note, false);
    const bool hasMarker = FileList->FileExists(marker, false);
    if (!hasNote && !hasMarker) {
        DeleteIfThere(draft);
        return false;
    }
    // Held by a process that is still restructuring: the table is in use.
    TFileHandler held;
    std::string tempName;
    if (hasNote) {
        held.FileName = note;
        held.Exclusive = true;
        held.OpenFile();
        tempName = ReadNote(held);
    }
    bool done = false;
    TSwapPlan plan;
    // A marker is published whole by its rename; one that cannot be read is damage
    // that must not lead to deleting anything.
    if (hasMarker && ReadMarker(marker, plan)) {
        RunSwap(folder, name, plan, false);
        Check(FileList->DeleteFile(marker, false), marker);
        done = true;
    } else if (!hasMarker && !tempName.empty()) {
        // Stopped before its point of no return: the old table stands, the copy goes.
        for (std::string_view ext : {DataFileExt, IndexFileExt, BlobFileExt, JournalFileExt})
            DeleteIfThere(FileOf(folder, tempName, ext));
        done = true;
    }
    DeleteIfThere(draft);
    if (hasNote) {
        held.CloseFile();
        DeleteIfThere(note);
    }
    return done;
}

}  // namespace kura

#include "engine/core/TableSwap.h"

#include <memory>
#include <vector>

#include "engine/core/DataTable.h"
#include "engine/core/TableRename.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/EngineFile.h"
#include "engine/files/FileHandler.h"
#include "engine/files/Journal.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"

namespace kura {

void (*TableSwapStepHook)(int step) = nullptr;

void WriteMarkerText(TFileHandler& file, const std::string& text) {
    {
        TFileSectionGuard guard(file);
        file.Seek(soFromBeginning, 0);
        file.WriteBuffer(text.data(), static_cast<int32_t>(text.size()));
    }
    file.FlushFile();
}

std::string ReadMarkerText(TFileHandler& file, std::size_t most) {
    std::string text(most, '\0');
    TFileSectionGuard guard(file);
    file.Seek(soFromBeginning, 0);
    text.resize(static_cast<std::size_t>(file.ReadBuffer(text.data(), static_cast<int32_t>(text.size()), true)));
    return text;
}

void DeleteFileIfThere(const std::string& file) {
    if (!FileList->FileExists(file, false)) return;
    const int32_t result = FileList->DeleteFile(file, false);
    if (result < 0 && (result != -static_cast<int32_t>(KURA_OSENOENT) || FileList->FileExists(file, false)))
        CheckFileCall(result, file);
}

void CheckFileCall(int32_t result, const std::string& file) {
    if (result < 0) RaiseEngineError(static_cast<uint32_t>(-static_cast<int64_t>(result)), {}, {}, {}, file);
}

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

// The swap's marker names a bare temporary name and two flags.
constexpr std::size_t kSwapMarkerMost = 300;

void WriteMarker(const std::string& draft, const std::string& marker, const std::string& text) {
    DeleteFileIfThere(draft);
    TFileHandler file;
    file.FileName = draft;
    file.Exclusive = true;
    file.CreateFile();
    WriteMarkerText(file, text);
    file.CloseFile();
    CheckFileCall(FileList->RenameFile(draft, false, marker), marker);
}

bool ReadMarker(const std::string& marker, TSwapPlan& plan) {
    TFileHandler file;
    file.FileName = marker;
    file.ReadOnly = true;
    file.OpenFile();
    const std::string text = ReadMarkerText(file, kSwapMarkerMost);
    file.CloseFile();
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
            if (FileList->FileExists(backup, inMemory)) CheckFileCall(FileList->DeleteFile(backup, inMemory), backup);
            CheckFileCall(FileList->RenameFile(current, inMemory, backup), current);
        } else {
            CheckFileCall(FileList->DeleteFile(current, inMemory), current);
        }
        if (!inMemory) StepDone();
    }
    if (newHasFile) CheckFileCall(FileList->RenameFile(replacement, inMemory, current), replacement);
    if (newHasFile && !inMemory) StepDone();
}

// The temporary name a note holds, "" when it holds none.
std::string ReadNote(TFileHandler& file) {
    std::string text = ReadMarkerText(file, kSwapMarkerMost);
    return ContainsPath(text) ? std::string() : text;
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
            DeleteFileIfThere(FileOf(folder, table, JournalFileExt));
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
        WriteMarker(draft, marker, Encode(plan));
    } catch (...) {
        // Not published: the old table stands, and a draft would only confuse.
        try {
            DeleteFileIfThere(draft);
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
        CheckFileCall(FileList->DeleteFile(marker, false), marker);
    } catch (...) {
    }
    StepDone();
}

TRestructureNote::TRestructureNote(const std::string& folder, std::string_view name, std::string_view tempName)
    : FFileName(FileOf(folder, name, RestructureNoteExt)), FFile(std::make_unique<TFileHandler>()) {
    DeleteFileIfThere(FFileName);
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
        if (!FFileName.empty()) DeleteFileIfThere(FFileName);
    } catch (...) {
        // A note left behind is dropped by the next open of the table.
    }
}

void TRestructureNote::Keep() { FFileName.clear(); }

namespace {

bool CompleteSwap(const std::string& folder, std::string_view name, bool hasNote, bool hasMarker, bool hasDraft) {
    const std::string marker = FileOf(folder, name, SwapMarkerExt);
    const std::string draft = FileOf(folder, name, SwapMarkerDraftExt);
    const std::string note = FileOf(folder, name, RestructureNoteExt);
    if (!hasNote && !hasMarker) {
        if (hasDraft) DeleteFileIfThere(draft);
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
        CheckFileCall(FileList->DeleteFile(marker, false), marker);
        done = true;
    } else if (!hasMarker && !tempName.empty()) {
        // Stopped before its point of no return: the old table stands, the copy goes.
        for (std::string_view ext : {DataFileExt, IndexFileExt, BlobFileExt, JournalFileExt})
            DeleteFileIfThere(FileOf(folder, tempName, ext));
        done = true;
    }
    DeleteFileIfThere(draft);
    if (hasNote) {
        held.CloseFile();
        DeleteFileIfThere(note);
    }
    return done;
}

}  // namespace

bool CompleteInterruptedSwap(const std::string& folder, std::string_view name) {
    const std::vector<bool> there = DiskFilesExist({FileOf(folder, name, RestructureNoteExt),
                                                    FileOf(folder, name, SwapMarkerExt),
                                                    FileOf(folder, name, SwapMarkerDraftExt)});
    return CompleteSwap(folder, name, there[0], there[1], there[2]);
}

bool CompleteInterruptedWork(const std::string& folder, std::string_view name) {
    // One look at the folder for every name an interrupted change leaves.
    const std::vector<bool> there = DiskFilesExist(
        {FileOf(folder, name, RestructureNoteExt), FileOf(folder, name, SwapMarkerExt),
         FileOf(folder, name, SwapMarkerDraftExt), FileOf(folder, name, RenameMarkerExt),
         FileOf(folder, name, RenameMarkerDraftExt)});
    const bool swapped = CompleteSwap(folder, name, there[0], there[1], there[2]);
    return CompleteRenameFound(folder, name, there[3], there[4]) || swapped;
}

}  // namespace kura

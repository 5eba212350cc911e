#include "engine/core/TableSwap.h"

#include <array>
#include <memory>
#include <utility>
#include <vector>

#include "engine/core/DataTable.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/EngineFile.h"
#include "engine/files/FileHandler.h"
#include "engine/files/Journal.h"
#include "engine/files/NameRoutines.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"
#include "platform/Files.h"

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

void WriteMarker(const std::string& draft, const std::string& marker, const std::string& text) {
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

// A marker's text, read through a handler that stays open (held, when it is exclusive).
std::string ReadText(TFileHandler& file) {
    std::string text(300, '\0');
    TFileSectionGuard guard(file);
    file.Seek(soFromBeginning, 0);
    text.resize(static_cast<std::size_t>(file.ReadBuffer(text.data(), static_cast<int32_t>(text.size()), true)));
    return text;
}

bool ReadMarker(const std::string& marker, TSwapPlan& plan) {
    TFileHandler file;
    file.FileName = marker;
    file.ReadOnly = true;
    file.OpenFile();
    const std::string text = ReadText(file);
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
    std::string text = ReadText(file);
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
        WriteMarker(draft, marker, Encode(plan));
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

namespace {

bool CompleteSwap(const std::string& folder, std::string_view name, bool hasNote, bool hasMarker, bool hasDraft) {
    const std::string marker = FileOf(folder, name, SwapMarkerExt);
    const std::string draft = FileOf(folder, name, SwapMarkerDraftExt);
    const std::string note = FileOf(folder, name, RestructureNoteExt);
    if (!hasNote && !hasMarker) {
        if (hasDraft) DeleteIfThere(draft);
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

// ---- Renaming ---------------------------------------------------------------------

// A table's place: its folder ("" or ending in a separator) and its name without
// extension (a path of its own when the folder is "").
struct TPlace {
    std::string Folder;
    std::string Name;
    std::string File(std::string_view ext) const { return Folder + Name + std::string(ext); }
    std::string Path() const { return Folder + Name; }
};

TPlace PlaceOf(const std::string& folder, std::string_view name) {
    TPlace place{folder, {}};
    ReplaceFileExt(name, DataFileExt, "", place.Name);
    return place;
}

bool SamePlace(const TPlace& a, const TPlace& b) { return SameNameText(a.Path(), b.Path()); }

// How a marker names the other place: bare within the marker's own folder, so that
// a folder moved whole still reads right.
std::string NameSeenFrom(const TPlace& marker, const TPlace& other) {
    return SameNameText(marker.Folder, other.Folder) ? other.Name : other.Path();
}

TPlace PlaceSeenFrom(const TPlace& marker, const std::string& named) {
    return ContainsPath(named) ? TPlace{{}, named} : TPlace{marker.Folder, named};
}

constexpr char kGoesTo = '>';     // the marker at the old name: the rename stands
constexpr char kComesFrom = '<';  // the marker at the new name: the name is taken

std::string ShownName(const std::string& file) { return platform::NormalizeSeparators(file); }

[[noreturn]] void RaiseInTheWay(const std::string& file) {
    RaiseEngineError(KURA_TABLEEXISTS, {}, {}, {}, ShownName(file));
}

// Anything at the name, a link that leads nowhere too.
bool AnythingAt(const std::string& file) { return FileList->FileExists(file, false) || OSIsLink(file); }

// The files a rename moves, in the order it moves them: the table's own, then what
// recoveries left beside its journal. Pairs of the old and the new name.
std::vector<std::pair<std::string, std::string>> FilesToMove(const TPlace& from, const TPlace& to) {
    std::vector<std::pair<std::string, std::string>> files;
    for (std::string_view ext : {DataFileExt, IndexFileExt, BlobFileExt}) files.emplace_back(from.File(ext), to.File(ext));
    const std::vector<std::string> oldLeft = JournalLeftoverNames(from.File(JournalFileExt));
    const std::vector<std::string> newLeft = JournalLeftoverNames(to.File(JournalFileExt));
    const std::vector<bool> there = DiskNamesTaken(oldLeft);
    for (std::size_t n = 0; n < oldLeft.size(); ++n)
        if (there[n]) files.emplace_back(oldLeft[n], newLeft[n]);
    return files;
}

// Moves what is still at the old name; what is already at the new one was moved
// before. Both there: something came in the way, named. True when a file moved.
bool MoveFiles(const TPlace& from, const TPlace& to) {
    bool moved = false;
    for (const auto& [oldFile, newFile] : FilesToMove(from, to)) {
        if (!AnythingAt(oldFile)) continue;
        if (AnythingAt(newFile)) RaiseInTheWay(newFile);
        Check(FileList->RenameFile(oldFile, false, newFile), oldFile);
        moved = true;
    }
    return moved;
}

// Publishes a rename's marker with this text, whole, by a rename of its draft.
void PublishMarker(const TPlace& place, const std::string& text) {
    const std::string draft = place.File(RenameMarkerDraftExt);
    try {
        WriteMarker(draft, place.File(RenameMarkerExt), text);
    } catch (...) {
        try {
            DeleteIfThere(draft);
        } catch (...) {
        }
        throw;
    }
}

// A rename's marker, held for exclusive use while its process works: an opener of
// either name meanwhile is refused as the table in use (11013).
class THeldMarker {
public:
    // Holds and reads the marker at the place; 11013 while another process holds it,
    // and for a link at its name, which is not followed to what could name any place.
    explicit THeldMarker(const TPlace& place) : FName(place.File(RenameMarkerExt)) {
        if (OSIsLink(FName)) RaiseEngineError(KURA_OSEACCES, {}, {}, {}, ShownName(FName));
        FFile.FileName = FName;
        FFile.Exclusive = true;
        FFile.OpenFile();
        FText = ReadText(FFile);
    }
    ~THeldMarker() { Release(); }
    THeldMarker(const THeldMarker&) = delete;
    THeldMarker& operator=(const THeldMarker&) = delete;

    const std::string& Text() const { return FText; }
    void Release() noexcept {
        try {
            if (FFile.IsOpen) FFile.CloseFile();
        } catch (...) {
        }
    }
    // Lets go of the marker and deletes it.
    void Remove() {
        Release();
        DeleteIfThere(FName);
    }

private:
    std::string FName;
    std::string FText;
    TFileHandler FFile;
};

// What the marker at a place says: where the table goes or comes from; false for a
// marker that says neither (damage, never a marker half-written).
bool DecodeRename(const TPlace& place, const std::string& text, char& way, TPlace& other) {
    if (text.size() < 2 || (text[0] != kGoesTo && text[0] != kComesFrom)) return false;
    way = text[0];
    other = PlaceSeenFrom(place, text.substr(1));
    return NamesTableFile(other.Name) && !SamePlace(other, place);
}

// Ends the rename from `from` to `to` that stands (the marker at `from` says so):
// every file still at the old name moves, the journals go, then the markers. A file
// of the new name in the way stops it, named (13060); the markers stay.
void FinishRename(const TPlace& from, const TPlace& to, THeldMarker& goes, THeldMarker* comes) {
    MoveFiles(from, to);
    const std::string oldJournal = from.File(JournalFileExt);
    const std::string newJournal = to.File(JournalFileExt);
    if (AnythingAt(newJournal) && !JournalHoldsNothing(newJournal)) RaiseInTheWay(newJournal);
    DeleteIfThere(newJournal);
    // The table's journal was settled before the marker was written. One that holds
    // a change all the same (a program that had the table open then, killed in its
    // commit since) goes with the files, as when a table is renamed by hand, rather
    // than taking their way back with it.
    if (AnythingAt(oldJournal) && !JournalHoldsNothing(oldJournal))
        Check(FileList->RenameFile(oldJournal, false, newJournal), oldJournal);
    DeleteIfThere(oldJournal);
    goes.Remove();
    if (comes) comes->Remove();
    else DeleteIfThere(to.File(RenameMarkerExt));
}

// A change of case alone: each file takes the new spelling in its place.
void MoveSpelling(const TPlace& from, const TPlace& to) {
    for (const auto& [oldFile, newFile] : FilesToMove(from, to))
        if (AnythingAt(oldFile)) Check(FileList->RenameFile(oldFile, false, newFile), oldFile);
}

bool CompleteRename(const TPlace& place, bool hasMarker, bool hasDraft) {
    if (hasDraft) DeleteIfThere(place.File(RenameMarkerDraftExt));
    if (!hasMarker) return false;
    THeldMarker mine(place);
    char way = 0;
    TPlace other;
    // Published whole by its rename: one that says nothing is damage, and nothing
    // is moved or deleted on its word.
    if (!DecodeRename(place, mine.Text(), way, other))
        RaiseEngineError(KURA_HEADERCORRUPT, {}, {}, {}, ShownName(place.File(RenameMarkerExt)));
    if (way == kGoesTo) {
        std::unique_ptr<THeldMarker> comes;
        if (FileList->FileExists(other.File(RenameMarkerExt), false)) comes = std::make_unique<THeldMarker>(other);
        FinishRename(place, other, mine, comes.get());
        return true;
    }
    // The name was taken for a rename; it stands only where the old name's marker
    // says it goes here. Otherwise the rename stopped before its point of no return,
    // or ended and only this marker was left: nothing moved or everything did.
    if (FileList->FileExists(other.File(RenameMarkerExt), false)) {
        THeldMarker goes(other);
        char otherWay = 0;
        TPlace target;
        if (DecodeRename(other, goes.Text(), otherWay, target) && otherWay == kGoesTo && SamePlace(target, place)) {
            FinishRename(other, place, goes, &mine);
            return true;
        }
    }
    mine.Remove();
    return true;
}

}  // namespace

bool CompleteInterruptedSwap(const std::string& folder, std::string_view name) {
    const std::vector<bool> there = DiskFilesExist({FileOf(folder, name, RestructureNoteExt),
                                                    FileOf(folder, name, SwapMarkerExt),
                                                    FileOf(folder, name, SwapMarkerDraftExt)});
    return CompleteSwap(folder, name, there[0], there[1], there[2]);
}

bool CompleteInterruptedRename(const std::string& folder, std::string_view name) {
    const TPlace place = PlaceOf(folder, name);
    const std::vector<bool> there =
        DiskFilesExist({place.File(RenameMarkerExt), place.File(RenameMarkerDraftExt)});
    return CompleteRename(place, there[0], there[1]);
}

bool CompleteInterruptedWork(const std::string& folder, std::string_view name) {
    const TPlace place = PlaceOf(folder, name);
    // One look at the folder for every name an interrupted change leaves.
    const std::vector<bool> there = DiskFilesExist(
        {place.File(RestructureNoteExt), place.File(SwapMarkerExt), place.File(SwapMarkerDraftExt),
         place.File(RenameMarkerExt), place.File(RenameMarkerDraftExt)});
    const bool swapped = CompleteSwap(folder, name, there[0], there[1], there[2]);
    return CompleteRename(place, there[3], there[4]) || swapped;
}

void RenameTableFiles(const std::string& folder, std::string_view name, const std::string& newFolder,
                      std::string_view newName) {
    const TPlace from = PlaceOf(folder, name);
    const TPlace to = PlaceOf(newFolder, newName);
    // Another spelling of the same name: each file keeps its place, found at every
    // step without regard to case.
    if (SamePlace(from, to)) {
        MoveSpelling(from, to);
        return;
    }
    if (!AnythingAt(from.File(DataFileExt)))
        RaiseEngineError(KURA_OSENOENT, {}, {}, {}, ShownName(from.File(DataFileExt)));
    // Nothing of another table is replaced or taken over: every name the table's
    // files would take is free, and a journal there holds nothing a recovery could
    // still want.
    std::vector<std::string> names = {to.File(DataFileExt), to.File(IndexFileExt), to.File(BlobFileExt),
                                      to.File(RenameMarkerExt)};
    for (std::string& left : JournalLeftoverNames(to.File(JournalFileExt))) names.push_back(std::move(left));
    const std::vector<bool> taken = DiskNamesTaken(names);
    for (std::size_t n = 0; n < names.size(); ++n)
        if (taken[n]) RaiseInTheWay(names[n]);
    const std::string newJournal = to.File(JournalFileExt);
    if (OSIsLink(newJournal) || (DiskFileExists(newJournal) && !JournalHoldsNothing(newJournal)))
        RaiseInTheWay(newJournal);

    // The new name is taken first, then the marker at the old name makes the rename
    // stand: from then on the next open of either name finishes it.
    PublishMarker(to, kComesFrom + NameSeenFrom(to, from));
    std::unique_ptr<THeldMarker> held;
    try {
        held = std::make_unique<THeldMarker>(to);
    } catch (const EKuraEngineError&) {
        // Taken up (and dropped, nothing having moved) by an opener of the new name
        // in the moment between: that name is in use.
        RaiseEngineError(KURA_OSEACCES, {}, {}, {}, ShownName(to.File(DataFileExt)));
    }
    THeldMarker& comes = *held;
    try {
        PublishMarker(from, kGoesTo + NameSeenFrom(from, to));
    } catch (...) {
        try {
            comes.Remove();
        } catch (...) {
        }
        throw;
    }
    THeldMarker goes(from);
    try {
        MoveFiles(from, to);
    } catch (...) {
        if (AnythingAt(from.File(DataFileExt)) && !AnythingAt(to.File(DataFileExt))) {
            // Refused at the first move (the table is open elsewhere): nothing moved,
            // and the rename is withdrawn.
            try {
                goes.Remove();
                comes.Remove();
            } catch (...) {
            }
            throw;
        }
        // Half-way: once more at once, else the next open of either name ends it.
        try {
            MoveFiles(from, to);
        } catch (...) {
            goes.Release();
            comes.Release();
            throw;
        }
    }
    FinishRename(from, to, goes, &comes);
}

}  // namespace kura

#include "engine/core/TableRename.h"

#include <memory>
#include <utility>
#include <vector>

#include "engine/core/DataTable.h"
#include "engine/core/TableSwap.h"
#include "engine/errors/EngineErrors.h"
#include "engine/files/EngineFile.h"
#include "engine/files/FileHandler.h"
#include "engine/files/Journal.h"
#include "engine/files/NameRoutines.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"
#include "platform/Files.h"
#include "platform/LastError.h"

namespace kura {

namespace {

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

// The longest text a marker holds: a way and a path the system can use.
constexpr std::size_t kMarkerMost = 4096;

// The path as the system resolves it now, "/" separating: a relative one after the
// working folder. "" when the working folder cannot be read.
std::string AbsolutePath(const std::string& path) {
    const std::string text = platform::NormalizeSeparators(path);
    if (FirstDelimiter(text, "/") == 0) return text;
    const std::string current = GetCurrentDir();
    if (current.empty()) return {};
    return platform::NormalizeSeparators(AddTrailingBackslash(current)) + text;
}

// One place however it is spelt: relative or whole, either separator, another case.
bool SamePlace(const TPlace& a, const TPlace& b) {
    if (SameNameText(a.Path(), b.Path())) return true;
    const std::string first = AbsolutePath(a.Path());
    return !first.empty() && SameFileName(first, AbsolutePath(b.Path()));
}

constexpr char kGoesTo = '>';     // the marker at the old name: the rename stands
constexpr char kComesFrom = '<';  // the marker at the new name: the name is taken

std::string ShownName(const std::string& file) { return platform::NormalizeSeparators(file); }

// The text of the marker at `marker`: the way, and the other place bare within the
// marker's own folder (a folder moved whole still reads right), else by its whole
// path as resolved now (a program working from another folder finds the same place).
// Raises, naming the file at the other place, when that path cannot be had.
std::string MarkerText(char way, const TPlace& marker, const TPlace& other) {
    if (SameNameText(marker.Folder, other.Folder) && !ContainsPath(other.Name)) return way + other.Name;
    const std::string path = AbsolutePath(other.Path());
    if (path.empty()) RaiseEngineError(OSErrorToEngineError(), {}, {}, {}, ShownName(other.File(DataFileExt)));
    if (path.size() >= kMarkerMost)
        RaiseEngineError(OSErrorToEngineError(platform::ERROR_FILENAME_EXCED_RANGE), {}, {}, {},
                         ShownName(other.File(DataFileExt)));
    return way + path;
}

TPlace PlaceSeenFrom(const TPlace& marker, const std::string& named) {
    return ContainsPath(named) ? TPlace{{}, named} : TPlace{marker.Folder, named};
}

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

// Moves one file that is there. A move refused for a name that is missing while the
// file is there is refused for the new name's folder: that is named.
void MoveOneFile(const std::string& oldFile, const std::string& newFile) {
    const int32_t result = FileList->RenameFile(oldFile, false, newFile);
    if (result == -static_cast<int32_t>(KURA_OSENOENT) && AnythingAt(oldFile)) {
        const std::string folder = ExtractFilePath(newFile);
        if (!folder.empty()) RaiseFolderError(KURA_OSENOENT, ShownName(folder));
        CheckFileCall(result, newFile);
    }
    CheckFileCall(result, oldFile);
}

// Moves what is still at the old name; what is already at the new one was moved
// before. Both there: something came in the way, named.
void MoveFiles(const TPlace& from, const TPlace& to) {
    for (const auto& [oldFile, newFile] : FilesToMove(from, to)) {
        if (!AnythingAt(oldFile)) continue;
        if (AnythingAt(newFile)) RaiseInTheWay(newFile);
        MoveOneFile(oldFile, newFile);
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
        FText = ReadMarkerText(FFile, kMarkerMost + 1);
    }
    // Publishes the marker at the place with this text, held: its draft is written
    // held and takes the marker's name still held, so that no other program finds the
    // marker unheld; a draft that stays (a program killed) says nothing.
    THeldMarker(const TPlace& place, const std::string& text) : FName(place.File(RenameMarkerExt)), FText(text) {
        const std::string draft = place.File(RenameMarkerDraftExt);
        DeleteFileIfThere(draft);
        FFile.FileName = draft;
        FFile.Exclusive = true;
        FFile.CreateFile();
        try {
            WriteMarkerText(FFile, text);
            FFile.RenameOpenFile(FName);
        } catch (...) {
            Drop();
            // Taken meanwhile by another program's rename: in the way.
            if (AnythingAt(FName)) RaiseInTheWay(FName);
            throw;
        }
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
    // Removes the marker as far as it can, on the way out of a failure whose own
    // error is the one to tell.
    void Drop() noexcept {
        try {
            Remove();
        } catch (...) {
        }
    }
    // Deletes the marker while still holding it, then lets go: no other program
    // takes up a marker that is going.
    void Remove() {
        const std::string name = FFile.FileName;
        if (FFile.IsOpen && FFile.File && FFile.File->ReleaseName()) {
            Release();
            return;
        }
        Release();
        DeleteFileIfThere(name);
    }

private:
    std::string FName;
    std::string FText;
    TFileHandler FFile;
};

// The marker at the place, held; none when there is none (any more: an open of
// another program ended what it marked since the folder was looked at).
std::unique_ptr<THeldMarker> HoldIfThere(const TPlace& place) {
    try {
        return std::make_unique<THeldMarker>(place);
    } catch (const EKuraEngineError& e) {
        if (e.ErrorCode() == KURA_OSENOENT && !AnythingAt(place.File(RenameMarkerExt))) return nullptr;
        throw;
    }
}

// What the marker at a place says: where the table goes or comes from; false for a
// marker that says neither (damage, never a marker half-written).
bool DecodeRename(const TPlace& place, const std::string& text, char& way, TPlace& other) {
    if (text.size() < 2 || text.size() > kMarkerMost || (text[0] != kGoesTo && text[0] != kComesFrom)) return false;
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
    DeleteFileIfThere(newJournal);
    // The table's journal was settled before the marker was written. One that holds
    // a change all the same (a program that had the table open then, killed in its
    // commit since) goes with the files, as when a table is renamed by hand, rather
    // than taking their way back with it.
    if (AnythingAt(oldJournal) && !JournalHoldsNothing(oldJournal)) MoveOneFile(oldJournal, newJournal);
    DeleteFileIfThere(oldJournal);
    goes.Remove();
    if (comes) comes->Remove();
    else DeleteFileIfThere(to.File(RenameMarkerExt));
}

// A change of case alone: each file takes the new spelling in its place.
void MoveSpelling(const TPlace& from, const TPlace& to) {
    for (const auto& [oldFile, newFile] : FilesToMove(from, to))
        if (AnythingAt(oldFile)) CheckFileCall(FileList->RenameFile(oldFile, false, newFile), oldFile);
}

bool CompleteRename(const TPlace& place, bool hasMarker, bool hasDraft) {
    if (hasDraft) DeleteFileIfThere(place.File(RenameMarkerDraftExt));
    if (!hasMarker) return false;
    const std::unique_ptr<THeldMarker> mine = HoldIfThere(place);
    if (!mine) return false;
    char way = 0;
    TPlace other;
    // Published whole and held until it goes: one that says nothing is damage, and
    // nothing is moved or deleted on its word.
    if (!DecodeRename(place, mine->Text(), way, other))
        RaiseEngineError(KURA_HEADERCORRUPT, {}, {}, {}, ShownName(place.File(RenameMarkerExt)));
    if (way == kGoesTo) {
        const std::unique_ptr<THeldMarker> comes = HoldIfThere(other);
        FinishRename(place, other, *mine, comes.get());
        return true;
    }
    // The name was taken for a rename; it stands only where the old name's marker
    // says it goes here. Otherwise the rename stopped before its point of no return,
    // or ended and only this marker was left: nothing moved or everything did.
    if (const std::unique_ptr<THeldMarker> goes = HoldIfThere(other)) {
        char otherWay = 0;
        TPlace target;
        if (DecodeRename(other, goes->Text(), otherWay, target) && otherWay == kGoesTo && SamePlace(target, place)) {
            FinishRename(other, place, *goes, mine.get());
            return true;
        }
    }
    mine->Remove();
    return true;
}

// The rename's places and its markers' texts, or its refusal before anything changes.
struct TRenamePlan {
    TPlace From, To;
    bool Spelling = false;  // another spelling of the same name
    std::string Comes, Goes;
};

TRenamePlan PlanRename(const std::string& folder, std::string_view name, const std::string& newFolder,
                       std::string_view newName) {
    TRenamePlan plan;
    plan.From = PlaceOf(folder, name);
    plan.To = PlaceOf(newFolder, newName);
    const TPlace& from = plan.From;
    const TPlace& to = plan.To;
    // Another spelling of the same name: each file keeps its place, found at every
    // step without regard to case.
    plan.Spelling = SamePlace(from, to);
    if (plan.Spelling) return plan;
    if (!AnythingAt(from.File(DataFileExt)))
        RaiseEngineError(KURA_OSENOENT, {}, {}, {}, ShownName(from.File(DataFileExt)));
    const std::string newDir = ExtractFileDir(to.File(DataFileExt));
    if (!newDir.empty() && !DiskNamesTaken({newDir})[0])
        RaiseFolderError(KURA_OSENOENT, ShownName(ExtractFilePath(to.File(DataFileExt))));
    // Nothing of another table is replaced or taken over: every name the table's
    // files would take is free, and a journal there holds nothing a recovery could
    // still want.
    std::vector<std::string> names = {to.File(DataFileExt), to.File(IndexFileExt), to.File(BlobFileExt),
                                      to.File(RenameMarkerExt)};
    for (std::string& left : JournalLeftoverNames(to.File(JournalFileExt))) names.push_back(std::move(left));
    const std::vector<bool> taken = DiskNamesTaken(names);
    for (std::size_t n = 0; n < names.size(); ++n)
        if (taken[n]) RaiseInTheWay(names[n]);
    // Nor is a journal there that a commit cut off half-way, which the rename settles
    // first since it names the table, names too: the settling records its outcome
    // beside it, for that table.
    const std::string newJournal = to.File(JournalFileExt);
    if (OSIsLink(newJournal) ||
        (DiskFileExists(newJournal) &&
         (!JournalHoldsNothing(newJournal) || CutCommitNamesBoth(from.File(JournalFileExt), newJournal))))
        RaiseInTheWay(newJournal);
    plan.Comes = MarkerText(kComesFrom, to, from);
    plan.Goes = MarkerText(kGoesTo, from, to);
    return plan;
}

}  // namespace

void RefuseRename(const std::string& folder, std::string_view name, const std::string& newFolder,
                  std::string_view newName) {
    PlanRename(folder, name, newFolder, newName);
}

bool CompleteInterruptedRename(const std::string& folder, std::string_view name) {
    const TPlace place = PlaceOf(folder, name);
    const std::vector<bool> there = DiskFilesExist({place.File(RenameMarkerExt), place.File(RenameMarkerDraftExt)});
    return CompleteRename(place, there[0], there[1]);
}

bool CompleteRenameFound(const std::string& folder, std::string_view name, bool hasMarker, bool hasDraft) {
    return CompleteRename(PlaceOf(folder, name), hasMarker, hasDraft);
}

void RenameTableFiles(const std::string& folder, std::string_view name, const std::string& newFolder,
                      std::string_view newName) {
    const TRenamePlan plan = PlanRename(folder, name, newFolder, newName);
    const TPlace& from = plan.From;
    const TPlace& to = plan.To;
    if (plan.Spelling) {
        MoveSpelling(from, to);
        return;
    }
    // The new name is taken first, then the marker at the old name makes the rename
    // stand: from then on the next open of either name finishes it.
    THeldMarker comes(to, plan.Comes);
    std::unique_ptr<THeldMarker> goes;
    try {
        goes = std::make_unique<THeldMarker>(from, plan.Goes);
    } catch (...) {
        comes.Drop();
        throw;
    }
    try {
        MoveFiles(from, to);
    } catch (...) {
        if (AnythingAt(from.File(DataFileExt)) && !AnythingAt(to.File(DataFileExt))) {
            // Refused at the first move (the table is open elsewhere): nothing moved,
            // and the rename is withdrawn.
            goes->Drop();
            comes.Drop();
            throw;
        }
        // Half-way: once more at once, else the next open of either name ends it.
        try {
            MoveFiles(from, to);
        } catch (...) {
            goes->Release();
            comes.Release();
            throw;
        }
    }
    FinishRename(from, to, *goes, &comes);
}

}  // namespace kura

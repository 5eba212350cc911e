#pragma once
// Putting a restructured table in the place of the old one so that, whenever the
// process stops, the name holds either the whole old table or the whole new one.
//
// While a restructure of a table on disk runs, its process holds NAME.RSP open for
// exclusive use (TRestructureNote); the note names the temporary table. A program
// that opens the table meanwhile is refused (11013, the table is in use); one that
// finds the note of a process that died deletes that temporary table.
//
// The new table is complete, closed, under a temporary name in the old table's
// folder. The swap then:
//   1. writes the marker NAME.RSW (via NAME.RS$ and a rename, so it appears whole),
//      naming the temporary table and whether backups are kept; this is the point
//      of no return;
//   2. for each of .BLB, .IDX and .DAT (in that order): the old file becomes its
//      backup (.BBK, .IBK, .DBK; an older backup is replaced) or is deleted, and
//      the temporary file is renamed to the table's name;
//   3. deletes the marker.
// Every step may be repeated, so a table opened while its marker exists finishes
// the swap first (CompleteInterruptedSwap); a step that fails is tried once more
// at once. Before the marker the old files are untouched. In-memory tables have
// nothing to survive: the old files go and the new ones are renamed.
//
// From the marker on, the temporary table is the table: whatever fails after it,
// nobody may delete it.
#include <memory>
#include <string>
#include <string_view>

namespace kura {

inline constexpr std::string_view SwapMarkerExt = ".RSW";
inline constexpr std::string_view SwapMarkerDraftExt = ".RS$";
inline constexpr std::string_view RestructureNoteExt = ".RSP";

// The note of a running restructure, held from construction to destruction (which
// deletes it and never throws).
class TRestructureNote {
public:
    TRestructureNote(const std::string& folder, std::string_view name, std::string_view tempName);
    ~TRestructureNote();
    TRestructureNote(const TRestructureNote&) = delete;
    TRestructureNote& operator=(const TRestructureNote&) = delete;
    // Lets go of the note without deleting it: the temporary table it names could
    // not be dropped, and the next open of the table drops it.
    void Keep();

private:
    std::string FFileName;
    std::unique_ptr<class TFileHandler> FFile;
};

// folder: the database path ("" or ending in a separator); name and tempName
// without extension or with ".DAT". newHasBlobFile: the new table has a .BLB.
// published turns true at the point of no return, also when the call raises
// afterwards (the next open of the table then completes the swap).
void SwapInRestructuredTable(const std::string& folder, std::string_view name, std::string_view tempName,
                             bool newHasBlobFile, bool keepBackups, bool inMemory, bool& published);

// Finishes a swap that stopped after its marker was written, or drops the
// temporary table of a restructure that stopped before it; false when there was
// nothing to do. 11013 while another process is restructuring the table.
bool CompleteInterruptedSwap(const std::string& folder, std::string_view name);

// Renaming a table on disk (RenameTableFiles) moves each of its files, .DAT, .IDX
// and .BLB, then NAME.JNS and the copies NAME.JNL.<n>, and drops both names' journals,
// settled before. So that a rename stopped between two moves leaves a table that
// opens whole under one of the names, two markers are written before the first
// move, each whole by a rename of its draft (.RN$) and held for exclusive use while
// the rename runs:
//   1. NEW.RNM, "<" and the old name: the new name is taken;
//   2. OLD.RNM, ">" and the new name: the rename stands (its point of no return);
//   3. the moves, then the journals go, then OLD.RNM and NEW.RNM are deleted.
// The next open, create, drop or rename of either name first ends what it finds
// (CompleteInterruptedRename): after step 2 every file still at the old name
// moves; a new name's marker alone (stopped before step 2, or ended but for step 3's
// last deletion) goes, nothing having moved or everything. Each step may be
// repeated. A rename refused at its first move (a file open elsewhere) is withdrawn.
inline constexpr std::string_view RenameMarkerExt = ".RNM";
inline constexpr std::string_view RenameMarkerDraftExt = ".RN$";

// Renames the table's files (folder and name as above; newFolder "" when newName
// carries its own path). Refused before anything changes: 11010 naming the .DAT when
// the table has none; 13060 naming the first file of the new name in the way (its
// .DAT, .IDX, .BLB, NAME.JNS, a NAME.JNL.<n>, a marker, or a NAME.JNL that holds
// anything a recovery could read, or is a link). 11013 while a file of the table is
// open anywhere. The table's journal must be settled first.
void RenameTableFiles(const std::string& folder, std::string_view name, const std::string& newFolder,
                      std::string_view newName);

// Ends a rename of the table that stopped (see above); false when there was none.
// 11013 while another process renames it; 13060 naming a file of the new name that
// came in the way (the markers stay); 8961 naming a marker that says nothing.
bool CompleteInterruptedRename(const std::string& folder, std::string_view name);

// CompleteInterruptedSwap and CompleteInterruptedRename after one look at the
// folder for the names they both seek: what an open of the table runs first.
bool CompleteInterruptedWork(const std::string& folder, std::string_view name);

// Test seam: when set, called with 1, 2, ... after each step of a swap on disk (the
// marker written, each file moved or deleted, the marker deleted), so that a test
// process can stop at a chosen point.
extern void (*TableSwapStepHook)(int step);

}  // namespace kura

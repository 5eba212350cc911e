#pragma once
// Renaming a table on disk so that, whenever the process stops and whoever opens a
// name next, the table opens whole under one of its two names.
//
// RenameTableFiles moves each of the table's files, .DAT, .IDX and .BLB, then
// NAME.JNS and the copies NAME.JNL.<n>, and drops both names' journals (settled
// before). Two markers come first:
//   1. NEW.RNM, "<" and the old place: the new name is taken;
//   2. OLD.RNM, ">" and the new place: the rename stands (its point of no return);
//   3. the moves, then the journals go, then OLD.RNM and NEW.RNM.
// Each marker is written to its draft (.RN$) held for exclusive use, which takes the
// marker's name while still held, and goes while still held: while the rename runs
// no other program finds either marker but held, so an opener of either name is
// refused as the table in use (11013) and takes nothing up. A marker names the other
// place bare when it lies in the marker's own folder, so that a folder moved whole
// still reads right; otherwise by its whole path as the renaming program resolved
// it (a relative one after its working folder), so that a program working from
// another folder finishes the rename into the folder that was meant. (Markers of
// earlier programs may hold a relative path: it is read, as it always was, from the
// working folder.)
//
// The next open, create, drop or rename of either name first ends what a program
// that stopped left (CompleteInterruptedRename): after step 2 every file still at
// the old name moves; a new name's marker alone (stopped before step 2, or ended
// but for its last deletion), or one whose old name's marker tells of another
// rename, goes, nothing having moved or everything. Each step may be repeated.
//
// A rename is refused before anything changes, its settling of journals included
// (RefuseRename decides it first): 11010 naming the .DAT when the table has none;
// 13060 naming the first file of the new name in the way as it stands (its .DAT,
// .IDX, .BLB, NAME.JNS, a NAME.JNL.<n>, a marker, or a NAME.JNL that holds anything a
// recovery could read, or is a link); 11010 naming the new name's folder when there
// is none. A rename refused at its first move (a file open elsewhere, 11013) is
// withdrawn.
#include <string>
#include <string_view>

namespace kura {

inline constexpr std::string_view RenameMarkerExt = ".RNM";
inline constexpr std::string_view RenameMarkerDraftExt = ".RN$";

// Raises what RenameTableFiles would refuse the rename with (see above), changing
// nothing: folder the database path ("" or ending in a separator); name and newName
// without extension or with ".DAT"; newFolder "" when newName carries its own path.
void RefuseRename(const std::string& folder, std::string_view name, const std::string& newFolder,
                  std::string_view newName);

// Renames the table's files (arguments as above), refused as RefuseRename refuses.
// The table's journal must be settled first.
void RenameTableFiles(const std::string& folder, std::string_view name, const std::string& newFolder,
                      std::string_view newName);

// Ends a rename of the table that stopped (see above); false when there was none.
// 11013 while another process renames it; 13060 naming a file of the new name that
// came in the way (the markers stay); 8961 naming a marker that says nothing.
bool CompleteInterruptedRename(const std::string& folder, std::string_view name);
// The same, for a caller that looked for the marker and its draft already
// (CompleteInterruptedWork).
bool CompleteRenameFound(const std::string& folder, std::string_view name, bool hasMarker, bool hasDraft);

}  // namespace kura

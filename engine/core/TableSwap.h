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
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace kura {

class TFileHandler;

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
    std::unique_ptr<TFileHandler> FFile;
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

// CompleteInterruptedSwap and CompleteInterruptedRename (TableRename.h) after one
// look at the folder for the names they both seek: what an open of the table runs
// first.
bool CompleteInterruptedWork(const std::string& folder, std::string_view name);

// ---- Marker files, the swap's and the rename's (TableRename.cpp) -------------------
// Writes the text at the start of an open marker file and syncs it.
void WriteMarkerText(TFileHandler& file, const std::string& text);
// At most `most` bytes of a marker's text, read through a handler that stays open
// (held, when it is exclusive).
std::string ReadMarkerText(TFileHandler& file, std::size_t most);
// Deletes the file when it is there; one that goes meanwhile is as good as deleted.
void DeleteFileIfThere(const std::string& file);
// Raises the engine error of a file call's negative result, naming the file.
void CheckFileCall(int32_t result, const std::string& file);

// Test seam: when set, called with 1, 2, ... after each step of a swap on disk (the
// marker written, each file moved or deleted, the marker deleted), so that a test
// process can stop at a chosen point.
extern void (*TableSwapStepHook)(int step);

}  // namespace kura

#pragma once
// A session's own folder for the result tables of its queries, inside a temporary
// folder that programs share, and the clearing of those whose program is gone.
//
// A result table is an ordinary table whose files go when its last cursor closes.
// Its files are opened by name after they are made, and may be made anew by name
// while it lives (an index rebuilt, a restructure), so they keep their names, and a
// program killed while it has one cannot remove them. Hence each session puts them
// in a folder NAME of its own ("KURA<process id>-<n>"), which it holds locked for as
// long as the folder lives. The system drops the lock with its process, so whoever
// can lock the folder knows that its program is gone: the holder of the lock, and
// nobody else, may empty and remove it. Beside it lies NAME.LCK, held open without
// sharing (a share mode, too, is a lock that goes with its process), taken before
// the folder is made and let go (which removes it) only once the folder is gone: it
// keeps the name for its session until the folder is made and locked, and tells a
// program that looks at lock files alone that the folder is in use. A clearer
// needs both (on a file system that keeps no locks, the lock file alone). A lock
// file removed by someone else (by hand, or by a cleaner of the temporary folder,
// which may remove what a program running for weeks has not touched for days) thus
// loses no living folder; a folder removed or moved so is made anew, under the next
// name, when the session next needs it.
//
// The names are used as written (never looked up in another case, which would read
// the whole temporary folder) and never through a link; what stands in their way
// and is not this user's own is passed over and left as it is. The folders of
// programs that are gone are cleared a part at a time as the session's result
// tables are made: each table spends on them a share of time of about a
// millisecond (and tries sixteen folders and files at the least, however slow the
// disk), and a folder with more files than that allows is taken up again by the
// next table (or the next program). None waits for a large folder to be read
// or for many files to go: the look over the temporary folder is spread over the
// tables, a thousand names at each, and starts again some tables after it has come
// to its end. The folders to try are drawn at random from all the names read, and
// one that is not ours to clear (a living program's, another user's, something
// planted at such a name) is never tried again by the session: wherever they sort,
// those hide no folder from any program, also from those that make one result
// table each. Each session's first look starts at a name chosen at random (and goes
// on from the first name), so that such programs clear between them the folders
// anywhere in the temporary folder, not only among its first names.
#include <cstdint>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/files/OSServices.h"

namespace kura {

class TWorkFolder {
public:
    // Makes the folder in parent. A refusal raises its engine error naming parent
    // as a folder (11013 where no file may be made, 11010 where the folder is
    // missing).
    explicit TWorkFolder(std::string parent);
    // Removes the folder with whatever is left in it, then the lock file.
    ~TWorkFolder();
    TWorkFolder(const TWorkFolder&) = delete;
    TWorkFolder& operator=(const TWorkFolder&) = delete;

    // The folder for a new result table, with its trailing separator: made anew
    // (refused as the constructor's) when the one it had was removed or moved. Each
    // call also clears what its share of time allows of the folders in parent whose
    // programs are gone (the first call shares it with the constructor, which may
    // have met such a folder at the session's own name).
    const std::string& Ready();
    // The folder as last made, with its trailing separator.
    const std::string& Path() const { return FPath; }
    // The folder it was made in, as given.
    const std::string& Parent() const { return FParent; }

    // Empties and removes every work folder in parent whose program is gone, and
    // their lock files.
    static void ClearAbandoned(const std::string& parent);

    // Test seam: when set, read instead of the steady clock (in microseconds) by the
    // clearing, once as it starts and ends spending a table's share of time and once
    // before each folder of the look and each file it tries, so that a test may make
    // each cost what it likes.
    static int64_t (*ClearingClock)();

private:
    // Makes and holds the first free folder from number `first` on.
    void Make(uint32_t first);
    void ClearSome();
    // The table's share of time is spent only while folders left by others are
    // tried and emptied, between these two.
    void BeginSpending();
    bool ShareSpent();
    void EndSpending();

    std::string FParent;
    std::string FPath;
    uint32_t FNumber = 0;
    TOSHandle FLock = OS_INVALID_HANDLE;
    TOSHandle FFolder = OS_INVALID_HANDLE;
    // The look over parent while it lasts, and the work folders that its last part
    // showed and that are still to be tried.
    TOSHandle FLook = OS_INVALID_HANDLE;
    std::vector<std::string> FFound;
    uint32_t FTablesBeforeLook = 0;  // result tables to pass before the next look starts
    // Names found not ours to clear, never tried again.
    std::unordered_set<std::string> FPassed;
    std::minstd_rand FDraw;
    int64_t FShareLeft = 0;      // microseconds of the table's share not spent yet
    int64_t FShareEnd = 0;       // the clock's reading at which it is spent, while spending
    int32_t FTriesLeft = 0;      // tries the table makes before its time counts
    bool FShareStarted = false;  // the constructor's share, which the first table goes on with
};

}  // namespace kura

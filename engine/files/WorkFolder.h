#pragma once
// A session's own folder for the result tables of its queries, inside a temporary
// folder that programs share, and the clearing of those whose program is gone.
//
// A result table is an ordinary table whose files go when its last cursor closes.
// Its files are opened by name after they are made, and may be made anew by name
// while it lives (an index rebuilt, a restructure), so they keep their names, and a
// program killed while it has one cannot remove them. Hence each session puts them in a folder NAME of its own ("KURA<process
// id>-<n>"), and holds NAME.LCK beside it open without sharing for as long as the
// folder lives. Share modes are kept with locks that the system drops with their
// process, so whoever can open a lock file so knows that its program is gone: the
// holder of a lock file, and nobody else, may empty and remove its folder. The
// lock file is held before its folder is made and let go (which removes it) only
// once the folder is gone, so the folder of a living program always has its lock
// file held.
#include <string>

#include "engine/files/OSServices.h"

namespace kura {

class TWorkFolder {
public:
    // Clears the work folders in parent whose programs are gone, then makes one
    // there. A refusal raises its engine error naming parent as a folder (11013
    // where no file may be made, 11010 where the folder is missing).
    explicit TWorkFolder(std::string parent);
    // Removes the folder with whatever is left in it, then the lock file.
    ~TWorkFolder();
    TWorkFolder(const TWorkFolder&) = delete;
    TWorkFolder& operator=(const TWorkFolder&) = delete;

    // The folder, with its trailing separator.
    const std::string& Path() const { return FPath; }
    // The folder it was made in, as given.
    const std::string& Parent() const { return FParent; }

    // Empties and removes the work folders in parent whose programs are gone, and
    // their lock files.
    static void ClearAbandoned(const std::string& parent);

private:
    std::string FParent;
    std::string FPath;
    TOSHandle FLock = OS_INVALID_HANDLE;
};

}  // namespace kura

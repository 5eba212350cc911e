#pragma once
// Cache pages a cursor's index walk holds pinned, released on every way out.
#include <array>
#include <cstddef>

#include "engine/core/DataCursor.h"
#include "engine/files/IndexFile.h"

namespace kura {

class TPinnedIndexPage {
public:
    explicit TPinnedIndexPage(TDataCursor& cursor) : FCursor(cursor) {}
    ~TPinnedIndexPage() {
        // A destructor may run while an error is on its way out; the release must
        // not replace it.
        try {
            FCursor.ReleaseIndexPage(Page);
        } catch (...) {
        }
    }
    TPinnedIndexPage(const TPinnedIndexPage&) = delete;
    TPinnedIndexPage& operator=(const TPinnedIndexPage&) = delete;

    TPage* Page = nullptr;

private:
    TDataCursor& FCursor;
};

// The pages of one descent from the root, each held until the descent reaches
// its leaf. An index's cache starts with room for two pages and grows only when
// every page in it is held: a descent that let go of each parent before reading
// the child would recycle the upper levels of a deeper tree at every walk and
// read them from the file again, and on a shared table each such miss takes the
// read locks and reads the file headers. Holding the path once makes the cache
// big enough for it, and later walks find the upper levels cached.
class TPinnedIndexPath {
public:
    explicit TPinnedIndexPath(TIndexFile& file) : FFile(file) {}
    ~TPinnedIndexPath() {
        try {
            ReleaseAll();
        } catch (...) {
        }
    }
    TPinnedIndexPath(const TPinnedIndexPath&) = delete;
    TPinnedIndexPath& operator=(const TPinnedIndexPath&) = delete;

    // The page read last (the current level), or nullptr.
    TPage* Page() const { return FCount == 0 ? nullptr : FPages[FCount - 1]; }

    // Reads page `number` one level down, keeping the levels above it held; false
    // when the read found the table changed (nothing more is held then).
    bool Descend(TIndexCursor& cursor, uint32_t number) {
        // A deeper path than an index can have is damage the caller reports;
        // the deepest levels then take turns in the last place.
        if (FCount == FPages.size()) FFile.ReleasePage(FPages[--FCount]);
        TPage* page = nullptr;
        if (!FFile.ReadPage(cursor, number, page, false)) {
            ReleaseAll();
            return false;
        }
        FPages[FCount++] = page;
        return true;
    }

    // At the leaf: the levels above it are let go, the leaf stays held.
    void KeepOnlyLast() {
        if (FCount < 2) return;
        TPage* last = FPages[--FCount];
        ReleaseAll();
        FPages[FCount++] = last;
    }

    // Moves along the leaf chain: the held leaf is let go, the next one read.
    bool MoveTo(TIndexCursor& cursor, uint32_t number) {
        ReleaseAll();
        return Descend(cursor, number);
    }

    void ReleaseAll() {
        while (FCount > 0) FFile.ReleasePage(FPages[--FCount]);
    }

private:
    TIndexFile& FFile;
    std::array<TPage*, MAX_INDEX_DEPTH> FPages{};
    std::size_t FCount = 0;
};

}  // namespace kura

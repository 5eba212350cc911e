#pragma once
// A cache page a cursor's index walk holds pinned, released on every way out.
#include "engine/core/DataCursor.h"

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

}  // namespace kura

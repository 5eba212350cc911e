#include "engine/files/ScratchFile.h"

#include <algorithm>
#include <cstring>

#include "engine/files/FileHandler.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"

namespace kura {

TScratchFile::TScratchFile(int64_t limit, std::string directory)
    : FBudget(std::max<int64_t>(limit, 1)), FLimit(std::max<int64_t>(limit, SCRATCH_PAGE_SIZE)),
      FDirectory(std::move(directory)) {}

TScratchFile::~TScratchFile() {
    try {
        Clear();
    } catch (...) {
        // A spill file that cannot be closed must not end the program.
    }
}

void TScratchFile::Clear() {
    FPages.clear();
    FResident.clear();
    FLastNumber = -1;
    FLast = nullptr;
    FSpillEnd = 0;
    FFreeSpill.clear();
    if (!FSpill) return;
    std::unique_ptr<TFileHandler> spill = std::move(FSpill);
    spill->CloseFile();
}

void TScratchFile::SpillWrite(TPage& page) {
    if (!FSpill) {
        auto spill = std::make_unique<TFileHandler>();
        CreateUniqueFileName(FDirectory.empty() ? GetTempDir() : FDirectory, ".TMP", false, spill->FileName);
        spill->CreatePrivateFile();
        FSpill = std::move(spill);
    }
    // A new page takes the place a forgotten one left in the file, where there is one.
    int64_t at = page.SpillAt >= 0 ? page.SpillAt : FSpillEnd;
    if (page.SpillAt < 0 && !FFreeSpill.empty()) at = FFreeSpill.back();
    TFileSectionGuard guard(*FSpill);
    FSpill->Seek(soFromBeginning, at);
    FSpill->WriteBuffer(page.Bytes.get(), SCRATCH_PAGE_SIZE);
    if (page.SpillAt < 0) {
        page.SpillAt = at;
        if (at == FSpillEnd)
            FSpillEnd += SCRATCH_PAGE_SIZE;
        else
            FFreeSpill.pop_back();
    }
    page.Dirty = false;
}

std::unique_ptr<uint8_t[]> TScratchFile::Evict() {
    // The least recently used page leaves; one that was not written since it
    // came back from the spill file needs no write. Its bytes serve the page
    // that comes in.
    const int64_t oldest = FResident.back();
    TPage& page = FPages.at(oldest);
    if (page.Dirty) SpillWrite(page);
    if (FLastNumber == oldest) {
        FLastNumber = -1;
        FLast = nullptr;
    }
    FResident.pop_back();
    return std::move(page.Bytes);
}

TScratchFile::TPage& TScratchFile::Page(int64_t number, bool write) {
    // The page looked at last is the one used last already.
    TPage* page = number == FLastNumber ? FLast : nullptr;
    if (!page) {
        page = &FPages[number];
        if (page->Bytes) {
            FResident.splice(FResident.begin(), FResident, page->Resident);
        } else {
            std::unique_ptr<uint8_t[]> bytes = InMemory() + SCRATCH_PAGE_SIZE > FLimit
                                                   ? Evict()
                                                   : std::make_unique_for_overwrite<uint8_t[]>(SCRATCH_PAGE_SIZE);
            if (page->SpillAt >= 0) {
                TFileSectionGuard guard(*FSpill);
                FSpill->Seek(soFromBeginning, page->SpillAt);
                FSpill->ReadBuffer(bytes.get(), SCRATCH_PAGE_SIZE, false);
            } else {
                std::memset(bytes.get(), 0, SCRATCH_PAGE_SIZE);
            }
            page->Bytes = std::move(bytes);
            FResident.push_front(number);
            page->Resident = FResident.begin();
        }
        FLastNumber = number;
        FLast = page;
    }
    page->Dirty = page->Dirty || write;
    return *page;
}

void TScratchFile::SetLimit(int64_t limit) {
    FLimit = std::max<int64_t>(limit, SCRATCH_PAGE_SIZE);
    while (InMemory() > FLimit) Evict();
}

void TScratchFile::Read(int64_t offset, void* out, int64_t count) {
    auto* to = static_cast<uint8_t*>(out);
    while (count > 0) {
        const int64_t within = offset % SCRATCH_PAGE_SIZE;
        const int64_t n = std::min<int64_t>(count, SCRATCH_PAGE_SIZE - within);
        std::memcpy(to, Page(offset / SCRATCH_PAGE_SIZE, false).Bytes.get() + within, static_cast<size_t>(n));
        to += n;
        offset += n;
        count -= n;
    }
}

void TScratchFile::Write(int64_t offset, const void* bytes, int64_t count) {
    const auto* from = static_cast<const uint8_t*>(bytes);
    while (count > 0) {
        const int64_t within = offset % SCRATCH_PAGE_SIZE;
        const int64_t n = std::min<int64_t>(count, SCRATCH_PAGE_SIZE - within);
        std::memcpy(Page(offset / SCRATCH_PAGE_SIZE, true).Bytes.get() + within, from, static_cast<size_t>(n));
        from += n;
        offset += n;
        count -= n;
    }
}

void TScratchFile::Forget(int64_t from, int64_t to) {
    const int64_t first = (from + SCRATCH_PAGE_SIZE - 1) / SCRATCH_PAGE_SIZE, end = to / SCRATCH_PAGE_SIZE;
    if (first >= end) return;
    FResident.remove_if([&](int64_t number) { return number >= first && number < end; });
    std::erase_if(FPages, [&](const auto& entry) {
        const bool within = entry.first >= first && entry.first < end;
        if (within && entry.second.SpillAt >= 0) FFreeSpill.push_back(entry.second.SpillAt);
        return within;
    });
    FLastNumber = -1;
    FLast = nullptr;
}

const uint8_t* TScratchFile::View(int64_t offset, int32_t count) {
    (void)count;
    return Page(offset / SCRATCH_PAGE_SIZE, false).Bytes.get() + offset % SCRATCH_PAGE_SIZE;
}

}  // namespace kura

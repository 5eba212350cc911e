#include "engine/files/HeldChanges.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "engine/errors/EngineErrors.h"
#include "engine/files/FileHandler.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"

namespace kura {

THeldChanges::THeldChanges() = default;

THeldChanges::~THeldChanges() {
    SetBudget(nullptr);
    try {
        Clear();
    } catch (...) {
        // A spill file that cannot be removed must not end the program.
    }
}

void THeldChanges::SetBudget(THeldBudget* budget) {
    if (budget == FBudget) return;
    if (FBudget) {
        FBudget->InMemory -= FInMemory;
        auto& members = FBudget->Members;
        members.erase(std::remove(members.begin(), members.end(), this), members.end());
    }
    FBudget = budget;
    if (FBudget) {
        FBudget->InMemory += FInMemory;
        FBudget->Members.push_back(this);
    }
}

int64_t THeldChanges::End() const {
    if (FSpans.empty()) return 0;
    const auto& [offset, span] = *FSpans.rbegin();
    return offset + span.Length;
}

bool THeldChanges::TakesCachedChanges() const {
    if (!Holding) return false;
    // Small and medium transactions stay in the caches, as fast as they were.
    return !FBudget || !FBudget->CacheBytes || FBudget->CacheBytes() >= FBudget->Limit;
}

void THeldChanges::Account(int64_t delta) {
    FInMemory += delta;
    if (FBudget) FBudget->InMemory += delta;
}

void THeldChanges::Load(const TSpan& span, int64_t at, uint8_t* out, int64_t count) const {
    if (count <= 0) return;
    if (span.SpillAt < 0) {
        std::memcpy(out, span.Bytes.data() + at, static_cast<std::size_t>(count));
        return;
    }
    TFileSectionGuard guard(*FSpill);
    FSpill->Seek(soFromBeginning, span.SpillAt + at);
    FSpill->ReadBuffer(out, static_cast<int32_t>(count), false);
}

void THeldChanges::SpillWrite(int64_t at, const uint8_t* bytes, int64_t count) {
    TFileSectionGuard guard(*FSpill);
    FSpill->Seek(soFromBeginning, at);
    FSpill->WriteBuffer(bytes, static_cast<int32_t>(count));
}

void THeldChanges::Store(TSpan& span, int64_t at, const uint8_t* bytes, int64_t count) {
    if (count <= 0) return;
    if (span.SpillAt < 0)
        std::memcpy(span.Bytes.data() + at, bytes, static_cast<std::size_t>(count));
    else
        SpillWrite(span.SpillAt + at, bytes, count);
}

void THeldChanges::Write(int64_t offset, const uint8_t* bytes, int32_t count) {
    if (count <= 0 || offset < 0) return;
    const int64_t end = offset + count;
    // The spans the write overlaps, and the one it may grow at its end.
    auto first = FSpans.upper_bound(offset);
    if (first != FSpans.begin()) {
        auto prior = std::prev(first);
        TSpan& span = prior->second;
        const int64_t priorEnd = prior->first + span.Length;
        if (priorEnd > offset) {
            if (end <= priorEnd) {
                // Inside one span: a record or page written again.
                Store(span, offset - prior->first, bytes, count);
                return;
            }
            first = prior;
        } else if (priorEnd == offset && span.SpillAt < 0 && span.Length + count <= HELD_SPAN_LIMIT &&
                   (first == FSpans.end() || first->first >= end)) {
            // Right after a span kept in memory, overlapping nothing: a run of
            // appended records or pages grows it while it is not too long.
            const auto before = static_cast<int64_t>(span.Bytes.capacity());
            const auto wanted = static_cast<std::size_t>(span.Length + count);
            if (span.Bytes.capacity() < wanted)
                span.Bytes.reserve(std::min<std::size_t>(std::max(2 * span.Bytes.capacity(), wanted), HELD_SPAN_LIMIT));
            span.Bytes.insert(span.Bytes.end(), bytes, bytes + count);
            span.Length += count;
            Account(static_cast<int64_t>(span.Bytes.capacity()) - before);
            KeepWithinBudget();
            return;
        }
    }
    auto stop = first;
    int64_t start = offset;
    int64_t last = end;
    while (stop != FSpans.end() && stop->first < end) {
        start = std::min(start, stop->first);
        last = std::max(last, stop->first + stop->second.Length);
        ++stop;
    }
    // One span in memory for the write and every span it overlaps.
    TSpan merged;
    merged.Length = last - start;
    merged.Bytes.resize(static_cast<std::size_t>(merged.Length));
    for (auto s = first; s != stop; ++s) Load(s->second, 0, merged.Bytes.data() + (s->first - start), s->second.Length);
    std::memcpy(merged.Bytes.data() + (offset - start), bytes, static_cast<std::size_t>(count));
    int64_t freed = 0;
    for (auto s = first; s != stop; ++s) freed += static_cast<int64_t>(s->second.Bytes.capacity());
    FSpans.erase(first, stop);
    const int64_t added = static_cast<int64_t>(merged.Bytes.capacity());
    FSpans.emplace(start, std::move(merged));
    Account(added - freed);
    KeepWithinBudget();
}

void THeldChanges::KeepWithinBudget() {
    if (!FBudget || FBudget->InMemory <= FBudget->Limit) return;
    for (THeldChanges* member : FBudget->Members) member->Spill();
}

void THeldChanges::Cut(int64_t offset) {
    if (offset < 0) offset = 0;
    int64_t freed = 0;
    auto it = FSpans.lower_bound(offset);
    for (auto s = it; s != FSpans.end(); ++s) freed += static_cast<int64_t>(s->second.Bytes.capacity());
    FSpans.erase(it, FSpans.end());
    if (!FSpans.empty()) {
        auto& [at, span] = *FSpans.rbegin();
        if (at + span.Length > offset) {
            span.Length = offset - at;
            if (span.SpillAt < 0) span.Bytes.resize(static_cast<std::size_t>(span.Length));
        }
    }
    Account(-freed);
}

bool THeldChanges::Covers(int64_t offset, int32_t count) const {
    if (count <= 0) return false;
    auto it = FSpans.upper_bound(offset);
    if (it == FSpans.begin()) return false;
    --it;
    const int64_t end = offset + count;
    int64_t reach = offset;
    for (; it != FSpans.end() && it->first <= reach; ++it) {
        reach = std::max(reach, it->first + it->second.Length);
        if (reach >= end) return true;
    }
    return false;
}

int32_t THeldChanges::Overlay(int64_t offset, uint8_t* buffer, int32_t count, int32_t got) const {
    got = std::clamp(got, 0, std::max(count, 0));
    if (count <= 0 || FSpans.empty()) return got;
    const int64_t end = offset + count;
    int32_t valid = got;
    auto it = FSpans.upper_bound(offset);
    if (it != FSpans.begin()) --it;
    for (; it != FSpans.end() && it->first < end; ++it) {
        const int64_t from = std::max(offset, it->first);
        const int64_t to = std::min(end, it->first + it->second.Length);
        if (from >= to) continue;
        // Bytes between what the file gave and this span are zero, as a hole reads.
        if (from - offset > valid) std::memset(buffer + valid, 0, static_cast<std::size_t>(from - offset - valid));
        Load(it->second, from - it->first, buffer + (from - offset), to - from);
        valid = std::max(valid, static_cast<int32_t>(to - offset));
    }
    // A hole below the last held byte reads as zeros, as in a file.
    const auto reach = static_cast<int32_t>(std::clamp<int64_t>(End() - offset, 0, count));
    if (reach > valid) {
        std::memset(buffer + valid, 0, static_cast<std::size_t>(reach - valid));
        valid = reach;
    }
    return valid;
}

void THeldChanges::ForEach(const std::function<void(int64_t, const uint8_t*, int32_t)>& take) const {
    std::vector<uint8_t> piece;
    for (const auto& [offset, span] : FSpans) {
        for (int64_t at = 0; at < span.Length; at += HELD_SPAN_LIMIT) {
            const auto n = static_cast<int32_t>(std::min<int64_t>(HELD_SPAN_LIMIT, span.Length - at));
            if (span.SpillAt < 0) {
                take(offset + at, span.Bytes.data() + at, n);
            } else {
                piece.resize(static_cast<std::size_t>(n));
                Load(span, at, piece.data(), n);
                take(offset + at, piece.data(), n);
            }
        }
    }
}

void THeldChanges::ForEachRange(const std::function<void(int64_t, int64_t)>& take) const {
    for (const auto& [offset, span] : FSpans) take(offset, span.Length);
}

void THeldChanges::Spill() {
    if (FInMemory == 0) return;
    if (!FSpill) {
        auto spill = std::make_unique<TFileHandler>();
        std::string directory = FBudget ? FBudget->Directory : std::string();
        if (directory.empty()) directory = GetTempDir();
        CreateUniqueFileName(directory, ".TMP", false, spill->FileName);
        spill->CreatePrivateFile();
        FSpill = std::move(spill);
        FSpillEnd = 0;
    }
    for (auto& [offset, span] : FSpans) {
        if (span.SpillAt >= 0) continue;
        // A span whose write fails stays in memory, so nothing held is lost.
        SpillWrite(FSpillEnd, span.Bytes.data(), span.Length);
        span.SpillAt = FSpillEnd;
        FSpillEnd += span.Length;
        const auto freed = static_cast<int64_t>(span.Bytes.capacity());
        std::vector<uint8_t>().swap(span.Bytes);
        Account(-freed);
    }
}

void THeldChanges::RemoveSpillFile() {
    if (!FSpill) return;
    std::unique_ptr<TFileHandler> spill = std::move(FSpill);
    FSpillEnd = 0;
    spill->CloseFile();
}

void THeldChanges::Clear() {
    FSpans.clear();
    Account(-FInMemory);
    RemoveSpillFile();
}

}  // namespace kura

#include "engine/files/WriteCapture.h"

#include <algorithm>
#include <cstring>

namespace kura {

void TWriteCapture::Reset(int64_t diskSize) {
    FKnown = true;
    FDiskSize = FSize = FKept = diskSize;
    FCut = false;
    FExtents.clear();
    FDeferred.clear();
    FSource = nullptr;
}

void TWriteCapture::Forget() {
    Reset(0);
    FKnown = false;
    SyncWanted = false;
}

void TWriteCapture::Write(int64_t offset, const void* buffer, int32_t count) {
    if (count <= 0) return;
    const auto* bytes = static_cast<const uint8_t*>(buffer);
    const int64_t end = offset + count;
    FSize = std::max(FSize, end);

    // The first extent the write touches: one reaching the offset, or a later one.
    auto first = FExtents.upper_bound(offset);
    if (first != FExtents.begin()) {
        auto prior = std::prev(first);
        const int64_t priorEnd = prior->first + static_cast<int64_t>(prior->second.size());
        if (priorEnd >= offset) {
            if (end <= priorEnd) {
                // Inside one extent: the common rewrite of a record or page.
                std::memcpy(prior->second.data() + (offset - prior->first), bytes, static_cast<std::size_t>(count));
                return;
            }
            first = prior;
        }
    }
    auto stop = first;
    int64_t last = end;
    while (stop != FExtents.end() && stop->first <= end) {
        last = std::max(last, stop->first + static_cast<int64_t>(stop->second.size()));
        ++stop;
    }
    if (first == stop) {
        FExtents.emplace(offset, std::vector<uint8_t>(bytes, bytes + count));
        return;
    }
    // Merge every extent the write touches into one.
    const int64_t start = std::min(offset, first->first);
    std::vector<uint8_t> merged;
    if (first->first == start && std::next(first) == stop) {
        // One extent growing at its end (a run of appended slots) keeps its buffer.
        merged = std::move(first->second);
        merged.resize(static_cast<std::size_t>(last - start));
    } else {
        merged.assign(static_cast<std::size_t>(last - start), 0);
        for (auto e = first; e != stop; ++e)
            std::memcpy(merged.data() + (e->first - start), e->second.data(), e->second.size());
    }
    std::memcpy(merged.data() + (offset - start), bytes, static_cast<std::size_t>(count));
    FExtents.erase(first, stop);
    FExtents.emplace(start, std::move(merged));
}

void TWriteCapture::Uncover(int64_t from, int64_t to) {
    auto it = FExtents.upper_bound(from);
    if (it != FExtents.begin()) {
        auto prior = std::prev(it);
        auto& bytes = prior->second;
        const int64_t priorEnd = prior->first + static_cast<int64_t>(bytes.size());
        if (priorEnd > from) {
            if (priorEnd > to)
                FExtents.emplace(to, std::vector<uint8_t>(bytes.begin() + (to - prior->first), bytes.end()));
            bytes.resize(static_cast<std::size_t>(from - prior->first));
            if (bytes.empty()) FExtents.erase(prior);
        }
    }
    it = FExtents.lower_bound(from);
    while (it != FExtents.end() && it->first < to) {
        const int64_t end = it->first + static_cast<int64_t>(it->second.size());
        if (end > to) {
            std::vector<uint8_t> tail(it->second.begin() + (to - it->first), it->second.end());
            FExtents.erase(it);
            FExtents.emplace(to, std::move(tail));
            break;
        }
        it = FExtents.erase(it);
    }
}

bool TWriteCapture::Defer(int64_t offset, int64_t count, const TSourceRead& source) {
    if (!source) return false;
    if (count <= 0) return true;
    const int64_t end = offset + count;
    if (offset < CAPTURE_LEADING_BYTES) {
        uint8_t leading[CAPTURE_LEADING_BYTES];
        const auto n = static_cast<int32_t>(std::min(end, CAPTURE_LEADING_BYTES) - offset);
        if (!source(offset, leading, n)) return false;
        Write(offset, leading, n);
        if (end <= CAPTURE_LEADING_BYTES) return true;
        offset = CAPTURE_LEADING_BYTES;
    }
    FSize = std::max(FSize, end);
    FSource = source;
    Uncover(offset, end);
    // One range for the write and every deferred range it touches.
    int64_t start = offset;
    int64_t last = end;
    auto first = FDeferred.upper_bound(offset);
    if (first != FDeferred.begin() && std::prev(first)->first + std::prev(first)->second >= offset) --first;
    auto stop = first;
    while (stop != FDeferred.end() && stop->first <= end) {
        start = std::min(start, stop->first);
        last = std::max(last, stop->first + stop->second);
        ++stop;
    }
    FDeferred.erase(first, stop);
    FDeferred.emplace(start, last - start);
    return true;
}

bool TWriteCapture::ReadDeferred(int64_t offset, uint8_t* buffer, int32_t count) const {
    return count <= 0 || (FSource && FSource(offset, buffer, count));
}

void TWriteCapture::ForEachWritten(int64_t below, const std::function<void(int64_t, int64_t)>& take) const {
    auto extent = FExtents.begin();
    auto deferred = FDeferred.begin();
    int64_t start = 0;
    int64_t end = -1;
    for (;;) {
        // The next write by offset, of either kind.
        int64_t offset = 0;
        int64_t length = 0;
        if (extent != FExtents.end() && (deferred == FDeferred.end() || extent->first <= deferred->first)) {
            offset = extent->first;
            length = static_cast<int64_t>(extent->second.size());
            ++extent;
        } else if (deferred != FDeferred.end()) {
            offset = deferred->first;
            length = deferred->second;
            ++deferred;
        } else {
            break;
        }
        if (offset >= below) break;
        const int64_t stop = std::min(offset + length, below);
        if (offset <= end) {
            end = std::max(end, stop);
            continue;
        }
        if (end >= 0) take(start, end - start);
        start = offset;
        end = stop;
    }
    if (end >= 0) take(start, end - start);
}

void TWriteCapture::Cut(int64_t offset) {
    if (offset < 0) offset = 0;
    FCut = true;
    FSize = offset;
    FKept = std::min(FKept, offset);
    // Held-back bytes beyond the cut are gone; one reaching over it is shortened.
    auto it = FExtents.lower_bound(offset);
    FExtents.erase(it, FExtents.end());
    if (!FExtents.empty()) {
        auto last = std::prev(FExtents.end());
        const int64_t lastEnd = last->first + static_cast<int64_t>(last->second.size());
        if (lastEnd > offset) last->second.resize(static_cast<std::size_t>(offset - last->first));
    }
    FDeferred.erase(FDeferred.lower_bound(offset), FDeferred.end());
    if (!FDeferred.empty()) {
        auto last = std::prev(FDeferred.end());
        last->second = std::min(last->second, offset - last->first);
    }
}

int32_t TWriteCapture::Read(int64_t offset, void* buffer, int32_t count, const TDiskRead& disk) const {
    if (count <= 0 || offset < 0 || offset >= FSize) return 0;
    const int32_t n = static_cast<int32_t>(std::min<int64_t>(count, FSize - offset));
    auto* out = static_cast<uint8_t*>(buffer);
    int32_t fromDisk = 0;
    if (offset < FKept) {
        const auto want = static_cast<int32_t>(std::min<int64_t>(n, FKept - offset));
        fromDisk = disk(offset, out, want);
        if (fromDisk < 0) return -1;
    }
    std::memset(out + fromDisk, 0, static_cast<std::size_t>(n - fromDisk));
    const int64_t end = offset + n;
    auto d = FDeferred.upper_bound(offset);
    if (d != FDeferred.begin()) --d;
    for (; d != FDeferred.end() && d->first < end; ++d) {
        const int64_t from = std::max(offset, d->first);
        const int64_t to = std::min(end, d->first + d->second);
        if (from < to && !ReadDeferred(from, out + (from - offset), static_cast<int32_t>(to - from))) return -1;
    }
    auto it = FExtents.upper_bound(offset);
    if (it != FExtents.begin()) --it;
    for (; it != FExtents.end() && it->first < end; ++it) {
        const int64_t from = std::max(offset, it->first);
        const int64_t to = std::min(end, it->first + static_cast<int64_t>(it->second.size()));
        if (from < to)
            std::memcpy(out + (from - offset), it->second.data() + (from - it->first), static_cast<std::size_t>(to - from));
    }
    return n;
}

}  // namespace kura

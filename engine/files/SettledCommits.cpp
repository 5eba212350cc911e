#include "engine/files/SettledCommits.h"

#include <algorithm>
#include <cstring>

#include "engine/errors/EngineErrors.h"
#include "engine/errors/JournalReports.h"
#include "engine/files/FieldDesc.h"
#include "engine/files/Journal.h"
#include "engine/files/JournalFormat.h"
#include "engine/files/OSServices.h"
#include "engine/files/Routines.h"

namespace kura::jnl {

using namespace dfbytes;

namespace {

constexpr char kSettledMagic[8] = {'K', 'U', 'R', 'A', '-', 'J', 'N', 'S'};
constexpr int32_t kCrcAt = 20;

uint32_t SlotChecksum(const uint8_t* slot, std::size_t entries) {
    uint8_t covered[SETTLED_SLOT_SIZE];
    std::memcpy(covered, slot, kCrcAt);
    std::memcpy(covered + kCrcAt, slot + SETTLED_HEAD, entries * SETTLED_ENTRY);
    return JournalChecksum(covered, kCrcAt + entries * SETTLED_ENTRY);
}

// The record is read and written only where a cut commit is settled: a record this
// user may not read, write or make there (in a read-only folder) stops the settling.
[[noreturn]] void RaiseUnopened(const std::string& name) {
    const TEngineErrorCode code = OSErrorToEngineError();
    RaiseEngineError(code, {}, {}, {}, name, {}, {}, code == KURA_OSEACCES ? kJournalNeedsWrite : std::string_view());
}

}  // namespace

TOutcome TSettledCommits::Find(uint64_t id) const {
    for (const TSettledEntry& e : Entries)
        if (e.Id == id) return e.Outcome;
    return TOutcome::Unknown;
}

void TSettledCommits::Add(uint64_t id, TOutcome outcome, bool kept) {
    if (Find(id) != TOutcome::Unknown) return;
    while (Entries.size() >= SETTLED_ENTRIES) {
        auto drop = std::find_if(Entries.begin(), Entries.end(), [](const TSettledEntry& e) { return !e.Kept; });
        if (drop == Entries.end()) {
            drop = Entries.begin();
            Dropped = true;
        } else {
            DroppedOthers = true;
        }
        Entries.erase(drop);
    }
    Entries.push_back({id, outcome, kept && outcome == TOutcome::RolledBack});
}

std::string SettledNameOf(const std::string& journal) {
    std::string name;
    ReplaceFileExt(journal, ".JNL", ".JNS", name);
    return name;
}

std::vector<uint8_t> SettledSlot(const TSettledCommits& settled) {
    std::vector<uint8_t> slot(SETTLED_SLOT_SIZE, 0);
    std::memcpy(slot.data(), kSettledMagic, sizeof kSettledMagic);
    PutU32(&slot[8], SETTLED_FORMAT);
    PutU32(&slot[12], static_cast<uint32_t>(settled.Entries.size()));
    PutU32(&slot[16], (settled.Dropped ? kSettledDropped : 0) | (settled.DroppedOthers ? kSettledDroppedOthers : 0));
    std::size_t at = SETTLED_HEAD;
    for (const TSettledEntry& e : settled.Entries) {
        PutU64(&slot[at], e.Id);
        slot[at + 8] = static_cast<uint8_t>(static_cast<uint8_t>(e.Outcome) | (e.Kept ? kSettledKept : 0));
        at += SETTLED_ENTRY;
    }
    PutU32(&slot[kCrcAt], SlotChecksum(slot.data(), settled.Entries.size()));
    return slot;
}

bool ParseSettledSlot(const uint8_t* bytes, std::size_t size, TSettledCommits& settled) {
    if (size < SETTLED_SLOT_SIZE || std::memcmp(bytes, kSettledMagic, sizeof kSettledMagic) != 0 ||
        GetU32(bytes + 8) != SETTLED_FORMAT)
        return false;
    const uint32_t count = GetU32(bytes + 12);
    const uint32_t flags = GetU32(bytes + 16);
    if (count > SETTLED_ENTRIES || (flags & ~(kSettledDropped | kSettledDroppedOthers)) != 0 ||
        GetU32(bytes + kCrcAt) != SlotChecksum(bytes, count))
        return false;
    TSettledCommits read;
    read.Dropped = (flags & kSettledDropped) != 0;
    read.DroppedOthers = (flags & kSettledDroppedOthers) != 0;
    for (uint32_t n = 0; n < count; ++n) {
        const uint8_t* entry = bytes + SETTLED_HEAD + n * SETTLED_ENTRY;
        const bool kept = (entry[8] & kSettledKept) != 0;
        const auto outcome = static_cast<TOutcome>(entry[8] & ~kSettledKept);
        if (outcome != TOutcome::RolledBack && (outcome != TOutcome::Stood || kept)) return false;
        read.Entries.push_back({GetU64(entry), outcome, kept});
    }
    settled = std::move(read);
    return true;
}

TSettledCommits ReadSettled(const std::string& name) {
    TSettledCommits settled;
    if (!DiskFileExists(name)) return settled;
    const TOSHandle handle = OSOpenFile(name, fmOpenRead | fmShareDenyNone, false);
    if (handle == OS_INVALID_HANDLE) RaiseUnopened(name);
    const TFileAccess file = OSAccess(handle);
    const int64_t size = file.Size();
    std::vector<uint8_t> bytes(static_cast<std::size_t>(std::clamp<int64_t>(size, 0, 2 * SETTLED_SLOT_SIZE)));
    const bool read = bytes.empty() || file.Read(0, bytes.data(), static_cast<int64_t>(bytes.size()));
    OSCloseFile(handle);
    // An empty file was made by a recovery cut off before its first write, which
    // then settled nothing.
    if (read && bytes.empty()) return settled;
    const bool whole = read && (ParseSettledSlot(bytes.data(), bytes.size(), settled) ||
                                (bytes.size() > SETTLED_SLOT_SIZE &&
                                 ParseSettledSlot(bytes.data() + SETTLED_SLOT_SIZE, bytes.size() - SETTLED_SLOT_SIZE,
                                                  settled)));
    settled.Damaged = !whole;
    return settled;
}

void WriteSettled(const std::string& name, const TSettledCommits& settled) {
    const bool created = !DiskFileExists(name);
    const TOSHandle handle = OSOpenSideFile(name);
    if (handle == OS_INVALID_HANDLE) RaiseUnopened(name);
    const TFileAccess file = OSAccess(handle);
    const std::vector<uint8_t> slot = SettledSlot(settled);
    const auto size = static_cast<int64_t>(slot.size());
    const bool written = file.Write(0, slot.data(), size) && file.Sync() && file.Write(size, slot.data(), size) &&
                         file.Sync();
    OSCloseFile(handle);
    if (!written || (created && !OSSyncFolderOf(name))) RaiseEngineError(KURA_WRITEERR, {}, {}, {}, name);
}

}  // namespace kura::jnl

// Folding on entry: rows handed to SortRows for DISTINCT or for grouping fold into
// their run's groups as they come, instead of each being kept with its sort key,
// sorted and folded when the run is full. Grouping a few values over many rows then
// costs a look-up per row; the key is built and compared once per group.
//
// The outcome is the one the run's sort and fold would give, to the bit: each
// group is its first record with the later ones folded into it in their order, as
// FoldRun folds them; the groups stand in key order, as the sort leaves them; the
// run ends where it would, after RunSize records, and is written or offered like
// any other. A group's first Accumulate (first = true) only comes with the output,
// which FoldOnEntry allows.
//
// Spellings: a record's sort fields as stored (presence, then a text up to its end
// or the value's bytes) decide equality outright, since equal bytes make equal
// keys. Differing bytes may still make equal keys (case or width under the
// collation, a case-insensitive key, blanks whatever their slots hold): a spelling
// the run has not seen yet is looked up by its key among the groups, and joins the
// group it equals. A run meeting more than FOLD_SPELLING_LIMIT spellings stops
// folding: its groups stay as entries, its later records are kept as entries too,
// and its sort and fold finish the work as before.
#include <algorithm>
#include <cstring>

#include "engine/files/RecordSorter.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace dfbytes;

namespace {

// Twice the spellings a run may hold, a power of two.
constexpr uint32_t SPELLING_SLOTS = 2 * FOLD_SPELLING_LIMIT;

// Over whole words: the spelling buffer holds zeros up to the next multiple of 8.
uint64_t HashWords(const uint8_t* bytes, std::size_t length) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ length;
    for (std::size_t i = 0; i < length; i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, bytes + i, 8);
        h = (h ^ word) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    return h;
}

}  // namespace

bool TRecordSorter::CanFold() const {
    if (!Q.Distinct && !(Q.Grouping && Q.Combinable && Q.Accumulate && Q.FoldOnEntry)) return false;
    // An auto-increment segment makes every record a key of its own.
    return std::none_of(L.Segments.begin(), L.Segments.end(), [](const TSortSegment& s) { return s.AutoInc; });
}

void TRecordSorter::StartFoldedRun() {
    if (Spelling.empty()) {
        std::size_t most = 0;
        for (const TSortSegment& s : L.Segments) most += 2u + s.StoredSize;
        Spelling.resize(most + 8);
    }
    Spellings.clear();
    SpellingBytes.clear();
    SpellingSlots.assign(SPELLING_SLOTS, 0);
    RunOrder.clear();
}

void TRecordSorter::StopFolding() {
    Folding = false;
    Spellings = {};
    SpellingBytes = {};
    SpellingSlots = {};
}

bool TRecordSorter::FoldRow(uint8_t* row, uint32_t recordNo) {
    if (RunFed == static_cast<uint32_t>(RunSize)) FlushRun();
    const std::size_t e = static_cast<std::size_t>(E);
    if (!RunEntries) RunEntries.reset(new uint8_t[static_cast<std::size_t>(RunSize) * e]);

    // The spelling: per field its presence, then a text up to its end (the key
    // holds no more) and a zero, or the value's bytes.
    uint8_t* spelling = Spelling.data();
    std::size_t length = 0;
    for (const TSortSegment& s : L.Segments) {
        const uint8_t* field = row + s.Offset;
        spelling[length++] = field[0] != 0 ? 1 : 0;
        if (field[0] == 0) continue;
        if (s.Type == fldZSTRING) {
            const std::size_t text =
                s.StoredSize > 0 ? strnlen(reinterpret_cast<const char*>(field + 1), s.StoredSize - 1u) : 0;
            std::memcpy(spelling + length, field + 1, text);
            length += text;
            spelling[length++] = 0;
        } else {
            std::memcpy(spelling + length, field + 1, s.StoredSize);
            length += s.StoredSize;
        }
    }
    std::memset(spelling + length, 0, 8);
    const uint64_t hash = HashWords(spelling, length);
    uint32_t slot = static_cast<uint32_t>(hash) & (SPELLING_SLOTS - 1);
    for (; SpellingSlots[slot] != 0; slot = (slot + 1) & (SPELLING_SLOTS - 1)) {
        const TSpelling& known = Spellings[SpellingSlots[slot] - 1u];
        if (known.Hash == hash && known.Length == length &&
            std::memcmp(SpellingBytes.data() + known.Offset, spelling, length) == 0)
            break;
    }

    uint32_t group = 0;
    bool member = true;
    if (SpellingSlots[slot] != 0) {
        group = Spellings[SpellingSlots[slot] - 1u].Group;
    } else {
        if (Spellings.size() == FOLD_SPELLING_LIMIT) {
            StopFolding();
            return false;
        }
        // A new spelling: its key among the groups, in the room of the next entry.
        uint8_t* entry = RunEntries.get() + RunCount * e;
        TakeSlot(row, recordNo, false, entry);
        const std::size_t r = static_cast<std::size_t>(R);
        const auto at = std::lower_bound(RunOrder.begin(), RunOrder.end(), entry + r, [&](uint32_t g, const uint8_t* key) {
            return CompareSortKeys(L, RunEntries.get() + g * e + r, key, false) < 0;
        });
        if (at != RunOrder.end() && CompareSortKeys(L, RunEntries.get() + *at * e + r, entry + r, false) == 0) {
            group = *at;
        } else {
            group = RunCount++;
            RunOrder.insert(at, group);
            member = false;
        }
        SpellingSlots[slot] = static_cast<uint32_t>(Spellings.size()) + 1u;
        Spellings.push_back({hash, static_cast<uint32_t>(SpellingBytes.size()), static_cast<uint32_t>(length), group});
        SpellingBytes.insert(SpellingBytes.end(), spelling, spelling + length);
    }
    if (member) {
        // As TakeSlot would have noted it for a record kept whole.
        if (GetU32(row + RH_AUTOINC) != recordNo) RowIdsKept = false;
        if (!Q.Distinct) Q.Accumulate(Q.CallbackData, false, row, RunEntries.get() + group * e);
    }
    ++RunFed;
    ++Result.InputCount;
    return true;
}

}  // namespace kura

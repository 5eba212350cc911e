// Sort keys of the record sort: how one record becomes a byte image whose order is
// the sort order, and how two images compare under a locale.
#include <cstring>

#include "engine/files/KeyEncoding.h"
#include "engine/files/Locale.h"
#include "engine/files/RecordCache.h"
#include "engine/files/RecordSort.h"

namespace kura {

namespace {

int32_t Sign(int value) { return value < 0 ? -1 : (value > 0 ? 1 : 0); }

}  // namespace

void BuildSortKey(const TSortKeyLayout& layout, const uint8_t* record, uint8_t* key, uint8_t* scratch) {
    uint8_t* segment = key;
    for (const TSortSegment& s : layout.Segments) {
        // The value is encoded from a copy: a case-insensitive key upper-cases its
        // value, and the record itself must stay as stored. A blank value keys as
        // zeros, so blanks group together whatever their slot bytes hold.
        std::memset(scratch, 0, 256);
        if (s.AutoInc) {
            segment[0] = 1;
            std::memcpy(scratch, record + RH_AUTOINC, 4);
        } else {
            segment[0] = record[s.Offset] != 0 ? 1 : 0;
            if (segment[0] != 0) std::memcpy(scratch, record + s.Offset + 1, s.StoredSize);
        }
        FieldValueToKey(s.Type, s.StoredSize, scratch, segment, layout.LanguageId, layout.SortId, s.Descending,
                        layout.CaseInsensitive);
        segment += 1 + s.DataSize;
    }
    EncodeIntegerKey(static_cast<int32_t>(dfbytes::GetU32(record + RH_AUTOINC)), segment);
}

int32_t CompareSortKeys(const TSortKeyLayout& layout, const uint8_t* a, const uint8_t* b, bool includeTail) {
    const int32_t length = layout.KeyLength - (includeTail ? 0 : 4);
    if (layout.ByteWise) return Sign(std::memcmp(a, b, static_cast<std::size_t>(length)));
    int32_t position = 0;
    for (const TSortSegment& s : layout.Segments) {
        const int32_t width = 1 + s.DataSize;
        int32_t c = 0;
        if (s.Type == fldZSTRING && !s.AutoInc) {
            c = Sign(static_cast<int>(a[position]) - static_cast<int>(b[position]));
            // Two blank strings are equal; a string key is terminated inside its segment.
            if (c == 0 && a[position] != 0 && s.StoredSize > 0)
                c = CompareStringsByLocale(layout.LanguageId, layout.SortId,
                                           reinterpret_cast<const char*>(a + position + 1), false, 0,
                                           reinterpret_cast<const char*>(b + position + 1));
        } else {
            c = Sign(std::memcmp(a + position, b + position, static_cast<std::size_t>(width)));
        }
        if (c != 0) return s.Descending ? -c : c;
        position += width;
    }
    if (!includeTail) return 0;
    return Sign(std::memcmp(a + position, b + position, 4));
}

}  // namespace kura

#pragma once
// The enumerations every part of the dataset framework shares: field types, dataset
// states, fetch modes and results, bookmark flags, data events and option sets.
#include <cstdint>
#include <vector>

namespace kura {

enum TFieldType : uint8_t {
    ftUnknown, ftString, ftSmallint, ftInteger, ftWord, ftBoolean, ftFloat, ftCurrency, ftBCD, ftDate,
    ftTime, ftDateTime, ftBytes, ftVarBytes, ftAutoInc, ftBlob, ftMemo, ftGraphic, ftFmtMemo, ftParadoxOle,
    ftDBaseOle, ftTypedBinary, ftCursor, ftFixedChar, ftWideString, ftLargeint, ftADT, ftArray, ftReference,
    ftDataSet, ftOraBlob, ftOraClob, ftVariant, ftInterface, ftIDispatch, ftGuid
};

// The BLOB-like types, ftBlob through ftTypedBinary.
constexpr bool IsBlobType(TFieldType t) { return t >= ftBlob && t <= ftTypedBinary; }
constexpr bool IsStringType(TFieldType t) { return t == ftString || t == ftFixedChar || t == ftWideString || t == ftGuid; }

enum TDataSetState : uint8_t {
    dsInactive, dsBrowse, dsEdit, dsInsert, dsSetKey, dsCalcFields, dsFilter, dsNewValue, dsOldValue,
    dsCurValue, dsBlockRead, dsInternalCalc, dsOpening
};

enum TFieldKind : uint8_t { fkData, fkCalculated, fkLookup, fkInternalCalc };

enum TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
enum TGetResult : uint8_t { grOK, grBOF, grEOF, grError };

enum TBookmarkFlag : uint8_t { bfCurrent = 0, bfBOF = 1, bfEOF = 2, bfInserted = 3 };

enum TDataEvent : uint8_t {
    deFieldChange, deRecordChange, deDataSetChange, deDataSetScroll, deLayoutChange, deUpdateRecord,
    deUpdateState, deCheckBrowseMode, dePropertyChange, deFieldListChange, deFocusControl, deParentScroll
};

enum TBlobStreamMode : uint8_t { bmRead, bmWrite, bmReadWrite };

// Option sets as bit masks.
enum TLocateOption : uint8_t { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = uint8_t;
enum TFilterOption : uint8_t { foCaseInsensitive = 1, foNoPartialCompare = 2 };
using TFilterOptions = uint8_t;
enum TResyncModeFlag : uint8_t { rmExact = 1, rmCenter = 2 };
using TResyncMode = uint8_t;
enum TIndexOption : uint8_t {
    ixPrimary = 1, ixUnique = 2, ixDescending = 4, ixCaseInsensitive = 8, ixExpression = 16, ixNonMaintained = 32
};
using TIndexOptions = uint8_t;

// A position of a dataset, kept as opaque bytes; empty means none.
using TBookmark = std::vector<uint8_t>;

// Pascal dates: days since 1899-12-30; the framework's date fields count days from
// 0001-01-01 (day 1), which is 693594 days earlier.
constexpr int32_t DayNumberDelta = 693594;
constexpr double DayMSecs = 86400000.0;

}  // namespace kura

// A new record buffer filled with the field defaults, and the required, minimum
// and maximum checks a record passes before it is written. Default and bound texts
// are engine-neutral texts, so they mean the same on every machine.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/core/DataCursor.h"
#include "engine/core/DataTable.h"
#include "engine/files/Bcd.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/Locale.h"
#include "engine/files/NameRoutines.h"
#include "engine/files/NeutralText.h"
#include "engine/files/SysConvert.h"

namespace kura {

namespace {

// A stored value of any field, with room beyond the largest one so that a string
// without its terminator still ends inside the buffer.
constexpr std::size_t VALUE_ROOM = 260;
using TValueBuffer = std::array<uint8_t, VALUE_ROOM>;

// Days from 1899-12-30 to 1970-01-01.
constexpr double UNIX_EPOCH_DAYS = 25569.0;

TDateTime LocalNow() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    std::tm local{};
    time_t seconds = ts.tv_sec;
    localtime_r(&seconds, &local);
    const double localSeconds = static_cast<double>(ts.tv_sec) + static_cast<double>(local.tm_gmtoff) +
                                static_cast<double>(ts.tv_nsec / 1000000) / 1000.0;
    return UNIX_EPOCH_DAYS + localSeconds / 86400.0;
}

// The day number (0001-01-01 is day 1) and the milliseconds of the day of a
// moment; a moment outside the years 1..9999 is not a date at all.
void SplitMoment(TDateTime moment, int32_t& dayNumber, int32_t& msecOfDay) {
    int32_t days = 0;
    if (!SplitDateTime(moment, days, msecOfDay)) throw EConvertError("Invalid date/time value");
    dayNumber = days + DateDelta;
}

double TimestampMs(int32_t dayNumber, int32_t msecOfDay) {
    return static_cast<double>(dayNumber) * static_cast<double>(MSecsPerDay) + msecOfDay;
}

void PutLE(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i, v >>= 8) p[i] = static_cast<uint8_t>(v & 0xFF);
}

uint64_t GetLE(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

template <class T>
bool WithinBound(T value, T bound, int mode) {
    return mode == 1 ? !(value < bound) : !(value > bound);
}

}  // namespace

void TDataCursor::ClearRecordBuffer(uint8_t* buffer) {
    if (buffer && FRecordSize > 0) std::memset(buffer, 0, FRecordSize);
}

int32_t TDataCursor::GetBlobBlockCount(int32_t length) {
    const int32_t dataSize = GetBlobBlockDataSize();
    if (length <= 0 || dataSize <= 0) return 0;
    return static_cast<int32_t>((static_cast<int64_t>(length) + dataSize - 1) / dataSize);
}

void TDataCursor::InitRecord(uint8_t* buffer) {
    ClearRecordBuffer(buffer);
    if (!FHasDefaults || !FTable) return;
    const TDataFile& data = FTable->GetDataFile();
    // One reading of the clock serves every field of the record.
    bool haveNow = false;
    TDateTime now = 0;
    auto currentMoment = [&]() {
        if (!haveNow) {
            now = data.Clock ? data.Clock() : LocalNow();
            haveNow = true;
        }
        return now;
    };

    const uint16_t fieldCount = GetFieldCount();
    for (uint16_t fieldNo = 1; fieldNo <= fieldCount; ++fieldNo) {
        TFieldDesc desc;
        GetTableFieldDesc(fieldNo, desc);
        const std::string text = desc.DefaultValue();
        if (text.empty()) continue;
        TValueBuffer value{};
        bool store = true;
        switch (desc.FieldType()) {
            case fldZSTRING: {
                // The text keeps its terminator inside the field.
                const std::size_t room = desc.StoredSize() > 0 ? desc.StoredSize() - 1u : 0u;
                std::memcpy(value.data(), text.data(), std::min(text.size(), room));
                break;
            }
            case fldDATE: {
                int32_t day = 0, msec = 0;
                SplitMoment(SameNameText(text, "CURRENT_DATE") ? currentMoment() : ANSIStrToDate(text), day, msec);
                PutLE(value.data(), static_cast<uint32_t>(day), 4);
                break;
            }
            case fldBOOL:
                PutLE(value.data(), ANSIStrToBool(text) ? 1u : 0u, 2);
                break;
            case fldINT16:
            case fldUINT16:
                PutLE(value.data(), static_cast<uint32_t>(StrToInt(text)), 2);
                break;
            case fldINT32:
                PutLE(value.data(), static_cast<uint32_t>(StrToInt(text)), 4);
                break;
            case fldFLOAT:
                dfbytes::PutDouble(value.data(), static_cast<double>(ANSIStrToFloat(text)));
                break;
            case fldBCD:
                // A value the field's digits cannot hold stays zero.
                CurrToBCDValue(ANSIStrToCurr(text), desc.StoredDecimals(), value.data());
                break;
            case fldTIME: {
                int32_t day = 0, msec = 0;
                SplitMoment(SameNameText(text, "CURRENT_TIME") ? currentMoment() : ANSIStrToTime(text), day, msec);
                PutLE(value.data(), static_cast<uint32_t>(msec), 4);
                break;
            }
            case fldTIMESTAMP: {
                TDateTime moment;
                if (SameNameText(text, "CURRENT_TIMESTAMP"))
                    moment = currentMoment();
                else if (SameNameText(text, "CURRENT_DATE"))
                    moment = std::trunc(currentMoment());
                else if (SameNameText(text, "CURRENT_TIME"))
                    moment = std::fabs(currentMoment() - std::trunc(currentMoment()));
                else
                    moment = ANSIStrToDateTime(text);
                int32_t day = 0, msec = 0;
                SplitMoment(moment, day, msec);
                dfbytes::PutDouble(value.data(), TimestampMs(day, msec));
                break;
            }
            case fldINT64:
                PutLE(value.data(), static_cast<uint64_t>(StrToInt64(text)), 8);
                break;
            case fldBLOB:
                // A present BLOB field with a zero reference would name a chain
                // that does not exist; it stays blank.
                store = false;
                break;
            default:
                break;
        }
        if (store) PutTableField(fieldNo, buffer, value.data());
    }
}

void TDataCursor::ValidateRecordValues(const uint8_t* buffer) {
    if (!FHasValueChecks || !FTable) return;
    const uint16_t fieldCount = GetFieldCount();
    for (uint16_t fieldNo = 1; fieldNo <= fieldCount; ++fieldNo) {
        TFieldDesc desc;
        GetTableFieldDesc(fieldNo, desc);
        const std::string minimum = desc.MinValue();
        const std::string maximum = desc.MaxValue();
        if (desc.Required() == 0 && minimum.empty() && maximum.empty()) continue;
        TValueBuffer value{};
        bool blank = false;
        GetTableField(fieldNo, buffer, value.data(), blank);
        if (desc.Required() != 0 && blank) RaiseError(KURA_REQDERR, desc.Name());
        if (!minimum.empty() && !CheckFieldBound(minimum, 1, desc, value.data()))
            RaiseError(KURA_MINVALERR, desc.Name());
        if (!maximum.empty() && !CheckFieldBound(maximum, 2, desc, value.data()))
            RaiseError(KURA_MAXVALERR, desc.Name());
    }
}

bool TDataCursor::CheckFieldBound(std::string_view bound, uint8_t mode, const TFieldDesc& desc, const uint8_t* value) {
    const std::string text(bound);
    switch (desc.FieldType()) {
        case fldZSTRING: {
            // The value is read up to its terminator, never past the stored bytes.
            std::string stored;
            const std::size_t size = desc.StoredSize();
            for (std::size_t i = 0; i < size && value[i] != 0; ++i) stored.push_back(static_cast<char>(value[i]));
            const int32_t c = CompareStringsByLocale(FLocaleID, FSortID, stored.c_str(), false, 0, text.c_str());
            return WithinBound<int32_t>(c, 0, mode);
        }
        case fldDATE: {
            int32_t day = 0, msec = 0;
            SplitMoment(ANSIStrToDate(text), day, msec);
            return WithinBound<int64_t>(static_cast<int32_t>(GetLE(value, 4)), day, mode);
        }
        case fldINT16:
            return WithinBound<int64_t>(static_cast<int16_t>(GetLE(value, 2)), StrToInt(text), mode);
        case fldINT32:
            return WithinBound<int64_t>(static_cast<int32_t>(GetLE(value, 4)), StrToInt(text), mode);
        case fldUINT16:
            return WithinBound<int64_t>(static_cast<uint16_t>(GetLE(value, 2)), StrToInt(text), mode);
        case fldINT64:
            return WithinBound<int64_t>(static_cast<int64_t>(GetLE(value, 8)), StrToInt64(text), mode);
        case fldFLOAT:
            // The bound is taken to the precision the value is stored in, so that a
            // value equal to the bound's text passes both bounds.
            return WithinBound<double>(dfbytes::GetDouble(value), static_cast<double>(ANSIStrToFloat(text)), mode);
        case fldBCD: {
            TCurrency stored = 0;
            if (!BCDToCurrValue(value, stored)) stored = 0;
            return WithinBound<int64_t>(stored, ANSIStrToCurr(text), mode);
        }
        case fldTIME: {
            int32_t day = 0, msec = 0;
            SplitMoment(ANSIStrToTime(text), day, msec);
            return WithinBound<int64_t>(static_cast<int32_t>(GetLE(value, 4)), msec, mode);
        }
        case fldTIMESTAMP: {
            int32_t day = 0, msec = 0;
            SplitMoment(ANSIStrToDateTime(text), day, msec);
            const double stored = dfbytes::GetDouble(value);
            // A stored value that is no moment at all lies within no bound.
            if (!std::isfinite(stored)) return false;
            return WithinBound<double>(std::nearbyint(stored), TimestampMs(day, msec), mode);
        }
        default:
            return true;
    }
}

}  // namespace kura

// Conversions of evaluated values between types, for CAST, IF, IFNULL, COALESCE and
// the constants a prepared filter computes once.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/expr/EvaluateInternal.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/Routines.h"

namespace kura {

using namespace exv;
using evalimpl::PutNull;

void ConvertTokenValue(const TExpToken& source, const uint8_t* sourceValue, const TExpToken& target,
                       uint8_t* output) {
    // Read the source through a node view so the bounded readers apply.
    TExpToken view;
    view.DataType = source.DataType;
    view.Scale = source.Scale;
    const std::size_t n = std::min<std::size_t>(source.Value.size(), view.Value.size());
    if (sourceValue && n > 0) std::memcpy(view.Value.data(), sourceValue, n);
    const uint8_t st = source.DataType;
    const uint8_t tt = target.DataType;
    const auto put = [output](auto value) { std::memcpy(output, &value, sizeof value); };
    const bool sourceNumeric = IsNumeric(st);
    if (IsInteger(tt) && sourceNumeric) {
        int64_t v = 0;
        if (IsInteger(st)) {
            v = Integer(view);
        } else if (st == fldFLOAT) {
            const long double f = std::nearbyint(static_cast<long double>(Load<double>(view)));
            v = std::fabs(f) < 9.2e18L ? static_cast<int64_t>(f) : 0;
        } else {
            const TCurrency cur = Currency(view);
            v = cur / CurrencyScale;
            const int64_t rest = cur % CurrencyScale;
            if (rest * 2 > CurrencyScale || (rest * 2 == CurrencyScale && (v & 1) != 0)) ++v;
            if (rest * 2 < -CurrencyScale || (rest * 2 == -CurrencyScale && (v & 1) != 0)) --v;
        }
        switch (tt) {
            case fldINT16: put(static_cast<int16_t>(v)); break;
            case fldUINT16: put(static_cast<uint16_t>(v)); break;
            case fldINT32: put(static_cast<int32_t>(static_cast<uint32_t>(v))); break;
            default: put(v); break;
        }
    } else if (tt == fldFLOAT && sourceNumeric) {
        put(static_cast<double>(Float(view)));
    } else if (tt == fldBCD && sourceNumeric) {
        CurrToBCDValue(AsCurrency(view), target.Scale, output);
    } else if (tt == fldDATE && st == fldTIMESTAMP) {
        int64_t whole = 0;
        const long double ms = std::floor(static_cast<long double>(Load<double>(view)));
        if (std::fabs(ms) < 9.2e18L) whole = static_cast<int64_t>(ms);
        put(static_cast<int32_t>(whole / MSecsPerDay));
    } else if (tt == fldTIMESTAMP && st == fldDATE) {
        put(static_cast<double>(Load<int32_t>(view)) * MSecsPerDay);
    }
}

void AssignConvertedValue(TExpToken& result, const TExpToken& source) {
    if (source.IsNull != 0 || source.DataType == fldUNKNOWN) {
        PutNull(result);
        return;
    }
    const bool resultString = result.DataType == fldZSTRING;
    if (result.DataType != fldBLOB && source.DataType != fldBLOB) {
        uint8_t buffer[FieldValueBufferSize + 5] = {};
        int32_t sourceSize = source.DataSize;
        if (source.DataType == fldZSTRING) sourceSize = static_cast<int32_t>(TextLength(source)) + 1;
        sourceSize = std::clamp<int32_t>(sourceSize, 0, static_cast<int32_t>(FieldValueBufferSize));
        std::memcpy(buffer, source.Value.data(),
                    std::min<std::size_t>(static_cast<std::size_t>(sourceSize), source.Value.size()));
        const int32_t resultSize = std::clamp<int32_t>(result.DataSize, 0, static_cast<int32_t>(FieldValueBufferSize));
        const bool ok = ConvertFieldData(source.DataType, static_cast<uint16_t>(sourceSize), source.Scale,
                                         result.DataType, static_cast<uint16_t>(resultSize), result.Scale, buffer);
        if (!ok) {
            PutNull(result);
            return;
        }
        Reserve(result, FieldValueBufferSize);
        std::memcpy(result.Value.data(), buffer, FieldValueBufferSize);
        if (resultString && resultSize > 0) {
            // A text cut to the result keeps whole characters only.
            std::size_t end = static_cast<std::size_t>(resultSize - 1);
            const std::string_view text = source.DataType == fldZSTRING ? TextView(source) : std::string_view{};
            if (text.size() > end) end = CharPrefixDBCS(text, SIZE_MAX, end);
            std::fill(result.Value.begin() + static_cast<std::ptrdiff_t>(end),
                      result.Value.begin() + static_cast<std::ptrdiff_t>(resultSize), 0);
        }
        result.IsNull = 0;
        return;
    }
    // A BLOB on either side moves its bytes as they are.
    std::size_t size = static_cast<std::size_t>(std::max<int32_t>(source.DataSize, 0));
    size = std::min(size, source.Value.size());
    if (resultString) size = std::min(size, static_cast<std::size_t>(std::max<int32_t>(result.DataSize, 1)));
    Reserve(result, static_cast<int64_t>(size) + 1);
    if (size > 0) std::memcpy(result.Value.data(), source.Value.data(), size);
    if (resultString) {
        if (size > 0) {
            const std::size_t end = CharPrefixDBCS(
                std::string_view(reinterpret_cast<const char*>(source.Value.data()), size), SIZE_MAX, size - 1);
            std::fill(result.Value.begin() + static_cast<std::ptrdiff_t>(end),
                      result.Value.begin() + static_cast<std::ptrdiff_t>(size), 0);
        }
    } else {
        result.Value[size] = 0;
        result.DataSize = static_cast<int32_t>(size);
    }
    result.IsNull = 0;
}

}  // namespace kura

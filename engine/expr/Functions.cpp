// The scalar functions of the expression language.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "engine/expr/EvaluateInternal.h"
#include "engine/expr/ExpCodes.h"
#include "engine/expr/ExpressionOwner.h"
#include "engine/expr/ValueAccess.h"
#include "engine/files/FieldConversions.h"
#include "engine/files/Locale.h"
#include "engine/files/Routines.h"
#include "engine/files/SysConvert.h"

namespace kura::evalimpl {

using namespace exv;

namespace {

// Writes a text result; an empty one is NULL.
void PutTextOrNull(TExpToken& result, std::string_view text) {
    PutText(result, text);
    result.IsNull = text.empty() ? 1 : 0;
}

// Positions and lengths count characters: a double-byte character of code page
// 932 is one, and is never cut in two.
void Substring(const TExpToken& text, const TExpToken& from, const TExpToken* length, TExpToken& result) {
    const std::string_view s = text.IsNull != 0 ? std::string_view{} : TextView(text);
    const int64_t size = static_cast<int64_t>(CharCountDBCS(s));
    const int64_t start = std::max<int64_t>(static_cast<int32_t>(Integer(from)), 1);
    int64_t count = length ? static_cast<int32_t>(Integer(*length)) : size - start + 1;
    if (count < 0) count = 0;
    if (start > size) {
        PutTextOrNull(result, {});
        return;
    }
    count = std::min(count, size - start + 1);
    const std::string_view rest = s.substr(CharPrefixDBCS(s, static_cast<size_t>(start - 1)));
    PutTextOrNull(result, rest.substr(0, CharPrefixDBCS(rest, static_cast<size_t>(count))));
}

// The search text of POS, OCCURS and REPLACE; NULL searches like the empty text,
// which is found nowhere (and so never makes a search loop stand still).
std::string SearchText(const TExpToken& node) { return node.IsNull != 0 ? std::string() : std::string(TextView(node)); }

void Replace(const TExpToken& search, const TExpToken& replacement, const TExpToken& subject, TExpToken& result) {
    const std::string source = subject.IsNull != 0 ? std::string() : std::string(TextView(subject));
    const std::string oldText = SearchText(search);
    const std::string newText = replacement.IsNull != 0 ? std::string() : std::string(TextView(replacement));
    if (oldText.empty()) {
        PutTextOrNull(result, source);
        return;
    }
    // The new length in 64 bits: a long memo with many replacements must not get a
    // buffer sized by a length that wrapped around.
    const int64_t occurrences = StrCountOccurs(oldText.c_str(), source.c_str());
    const int64_t length = static_cast<int64_t>(source.size()) +
                           occurrences * (static_cast<int64_t>(newText.size()) - static_cast<int64_t>(oldText.size()));
    std::string out(static_cast<std::size_t>(std::max<int64_t>(length, 0)) + 1, '\0');
    StrReplaceAll(oldText.c_str(), newText.c_str(), source.c_str(), out.data());
    out.resize(std::strlen(out.c_str()));
    PutTextOrNull(result, out);
}

// The trim character is the first character of its argument, one or two bytes;
// only whole characters equal to it are removed.
void Trim(uint8_t code, const TExpToken& character, const TExpToken& text, TExpToken& result) {
    const std::string_view s = text.IsNull != 0 ? std::string_view{} : TextView(text);
    const std::string_view all = character.IsNull != 0 ? std::string_view{} : TextView(character);
    const std::string_view c = all.substr(0, CharPrefixDBCS(all, 1));
    size_t begin = 0;
    size_t end = s.size();
    if (!c.empty()) {
        if (code != fnTrimTrailing) {
            while (s.substr(begin, c.size()) == c) begin += c.size();
        }
        if (code != fnTrimLeading) {
            // The end of the last character that is not the trim character.
            end = begin;
            for (size_t i = begin; i < s.size();) {
                const size_t step = CharPrefixDBCS(s.substr(i), 1);
                if (s.substr(i, step) != c) end = i + step;
                i += step;
            }
        }
    }
    PutTextOrNull(result, s.substr(begin, end - begin));
}

void Extract(uint8_t code, const TExpToken& value, TExpToken& result) {
    int64_t day = 0;
    int64_t msec = 0;
    bool hasDate = true;
    bool hasTime = true;
    switch (value.DataType) {
        case fldDATE:
            day = Load<int32_t>(value);
            hasTime = false;
            break;
        case fldTIME:
            day = DateDelta;
            msec = Load<int32_t>(value);
            hasDate = false;
            break;
        default: {
            const long double ms = std::nearbyint(static_cast<long double>(Load<double>(value)));
            const int64_t whole = std::fabs(ms) < 9.2e18L ? static_cast<int64_t>(ms) : 0;
            day = whole / MSecsPerDay;
            msec = whole % MSecsPerDay;
            break;
        }
    }
    const int64_t days = day - DateDelta;
    const bool validDate = hasDate && days >= MinDateDays && days <= MaxDateDays;
    const TDateTime date = static_cast<TDateTime>(days);
    int year = 0;
    int month = 0;
    int dayOfMonth = 0;
    if (validDate) DaysToDate(static_cast<int32_t>(days), year, month, dayOfMonth);
    const int64_t m = std::clamp<int64_t>(msec, 0, MSecsPerDay - 1);
    int32_t part = 0;
    switch (code) {
        case fnExtractYear: part = year; break;
        case fnExtractMonth: part = month; break;
        case fnExtractDay: part = dayOfMonth; break;
        case fnExtractWeek: part = validDate ? WeekOfYear(date) : 0; break;
        case fnExtractDayOfWeek: part = validDate ? ISODayOfWeek(date) : 0; break;
        case fnExtractDayOfYear: part = validDate ? DayOfYear(date) : 0; break;
        case fnExtractHour: part = hasTime ? static_cast<int32_t>(m / 3600000) : 0; break;
        case fnExtractMinute: part = hasTime ? static_cast<int32_t>(m / 60000 % 60) : 0; break;
        default: part = hasTime ? static_cast<int32_t>(m / 1000 % 60) : 0; break;
    }
    result.DataType = fldINT32;
    result.DataSize = 4;
    PutNumber(result, part);
}

void Abs(const TExpToken& value, TExpToken& result) {
    switch (value.DataType) {
        case fldINT16: {
            const int16_t v = Load<int16_t>(value);
            Store<int16_t>(result, static_cast<int16_t>(v < 0 ? -static_cast<int32_t>(v) : v));
            break;
        }
        case fldINT32: {
            const int32_t v = Load<int32_t>(value);
            Store<int32_t>(result, v < 0 ? Sub32(0, v) : v);
            break;
        }
        case fldINT64: {
            const int64_t v = Load<int64_t>(value);
            Store<int64_t>(result, v < 0 ? Sub64(0, v) : v);
            break;
        }
        case fldFLOAT: Store<double>(result, std::fabs(Load<double>(value))); break;
        case fldBCD: {
            const TCurrency c = Currency(value);
            PutCurrency(result, c < 0 ? Sub64(0, c) : c, result.Scale);
            break;
        }
        default: CopyValue(result, value); break;  // word: unchanged
    }
    result.IsNull = 0;
}

void Round(const TExpToken& value, const TExpToken* places, TExpToken& result) {
    const int64_t n = places ? std::clamp<int64_t>(Integer(*places), 0, 255) : 0;
    if (value.DataType == fldFLOAT) {
        Store<double>(result, static_cast<double>(RoundFloat(Load<double>(value), static_cast<uint8_t>(n))));
    } else if (value.DataType == fldBCD) {
        PutCurrency(result, RoundCurrency(Currency(value), static_cast<uint8_t>(n)), result.Scale);
    } else {
        CopyValue(result, value);
    }
    result.IsNull = 0;
}

// CAST makes a BOOLEAN of every whole or decimal number, non-zero being true. The
// field conversions make one of SMALLINT and WORD only, as restructuring a table
// keeps it, so the other numbers are decided here.
void Cast(const TExpToken& value, TExpToken& result) {
    const uint8_t type = value.DataType;
    if (result.DataType == fldBOOL && value.IsNull == 0 && (IsInteger(type) || type == fldBCD)) {
        PutBoolean(result, type == fldBCD ? Float(value) != 0 : Integer(value) != 0);
        return;
    }
    AssignConvertedValue(result, value);
}

}  // namespace

void EvaluateFunction(const TExpToken& node, TExpToken& result, const TEvalContext& c) {
    const uint8_t code = node.Code;
    if (code == fnIf || code == fnIfNull) {
        TOperand test(node.GetArgument(0), c);
        const bool first = code == fnIf ? Load<int16_t>(*test) != 0 : test->IsNull != 0;
        TOperand chosen(node.GetArgument(first ? 1 : 2), c);
        AssignConvertedValue(result, *chosen);
        return;
    }
    if (code == fnCoalesce) {
        for (int32_t i = 0; i < node.ArgumentCount(); ++i) {
            TOperand value(node.GetArgument(i), c);
            if (value->IsNull == 0) {
                AssignConvertedValue(result, *value);
                return;
            }
        }
        PutNull(result);
        return;
    }
    if (code == fnLastAutoInc || code == fnIdentCurrent) {
        TExpressionOwner* owner = TokenOwner(node);
        PutNumber(result, owner ? owner->ExpressionLastAutoInc() : 0);
        return;
    }
    TOperand a0(node.GetArgument(0), c);
    if (IsAggregateCode(code)) {
        // Accumulating over records is the SQL engine's; per record the value is the argument's.
        result.DataType = a0->DataType;
        result.DataSubtype = a0->DataSubtype;
        result.Scale = a0->Scale;
        CopyValue(result, *a0);
        return;
    }
    switch (code) {
        case fnUpper:
        case fnLower: {
            if (a0->IsNull != 0) {
                PutNull(result);
                return;
            }
            std::string text(TextView(*a0));
            if (code == fnUpper)
                LocaleUpperCase(c.LocaleId, c.SortId, text);
            else
                LocaleLowerCase(c.LocaleId, c.SortId, text);
            PutText(result, text);
            result.IsNull = 0;
            return;
        }
        case fnSubstring: {
            TOperand from(node.GetArgument(1), c);
            TOperand length(node.GetArgument(2), c, true);
            Substring(*a0, *from, length.Get(), result);
            return;
        }
        case fnReplace: {
            TOperand with(node.GetArgument(1), c);
            TOperand in(node.GetArgument(2), c);
            Replace(*a0, *with, *in, result);
            return;
        }
        case fnPos:
        case fnOccurs: {
            TOperand in(node.GetArgument(1), c);
            const std::string search = SearchText(*a0);
            int64_t found = 0;
            if (in->IsNull == 0 && !search.empty()) {
                const std::string subject(TextView(*in));
                found = code == fnPos ? StrPosIndex(search.c_str(), subject.c_str())
                                      : StrCountOccurs(search.c_str(), subject.c_str());
                // POS counts characters: those before the byte where the text was found.
                if (code == fnPos && found > 0)
                    found = static_cast<int64_t>(CharCountDBCS(std::string_view(subject).substr(0, found - 1))) + 1;
            }
            PutNumber(result, found);
            return;
        }
        case fnTrimLeading:
        case fnTrimTrailing:
        case fnTrimBoth: {
            TOperand text(node.GetArgument(1), c);
            Trim(code, *a0, *text, result);
            return;
        }
        case fnLength:
            // The one text function that measures bytes, not characters: callers size
            // CHAR columns with it.
            if (a0->IsNull != 0)
                PutNull(result);
            else
                PutNumber(result, static_cast<int64_t>(TextLength(*a0)));
            return;
        case fnCast: Cast(*a0, result); return;
        case fnAbs:
            if (a0->IsNull != 0)
                PutNull(result);
            else
                Abs(*a0, result);
            return;
        case fnRound: {
            if (a0->IsNull != 0) {
                PutNull(result);
                return;
            }
            TOperand places(node.GetArgument(1), c, true);
            Round(*a0, places.Get(), result);
            return;
        }
        case fnTextSearch:
        case fnTextOccurs: {
            TOperand column(node.GetArgument(1), c);
            TExpressionOwner* owner = TokenOwner(*column);
            const std::string search(TextView(*a0));
            const std::string text(column->IsNull != 0 ? std::string_view{} : TextView(*column));
            const auto sl = static_cast<int32_t>(search.size());
            const auto tl = static_cast<int32_t>(text.size());
            if (code == fnTextSearch)
                PutBoolean(result, owner && owner->ExpressionTextSearch(search.c_str(), sl, text.c_str(), tl));
            else
                PutNumber(result, owner ? owner->ExpressionTextOccurs(search.c_str(), sl, text.c_str(), tl) : 0);
            return;
        }
        default:
            if (IsExtractCode(code)) {
                if (a0->IsNull != 0)
                    PutNull(result);
                else
                    Extract(code, *a0, result);
            }
            return;
    }
}

}  // namespace kura::evalimpl

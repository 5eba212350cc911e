#pragma once
// Small helpers the statement parsers share.
#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "engine/expr/ExpParser.h"

namespace kura::sqlparse {

// The current token is one of the keywords (a name, without regard to case).
inline bool IsOneOf(const TExpressionParser& tokens, std::initializer_list<std::string_view> words) {
    return std::any_of(words.begin(), words.end(), [&](std::string_view w) { return tokens.TokenIs(w); });
}

// "Maximum number of columns (" + limit + ") in " + where + " exceeded".
inline std::string ColumnLimitMessage(int32_t limit, std::string_view where) {
    return "Maximum number of columns (" + std::to_string(limit) + ") in " + std::string(where) + " exceeded";
}

}  // namespace kura::sqlparse

#pragma once
// The dataset framework's exceptions. EDatabaseError reports misuse of a dataset or
// a component (a closed dataset, an unknown field, a wrong value); EAbort is the
// silent exception an event handler raises to stop an operation without a message.
#include <stdexcept>
#include <string>
#include <string_view>

namespace kura {

class EDatabaseError : public std::runtime_error {
public:
    explicit EDatabaseError(const std::string& message) : std::runtime_error(message) {}
};

// Raised by Abort(); the operation stops and the state it was in is kept.
class EAbort : public std::runtime_error {
public:
    EAbort() : std::runtime_error("Operation aborted") {}
};

// The framework's field-not-found text (code page 932): "項目 '%s' が見つかりません".
inline constexpr const char* FieldNotFoundText =
    "\x8D\x80\x96\xDA '%s' \x82\xAA\x8C\xA9\x82\xC2\x82\xA9\x82\xE8\x82\xDC\x82\xB9\x82\xF1";

[[noreturn]] void DatabaseError(const std::string& message);
// message with its single "%s" replaced by argument.
[[noreturn]] void DatabaseErrorFmt(std::string_view message, std::string_view argument);
[[noreturn]] void Abort();
std::string FormatMessage(std::string_view message, std::string_view argument);

}  // namespace kura

#include "platform/dataset/DatabaseError.h"

namespace kura {

std::string FormatMessage(std::string_view message, std::string_view argument) {
    std::string out(message);
    const auto at = out.find("%s");
    if (at != std::string::npos) out.replace(at, 2, argument);
    return out;
}

void DatabaseError(const std::string& message) { throw EDatabaseError(message); }

void DatabaseErrorFmt(std::string_view message, std::string_view argument) {
    throw EDatabaseError(FormatMessage(message, argument));
}

void Abort() { throw EAbort(); }

}  // namespace kura

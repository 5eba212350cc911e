#include "engine/errors/JournalReports.h"

#include "platform/CodePage.h"

namespace kura {

namespace {

constexpr std::string_view kTablesOpen = " (its commit's tables: '";
constexpr std::string_view kNotFoundOpen = "the table '";
constexpr std::string_view kNotFoundSaid = "' of its commit is not found";
constexpr std::string_view kNotFoundWayOut =
    ": put it back under that name with its .JNS file; if it is gone for good, remove this journal (the table "
    "keeps the commit)";
constexpr std::string_view kRemoveOpen = "remove '";
constexpr std::string_view kRemoveClose = "', which its tables' files contradict";

// The text between `open` at the start of `text` and the first `close` after it;
// false when the text is not so (or was cut short).
bool Between(std::string_view text, std::string_view open, std::string_view close, std::string& inside) {
    if (!text.starts_with(open)) return false;
    const std::size_t end = text.find(close, open.size());
    if (end == std::string_view::npos) return false;
    inside = text.substr(open.size(), end - open.size());
    return true;
}

}  // namespace

std::string JournalStandsApart(const std::vector<std::string>& tables) {
    std::string text(kJournalStandsApart);
    if (tables.empty()) return text;
    text += kTablesOpen;
    for (std::size_t i = 0; i < tables.size(); ++i) text += (i == 0 ? "" : "', '") + tables[i];
    text += "')";
    return text.size() <= EngineErrorContextLength ? text : std::string(kJournalStandsApart);
}

std::string JournalPartnerNotFound(std::string_view table) {
    const std::string text =
        std::string(kNotFoundOpen) + std::string(table) + std::string(kNotFoundSaid) + std::string(kNotFoundWayOut);
    return text.size() <= EngineErrorContextLength ? text : std::string(kJournalCannotTell);
}

std::string JournalRemoveRecord(std::string_view record) {
    const std::string text = std::string(kJournalRecordsDisagree) + std::string(kRemoveOpen) + std::string(record) +
                             std::string(kRemoveClose);
    return text.size() <= EngineErrorContextLength ? text : std::string(kJournalRecordsDisagreeRestore);
}

TJournalReport JournalReportOf(const EKuraEngineError& e) {
    const std::string_view advice = e.ErrorContext(ctxMessage);
    if (e.ErrorCode() == KURA_OSEACCES)
        return advice == kJournalNeedsWrite ? TJournalReport::NeedsWrite : TJournalReport::None;
    if (e.ErrorCode() != KURA_HEADERCORRUPT) return TJournalReport::None;
    if (advice == kJournalSetAside) return TJournalReport::SetAside;
    if (advice.starts_with(kJournalStandsApart)) return TJournalReport::StandsApart;
    if (advice == kJournalCannotTell || advice == kJournalRecordsDisagreeRestore)
        return TJournalReport::RestoreTogether;
    if (advice.starts_with(std::string(kJournalRecordsDisagree) + std::string(kRemoveOpen)))
        return TJournalReport::RemoveRecord;
    if (advice.starts_with(kNotFoundOpen)) return TJournalReport::PartnerNotFound;
    return TJournalReport::None;
}

std::vector<std::string> JournalReportNames(const EKuraEngineError& e) {
    const std::string_view advice = e.ErrorContext(ctxMessage);
    std::string name;
    // A bare name lies in the folder of the journal named.
    auto beside = [&e](const std::string& named) -> std::vector<std::string> {
        if (platform::Cp932FindLastOf(named, "/") != std::string::npos) return {named};
        const std::string& journal = e.ErrorContext(ctxTable);
        const std::size_t slash = platform::Cp932FindLastOf(journal, "/");
        return {(slash == std::string::npos ? std::string() : journal.substr(0, slash + 1)) + named};
    };
    switch (JournalReportOf(e)) {
        case TJournalReport::StandsApart: {
            std::vector<std::string> tables;
            std::string_view rest = advice.substr(kJournalStandsApart.size());
            if (!rest.starts_with(kTablesOpen) || !rest.ends_with("')")) return tables;
            rest = rest.substr(kTablesOpen.size(), rest.size() - kTablesOpen.size() - 2);
            for (std::size_t next; (next = rest.find("', '")) != std::string_view::npos; rest.remove_prefix(next + 4))
                tables.emplace_back(rest.substr(0, next));
            tables.emplace_back(rest);
            return tables;
        }
        case TJournalReport::PartnerNotFound:
            if (Between(advice, kNotFoundOpen, kNotFoundSaid, name)) return {name};
            return {};
        case TJournalReport::RemoveRecord:
            if (Between(advice.substr(kJournalRecordsDisagree.size()), kRemoveOpen, kRemoveClose, name))
                return beside(name);
            return {};
        default:
            return {};
    }
}

}  // namespace kura

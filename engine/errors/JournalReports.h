#pragma once
// What the engine says of a commit cut off half-way that it could not settle as it
// should, and what can be done about it. The recovery of the journals writes the way
// out into the message slot of its error (ctxMessage), after the name of the journal
// concerned (ctxTable); a caller that must tell the outcomes apart (the program's
// start) reads it back here, so both sides share one spelling.
//
// KURA_HEADERCORRUPT, naming a journal or its copy NAME.JNL.<n>:
//   SetAside         the journal does not fit its table's files (they were put back
//                    from an older copy) or can no longer say what it held: it was
//                    copied aside, and the table opens as its files hold it. Said once.
//   StandsApart      the table named may no longer match the other tables of its
//                    commit, nothing being left to take it back: it opens as the cut
//                    commit left it. Said once. The commit's tables are named when its
//                    record could be read.
//   PartnerNotFound  every open refused: a table of the commit (named) is not found.
//   RemoveRecord     every open refused: the records of the commit disagree, and the
//                    one that the tables' files contradict (named) is to be removed.
//   RestoreTogether  every open refused: nothing left tells how the commit ended.
// KURA_OSEACCES, naming a file of the table or the table:
//   NeedsWrite       a cut commit is to be settled at this open, which writes the
//                    table's files, its journal and NAME.JNS beside it: the file named
//                    (or one of the table's) cannot be written, or made in the folder.
//
// The journal's name is the one the error gives whole (ctxTable). A way out names
// tables by their names without folder, and the record to remove as the commit
// records keep names: bare where it lies in the journal's folder, with its folder
// elsewhere, so that it fits the slot whole in any folder whose files the engine can
// name. A way out whose names would still not fit is said as the one that needs none
// (StandsApart without its tables; RestoreTogether): it never names a file cut short.
#include <string>
#include <string_view>
#include <vector>

#include "engine/errors/EngineErrors.h"

namespace kura {

enum class TJournalReport { None, SetAside, StandsApart, PartnerNotFound, RemoveRecord, RestoreTogether, NeedsWrite };

// The ways out, as the recovery writes them.
constexpr std::string_view kJournalSetAside =
    "its journal does not fit the table's files and was set aside: the table opens as its files hold it";
constexpr std::string_view kJournalStandsApart =
    "the table may no longer match the other tables of its commit: restore them together from a backup";
constexpr std::string_view kJournalCannotTell =
    "it cannot be told whether its commit stood: restore the commit's tables together from a backup";
constexpr std::string_view kJournalRecordsDisagree = "the records of its commit disagree: ";
constexpr std::string_view kJournalRecordsDisagreeRestore =
    "the records of its commit disagree: restore the commit's tables together from a backup";
constexpr std::string_view kJournalNeedsWrite =
    "a cut commit is settled here, which needs write access to the table's files and its folder";

// kJournalStandsApart with the commit's tables (their names without folder), when known
// and all of them fit.
std::string JournalStandsApart(const std::vector<std::string>& tables);
// The table not found (its name without folder); kJournalCannotTell where it does not fit.
std::string JournalPartnerNotFound(std::string_view table);
// The record to remove, named as beside the journal (above);
// kJournalRecordsDisagreeRestore where it does not fit.
std::string JournalRemoveRecord(std::string_view record);

// Which of the above an engine error is (None for any other error).
TJournalReport JournalReportOf(const EKuraEngineError& e);
// What the report names besides its journal: the commit's tables (StandsApart, none
// when unknown), the table not found (PartnerNotFound), the record to remove with its
// folder (RemoveRecord; the journal's where the report gives none); none otherwise.
std::vector<std::string> JournalReportNames(const EKuraEngineError& e);

}  // namespace kura

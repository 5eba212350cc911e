#pragma once
// The data module: the one session "MySession" (Session1), the one database
// "DataDB" and the four tables of the program. Every dataset of every window names
// that database and session. The database is stored as connected, so it connects
// (activating the session and, first of all, the engine) while the module is made.
//
// CreateOrUpgrade is the one place where the four tables are made: a table none of
// whose files is there (the first start, or a table a new version adds) is created by
// its CREATE TABLE IF NOT EXISTS query (QstaffCRT, QgakurekiCRT, QkazokuCRT,
// QrirekisyoCRT), an existing one is upgraded; then it is opened. A table whose .DAT
// is missing while other files of it remain (.IDX, .BLB, its journal .JNL or its
// record .JNS) is lost, not new: it is neither made anew over them nor opened, and
// nothing of it changes (ETableFilesMissing).
//
// A table whose .IDX alone is missing (and that no other program's start is still
// making) keeps its records in its .DAT: the engine makes the index file anew from
// them, without the key, and the start gives the key back at once (RebuildKey: the
// engine's restructure, which has the table to itself, builds it from the records).
// An index file without the key, as a rebuild cut off leaves it, is found at every
// start by the table's index definitions and rebuilt the same way. A rebuild that
// fails (EKeyNotRebuilt: another program has the table open, two records share a
// key, the index file cannot be made or written) changes no record, and leaves no
// index file where there was none.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/errors/EngineErrors.h"
#include "platform/dataset/Component.h"

namespace kura {
class TKuraDatabase;
class TKuraQuery;
class TKuraSession;
class TKuraTable;
}  // namespace kura

namespace app {

struct TTableSpec;

// A table some of whose files are missing while others remain: the missing ones
// (paths in the database folder).
struct ETableFilesMissing : std::runtime_error {
    explicit ETableFilesMissing(std::vector<std::string> missing)
        : std::runtime_error("table files missing"), Missing(std::move(missing)) {}
    std::vector<std::string> Missing;
};

// What the start did to a table's key.
enum class TKeys { Kept, IndexMadeAnew, KeyMadeAnew };

// The table's key could not be made anew (the engine's error): its index file
// (Index) was missing (Lost), or lacked the key.
struct EKeyNotRebuilt : std::runtime_error {
    EKeyNotRebuilt(const kura::EKuraEngineError& error, std::string index, bool lost)
        : std::runtime_error(error.what()), Error(error), Index(std::move(index)), Lost(lost) {}
    kura::EKuraEngineError Error;
    std::string Index;
    bool Lost;
};

class TDMdata : public kura::TComponent {
public:
    // directory: where the database is first connected (the start-up sequence sets it
    // again before any table is touched).
    explicit TDMdata(const std::string& directory, kura::TComponent* owner = nullptr);
    ~TDMdata() override;

    kura::TKuraDatabase* DataDB;
    kura::TKuraTable* Tstaff;
    kura::TKuraQuery* QstaffCRT;
    kura::TKuraTable* Tgakureki;
    kura::TKuraQuery* QgakurekiCRT;
    kura::TKuraSession* Session1;
    kura::TKuraTable* Tkazoku;
    kura::TKuraQuery* QkazokuCRT;
    kura::TKuraTable* Trirekisyo;
    kura::TKuraQuery* QrirekisyoCRT;
    // Why the records can be read but not changed (UTF-8), as the start found it;
    // empty when they can be changed (app/WriteAccess.h).
    std::string ReadOnlyWhy;

    // The field names of a table, in field order (opens and closes the table).
    static std::vector<std::string> FieldNames(kura::TKuraTable& table);
    // Runs the creation query when none of the table's files is there, else upgrade;
    // then opens it, its key made anew where it was lost (which it says).
    // ETableFilesMissing when only some of the files are; EKeyNotRebuilt.
    TKeys CreateOrUpgrade(kura::TKuraTable& table, kura::TKuraQuery& creation, const std::function<void()>& upgrade);
    // The files of the table that are missing while others of it remain: .DAT, .IDX
    // and (for a table with pictures or notes) .BLB; none when the .DAT is there (a
    // .BLB lost beside it is left to the open, which names it) or no file is.
    std::vector<std::string> MissingFiles(kura::TKuraTable& table);
    // The path of one of the table's files ("Staff" and ".IDX").
    std::string TableFile(kura::TKuraTable& table, const char* extension);

private:
    // The .IDX is missing beside the .DAT, which no other program holds to itself.
    bool IndexLost(kura::TKuraTable& table);
    // The open table's index definitions hold the primary key its description gives.
    bool HasKey(kura::TKuraTable& table);
    // The primary key built anew from the records, the table closed meanwhile.
    void RebuildKey(kura::TKuraTable& table, bool lost);
};

extern TDMdata* DMdata;

}  // namespace app

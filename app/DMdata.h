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
// nothing of it changes (ETableFilesMissing). So is one whose .IDX is missing beside
// its .DAT (the engine would open it with an index file made anew, without its keys),
// unless another program's start is still making it.
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

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
    // then opens it. ETableFilesMissing when only some of them are.
    void CreateOrUpgrade(kura::TKuraTable& table, kura::TKuraQuery& creation, const std::function<void()>& upgrade);
    // The files of the table that are missing while others of it remain: .DAT, .IDX
    // and (for a table with pictures or notes) .BLB, or the .IDX beside a .DAT that no
    // other program holds to itself; none when the table is whole or wholly absent (a
    // .BLB lost beside a .DAT is left to the open, which names it).
    std::vector<std::string> MissingFiles(kura::TKuraTable& table);
};

extern TDMdata* DMdata;

}  // namespace app

#pragma once
// The data module: the one session "MySession" (Session1), the one database
// "DataDB" and the four tables of the program. Every dataset of every window names
// that database and session. The database is stored as connected, so it connects
// (activating the session and, first of all, the engine) while the module is made.
//
// CreateOrUpgrade is the one place where the four tables are made: a table whose
// files are missing is created by its CREATE TABLE IF NOT EXISTS query (QstaffCRT,
// QgakurekiCRT, QkazokuCRT, QrirekisyoCRT), an existing one is upgraded; then it is
// opened.
#include <functional>
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
    // Runs the creation query when the table does not exist, else upgrade; then opens it.
    void CreateOrUpgrade(kura::TKuraTable& table, kura::TKuraQuery& creation, const std::function<void()>& upgrade);
};

extern TDMdata* DMdata;

}  // namespace app

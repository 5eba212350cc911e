#pragma once
// The data module: the one session "MySession" (Session1), the one database
// "DataDB" and the four tables of the program. Every dataset of every window names
// that database and session. The database is stored as connected, so it connects
// (activating the session and, first of all, the engine) while the module is made.
//
// CreateOrUpgrade is the one place where the four tables are made: a table whose
// files are missing is created, an existing one is upgraded; then it is opened.
#include <functional>
#include <string>
#include <vector>

#include "platform/dataset/Component.h"

namespace kura {
class TKuraDatabase;
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
    kura::TKuraTable* Tgakureki;
    kura::TKuraSession* Session1;
    kura::TKuraTable* Tkazoku;
    kura::TKuraTable* Trirekisyo;

    // The field names of a table, in field order (opens and closes the table).
    static std::vector<std::string> FieldNames(kura::TKuraTable& table);
    // Creates the table when it does not exist, else runs upgrade; then opens it.
    void CreateOrUpgrade(kura::TKuraTable& table, const TTableSpec& spec, const std::function<void()>& upgrade);
};

extern TDMdata* DMdata;

}  // namespace app

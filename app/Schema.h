#pragma once
// The program's four tables as it creates them, and their upgrades.
//
// Each table is described once (TTableSpec); its creation text, the one
// CREATE TABLE IF NOT EXISTS statement the data module's creation query runs, is made
// from that description, as are the field and index definitions of the table
// component. CreateTableIfNotExists is the one place where a table is created.
//
// Upgrades: a Staff table without Furikomi_KozaMeigi receives it and
// Fututyo_KozaMeigi; a Gakureki table without V102 has NAIYO redefined as
// CHARACTER(60) and receives V102. Kazoku and Rirekisyo are never changed. An upgrade
// runs only for a table that existed before this start, so a table created now is
// upgraded at the next start.
#include <string>
#include <vector>

#include "platform/dataset/DataTypes.h"

namespace kura {
class TKuraDatabase;
class TKuraTable;
}  // namespace kura

namespace app {

struct TColumnSpec {
    std::string Name;
    std::string SqlType;  // as the creation text writes it
    kura::TFieldType Type;
    int Size;  // CHARACTER(n): n
    bool NotNull;
};

struct TTableSpec {
    std::string Name;
    std::vector<TColumnSpec> Columns;
    std::vector<std::string> Key;
    std::string Description;  // empty: none
};

const TTableSpec& StaffSpec();
const TTableSpec& GakurekiSpec();
const TTableSpec& KazokuSpec();
const TTableSpec& RirekisyoSpec();

// The lines of the creation text.
std::vector<std::string> CreationText(const TTableSpec& spec);
// The lines of the upgrade statements.
std::vector<std::string> StaffUpgradeText();
std::vector<std::string> GakurekiUpgradeText();

// Gives the table component the spec's field and index definitions.
void DefineTable(kura::TKuraTable& table, const TTableSpec& spec);
// Creates the table unless its files exist.
void CreateTableIfNotExists(kura::TKuraTable& table, const TTableSpec& spec);
// Adds the columns at the end of the table and redefines the ones named in
// redefine (by name, to their given type), keeping every row.
void AlterTable(kura::TKuraDatabase& db, const std::string& table, const std::vector<TColumnSpec>& add,
                const std::vector<TColumnSpec>& redefine);

// The upgrade of an existing table (by the names of its fields, in any case).
bool StaffNeedsUpgrade(const std::vector<std::string>& fieldNames);
bool GakurekiNeedsUpgrade(const std::vector<std::string>& fieldNames);
void UpgradeStaff(kura::TKuraDatabase& db);
void UpgradeGakureki(kura::TKuraDatabase& db);

}  // namespace app

#pragma once
// The program's four tables as it creates them, and their upgrades.
//
// Each table is described once (TTableSpec); its creation text, the one
// CREATE TABLE IF NOT EXISTS statement the data module's creation query runs, is made
// from that description (as are the field and index definitions a test gives a table
// component to make an earlier layout).
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
// Lines as one SQL text (CR LF between them).
std::string JoinLines(const std::vector<std::string>& lines);
// The lines of the upgrade statements.
std::vector<std::string> StaffUpgradeText();
std::vector<std::string> GakurekiUpgradeText();

// Gives the table component the spec's field and index definitions.
void DefineTable(kura::TKuraTable& table, const TTableSpec& spec);

// Whether an existing table needs its upgrade (by the names of its fields, in any case).
bool StaffNeedsUpgrade(const std::vector<std::string>& fieldNames);
bool GakurekiNeedsUpgrade(const std::vector<std::string>& fieldNames);

}  // namespace app

#pragma once
// The program's four tables as it creates them, and their upgrades.
//
// Each table is described once (TTableSpec); its creation text, the one
// CREATE TABLE IF NOT EXISTS statement the data module's creation query runs, is made
// from that description (as are the field and index definitions a test gives a table
// component to make an earlier layout).
//
// A table whose index file lacks the primary key (it was lost and made anew by the
// engine from the records alone) receives it again by KeyRebuildText: the engine
// builds it from the records in the table's own index file, and refuses it, changing
// nothing, where two records share a key; a table that has it is left as it is.
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

// The program's description of the table of that name (in any case); nullptr for
// none of its four.
const TTableSpec* SpecOf(const std::string& tableName);
// The lines of the creation text.
std::vector<std::string> CreationText(const TTableSpec& spec);
// Lines as one SQL text (CR LF between them).
std::string JoinLines(const std::vector<std::string>& lines);
// The lines of the statement that gives an existing table its primary key again (no
// backup of the index file is kept; one that has it keeps it).
std::vector<std::string> KeyRebuildText(const TTableSpec& spec);
// The lines of the upgrade statements.
std::vector<std::string> StaffUpgradeText();
std::vector<std::string> GakurekiUpgradeText();

// Gives the table component the spec's field and index definitions.
void DefineTable(kura::TKuraTable& table, const TTableSpec& spec);

// Whether an existing table needs its upgrade (by the names of its fields, in any case).
bool StaffNeedsUpgrade(const std::vector<std::string>& fieldNames);
bool GakurekiNeedsUpgrade(const std::vector<std::string>& fieldNames);

}  // namespace app

#pragma once
// Whether this program may change the records of its database folder. The start
// looks once, after the four tables are open, as the engine would meet it at a save:
// every file of each table (.DAT, .IDX, .BLB and its journal .JNL) must open for
// writing, and the journal the table's open makes must be there (a folder where no
// file can be made leaves the table without one). A database on read-only media, with
// its rights taken away or with a read-only journal can be read but not changed: the
// start says so and why, and each command that would change it says so before the
// user types anything, leaving everything stored as it was.
#include <QString>
#include <string>
#include <vector>

class QWidget;

namespace app {

// Why the tables in `dir` (engine text) cannot be changed, in the user's words (which file or
// folder), UTF-8; empty when they can.
std::string WhyUnchangeable(const std::string& dir, const std::vector<std::string>& tables);
// The start's notice for that reason.
QString ReadOnlyNotice(const std::string& why);
// When the start found the database cannot be changed: says that the command, `what`
// ("従業員を追加"), cannot run and why, and answers true.
bool RefusedAsReadOnly(const QString& what, QWidget* parent = nullptr);

}  // namespace app

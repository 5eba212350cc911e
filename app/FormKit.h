#pragma once
// Small builders shared by the data-entry windows: named controls bound to fields,
// owner-drawn buttons with their mouse-over colours, the date fields' typed-text rule
// and the era and age texts.
#include <QComboBox>
#include <QLineEdit>
#include <QString>
#include <QToolButton>
#include <functional>
#include <memory>
#include <string>

#include "app/MakatiButton.h"
#include "platform/gui/Color.h"

class QGridLayout;
class QWidget;

namespace kura {
class TDataSource;
class TField;
class TKuraTable;
class TDataSet;
}  // namespace kura

namespace app {

// A table component of the database "DataDB" (session "MySession") with a field for
// every column of its table, ready for calculated fields to be added before it opens.
std::unique_ptr<kura::TKuraTable> DataTable(const char* name, const char* tableName);
// A calculated field of the dataset (string of size bytes, or integer when size is 0).
kura::TField* AddCalcField(kura::TDataSet& dataSet, const char* name, int size);

// The owner-drawn button of the windows: its colour is leave and becomes enter while
// the mouse is over it.
TMakatiButton* MakeButton(QWidget* parent, const char* name, const char* caption, gui::TColor enter,
                          gui::TColor leave);
QLineEdit* MakeEdit(QWidget* parent, const QString& name);
// A caption at (row, column) and the control right of it.
void Place(QGridLayout* grid, int row, int column, const char* caption, QWidget* control);

// An edit bound to a date field: typed text goes through NormalizeDateText when the
// edit is left, and the field takes it at once.
QLineEdit* DateEdit(QWidget* parent, const QString& name, kura::TDataSource* source, const char* field);
// The typed-text rule of every date field (the field's OnSetText).
void SetDateText(kura::TField* field, const std::string& text);
// A calendar button that picks a date for the field.
QToolButton* CalendarButton(QWidget* parent, const QString& name, std::function<kura::TField*()> field);

// "gee"-style era text into a calculated field; null dates give null.
void SetEraText(kura::TField* target, const kura::TField* date, const char* format);
// "●" for 1, else nothing: the display of the family flags.
void FlagText(kura::TField* field, std::string& text, bool displayText);

// A control bound to a calculated field shows its new value whenever the field it is
// calculated from changes (the data link only follows its own field).
void FollowSource(QLineEdit* edit, kura::TField* calc, kura::TField* source);

// Today as a TDateTime without time.
double Today();

}  // namespace app

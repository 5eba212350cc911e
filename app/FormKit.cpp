#include "app/FormKit.h"

#include <QDate>
#include <QGridLayout>
#include <QLabel>
#include <QPointer>

#include "app/Calendar.h"
#include "app/DateText.h"
#include "app/Wareki.h"
#include "components/KuraTable.h"
#include "platform/CodePage.h"
#include "platform/dataset/Fields.h"
#include "platform/gui/DataControls.h"

namespace app {

std::unique_ptr<kura::TKuraTable> DataTable(const char* name, const char* tableName) {
    auto table = std::make_unique<kura::TKuraTable>();
    table->SetName(name);
    table->SetDatabaseName("DataDB");
    table->SetSessionName("MySession");
    table->SetTableName(tableName);
    table->AddFieldsFromDefs();
    return table;
}

kura::TField* AddCalcField(kura::TDataSet& dataSet, const char* name, int size) {
    auto field = kura::CreateField(size > 0 ? kura::ftString : kura::ftInteger, size);
    field->FieldName = name;
    field->FieldKind = kura::fkCalculated;
    return dataSet.AddField(std::move(field));
}

TMakatiButton* MakeButton(QWidget* parent, const char* name, const char* caption, gui::TColor enter,
                          gui::TColor leave) {
    auto* b = new TMakatiButton(parent);
    b->setObjectName(name);
    b->setText(QString::fromUtf8(caption));
    b->SetButtonStyle(bsIELike);
    b->SetColor(leave);
    b->OnMouseEnter = [enter](TMakatiButton* s) { s->SetColor(enter); };
    b->OnMouseLeave = [leave](TMakatiButton* s) { s->SetColor(leave); };
    return b;
}

QLineEdit* MakeEdit(QWidget* parent, const QString& name) {
    auto* e = new QLineEdit(parent);
    e->setObjectName(name);
    return e;
}

void Place(QGridLayout* grid, int row, int column, const char* caption, QWidget* control) {
    grid->addWidget(new QLabel(QString::fromUtf8(caption), grid->parentWidget()), row, column);
    grid->addWidget(control, row, column + 1);
}

QLineEdit* DateEdit(QWidget* parent, const QString& name, kura::TDataSource* source, const char* field) {
    QLineEdit* edit = MakeEdit(parent, name);
    gui::TDBControlLink* link = gui::BindEdit(edit, source, field);
    QObject::connect(edit, &QLineEdit::editingFinished, link, [link] { link->UpdateRecord(); });
    return edit;
}

void SetDateText(kura::TField* field, const std::string& text) {
    field->SetAsString(NormalizeDateText(platform::Cp932ToUtf8(text)));
}

QToolButton* CalendarButton(QWidget* parent, const QString& name, std::function<kura::TField*()> field) {
    auto* b = new QToolButton(parent);
    b->setObjectName(name);
    b->setText("...");
    QObject::connect(b, &QToolButton::clicked, b, [field] { PickDate(field()); });
    return b;
}

void SetEraText(kura::TField* target, const kura::TField* date, const char* format) {
    if (date->IsNull()) target->Clear();
    else target->SetAsUtf8(FormatDateTime(format, date->AsDateTime()));
}

void FlagText(kura::TField* field, std::string& text, bool) {
    text = !field->IsNull() && field->AsInteger() == 1 ? platform::Utf8ToCp932("●") : std::string();
}

void FollowSource(QLineEdit* edit, kura::TField* calc, kura::TField* source) {
    auto before = source->OnChange;
    QPointer<QLineEdit> guard(edit);
    source->OnChange = [before, guard, calc](kura::TField* f) {
        if (before) before(f);
        if (guard) guard->setText(QString::fromStdString(platform::Cp932ToUtf8(calc->DisplayText())));
    };
}

double Today() {
    const QDate d = QDate::currentDate();
    return EncodeDate(d.year(), d.month(), d.day());
}

}  // namespace app

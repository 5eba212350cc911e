#pragma once
// Data-aware controls: plain Qt widgets bound to one field of a data source's
// dataset through a field data link. The link shows the field's value whenever the
// record changes, puts the dataset in edit mode (AutoEdit) when the user changes the
// control, and writes the control's value into the field when the dataset asks its
// links for their pending values (before a post). An unbound or inactive control is
// empty and disabled.
//
// Edits accept text only as far as it fits: the field's size in code page 932 bytes,
// and no character that code page 932 cannot hold (TCp932Validator).
//
// A value the field refuses when the link writes it (text that does not fit, a date the
// field's text rule rejects) raises its error with the focus on the control, and the
// control keeps the text and stays pending: the next post tries it again, so a refused
// text can never be dropped silently by a post that follows.
#include <QObject>
#include <QValidator>
#include <memory>
#include <string>

#include "platform/dataset/DataSource.h"

class QLineEdit;
class QCheckBox;
class QComboBox;
class QPlainTextEdit;
class QWidget;

namespace gui {

// Refuses characters outside code page 932 and text longer than maxBytes bytes in
// code page 932 (maxBytes 0: no limit).
class TCp932Validator : public QValidator {
public:
    TCp932Validator(int maxBytes, QObject* parent) : QValidator(parent), maxBytes_(maxBytes) {}
    State validate(QString& input, int& pos) const override;
    int MaxBytes() const { return maxBytes_; }
    void SetMaxBytes(int value) { maxBytes_ = value; }

private:
    int maxBytes_;
};

// The link between one widget and one field; a child of the widget, so it goes with it.
class TDBControlLink : public QObject {
public:
    TDBControlLink(QWidget* control, kura::TDataSource* source, const std::string& fieldName);
    ~TDBControlLink() override;
    kura::TField* Field() const { return link_.Field(); }
    const std::string& FieldName() const { return link_.FieldName; }
    // Writes the control's value into the field now (also run by the dataset before a post).
    void UpdateRecord();

protected:
    // Control -> field and field -> control, supplied per kind of control.
    virtual void Show(kura::TField* field) = 0;
    virtual void Store(kura::TField* field) = 0;
    // The user changed the control: edit mode and a pending value.
    void Changed();
    // Joins the data source; each kind of control calls it at the end of its constructor.
    void Start();
    QWidget* control_;

private:
    void Refresh();
    kura::TFieldDataLink link_;
    kura::TDataSource* source_ = nullptr;
    bool showing_ = false;
    bool changing_ = false;
    bool modified_ = false;
};

// The text as the field's code page 932 bytes; EDatabaseError when a character has no
// code page 932 form or a string field is too small for it (never cut silently).
std::string FieldBytes(const kura::TField& field, const QString& text);

// Binders; each answers its link (owned by the control).
TDBControlLink* BindEdit(QLineEdit* edit, kura::TDataSource* source, const std::string& fieldName);
TDBControlLink* BindMemo(QPlainTextEdit* memo, kura::TDataSource* source, const std::string& fieldName);
// Checked is a non-zero value (flag columns hold 1 or 0; a boolean field its truth).
TDBControlLink* BindCheckBox(QCheckBox* box, kura::TDataSource* source, const std::string& fieldName);
// The text of an editable combo box is the field's text.
TDBControlLink* BindComboBox(QComboBox* box, kura::TDataSource* source, const std::string& fieldName);

}  // namespace gui

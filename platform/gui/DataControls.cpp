#include "platform/gui/DataControls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>

#include "platform/dataset/DataSet.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Text.h"

namespace gui {

QValidator::State TCp932Validator::validate(QString& input, int&) const {
    std::string bytes;
    if (!TryCp932(input, bytes)) return Invalid;
    if (maxBytes_ > 0 && static_cast<int>(bytes.size()) > maxBytes_) return Invalid;
    return Acceptable;
}

TDBControlLink::TDBControlLink(QWidget* control, kura::TDataSource* source, const std::string& fieldName)
    : QObject(control), control_(control) {
    link_.FieldName = fieldName;
    link_.OnDataChange = [this] { Refresh(); };
    link_.OnActiveChange = [this] { Refresh(); };
    link_.OnEditingChange = [this] {
        if (!link_.Editing()) modified_ = false;
    };
    link_.OnUpdateData = [this] { UpdateRecord(); };
    source_ = source;
}

void TDBControlLink::Start() {
    link_.SetDataSource(source_);
    Refresh();
}

TDBControlLink::~TDBControlLink() {
    // The control is going (the link is its child), the kind of control already gone:
    // leaving the data source must not show the field in it any more.
    link_.OnDataChange = link_.OnActiveChange = link_.OnEditingChange = link_.OnUpdateData = nullptr;
    link_.SetDataSource(nullptr);
}

void TDBControlLink::Refresh() {
    if (changing_) return;  // entering edit mode must not overwrite what is being typed
    kura::TField* field = link_.Active() ? link_.Field() : nullptr;
    control_->setEnabled(field != nullptr);
    showing_ = true;
    Show(field);
    showing_ = false;
    modified_ = false;
}

void TDBControlLink::Changed() {
    if (showing_) return;
    if (!link_.Active() || !link_.Field()) return;
    changing_ = true;
    bool editing = false;
    try {
        editing = link_.Editing() || link_.Edit();
    } catch (...) {
        changing_ = false;
        Refresh();
        throw;
    }
    changing_ = false;
    if (!editing) {
        // The dataset refused edit mode: show the stored value again.
        Refresh();
        return;
    }
    modified_ = true;
}

void TDBControlLink::UpdateRecord() {
    if (!modified_ || !link_.Field()) return;
    try {
        Store(link_.Field());
    } catch (...) {
        // Still pending: the text stays for the user to correct, and no post passes it.
        control_->setFocus(Qt::OtherFocusReason);
        throw;
    }
    modified_ = false;
}

std::string FieldBytes(const kura::TField& field, const QString& text) {
    const std::string bytes = field.Cp932Of(text.toStdString());
    if (kura::IsStringType(field.DataType()) && field.Size() > 0 && static_cast<int>(bytes.size()) > field.Size())
        throw kura::EDatabaseError("Field '" + field.DisplayName() + "' holds at most " +
                                   std::to_string(field.Size()) + " bytes");
    return bytes;
}

namespace {

class EditLink : public TDBControlLink {
public:
    EditLink(QLineEdit* edit, kura::TDataSource* source, const std::string& name)
        : TDBControlLink(edit, source, name), edit_(edit) {
        validator_ = new TCp932Validator(0, edit);
        edit->setValidator(validator_);
        QObject::connect(edit, &QLineEdit::textEdited, this, [this] { Changed(); });
        Start();
    }

protected:
    void Show(kura::TField* field) override {
        if (!edit_) return;
        const bool text = field && kura::IsStringType(field->DataType());
        validator_->SetMaxBytes(text ? field->Size() : 0);
        edit_->setText(field ? QStr(field->AsString()) : QString());
        edit_->setReadOnly(field && field->ReadOnly);
    }
    void Store(kura::TField* field) override {
        const QString text = edit_->text();
        if (field->OnSetText) field->SetText(FieldBytes(*field, text));
        else if (text.isEmpty()) field->Clear();
        else field->SetAsString(FieldBytes(*field, text));
    }

private:
    QLineEdit* edit_ = nullptr;
    TCp932Validator* validator_ = nullptr;
};

class MemoLink : public TDBControlLink {
public:
    MemoLink(QPlainTextEdit* memo, kura::TDataSource* source, const std::string& name)
        : TDBControlLink(memo, source, name), memo_(memo) {
        QObject::connect(memo, &QPlainTextEdit::textChanged, this, [this] { Changed(); });
        Start();
    }

protected:
    void Show(kura::TField* field) override {
        if (memo_) memo_->setPlainText(field ? QStr(field->AsString()) : QString());
    }
    void Store(kura::TField* field) override { field->SetAsString(FieldBytes(*field, memo_->toPlainText())); }

private:
    QPlainTextEdit* memo_ = nullptr;
};

class CheckLink : public TDBControlLink {
public:
    CheckLink(QCheckBox* box, kura::TDataSource* source, const std::string& name)
        : TDBControlLink(box, source, name), box_(box) {
        QObject::connect(box, &QCheckBox::clicked, this, [this] { Changed(); });
        Start();
    }

protected:
    void Show(kura::TField* field) override {
        if (!box_) return;
        bool on = false;
        if (field && !field->IsNull())
            on = field->DataType() == kura::ftBoolean ? field->AsBoolean() : field->AsString() != "0";
        box_->setChecked(on);
    }
    void Store(kura::TField* field) override {
        if (field->DataType() == kura::ftBoolean) field->SetAsBoolean(box_->isChecked());
        else field->SetAsString(box_->isChecked() ? "1" : "0");
    }

private:
    QCheckBox* box_ = nullptr;
};

class ComboLink : public TDBControlLink {
public:
    ComboLink(QComboBox* box, kura::TDataSource* source, const std::string& name)
        : TDBControlLink(box, source, name), box_(box) {
        box->setEditable(true);
        validator_ = new TCp932Validator(0, box);
        box->setValidator(validator_);
        QObject::connect(box, &QComboBox::currentTextChanged, this, [this] { Changed(); });
        Start();
    }

protected:
    void Show(kura::TField* field) override {
        if (!box_) return;
        const bool text = field && kura::IsStringType(field->DataType());
        validator_->SetMaxBytes(text ? field->Size() : 0);
        box_->setCurrentText(field ? QStr(field->AsString()) : QString());
    }
    void Store(kura::TField* field) override {
        const QString text = box_->currentText();
        if (text.isEmpty()) field->Clear();
        else field->SetAsString(FieldBytes(*field, text));
    }

private:
    QComboBox* box_ = nullptr;
    TCp932Validator* validator_ = nullptr;
};

}  // namespace

TDBControlLink* BindEdit(QLineEdit* edit, kura::TDataSource* source, const std::string& fieldName) {
    return new EditLink(edit, source, fieldName);
}
TDBControlLink* BindMemo(QPlainTextEdit* memo, kura::TDataSource* source, const std::string& fieldName) {
    return new MemoLink(memo, source, fieldName);
}
TDBControlLink* BindCheckBox(QCheckBox* box, kura::TDataSource* source, const std::string& fieldName) {
    return new CheckLink(box, source, fieldName);
}
TDBControlLink* BindComboBox(QComboBox* box, kura::TDataSource* source, const std::string& fieldName) {
    return new ComboLink(box, source, fieldName);
}

}  // namespace gui

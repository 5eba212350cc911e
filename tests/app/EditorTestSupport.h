#pragma once
// Driving the staff editor and its dialogs headless: actions run on a modal window
// as soon as it shows, texts typed into named controls, and the tables read back.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "app/StaffDaityo.h"
#include "components/KuraQuery.h"
#include "platform/CodePage.h"
#include "platform/dataset/Field.h"
#include "tests/app/AppTestSupport.h"

namespace app::test {

// Runs f on the modal window named name once it is the active modal window.
inline void OnModal(const QString& name, std::function<void(QWidget*)> f) {
    auto* timer = new QTimer;
    timer->setInterval(2);
    QObject::connect(timer, &QTimer::timeout, [timer, name, f] {
        QWidget* w = QApplication::activeModalWidget();
        if (!w || w->objectName() != name || !w->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        f(w);
    });
    timer->start();
}

// Runs f on the modal window named name each time it is the active modal window, for
// as long as the returned timer lives.
inline std::unique_ptr<QTimer> WhileModal(const QString& name, std::function<void(QDialog*)> f) {
    auto timer = std::make_unique<QTimer>();
    timer->setInterval(2);
    QObject::connect(timer.get(), &QTimer::timeout, [name, f] {
        auto* w = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (w && w->objectName() == name && w->isVisible()) f(w);
    });
    timer->start();
    return timer;
}

// Answers every password dialog that shows with what typed() gives (an empty text
// cancels it), counting them in asked, for as long as the returned timer lives.
inline std::unique_ptr<QTimer> AnswerPasswords(std::function<QString()> typed, int& asked) {
    return WhileModal("KuraPasswordDialog", [typed, &asked](QDialog* d) {
        ++asked;
        const QString text = typed();
        if (text.isEmpty()) return d->reject();
        d->findChild<QLineEdit*>("Edit")->setText(text);
        d->findChild<QPushButton*>("OKButton")->click();
    });
}

template <class T>
T* Child(QWidget* w, const char* name) {
    T* c = w->findChild<T*>(name);
    EXPECT_NE(c, nullptr) << name;
    return c;
}

// Types text into the edit and leaves it.
inline void Type(QWidget* w, const char* name, const QString& text) {
    auto* e = Child<QLineEdit>(w, name);
    if (!e) return;
    gui::Guarded([&] {
        e->setText(text);
        Q_EMIT e->textEdited(text);
        Q_EMIT e->editingFinished();
    });
}

// Clicks the button as the user would: an error of its handler is shown (the message
// hook sees it) and ends only the handler.
inline void Click(QWidget* w, const char* name) {
    if (auto* b = Child<QAbstractButton>(w, name)) gui::Guarded([b] { b->click(); });
}

// The first column of each row of a SELECT.
inline std::vector<std::string> Column(const std::string& sql) {
    kura::TKuraQuery q;
    q.SetDatabaseName("DataDB");
    q.SetSessionName("MySession");
    q.SetSQL(sql);
    q.Open();
    std::vector<std::string> out;
    for (; !q.Eof(); q.Next()) out.push_back(platform::Cp932ToUtf8(q.Fields(0)->AsString()));
    return out;
}

// Runs a statement that changes data.
inline void Exec(const std::string& sql) {
    kura::TKuraQuery q;
    q.SetDatabaseName("DataDB");
    q.SetSessionName("MySession");
    q.SetSQL(sql);
    q.ExecSQL();
}

class EditorTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        StartMain();
        ASSERT_TRUE(messages.isEmpty()) << messages.join("\n").toStdString();
    }
    // Adds an employee through the editor.
    void AddStaff(int code, const char* name) {
        OnModal("FstaffDaityo", [&](QWidget* w) {
            Type(w, "KeyEDT", QString::number(code));
            Type(w, "SimeiEDT", QString::fromUtf8(name));
            Click(w, "OkBTN");
        });
        ASSERT_EQ(OpenStaffEditor(std::nullopt), gui::mrOk) << messages.join("\n").toStdString();
    }
};

}  // namespace app::test

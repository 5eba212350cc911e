#pragma once
// Employees for the main window's tests, written through the data module's Staff
// table, and what the tests expect of them.
#include <optional>
#include <string>
#include <vector>

#include "app/DMdata.h"
#include "app/DateText.h"
#include "components/KuraTable.h"
#include "platform/dataset/Field.h"

namespace app::test {

struct Employee {
    int code;
    std::string name;  // UTF-8
    std::string kana;
    std::optional<std::string> bu;  // no value: no department
    int birthYear;
    std::optional<int> retiredYear;
    std::optional<int> rent;
};

// Six employees in three departments and one without, two of them retired.
inline std::vector<Employee> SampleStaff() {
    return {
        {3, "山田太郎", "やまだたろう", "営業部", 1970, std::nullopt, 45000},
        {1, "佐藤花子", "さとうはなこ", "総務部", 1985, 2019, std::nullopt},
        {7, "鈴木一郎", "すずきいちろう", "営業部", 1990, std::nullopt, 52000},
        {2, "高橋次郎", "たかはしじろう", "製造部", 1962, 2020, 30000},
        {5, "田中美咲", "たなかみさき", "営業部", 2001, std::nullopt, std::nullopt},
        {4, "伊藤誠", "いとうまこと", std::nullopt, 1979, std::nullopt, 61000},
    };
}

inline void AddEmployee(const Employee& e) {
    kura::TKuraTable& t = *DMdata->Tstaff;
    if (!t.Active()) t.Open();
    t.Append();
    t.FieldByName("StaffCD")->SetAsInteger(e.code);
    t.FieldByName("Simei")->SetAsUtf8(e.name);
    t.FieldByName("Furigana")->SetAsUtf8(e.kana);
    if (e.bu) t.FieldByName("Bu")->SetAsUtf8(*e.bu);
    t.FieldByName("SeinenYMD")->SetAsDateTime(EncodeDate(e.birthYear, 4, 1));
    if (e.retiredYear) t.FieldByName("TaisyokuYMD")->SetAsDateTime(EncodeDate(*e.retiredYear, 3, 31));
    if (e.rent) t.FieldByName("Yatin")->SetAsInteger(*e.rent);
    t.Post();
}

inline void AddEmployees(const std::vector<Employee>& staff) {
    for (const Employee& e : staff) AddEmployee(e);
}

}  // namespace app::test

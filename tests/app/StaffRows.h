#pragma once
// Staff rows "N1", "N2", ... for the window tests, written through the data module.
#include <string>

#include "app/DMdata.h"
#include "components/KuraTable.h"
#include "platform/dataset/Field.h"

namespace app::test {

inline void AddStaffRows(int count) {
    kura::TKuraTable& t = *DMdata->Tstaff;
    t.Open();
    for (int code = 1; code <= count; ++code) {
        t.Append();
        t.FieldByName("StaffCD")->SetAsInteger(code);
        t.FieldByName("Simei")->SetAsString("N" + std::to_string(code));
        t.Post();
    }
}

}  // namespace app::test

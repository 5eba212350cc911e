#pragma once
// The worker register: one A4 page per employee of Qstaff, with the particulars, the
// two guarantors, the dates of employment, the education and career history (from
// Qgakureki, which follows Qstaff), the job duties, the remarks and the photograph.
//
// The caller sets Qstaff's text to the chosen employees ordered by StaffCD, opens it
// and shows the form; the form previews at once and can print. Text that does not fit
// its frame is clipped, never carried to another page, so each employee is exactly one
// page.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/ReportDataSet.h"
#include "report/BaseLRep.h"
#include "report/Items.h"
#include "report/Panels.h"

namespace kura {
class TKuraQuery;
class TDataSource;
}  // namespace kura

namespace app {

class TLRstaffSheet : public report::TBaseLRep {
public:
    explicit TLRstaffSheet(QWidget* parent = nullptr);
    ~TLRstaffSheet() override;

    kura::TKuraQuery* Qstaff;
    kura::TKuraQuery* Qgakureki;
    report::TLRLayoutPanel* LRLayoutPanel1;
    report::TLRImage* photo;
    report::TLRVariableText *VText1, *VText2, *VText3, *VText4;

    // The item named after a column (or "Hizuke"); nullptr when there is none.
    report::TLRItem* Item(const std::string& name) const;
    void FormShow();

protected:
    void showEvent(QShowEvent* event) override;

private:
    report::TLRItem* AddItem(const char* name, int x, int y, int w, int h, const char* lines, int fontHeight = 0);
    void AddLabel(const char* utf8, int x, int y, int w, int h, const char* lines, report::TAlignment align);
    report::TLRVariableText* AddVText(const char* name, int x, int y, int w, int h);
    void BuildLayout();
    void FillPage();
    // Appends the lines of a memo column from line position from on.
    void AppendMemo(report::TLRVariableText& target, const char* column, int from);

    std::unique_ptr<kura::TDataSource> dsStaff_;
    TReportDataSetAdapter staffData_;
    std::map<std::string, report::TLRItem*> columns_;
    std::vector<std::string> dateColumns_;
    int gyomuLine_ = 0;
    int bikoLine_ = 0;
    bool shown_ = false;
};

}  // namespace app

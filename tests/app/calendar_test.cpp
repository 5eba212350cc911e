// The date picker and the era texts: stepping by month and year with the day clamped,
// the month panels, the era year of a date on both sides of an era's first day.
#include <QDate>

#include "app/Calendar.h"
#include "app/DateText.h"
#include "app/Wareki.h"
#include "tests/app/AppTestSupport.h"

namespace app::test {
namespace {

class Picker : public AppTest {
protected:
    // A picker opened on the date.
    TFcalendar& Open(int y, int m, int d) {
        if (!picker) picker = std::make_unique<TFcalendar>();
        F().Date = y == 0 ? 0 : EncodeDate(y, m, d);
        F().FormShow();
        return F();
    }
    std::string Chosen() const { return FormatDate(F().Date); }
    std::unique_ptr<TFcalendar> picker;
    TFcalendar& F() const { return *picker; }
};

TEST_F(Picker, StepsClampTheDayToTheTargetMonth) {
    struct Case {
        int y, m, d;
        void (TFcalendar::*step)();
        const char* expected;
    };
    const Case cases[] = {
        {2007, 1, 31, &TFcalendar::TukiUpBTNClick, "2007/02/28"},
        {2008, 1, 31, &TFcalendar::TukiUpBTNClick, "2008/02/29"},
        {2008, 2, 29, &TFcalendar::NenUpBTNClick, "2009/02/28"},
        {2008, 2, 29, &TFcalendar::NenDownBTNClick, "2007/02/28"},
        {2008, 3, 31, &TFcalendar::TukiDownBTNClick, "2008/02/29"},
        {2008, 1, 15, &TFcalendar::TukiDownBTNClick, "2007/12/15"},
        {2008, 12, 15, &TFcalendar::TukiUpBTNClick, "2009/01/15"},
    };
    for (const Case& c : cases) {
        (Open(c.y, c.m, c.d).*c.step)();
        EXPECT_EQ(Chosen(), c.expected) << c.y << "/" << c.m << "/" << c.d;
    }
}

TEST_F(Picker, ShowsTheEraYearAndMonthAndTheMonthPanels) {
    Open(1998, 4, 10);
    EXPECT_EQ(F().wareki->text(), QString::fromUtf8("平成10年（1998）"));
    EXPECT_EQ(F().Tuki->text(), QString::fromUtf8("4月"));
    EXPECT_EQ(F().Panels[3]->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(F().Panels[0]->frameShadow(), QFrame::Raised);
    F().PanelClick(4);
    EXPECT_EQ(Chosen(), "1998/04/10");
    F().PanelClick(11);
    EXPECT_EQ(Chosen(), "1998/11/10");
    EXPECT_EQ(F().Panels[10]->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(F().Panels[3]->frameShadow(), QFrame::Raised);
    EXPECT_EQ(F().findChild<QWidget*>("NenUpBTN")->toolTip(), QString::fromUtf8("次年"));
}

TEST_F(Picker, ANullDateStartsFromToday) {
    auto encode = [](const QDate& d) { return EncodeDate(d.year(), d.month(), d.day()); };
    const QDate before = QDate::currentDate();
    Open(0, 0, 0);
    const QDate after = QDate::currentDate();
    // Opened across midnight, either day was today.
    EXPECT_TRUE(F().Date == encode(before) || F().Date == encode(after)) << Chosen();
}

TEST(EraText, FormatsEraLettersNamesAndYears) {
    struct Case {
        int y, m, d;
        const char* format;
        const char* expected;
    };
    const Case cases[] = {
        {1965, 1, 1, "gee", "昭40"},      {1989, 1, 7, "gggee", "昭和64"},  {1989, 1, 8, "gggee", "平成01"},
        {2006, 4, 1, "g ee", "平 18"},    {2019, 4, 30, "gee", "平31"},     {2019, 5, 1, "gee", "令01"},
        {1926, 12, 24, "gee", "大15"},    {1926, 12, 25, "gee", "昭01"},    {1912, 7, 30, "gee", "大01"},
        {2005, 12, 22, "yyyy/m/d", "2005/12/22"}, {2006, 4, 1, "gee/mm/dd", "平18/04/01"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(FormatDateTime(c.format, EncodeDate(c.y, c.m, c.d)), c.expected) << c.format;
}

}  // namespace
}  // namespace app::test

// The overview tab: head count per department as a grid and a pie chart, and the
// total head count. Its queries have no WHERE: retired staff count too.
#include <QChartView>
#include <QHorizontalBarSeries>
#include <QLabel>
#include <QPieSeries>
#include <QRadioButton>
#include <algorithm>

#include "app/DBGridEx.h"
#include "app/MainWindow.h"
#include "app/Schema.h"
#include "app/ThousandsFormat.h"
#include "components/KuraQuery.h"
#include "platform/dataset/Field.h"
#include "platform/gui/Color.h"
#include "platform/gui/Text.h"

namespace app {

using gui::U8;

namespace {

// The automatic colours of the slices, in turn: the classic chart palette.
constexpr gui::TColor SliceColors[] = {0x0000FF, 0x008000, 0x00FFFF, 0xFF0000, 0x808080, 0xFF00FF, 0x808000,
                                       0x800000, 0x000080, 0x00FF00, 0x008080, 0x800080, 0xC0C0C0, 0xFFFF00};

struct Slice {
    double value;
    QString label;
};

void ShowSlice(QPieSlice* slice, const Slice& from, std::size_t index) {
    slice->setLabel(from.label);
    slice->setValue(from.value);
    slice->setColor(gui::ToQColor(SliceColors[index % std::size(SliceColors)]));
    slice->setBorderColor(Qt::black);
    // The employees with no department have a slice but no name: no label, or its
    // leader line would point at nothing.
    slice->setLabelVisible(!from.label.isEmpty());
}

// The pie shows exactly these slices. The departments rarely change between two
// refreshes: the slices there are given their new values and names (building a
// slice's drawing costs far more than changing it); only a different count builds
// the pie anew, all its slices in one go.
void FillPie(QPieSeries& pie, const std::vector<Slice>& slices) {
    if (static_cast<std::size_t>(pie.count()) != slices.size()) {
        pie.clear();
        QList<QPieSlice*> fresh;
        for (std::size_t i = 0; i < slices.size(); ++i) {
            fresh.append(new QPieSlice);
            ShowSlice(fresh.back(), slices[i], i);
        }
        pie.append(fresh);
        return;
    }
    const QList<QPieSlice*> shown = pie.slices();
    for (std::size_t i = 0; i < slices.size(); ++i) ShowSlice(shown[static_cast<qsizetype>(i)], slices[i], i);
}

}  // namespace

void TFmain::RefreshJyokyo() {
    Qjyokyo->Close();
    std::vector<std::string> lines;
    if (BuRB->isChecked())
        lines = {"SELECT Bu as Komoku, Count(*) AS Kensu FROM STAFF", " GROUP BY Komoku", " ORDER BY Kensu DESC"};
    Qjyokyo->SetSQL(JoinLines(lines));
    Qjyokyo->Open();
    Qjyokyo->FieldByName("Komoku")->DisplayLabel = gui::Cp932(U8("部"));
    JyokyoGrid->Reload();

    // Only the pie shows; the bar series stays in the chart, inactive.
    Chart1->setToolTip({});
    Series1->setVisible(true);
    Series2->setVisible(false);
    std::vector<Slice> slices;
    kura::TField* komoku = Qjyokyo->FieldByName("Komoku");
    kura::TField* kensu = Qjyokyo->FieldByName("Kensu");
    Qjyokyo->DisableControls();
    try {
        Qjyokyo->First();
        const int count = Qjyokyo->RecordCount();
        for (int i = 0; i < count && !Qjyokyo->Eof(); ++i) {
            slices.push_back({kensu->AsFloat(), gui::QStr(komoku->AsString())});
            Qjyokyo->Next();
        }
        Qjyokyo->First();
    } catch (...) {
        Qjyokyo->EnableControls();
        throw;
    }
    Qjyokyo->EnableControls();
    // The pie keeps its values in ascending order, whatever order they came in.
    std::stable_sort(slices.begin(), slices.end(), [](const Slice& a, const Slice& b) { return a.value < b.value; });
    FillPie(*Series1, slices);
    Query1->Close();
    Query1->SetSQL(JoinLines({"SELECT COUNT(*) AS CNT FROM STAFF"}));
    Query1->Open();
    const int64_t total = Query1->FieldByName("CNT")->AsLargeInt();
    JyokyoLBL->setText(U8("人数：") + QString::fromStdString(FormatThousands(total)) + U8(" 人"));
}

void TFmain::BuRBClick() { RefreshJyokyo(); }

}  // namespace app

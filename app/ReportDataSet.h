#pragma once
// Lets a report walk a data set of the program: the report opens it, moves to its
// first record (the first one passing the filter when it is filtered) and steps
// forward until its end; the data set itself stays owned by the caller.
#include "platform/dataset/DataSet.h"
#include "report/DataSource.h"

namespace app {

class TReportDataSetAdapter : public report::TReportDataSet {
public:
    explicit TReportDataSetAdapter(kura::TDataSet& dataSet) : dataSet_(dataSet) {}
    bool Active() const override { return dataSet_.Active(); }
    void Open() override { dataSet_.Open(); }
    bool Filtered() const override { return dataSet_.Filtered(); }
    bool FindFirst() override { return dataSet_.FindFirst(); }
    void First() override { dataSet_.First(); }
    void Next() override { dataSet_.Next(); }
    bool Eof() const override { return dataSet_.Eof(); }

private:
    kura::TDataSet& dataSet_;
};

}  // namespace app

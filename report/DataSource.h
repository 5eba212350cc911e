#pragma once
// What a report form needs of its data: a data set that is opened, positioned at its
// first record (by FindFirst when it is filtered) and read to its end; the report's own
// print events move it forward. The application adapts its data sets to this.
namespace report {

class TReportDataSet {
public:
    virtual ~TReportDataSet() = default;
    virtual bool Active() const = 0;
    virtual void Open() = 0;
    virtual bool Filtered() const = 0;
    // Positions on the first record that passes the filter; false when there is none.
    virtual bool FindFirst() = 0;
    virtual void First() = 0;
    virtual void Next() = 0;
    virtual bool Eof() const = 0;
};

struct TDataSource {
    TReportDataSet* DataSet = nullptr;
};

}  // namespace report

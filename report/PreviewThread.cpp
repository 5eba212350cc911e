#include "report/PreviewThread.h"

#include "report/BaseLRep.h"

namespace report {

TLRPreviewThread::TLRPreviewThread(TBaseLRep* form, int zoom) : TThread(true), form_(form), zoom_(zoom) {}

TLRPreviewThread::~TLRPreviewThread() { Shutdown(); }

void TLRPreviewThread::CheckEnd() { end_ = form_->IsReportEnd(); }

void TLRPreviewThread::Execute() {
    // end_ and finishedNormally_ are handed between the threads by Synchronize, which
    // orders them through its lock.
    if (!Synchronize([this] { CheckEnd(); })) return;
    while (!end_ && !Terminated()) {
        if (!Synchronize([this] {
                form_->DrawPages(zoom_);
                CheckEnd();
            }))
            return;
    }
    finishedNormally_ = !Terminated();
}

}  // namespace report

#pragma once
// The thread that keeps a preview going after its first sheet. It only paces: every
// check and every sheet runs on the GUI thread through Synchronize, so it shares no
// state with the form except through those calls. The form owns it and shuts it down
// (which cancels a waiting call and joins) before the form's parts are destroyed.
#include "platform/print/Thread.h"

namespace report {

class TBaseLRep;

class TLRPreviewThread : public platform::TThread {
public:
    TLRPreviewThread(TBaseLRep* form, int zoom);
    ~TLRPreviewThread() override;
    bool FinishedNormally() const { return finishedNormally_; }

protected:
    void Execute() override;

private:
    void CheckEnd();

    TBaseLRep* form_;
    int zoom_;
    bool end_ = false;
    bool finishedNormally_ = false;
};

}  // namespace report

#pragma once
// The class library's thread class over std::thread.
//
// Contract:
// - A thread created suspended starts running Execute at the first Resume.
// - Synchronize runs a call on the GUI thread (the thread of the Qt application object)
//   and blocks until it has run. Called on the GUI thread it runs at once.
// - Suspend is a request: the thread stops at its next Synchronize (or CheckSuspended)
//   until Resume. Terminate is a request that Execute sees through Terminated().
// - OnTerminate runs on the GUI thread after Execute returns.
// - Shutdown (which the owner must call before it frees whatever Execute uses, and which
//   the destructor calls) terminates, resumes, cancels a Synchronize that waits for the
//   GUI thread and joins. It never waits for the GUI thread, so a window may shut its
//   thread down from its own destructor, inside the event loop, without a deadlock; a
//   cancelled call never runs and Synchronize returns false for it.
// - An exception thrown by Execute ends the thread and is kept in FatalException.
#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace platform {

class TThread {
public:
    explicit TThread(bool createSuspended);
    virtual ~TThread();
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;

    void Resume();
    void Suspend();
    void Terminate();
    bool Terminated() const;
    bool Suspended() const;
    bool Finished() const;
    void Shutdown();

    std::function<void()> OnTerminate;
    std::exception_ptr FatalException;

protected:
    virtual void Execute() = 0;
    // Runs call on the GUI thread; false when the call was cancelled by Shutdown.
    bool Synchronize(const std::function<void()>& call);
    // Waits while the thread is suspended; false when it is being shut down.
    bool CheckSuspended();

private:
    struct SyncState;
    void Run();

    std::shared_ptr<SyncState> sync_;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable resumed_;
    bool started_ = false;
    bool suspended_ = false;
    bool terminated_ = false;
    bool finished_ = false;
    bool shuttingDown_ = false;
};

}  // namespace platform

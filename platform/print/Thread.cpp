#include "platform/print/Thread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>

namespace platform {

namespace {

struct Job {
    std::function<void()> call;
    bool done = false;
    std::exception_ptr error;
};

bool OnGuiThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return !app || QThread::currentThread() == app->thread();
}

}  // namespace

// Shared with the calls queued on the GUI thread, which may outlive the thread object.
struct TThread::SyncState {
    std::mutex mutex;
    std::condition_variable changed;
    bool cancelled = false;
};

TThread::TThread(bool createSuspended) : sync_(std::make_shared<SyncState>()) {
    if (!createSuspended) Resume();
}

TThread::~TThread() { Shutdown(); }

void TThread::Resume() {
    std::lock_guard lock(mutex_);
    if (shuttingDown_) return;
    suspended_ = false;
    if (!started_) {
        started_ = true;
        thread_ = std::thread(&TThread::Run, this);
    }
    resumed_.notify_all();
}

void TThread::Suspend() {
    std::lock_guard lock(mutex_);
    if (!shuttingDown_) suspended_ = true;
}

void TThread::Terminate() {
    std::lock_guard lock(mutex_);
    terminated_ = true;
}

bool TThread::Terminated() const {
    std::lock_guard lock(mutex_);
    return terminated_;
}

bool TThread::Suspended() const {
    std::lock_guard lock(mutex_);
    return suspended_ || !started_;
}

bool TThread::Finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

bool TThread::CheckSuspended() {
    std::unique_lock lock(mutex_);
    resumed_.wait(lock, [this] { return !suspended_ || shuttingDown_; });
    return !shuttingDown_;
}

bool TThread::Synchronize(const std::function<void()>& call) {
    if (OnGuiThread()) {
        call();
        return true;
    }
    if (!CheckSuspended()) return false;
    auto state = sync_;
    auto job = std::make_shared<Job>();
    job->call = call;
    {
        std::lock_guard lock(state->mutex);
        if (state->cancelled) return false;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [state, job] {
            {
                std::lock_guard lock(state->mutex);
                if (state->cancelled) return;
            }
            try {
                job->call();
            } catch (...) {
                job->error = std::current_exception();
            }
            std::lock_guard lock(state->mutex);
            job->done = true;
            state->changed.notify_all();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(state->mutex);
    state->changed.wait(lock, [&] { return job->done || state->cancelled; });
    if (!job->done) return false;
    if (job->error) std::rethrow_exception(job->error);
    return true;
}

void TThread::Run() {
    if (CheckSuspended()) {
        try {
            Execute();
        } catch (...) {
            FatalException = std::current_exception();
        }
    }
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    if (OnTerminate) {
        try {
            Synchronize(OnTerminate);
        } catch (...) {
            if (!FatalException) FatalException = std::current_exception();
        }
    }
}

void TThread::Shutdown() {
    {
        std::lock_guard lock(mutex_);
        terminated_ = true;
        shuttingDown_ = true;
        suspended_ = false;
        resumed_.notify_all();
    }
    {
        std::lock_guard lock(sync_->mutex);
        sync_->cancelled = true;
        sync_->changed.notify_all();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

}  // namespace platform

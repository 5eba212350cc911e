// The process-wide session list: the sessions in order of creation (the first is
// the default session), auto-session numbers and the engine-wide critical section.
#include <algorithm>

#include "components/KuraMessages.h"
#include "components/KuraSession.h"
#include "components/KuraSessionGlobals.h"
#include "platform/dataset/DatabaseError.h"
#include "platform/dataset/FieldDefs.h"

namespace kura {

namespace detail {
TKuraSessionList* gSessions = nullptr;
TKuraSession* gDefault = nullptr;
}  // namespace detail

using detail::gDefault;
using detail::gSessions;

// ---- the list --------------------------------------------------------------------------

TKuraSessionList& Sessions() {
    if (!gSessions) {
        gSessions = new TKuraSessionList();
        gDefault = new TKuraSession(nullptr);
        gDefault->SetSessionName("Default");
    }
    return *gSessions;
}

TKuraSession& Session() {
    Sessions();
    return *gDefault;
}

void DoneSessions() {
    TKuraSessionList* list = gSessions;
    if (!list) return;
    delete list;
    gSessions = nullptr;
    gDefault = nullptr;
}

TKuraSessionList::~TKuraSessionList() { CloseAll(); }

void TKuraSessionList::AddSession(TKuraSession* s) {
    std::lock_guard guard(listLock_);
    if (sessions_.empty()) s->MarkDefault();
    sessions_.push_back(s);
}

void TKuraSessionList::RemoveSession(TKuraSession* s) {
    std::lock_guard guard(listLock_);
    sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), s), sessions_.end());
}

TKuraSession* TKuraSessionList::FindSession(const std::string& name) {
    std::lock_guard guard(listLock_);
    if (name.empty()) return gDefault;
    for (TKuraSession* s : sessions_)
        if (SameText(s->SessionName(), name)) return s;
    return nullptr;
}

TKuraSession* TKuraSessionList::GetSession(const std::string& name) {
    TKuraSession* s = FindSession(name);
    if (!s) DatabaseErrorFmt(msg::InvalidSessionName, name);
    return s;
}

void TKuraSessionList::CloseAll() {
    std::lock_guard guard(listLock_);
    while (!sessions_.empty()) delete sessions_.back();  // each removes itself
}

int TKuraSessionList::Count() {
    std::lock_guard guard(listLock_);
    return static_cast<int>(sessions_.size());
}

TKuraSession* TKuraSessionList::operator[](int i) {
    std::lock_guard guard(listLock_);
    return sessions_.at(static_cast<std::size_t>(i));
}

int32_t TKuraSessionList::TakeAutoSessionNumber() {
    platform::CriticalSectionLock lock(engineLock_);
    for (std::size_t i = 0; i < sessionNumbers_.size(); ++i)
        if (!sessionNumbers_[i]) {
            sessionNumbers_[i] = true;
            return static_cast<int32_t>(i);
        }
    sessionNumbers_.push_back(true);
    return static_cast<int32_t>(sessionNumbers_.size() - 1);
}

void TKuraSessionList::ReleaseAutoSessionNumber(int32_t n) {
    platform::CriticalSectionLock lock(engineLock_);
    if (n >= 0 && static_cast<std::size_t>(n) < sessionNumbers_.size()) sessionNumbers_[static_cast<std::size_t>(n)] = false;
}

}  // namespace kura

#pragma once
// The process-wide session list and default session, shared by the session and
// session-list sources only. Everyone else reaches them through Sessions() and
// Session().
namespace kura {
class TKuraSessionList;
class TKuraSession;
namespace detail {
extern TKuraSessionList* gSessions;  // nullptr until first use and after DoneSessions
extern TKuraSession* gDefault;
}  // namespace detail
}  // namespace kura

// A client's passes on the thread that serves it: queued requests, data changes, events.
#include "server/OPCServer.h"
#include "core/OPCServerApp.h"
#include "group/OPCGroup.h"
#include "ae/COPCEventSubscription.h"
#include "base/CallOut.h"
#include "base/Trace.h"

namespace qv {

void OPCServer::dispatchPass()
{
    std::vector<std::shared_ptr<OPCGroup>> snapshot;
    {
        LockGuard g(App().globalLock);
        snapshot = groups;
    }
    for (auto& grp : snapshot) {
        if (leavingPass()) return;
        grp->dispatchQueue();
    }
}

void OPCServer::dataChangePass(DWORD ticks)
{
    std::vector<std::shared_ptr<OPCGroup>> snapshot;
    {
        LockGuard g(App().globalLock);
        snapshot = groups;
    }
    for (auto& grp : snapshot) {
        if (leavingPass()) return;
        grp->scan(false, ticks);
        grp->keepAlivePass(ticks);
    }
}

void OPCServer::eventPass()
{
    std::vector<std::shared_ptr<COPCEventSubscription>> due;
    {
        OPCServerApp& app = App();
        LockGuard g(app.globalLock);
        takenTo_.store(app.eventJournal.end());
        hasSubscriptions_.store(!subscriptions.empty());
        for (auto& sub : subscriptions) sub->takeEvents(app.eventJournal);
        releaseTakenEvents();
        try {
            for (auto& sub : subscriptions)
                if (sub->hasPendingEvents()) due.push_back(sub);
        } catch (const std::bad_alloc&) {
            // what was not taken stays queued for the next round
        }
    }
    bool more = false;
    for (auto& sub : due)
        if (!leavingPass()) more = sub->deliverPendingEvents() || more;
    // The rest goes in the next round, after the data that is due by then.
    if (more) wake();
}

bool OPCServer::leaveIdle()
{
    if (!eventIdle_.exchange(false)) return false;
    --App().idleEventWorkers;
    return true;
}

bool OPCServer::readyToWait()
{
    OPCServerApp& app = App();
    // Without subscriptions the ticks are enough (a new subscription wakes the worker).
    if (app.passesOnHostThread.load() || disconnected() || !hasSubscriptions_.load()) return true;
    if (!eventIdle_.exchange(true)) ++app.idleEventWorkers;
    // Pairs with broadcastEvent: either this sees the new end of the journal or the raiser
    // sees this worker idle.
    if (app.eventJournal.end() == takenTo_.load()) return true;
    leaveIdle();
    return false;
}

namespace {

// Every pass of a worker (or of the caller timer) runs through here: a pass that runs out of
// memory is skipped, and the thread and the server go on.
template <typename Run>
void guarded(const char* pass, Run&& run)
{
    try {
        run();
    } catch (...) {
        QV_TRACE(trace::kErrors, "%s pass skipped: out of memory", pass);
    }
}

} // namespace

void OPCServer::serveShutdownOnly() { guarded("shutdown request", [&] { serveShutdownRequest(); }); }

void OPCServer::serve(DWORD ticks)
{
    guarded("shutdown request", [&] { serveShutdownRequest(); });
    // A stopping server runs no more passes: its clients hear ShutdownRequest and nothing else.
    if (!leavingPass()) {
        if (ticks) guarded("dispatch", [&] { dispatchPass(); });
        guarded("event", [&] { eventPass(); });
        if (ticks) guarded("data change", [&] { dataChangePass(ticks); });
        if (!leavingPass()) guarded("liveness", [&] { livenessCheck(); });
    }
    // A stop asked during the passes: its request goes before any further call.
    guarded("shutdown request", [&] { serveShutdownRequest(); });
    if (disconnected()) guarded("reclaim", [&] { reclaim(); });
}

} // namespace qv

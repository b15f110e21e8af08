// Liveness and reclaim: what calls into a client say about it, the watch on a local client's
// process, the probe of a silent remote one, and the reclaiming of a client that is gone.
#include "server/OPCServer.h"
#include "core/OPCServerApp.h"
#include "group/OPCGroup.h"
#include "ae/COPCEventSubscription.h"
#include "base/CallOut.h"
#include "base/Trace.h"
#include <rpcdcep.h>

namespace qv {

void OPCServer::noteClientProcess()
{
    unsigned long pid = 0;
    // Taken here, on the client's own call: no later thread (a worker) knows who called.
    clientAccount = callerAccount();
    // The process at the other end of the current call; fails outside a local RPC call.
    if (I_RpcBindingInqLocalClientPID(nullptr, &pid) != RPC_S_OK || pid == 0) return;
    clientPid = pid;
    // A local caller's process runs as the caller (COM under Wine tells no account).
    if (clientAccount.empty()) clientAccount = processAccount(pid);
    if (pid == GetCurrentProcessId()) return;
    // A handle (not the id) keeps the identity: an id may be reused by a later process.
    clientProcess_ = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!clientProcess_) {
        const DWORD error = GetLastError();
        QV_TRACE(trace::kConnections, "%s: its process %lu cannot be watched (OpenProcess error %lu): judged "
                 "as a remote client, reclaimed after %lu s of failed calls", traceName().c_str(), pid,
                 static_cast<unsigned long>(error), static_cast<unsigned long>(unreachableGraceMs() / 1000));
    }
}

void OPCServer::noteReachable()
{
    lastReached_ = GetTickCount();
    unreachableSince_ = 0;
}

void OPCServer::noteUnreachable(HRESULT why)
{
    const DWORD now = GetTickCount() | 1; // never 0: 0 means no streak
    DWORD since = 0;
    if (unreachableSince_.compare_exchange_strong(since, now)) return; // the streak begins
    if (now - since < unreachableGraceMs()) return;
    // A local client whose process lives is busy, not dead (a single-threaded client in a
    // modal dialog rejects calls for as long as the dialog is open): it keeps its groups.
    if (clientProcess_ && WaitForSingleObject(clientProcess_, 0) == WAIT_TIMEOUT) return;
    markDisconnected(why, unreachableGraceMs() == kUnreachableGraceMs ? "every call into it failed for 30 s"
                                                                       : "every call into it failed for the test's grace");
}

namespace {

// For a remote client: an interface no client implements. Asking for it travels to the
// client's machine (a proxy caches only what it found), so the answer tells whether the
// process still lives. (Wine's proxies answer such a question locally: there a local
// client's process handle does the job.)
const IID kLivenessProbeIid = {0x5d0a1f3e, 0x7c41, 0x4b8e, {0x9a, 0x62, 0x31, 0xe4, 0x0b, 0x7d, 0xc5, 0x18}};
constexpr DWORD kSilenceBeforeProbeMs = 10000;

} // namespace

void OPCServer::livenessCheck()
{
    // A local client: its process handle says at once whether it is gone.
    if (clientProcess_) {
        if (WaitForSingleObject(clientProcess_, 0) == WAIT_OBJECT_0)
            markDisconnected(HRESULT_FROM_WIN32(RPC_S_SERVER_UNAVAILABLE), "its process ended");
        return;
    }
    const DWORD now = GetTickCount();
    if (now - lastReached_.load() < kSilenceBeforeProbeMs) return;
    lastReached_ = now; // one probe per silent period, reachable or not
    ComPtr<IUnknown> object = anyClientObject();
    if (!object) return;
    ComPtr<IUnknown> none;
    const HRESULT hr =
        callClient([&] { return object->QueryInterface(kLivenessProbeIid, reinterpret_cast<void**>(none.put())); });
    QV_TRACE(trace::kConnections, "%s probed: 0x%08lx", traceName().c_str(), static_cast<unsigned long>(hr));
    if (unreachableSince_.load()) noteUnreachable(RPC_E_TIMEOUT); // a failing streak is judged here too
}

ComPtr<IUnknown> OPCServer::anyClientObject()
{
    if (ConnectionContainer<IOPCShutdown>* c = shutdownContainer())
        if (ComPtr<IOPCShutdown> s = c->point().sink()) return ComPtr<IUnknown>(s.get(), true);
    std::vector<std::shared_ptr<OPCGroup>> snapshot;
    {
        LockGuard g(App().globalLock);
        snapshot = groups;
    }
    for (auto& grp : snapshot)
        if (ComPtr<IUnknown> o = grp->anyClientObject()) return o;
    return ComPtr<IUnknown>();
}

void OPCServer::markDisconnected(HRESULT why, const char* reason)
{
    const char* none = nullptr;
    if (reclaimReason_.compare_exchange_strong(none, reason)) reclaimCode_ = why;
    if (!disconnected_.exchange(true)) wake();
}

void OPCServer::reclaim()
{
    if (reclaimed_.exchange(true)) return;
    disconnected_ = true;
    OPCServerApp& app = App();
    const HRESULT code = reclaimCode_.load();
    QV_TRACE(trace::kConnections, "%s reclaimed: %s (0x%08lX %s)", traceName().c_str(),
             reclaimReason_.load() ? reclaimReason_.load() : "disconnected", static_cast<unsigned long>(code),
             trace::codeText(code).c_str());
    app.removeClient(this, "reclaimed"); // the client count drops and the host hears of it
    std::vector<std::shared_ptr<OPCGroup>> oldGroups;
    std::vector<std::shared_ptr<COPCEventSubscription>> oldSubs;
    {
        LockGuard g(app.globalLock);
        oldGroups.swap(groups);
        oldSubs.swap(subscriptions);
    }
    for (auto& grp : oldGroups) grp->destroy(); // items, queue and sinks go; the interface objects stay
    destroySubscriptions(oldSubs);
    for (auto& p : itf_)
        if (p) p->dropSinks();
    // Every object handed to the client (groups, also removed ones it still held,
    // subscriptions, enumerators, points and containers) lets go of what the dead process's
    // stubs held: enumerators holding this server and its groups are freed with them.
    clientObjects()->disconnectAll();
    oldGroups.clear();
    oldSubs.clear();
    CoDisconnectObject(static_cast<IUnknown*>(this), 0);
}

} // namespace qv

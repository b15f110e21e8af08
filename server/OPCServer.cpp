#include "server/OPCServer.h"
#include "runtime/OPCServerApp.h"
#include "group/OPCGroup.h"
#include "ae/COPCEventSubscription.h"
#include "base/CallOut.h"
#include "base/Trace.h"
#include <rpcdcep.h>

namespace qv {

std::shared_ptr<OPCServer> OPCServer::create()
{
    try {
        return std::make_shared<OPCServer>();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

namespace {
std::atomic<LONG> g_liveServers{0};
std::atomic<DWORD> g_clientNumbers{0}; // the trace's client numbers, from 1
}

OPCServer::OPCServer()
{
    clientNumber = ++g_clientNumbers;
    startTime = utcNow();
    setClientObjects(std::make_shared<ClientObjects>());
    wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!wakeEvent) throw std::bad_alloc(); // a worker without its event could only spin
    ++g_liveServers;
}

OPCServer::~OPCServer()
{
    destroyContents();
    CloseHandle(wakeEvent);
    if (clientProcess_) CloseHandle(clientProcess_);
    // Tells a reclaim that reached everything from one that left the object to a reference
    // nothing can release.
    const LONG left = --g_liveServers;
    QV_TRACE(trace::kConnections, "client %lu \"%s\" freed (%ld client objects left)",
             static_cast<unsigned long>(clientNumber), clientName.c_str(), static_cast<long>(left));
}

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
}

IUnknown* OPCServer::interfaceFor(Slot slot)
{
    // Interface objects are created once and live until the server is destroyed.
    LockGuard g(App().globalLock);
    if (!itf_[slot]) {
        try {
            switch (slot) {
            case kServer: itf_[slot] = makeIOPCServer(this); break;
            case kBrowse: itf_[slot] = makeBrowseServerAddressSpace(this); break;
            case kConnectionContainer: itf_[slot] = makeServerConnectionContainer(this); break;
            case kItemProperties: itf_[slot] = makeItemProperties(this); break;
            case kCommon: itf_[slot] = makeIOPCCommon(this); break;
            case kEventServer: itf_[slot] = makeIOPCEventServer(this); break;
            case kSecurityNT: itf_[slot] = makeIOPCSecurityNT(this); break;
            case kBrowse3: itf_[slot] = makeIOPCBrowse(this); break;
            case kItemIO: itf_[slot] = makeIOPCItemIO(this); break;
            default: break;
            }
        } catch (const std::bad_alloc&) {
            itf_[slot].reset();
        }
    }
    return itf_[slot] ? itf_[slot]->unknown() : nullptr;
}

ConnectionContainer<IOPCShutdown>* OPCServer::shutdownContainer()
{
    LockGuard g(App().globalLock);
    return static_cast<ConnectionContainer<IOPCShutdown>*>(itf_[kConnectionContainer].get());
}

HRESULT STDMETHODCALLTYPE OPCServer::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    IUnknown* result = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) result = static_cast<IUnknown*>(this);
    else if (IsEqualIID(riid, IID_IOPCServer)) result = interfaceFor(kServer);
    else if (IsEqualIID(riid, IID_IOPCServerPublicGroups)) result = nullptr;
    else if (IsEqualIID(riid, IID_IOPCBrowseServerAddressSpace)) result = interfaceFor(kBrowse);
    else if (IsEqualIID(riid, IID_IOPCItemProperties)) result = interfaceFor(kItemProperties);
    else if (IsEqualIID(riid, IID_IPersistFile) || IsEqualIID(riid, IID_IPersist)) result = nullptr;
    else if (IsEqualIID(riid, IID_IConnectionPointContainer)) result = interfaceFor(kConnectionContainer);
    else if (IsEqualIID(riid, IID_IOPCCommon)) result = interfaceFor(kCommon);
    else if (IsEqualIID(riid, IID_IOPCEventServer)) result = interfaceFor(kEventServer);
    else if (IsEqualIID(riid, IID_IOPCSecurityNT)) result = interfaceFor(kSecurityNT);
    else if (IsEqualIID(riid, IID_IOPCBrowse)) result = interfaceFor(kBrowse3);
    else if (IsEqualIID(riid, IID_IOPCItemIO)) result = interfaceFor(kItemIO);
    *ppv = result;
    if (!result) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE OPCServer::AddRef() { return addRef(); }
ULONG STDMETHODCALLTYPE OPCServer::Release() { return release(); }

void OPCServer::lastReleased()
{
    // The worker thread, woken by the removal, ends and lets go of its hold.
    App().removeClient(this, "released by the client");
}

void OPCServer::onRemovedFromClientList()
{
    makeGone();
    // Items of a server that has left stop following host updates at once.
    for (auto& g : groups) g->setListed(false);
    if (wakeEvent) SetEvent(wakeEvent);
}

void OPCServer::dispatchPass()
{
    std::vector<std::shared_ptr<OPCGroup>> snapshot;
    {
        LockGuard g(App().globalLock);
        snapshot = groups;
    }
    for (auto& grp : snapshot) {
        if (disconnected()) return;
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
        if (disconnected()) return;
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
        if (!disconnected()) more = sub->deliverPendingEvents() || more;
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

void OPCServer::serve(DWORD ticks)
{
    if (shutdownState_.load() == 1) {
        if (!disconnected()) sendShutdownRequest();
        shutdownState_ = 2;
    }
    // The one place every pass of a worker (or of the caller timer) runs through: a pass that
    // runs out of memory is skipped, and the thread and the server go on.
    auto guarded = [](const char* pass, auto&& run) {
        try {
            run();
        } catch (...) {
            QV_TRACE(trace::kErrors, "%s pass skipped: out of memory", pass);
        }
    };
    if (!disconnected()) {
        if (ticks) guarded("dispatch", [&] { dispatchPass(); });
        guarded("event", [&] { eventPass(); });
        if (ticks) guarded("data change", [&] { dataChangePass(ticks); });
        guarded("liveness", [&] { livenessCheck(); });
    }
    if (disconnected()) guarded("reclaim", [&] { reclaim(); });
}

void OPCServer::requestShutdown()
{
    int none = 0;
    if (shutdownState_.compare_exchange_strong(none, 1)) wake();
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
    if (now - since >= kUnreachableGraceMs) markDisconnected(why, "every call into it failed for 30 s");
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

void OPCServer::sendShutdownRequest()
{
    ConnectionContainer<IOPCShutdown>* c = shutdownContainer();
    if (!c) return;
    ComPtr<IOPCShutdown> sink = c->point().sink();
    if (!sink) return;
    WCHAR empty[1] = {0};
    ClientScope scope(this);
    const HRESULT hr = c->point().callSink(sink, [&](IOPCShutdown*) { return sink->ShutdownRequest(empty); });
    QV_TRACE(trace::kConnections, "%s told the server stops (ShutdownRequest -> 0x%08lX)", traceName().c_str(),
             static_cast<unsigned long>(hr));
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

void OPCServer::destroyContents()
{
    OPCServerApp& app = App();
    std::vector<std::shared_ptr<OPCGroup>> oldGroups;
    std::vector<std::shared_ptr<COPCEventSubscription>> oldSubs;
    {
        LockGuard g(app.globalLock);
        oldGroups.swap(groups);
        oldSubs.swap(subscriptions);
    }
    // Groups the client still references answer later calls with an error and never reach
    // this object again.
    for (auto& grp : oldGroups) grp->destroy();
    oldGroups.clear();
    destroySubscriptions(oldSubs);
    for (auto& p : itf_) {
        if (p) p->dropSinks();
        p.reset();
    }
}

DWORD WINAPI OPCServer::workerMain(void* arg)
{
    std::unique_ptr<std::shared_ptr<OPCServer>> hold(static_cast<std::shared_ptr<OPCServer>*>(arg));
    OPCServer* s = hold->get();
    OPCServerApp& app = App();
    // The worker calls client sinks through proxies: it must be in the multithreaded apartment.
    HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        ClientScope scope(s);
        LONG seen = app.ticks.load();
        while (!s->gone()) {
            // With a single-threaded host the host's thread serves every client (caller timer).
            if (!app.passesOnHostThread.load()) {
                const LONG now = app.ticks.load();
                s->serve(static_cast<DWORD>(now - seen));
                seen = now;
            }
            if (s->gone()) break;
            if (!s->readyToWait()) continue;
            WaitForSingleObject(s->wakeEvent, INFINITE);
            s->doneWaiting();
        }
    }
    HANDLE self = s->workerThread;
    s->workerThread = nullptr;
    if (self) CloseHandle(self);
    // Normally the last hold, so the object goes here; a client that died holding an object
    // COM cannot reach keeps it until that last Release.
    hold.reset();
    if (SUCCEEDED(hrCom)) CoUninitialize();
    --app.liveWorkers;
    return 0;
}

} // namespace qv

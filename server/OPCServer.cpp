#include "server/OPCServer.h"
#include "core/OPCServerApp.h"
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
    setClientObjects(std::make_shared<ClientObjects>(clientNumber));
    wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!wakeEvent) throw std::bad_alloc(); // a worker without its event could only spin
    ++g_liveServers;
}

OPCServer::~OPCServer()
{
    destroyContents();
    CloseHandle(wakeEvent);
    if (marshaledShutdownSink_) {
        CoReleaseMarshalData(marshaledShutdownSink_);
        marshaledShutdownSink_->Release();
    }
    if (clientProcess_) CloseHandle(clientProcess_);
    // Tells a reclaim that reached everything from one that left the object to a reference
    // nothing can release.
    const LONG left = --g_liveServers;
    QV_TRACE(trace::kConnections, "client %lu \"%s\" freed (%ld client objects left)",
             static_cast<unsigned long>(clientNumber), clientName.c_str(), static_cast<long>(left));
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
    const HMODULE module = s->moduleHold;
    OPCServerApp& app = App();
    // The worker calls client sinks through proxies: it must be in the multithreaded apartment.
    HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        ClientScope scope(s);
        LONG seen = app.ticks.load();
        while (!s->gone()) {
            // With a single-threaded host the host's thread serves every client (caller timer);
            // the worker only sends the stop's ShutdownRequest.
            if (!app.passesOnHostThread.load()) {
                const LONG now = app.ticks.load();
                s->serve(static_cast<DWORD>(now - seen));
                seen = now;
            } else {
                s->serveShutdownOnly();
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
    // The host may have unloaded the library after its stop while this thread was still
    // inside a client's call: the thread's hold kept the code here until now.
    endThreadReleasingModule(module, 0);
}

} // namespace qv

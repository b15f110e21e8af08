#include "server/OPCServer.h"
#include "runtime/OPCServerApp.h"
#include "group/OPCGroup.h"
#include "ae/EventHandler.h"

namespace qv {

OPCServer::OPCServer()
{
    startTime = utcNow();
    wakeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

OPCServer::~OPCServer()
{
    destroyContents();
    if (wakeEvent) CloseHandle(wakeEvent);
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

ULONG STDMETHODCALLTYPE OPCServer::AddRef()
{
    return static_cast<ULONG>(++refCount);
}

ULONG STDMETHODCALLTYPE OPCServer::Release()
{
    LONG n = --refCount;
    if (n != 0) return static_cast<ULONG>(n < 0 ? 0 : n);
    // The worker thread, woken by the pulse, sees alive cleared and destroys the object.
    App().removeClient(this);
    return 0;
}

void OPCServer::onRemovedFromClientList()
{
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
    for (auto& grp : snapshot) grp->dispatchQueue();
}

void OPCServer::dataChangePass()
{
    std::vector<std::shared_ptr<OPCGroup>> snapshot;
    {
        LockGuard g(App().globalLock);
        snapshot = groups;
    }
    for (auto& grp : snapshot) {
        grp->scan(false);
        grp->keepAlivePass();
    }
}

void OPCServer::sendShutdownRequest()
{
    ConnectionContainer<IOPCShutdown>* c = shutdownContainer();
    if (!c) return;
    ComPtr<IOPCShutdown> sink = c->point().sink();
    if (!sink) return;
    WCHAR empty[1] = {0};
    sink->ShutdownRequest(empty);
}

void OPCServer::destroyContents()
{
    OPCServerApp& app = App();
    std::vector<std::shared_ptr<OPCGroup>> oldGroups;
    std::vector<COPCEventSubscription*> oldSubs;
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
    OPCServer* s = static_cast<OPCServer*>(arg);
    OPCServerApp& app = App();
    // The worker calls client sinks through proxies: it must be in the multithreaded apartment.
    HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (s->alive.load()) {
        s->dispatchPass();
        s->dataChangePass();
        if (!s->alive.load()) break;
        // The update event is only pulsed; the server's own event catches a removal that
        // happens between the alive check and the wait.
        HANDLE h[2] = {app.updateEvent, s->wakeEvent};
        WaitForMultipleObjects(2, h, FALSE, INFINITE);
    }
    // Walks that took a hold outside the lock finish before the object goes.
    while (s->internallyHeld()) Sleep(1);
    HANDLE self = s->workerThread;
    delete s;
    if (self) CloseHandle(self);
    if (SUCCEEDED(hrCom)) CoUninitialize();
    --app.liveWorkers;
    return 0;
}

} // namespace qv

#include "core/OPCServerApp.h"
#include <algorithm>
#include <cstring>
#include "base/CallOut.h"
#include "base/Trace.h"

namespace qv {

OPCServerApp::OPCServerApp()
{
    // The ground layer knows nothing of this object: it is told the lock that no call out may
    // hold and the allocator of the task memory it hands to clients.
    setOutboundCheckedLock(&globalLock);
    setTaskMemory([](size_t bytes) { return App().taskAlloc(bytes); }, [](void* p) { App().taskFree(p); });
}

OPCServerApp::~OPCServerApp()
{
    tags.clear();
}

OPCServerApp& App()
{
    // Never destroyed by static destructors: unload order against worker threads and COM is
    // handled by the runtime's explicit teardown.
    static OPCServerApp* app = new OPCServerApp();
    return *app;
}

std::string OPCServerApp::vendorInfoCopy()
{
    LockGuard g(globalLock);
    return vendorInfo;
}

std::string OPCServerApp::registryVendorCopy()
{
    LockGuard g(globalLock);
    if (!vendorName.empty()) return vendorName;
    return vendorInfoSet ? vendorInfo : std::string();
}

void* OPCServerApp::taskAlloc(size_t bytes)
{
    IMalloc* m = taskAllocator;
    if (!m) return nullptr;
    void* p = m->Alloc(bytes ? bytes : 1);
    if (p) memset(p, 0, bytes ? bytes : 1);
    return p;
}

void OPCServerApp::taskFree(void* p)
{
    if (!p) return;
    if (taskAllocator) taskAllocator->Free(p);
    else CoTaskMemFree(p);
}

void OPCServerApp::addClient(ClientListEntry* s)
{
    LockGuard g(globalLock);
    clients.push_back(s);
}

bool OPCServerApp::addClientWhileServing(ClientListEntry* s)
{
    LockGuard g(globalLock);
    if (stopping.load() || !started.load()) return false;
    clients.push_back(s);
    return true;
}

std::vector<std::shared_ptr<OPCServer>> OPCServerApp::beginStop()
{
    LockGuard g(globalLock);
    stopping = true;
    return snapshotClients();
}

bool OPCServerApp::removeClient(ClientListEntry* s, const char* why)
{
    LockGuard g(globalLock);
    auto it = std::find(clients.begin(), clients.end(), s);
    if (it == clients.end()) return false;
    clients.erase(it);
    s->onRemovedFromClientList();
    DWORD left = static_cast<DWORD>(clients.size());
    QV_TRACE(trace::kConnections, "client %lu \"%s\" gone: %s (%lu clients)",
             static_cast<unsigned long>(s->identity().clientNumber), s->identity().clientName.c_str(), why,
             static_cast<unsigned long>(left));
    g.release();
    if (QV_DISCONNECTNOTIFICATIONPROC proc = disconnectNotificationProc.load()) callHost([&] { proc(left); });
    return true;
}

void OPCServerApp::tick()
{
    ++ticks;
    LockGuard g(globalLock);
    for (ClientListEntry* s : clients) s->wake();
}

LONG OPCServerApp::clientCount()
{
    LockGuard g(globalLock);
    return static_cast<LONG>(clients.size());
}

std::vector<std::shared_ptr<OPCServer>> OPCServerApp::snapshotClients()
{
    std::vector<std::shared_ptr<OPCServer>> v;
    LockGuard g(globalLock);
    v.reserve(clients.size());
    // A listed server is held by its worker until it leaves the list: shared_from_this is valid.
    for (ClientListEntry* s : clients) v.push_back(s->listHold());
    return v;
}

} // namespace qv

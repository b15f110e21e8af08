// The browser's end as a local server: activity, the holds of its clients' processes, the
// stopping gate.
#include "serverlist/ServerList.h"
#include <rpcdcep.h>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <vector>

namespace qv::serverlist {

struct ClientHolds {
    HANDLE process; // SYNCHRONIZE; a handle (not the id) keeps the identity
    DWORD pid;
    LONG holds;
};

namespace {
std::atomic<DWORD> g_lastActivity{GetTickCount()};
std::atomic<bool> g_stopping{false};
std::mutex g_clientsLock;
std::vector<ClientHolds*> g_clients; // the local client processes holding something
LONG g_unknownHolds = 0;             // held by clients whose process cannot be watched (remote)

// The calling process's entry among those that hold something, made if needed; null when it
// cannot be watched. Under g_clientsLock.
ClientHolds* callerEntry(bool make)
{
    unsigned long pid = 0;
    if (I_RpcBindingInqLocalClientPID(nullptr, &pid) != RPC_S_OK || !pid || pid == GetCurrentProcessId())
        return nullptr;
    for (ClientHolds* c : g_clients)
        if (c->pid == pid && WaitForSingleObject(c->process, 0) == WAIT_TIMEOUT) return c;
    if (!make) return nullptr;
    HANDLE h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    if (!h) return nullptr;
    ClientHolds* c = new (std::nothrow) ClientHolds{h, pid, 0};
    try {
        if (c) g_clients.push_back(c);
    } catch (const std::bad_alloc&) {
        delete c;
        c = nullptr;
    }
    if (!c) CloseHandle(h);
    return c;
}

void dropHold(ClientHolds* c)
{
    if (!c) {
        if (g_unknownHolds > 0) --g_unknownHolds;
        return;
    }
    if (--c->holds > 0) return;
    g_clients.erase(std::remove(g_clients.begin(), g_clients.end(), c), g_clients.end());
    CloseHandle(c->process);
    delete c;
}
} // namespace

void noteProcessActivity() { g_lastActivity = GetTickCount(); }
DWORD lastProcessActivity() { return g_lastActivity.load(); }

ClientHolds* holdForCaller()
{
    std::lock_guard<std::mutex> g(g_clientsLock);
    ClientHolds* c = callerEntry(true);
    if (c) ++c->holds;
    else ++g_unknownHolds;
    return c;
}

void releaseHold(ClientHolds* c)
{
    std::lock_guard<std::mutex> g(g_clientsLock);
    dropHold(c);
}

void releaseCallerHold()
{
    std::lock_guard<std::mutex> g(g_clientsLock);
    ClientHolds* c = callerEntry(false);
    if (c || g_unknownHolds > 0) dropHold(c);
}

bool onlyDeadClientsHold()
{
    std::lock_guard<std::mutex> g(g_clientsLock);
    if (g_unknownHolds > 0) return false;
    for (ClientHolds* c : g_clients)
        if (WaitForSingleObject(c->process, 0) == WAIT_TIMEOUT) return false;
    return true;
}

void setProcessStopping(bool stopping) { g_stopping = stopping; }
bool processStopping() { return g_stopping.load(); }

} // namespace qv::serverlist

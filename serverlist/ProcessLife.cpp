// The browser's end as a local server: activity, its clients' processes, the stopping gate.
#include "serverlist/ServerList.h"
#include <rpcdcep.h>
#include <atomic>
#include <mutex>
#include <vector>

namespace qv::serverlist {

namespace {
std::atomic<DWORD> g_lastActivity{GetTickCount()};
std::atomic<bool> g_stopping{false};
std::mutex g_clientsLock;
std::vector<HANDLE> g_clients; // SYNCHRONIZE handles of local clients that activated here
bool g_unknownClient = false;  // a client whose process cannot be watched (remote)
} // namespace

void noteProcessActivity() { g_lastActivity = GetTickCount(); }
DWORD lastProcessActivity() { return g_lastActivity.load(); }

void noteClientProcess()
{
    unsigned long pid = 0;
    HANDLE h = nullptr;
    if (I_RpcBindingInqLocalClientPID(nullptr, &pid) == RPC_S_OK && pid && pid != GetCurrentProcessId())
        h = OpenProcess(SYNCHRONIZE, FALSE, pid);
    std::lock_guard<std::mutex> g(g_clientsLock);
    if (!h) {
        g_unknownClient = true;
        return;
    }
    // One handle per process is enough; a handle (not the id) keeps the identity.
    for (HANDLE c : g_clients)
        if (GetProcessId(c) == pid && WaitForSingleObject(c, 0) == WAIT_TIMEOUT) {
            CloseHandle(h);
            return;
        }
    g_clients.push_back(h);
}

bool onlyDeadClientsHold()
{
    if (serverHolds() == 0) return false;
    std::lock_guard<std::mutex> g(g_clientsLock);
    for (auto it = g_clients.begin(); it != g_clients.end();) {
        if (WaitForSingleObject(*it, 0) == WAIT_OBJECT_0) {
            CloseHandle(*it);
            it = g_clients.erase(it);
        } else {
            ++it;
        }
    }
    return g_clients.empty() && !g_unknownClient;
}

void setProcessStopping(bool stopping) { g_stopping = stopping; }
bool processStopping() { return g_stopping.load(); }

} // namespace qv::serverlist

#pragma once
#include <windows.h>
#include <objbase.h>
#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include "base/Lock.h"
#include "base/ComUtil.h"
#include "addrspace/OPCTag.h"
#include "addrspace/OPCTagStore.h"
#include "ae/EventJournal.h"
#include "core/ClientListEntry.h"
#include "qvsrvkit.h"

namespace qv {

class OPCServer;
struct ConditionState;

// The one server-wide state object: descriptive data, the update period, the task
// allocator, the client list, the address-space root with every tag, and the global lock.
class OPCServerApp {
public:
    OPCServerApp();
    ~OPCServerApp();
    OPCServerApp(const OPCServerApp&) = delete;
    OPCServerApp& operator=(const OPCServerApp&) = delete;

    const char delimiter = '.';
    DWORD classObjectCookie = 0;
    int comInitialised = 0;
    // Guards the tag tree and every tag, the client list, every group's items and every
    // item field, and the asynchronous queues. Never held across a call into a client or
    // into the host.
    RecursiveLock globalLock;
    std::atomic<LONG> liveWorkers{0};
    std::atomic<LONG> serverLocks{0};
    FILETIME startTime{};
    std::atomic<DWORD> updatePeriod{500};
    // QV_SetReportEveryUpdate: every host update is a change, even one repeating value and quality.
    std::atomic<bool> reportEveryUpdate{false};

    // Descriptive data for GetStatus; the vendor text is read and written under the lock.
    std::string vendorInfo = "QV Software Design OPC Server";
    std::atomic<DWORD> bandWidth{0};
    std::atomic<WORD> majorVersion{0}, minorVersion{0}, buildNumber{0};
    std::atomic<DWORD> serverState{1};
    std::string vendorInfoCopy();
    // What registration writes under <ProgID>\OPC\Vendor (under the lock): the name the host
    // set, else the vendor text it set, else empty (the toolkit's maker is written then).
    std::string vendorName;
    bool vendorInfoSet = false;
    std::string registryVendorCopy();

    IMalloc* taskAllocator = nullptr;
    std::vector<ClientListEntry*> clients; // not owning; under the global lock

    // Alarm conditions that are active or unacknowledged (ae/Conditions); under the global
    // lock. Declared before the tags, whose conditions leave it as they go.
    std::vector<ConditionState*> reportedConditions;
    // Raised alarm events on their way to the subscriptions (ae/EventJournal).
    EventJournal eventJournal;
    std::atomic<LONG> idleEventWorkers{0}; // workers waiting that want to hear of new events
    OPCTag root;
    OPCTagStore tags{root};

    // Process-wide settings beside the object.
    std::atomic<bool> started{false};
    // From the stop's first step to its end: CreateInstance and IOPCShutdown Advise answer
    // CO_E_SERVER_STOPPING (a stopped server refuses clients as not started). Set under the
    // global lock.
    std::atomic<bool> stopping{false};
    // Set by the stop: asynchronous requests are refused, as nothing would complete them.
    std::atomic<bool> stopped{false};
    CLSID rememberedClsid = CLSID_NULL;
    // Update ticks so far; each worker compares it with the last one it served.
    std::atomic<LONG> ticks{0};
    // The host's thread is a single-threaded apartment: it serves every client (caller timer).
    std::atomic<bool> passesOnHostThread{false};
    std::atomic<int> matchCaseFlag{1};
    std::atomic<QV_WRITENOTIFICATIONPROC> writeNotificationProc{nullptr};
    std::atomic<QV_DEVICEREADPROC> deviceReadProc{nullptr};
    std::atomic<QV_DISCONNECTNOTIFICATIONPROC> disconnectNotificationProc{nullptr};
    std::atomic<QV_WRITEVQTNOTIFICATIONPROC> writeVQTNotificationProc{nullptr};
    std::atomic<QV_ACKNOTIFICATIONPROC> ackNotificationProc{nullptr};
    std::atomic<QV_WRITEAUDITPROC> writeAuditProc{nullptr};
    std::atomic<DWORD> asyncQueueLimit{10}; // requests queued per group; 0: no limit

    bool matchCase() const { return matchCaseFlag.load(std::memory_order_relaxed) != 0; }

    // Zero-filled task memory for the client; null before start-up or when out of memory.
    void* taskAlloc(size_t bytes);
    void taskFree(void* p);

    // Client list.
    void addClient(ClientListEntry* s);
    // A new client of the class factory: false (not listed) when the server is stopping or
    // not started, checked under the same hold of the lock as the stop's change.
    bool addClientWhileServing(ClientListEntry* s);
    // The stop's one state change: stopping is set and the clients listed at that moment are
    // taken, under one hold of the lock, so a client is either in that list or refused.
    std::vector<std::shared_ptr<OPCServer>> beginStop();
    bool removeClient(ClientListEntry* s, const char* why);
    LONG clientCount();
    // The clients at this moment, each held by the caller's walk, so that a walk may call out
    // to clients without the lock.
    std::vector<std::shared_ptr<OPCServer>> snapshotClients();

    // One update period passed: every client's worker is woken (none can miss it).
    void tick();
};

// The one instance (created on first use, lives until the library is unloaded).
OPCServerApp& App();

} // namespace qv

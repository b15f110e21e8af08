#pragma once
#include <windows.h>
#include <ole2.h>
#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include "addrspace/ClientIdentity.h"
#include "core/ClientListEntry.h"
#include "server/ComObject.h"
#include "server/ServerObject.h"
#include "qvopc.h"

namespace qv {

class OPCGroup;
class COPCEventSubscription;
struct EventRecord;

// The object one OPC client gets from the class factory: its own groups, event
// subscriptions and worker thread. Every interface object forwards reference counting here.
// Held (ServerObject) by its worker thread, by the client's references and by snapshots of
// the client list; gone once it left the client list.
class OPCServer : public IUnknown,
                  public ServerObject<OPCServer>,
                  public CalledClient,
                  public ClientIdentity,
                  public ClientListEntry {
public:
    // Interface objects, in the order they are destroyed.
    enum Slot { kServer, kBrowse, kConnectionContainer, kItemProperties, kCommon, kEventServer, kSecurityNT,
                kBrowse3, kItemIO, kSlotCount };

    // Null when out of memory.
    static std::shared_ptr<OPCServer> create();
    OPCServer();
    virtual ~OPCServer();
    OPCServer(const OPCServer&) = delete;
    OPCServer& operator=(const OPCServer&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    FILETIME startTime;
    FILETIME lastDataChange{}; // when a data change last went to the client; under the global lock
    HANDLE workerThread = nullptr;
    // Auto-reset: set by every tick, by queued events and by the removal, so a wake-up that
    // comes while the worker is busy is served as soon as it is free.
    HANDLE wakeEvent = nullptr;

    // The client's groups in the order they were added; under the global lock. The shared
    // pointers let a pass or a client call keep a group alive while it works on it.
    std::vector<std::shared_ptr<OPCGroup>> groups;
    // The client's event subscriptions; under the global lock.
    std::vector<std::shared_ptr<COPCEventSubscription>> subscriptions;
    // When an event last went to any of them, also one released since; under the global lock.
    FILETIME lastEventSent{};

    // The interface object of a slot, created on first use (null when out of memory).
    IUnknown* interfaceFor(Slot slot);
    // The shutdown connection point's container, when the client asked for it.
    ConnectionContainer<IOPCShutdown>* shutdownContainer();

    // Passes run by the worker thread (or the caller timer) on every tick.
    void dispatchPass();
    void dataChangePass(DWORD ticks);
    // Delivers the alarm events queued on the client's subscriptions (any time it is woken).
    void eventPass();
    // One round of the client's work on the thread that serves it; ticks: the update periods
    // that elapsed since the last round (0: only woken, for events or reclaiming).
    void serve(DWORD ticks);
    // Only the stop's ShutdownRequest, guarded like every pass (the worker of a single-threaded
    // host, whose passes run on the host's thread).
    void serveShutdownOnly();
    void wake() override { if (wakeEvent) SetEvent(wakeEvent); }
    // An event was raised: wakes the worker only when it waits (a busy worker takes the event
    // in its next pass), so a burst of alarms costs the host no system call per event.
    void wakeForEvents()
    {
        if (eventIdle_.load() && leaveIdle()) wake();
    }
    // The worker, before it waits: false when events were raised since its last event pass.
    bool readyToWait();
    void doneWaiting() { leaveIdle(); }
    // The stop as this client meets it, a named state of the object:
    // None: no stop asked; Asked: the stop asked the thread that serves the client to send
    // ShutdownRequest (it does so as soon as it is free, even after a slow callback);
    // Sending: that call is under way; Answered: it returned, or there was no sink to tell;
    // Abandoned: the stop's bound passed first (the request is not sent any more, and the
    // client is reclaimed).
    enum class ShutdownState { None, Asked, Sending, Answered, Abandoned };
    ShutdownState shutdownState() const { return shutdownState_.load(); }
    // On the stop's thread. With a single-threaded host the sink's proxy belongs to the
    // host's apartment: it is marshaled here for the worker, which sends from its own.
    void requestShutdown(bool sinkInHostApartment);
    // After the stop's bound: a client not answered by now is abandoned.
    void abandonShutdown();
    // On the thread that serves the client: sends ShutdownRequest when the stop asked for it.
    void serveShutdownRequest();
    // Tells the advised IOPCShutdown sink, on this thread (never under the global lock).
    void sendShutdownRequest();
    // Held by the worker thread from its creation to its end (createHeldThread).
    HMODULE moduleHold = nullptr;

    // A call into the client found its process gone: its sinks are not called any more, and
    // the thread that serves it reclaims it (reclaim) at once.
    bool disconnected() const override { return disconnected_.load(); }
    void markDisconnected(HRESULT why) override { markDisconnected(why, "a call into it failed"); }
    // reason: what the trace says when the client is reclaimed (a static text).
    void markDisconnected(HRESULT why, const char* reason);
    // A call into the client came back (whatever the sink answered): it is reachable.
    void noteReachable() override;
    // A call failed in a way that may pass (network): the client is marked disconnected once
    // every call has failed for kUnreachableGraceMs (a remote client; a local one only once
    // its process ended).
    void noteUnreachable(HRESULT why) override;
    // On the thread that serves the client: a client that has been silent for a while (its
    // only sinks return nothing, or it has not been called) is probed with a call that fails
    // when its process is gone.
    void livenessCheck();
    // On the client's own call (its activation): a local client's process, so that its end is
    // seen at once even when nothing is ever called into it (remote clients: nothing).
    // Also takes the client's process id and account (ClientIdentity) from that call.
    void noteClientProcess();
    // `client N "name"`, as the trace names the client.
    std::string traceName();
    // Takes a disconnected client off the client list (the host hears of it), destroys its groups and
    // subscriptions, drops its sinks and disconnects its objects from COM, so the references
    // its dead process held are released. Runs on the thread that serves the client.
    void reclaim();
    // Re-derives the access rights of every item from its tag; FALSE when a tag was missing.
    bool refreshAccessRights();
    // The client list's view of it (ClientListEntry).
    OPCServer* server() override { return this; }
    std::shared_ptr<OPCServer> listHold() override { return shared_from_this(); }
    const ClientIdentity& identity() const override { return *this; }
    // Called (global lock held) when the client list drops this server: it is gone.
    void onRemovedFromClientList() override;
    // The client let go of its last reference.
    void lastReleased();

    // Worker thread body (argument: a new std::shared_ptr<OPCServer>, the worker's hold).
    static DWORD WINAPI workerMain(void* arg);

private:
    void destroyContents();
    // Some object of the client to probe (a sink it gave us), or null.
    ComPtr<IUnknown> anyClientObject();
    std::unique_ptr<InterfaceHolder> itf_[kSlotCount];
    std::atomic<bool> disconnected_{false};
    std::atomic<bool> reclaimed_{false};
    std::atomic<const char*> reclaimReason_{nullptr}; // the first reason it was marked disconnected
    std::atomic<HRESULT> reclaimCode_{S_OK};
    std::atomic<DWORD> lastReached_{GetTickCount()}; // tick count of the last answered call or probe
    std::atomic<DWORD> unreachableSince_{0};          // 0: no failing streak
    std::atomic<ShutdownState> shutdownState_{ShutdownState::None};
    // A pass stops calling sinks once the client is gone or a stop reached it (its
    // ShutdownRequest goes first, within the stop's bound).
    bool leavingPass() const { return disconnected() || shutdownState_.load() != ShutdownState::None; }
    IStream* marshaledShutdownSink_ = nullptr; // set before Asked, taken by the worker
    void sendShutdownRequest(const ComPtr<IOPCShutdown>& sink);
    std::atomic<bool> eventIdle_{false}; // the worker waits (or is about to) and wants events
    std::atomic<bool> hasSubscriptions_{false}; // as of the last event pass
    bool leaveIdle();
    std::atomic<DWORD> takenTo_{0};      // the event journal's end at the last event pass
    HANDLE clientProcess_ = nullptr;                  // SYNCHRONIZE only; null for remote clients
};

// The caller's account as COM's security layer tells it (DOMAIN\\user), else empty; on the
// thread of a client's call.
std::string callerAccount();
// The account a local process runs as (DOMAIN\\user), else empty.
std::string processAccount(DWORD pid);

// Factories of the interface objects; each lives beside its implementation and returns null
// when the object cannot be made.
std::unique_ptr<InterfaceHolder> makeIOPCServer(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeBrowseServerAddressSpace(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeServerConnectionContainer(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeItemProperties(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeIOPCCommon(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeIOPCEventServer(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeIOPCSecurityNT(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeIOPCBrowse(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeIOPCItemIO(OPCServer* s);

} // namespace qv

#pragma once
#include <windows.h>
#include <ole2.h>
#include <atomic>
#include <memory>
#include <string>
#include <vector>
#include "server/ComObject.h"
#include "qvopc.h"

namespace qv {

class OPCGroup;
class COPCEventSubscription;
struct EventRecord;

// The object one OPC client gets from the class factory: its own groups, event
// subscriptions and worker thread. Every interface object forwards reference counting here.
class OPCServer : public IUnknown {
public:
    // Interface objects, in the order they are destroyed.
    enum Slot { kServer, kBrowse, kConnectionContainer, kItemProperties, kCommon, kEventServer, kSecurityNT, kSlotCount };

    OPCServer();
    virtual ~OPCServer();
    OPCServer(const OPCServer&) = delete;
    OPCServer& operator=(const OPCServer&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    FILETIME startTime;
    FILETIME lastDataChange{}; // when a data change last went to the client; under the global lock
    std::string clientName;           // under the global lock
    std::atomic<LONG> alive{1};
    HANDLE workerThread = nullptr;
    HANDLE wakeEvent = nullptr; // set when the server leaves the client list
    std::atomic<LONG> refCount{0};

    // The client's groups in the order they were added; under the global lock. The shared
    // pointers let a pass or a client call keep a group alive while it works on it.
    std::vector<std::shared_ptr<OPCGroup>> groups;
    // The client's event subscriptions; under the global lock.
    std::vector<COPCEventSubscription*> subscriptions;

    // The interface object of a slot, created on first use (null when out of memory).
    IUnknown* interfaceFor(Slot slot);
    // The shutdown connection point's container, when the client asked for it.
    ConnectionContainer<IOPCShutdown>* shutdownContainer();

    // Passes run by the worker thread (or the caller timer) on every tick.
    void dispatchPass();
    void dataChangePass();
    // Tells an advised IOPCShutdown sink that the server stops (never under the global lock).
    void sendShutdownRequest();
    // Hands an alarm event to every subscription (the A&E side packs and delivers it).
    void broadcastEvent(const EventRecord& ev);
    // Re-derives the access rights of every item from its tag; FALSE when a tag was missing.
    bool refreshAccessRights();
    // Called (global lock held) when the client list drops this server.
    void onRemovedFromClientList();

    // Keeps the object from being destroyed while a walk outside the lock uses it.
    void holdInternal() { ++internalHolds_; }
    void releaseInternal() { --internalHolds_; }
    bool internallyHeld() const { return internalHolds_.load() != 0; }

    // Worker thread body (argument: the server).
    static DWORD WINAPI workerMain(void* arg);

private:
    void destroyContents();
    std::unique_ptr<InterfaceHolder> itf_[kSlotCount];
    std::atomic<LONG> internalHolds_{0};
};

// Factories of the interface objects; each lives beside its implementation and returns null
// when the object cannot be made.
std::unique_ptr<InterfaceHolder> makeIOPCServer(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeBrowseServerAddressSpace(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeServerConnectionContainer(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeItemProperties(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeIOPCCommon(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeIOPCEventServer(OPCServer* s);
std::unique_ptr<InterfaceHolder> makeIOPCSecurityNT(OPCServer* s);

} // namespace qv

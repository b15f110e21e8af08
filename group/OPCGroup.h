#pragma once
#include <windows.h>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "addrspace/ClientIdentity.h"
#include "group/OPCItem.h"
#include "server/ComObject.h"
#include "server/ServerObject.h"
#include "qvopc.h"

namespace qv {

class OPCServer;

// One accepted asynchronous request, queued in its group until a dispatch pass completes it.
struct AsyncTransaction {
    enum Kind : DWORD { kRead = 1, kWrite = 2, kRefresh = 3 };
    DWORD kind = 0;
    bool cancelled = false;
    bool device = false;   // OPC_DS_DEVICE: the host's device read before the values go out
    DWORD version = 2;     // 2: IOPCAsyncIO2 (IOPCDataCallback); 1: IOPCAsyncIO (IDataObject)
    DWORD transactionId = 0;
    DWORD cancelId = 0;
    std::vector<OPCHANDLE> serverHandles;
    std::vector<OPCHANDLE> clientHandles; // at acceptance: names items removed before completion
    // A write: the checked values (in the canonical type), passed to the host by the dispatch
    // pass; its verdicts then go into writeResults. WriteVQT also keeps quality and time stamp.
    std::vector<Variant> values;
    struct Stamp {
        bool hasQuality = false, hasTime = false;
        WORD quality = 0;
        FILETIME time{};
    };
    std::vector<Stamp> stamps;
    std::vector<HRESULT> writeResults;
    ClientIdentity writer; // a write, for the host's write audit (empty without one)
    // ReadMaxAge / RefreshMaxAge: per-item maximum ages (a refresh holds one).
    bool maxAgeRead = false;
    std::vector<DWORD> maxAges;
};

// An OPC DA group: held by its server's list, by passes working on it and by the client's
// references (ServerObject). Destroyed (gone) by RemoveGroup, by its server's end or, when
// RemoveGroup found it referenced, by the client's last Release.
class OPCGroup : public IUnknown, public ServerObject<OPCGroup> {
public:
    // Interface objects, in the order they are destroyed.
    enum Slot { kItemMgt, kSyncIO, kAsyncIO, kAsyncIO2, kStateMgt, kDataObject, kConnectionContainer,
                kItemDeadbandMgt, kSlotCount };

    static std::shared_ptr<OPCGroup> create();
    virtual ~OPCGroup();
    OPCGroup(const OPCGroup&) = delete;
    OPCGroup& operator=(const OPCGroup&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // ---- state (under the global lock unless atomic) ----
    OPCServer* server = nullptr; // null once removed from its server or the server is gone
    std::string name;
    // RemoveGroup found it referenced: the client's last Release destroys it.
    std::atomic<bool> removed{false};
    std::atomic<DWORD> updateRate{0};
    DWORD elapsed = 0;
    std::atomic<float> percentDeadband{0.0f};
    DWORD lcid = 0;
    LONG timeBias = 0;
    std::atomic<BOOL> active{FALSE};
    OPCHANDLE serverHandle = 0;
    std::atomic<OPCHANDLE> clientHandle{0};
    std::deque<std::unique_ptr<AsyncTransaction>> queue;
    DWORD transactionCounter = 0;
    // Items by server handle. Handles only grow, so this order is the order of adding.
    std::map<OPCHANDLE, std::unique_ptr<OPCItem>> items;
    bool listed = false; // items follow host updates
    bool streamFollowed = false; // the group has its DA 1.0 data object: items judge changes for its path too
    std::atomic<DWORD> keepAlive{0}; // ms, a multiple of the update tick; 0: off
    DWORD sinceLastSend = 0;         // ms of passes since the last OnDataChange/OnReadComplete
    bool sentThisPass = false;       // a callback went out since the last keep-alive pass
    // An activation's forced scan is under way: the worker's scans wait for the next pass, so
    // the two do not both carry one change.
    bool forcedScanPending = false;

    // ---- interface objects ----
    IUnknown* interfaceFor(Slot slot);
    // The data-callback container when the client asked for it (else null).
    ConnectionContainer<IOPCDataCallback>* dataContainer();
    InterfaceHolder* slotObject(Slot slot); // null when not created

    // ---- operations (global lock held by the caller unless noted) ----
    OPCItem* findItem(OPCHANDLE h) const;
    // 1, 2, ... 0xFFFFFFFF, 1, ...: never 0.
    DWORD nextTransactionId();
    // Gives the item its server handle, follows its tag when the group is listed. Throws
    // std::bad_alloc with nothing added.
    OPCHANDLE addItem(std::unique_ptr<OPCItem> item);
    // Takes the lock itself.
    bool removeItem(OPCHANDLE h);
    // Takes the lock itself; copies every item (copy rules of OPCItem) into other.
    void copyItemsInto(OPCGroup& other);
    // Makes it gone: items, queue, the client's sinks go; later calls fail. Idempotent.
    // Call without the global lock held (it releases client sinks).
    void destroy();
    void lastReleased();
    // Whether the items follow host updates (listed in a live server).
    void setListed(bool on);
    // RemoveGroup without force: when the client still holds references, sets `removed`
    // (so the last Release destroys the group) and returns true; false when nothing
    // references the group.
    bool markRemovedIfReferenced();
    // The owning server when the group may still use it: not destroyed, not removed, and the
    // server not leaving (its `alive` still set). Null otherwise. Global lock held.
    OPCServer* liveServer() const;

    // ---- data exchange (dataio) ----
    // As many requests queued as the host's limit allows (takes the lock).
    bool queueFull();
    // A refresh would report something: the group is active and has an active item (lock held).
    bool canRefresh() const;
    // Gone, or removed from its server's list: no worker would ever complete a request of it.
    bool closed() const { return gone() || removed.load(); }
    // A new asynchronous request may be queued: the server runs, the group is not closed,
    // and its queue has room (lock held).
    bool takesRequests();
    // ticks: update periods this pass covers (more than one when ticks merged meanwhile).
    void scan(bool forced, DWORD ticks = 1);
    // One pass of the keep-alive count; sends an empty OnDataChange when it is due.
    void keepAlivePass(DWORD ticks = 1);
    void dispatchQueue();
    bool hasDataCallback();
    // A sink the client gave this group (DA 2.0 callback or DA 1.0 advise sink), or null.
    ComPtr<IUnknown> anyClientObject();
    bool hasDA1DataSink();
    bool hasDA1WriteSink();

private:
    OPCGroup() = default;
    std::unique_ptr<InterfaceHolder> itf_[kSlotCount];
};

// Factories of the group's interface objects; each lives beside its implementation and
// returns null when the object cannot be made.
std::unique_ptr<InterfaceHolder> makeItemMgt(OPCGroup* g);
std::unique_ptr<InterfaceHolder> makeSyncIO(OPCGroup* g);
std::unique_ptr<InterfaceHolder> makeAsyncIO(OPCGroup* g);
std::unique_ptr<InterfaceHolder> makeAsyncIO2(OPCGroup* g);
std::unique_ptr<InterfaceHolder> makeGroupStateMgt(OPCGroup* g);
std::unique_ptr<InterfaceHolder> makeDataObject(OPCGroup* g);
std::unique_ptr<InterfaceHolder> makeGroupConnectionContainer(OPCGroup* g);
std::unique_ptr<InterfaceHolder> makeItemDeadbandMgt(OPCGroup* g);

// At the trace's items level: one line per result in `errors` that is not S_OK, naming the
// item by its ID (looked up under the global lock), or by its handle when the group has none.
void traceItemResults(OPCGroup& g, const char* method, DWORD n, const OPCHANDLE* handles, const HRESULT* errors);

// One item as the item enumerator shows it: a copy, with its tag's EU type and EU info.
struct ItemSnapshot {
    std::unique_ptr<OPCItem> item;
    DWORD euType = 0;
    Variant euInfo;
};

// The item enumerator of IOPCItemMgt::CreateEnumerator: takes the snapshot and
// answers QueryInterface(riid) into *ppUnk; on failure *ppUnk is null and the snapshot freed.
// client: the list of the client it goes to.
HRESULT createItemEnumerator(const std::shared_ptr<ClientObjects>& client, std::vector<ItemSnapshot> snapshot,
                             REFIID riid, IUnknown** ppUnk);

// ---- the server's group list (Parts 3.1, 3.2, 4.2); global lock held by the caller ----
// The revised update rate: the multiple of the base tick nearest to the requested rate
// (halves up), computed without wrapping (a rate near 2^32 gives the largest multiple of the
// tick that fits in 32 bits). A rate of 0 or below the tick gives the tick and
// OPC_S_UNSUPPORTEDRATE in *result, otherwise S_OK.
DWORD reviseUpdateRate(DWORD requested, DWORD baseTick, HRESULT* result);
// A percent deadband a client may set: 0 to 100 (NaN and infinities are not).
inline bool validDeadband(float percent) { return percent >= 0.0f && percent <= 100.0f; }
// Some group of the server has exactly this name (byte-wise, case-sensitive).
bool groupNameInUse(const OPCServer& s, const std::string& name);
// "Group n" with the smallest n not in use ("No Default Group Names Available" past 0x0FFFFFFE).
std::string defaultGroupName(const OPCServer& s);
// Gives the group a new server handle, appends it to the server's list and makes its items
// follow host updates; returns the handle.
OPCHANDLE appendGroup(OPCServer& s, const std::shared_ptr<OPCGroup>& g);
// The listed group with this server handle, or null.
std::shared_ptr<OPCGroup> findGroupByHandle(const OPCServer& s, OPCHANDLE h);

// Unique item and group server handles (never 0, never reused until 2^32 handles later), so a
// stale or forged handle never designates another object.
OPCHANDLE newServerHandle();

} // namespace qv

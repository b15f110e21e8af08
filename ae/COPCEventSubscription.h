#pragma once
#include <windows.h>
#include <atomic>
#include <deque>
#include <memory>
#include <vector>
#include "server/ComObject.h"
#include "server/ServerObject.h"
#include "addrspace/OPCTag.h"
#include "ae/EventDelivery.h"
#include "ae/EventFilter.h"
#include "ae/EventJournal.h"
#include "qvopc.h"

namespace qv {

class OPCServer;
struct EventRecord;

// One event subscription of one client. The client's worker takes from the server's event
// journal the events that pass the filter while the subscription is active and a sink is
// connected to its IOPCEventSink point, queues them here and delivers the queue in order, at
// most one call per buffer time (unless the maximum size is reached) and at most the maximum
// size per call. The queue is bounded by the host's event queue limit: past it the oldest
// event goes, counted, and the subscription's next call starts with a notice saying how many
// went, so a stalled client never holds up the host or grows memory and is never left unaware.
//
// Held (ServerObject) by its owner's list, by a delivery in progress and by the client's
// references; gone once the client released it or its server went, and then never called on.
class COPCEventSubscription : public IUnknown, public ServerObject<COPCEventSubscription> {
public:
    // bufferTime and maxSize as revised by reviseState.
    COPCEventSubscription(OPCServer* owner, BOOL active, OPCHANDLE hClientSubscription, DWORD bufferTime = 0,
                          DWORD maxSize = 0);
    virtual ~COPCEventSubscription();
    COPCEventSubscription(const COPCEventSubscription&) = delete;
    COPCEventSubscription& operator=(const COPCEventSubscription&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // Largest number of events in one call.
    static constexpr DWORD kMaxEventsPerCall = 1000;
    // Revises a requested buffer time (nonzero below the update period: the period; a worker
    // wakes no more often) and maximum size (above kMaxEventsPerCall: that; 0 stays "no
    // limit", which sends up to kMaxEventsPerCall per call);
    // S_OK, or OPC_S_INVALIDBUFFERTIME / OPC_S_INVALIDMAXSIZE when one was revised.
    static HRESULT reviseState(DWORD* bufferTime, DWORD* maxSize);

    // IOPCEventSubscriptionMgt's state and filter (each takes the lock).
    void getState(BOOL* active, DWORD* bufferTime, DWORD* maxSize, OPCHANDLE* hClient);
    // Null pointers leave their value as it is; the revised values go out as reviseState says.
    HRESULT setState(const BOOL* active, const DWORD* bufferTime, const DWORD* maxSize, OPCHANDLE hClient,
                     DWORD* revisedBufferTime, DWORD* revisedMaxSize);
    HRESULT setFilter(EventFilter&& f);
    EventFilter filter();
    // SelectReturnedAttributes / GetReturnedAttributes: E_INVALIDARG for an unknown category
    // or an attribute the category does not have.
    HRESULT selectAttributes(DWORD category, std::vector<DWORD>&& ids);
    HRESULT returnedAttributes(DWORD category, std::vector<DWORD>* ids);

    // The sink point's container, null until the client asked for it (global lock held).
    ConnectionContainer<IOPCEventSink>* container() const { return container_.get(); }
    // The same, taking the lock.
    ConnectionContainer<IOPCEventSink>* containerIfAny();

    // Global lock held, on the thread that serves the client: queues the journal's events
    // raised since the last look that pass the filter, while the subscription is active and a
    // sink is connected (from the time of its Advise on); skips them otherwise. Takes no more
    // than the queue holds: the rest waits in the journal.
    void takeEvents(const EventJournal& journal);
    // Global lock held: the first journal event not yet looked at.
    EventJournal::Seq cursor() const { return cursor_; }
    // Global lock held: the journal let go of these n events; those this subscription had yet
    // to take and would have (active, advised before them, its filter passes) count as dropped.
    void missed(const EventJournal::Dropped* events, size_t n);
    // Global lock held: events, a notice or a refresh wait for the worker.
    bool hasPendingEvents() const
    {
        return !pending_.empty() || droppedUntold_ || (refreshing_ && !refreshFinalTaken_);
    }
    // Calls the sink with the queued events, oldest first, in batches, alternating with the
    // batches of a refresh in progress (no lock held; on the thread that serves the client).
    // Stops after a round of about 20 ms; returns whether events are left for the next round.
    bool deliverPendingEvents();

    // IOPCEventSubscriptionMgt::Refresh and CancelRefresh: the refresh is queued for the
    // client's worker; these never call the client.
    HRESULT refresh(DWORD connection);
    HRESULT cancelRefresh(DWORD connection);
    DWORD droppedEvents() const { return dropped_.load(); }

    // The client let go of its last reference.
    void lastReleased();
    // Its server goes (global lock held): no longer listed, no event delivered afterwards.
    void detachFromOwner();
    // After detachFromOwner, without the lock: drops the client's sink.
    void dropSink();

private:
    OPCServer* owner_;          // null once the owner dropped it; under the global lock
    // State and filter: under the global lock.
    BOOL active_;
    OPCHANDLE hClientSubscription_;
    DWORD bufferTime_;
    DWORD maxSize_;
    DWORD queuedSince_ = 0; // tick count from which the buffer time runs for what is queued
    DWORD lastCall_ = 0;    // tick count of the last call with live events
    EventJournal::Seq cursor_;
    EventFilter filter_;
    ReturnedAttributes returned_;
    std::unique_ptr<InterfaceHolder> mgt_;                        // under the global lock
    std::unique_ptr<ConnectionContainer<IOPCEventSink>> container_; // under the global lock
    struct Queued {
        EventJournal::Seq seq; // its place in the journal: a sink advised later never hears it
        std::shared_ptr<const EventRecord> event;
    };
    std::deque<Queued> pending_; // under the global lock
    // A refresh: its events not yet sent, whether it runs, whether its last call is on its
    // way (it runs until that call returned). Under the global lock.
    std::deque<std::shared_ptr<const EventRecord>> refreshPending_;
    bool refreshing_ = false;
    bool refreshFinalTaken_ = false;
    // While both wait, a refresh batch goes next when the last call was live. Kept across
    // rounds: a round may end after one slow live call, and the refresh still gets its turn.
    bool refreshTurn_ = false;
    // The connection a refresh names: a sink is connected under that cookie.
    bool validConnection(DWORD connection) const;
    // Global lock held: forgets what the connected sink must not hear (everything without a
    // sink, events raised before its Advise, a refresh or a drop count of an earlier sink).
    void dropUnheard();
    DWORD advise_ = 0; // under the global lock: the point's Advise count dropUnheard last saw
    enum class CallKind { None, Live, Refresh };
    struct Call;
    // Global lock held: the next call's events, live and refresh batches taking turns while
    // both are due.
    CallKind takeCall(Call* call);
    // Without the lock: makes the call; false when the sink failed.
    bool makeCall(Call& call);
    void noteDropped(DWORD n); // global lock held
    std::atomic<DWORD> dropped_{0};
    DWORD droppedUntold_ = 0; // under the global lock: dropped since the last notice
};

// Destroys the subscriptions of a server that is going away (called without the global
// lock); a subscription the client still references stays in memory, inert, until its last
// Release.
void destroySubscriptions(std::vector<std::shared_ptr<COPCEventSubscription>>& subs);

// When an event last went to any of the client's subscriptions, released ones too (takes the
// lock).
FILETIME lastEventSentTo(OPCServer& server);

} // namespace qv

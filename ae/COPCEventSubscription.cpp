#include "ae/COPCEventSubscription.h"
#include <algorithm>
#include <cstdio>
#include <new>
#include "ae/Conditions.h"
#include "ae/EventDelivery.h"
#include "ae/EventVocabulary.h"
#include "idl/opcerrors.h"
#include "base/CallOut.h"
#include "base/Trace.h"
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

// Subscriptions that selected any attribute.
std::atomic<LONG> g_attributeSelections{0};

bool selectsAny(const ReturnedAttributes& r)
{
    return std::any_of(r.begin(), r.end(), [](const std::vector<DWORD>& ids) { return !ids.empty(); });
}

// What a sink's Advise notes: it hears the events raised from then on.
DWORD journalEnd() { return App().eventJournal.end(); }

// A task-memory array of wide copies; false (nothing left behind) when out of memory.
bool wideList(const std::vector<std::string>& in, DWORD* count, LPWSTR** out)
{
    *count = 0;
    *out = nullptr;
    if (in.empty()) return true;
    TaskArray<LPWSTR> arr(in.size());
    if (!arr) return false;
    for (size_t i = 0; i < in.size(); ++i) {
        arr[i] = widen(in[i]);
        if (!arr[i]) return false;
    }
    *count = static_cast<DWORD>(in.size());
    *out = arr.release();
    return true;
}

// IOPCEventSubscriptionMgt. Out pointers are cleared first so that a failure never hands the
// client's proxy uninitialised memory.
class OPCEventSubscriptionMgtImpl : public InterfaceObject<IOPCEventSubscriptionMgt, COPCEventSubscription> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE SetFilter(DWORD dwEventType, DWORD dwNumCategories, DWORD* pdwEventCategories,
                                        DWORD dwLowSeverity, DWORD dwHighSeverity, DWORD dwNumAreas,
                                        LPWSTR* pszAreaList, DWORD dwNumSources, LPWSTR* pszSourceList) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventSubscriptionMgt::SetFilter", 0, [&]() -> HRESULT {
            if ((dwNumCategories && !pdwEventCategories) || (dwNumAreas && !pszAreaList) ||
                (dwNumSources && !pszSourceList))
                return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            EventFilter f;
            try {
                std::vector<DWORD> cats(pdwEventCategories, pdwEventCategories + dwNumCategories);
                std::vector<std::string> areas, sources;
                for (DWORD i = 0; i < dwNumAreas; ++i) {
                    if (!pszAreaList[i]) return E_INVALIDARG;
                    areas.push_back(narrow(pszAreaList[i]));
                }
                for (DWORD i = 0; i < dwNumSources; ++i) {
                    if (!pszSourceList[i]) return E_INVALIDARG;
                    sources.push_back(narrow(pszSourceList[i]));
                }
                HRESULT hr =
                    f.set(dwEventType, cats, dwLowSeverity, dwHighSeverity, areas, sources, App().matchCase());
                if (FAILED(hr)) return hr;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            return owner_->setFilter(std::move(f));
        });
    }
    HRESULT STDMETHODCALLTYPE GetFilter(DWORD* pdwEventType, DWORD* pdwNumCategories, DWORD** ppdwEventCategories,
                                        DWORD* pdwLowSeverity, DWORD* pdwHighSeverity, DWORD* pdwNumAreas,
                                        LPWSTR** ppszAreaList, DWORD* pdwNumSources,
                                        LPWSTR** ppszSourceList) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventSubscriptionMgt::GetFilter", 0, [&]() -> HRESULT {
            clearOut(pdwEventType); clearOut(pdwNumCategories); clearOut(ppdwEventCategories);
            clearOut(pdwLowSeverity); clearOut(pdwHighSeverity); clearOut(pdwNumAreas);
            clearOut(ppszAreaList); clearOut(pdwNumSources); clearOut(ppszSourceList);
            if (!pdwEventType || !pdwNumCategories || !ppdwEventCategories || !pdwLowSeverity || !pdwHighSeverity ||
                !pdwNumAreas || !ppszAreaList || !pdwNumSources || !ppszSourceList)
                return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            try {
                const EventFilter f = owner_->filter();
                const std::vector<DWORD>& cats = f.categories();
                TaskArray<DWORD> catArr(cats.size());
                if (!cats.empty() && !catArr) return E_OUTOFMEMORY;
                for (size_t i = 0; i < cats.size(); ++i) catArr[i] = cats[i];
                DWORD na = 0, ns = 0;
                LPWSTR *areas = nullptr, *sources = nullptr;
                if (!wideList(f.areas(), &na, &areas)) return E_OUTOFMEMORY;
                if (!wideList(f.sources(), &ns, &sources)) {
                    for (DWORD i = 0; i < na; ++i) taskMemFree(areas[i]);
                    taskMemFree(areas);
                    return E_OUTOFMEMORY;
                }
                *pdwEventType = f.eventTypes();
                *pdwNumCategories = static_cast<DWORD>(cats.size());
                *ppdwEventCategories = cats.empty() ? nullptr : catArr.release();
                *pdwLowSeverity = f.lowSeverity();
                *pdwHighSeverity = f.highSeverity();
                *pdwNumAreas = na;
                *ppszAreaList = areas;
                *pdwNumSources = ns;
                *ppszSourceList = sources;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE SelectReturnedAttributes(DWORD dwEventCategory, DWORD dwCount,
                                                       DWORD* dwAttributeIDs) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventSubscriptionMgt::SelectReturnedAttributes", 0, [&]() -> HRESULT {
            if (dwCount && !dwAttributeIDs) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            try {
                return owner_->selectAttributes(dwEventCategory,
                                                std::vector<DWORD>(dwAttributeIDs, dwAttributeIDs + dwCount));
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        });
    }
    HRESULT STDMETHODCALLTYPE GetReturnedAttributes(DWORD dwEventCategory, DWORD* pdwCount,
                                                    DWORD** ppdwAttributeIDs) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventSubscriptionMgt::GetReturnedAttributes", 0, [&]() -> HRESULT {
            clearOut(pdwCount);
            if (!ppdwAttributeIDs || !pdwCount) return E_INVALIDARG;
            *ppdwAttributeIDs = nullptr;
            if (owner_->gone()) return kGoneResult;
            std::vector<DWORD> ids;
            try {
                HRESULT hr = owner_->returnedAttributes(dwEventCategory, &ids);
                if (FAILED(hr)) return hr;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            if (ids.empty()) return S_OK;
            TaskArray<DWORD> arr(ids.size());
            if (!arr) return E_OUTOFMEMORY;
            for (size_t i = 0; i < ids.size(); ++i) arr[i] = ids[i];
            *pdwCount = static_cast<DWORD>(ids.size());
            *ppdwAttributeIDs = arr.release();
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE Refresh(DWORD dwConnection) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventSubscriptionMgt::Refresh", 0, [&]() -> HRESULT {
            return owner_->refresh(dwConnection);
        });
    }
    HRESULT STDMETHODCALLTYPE CancelRefresh(DWORD dwConnection) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventSubscriptionMgt::CancelRefresh", 0, [&]() -> HRESULT {
            return owner_->cancelRefresh(dwConnection);
        });
    }
    HRESULT STDMETHODCALLTYPE GetState(BOOL* pbActive, DWORD* pdwBufferTime, DWORD* pdwMaxSize,
                                       OPCHANDLE* phClientSubscription) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventSubscriptionMgt::GetState", 0, [&]() -> HRESULT {
            clearOut(pbActive); clearOut(pdwBufferTime); clearOut(pdwMaxSize); clearOut(phClientSubscription);
            if (!pbActive || !pdwBufferTime || !pdwMaxSize || !phClientSubscription) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            owner_->getState(pbActive, pdwBufferTime, pdwMaxSize, phClientSubscription);
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE SetState(BOOL* pbActive, DWORD* pdwBufferTime, DWORD* pdwMaxSize,
                                       OPCHANDLE hClientSubscription, DWORD* pdwRevisedBufferTime,
                                       DWORD* pdwRevisedMaxSize) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventSubscriptionMgt::SetState", 0, [&]() -> HRESULT {
            clearOut(pdwRevisedBufferTime); clearOut(pdwRevisedMaxSize);
            if (!pdwRevisedBufferTime || !pdwRevisedMaxSize) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            return owner_->setState(pbActive, pdwBufferTime, pdwMaxSize, hClientSubscription, pdwRevisedBufferTime,
                                    pdwRevisedMaxSize);
        });
    }
};

} // namespace

COPCEventSubscription::COPCEventSubscription(OPCServer* owner, BOOL active, OPCHANDLE hClientSubscription,
                                             DWORD bufferTime, DWORD maxSize)
    : owner_(owner), active_(active), hClientSubscription_(hClientSubscription), bufferTime_(bufferTime),
      maxSize_(maxSize), lastCall_(GetTickCount()), cursor_(App().eventJournal.end())
{
}

HRESULT COPCEventSubscription::reviseState(DWORD* bufferTime, DWORD* maxSize)
{
    HRESULT hr = S_OK;
    if (*maxSize > kMaxEventsPerCall) {
        *maxSize = kMaxEventsPerCall;
        hr = OPC_S_INVALIDMAXSIZE;
    }
    const DWORD period = App().updatePeriod.load();
    if (*bufferTime && *bufferTime < period) {
        *bufferTime = period;
        hr = OPC_S_INVALIDBUFFERTIME;
    }
    return hr;
}

void COPCEventSubscription::getState(BOOL* active, DWORD* bufferTime, DWORD* maxSize, OPCHANDLE* hClient)
{
    LockGuard g(App().globalLock);
    *active = active_;
    *bufferTime = bufferTime_;
    *maxSize = maxSize_;
    *hClient = hClientSubscription_;
}

HRESULT COPCEventSubscription::setState(const BOOL* active, const DWORD* bufferTime, const DWORD* maxSize,
                                        OPCHANDLE hClient, DWORD* revisedBufferTime, DWORD* revisedMaxSize)
{
    LockGuard g(App().globalLock);
    DWORD bt = bufferTime ? *bufferTime : bufferTime_, ms = maxSize ? *maxSize : maxSize_;
    const HRESULT hr = reviseState(&bt, &ms);
    bufferTime_ = bt;
    maxSize_ = ms;
    hClientSubscription_ = hClient;
    if (active) {
        // An inactive subscription holds nothing back for later, and takes up from now.
        if (!*active) {
            pending_.clear();
            droppedUntold_ = 0;
        }
        else if (!active_) cursor_ = App().eventJournal.end();
        active_ = *active ? TRUE : FALSE;
    }
    *revisedBufferTime = bt;
    *revisedMaxSize = ms;
    return hr;
}

HRESULT COPCEventSubscription::setFilter(EventFilter&& f)
{
    LockGuard g(App().globalLock);
    filter_ = std::move(f);
    return S_OK;
}

HRESULT COPCEventSubscription::selectAttributes(DWORD category, std::vector<DWORD>&& ids)
{
    if (!findEventCategory(category)) return E_INVALIDARG;
    size_t n = 0;
    const EventAttribute* attrs = eventAttributes(category, &n);
    for (DWORD id : ids)
        if (std::none_of(attrs, attrs + n, [id](const EventAttribute& a) { return a.id == id; })) return E_INVALIDARG;
    LockGuard g(App().globalLock);
    const bool had = selectsAny(returned_);
    returned_[category] = std::move(ids);
    const bool has = selectsAny(returned_);
    if (had != has) g_attributeSelections += has ? 1 : -1;
    return S_OK;
}

HRESULT COPCEventSubscription::returnedAttributes(DWORD category, std::vector<DWORD>* ids)
{
    if (!findEventCategory(category)) return E_INVALIDARG;
    LockGuard g(App().globalLock);
    *ids = returned_[category];
    return S_OK;
}

EventFilter COPCEventSubscription::filter()
{
    LockGuard g(App().globalLock);
    return filter_;
}

COPCEventSubscription::~COPCEventSubscription()
{
    if (selectsAny(returned_)) --g_attributeSelections;
}

bool eventAttributesWanted() { return g_attributeSelections.load(std::memory_order_relaxed) != 0; }

HRESULT STDMETHODCALLTYPE COPCEventSubscription::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    IUnknown* result = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        result = static_cast<IUnknown*>(this);
    } else if (IsEqualIID(riid, IID_IOPCEventSubscriptionMgt)) {
        LockGuard g(App().globalLock);
        if (!mgt_) mgt_.reset(new (std::nothrow) OPCEventSubscriptionMgtImpl(this));
        if (mgt_) result = mgt_->unknown();
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
        LockGuard g(App().globalLock);
        if (!container_) {
            container_.reset(new (std::nothrow) ConnectionContainer<IOPCEventSink>(this, IID_IOPCEventSink, goneFlag(),
                                                                                      clientObjectsSlot(), weak_from_this(),
                                                                                      journalEnd));
        }
        if (container_) result = container_->unknown();
    }
    *ppv = result;
    if (!result) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE COPCEventSubscription::AddRef() { return addRef(); }
ULONG STDMETHODCALLTYPE COPCEventSubscription::Release() { return release(); }

void COPCEventSubscription::lastReleased()
{
    // From here no delivery that has not yet called the sink will call it.
    makeGone();
    std::shared_ptr<COPCEventSubscription> listed; // the list's hold, let go after the lock
    ConnectionContainer<IOPCEventSink>* c = nullptr;
    {
        LockGuard g(App().globalLock);
        c = container_.get();
        if (owner_) {
            auto& list = owner_->subscriptions;
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (it->get() == this) {
                    listed = std::move(*it);
                    list.erase(it);
                    break;
                }
            }
            owner_ = nullptr;
        }
    }
    // The sink is a client object: released without the lock.
    if (c) c->dropSinks();
}

ConnectionContainer<IOPCEventSink>* COPCEventSubscription::containerIfAny()
{
    LockGuard g(App().globalLock);
    return container_.get();
}

void COPCEventSubscription::noteDropped(DWORD n)
{
    if (!n) return;
    dropped_ += n;
    droppedUntold_ += n;
}

void COPCEventSubscription::dropUnheard()
{
    DWORD advisedAt = 0, advise = 0;
    const bool advised = container_ && container_->point().sinkAdvisedAt(&advisedAt, &advise);
    if (!advised || advise != advise_) {
        // Unadvised, or advised again since the last look: a refresh has no one to finish
        // for, and no one is owed a notice of drops.
        refreshPending_.clear();
        refreshing_ = refreshFinalTaken_ = false;
        droppedUntold_ = 0;
        advise_ = advise;
    }
    // Nothing queued is for anyone without a sink.
    if (!advised) {
        pending_.clear();
        return;
    }
    while (!pending_.empty() && EventJournal::before(pending_.front().seq, advisedAt)) pending_.pop_front();
}

void COPCEventSubscription::takeEvents(const EventJournal& journal)
{
    // What the journal let go of since the last look is counted before the cursor moves on.
    countDroppedEvents();
    const EventJournal::Seq end = journal.end();
    DWORD advisedAt = 0;
    if (gone() || !active_ || !container_ || !container_->point().sinkAdvisedAt(&advisedAt)) {
        cursor_ = end;
        dropUnheard();
        return;
    }
    // A sink hears what was raised from its Advise on, not before.
    if (EventJournal::before(cursor_, advisedAt)) cursor_ = advisedAt;
    dropUnheard();
    // The journal let these go while this client's worker was held up (counted just above).
    if (EventJournal::before(cursor_, journal.begin())) cursor_ = journal.begin();
    const char delimiter = App().delimiter;
    const size_t limit = journal.limit();
    // A full queue leaves the rest in the journal rather than dropping its own oldest: the
    // two bounds add up, and the journal drops (and counts) only what outlasts its own.
    for (; cursor_ != end && pending_.size() < limit; ++cursor_) {
        const EventJournal::Entry& e = journal.at(cursor_);
        if (!filter_.passes(*e.event, delimiter)) continue;
        try {
            pending_.push_back(Queued{cursor_, e.event});
            // The buffer time runs from the oldest event, but never from before the last call.
            if (pending_.size() == 1)
                queuedSince_ = static_cast<LONG>(e.raisedTick - lastCall_) > 0 ? e.raisedTick : lastCall_;
        } catch (const std::bad_alloc&) {
            noteDropped(1);
        }
    }
}

void COPCEventSubscription::missed(const EventJournal::Dropped* events, size_t n)
{
    DWORD advisedAt = 0;
    if (gone() || !active_ || !container_ || !container_->point().sinkAdvisedAt(&advisedAt)) return;
    dropUnheard(); // a sink advised since the last look is told of its own drops only
    const EventJournal::Seq from = EventJournal::before(cursor_, advisedAt) ? advisedAt : cursor_;
    const char delimiter = App().delimiter;
    DWORD count = 0;
    // Only what passes the filter counts: a filtered client is not told of others' events.
    for (size_t i = 0; i < n; ++i)
        if (!EventJournal::before(events[i].seq, from) && filter_.passes(*events[i].event, delimiter)) ++count;
    noteDropped(count);
}

bool COPCEventSubscription::validConnection(DWORD connection) const
{
    return connection == 1 && container_ && container_->point().hasSink();
}

HRESULT COPCEventSubscription::refresh(DWORD connection)
{
    if (gone()) return kGoneResult;
    OPCServer* owner = nullptr;
    {
        LockGuard g(App().globalLock);
        if (!validConnection(connection)) return E_INVALIDARG;
        dropUnheard(); // a refresh of an earlier sink is not this one's
        if (refreshing_) return OPC_E_BUSY;
        try {
            std::vector<std::shared_ptr<const EventRecord>> events = reportedConditionEvents();
            refreshPending_.clear();
            for (auto& ev : events)
                if (filter_.passes(*ev, App().delimiter)) refreshPending_.push_back(std::move(ev));
        } catch (const std::bad_alloc&) {
            refreshPending_.clear();
            return E_OUTOFMEMORY;
        }
        refreshing_ = true;
        refreshFinalTaken_ = false;
        owner = owner_;
        // The worker sends the batches: no client call is made on this thread.
        if (owner) owner->wake();
    }
    return S_OK;
}

HRESULT COPCEventSubscription::cancelRefresh(DWORD connection)
{
    if (gone()) return kGoneResult;
    LockGuard g(App().globalLock);
    if (!validConnection(connection)) return E_INVALIDARG;
    dropUnheard();
    if (!refreshing_) return E_FAIL;
    // What was not yet sent is dropped; the client still gets its final (empty) call.
    refreshPending_.clear();
    return S_OK;
}

struct COPCEventSubscription::Call {
    CallKind kind = CallKind::None;
    std::vector<std::shared_ptr<const EventRecord>> events;
    bool last = false; // the refresh's last call
    DWORD advise = 0;  // the sink's Advise count when taken
    ComPtr<IOPCEventSink> sink;
    OPCHANDLE hClient = 0;
    ReturnedAttributes returned;
};

COPCEventSubscription::CallKind COPCEventSubscription::takeCall(Call* call)
{
    if (gone()) return CallKind::None;
    dropUnheard();
    const size_t batchMax = maxSize_ ? maxSize_ : kMaxEventsPerCall;
    // Live events go once the buffer time ran out since the oldest of them was raised (or
    // since the last call), or at once when they fill a call; a notice of drops goes at once.
    const bool liveDue = droppedUntold_ || (!pending_.empty() && (bufferTime_ == 0 || pending_.size() >= batchMax ||
                                                                  GetTickCount() - queuedSince_ >= bufferTime_));
    const bool refreshDue = refreshing_ && !refreshFinalTaken_;
    if (!liveDue && !refreshDue) return CallKind::None;
    call->kind = refreshDue && (refreshTurn_ || !liveDue) ? CallKind::Refresh : CallKind::Live;
    refreshTurn_ = call->kind == CallKind::Live;
    try {
        call->events.reserve(batchMax);
        if (call->kind == CallKind::Refresh) {
            // Each condition as it is now, not as it was when the refresh was asked for: a
            // refresh never sends a state older than a live event the client already has.
            const char delimiter = App().delimiter;
            while (call->events.size() < batchMax && !refreshPending_.empty()) {
                const EventRecord& asked = *refreshPending_.front();
                const bool attrs = asked.eventCategory < returned_.size() && !returned_[asked.eventCategory].empty();
                std::shared_ptr<const EventRecord> now = currentReportedEvent(asked, attrs);
                if (now && filter_.passes(*now, delimiter)) call->events.push_back(std::move(now));
                refreshPending_.pop_front();
            }
            if (refreshPending_.empty()) call->last = refreshFinalTaken_ = true;
        } else {
            if (droppedUntold_) {
                char text[96];
                snprintf(text, sizeof text, "%lu events dropped since the last notice (queue limit %lu)",
                         static_cast<unsigned long>(droppedUntold_), static_cast<unsigned long>(App().eventJournal.limit()));
                if (std::shared_ptr<const EventRecord> notice = serverNotice(text, kHighestSeverity)) {
                    QV_TRACE(trace::kErrors, "client %lu \"%s\" event subscription %lu: %s",
                             static_cast<unsigned long>(owner_ ? owner_->clientNumber : 0),
                             owner_ ? owner_->clientName.c_str() : "", static_cast<unsigned long>(hClientSubscription_),
                             text);
                    call->events.push_back(std::move(notice));
                    droppedUntold_ = 0;
                }
            }
            while (call->events.size() < batchMax && !pending_.empty()) {
                call->events.push_back(std::move(pending_.front().event));
                pending_.pop_front();
            }
        }
        call->returned = returned_;
    } catch (const std::bad_alloc&) {
        // What was taken goes (a refresh's last call still comes); attributes may be missing.
        if (call->events.empty() && !call->last) return CallKind::None;
    }
    if (container_) call->sink = container_->point().sink();
    call->advise = advise_;
    call->hClient = hClientSubscription_;
    return call->kind;
}

bool COPCEventSubscription::makeCall(Call& call)
{
    const DWORD n = static_cast<DWORD>(call.events.size());
    const BOOL refresh = call.kind == CallKind::Refresh;
    HRESULT hr = S_OK;
    bool dropped = false;
    if (call.sink) {
        // An empty final refresh call still passes an array: the proxy refuses a null one.
        ONEVENTSTRUCT none{};
        ONEVENTSTRUCT* block = n ? packEvents(call.events.data(), n, &call.returned) : &none;
        if (block) {
            // A sink its client disconnected ends this connection only.
            hr = container_->point().callSink(call.sink, [&](IOPCEventSink* s) {
                return s->OnEvent(call.hClient, refresh, call.last, n, block);
            });
            if (n) freePackedEvents(block, n);
        } else {
            dropped = true;
        }
    } // else unadvised meanwhile: these events have no one to go to
    LockGuard g(App().globalLock);
    if (dropped && !refresh) noteDropped(n);
    if (call.kind == CallKind::Live) {
        // The buffer time starts again after every call.
        lastCall_ = GetTickCount();
        queuedSince_ = lastCall_;
    }
    if (call.sink && n && SUCCEEDED(hr) && owner_) {
        // Kept on the client: releasing this subscription never moves its status time back.
        const FILETIME now = utcNow();
        if (CompareFileTime(&now, &owner_->lastEventSent) > 0) owner_->lastEventSent = now;
    }
    // A sink advised meanwhile may have a refresh of its own running.
    if (call.last && call.advise == advise_) refreshing_ = refreshFinalTaken_ = false;
    return classifyFailure(hr) == CallFailure::None;
}

bool COPCEventSubscription::deliverPendingEvents()
{
    // A round of calls goes on while they are quick (about 20 ms); after it the worker serves
    // the client's data (OPCServer::serve), so a slow alarm sink delays that data by one call
    // at most. While both wait, live and refresh batches take turns: the refresh's last call
    // comes within a bounded time however many live events arrive, and live events never wait
    // behind a whole refresh. The turn carries over to the next round, which a single slow
    // call may have ended.
    constexpr DWORD kRoundMs = 20;
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kRoundMs) {
        Call call;
        {
            LockGuard g(App().globalLock);
            // What the journal holds for this subscription follows while the round goes on.
            takeEvents(App().eventJournal);
            if (takeCall(&call) == CallKind::None) return false;
        }
        if (!makeCall(call)) return false;
    }
    return true;
}

void COPCEventSubscription::detachFromOwner()
{
    owner_ = nullptr;
    makeGone();
}

void COPCEventSubscription::dropSink()
{
    ConnectionContainer<IOPCEventSink>* c = nullptr;
    {
        LockGuard g(App().globalLock);
        c = container_.get();
    }
    if (c) c->dropSinks();
}

void destroySubscriptions(std::vector<std::shared_ptr<COPCEventSubscription>>& subs)
{
    {
        LockGuard g(App().globalLock);
        for (auto& s : subs) s->detachFromOwner();
    }
    for (auto& s : subs) s->dropSink();
    subs.clear(); // a subscription the client still references stays, gone, until its last Release
}

} // namespace qv

namespace qv {

FILETIME lastEventSentTo(OPCServer& server)
{
    LockGuard g(App().globalLock);
    return server.lastEventSent;
}

} // namespace qv

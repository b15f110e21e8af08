#include "ae/COPCEventSubscription.h"
#include <algorithm>
#include <new>
#include "ae/Conditions.h"
#include "ae/EventDelivery.h"
#include "idl/opcerrors.h"
#include "base/CallOut.h"
#include "runtime/OPCServerApp.h"
#include "server/OPCServer.h"
#include "base/Trace.h"

namespace qv {

namespace {

// IOPCEventSubscriptionMgt: there is no filter and no attribute selection. Out
// pointers are cleared first so that a failure never hands the client's proxy uninitialised
// memory.
class OPCEventSubscriptionMgtImpl : public InterfaceObject<IOPCEventSubscriptionMgt, COPCEventSubscription> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE SetFilter(DWORD, DWORD, DWORD*, DWORD, DWORD, DWORD, LPWSTR*, DWORD,
                                        LPWSTR*) override
    {
        return trace::traced("IOPCEventSubscriptionMgt::SetFilter", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE GetFilter(DWORD* pdwEventType, DWORD* pdwNumCategories, DWORD** ppdwEventCategories,
                                        DWORD* pdwLowSeverity, DWORD* pdwHighSeverity, DWORD* pdwNumAreas,
                                        LPWSTR** ppszAreaList, DWORD* pdwNumSources,
                                        LPWSTR** ppszSourceList) override
    {
        return trace::traced("IOPCEventSubscriptionMgt::GetFilter", 0, [&]() -> HRESULT {
            clearOut(pdwEventType); clearOut(pdwNumCategories); clearOut(ppdwEventCategories);
            clearOut(pdwLowSeverity); clearOut(pdwHighSeverity); clearOut(pdwNumAreas);
            clearOut(ppszAreaList); clearOut(pdwNumSources); clearOut(ppszSourceList);
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE SelectReturnedAttributes(DWORD, DWORD, DWORD*) override
    {
        return trace::traced("IOPCEventSubscriptionMgt::SelectReturnedAttributes", 0, [&]() -> HRESULT {
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE GetReturnedAttributes(DWORD, DWORD* pdwCount, DWORD** ppdwAttributeIDs) override
    {
        return trace::traced("IOPCEventSubscriptionMgt::GetReturnedAttributes", 0, [&]() -> HRESULT {
            clearOut(pdwCount);
            if (!ppdwAttributeIDs) return E_INVALIDARG;
            *ppdwAttributeIDs = nullptr;
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE Refresh(DWORD dwConnection) override
    {
        return trace::traced("IOPCEventSubscriptionMgt::Refresh", 0, [&]() -> HRESULT {
            return owner_->refresh(dwConnection);
        });
    }
    HRESULT STDMETHODCALLTYPE CancelRefresh(DWORD dwConnection) override
    {
        return trace::traced("IOPCEventSubscriptionMgt::CancelRefresh", 0, [&]() -> HRESULT {
            return owner_->cancelRefresh(dwConnection);
        });
    }
    HRESULT STDMETHODCALLTYPE GetState(BOOL* pbActive, DWORD* pdwBufferTime, DWORD* pdwMaxSize,
                                       OPCHANDLE* phClientSubscription) override
    {
        return trace::traced("IOPCEventSubscriptionMgt::GetState", 0, [&]() -> HRESULT {
            clearOut(pbActive); clearOut(pdwBufferTime); clearOut(pdwMaxSize); clearOut(phClientSubscription);
            return E_NOTIMPL;
        });
    }
    HRESULT STDMETHODCALLTYPE SetState(BOOL*, DWORD*, DWORD*, OPCHANDLE, DWORD* pdwRevisedBufferTime,
                                       DWORD* pdwRevisedMaxSize) override
    {
        return trace::traced("IOPCEventSubscriptionMgt::SetState", 0, [&]() -> HRESULT {
            clearOut(pdwRevisedBufferTime); clearOut(pdwRevisedMaxSize);
            return E_NOTIMPL;
        });
    }
};

} // namespace

COPCEventSubscription::COPCEventSubscription(OPCServer* owner, BOOL active, OPCHANDLE hClientSubscription)
    : owner_(owner), active_(active), hClientSubscription_(hClientSubscription)
{
}

COPCEventSubscription::~COPCEventSubscription() = default;

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
                                                                                      clientObjectsSlot(), weak_from_this()));
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

bool COPCEventSubscription::enqueueEvent(const std::shared_ptr<const EventRecord>& ev)
{
    if (gone() || !container_ || !container_->point().hasSink()) return false;
    // A queue that already held events has had its worker woken: only the first one wakes it
    // (waking costs a system call, queuing does not).
    const bool first = !hasPendingEvents();
    try {
        if (pending_.size() >= kMaxPendingEvents) {
            pending_.pop_front();
            ++dropped_;
        }
        pending_.push_back(ev);
    } catch (const std::bad_alloc&) {
        ++dropped_;
        return false;
    }
    return first;
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
        if (refreshing_) return OPC_E_BUSY;
        try {
            std::vector<std::shared_ptr<const EventRecord>> events = reportedConditionEvents();
            refreshPending_.assign(events.begin(), events.end());
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
    if (!refreshing_) return E_FAIL;
    // What was not yet sent is dropped; the client still gets its final (empty) call.
    refreshPending_.clear();
    return S_OK;
}

bool COPCEventSubscription::deliverPendingEvents()
{
    // One call carries up to this many events: a client that fell behind catches up quickly.
    constexpr size_t kBatch = 256;
    // Batches go on while they are quick; after a slow one the worker serves the client's
    // data first, so a slow alarm sink delays that data by one call at most.
    constexpr DWORD kRoundMs = 20;
    const DWORD start = GetTickCount();
    for (;;) {
        if (GetTickCount() - start >= kRoundMs) return true;
        std::vector<std::shared_ptr<const EventRecord>> batch;
        ComPtr<IOPCEventSink> sink; // released after the lock
        bool refresh = false, last = false;
        {
            LockGuard g(App().globalLock);
            if (gone()) return false;
            // Refresh batches go after the events already queued; new events may come between them.
            std::deque<std::shared_ptr<const EventRecord>>* from = &pending_;
            if (pending_.empty()) {
                if (!refreshing_ || refreshFinalTaken_) return false;
                from = &refreshPending_;
                refresh = true;
            }
            if (container_) sink = container_->point().sink();
            try {
                const size_t n = from->size() < kBatch ? from->size() : kBatch;
                batch.reserve(n);
                for (size_t i = 0; i < n; ++i) {
                    batch.push_back(std::move(from->front()));
                    from->pop_front();
                }
            } catch (const std::bad_alloc&) {
                if (batch.empty()) return true; // left queued for the next round
            }
            if (refresh && refreshPending_.empty()) last = refreshFinalTaken_ = true;
        }
        HRESULT hr = S_OK;
        if (sink) {
            const DWORD n = static_cast<DWORD>(batch.size());
            // An empty final refresh call still passes an array: the proxy refuses a null one.
            ONEVENTSTRUCT none{};
            ONEVENTSTRUCT* block = n ? packEvents(batch.data(), batch.size()) : &none;
            if (block) {
                // A sink its client disconnected ends this connection only.
                hr = container_->point().callSink(
                    sink, [&](IOPCEventSink*) { return sink->OnEvent(hClientSubscription_, refresh, last, n, block); });
                if (n) freePackedEvent(block); // no attributes: one free
            } else {
                dropped_ += n;
            }
        } // else unadvised meanwhile: these events have no one to go to
        if (last) {
            LockGuard g(App().globalLock);
            refreshing_ = refreshFinalTaken_ = false;
        }
        if (classifyFailure(hr) != CallFailure::None) return false;
    }
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

#include "ae/COPCEventSubscription.h"
#include <algorithm>
#include <new>
#include "ae/EventDelivery.h"
#include "runtime/CallOut.h"
#include "runtime/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

// IOPCEventSubscriptionMgt: there is no filter, no attribute selection and no refresh. Out
// pointers are cleared first so that a failure never hands the client's proxy uninitialised
// memory.
class OPCEventSubscriptionMgtImpl : public InterfaceObject<IOPCEventSubscriptionMgt, COPCEventSubscription> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE SetFilter(DWORD, DWORD, DWORD*, DWORD, DWORD, DWORD, LPWSTR*, DWORD,
                                        LPWSTR*) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetFilter(DWORD* pdwEventType, DWORD* pdwNumCategories, DWORD** ppdwEventCategories,
                                        DWORD* pdwLowSeverity, DWORD* pdwHighSeverity, DWORD* pdwNumAreas,
                                        LPWSTR** ppszAreaList, DWORD* pdwNumSources,
                                        LPWSTR** ppszSourceList) override
    {
        clearOut(pdwEventType); clearOut(pdwNumCategories); clearOut(ppdwEventCategories);
        clearOut(pdwLowSeverity); clearOut(pdwHighSeverity); clearOut(pdwNumAreas);
        clearOut(ppszAreaList); clearOut(pdwNumSources); clearOut(ppszSourceList);
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SelectReturnedAttributes(DWORD, DWORD, DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetReturnedAttributes(DWORD, DWORD* pdwCount, DWORD** ppdwAttributeIDs) override
    {
        clearOut(pdwCount);
        if (!ppdwAttributeIDs) return E_INVALIDARG;
        *ppdwAttributeIDs = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Refresh(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelRefresh(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetState(BOOL* pbActive, DWORD* pdwBufferTime, DWORD* pdwMaxSize,
                                       OPCHANDLE* phClientSubscription) override
    {
        clearOut(pbActive); clearOut(pdwBufferTime); clearOut(pdwMaxSize); clearOut(phClientSubscription);
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetState(BOOL*, DWORD*, DWORD*, OPCHANDLE, DWORD* pdwRevisedBufferTime,
                                       DWORD* pdwRevisedMaxSize) override
    {
        clearOut(pdwRevisedBufferTime); clearOut(pdwRevisedMaxSize);
        return E_NOTIMPL;
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

bool COPCEventSubscription::enqueueEvent(const EventRecord& ev)
{
    if (gone() || !container_ || !container_->point().hasSink()) return false;
    // A queue that already held events has had its worker woken: only the first one wakes it
    // (waking costs a system call, queuing does not).
    const bool first = pending_.empty();
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

void COPCEventSubscription::deliverPendingEvents()
{
    // One call carries up to this many events: a client that fell behind catches up quickly.
    constexpr size_t kBatch = 256;
    for (;;) {
        std::vector<EventRecord> batch;
        ComPtr<IOPCEventSink> sink; // released after the lock
        {
            LockGuard g(App().globalLock);
            if (gone() || pending_.empty()) return;
            if (container_) sink = container_->point().sink();
            try {
                const size_t n = pending_.size() < kBatch ? pending_.size() : kBatch;
                batch.reserve(n);
                for (size_t i = 0; i < n; ++i) {
                    batch.push_back(std::move(pending_.front()));
                    pending_.pop_front();
                }
            } catch (const std::bad_alloc&) {
                if (batch.empty()) return; // left queued for the next round
            }
        }
        if (!sink) continue; // unadvised meanwhile: these events have no one to go to
        ONEVENTSTRUCT* block = packEvents(batch.data(), batch.size());
        if (!block) {
            dropped_ += static_cast<DWORD>(batch.size());
            continue;
        }
        const DWORD n = static_cast<DWORD>(batch.size());
        HRESULT hr = callClient([&] { return sink->OnEvent(hClientSubscription_, FALSE, FALSE, n, block); });
        freePackedEvent(block); // no attributes: one free
        if (isDisconnection(hr)) return;
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

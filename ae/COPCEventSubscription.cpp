#include "ae/COPCEventSubscription.h"
#include <algorithm>
#include <new>
#include "ae/EventHandler.h"
#include "runtime/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

// IOPCEventSubscriptionMgt: everything goes to the event handler. Out pointers are cleared
// first so that a failure never hands the client's proxy uninitialised memory.
class SubscriptionMgt : public InterfaceObject<IOPCEventSubscriptionMgt, COPCEventSubscription> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE SetFilter(DWORD dwEventType, DWORD dwNumCategories, DWORD* pdwEventCategories,
                                        DWORD dwLowSeverity, DWORD dwHighSeverity, DWORD dwNumAreas,
                                        LPWSTR* pszAreaList, DWORD dwNumSources, LPWSTR* pszSourceList) override
    {
        EventHandler* h = App().eventHandler;
        if (!h) return E_NOTIMPL;
        return h->SetFilter(owner_, dwEventType, dwNumCategories, pdwEventCategories, dwLowSeverity, dwHighSeverity,
                            dwNumAreas, pszAreaList, dwNumSources, pszSourceList);
    }
    HRESULT STDMETHODCALLTYPE GetFilter(DWORD* pdwEventType, DWORD* pdwNumCategories, DWORD** ppdwEventCategories,
                                        DWORD* pdwLowSeverity, DWORD* pdwHighSeverity, DWORD* pdwNumAreas,
                                        LPWSTR** ppszAreaList, DWORD* pdwNumSources,
                                        LPWSTR** ppszSourceList) override
    {
        clearOut(pdwEventType); clearOut(pdwNumCategories); clearOut(ppdwEventCategories);
        clearOut(pdwLowSeverity); clearOut(pdwHighSeverity); clearOut(pdwNumAreas);
        clearOut(ppszAreaList); clearOut(pdwNumSources); clearOut(ppszSourceList);
        EventHandler* h = App().eventHandler;
        if (!h) return E_NOTIMPL;
        return h->GetFilter(owner_, pdwEventType, pdwNumCategories, ppdwEventCategories, pdwLowSeverity,
                            pdwHighSeverity, pdwNumAreas, ppszAreaList, pdwNumSources, ppszSourceList);
    }
    HRESULT STDMETHODCALLTYPE SelectReturnedAttributes(DWORD dwEventCategory, DWORD dwCount,
                                                       DWORD* dwAttributeIDs) override
    {
        EventHandler* h = App().eventHandler;
        if (!h) return E_NOTIMPL;
        return h->SelectReturnedAttributes(owner_, dwEventCategory, dwCount, dwAttributeIDs);
    }
    HRESULT STDMETHODCALLTYPE GetReturnedAttributes(DWORD dwEventCategory, DWORD* pdwCount,
                                                    DWORD** ppdwAttributeIDs) override
    {
        clearOut(pdwCount);
        if (!ppdwAttributeIDs) return E_INVALIDARG;
        *ppdwAttributeIDs = nullptr;
        EventHandler* h = App().eventHandler;
        if (!h) return E_NOTIMPL;
        return h->GetReturnedAttributes(owner_, dwEventCategory, pdwCount, ppdwAttributeIDs);
    }
    HRESULT STDMETHODCALLTYPE Refresh(DWORD dwConnection) override
    {
        EventHandler* h = App().eventHandler;
        return h ? h->Refresh(owner_, dwConnection) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE CancelRefresh(DWORD dwConnection) override
    {
        EventHandler* h = App().eventHandler;
        return h ? h->CancelRefresh(owner_, dwConnection) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetState(BOOL* pbActive, DWORD* pdwBufferTime, DWORD* pdwMaxSize,
                                       OPCHANDLE* phClientSubscription) override
    {
        clearOut(pbActive); clearOut(pdwBufferTime); clearOut(pdwMaxSize); clearOut(phClientSubscription);
        EventHandler* h = App().eventHandler;
        return h ? h->GetState(owner_, pbActive, pdwBufferTime, pdwMaxSize, phClientSubscription) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetState(BOOL* pbActive, DWORD* pdwBufferTime, DWORD* pdwMaxSize,
                                       OPCHANDLE hClientSubscription, DWORD* pdwRevisedBufferTime,
                                       DWORD* pdwRevisedMaxSize) override
    {
        clearOut(pdwRevisedBufferTime); clearOut(pdwRevisedMaxSize);
        EventHandler* h = App().eventHandler;
        return h ? h->SetState(owner_, pbActive, pdwBufferTime, pdwMaxSize, hClientSubscription,
                               pdwRevisedBufferTime, pdwRevisedMaxSize)
                 : E_NOTIMPL;
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
        if (!mgt_) mgt_.reset(new (std::nothrow) SubscriptionMgt(this));
        if (mgt_) result = mgt_->unknown();
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
        LockGuard g(App().globalLock);
        if (!container_) {
            container_.reset(new (std::nothrow) ConnectionContainer<IOPCEventSink>(this, IID_IOPCEventSink));
            // Advise on this container arrives in the same apartment as this call.
            servedInMta_ = !inSingleThreadedApartment();
        }
        if (container_) result = container_->unknown();
    }
    *ppv = result;
    if (!result) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

ULONG STDMETHODCALLTYPE COPCEventSubscription::AddRef()
{
    return static_cast<ULONG>(++refCount_);
}

ULONG STDMETHODCALLTYPE COPCEventSubscription::Release()
{
    LONG n = --refCount_;
    if (n > 0) return static_cast<ULONG>(n);
    if (n < 0) {
        ++refCount_; // a client released more than it held: ignore it
        return 0;
    }
    if (comGone_.exchange(true)) return 0;
    // From here no broadcast that has not yet called the sink will call it.
    released_ = true;
    if (EventHandler* h = App().eventHandler) h->OnSubscriptionReleased(this);
    bool listed = false;
    ConnectionContainer<IOPCEventSink>* c = nullptr;
    {
        LockGuard g(App().globalLock);
        c = container_.get();
        if (owner_) {
            std::vector<COPCEventSubscription*>& list = owner_->subscriptions;
            auto it = std::find(list.begin(), list.end(), this);
            if (it != list.end()) {
                list.erase(it);
                listed = true;
            }
            owner_ = nullptr;
        }
    }
    // The sink is a client object: released without the lock.
    if (c) c->dropSinks();
    if (listed) unhold();
    unhold();
    return 0;
}

void COPCEventSubscription::unhold()
{
    if (--life_ == 0) delete this;
}

void COPCEventSubscription::detachFromOwner()
{
    owner_ = nullptr;
    released_ = true;
}

void COPCEventSubscription::finishDetach()
{
    ConnectionContainer<IOPCEventSink>* c = nullptr;
    {
        LockGuard g(App().globalLock);
        c = container_.get();
    }
    if (c) c->dropSinks();
    unhold();
}

void COPCEventSubscription::discardUnreferenced()
{
    comGone_ = true;
    released_ = true;
    unhold();
}

void destroySubscriptions(std::vector<COPCEventSubscription*>& subs)
{
    {
        LockGuard g(App().globalLock);
        for (COPCEventSubscription* s : subs)
            if (s) s->detachFromOwner();
    }
    for (COPCEventSubscription* s : subs)
        if (s) s->finishDetach();
    subs.clear();
}

} // namespace qv

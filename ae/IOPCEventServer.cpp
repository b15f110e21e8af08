// The server's IOPCEventServer: pointer checks here, answers from the event handler.
#include <algorithm>
#include <new>
#include "ae/COPCEventSubscription.h"
#include "ae/EventHandler.h"
#include "runtime/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

class EventServerObject : public InterfaceObject<IOPCEventServer, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE GetStatus(OPCEVENTSERVERSTATUS** ppEventServerStatus) override
    {
        if (!ppEventServerStatus) return E_INVALIDARG;
        *ppEventServerStatus = nullptr;
        EventHandler* h = App().eventHandler;
        return h ? h->GetStatus(ppEventServerStatus, owner_->startTime) : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE CreateEventSubscription(BOOL bActive, DWORD, DWORD, OPCHANDLE hClientSubscription,
                                                      REFIID riid, LPUNKNOWN* ppUnk, DWORD* pdwRevisedBufferTime,
                                                      DWORD* pdwRevisedMaxSize) override
    {
        clearOut(ppUnk);
        clearOut(pdwRevisedBufferTime);
        clearOut(pdwRevisedMaxSize);
        if (!ppUnk || !pdwRevisedBufferTime || !pdwRevisedMaxSize) return E_INVALIDARG;
        EventHandler* h = App().eventHandler;
        if (!h) return E_NOTIMPL;
        auto* sub = new (std::nothrow) COPCEventSubscription(owner_, bActive, hClientSubscription);
        if (!sub) return E_FAIL;
        {
            LockGuard g(App().globalLock);
            try {
                owner_->subscriptions.push_back(sub);
            } catch (const std::bad_alloc&) {
                g.release();
                delete sub; // never listed, never referenced
                return E_FAIL;
            }
        }
        // The caller's interface, not a bare IUnknown: an in-process caller uses the pointer
        // as riid directly; through a proxy the result is the same.
        HRESULT hr = sub->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        if (FAILED(hr)) {
            *ppUnk = nullptr;
            bool listed = false;
            {
                LockGuard g(App().globalLock);
                auto& list = owner_->subscriptions;
                auto it = std::find(list.begin(), list.end(), sub);
                if (it != list.end()) {
                    list.erase(it);
                    listed = true;
                }
                sub->detachFromOwner();
            }
            if (listed) sub->finishDetach();
            sub->discardUnreferenced();
            return hr;
        }
        *pdwRevisedBufferTime = sub->revisedBufferTime();
        *pdwRevisedMaxSize = sub->revisedMaxSize();
        h->OnSubscriptionCreated(sub, sub->revisedBufferTime(), sub->revisedMaxSize(), hClientSubscription);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryAvailableFilters(DWORD* pdwFilterMask) override
    {
        if (!pdwFilterMask) return E_INVALIDARG;
        *pdwFilterMask = 0;
        EventHandler* h = App().eventHandler;
        return h ? h->QueryAvailableFilters(pdwFilterMask) : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE QueryEventCategories(DWORD dwEventType, DWORD* pdwCount, DWORD** ppdwEventCategories,
                                                   LPWSTR** ppszEventCategoryDescs) override
    {
        clearOut(pdwCount);
        clearOut(ppdwEventCategories);
        clearOut(ppszEventCategoryDescs);
        if (!pdwCount || !ppdwEventCategories || !ppszEventCategoryDescs) return E_INVALIDARG;
        EventHandler* h = App().eventHandler;
        return h ? h->QueryEventCategories(dwEventType, pdwCount, ppdwEventCategories, ppszEventCategoryDescs)
                 : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE QueryConditionNames(DWORD dwEventCategory, DWORD* pdwCount,
                                                  LPWSTR** ppszConditionNames) override
    {
        clearOut(pdwCount);
        clearOut(ppszConditionNames);
        if (!pdwCount || !ppszConditionNames) return E_INVALIDARG;
        EventHandler* h = App().eventHandler;
        return h ? h->QueryConditionNames(dwEventCategory, pdwCount, ppszConditionNames) : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE QuerySubConditionNames(LPWSTR szConditionName, DWORD* pdwCount,
                                                     LPWSTR** ppszSubConditionNames) override
    {
        clearOut(pdwCount);
        clearOut(ppszSubConditionNames);
        if (!pdwCount || !ppszSubConditionNames) return E_INVALIDARG;
        EventHandler* h = App().eventHandler;
        return h ? h->QuerySubConditionNames(szConditionName, pdwCount, ppszSubConditionNames) : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE QuerySourceConditions(LPWSTR szSource, DWORD* pdwCount,
                                                    LPWSTR** ppszConditionNames) override
    {
        clearOut(pdwCount);
        clearOut(ppszConditionNames);
        if (!pdwCount || !ppszConditionNames) return E_INVALIDARG;
        EventHandler* h = App().eventHandler;
        return h ? h->QuerySourceConditions(szSource, pdwCount, ppszConditionNames) : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE QueryEventAttributes(DWORD dwEventCategory, DWORD* pdwCount, DWORD** ppdwAttrIDs,
                                                   LPWSTR** ppszAttrDescs, VARTYPE** ppvtAttrTypes) override
    {
        clearOut(pdwCount);
        clearOut(ppdwAttrIDs);
        clearOut(ppszAttrDescs);
        clearOut(ppvtAttrTypes);
        if (!pdwCount || !ppdwAttrIDs || !ppszAttrDescs || !ppvtAttrTypes) return E_INVALIDARG;
        EventHandler* h = App().eventHandler;
        return h ? h->QueryEventAttributes(dwEventCategory, pdwCount, ppdwAttrIDs, ppszAttrDescs, ppvtAttrTypes)
                 : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE TranslateToItemIDs(LPWSTR szSource, DWORD dwEventCategory, LPWSTR szConditionName,
                                                 LPWSTR szSubconditionName, DWORD dwCount, DWORD* pdwAssocAttrIDs,
                                                 LPWSTR** ppszAttrItemIDs, LPWSTR** ppszNodeNames,
                                                 CLSID** ppCLSIDs) override
    {
        clearOut(ppszAttrItemIDs);
        clearOut(ppszNodeNames);
        clearOut(ppCLSIDs);
        if (!ppszAttrItemIDs || !ppszNodeNames || !ppCLSIDs) return E_INVALIDARG;
        EventHandler* h = App().eventHandler;
        return h ? h->TranslateToItemIDs(szSource, dwEventCategory, szConditionName, szSubconditionName, dwCount,
                                         pdwAssocAttrIDs, ppszAttrItemIDs, ppszNodeNames, ppCLSIDs)
                 : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE GetConditionState(LPWSTR szSource, LPWSTR szConditionName, DWORD dwNumEventAttrs,
                                                DWORD* pdwAttributeIDs,
                                                OPCCONDITIONSTATE** ppConditionState) override
    {
        clearOut(ppConditionState);
        if (!ppConditionState) return E_INVALIDARG;
        EventHandler* h = App().eventHandler;
        return h ? h->GetConditionState(szSource, szConditionName, dwNumEventAttrs, pdwAttributeIDs,
                                        ppConditionState)
                 : E_NOTIMPL;
    }

    // The four enable/disable methods check nothing: they read none of their arguments.
    HRESULT STDMETHODCALLTYPE EnableConditionByArea(DWORD dwNumAreas, LPWSTR* pszAreas) override
    {
        EventHandler* h = App().eventHandler;
        return h ? h->EnableConditionByArea(dwNumAreas, pszAreas) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE EnableConditionBySource(DWORD dwNumSources, LPWSTR* pszSources) override
    {
        EventHandler* h = App().eventHandler;
        return h ? h->EnableConditionBySource(dwNumSources, pszSources) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DisableConditionByArea(DWORD dwNumAreas, LPWSTR* pszAreas) override
    {
        EventHandler* h = App().eventHandler;
        return h ? h->DisableConditionByArea(dwNumAreas, pszAreas) : E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE DisableConditionBySource(DWORD dwNumSources, LPWSTR* pszSources) override
    {
        EventHandler* h = App().eventHandler;
        return h ? h->DisableConditionBySource(dwNumSources, pszSources) : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE AckCondition(DWORD dwCount, LPWSTR szAcknowledgerID, LPWSTR szComment,
                                           LPWSTR* pszSource, LPWSTR* pszConditionName, FILETIME* pftActiveTime,
                                           DWORD* pdwCookie, HRESULT** ppErrors) override
    {
        if (!ppErrors) return E_INVALIDARG;
        *ppErrors = nullptr;
        EventHandler* h = App().eventHandler;
        return h ? h->AckCondition(dwCount, szAcknowledgerID, szComment, pszSource, pszConditionName, pftActiveTime,
                                   pdwCookie, ppErrors)
                 : E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE CreateAreaBrowser(REFIID riid, LPUNKNOWN* ppUnk) override
    {
        if (!ppUnk) return E_INVALIDARG;
        *ppUnk = nullptr;
        EventHandler* h = App().eventHandler;
        return h ? h->CreateAreaBrowser(riid, ppUnk) : E_NOTIMPL;
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeIOPCEventServer(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) EventServerObject(s));
}

} // namespace qv

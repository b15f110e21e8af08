// The server's IOPCEventServer, answering from the fixed event vocabulary.
#include <algorithm>
#include <cstring>
#include <new>
#include "ae/COPCEventSubscription.h"
#include "ae/EventVocabulary.h"
#include "runtime/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

// A task-memory array of wide copies; null (nothing left behind) when out of memory.
LPWSTR* wideArray(const char* const* texts, size_t n)
{
    TaskArray<LPWSTR> arr(n);
    if (!arr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        arr[i] = widen(texts[i]);
        if (!arr[i]) return nullptr; // the array frees what it holds
    }
    return arr.release();
}

class OPCEventServerImpl : public InterfaceObject<IOPCEventServer, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE GetStatus(OPCEVENTSERVERSTATUS** ppEventServerStatus) override
    {
        if (!ppEventServerStatus) return E_INVALIDARG;
        *ppEventServerStatus = nullptr;
        OPCServerApp& app = App();
        TaskArray<OPCEVENTSERVERSTATUS> st(1);
        if (!st) return E_OUTOFMEMORY;
        st->ftStartTime = app.startTime;
        CoFileTimeNow(&st->ftCurrentTime);
        st->ftLastUpdateTime = owner_->startTime;
        st->dwServerState = OPCAE_STATUS_RUNNING;
        st->wMajorVersion = app.majorVersion;
        st->wMinorVersion = app.minorVersion;
        st->wBuildNumber = app.buildNumber;
        st->wReserved = 0;
        st->szVendorInfo = widen(app.vendorInfoCopy());
        if (!st->szVendorInfo) return E_OUTOFMEMORY;
        *ppEventServerStatus = st.release();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE CreateEventSubscription(BOOL bActive, DWORD, DWORD, OPCHANDLE hClientSubscription,
                                                      REFIID riid, LPUNKNOWN* ppUnk, DWORD* pdwRevisedBufferTime,
                                                      DWORD* pdwRevisedMaxSize) override
    {
        clearOut(ppUnk);
        clearOut(pdwRevisedBufferTime);
        clearOut(pdwRevisedMaxSize);
        if (!ppUnk || !pdwRevisedBufferTime || !pdwRevisedMaxSize) return E_INVALIDARG;
        std::shared_ptr<COPCEventSubscription> sub;
        try {
            sub = std::make_shared<COPCEventSubscription>(owner_, bActive, hClientSubscription);
            if (!registerWithClient(owner_->clientObjects(), sub)) return kGoneResult;
            LockGuard g(App().globalLock);
            owner_->subscriptions.push_back(sub);
        } catch (const std::bad_alloc&) {
            return E_FAIL; // never listed, never referenced: it goes with sub
        }
        // The caller's interface, not a bare IUnknown: an in-process caller uses the pointer
        // as riid directly; through a proxy the result is the same.
        HRESULT hr = sub->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
        if (FAILED(hr)) {
            *ppUnk = nullptr;
            std::shared_ptr<COPCEventSubscription> listed; // let go after the lock
            LockGuard g(App().globalLock);
            auto& list = owner_->subscriptions;
            for (auto it = list.begin(); it != list.end(); ++it) {
                if (*it == sub) {
                    listed = std::move(*it);
                    list.erase(it);
                    break;
                }
            }
            sub->detachFromOwner();
            g.release();
            return hr;
        }
        *pdwRevisedBufferTime = sub->revisedBufferTime();
        *pdwRevisedMaxSize = sub->revisedMaxSize();
        return S_OK;
    }

    // No filter is offered.
    HRESULT STDMETHODCALLTYPE QueryAvailableFilters(DWORD* pdwFilterMask) override
    {
        if (!pdwFilterMask) return E_INVALIDARG;
        *pdwFilterMask = 0;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryEventCategories(DWORD dwEventType, DWORD* pdwCount, DWORD** ppdwEventCategories,
                                                   LPWSTR** ppszEventCategoryDescs) override
    {
        clearOut(pdwCount);
        clearOut(ppdwEventCategories);
        clearOut(ppszEventCategoryDescs);
        if (!pdwCount || !ppdwEventCategories || !ppszEventCategoryDescs) return E_INVALIDARG;
        DWORD ids[3];
        const char* descs[3];
        size_t n = 0;
        for (const EventCategory& c : kEventCategories) {
            if (!(dwEventType & c.eventType)) continue;
            ids[n] = c.id;
            descs[n++] = c.description;
        }
        if (n == 0) return S_OK;
        TaskArray<DWORD> idArr(n);
        if (!idArr) return E_OUTOFMEMORY;
        LPWSTR* descArr = wideArray(descs, n);
        if (!descArr) return E_OUTOFMEMORY;
        memcpy(idArr.get(), ids, n * sizeof(DWORD));
        *pdwCount = static_cast<DWORD>(n);
        *ppdwEventCategories = idArr.release();
        *ppszEventCategoryDescs = descArr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QueryConditionNames(DWORD dwEventCategory, DWORD* pdwCount,
                                                  LPWSTR** ppszConditionNames) override
    {
        clearOut(pdwCount);
        clearOut(ppszConditionNames);
        if (!pdwCount || !ppszConditionNames) return E_INVALIDARG;
        const EventCategory* c = findEventCategory(dwEventCategory);
        if (!c) return E_INVALIDARG;
        LPWSTR* arr = wideArray(&c->conditionName, 1);
        if (!arr) return E_OUTOFMEMORY;
        *pdwCount = 1;
        *ppszConditionNames = arr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QuerySubConditionNames(LPWSTR szConditionName, DWORD* pdwCount,
                                                     LPWSTR** ppszSubConditionNames) override
    {
        clearOut(pdwCount);
        clearOut(ppszSubConditionNames);
        if (!pdwCount || !ppszSubConditionNames) return E_INVALIDARG;
        size_t n = 0;
        const char* const* names = subConditionNames(narrow(szConditionName), &n);
        if (n == 0) return S_OK;
        LPWSTR* arr = wideArray(names, n);
        if (!arr) return E_OUTOFMEMORY;
        *pdwCount = static_cast<DWORD>(n);
        *ppszSubConditionNames = arr;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE QuerySourceConditions(LPWSTR, DWORD* pdwCount, LPWSTR** ppszConditionNames) override
    {
        clearOut(pdwCount);
        clearOut(ppszConditionNames);
        if (!pdwCount || !ppszConditionNames) return E_INVALIDARG;
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE QueryEventAttributes(DWORD, DWORD* pdwCount, DWORD** ppdwAttrIDs,
                                                   LPWSTR** ppszAttrDescs, VARTYPE** ppvtAttrTypes) override
    {
        clearOut(pdwCount);
        clearOut(ppdwAttrIDs);
        clearOut(ppszAttrDescs);
        clearOut(ppvtAttrTypes);
        if (!pdwCount || !ppdwAttrIDs || !ppszAttrDescs || !ppvtAttrTypes) return E_INVALIDARG;
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE TranslateToItemIDs(LPWSTR, DWORD, LPWSTR, LPWSTR, DWORD, DWORD*,
                                                 LPWSTR** ppszAttrItemIDs, LPWSTR** ppszNodeNames,
                                                 CLSID** ppCLSIDs) override
    {
        clearOut(ppszAttrItemIDs);
        clearOut(ppszNodeNames);
        clearOut(ppCLSIDs);
        if (!ppszAttrItemIDs || !ppszNodeNames || !ppCLSIDs) return E_INVALIDARG;
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE GetConditionState(LPWSTR, LPWSTR, DWORD, DWORD*,
                                                OPCCONDITIONSTATE** ppConditionState) override
    {
        clearOut(ppConditionState);
        if (!ppConditionState) return E_INVALIDARG;
        return E_NOTIMPL;
    }

    // The four enable/disable methods check nothing: they read none of their arguments.
    HRESULT STDMETHODCALLTYPE EnableConditionByArea(DWORD, LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE EnableConditionBySource(DWORD, LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DisableConditionByArea(DWORD, LPWSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE DisableConditionBySource(DWORD, LPWSTR*) override { return E_NOTIMPL; }

    // No condition can be acknowledged: every one answers E_INVALIDARG.
    HRESULT STDMETHODCALLTYPE AckCondition(DWORD dwCount, LPWSTR, LPWSTR, LPWSTR*, LPWSTR*, FILETIME*, DWORD*,
                                           HRESULT** ppErrors) override
    {
        if (!ppErrors) return E_INVALIDARG;
        *ppErrors = nullptr;
        // A zero count follows the array convention (nothing to answer for).
        if (dwCount == 0) return E_INVALIDARG;
        TaskArray<HRESULT> errors(dwCount);
        if (!errors) return E_OUTOFMEMORY;
        for (DWORD i = 0; i < dwCount; ++i) errors[i] = E_INVALIDARG;
        *ppErrors = errors.release();
        return S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE CreateAreaBrowser(REFIID, LPUNKNOWN* ppUnk) override
    {
        if (!ppUnk) return E_INVALIDARG;
        *ppUnk = nullptr;
        return E_NOTIMPL;
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeIOPCEventServer(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCEventServerImpl(s));
}

} // namespace qv

#include "ae/EventHandler.h"
#include <cstring>
#include <new>
#include <utility>
#include "ae/COPCEventSubscription.h"
#include "runtime/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

template <class T>
void clearOut(T* p)
{
    if (p) *p = T();
}

const char* const kSubConditionNames[] = {"Lo Lo", "Lo", "Hi", "Hi Hi"};

// A task-memory array of wide copies; null (nothing left behind) when out of memory.
LPWSTR* wideArray(const char* const* texts, size_t n)
{
    OPCServerApp& app = App();
    LPWSTR* arr = app.taskAllocArray<LPWSTR>(n);
    if (!arr) return nullptr;
    for (size_t i = 0; i < n; ++i) {
        arr[i] = widen(texts[i]);
        if (!arr[i]) {
            for (size_t k = 0; k < i; ++k) app.taskFree(arr[k]);
            app.taskFree(arr);
            return nullptr;
        }
    }
    return arr;
}

size_t wideBytes(const std::string& s) { return (s.size() + 1) * sizeof(WCHAR); }

// Copies s into dst with each byte zero-extended; returns the position after the null.
WCHAR* putWide(WCHAR* dst, const std::string& s)
{
    for (unsigned char c : s) *dst++ = c;
    *dst++ = 0;
    return dst;
}

} // namespace

EventHandler::~EventHandler() = default;

HRESULT EventHandler::GetStatus(OPCEVENTSERVERSTATUS** ppEventServerStatus, const FILETIME& lastUpdateTime)
{
    if (!ppEventServerStatus) return E_INVALIDARG;
    *ppEventServerStatus = nullptr;
    OPCServerApp& app = App();
    TaskPtr<OPCEVENTSERVERSTATUS> st(static_cast<OPCEVENTSERVERSTATUS*>(app.taskAlloc(sizeof(OPCEVENTSERVERSTATUS))));
    if (!st) return E_OUTOFMEMORY;
    st->ftStartTime = app.startTime;
    CoFileTimeNow(&st->ftCurrentTime);
    st->ftLastUpdateTime = lastUpdateTime;
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

HRESULT EventHandler::QueryAvailableFilters(DWORD* pdwFilterMask)
{
    if (!pdwFilterMask) return E_INVALIDARG;
    *pdwFilterMask = 0;
    return S_OK;
}

HRESULT EventHandler::QueryEventCategories(DWORD dwEventType, DWORD* pdwCount, DWORD** ppdwEventCategories,
                                           LPWSTR** ppszEventCategoryDescs)
{
    if (!pdwCount || !ppdwEventCategories || !ppszEventCategoryDescs) return E_INVALIDARG;
    *pdwCount = 0;
    *ppdwEventCategories = nullptr;
    *ppszEventCategoryDescs = nullptr;
    DWORD ids[3];
    const char* descs[3];
    size_t n = 0;
    if (dwEventType & OPC_SIMPLE_EVENT) { ids[n] = 1; descs[n++] = "System Message"; }
    if (dwEventType & OPC_CONDITION_EVENT) {
        ids[n] = 2; descs[n++] = "Level";
        ids[n] = 3; descs[n++] = "Discrete";
    }
    if (n == 0) return S_OK;
    TaskPtr<DWORD> idArr(App().taskAllocArray<DWORD>(n));
    if (!idArr) return E_OUTOFMEMORY;
    LPWSTR* descArr = wideArray(descs, n);
    if (!descArr) return E_OUTOFMEMORY;
    memcpy(idArr.get(), ids, n * sizeof(DWORD));
    *pdwCount = static_cast<DWORD>(n);
    *ppdwEventCategories = idArr.release();
    *ppszEventCategoryDescs = descArr;
    return S_OK;
}

HRESULT EventHandler::QueryConditionNames(DWORD dwEventCategory, DWORD* pdwCount, LPWSTR** ppszConditionNames)
{
    if (!pdwCount || !ppszConditionNames) return E_INVALIDARG;
    *pdwCount = 0;
    *ppszConditionNames = nullptr;
    const char* name = nullptr;
    switch (dwEventCategory) {
    case 1: name = "Informational Text"; break;
    case 2: name = "Level Alarm"; break;
    case 3: name = "Discrete Alarm"; break;
    default: return E_INVALIDARG;
    }
    LPWSTR* arr = wideArray(&name, 1);
    if (!arr) return E_OUTOFMEMORY;
    *pdwCount = 1;
    *ppszConditionNames = arr;
    return S_OK;
}

HRESULT EventHandler::QuerySubConditionNames(LPWSTR szConditionName, DWORD* pdwCount, LPWSTR** ppszSubConditionNames)
{
    if (!pdwCount || !ppszSubConditionNames) return E_INVALIDARG;
    *pdwCount = 0;
    *ppszSubConditionNames = nullptr;
    if (narrow(szConditionName) != "Level Alarm") return S_OK;
    LPWSTR* arr = wideArray(kSubConditionNames, 4);
    if (!arr) return E_OUTOFMEMORY;
    *pdwCount = 4;
    *ppszSubConditionNames = arr;
    return S_OK;
}

HRESULT EventHandler::QuerySourceConditions(LPWSTR, DWORD* pdwCount, LPWSTR** ppszConditionNames)
{
    clearOut(pdwCount);
    clearOut(ppszConditionNames);
    return E_NOTIMPL;
}

HRESULT EventHandler::QueryEventAttributes(DWORD, DWORD* pdwCount, DWORD** ppdwAttrIDs, LPWSTR** ppszAttrDescs,
                                           VARTYPE** ppvtAttrTypes)
{
    clearOut(pdwCount);
    clearOut(ppdwAttrIDs);
    clearOut(ppszAttrDescs);
    clearOut(ppvtAttrTypes);
    return E_NOTIMPL;
}

HRESULT EventHandler::TranslateToItemIDs(LPWSTR, DWORD, LPWSTR, LPWSTR, DWORD, DWORD*, LPWSTR** ppszAttrItemIDs,
                                         LPWSTR** ppszNodeNames, CLSID** ppCLSIDs)
{
    clearOut(ppszAttrItemIDs);
    clearOut(ppszNodeNames);
    clearOut(ppCLSIDs);
    return E_NOTIMPL;
}

HRESULT EventHandler::GetConditionState(LPWSTR, LPWSTR, DWORD, DWORD*, OPCCONDITIONSTATE** ppConditionState)
{
    clearOut(ppConditionState);
    return E_NOTIMPL;
}

HRESULT EventHandler::EnableConditionByArea(DWORD, LPWSTR*) { return E_NOTIMPL; }
HRESULT EventHandler::EnableConditionBySource(DWORD, LPWSTR*) { return E_NOTIMPL; }
HRESULT EventHandler::DisableConditionByArea(DWORD, LPWSTR*) { return E_NOTIMPL; }
HRESULT EventHandler::DisableConditionBySource(DWORD, LPWSTR*) { return E_NOTIMPL; }

HRESULT EventHandler::AckCondition(DWORD dwCount, LPWSTR, LPWSTR, LPWSTR*, LPWSTR*, FILETIME*, DWORD*,
                                   HRESULT** ppErrors)
{
    if (!ppErrors) return E_INVALIDARG;
    *ppErrors = nullptr;
    // A zero count follows the array convention (nothing to answer for).
    if (dwCount == 0) return E_INVALIDARG;
    HRESULT* errors = App().taskAllocArray<HRESULT>(dwCount);
    if (!errors) return E_OUTOFMEMORY;
    for (DWORD i = 0; i < dwCount; ++i) errors[i] = E_INVALIDARG;
    *ppErrors = errors;
    return S_FALSE;
}

HRESULT EventHandler::CreateAreaBrowser(REFIID, LPUNKNOWN* ppUnk)
{
    clearOut(ppUnk);
    return E_NOTIMPL;
}

HRESULT EventHandler::OnSubscriptionCreated(COPCEventSubscription*, DWORD, DWORD, OPCHANDLE) { return S_OK; }
HRESULT EventHandler::OnSubscriptionReleased(COPCEventSubscription*) { return S_OK; }

HRESULT EventHandler::SetFilter(COPCEventSubscription*, DWORD, DWORD, DWORD*, DWORD, DWORD, DWORD, LPWSTR*, DWORD,
                                LPWSTR*)
{
    return E_NOTIMPL;
}

HRESULT EventHandler::GetFilter(COPCEventSubscription*, DWORD*, DWORD*, DWORD**, DWORD*, DWORD*, DWORD*, LPWSTR**,
                                DWORD*, LPWSTR**)
{
    return E_NOTIMPL;
}

HRESULT EventHandler::SelectReturnedAttributes(COPCEventSubscription*, DWORD, DWORD, DWORD*) { return E_NOTIMPL; }
HRESULT EventHandler::GetReturnedAttributes(COPCEventSubscription*, DWORD, DWORD*, DWORD**) { return E_NOTIMPL; }
HRESULT EventHandler::Refresh(COPCEventSubscription*, DWORD) { return E_NOTIMPL; }
HRESULT EventHandler::CancelRefresh(COPCEventSubscription*, DWORD) { return E_NOTIMPL; }
HRESULT EventHandler::GetState(COPCEventSubscription*, BOOL*, DWORD*, DWORD*, OPCHANDLE*) { return E_NOTIMPL; }
HRESULT EventHandler::SetState(COPCEventSubscription*, BOOL*, DWORD*, DWORD*, OPCHANDLE, DWORD*, DWORD*)
{
    return E_NOTIMPL;
}

void EventHandler::broadcast(const EventRecord& ev)
{
    // Only queues: the clients' workers deliver, so no host thread ever waits for a client.
    OPCServerApp& app = App();
    LockGuard g(app.globalLock);
    for (OPCServer* s : app.clients) {
        if (s->disconnected()) continue;
        bool wake = false;
        for (COPCEventSubscription* sub : s->subscriptions)
            if (sub && sub->enqueueEvent(ev)) wake = true;
        if (wake) s->wake();
    }
}

ONEVENTSTRUCT* packEvent(const EventRecord& ev, const VARIANT* attributes, DWORD attributeCount)
{
    if (!attributes) attributeCount = 0;
    const std::string* strings[5] = {&ev.source, &ev.message, &ev.conditionName, &ev.subconditionName, &ev.actorId};
    size_t bytes = sizeof(ONEVENTSTRUCT);
    for (const std::string* s : strings) bytes += wideBytes(*s);
    size_t attrOffset = 0;
    if (attributeCount) {
        // The VARIANT array needs its natural alignment after the 2-byte characters.
        bytes = (bytes + alignof(VARIANT) - 1) & ~(alignof(VARIANT) - 1);
        attrOffset = bytes;
        bytes += attributeCount * sizeof(VARIANT);
    }
    BYTE* base = static_cast<BYTE*>(App().taskAlloc(bytes));
    if (!base) return nullptr;
    ONEVENTSTRUCT* e = reinterpret_cast<ONEVENTSTRUCT*>(base);
    e->wChangeMask = ev.changeMask;
    e->wNewState = ev.newState;
    e->ftTime = ev.time;
    e->dwEventType = ev.eventType;
    e->dwEventCategory = ev.eventCategory;
    e->dwSeverity = ev.severity;
    e->wQuality = ev.quality;
    e->wReserved = 0;
    e->bAckRequired = ev.ackRequired;
    e->ftActiveTime = ev.activeTime;
    e->dwCookie = ev.cookie;
    LPWSTR* targets[5] = {&e->szSource, &e->szMessage, &e->szConditionName, &e->szSubconditionName, &e->szActorID};
    WCHAR* w = reinterpret_cast<WCHAR*>(base + sizeof(ONEVENTSTRUCT));
    for (int i = 0; i < 5; ++i) {
        *targets[i] = w;
        w = putWide(w, *strings[i]);
    }
    if (attributeCount) {
        VARIANT* attrs = reinterpret_cast<VARIANT*>(base + attrOffset);
        for (DWORD i = 0; i < attributeCount; ++i) {
            VariantInit(&attrs[i]);
            if (FAILED(VariantCopy(&attrs[i], const_cast<VARIANT*>(&attributes[i])))) {
                for (DWORD k = 0; k < i; ++k) VariantClear(&attrs[k]);
                App().taskFree(base);
                return nullptr;
            }
        }
        e->dwNumEventAttrs = attributeCount;
        e->pEventAttributes = attrs;
    }
    return e;
}

ONEVENTSTRUCT* packEvents(const EventRecord* evs, size_t n)
{
    if (n == 0 || n > (static_cast<size_t>(-1) / 4) / sizeof(ONEVENTSTRUCT)) return nullptr;
    size_t bytes = n * sizeof(ONEVENTSTRUCT);
    for (size_t i = 0; i < n; ++i) {
        const EventRecord& ev = evs[i];
        for (const std::string* s : {&ev.source, &ev.message, &ev.conditionName, &ev.subconditionName, &ev.actorId})
            bytes += wideBytes(*s);
    }
    BYTE* base = static_cast<BYTE*>(App().taskAlloc(bytes));
    if (!base) return nullptr;
    auto* arr = reinterpret_cast<ONEVENTSTRUCT*>(base);
    WCHAR* w = reinterpret_cast<WCHAR*>(base + n * sizeof(ONEVENTSTRUCT));
    for (size_t i = 0; i < n; ++i) {
        const EventRecord& ev = evs[i];
        ONEVENTSTRUCT* e = &arr[i];
        e->wChangeMask = ev.changeMask;
        e->wNewState = ev.newState;
        e->ftTime = ev.time;
        e->dwEventType = ev.eventType;
        e->dwEventCategory = ev.eventCategory;
        e->dwSeverity = ev.severity;
        e->wQuality = ev.quality;
        e->bAckRequired = ev.ackRequired;
        e->ftActiveTime = ev.activeTime;
        e->dwCookie = ev.cookie;
        const std::string* strings[5] = {&ev.source, &ev.message, &ev.conditionName, &ev.subconditionName, &ev.actorId};
        LPWSTR* targets[5] = {&e->szSource, &e->szMessage, &e->szConditionName, &e->szSubconditionName, &e->szActorID};
        for (int k = 0; k < 5; ++k) {
            *targets[k] = w;
            w = putWide(w, *strings[k]);
        }
    }
    return arr;
}

void freePackedEvents(ONEVENTSTRUCT* block, size_t)
{
    App().taskFree(block);
}

void freePackedEvent(ONEVENTSTRUCT* block)
{
    if (!block) return;
    for (DWORD i = 0; block->pEventAttributes && i < block->dwNumEventAttrs; ++i)
        VariantClear(&block->pEventAttributes[i]);
    App().taskFree(block);
}

} // namespace qv

// The server's IOPCEventServer, answering from the fixed event vocabulary.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>
#include "idl/opcerrors.h"
#include "ae/COPCEventSubscription.h"
#include "ae/Conditions.h"
#include "ae/EventAreaBrowser.h"
#include "base/Trace.h"
#include "ae/EventVocabulary.h"
#include "base/CallOut.h"
#include "core/OPCServerApp.h"
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

// What GetConditionState reports, copied under the lock.
struct ConditionSnapshot {
    WORD state = 0, quality = 0;
    std::string active, definition, description, acknowledger, comment;
    DWORD severity = 0;
    FILETIME lastAck{}, subCondLastActive{}, condLastActive{}, condLastInactive{};
    std::vector<SubConditionInfo> subs;
    // The requested attributes now, and per attribute S_OK or E_INVALIDARG (not one of the
    // condition's category).
    std::vector<Variant> attrs;
    std::vector<HRESULT> attrErrors;
};

// Current Value is the tag's value now; Limit Exceeded the limit of the active level (empty
// while the level alarm is inactive).
void snapshotAttributes(const ConditionState& c, DWORD n, const DWORD* ids, ConditionSnapshot* out)
{
    const DWORD category = c.kind == ConditionKind::Level ? kCategoryLevel : kCategoryDiscrete;
    size_t known = 0;
    const EventAttribute* attrs = eventAttributes(category, &known);
    out->attrs.resize(n);
    out->attrErrors.assign(n, E_INVALIDARG);
    for (DWORD i = 0; i < n; ++i) {
        if (std::none_of(attrs, attrs + known, [&](const EventAttribute& a) { return a.id == ids[i]; })) continue;
        out->attrErrors[i] = SUCCEEDED(attributeNow(c, ids[i], &out->attrs[i])) ? S_OK : E_OUTOFMEMORY;
    }
}

void snapshot(const ConditionState& c, ConditionSnapshot* out)
{
    out->state = c.state;
    out->quality = c.quality;
    out->active = activeSubConditionName(c);
    out->severity = c.sub ? c.severity : 0; // the active sub-condition's: none while inactive
    out->acknowledger = c.acknowledger;
    out->comment = c.comment;
    out->lastAck = c.lastAckTime;
    out->subCondLastActive = c.subCondLastActive;
    out->condLastActive = c.condLastActive;
    out->condLastInactive = c.condLastInactive;
    out->subs = subConditions(c);
    for (const SubConditionInfo& sc : out->subs) {
        if (sc.name != out->active) continue;
        out->definition = sc.definition;
        out->description = sc.description;
    }
}

// Frees a condition state with everything it points to (each part is its own block, as the
// client's proxy frees them).
void freeConditionState(OPCCONDITIONSTATE* st)
{
    if (!st) return;
    for (LPWSTR p : {st->szActiveSubCondition, st->szASCDefinition, st->szASCDescription, st->szAcknowledgerID,
                     st->szComment})
        taskMemFree(p);
    for (LPWSTR* arr : {st->pszSCNames, st->pszSCDefinitions, st->pszSCDescriptions}) {
        for (DWORD i = 0; arr && i < st->dwNumSCs; ++i) taskMemFree(arr[i]);
        taskMemFree(arr);
    }
    taskMemFree(st->pdwSCSeverities);
    for (DWORD i = 0; st->pEventAttributes && i < st->dwNumEventAttrs; ++i) VariantClear(&st->pEventAttributes[i]);
    taskMemFree(st->pEventAttributes);
    taskMemFree(st->pErrors);
    taskMemFree(st);
}

// The client's copy; null when out of memory.
OPCCONDITIONSTATE* packConditionState(const ConditionSnapshot& c, DWORD numAttrs)
{
    TaskArray<OPCCONDITIONSTATE> block(1);
    if (!block) return nullptr;
    OPCCONDITIONSTATE* st = block.release();
    st->wState = c.state;
    st->dwASCSeverity = c.severity;
    st->wQuality = c.quality;
    st->ftLastAckTime = c.lastAck;
    st->ftSubCondLastActive = c.subCondLastActive;
    st->ftCondLastActive = c.condLastActive;
    st->ftCondLastInactive = c.condLastInactive;
    st->szActiveSubCondition = widen(c.active);
    st->szASCDefinition = widen(c.definition);
    st->szASCDescription = widen(c.description);
    st->szAcknowledgerID = widen(c.acknowledger);
    st->szComment = widen(c.comment);
    bool ok = st->szActiveSubCondition && st->szASCDefinition && st->szASCDescription && st->szAcknowledgerID &&
              st->szComment;
    const size_t n = c.subs.size();
    TaskArray<LPWSTR> names(n), defs(n), descs(n);
    TaskArray<DWORD> sevs(n);
    ok = ok && names && defs && descs && sevs;
    for (size_t i = 0; ok && i < n; ++i) {
        names[i] = widen(c.subs[i].name);
        defs[i] = widen(c.subs[i].definition);
        descs[i] = widen(c.subs[i].description);
        sevs[i] = c.subs[i].severity;
        ok = names[i] && defs[i] && descs[i];
    }
    TaskArray<VARIANT> attrs(numAttrs);
    TaskArray<HRESULT> errors(numAttrs);
    ok = ok && attrs && errors;
    for (DWORD i = 0; ok && i < numAttrs; ++i) {
        VariantInit(&attrs[i]);
        errors[i] = c.attrErrors[i];
        if (errors[i] == S_OK && FAILED(VariantCopy(&attrs[i], const_cast<VARIANT*>(c.attrs[i].get())))) {
            for (DWORD k = 0; k < i; ++k) VariantClear(&attrs[k]);
            ok = false;
        }
    }
    if (!ok) {
        freeConditionState(st);
        return nullptr;
    }
    st->dwNumSCs = static_cast<DWORD>(n);
    st->pszSCNames = names.release();
    st->pszSCDefinitions = defs.release();
    st->pszSCDescriptions = descs.release();
    st->pdwSCSeverities = sevs.release();
    st->dwNumEventAttrs = numAttrs;
    st->pEventAttributes = attrs.release();
    st->pErrors = errors.release();
    return st;
}

// The four Enable/Disable methods: every name must be known, else nothing changes.
HRESULT enableConditions(DWORD count, LPWSTR* names, bool byArea, bool enable)
{
    if (count == 0 || !names) return E_INVALIDARG;
    try {
        std::vector<std::string> narrowed;
        narrowed.reserve(count);
        for (DWORD i = 0; i < count; ++i) {
            if (!names[i]) return E_INVALIDARG;
            narrowed.push_back(narrow(names[i]));
        }
        LockGuard g(App().globalLock);
        return setConditionsEnabled(narrowed, byArea, enable);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

class OPCEventServerImpl : public InterfaceObject<IOPCEventServer, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE GetStatus(OPCEVENTSERVERSTATUS** ppEventServerStatus) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::GetStatus", 0, [&]() -> HRESULT {
            if (!ppEventServerStatus) return E_INVALIDARG;
            *ppEventServerStatus = nullptr;
            if (owner_->gone()) return kGoneResult;
            OPCServerApp& app = App();
            TaskArray<OPCEVENTSERVERSTATUS> st(1);
            if (!st) return E_OUTOFMEMORY;
            st->ftStartTime = app.startTime;
            CoFileTimeNow(&st->ftCurrentTime);
            // When an event last went to this client (zero before the first).
            st->ftLastUpdateTime = lastEventSentTo(*owner_);
            st->dwServerState = OPCAE_STATUS_RUNNING;
            st->wMajorVersion = app.majorVersion;
            st->wMinorVersion = app.minorVersion;
            st->wBuildNumber = app.buildNumber;
            st->wReserved = 0;
            st->szVendorInfo = widen(app.vendorInfoCopy());
            if (!st->szVendorInfo) return E_OUTOFMEMORY;
            *ppEventServerStatus = st.release();
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE CreateEventSubscription(BOOL bActive, DWORD dwBufferTime, DWORD dwMaxSize,
                                                      OPCHANDLE hClientSubscription,
                                                      REFIID riid, LPUNKNOWN* ppUnk, DWORD* pdwRevisedBufferTime,
                                                      DWORD* pdwRevisedMaxSize) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::CreateEventSubscription", 0, [&]() -> HRESULT {
            clearOut(ppUnk);
            clearOut(pdwRevisedBufferTime);
            clearOut(pdwRevisedMaxSize);
            if (!ppUnk || !pdwRevisedBufferTime || !pdwRevisedMaxSize) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            const HRESULT revised = COPCEventSubscription::reviseState(&dwBufferTime, &dwMaxSize);
            std::shared_ptr<COPCEventSubscription> sub;
            try {
                sub = std::make_shared<COPCEventSubscription>(owner_, bActive ? TRUE : FALSE, hClientSubscription,
                                                              dwBufferTime, dwMaxSize);
                if (!registerWithClient(owner_->clientObjects(), sub)) return kGoneResult;
                LockGuard g(App().globalLock);
                // A server that went meanwhile has let go of its list: nothing may join it now.
                if (owner_->gone()) {
                    sub->detachFromOwner();
                    return kGoneResult;
                }
                owner_->subscriptions.push_back(sub);
                owner_->wake(); // its worker now waits for events too
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
            *pdwRevisedBufferTime = dwBufferTime;
            *pdwRevisedMaxSize = dwMaxSize;
            return revised;
        });
    }

    HRESULT STDMETHODCALLTYPE QueryAvailableFilters(DWORD* pdwFilterMask) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::QueryAvailableFilters", 0, [&]() -> HRESULT {
            if (!pdwFilterMask) return E_INVALIDARG;
            *pdwFilterMask = EventFilter::kAvailable;
            if (owner_->gone()) return kGoneResult;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QueryEventCategories(DWORD dwEventType, DWORD* pdwCount, DWORD** ppdwEventCategories,
                                                   LPWSTR** ppszEventCategoryDescs) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::QueryEventCategories", 0, [&]() -> HRESULT {
            clearOut(pdwCount);
            clearOut(ppdwEventCategories);
            clearOut(ppszEventCategoryDescs);
            if (!pdwCount || !ppdwEventCategories || !ppszEventCategoryDescs) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
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
        });
    }

    HRESULT STDMETHODCALLTYPE QueryConditionNames(DWORD dwEventCategory, DWORD* pdwCount,
                                                  LPWSTR** ppszConditionNames) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::QueryConditionNames", 0, [&]() -> HRESULT {
            clearOut(pdwCount);
            clearOut(ppszConditionNames);
            if (!pdwCount || !ppszConditionNames) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            const EventCategory* c = findEventCategory(dwEventCategory);
            if (!c) return E_INVALIDARG;
            // Simple events belong to no condition.
            if (c->eventType != OPC_CONDITION_EVENT) return S_OK;
            LPWSTR* arr = wideArray(&c->conditionName, 1);
            if (!arr) return E_OUTOFMEMORY;
            *pdwCount = 1;
            *ppszConditionNames = arr;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QuerySubConditionNames(LPWSTR szConditionName, DWORD* pdwCount,
                                                     LPWSTR** ppszSubConditionNames) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::QuerySubConditionNames", 0, [&]() -> HRESULT {
            clearOut(pdwCount);
            clearOut(ppszSubConditionNames);
            if (!pdwCount || !ppszSubConditionNames) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            size_t n = 0;
            const char* const* names = subConditionNames(narrow(szConditionName), &n);
            if (n == 0) return S_OK;
            LPWSTR* arr = wideArray(names, n);
            if (!arr) return E_OUTOFMEMORY;
            *pdwCount = static_cast<DWORD>(n);
            *ppszSubConditionNames = arr;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QuerySourceConditions(LPWSTR szSource, DWORD* pdwCount,
                                                    LPWSTR** ppszConditionNames) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::QuerySourceConditions", 0, [&]() -> HRESULT {
            clearOut(pdwCount);
            clearOut(ppszConditionNames);
            if (!pdwCount || !ppszConditionNames || !szSource) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            const std::string source = narrow(szSource);
            std::vector<const char*> names;
            try {
                names.reserve(2);
                LockGuard g(App().globalLock);
                if (!sourceConditions(source, &names)) return E_INVALIDARG;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            if (names.empty()) return S_OK;
            LPWSTR* arr = wideArray(names.data(), names.size());
            if (!arr) return E_OUTOFMEMORY;
            *pdwCount = static_cast<DWORD>(names.size());
            *ppszConditionNames = arr;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE QueryEventAttributes(DWORD dwEventCategory, DWORD* pdwCount, DWORD** ppdwAttrIDs,
                                                   LPWSTR** ppszAttrDescs, VARTYPE** ppvtAttrTypes) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::QueryEventAttributes", 0, [&]() -> HRESULT {
            clearOut(pdwCount);
            clearOut(ppdwAttrIDs);
            clearOut(ppszAttrDescs);
            clearOut(ppvtAttrTypes);
            if (!pdwCount || !ppdwAttrIDs || !ppszAttrDescs || !ppvtAttrTypes) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            if (!findEventCategory(dwEventCategory)) return E_INVALIDARG;
            size_t n = 0;
            const EventAttribute* attrs = eventAttributes(dwEventCategory, &n);
            if (n == 0) return S_OK;
            TaskArray<DWORD> ids(n);
            TaskArray<VARTYPE> types(n);
            const char* descs[2];
            for (size_t i = 0; i < n; ++i) descs[i] = attrs[i].description;
            if (!ids || !types) return E_OUTOFMEMORY;
            LPWSTR* descArr = wideArray(descs, n);
            if (!descArr) return E_OUTOFMEMORY;
            for (size_t i = 0; i < n; ++i) {
                ids[i] = attrs[i].id;
                types[i] = attrs[i].vt;
            }
            *pdwCount = static_cast<DWORD>(n);
            *ppdwAttrIDs = ids.release();
            *ppszAttrDescs = descArr;
            *ppvtAttrTypes = types.release();
            return S_OK;
        });
    }

    // The current value attribute is the source tag's own item; the others are no item ("").
    HRESULT STDMETHODCALLTYPE TranslateToItemIDs(LPWSTR szSource, DWORD dwEventCategory, LPWSTR, LPWSTR,
                                                 DWORD dwCount, DWORD* pdwAssocAttrIDs, LPWSTR** ppszAttrItemIDs,
                                                 LPWSTR** ppszNodeNames, CLSID** ppCLSIDs) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::TranslateToItemIDs", 0, [&]() -> HRESULT {
            clearOut(ppszAttrItemIDs);
            clearOut(ppszNodeNames);
            clearOut(ppCLSIDs);
            if (!ppszAttrItemIDs || !ppszNodeNames || !ppCLSIDs || !szSource || dwCount == 0 || !pdwAssocAttrIDs)
                return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            const std::string source = narrow(szSource);
            size_t n = 0;
            const EventAttribute* attrs = eventAttributes(dwEventCategory, &n);
            for (DWORD i = 0; i < dwCount; ++i)
                if (std::none_of(attrs, attrs + n, [&](const EventAttribute& a) { return a.id == pdwAssocAttrIDs[i]; }))
                    return E_INVALIDARG;
            {
                LockGuard g(App().globalLock);
                if (!App().tags.lookup(source)) return E_INVALIDARG;
            }
            TaskArray<LPWSTR> items(dwCount), nodes(dwCount);
            TaskArray<CLSID> clsids(dwCount);
            if (!items || !nodes || !clsids) return E_OUTOFMEMORY;
            for (DWORD i = 0; i < dwCount; ++i) {
                items[i] = widen(pdwAssocAttrIDs[i] == kAttrCurrentValue ? source : std::string());
                nodes[i] = widen(std::string());
                clsids[i] = GUID_NULL;
                if (!items[i] || !nodes[i]) return E_OUTOFMEMORY;
            }
            *ppszAttrItemIDs = items.release();
            *ppszNodeNames = nodes.release();
            *ppCLSIDs = clsids.release();
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetConditionState(LPWSTR szSource, LPWSTR szConditionName, DWORD dwNumEventAttrs,
                                                DWORD* pdwAttributeIDs,
                                                OPCCONDITIONSTATE** ppConditionState) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::GetConditionState", 0, [&]() -> HRESULT {
            clearOut(ppConditionState);
            if (!ppConditionState || !szSource || !szConditionName || (dwNumEventAttrs && !pdwAttributeIDs))
                return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            const std::string source = narrow(szSource), condition = narrow(szConditionName);
            ConditionSnapshot snap;
            try {
                LockGuard g(App().globalLock);
                HRESULT why = S_OK;
                const ConditionState* c = findCondition(source, condition, &why);
                if (!c) return why;
                snapshot(*c, &snap);
                snapshotAttributes(*c, dwNumEventAttrs, pdwAttributeIDs, &snap);
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
            OPCCONDITIONSTATE* st = packConditionState(snap, dwNumEventAttrs);
            if (!st) return E_OUTOFMEMORY;
            *ppConditionState = st;
            const bool allKnown =
                std::all_of(snap.attrErrors.begin(), snap.attrErrors.end(), [](HRESULT e) { return e == S_OK; });
            return allKnown ? S_OK : S_FALSE;
        });
    }

    HRESULT STDMETHODCALLTYPE EnableConditionByArea(DWORD dwNumAreas, LPWSTR* pszAreas) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::EnableConditionByArea", 0, [&]() -> HRESULT {
            return owner_->gone() ? kGoneResult : enableConditions(dwNumAreas, pszAreas, true, true);
        });
    }
    HRESULT STDMETHODCALLTYPE EnableConditionBySource(DWORD dwNumSources, LPWSTR* pszSources) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::EnableConditionBySource", 0, [&]() -> HRESULT {
            return owner_->gone() ? kGoneResult : enableConditions(dwNumSources, pszSources, false, true);
        });
    }
    HRESULT STDMETHODCALLTYPE DisableConditionByArea(DWORD dwNumAreas, LPWSTR* pszAreas) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::DisableConditionByArea", 0, [&]() -> HRESULT {
            return owner_->gone() ? kGoneResult : enableConditions(dwNumAreas, pszAreas, true, false);
        });
    }
    HRESULT STDMETHODCALLTYPE DisableConditionBySource(DWORD dwNumSources, LPWSTR* pszSources) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::DisableConditionBySource", 0, [&]() -> HRESULT {
            return owner_->gone() ? kGoneResult : enableConditions(dwNumSources, pszSources, false, false);
        });
    }

    // Each entry names a condition's current activation by its active time and cookie; the
    // host hears of every acknowledgement after the lock is left.
    HRESULT STDMETHODCALLTYPE AckCondition(DWORD dwCount, LPWSTR szAcknowledgerID, LPWSTR szComment,
                                           LPWSTR* pszSource, LPWSTR* pszConditionName, FILETIME* pftActiveTime,
                                           DWORD* pdwCookie, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::AckCondition", dwCount, [&]() -> HRESULT {
            if (!ppErrors) return E_INVALIDARG;
            *ppErrors = nullptr;
            if (owner_->gone()) return kGoneResult;
            // A zero count follows the array convention (nothing to answer for).
            if (dwCount == 0 || !pszSource || !pszConditionName || !pftActiveTime || !pdwCookie) return E_INVALIDARG;
            TaskArray<HRESULT> errors(dwCount);
            if (!errors) return E_OUTOFMEMORY;
            std::vector<AckNotice> notices;
            try {
                const std::string who = narrow(szAcknowledgerID), comment = narrow(szComment);
                std::vector<std::string> sources(dwCount), conditions(dwCount);
                for (DWORD i = 0; i < dwCount; ++i) {
                    sources[i] = narrow(pszSource[i]);
                    conditions[i] = narrow(pszConditionName[i]);
                }
                notices.reserve(dwCount);
                LockGuard g(App().globalLock);
                for (DWORD i = 0; i < dwCount; ++i) {
                    HRESULT why = S_OK;
                    ConditionState* c = findCondition(sources[i], conditions[i], &why);
                    if (!c) {
                        errors[i] = why;
                        continue;
                    }
                    AckNotice n{};
                    errors[i] = acknowledge(*c, pdwCookie[i], pftActiveTime[i], who, comment, &n);
                    if (errors[i] == S_OK) notices.push_back(std::move(n));
                }
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY; // acknowledgements made so far stand; their events went out
            }
            if (QV_ACKNOTIFICATIONPROC proc = App().ackNotificationProc.load()) {
                for (const AckNotice& n : notices)
                    callHost([&] { proc(n.hTag, n.condition, n.acknowledger.c_str(), n.comment.c_str()); });
            }
            HRESULT result = S_OK;
            for (DWORD i = 0; i < dwCount; ++i)
                if (errors[i] != S_OK) result = S_FALSE;
            *ppErrors = errors.release();
            return result;
        }, [&](const char* m) {
            trace::itemResults(m, dwCount, *ppErrors,
                               [&](DWORD i) { return narrow(pszSource[i]) + "/" + narrow(pszConditionName[i]); });
        });
    }

    HRESULT STDMETHODCALLTYPE CreateAreaBrowser(REFIID riid, LPUNKNOWN* ppUnk) override
    {
        return trace::traced(owner_->traceClient(), "IOPCEventServer::CreateAreaBrowser", 0, [&]() -> HRESULT {
            if (!ppUnk) return E_INVALIDARG;
            *ppUnk = nullptr;
            if (owner_->gone()) return kGoneResult;
            COPCEventAreaBrowser* b = newServerObject<COPCEventAreaBrowser>(owner_->clientObjects());
            if (!b) return E_OUTOFMEMORY;
            const HRESULT hr = b->QueryInterface(riid, reinterpret_cast<void**>(ppUnk));
            b->Release();
            return hr;
        });
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeIOPCEventServer(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCEventServerImpl(s));
}

} // namespace qv

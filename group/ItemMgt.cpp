// IOPCItemMgt: adding, validating and removing group items and changing their
// client handles, requested types and active states.
//
// Items live in the group's map keyed by server handle, so finding, adding and removing one
// costs O(log n): a call with n items costs O(n log n). Every method fails with E_FAIL (its
// out-pointers NULL) once the group is destroyed.
#include <cstdint>
#include <cstring>
#include <new>
#include "addrspace/OPCTagStore.h"
#include "group/OPCGroup.h"
#include "base/ComUtil.h"
#include "core/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCItemMgtImpl : public InterfaceObject<IOPCItemMgt, OPCGroup> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE AddItems(DWORD dwCount, OPCITEMDEF* pItemArray, OPCITEMRESULT** ppAddResults,
                                       HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(),
            "IOPCItemMgt::AddItems", dwCount,
            [&] { return addOrValidate(true, dwCount, pItemArray, ppAddResults, ppErrors); },
            [&](const char* m) { traceDefResults(m, dwCount, pItemArray, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE ValidateItems(DWORD dwCount, OPCITEMDEF* pItemArray, BOOL,
                                            OPCITEMRESULT** ppValidationResults, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(),
            "IOPCItemMgt::ValidateItems", dwCount,
            [&] { return addOrValidate(false, dwCount, pItemArray, ppValidationResults, ppErrors); },
            [&](const char* m) { traceDefResults(m, dwCount, pItemArray, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE RemoveItems(DWORD dwCount, OPCHANDLE* phServer, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemMgt::RemoveItems", dwCount, [&]() -> HRESULT {
            if (ppErrors) *ppErrors = nullptr;
            if (!dwCount || !phServer || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            TaskArray<HRESULT> errors(dwCount);
            if (!errors) return E_OUTOFMEMORY;
            bool allOk = true;
            for (DWORD i = 0; i < dwCount; ++i) {
                // Under the global lock (taken by removeItem): the first item with that handle is
                // taken out of the list and destroyed.
                errors[i] = owner_->removeItem(phServer[i]) ? S_OK : OPC_E_INVALIDHANDLE;
                if (errors[i] != S_OK) allOk = false;
            }
            *ppErrors = errors.release();
            return allOk ? S_OK : S_FALSE;
        }, [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE SetActiveState(DWORD dwCount, OPCHANDLE* phServer, BOOL bActive,
                                             HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(),
            "IOPCItemMgt::SetActiveState", dwCount,
            [&] {
                return forEachItem(dwCount, phServer, phServer, ppErrors, [&](OPCItem& item, DWORD) {
                    // A newly active item's current value goes out in the next report.
                    if (bActive && !item.active) item.markChanged();
                    item.active = bActive;
                    return S_OK;
                });
            },
            [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE SetClientHandles(DWORD dwCount, OPCHANDLE* phServer, OPCHANDLE* phClient,
                                               HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(),
            "IOPCItemMgt::SetClientHandles", dwCount,
            [&] {
                return forEachItem(dwCount, phServer, phClient, ppErrors, [&](OPCItem& item, DWORD i) {
                    item.clientHandle = phClient[i];
                    return S_OK;
                });
            },
            [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE SetDatatypes(DWORD dwCount, OPCHANDLE* phServer, VARTYPE* pRequestedDatatypes,
                                           HRESULT** ppErrors) override
    {
        // The check AddItems makes, by the item's canonical type.
        return trace::traced(owner_->traceClient(),
            "IOPCItemMgt::SetDatatypes", dwCount,
            [&] {
                return forEachItem(dwCount, phServer, pRequestedDatatypes, ppErrors, [&](OPCItem& item, DWORD i) {
                    if (!requestableType(item.canonicalType, pRequestedDatatypes[i])) return OPC_E_BADTYPE;
                    item.requestedType = pRequestedDatatypes[i];
                    return S_OK;
                });
            },
            [&](const char* m) { traceItemResults(*owner_, m, dwCount, phServer, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE CreateEnumerator(REFIID riid, LPUNKNOWN* ppUnk) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemMgt::CreateEnumerator", 0, [&]() -> HRESULT {
            if (!ppUnk) return E_INVALIDARG;
            *ppUnk = nullptr;
            if (!IsEqualIID(riid, IID_IEnumOPCItemAttributes)) return E_INVALIDARG;
            std::vector<ItemSnapshot> snapshot;
            {
                LockGuard g(App().globalLock);
                if (owner_->gone()) return kGoneResult;
                try {
                    snapshot.reserve(owner_->items.size());
                    for (const auto& kv : owner_->items) {
                        // An item whose copy cannot be made is left out.
                        ItemSnapshot e;
                        e.item.reset(new (std::nothrow) OPCItem());
                        if (!e.item) continue;
                        try {
                            e.item->copyFrom(*kv.second);
                        } catch (const std::bad_alloc&) {
                            continue;
                        }
                        if (const OPCTag* tag = App().tags.lookup(kv.second->tagName)) {
                            e.euType = tag->euType();
                            tag->euInfo(e.euInfo.get());
                        }
                        snapshot.push_back(std::move(e));
                    }
                } catch (const std::bad_alloc&) {
                    return E_OUTOFMEMORY;
                }
            }
            return createItemEnumerator(owner_->clientObjects(), std::move(snapshot), riid, ppUnk);
        });
    }

private:
    static void traceDefResults(const char* method, DWORD n, const OPCITEMDEF* defs, const HRESULT* errors)
    {
        trace::itemResults(method, n, errors, [&](DWORD i) { return narrow(defs[i].szItemID); });
    }

    HRESULT addOrValidate(bool add, DWORD dwCount, OPCITEMDEF* defs, OPCITEMRESULT** ppResults, HRESULT** ppErrors)
    {
        if (ppResults) *ppResults = nullptr;
        if (ppErrors) *ppErrors = nullptr;
        if (!dwCount || !defs || !ppResults || !ppErrors) return E_INVALIDARG;
        if (owner_->gone()) return kGoneResult;
        TaskArray<OPCITEMRESULT> results(dwCount);
        if (!results) return E_OUTOFMEMORY;
        TaskArray<HRESULT> errors(dwCount);
        if (!errors) return E_OUTOFMEMORY;
        bool allOk = true;
        for (DWORD i = 0; i < dwCount; ++i) {
            HRESULT hr = add ? addOne(defs[i], &results[i])
                    : App().tags.validateItem(defs[i], &results[i], nullptr);
            // A failed definition leaves a zero result.
            if (hr != S_OK) memset(&results[i], 0, sizeof(OPCITEMRESULT));
            errors[i] = hr;
            if (hr != S_OK) allOk = false;
        }
        *ppResults = results.release();
        *ppErrors = errors.release();
        return allOk ? S_OK : S_FALSE;
    }

    // Validates one definition and, when it is good, adds the item it describes.
    HRESULT addOne(const OPCITEMDEF& def, OPCITEMRESULT* result)
    {
        std::unique_ptr<OPCItem> item;
        try {
            item.reset(new OPCItem());
            item->itemId = narrow(def.szItemID);
            item->accessPath = narrow(def.szAccessPath);
            item->tagName = fullTagName(item->accessPath, item->itemId, App().delimiter);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        LockGuard g(App().globalLock);
        if (owner_->gone()) return kGoneResult;
        OPCTag* tag = nullptr;
        HRESULT hr = App().tags.validateItem(item->accessPath, item->itemId, def.vtRequestedDataType, result, &tag);
        if (hr != S_OK) return hr;
        item->active = def.bActive;
        item->clientHandle = def.hClient;
        item->requestedType = def.vtRequestedDataType;
        item->canonicalType = tag->state->value.vt();
        if (FAILED(item->value.copyFrom(*tag->state->value))) return E_OUTOFMEMORY;
        item->quality = tag->state->quality;
        item->timestamp = tag->state->timestamp;
        item->accessRights = result->dwAccessRights;
        item->euSpan = tag->state->euSpan;
        item->markChanged();
        const VARTYPE canonical = item->canonicalType;
        const DWORD rights = item->accessRights;
        OPCHANDLE h;
        try {
            h = owner_->addItem(std::move(item));
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        result->hServer = h;
        result->vtCanonicalDataType = canonical;
        result->wReserved = 0;
        result->dwAccessRights = rights;
        result->dwBlobSize = 0;
        result->pBlob = nullptr;
        return S_OK;
    }

    // The common pattern of SetActiveState, SetClientHandles and SetDatatypes.
    template <class In, class F>
    HRESULT forEachItem(DWORD dwCount, OPCHANDLE* phServer, In* input, HRESULT** ppErrors, F&& apply)
    {
        if (ppErrors) *ppErrors = nullptr;
        if (!dwCount || !phServer || !input || !ppErrors) return E_INVALIDARG;
        if (owner_->gone()) return kGoneResult;
        TaskArray<HRESULT> errors(dwCount);
        if (!errors) return E_OUTOFMEMORY;
        bool allOk = true;
        {
            LockGuard g(App().globalLock);
            for (DWORD i = 0; i < dwCount; ++i) {
                OPCItem* item = owner_->gone() ? nullptr : owner_->findItem(phServer[i]);
                if (item) {
                    errors[i] = apply(*item, i);
                    allOk = allOk && errors[i] == S_OK;
                } else {
                    errors[i] = OPC_E_INVALIDHANDLE;
                    allOk = false;
                }
            }
        }
        *ppErrors = errors.release();
        return allOk ? S_OK : S_FALSE;
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeItemMgt(OPCGroup* g)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCItemMgtImpl(g));
}

} // namespace qv

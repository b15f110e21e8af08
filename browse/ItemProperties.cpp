// IOPCItemProperties: the properties of any tag, found by its full item ID (no group needed).
#include <cstdint>
#include <new>
#include <string>
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"
#include "base/Trace.h"

namespace qv {

namespace {

const OPCTag* findTag(OPCServerApp& app, const std::string& itemId) { return app.tags.lookup(itemId); }

// At the trace's items level: each property's result that is not S_OK, as "<item ID> property <id>".
void tracePropertyResults(const char* method, LPCWSTR itemId, DWORD n, const DWORD* ids, const HRESULT* errors)
{
    const std::string item = narrow(itemId);
    trace::itemResults(method, n, errors, [&](DWORD i) { return item + " property " + std::to_string(ids[i]); });
}

class CIOPCItemProperties : public InterfaceObject<IOPCItemProperties, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE QueryAvailableProperties(LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs,
                                                       LPWSTR** ppDescriptions, VARTYPE** ppvtDataTypes) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemProperties::QueryAvailableProperties", 0, [&]() -> HRESULT {
            if (pdwCount) *pdwCount = 0;
            if (ppPropertyIDs) *ppPropertyIDs = nullptr;
            if (ppDescriptions) *ppDescriptions = nullptr;
            if (ppvtDataTypes) *ppvtDataTypes = nullptr;
            if (!pdwCount || !ppPropertyIDs || !ppDescriptions || !ppvtDataTypes) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            try {
                std::string id = narrow(szItemID);
                OPCServerApp& app = App();
                // Held until the arrays are filled: a host update cannot change the tag halfway.
                LockGuard g(app.globalLock);
                const OPCTag* tag = findTag(app, id);
                if (!tag) return OPC_E_UNKNOWNITEMID;
                const DWORD n = tag->propertyCount();
                TaskArray<DWORD> ids(n);
                TaskArray<LPWSTR> descriptions(n);
                TaskArray<VARTYPE> types(n);
                if (!ids || !descriptions || !types) return E_OUTOFMEMORY;
                for (DWORD i = 0; i < n; ++i) {
                    std::string text;
                    if (!tag->propertyAt(i, &ids[i], &text, &types[i])) return E_FAIL;
                    // A missing description would hand the client a NULL string: fail instead.
                    descriptions[i] = widen(text);
                    if (!descriptions[i]) return E_OUTOFMEMORY;
                }
                *pdwCount = n;
                *ppPropertyIDs = ids.release();
                *ppDescriptions = descriptions.release();
                *ppvtDataTypes = types.release();
                return S_OK;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        });
    }

    HRESULT STDMETHODCALLTYPE GetItemProperties(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                                VARIANT** ppvData, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemProperties::GetItemProperties", dwCount, [&]() -> HRESULT {
            if (ppvData) *ppvData = nullptr;
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !pdwPropertyIDs || !ppvData || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            try {
                std::string id = narrow(szItemID);
                OPCServerApp& app = App();
                LockGuard g(app.globalLock);
                const OPCTag* tag = findTag(app, id);
                if (!tag) return OPC_E_UNKNOWNITEMID;
                TaskArray<VARIANT> values(dwCount);
                if (!values) return E_OUTOFMEMORY;
                TaskArray<HRESULT> errors(dwCount);
                if (!errors) return E_OUTOFMEMORY;
                for (DWORD i = 0; i < dwCount; ++i) {
                    // propertyValue leaves VT_EMPTY on failure (OPC_E_INVALID_PID for unknown ids).
                    errors[i] = tag->propertyValue(pdwPropertyIDs[i], &values[i]);
                    if (FAILED(errors[i])) VariantClear(&values[i]);
                }
                *ppvData = values.release();
                *ppErrors = errors.release();
                return S_OK;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        }, [&](const char* m) { tracePropertyResults(m, szItemID, dwCount, pdwPropertyIDs, *ppErrors); });
    }

    HRESULT STDMETHODCALLTYPE LookupItemIDs(LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs,
                                            LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override
    {
        return trace::traced(owner_->traceClient(), "IOPCItemProperties::LookupItemIDs", dwCount, [&]() -> HRESULT {
            if (ppszNewItemIDs) *ppszNewItemIDs = nullptr;
            if (ppErrors) *ppErrors = nullptr;
            if (dwCount == 0 || !pdwPropertyIDs || !ppszNewItemIDs || !ppErrors) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            try {
                std::string id = narrow(szItemID);
                OPCServerApp& app = App();
                {
                    LockGuard g(app.globalLock);
                    if (!findTag(app, id)) return OPC_E_UNKNOWNITEMID;
                }
                TaskArray<LPWSTR> ids(dwCount); // zero-filled: every entry NULL
                TaskArray<HRESULT> errors(dwCount);
                if (!ids || !errors) return E_OUTOFMEMORY;
                // No property has an item ID of its own.
                for (DWORD i = 0; i < dwCount; ++i) errors[i] = S_FALSE;
                *ppszNewItemIDs = ids.release();
                *ppErrors = errors.release();
                return S_FALSE;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        }, [&](const char* m) { tracePropertyResults(m, szItemID, dwCount, pdwPropertyIDs, *ppErrors); });
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeItemProperties(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new CIOPCItemProperties(s));
}

} // namespace qv

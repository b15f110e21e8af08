// IOPCBrowse: one-call browsing of a branch with paging by continuation point, and the
// properties of items by ID (the same set and values as IOPCItemProperties).
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <new>
#include <string>
#include <vector>
#include "addrspace/AddressTree.h"
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"
#include "base/Trace.h"

namespace qv {

namespace {

// Frees what a filled OPCITEMPROPERTIES owns (not the record itself).
void clearProperties(OPCITEMPROPERTIES& p)
{
    OPCServerApp& app = App();
    for (DWORD i = 0; p.pItemProperties && i < p.dwNumProperties; ++i) {
        app.taskFree(p.pItemProperties[i].szItemID);
        app.taskFree(p.pItemProperties[i].szDescription);
        VariantClear(&p.pItemProperties[i].vValue);
    }
    app.taskFree(p.pItemProperties);
    p.pItemProperties = nullptr;
    p.dwNumProperties = 0;
}

// Fills the properties of a tag (global lock held): all of them when ids is empty, else the
// listed ones, each with its own error. False when out of memory (nothing left allocated).
bool fillProperties(const OPCTag& tag, bool all, DWORD count, const DWORD* ids, bool withValues,
                    OPCITEMPROPERTIES& out)
{
    const DWORD n = all ? tag.propertyCount() : count;
    out.hrErrorID = S_OK;
    out.dwNumProperties = 0;
    out.pItemProperties = nullptr;
    if (n == 0) return true;
    if (n > SIZE_MAX / sizeof(OPCITEMPROPERTY)) return false;
    out.pItemProperties = TaskArray<OPCITEMPROPERTY>(n).release(); // zero-filled: VT_EMPTY values
    if (!out.pItemProperties) return false;
    out.dwNumProperties = n;
    for (DWORD i = 0; i < n; ++i) {
        OPCITEMPROPERTY& p = out.pItemProperties[i];
        std::string text;
        DWORD id = all ? 0 : ids[i];
        VARTYPE vt = VT_EMPTY;
        bool known = false;
        if (all) {
            known = tag.propertyAt(i, &id, &text, &vt);
        } else {
            for (DWORD k = 0; k < tag.propertyCount() && !known; ++k) {
                DWORD kid = 0;
                if (tag.propertyAt(k, &kid, &text, &vt) && kid == id) known = true;
            }
        }
        p.dwPropertyID = id;
        if (!known) {
            p.hrErrorID = OPC_E_INVALID_PID;
            out.hrErrorID = S_FALSE;
            continue;
        }
        p.vtDataType = vt;
        p.szDescription = widen(text);
        if (!p.szDescription) {
            clearProperties(out);
            return false;
        }
        p.hrErrorID = withValues ? tag.propertyValue(id, &p.vValue) : S_OK;
        if (FAILED(p.hrErrorID)) {
            VariantClear(&p.vValue);
            out.hrErrorID = S_FALSE;
        }
    }
    return true;
}

// Continuation point: "QV3:<child index>:<check>" where the check ties it to this process and
// to the browse it came from, so a forged or foreign one is refused.
uint32_t checkOf(const std::string& itemId, DWORD filter, const std::string& nameFilter, size_t index)
{
    static const uint32_t salt = GetCurrentProcessId() * 2654435761u ^ GetTickCount();
    uint32_t h = 2166136261u ^ salt;
    auto mix = [&h](const void* p, size_t n) {
        for (size_t i = 0; i < n; ++i) h = (h ^ static_cast<const unsigned char*>(p)[i]) * 16777619u;
    };
    mix(itemId.data(), itemId.size());
    mix("\x01", 1);
    mix(&filter, sizeof filter);
    mix(nameFilter.data(), nameFilter.size());
    const uint64_t i = index;
    mix(&i, sizeof i);
    return h;
}

std::string makeContinuation(const std::string& itemId, DWORD filter, const std::string& nameFilter, size_t index)
{
    char buf[64];
    snprintf(buf, sizeof buf, "QV3:%llu:%08x", static_cast<unsigned long long>(index),
             static_cast<unsigned>(checkOf(itemId, filter, nameFilter, index)));
    return buf;
}

bool parseContinuation(const std::string& cp, const std::string& itemId, DWORD filter, const std::string& nameFilter,
                       size_t* index)
{
    unsigned long long i = 0;
    unsigned check = 0;
    int used = 0;
    if (cp.size() > 40 || sscanf(cp.c_str(), "QV3:%llu:%8x%n", &i, &check, &used) != 2) return false;
    if (static_cast<size_t>(used) != cp.size() || i > SIZE_MAX) return false;
    if (cp != makeContinuation(itemId, filter, nameFilter, static_cast<size_t>(i))) return false;
    *index = static_cast<size_t>(i);
    return true;
}

// At the trace's items level: each item whose result is not S_OK, then each of its
// properties whose result is not S_OK.
void tracePropertiesResults(const char* method, DWORD n, const LPWSTR* ids, const OPCITEMPROPERTIES* items)
{
    if (!items) return;
    for (DWORD i = 0; i < n; ++i) {
        const std::string id = narrow(ids[i]);
        if (items[i].hrErrorID != S_OK) trace::item(method, id, items[i].hrErrorID);
        const OPCITEMPROPERTY* p = items[i].pItemProperties;
        for (DWORD k = 0; p && k < items[i].dwNumProperties; ++k)
            if (p[k].hrErrorID != S_OK)
                trace::item(method, id + " property " + std::to_string(p[k].dwPropertyID), p[k].hrErrorID);
    }
}

class OPCBrowseImpl : public InterfaceObject<IOPCBrowse, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE GetProperties(DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues,
                                            DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
                                            OPCITEMPROPERTIES** ppItemProperties) override
    {
        return trace::traced(owner_->traceClient(), "IOPCBrowse::GetProperties", dwItemCount, [&]() -> HRESULT {
            if (ppItemProperties) *ppItemProperties = nullptr;
            if (dwItemCount == 0 || !pszItemIDs || !ppItemProperties || (dwPropertyCount && !pdwPropertyIDs))
                return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            OPCServerApp& app = App();
            OPCITEMPROPERTIES* out = TaskArray<OPCITEMPROPERTIES>(dwItemCount).release();
            if (!out) return E_OUTOFMEMORY;
            bool allOk = true;
            try {
                LockGuard g(app.globalLock);
                for (DWORD i = 0; i < dwItemCount; ++i) {
                    std::string id = narrow(pszItemIDs[i]);
                    const OPCTag* tag = id.empty() ? nullptr : app.tags.lookup(id);
                    if (!tag || tag->handle == kInvalidTagHandle) {
                        out[i].hrErrorID = id.empty() ? OPC_E_INVALIDITEMID : OPC_E_UNKNOWNITEMID;
                        allOk = false;
                        continue;
                    }
                    if (!fillProperties(*tag, dwPropertyCount == 0, dwPropertyCount, pdwPropertyIDs,
                                        bReturnPropertyValues != FALSE, out[i]))
                        throw std::bad_alloc();
                    allOk = allOk && out[i].hrErrorID == S_OK;
                }
            } catch (const std::bad_alloc&) {
                for (DWORD i = 0; i < dwItemCount; ++i) clearProperties(out[i]);
                app.taskFree(out);
                return E_OUTOFMEMORY;
            }
            *ppItemProperties = out;
            return allOk ? S_OK : S_FALSE;
        }, [&](const char* m) { tracePropertiesResults(m, dwItemCount, pszItemIDs, *ppItemProperties); });
    }

    HRESULT STDMETHODCALLTYPE Browse(LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned,
                                     OPCBROWSEFILTER dwBrowseFilter, LPWSTR szElementNameFilter, LPWSTR,
                                     BOOL bReturnAllProperties, BOOL bReturnPropertyValues, DWORD dwPropertyCount,
                                     DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
                                     OPCBROWSEELEMENT** ppBrowseElements) override
    {
        return trace::traced(owner_->traceClient(), "IOPCBrowse::Browse", 0, [&]() -> HRESULT {
            if (pbMoreElements) *pbMoreElements = FALSE;
            if (pdwCount) *pdwCount = 0;
            if (ppBrowseElements) *ppBrowseElements = nullptr;
            if (owner_->gone()) return kGoneResult;
            if (!pszContinuationPoint || !pbMoreElements || !pdwCount || !ppBrowseElements ||
                (dwPropertyCount && !pdwPropertyIDs))
                return E_INVALIDARG;
            if (dwBrowseFilter < OPC_BROWSE_FILTER_ALL || dwBrowseFilter > OPC_BROWSE_FILTER_ITEMS) return E_INVALIDARG;
            OPCServerApp& app = App();
            // [in, out]: the incoming point is ours to free; a new one (or none) goes back.
            LPWSTR inPoint = *pszContinuationPoint;
            *pszContinuationPoint = nullptr;
            std::vector<OPCBROWSEELEMENT> elements;
            std::string next;
            try {
                const std::string cp = narrow(inPoint);
                app.taskFree(inPoint);
                const std::string itemId = narrow(szItemID);
                const std::string nameFilter = lowBytes(szElementNameFilter);
                const DWORD filter = static_cast<DWORD>(dwBrowseFilter);
                size_t start = 0;
                if (!cp.empty() && !parseContinuation(cp, itemId, filter, nameFilter, &start))
                    return OPC_E_INVALIDCONTINUATIONPOINT;
                const Pattern pattern(nameFilter);
                const bool withProps = bReturnAllProperties || dwPropertyCount > 0;

                LockGuard g(app.globalLock);
                AddressTree tree = AddressTree::current();
                const OPCTag* node = itemId.empty() ? &app.root : tree.nodeByName(itemId);
                if (!node) return OPC_E_UNKNOWNITEMID;
                const std::vector<OPCTag*>& children = node->children;
                if (start > children.size()) return OPC_E_INVALIDCONTINUATIONPOINT;
                const std::string prefix = itemId.empty() ? std::string() : tree.pathText(splitName(itemId, app.delimiter));
                size_t i = start;
                elements.reserve(dwMaxElementsReturned ? std::min<size_t>(dwMaxElementsReturned, children.size() - start)
                                                       : children.size() - start);
                std::string shortName;
                auto wanted = [&](const OPCTag* c) {
                    const bool isItem = c->handle != kInvalidTagHandle;
                    const bool hasChildren = !c->children.empty();
                    if (!isItem && !hasChildren) return false;
                    if (filter == OPC_BROWSE_FILTER_BRANCHES && !hasChildren) return false;
                    if (filter == OPC_BROWSE_FILTER_ITEMS && !isItem) return false;
                    shortName = c->shortName(app.delimiter);
                    return nameFilter.empty() || pattern.matches(shortName);
                };
                for (; i < children.size(); ++i) {
                    const OPCTag* c = children[i];
                    if (!wanted(c)) continue;
                    // The next match exists: this page is full and a continuation point follows.
                    if (dwMaxElementsReturned && elements.size() >= dwMaxElementsReturned) break;
                    const bool isItem = c->handle != kInvalidTagHandle;
                    const bool hasChildren = !c->children.empty();
                    OPCBROWSEELEMENT e{};
                    e.dwFlagValue = (hasChildren ? OPC_BROWSE_HASCHILDREN : 0) | (isItem ? OPC_BROWSE_ISITEM : 0);
                    elements.push_back(e); // owned by the vector from here: freed on failure
                    OPCBROWSEELEMENT& el = elements.back();
                    el.szName = widen(shortName);
                    el.szItemID = widen(isItem ? c->name : (prefix.empty() ? shortName : prefix + app.delimiter + shortName));
                    if (!el.szName || !el.szItemID) throw std::bad_alloc();
                    if (withProps && isItem &&
                        !fillProperties(*c, bReturnAllProperties != FALSE, dwPropertyCount, pdwPropertyIDs,
                                        bReturnPropertyValues != FALSE, el.ItemProperties))
                        throw std::bad_alloc();
                }
                // Only when another element follows: no empty last page is promised.
                if (i < children.size()) next = makeContinuation(itemId, filter, nameFilter, i);
            } catch (const std::bad_alloc&) {
                freeElements(elements);
                return E_OUTOFMEMORY;
            }
            const DWORD n = static_cast<DWORD>(elements.size());
            OPCBROWSEELEMENT* out = nullptr;
            if (n) {
                out = TaskArray<OPCBROWSEELEMENT>(n).release();
                if (!out) {
                    freeElements(elements);
                    return E_OUTOFMEMORY;
                }
                for (DWORD k = 0; k < n; ++k) out[k] = elements[k];
            }
            if (!next.empty()) {
                *pszContinuationPoint = widen(next);
                if (!*pszContinuationPoint) {
                    freeElements(elements);
                    app.taskFree(out);
                    return E_OUTOFMEMORY;
                }
            }
            *pdwCount = n;
            *ppBrowseElements = out;
            return S_OK;
        });
    }

private:
    static void freeElements(std::vector<OPCBROWSEELEMENT>& v)
    {
        for (auto& e : v) {
            App().taskFree(e.szName);
            App().taskFree(e.szItemID);
            clearProperties(e.ItemProperties);
        }
        v.clear();
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeIOPCBrowse(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) OPCBrowseImpl(s));
}

} // namespace qv

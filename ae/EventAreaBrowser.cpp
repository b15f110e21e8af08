#include "ae/EventAreaBrowser.h"
#include <new>
#include "addrspace/AddressTree.h"
#include "ae/Conditions.h"
#include "idl/opcerrors.h"
#include "core/OPCServerApp.h"
#include "server/IOPCEnumString.h"

namespace qv {

namespace {

bool sameName(const std::string& a, const std::string& b, bool matchCase)
{
    return matchCase ? a == b : lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

// The child of node that is an area (a branch) or a source of that short name; null if none.
const OPCTag* childOfKind(const OPCTag& node, const std::string& name, bool area)
{
    OPCServerApp& app = App();
    for (const OPCTag* c : node.children) {
        if (area ? c->children.empty() : !isEventSource(*c)) continue;
        if (sameName(c->shortName(app.delimiter), name, app.matchCase())) return c;
    }
    return nullptr;
}

} // namespace

HRESULT STDMETHODCALLTYPE COPCEventAreaBrowser::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCEventAreaBrowser)) {
        *ppv = static_cast<IOPCEventAreaBrowser*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE COPCEventAreaBrowser::AddRef() { return addRef(); }
ULONG STDMETHODCALLTYPE COPCEventAreaBrowser::Release() { return release(); }

HRESULT STDMETHODCALLTYPE COPCEventAreaBrowser::ChangeBrowsePosition(OPCAEBROWSEDIRECTION dwBrowseDirection,
                                                                     LPCWSTR szString)
{
    try {
        const std::string text = narrow(szString);
        OPCServerApp& app = App();
        LockGuard g(app.globalLock);
        const AddressTree tree = AddressTree::current();
        switch (dwBrowseDirection) {
        case OPCAE_BROWSE_UP:
            if (position_.empty()) return E_FAIL;
            position_.pop_back();
            return S_OK;
        case OPCAE_BROWSE_DOWN: {
            const OPCTag* here = tree.nodeAt(position_);
            if (!here || !childOfKind(*here, text, true)) return OPC_E_INVALIDBRANCHNAME;
            position_.push_back(text);
            return S_OK;
        }
        case OPCAE_BROWSE_TO: {
            if (text.empty()) {
                position_.clear();
                return S_OK;
            }
            bool leaf = false;
            if (!tree.nodeByName(text, &leaf) || leaf) return OPC_E_INVALIDBRANCHNAME;
            position_ = splitName(text, app.delimiter);
            return S_OK;
        }
        default:
            return E_INVALIDARG;
        }
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE COPCEventAreaBrowser::BrowseOPCAreas(OPCAEBROWSETYPE dwBrowseFilterType,
                                                               LPCWSTR szFilterCriteria, LPENUMSTRING* ppIEnumString)
{
    if (!ppIEnumString) return E_INVALIDARG;
    *ppIEnumString = nullptr;
    if (dwBrowseFilterType != OPC_AREA && dwBrowseFilterType != OPC_SOURCE) return E_INVALIDARG;
    IOPCEnumString* e = newServerObject<IOPCEnumString>(this->clientObjects());
    if (!e) return E_OUTOFMEMORY;
    try {
        const std::string filterText = narrow(szFilterCriteria);
        const Pattern filter(filterText);
        if (filter.malformed()) {
            e->Release();
            return E_INVALIDARG;
        }
        OPCServerApp& app = App();
        LockGuard g(app.globalLock);
        const OPCTag* here = AddressTree::current().nodeAt(position_);
        for (const OPCTag* c : here ? here->children : std::vector<OPCTag*>()) {
            if (dwBrowseFilterType == OPC_AREA ? c->children.empty() : !isEventSource(*c)) continue;
            std::string name = c->shortName(app.delimiter);
            if (filterText.empty() || filter.matches(name)) e->add(name);
        }
    } catch (const std::bad_alloc&) {
        e->Release();
        return E_OUTOFMEMORY;
    }
    const bool none = e->strings().empty();
    *ppIEnumString = e;
    return none ? S_FALSE : S_OK; // an empty enumerator still goes to the client
}

namespace {

HRESULT qualified(const std::vector<std::string>& position, LPCWSTR shortName, bool area, LPWSTR* out)
{
    if (!out) return E_INVALIDARG;
    *out = nullptr;
    if (!shortName) return E_INVALIDARG;
    try {
        const std::string name = narrow(shortName);
        OPCServerApp& app = App();
        LockGuard g(app.globalLock);
        const AddressTree tree = AddressTree::current();
        const OPCTag* here = tree.nodeAt(position);
        const OPCTag* child = here ? childOfKind(*here, name, area) : nullptr;
        if (!child) return E_INVALIDARG;
        std::vector<std::string> path = position;
        path.push_back(child->shortName(app.delimiter));
        // A source is named by its tag's item ID.
        const std::string full = area ? tree.pathText(path) : child->name;
        g.release();
        *out = widen(full);
        return *out ? S_OK : E_OUTOFMEMORY;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

} // namespace

HRESULT STDMETHODCALLTYPE COPCEventAreaBrowser::GetQualifiedAreaName(LPCWSTR szAreaName, LPWSTR* pszQualifiedAreaName)
{
    std::vector<std::string> pos;
    try {
        LockGuard g(App().globalLock);
        pos = position_;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return qualified(pos, szAreaName, true, pszQualifiedAreaName);
}

HRESULT STDMETHODCALLTYPE COPCEventAreaBrowser::GetQualifiedSourceName(LPCWSTR szSourceName,
                                                                       LPWSTR* pszQualifiedSourceName)
{
    std::vector<std::string> pos;
    try {
        LockGuard g(App().globalLock);
        pos = position_;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    return qualified(pos, szSourceName, false, pszQualifiedSourceName);
}

} // namespace qv

// IOPCBrowseServerAddressSpace: one browse position per client, walked over the address-space
// tree under the global lock.
#include <new>
#include <string>
#include <vector>
#include "addrspace/AddressTree.h"
#include "core/OPCServerApp.h"
#include "server/IOPCEnumString.h"
#include "server/OPCServer.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCBrowseServerAddressSpaceImpl : public InterfaceObject<IOPCBrowseServerAddressSpace, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE QueryOrganization(OPCNAMESPACETYPE* pNameSpaceType) override
    {
        return trace::traced(owner_->traceClient(), "IOPCBrowseServerAddressSpace::QueryOrganization", 0, [&]() -> HRESULT {
            if (!pNameSpaceType) return E_INVALIDARG;
            if (owner_->gone()) return kGoneResult;
            LockGuard g(App().globalLock);
            *pNameSpaceType = static_cast<OPCNAMESPACETYPE>(AddressTree::current().organization());
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE ChangeBrowsePosition(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override
    {
        return trace::traced(owner_->traceClient(), "IOPCBrowseServerAddressSpace::ChangeBrowsePosition", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            try {
                std::string text = narrow(szString);
                OPCServerApp& app = App();
                LockGuard g(app.globalLock);
                AddressTree tree = AddressTree::current();
                if (tree.organization() == OPC_NS_FLAT) return E_FAIL;
                switch (dwBrowseDirection) {
                case OPC_BROWSE_UP:
                    if (position_.empty()) return E_FAIL;
                    position_.pop_back();
                    return S_OK;
                case OPC_BROWSE_DOWN: {
                    // A fully qualified name is accepted too: only its last segment counts.
                    size_t p = text.rfind(app.delimiter);
                    std::string segment = p == std::string::npos ? text : text.substr(p + 1);
                    // Walked as a segment list, not as joined text: an empty segment must name an
                    // empty-named node rather than be dropped by the split and pass as the
                    // current branch.
                    std::vector<std::string> target = position_;
                    target.push_back(segment);
                    if (!tree.nodeAt(target)) return E_FAIL;
                    position_.swap(target);
                    return S_OK;
                }
                case OPC_BROWSE_TO: {
                    if (!tree.nodeByName(text)) return E_FAIL;
                    position_ = splitName(text, app.delimiter);
                    return S_OK;
                }
                default:
                    return E_FAIL;
                }
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        });
    }

    HRESULT STDMETHODCALLTYPE BrowseOPCItemIDs(OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria,
                                               VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
                                               LPENUMSTRING* ppIEnumString) override
    {
        return trace::traced(owner_->traceClient(), "IOPCBrowseServerAddressSpace::BrowseOPCItemIDs", 0, [&]() -> HRESULT {
            if (!ppIEnumString) return E_INVALIDARG;
            *ppIEnumString = nullptr;
            if (owner_->gone()) return kGoneResult;
            IOPCEnumString* e = newServerObject<IOPCEnumString>(owner_->clientObjects());
            if (!e) return E_OUTOFMEMORY;
            try {
                // No length limit: the filter is held as a string, not in a fixed buffer.
                LeafFilter filter(lowBytes(szFilterCriteria), vtDataTypeFilter, dwAccessRightsFilter);
                LockGuard g(App().globalLock);
                AddressTree tree = AddressTree::current();
                DWORD type = static_cast<DWORD>(dwBrowseFilterType);
                if (tree.organization() == OPC_NS_FLAT) {
                    position_.clear();
                    type = OPC_FLAT;
                }
                tree.listChildren(position_, type, filter, e->strings());
            } catch (const std::bad_alloc&) {
                e->Release();
                return E_OUTOFMEMORY;
            }
            *ppIEnumString = e;
            return S_OK;
        });
    }

    HRESULT STDMETHODCALLTYPE GetItemID(LPWSTR szItemDataID, LPWSTR* szItemID) override
    {
        return trace::traced(owner_->traceClient(), "IOPCBrowseServerAddressSpace::GetItemID", 0, [&]() -> HRESULT {
            if (!szItemID) return E_INVALIDARG;
            *szItemID = nullptr;
            if (owner_->gone()) return kGoneResult;
            try {
                std::string leaf = narrow(szItemDataID);
                OPCServerApp& app = App();
                LockGuard g(app.globalLock);
                AddressTree tree = AddressTree::current();
                std::string result;
                if (leaf.empty()) {
                    result = tree.pathText(position_);
                } else {
                    if (tree.organization() == OPC_NS_HIERARCHIAL && !position_.empty())
                        result = tree.pathText(position_) + app.delimiter + leaf;
                    else
                        result = leaf;
                    if (!tree.nodeByName(result)) return OPC_E_INVALIDITEMID;
                }
                g.release();
                LPWSTR w = widen(result);
                if (!w) return E_OUTOFMEMORY;
                *szItemID = w;
                return S_OK;
            } catch (const std::bad_alloc&) {
                return E_OUTOFMEMORY;
            }
        });
    }

    HRESULT STDMETHODCALLTYPE BrowseAccessPaths(LPCWSTR, LPENUMSTRING* ppIEnumString) override
    {
        return trace::traced(owner_->traceClient(), "IOPCBrowseServerAddressSpace::BrowseAccessPaths", 0, [&]() -> HRESULT {
            if (!ppIEnumString) return E_INVALIDARG;
            *ppIEnumString = nullptr;
            if (owner_->gone()) return kGoneResult;
            return E_NOTIMPL;
        });
    }

private:
    // Segment names from the root down; under the global lock (a client may call from
    // several threads at once).
    std::vector<std::string> position_;
};

} // namespace

std::unique_ptr<InterfaceHolder> makeBrowseServerAddressSpace(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new OPCBrowseServerAddressSpaceImpl(s));
}

} // namespace qv

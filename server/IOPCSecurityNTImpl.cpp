// IOPCSecurityNT: no per-user access control here; item rights always come from the tags, so
// ChangeUser re-derives them.
#include "server/OPCServer.h"
#include "group/OPCGroup.h"
#include "core/OPCServerApp.h"
#include "base/Trace.h"

namespace qv {

namespace {

class OPCSecurityNTImpl : public InterfaceObject<IOPCSecurityNT, OPCServer> {
public:
    using InterfaceObject::InterfaceObject;

    HRESULT STDMETHODCALLTYPE IsAvailableNT(BOOL* pbAvailable) override
    {
        return trace::traced(owner_->traceClient(), "IOPCSecurityNT::IsAvailableNT", 0, [&]() -> HRESULT {
            if (!pbAvailable) return E_INVALIDARG;
            *pbAvailable = FALSE;
            if (owner_->gone()) return kGoneResult;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE QueryMinImpersonationLevel(DWORD* pdwMinImpLevel) override
    {
        return trace::traced(owner_->traceClient(), "IOPCSecurityNT::QueryMinImpersonationLevel", 0, [&]() -> HRESULT {
            if (!pdwMinImpLevel) return E_INVALIDARG;
            *pdwMinImpLevel = 0;
            if (owner_->gone()) return kGoneResult;
            return S_OK;
        });
    }
    HRESULT STDMETHODCALLTYPE ChangeUser() override
    {
        return trace::traced(owner_->traceClient(), "IOPCSecurityNT::ChangeUser", 0, [&]() -> HRESULT {
            if (owner_->gone()) return kGoneResult;
            owner_->refreshAccessRights();
            return S_OK;
        });
    }
};

} // namespace

std::unique_ptr<InterfaceHolder> makeIOPCSecurityNT(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new OPCSecurityNTImpl(s));
}

bool OPCServer::refreshAccessRights()
{
    OPCServerApp& app = App();
    LockGuard g(app.globalLock);
    bool allFound = true;
    for (auto& grp : groups) {
        for (auto& kv : grp->items) {
            OPCItem& item = *kv.second;
            item.accessRights = 0;
            OPCTag* tag = app.tags.lookup(item.tagName);
            if (tag) item.accessRights = tag->accessRights();
            else allFound = false;
        }
    }
    return allFound;
}

} // namespace qv

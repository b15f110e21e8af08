#include "runtime/Security.h"
#include "base/Trace.h"

namespace qv {

SecurityArgs defaultSecurityArgs(const GUID* appId)
{
    // With EOAC_APPID COM reads the AppID's values and ignores the levels passed; they are
    // still the secure ones in case the AppID lacks them.
    return SecurityArgs{appId, -1, RPC_C_AUTHN_LEVEL_PKT_INTEGRITY, RPC_C_IMP_LEVEL_IDENTIFY, EOAC_APPID};
}

HRESULT initDefaultSecurity(const GUID& appId)
{
    const SecurityArgs a = defaultSecurityArgs(&appId);
    HRESULT hr = CoInitializeSecurity(const_cast<void*>(a.secDesc), a.authServices, nullptr, nullptr, a.authnLevel,
                                      a.impLevel, nullptr, a.capabilities, nullptr);
    if (hr == RPC_E_TOO_LATE) {
        QV_TRACE(trace::kConnections, "process security: kept the host's own");
        return S_OK;
    }
    if (FAILED(hr)) QV_TRACE(trace::kErrors, "process security: CoInitializeSecurity failed 0x%08lX", static_cast<unsigned long>(hr));
    else
        QV_TRACE(trace::kConnections, "process security: from the AppID, authentication level %lu, impersonation %lu",
                 static_cast<unsigned long>(a.authnLevel), static_cast<unsigned long>(a.impLevel));
    return hr;
}

} // namespace qv

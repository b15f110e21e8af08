#pragma once
#include <windows.h>
#include <objbase.h>

namespace qv {

// The process security the server sets up when the host has not: permissions and the
// authentication level come from the server's AppID in the registry (so administrators
// manage them with dcomcnfg), at least packet integrity, identify-level impersonation.
struct SecurityArgs {
    const void* secDesc; // the AppID GUID (EOAC_APPID)
    LONG authServices;   // -1: COM chooses
    DWORD authnLevel;
    DWORD impLevel;
    DWORD capabilities;
};
SecurityArgs defaultSecurityArgs(const GUID* appId);

// Calls CoInitializeSecurity with those arguments; RPC_E_TOO_LATE (the host set its own) is
// success. Returns the call's result.
HRESULT initDefaultSecurity(const GUID& appId);

// The authentication level registration writes under the AppID.
constexpr DWORD kRegisteredAuthnLevel = RPC_C_AUTHN_LEVEL_PKT_INTEGRITY;

} // namespace qv

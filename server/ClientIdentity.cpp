// Who a client is: its number, process and account for the trace and the host's write audit.
#include "server/OPCServer.h"
#include "core/OPCServerApp.h"

namespace qv {

std::string callerAccount()
{
    RPC_AUTHZ_HANDLE privs = nullptr;
    DWORD authn = 0;
    if (FAILED(CoQueryClientBlanket(&authn, nullptr, nullptr, nullptr, nullptr, &privs, nullptr)) || !privs)
        return std::string();
    // NTLM and Kerberos give the caller's name as a wide string.
    if (authn != RPC_C_AUTHN_WINNT && authn != RPC_C_AUTHN_GSS_KERBEROS && authn != RPC_C_AUTHN_GSS_NEGOTIATE)
        return std::string();
    return narrow(static_cast<LPCWSTR>(privs));
}

// The account a local process runs as (DOMAIN\user), else empty.
std::string processAccount(DWORD pid)
{
    std::string result;
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    HANDLE token = nullptr;
    if (process && OpenProcessToken(process, TOKEN_QUERY, &token)) {
        BYTE buf[256];
        DWORD len = 0;
        if (GetTokenInformation(token, TokenUser, buf, sizeof buf, &len)) {
            char name[256], domain[256];
            DWORD nameLen = sizeof name, domainLen = sizeof domain;
            SID_NAME_USE use;
            if (LookupAccountSidA(nullptr, reinterpret_cast<TOKEN_USER*>(buf)->User.Sid, name, &nameLen, domain,
                                  &domainLen, &use))
                result = domainLen ? std::string(domain) + "\\" + name : std::string(name);
        }
        CloseHandle(token);
    }
    if (process) CloseHandle(process);
    return result;
}

std::string OPCServer::traceName()
{
    LockGuard g(App().globalLock);
    return "client " + std::to_string(clientNumber) + " \"" + clientName + "\"";
}

} // namespace qv

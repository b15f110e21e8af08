#pragma once
#include <windows.h>
#include <string>

namespace qv {

// Who a client is, as the trace and the host's write audit name it. Kept on the client's
// server object: number, process and account fixed at its activation (taken from that call,
// which comes from the client itself), the name when the client sets it.
struct ClientIdentity {
    DWORD clientNumber = 0;    // "client N" in the trace; 0: none (in-process tests)
    DWORD clientPid = 0;       // 0 when unknown (a remote client)
    std::string clientAccount; // DOMAIN\user; empty when unknown
    std::string clientName;    // IOPCCommon::SetClientName; on a server, under the global lock
};

} // namespace qv

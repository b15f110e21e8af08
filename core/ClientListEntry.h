#pragma once
#include <memory>
#include "addrspace/ClientIdentity.h"

namespace qv {

class OPCServer;

// What the client list needs of a listed client. The server object implements it, so the
// list (OPCServerApp) knows nothing of the server's code.
class ClientListEntry {
public:
    virtual OPCServer* server() = 0;
    // A hold on the object, valid while it is listed (its worker holds it until then).
    virtual std::shared_ptr<OPCServer> listHold() = 0;
    virtual const ClientIdentity& identity() const = 0;
    // One update period passed.
    virtual void wake() = 0;
    // Called (global lock held) when the client list drops it: it is gone.
    virtual void onRemovedFromClientList() = 0;

protected:
    ~ClientListEntry() = default;
};

} // namespace qv

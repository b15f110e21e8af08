// The server's connection point container: one point, for the client's IOPCShutdown sink.
#include "server/OPCServer.h"
#include "core/OPCServerApp.h"

namespace qv {

std::unique_ptr<InterfaceHolder> makeServerConnectionContainer(OPCServer* s)
{
    auto* c = new (std::nothrow) ConnectionContainer<IOPCShutdown>(s, IID_IOPCShutdown, s->goneFlag(),
                                                                    s->clientObjectsSlot(), s->weak_from_this());
    // A sink advised once the stop has taken its list of clients would never be told.
    if (c) c->refuseAdviseWhile(&App().stopping);
    return std::unique_ptr<InterfaceHolder>(c);
}

} // namespace qv

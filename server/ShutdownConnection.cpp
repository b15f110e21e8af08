// The server's connection point container: one point, for the client's IOPCShutdown sink.
#include "server/OPCServer.h"

namespace qv {

std::unique_ptr<InterfaceHolder> makeServerConnectionContainer(OPCServer* s)
{
    return std::unique_ptr<InterfaceHolder>(new (std::nothrow) ConnectionContainer<IOPCShutdown>(s, IID_IOPCShutdown, s->goneFlag(),
                                                                                                 s->clientObjectsSlot(), s->weak_from_this()));
}

} // namespace qv

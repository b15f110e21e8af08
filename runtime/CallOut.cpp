#include "runtime/CallOut.h"
#include <cstdio>
#include <cstdlib>
#include "runtime/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

bool isDisconnection(HRESULT hr)
{
    switch (static_cast<unsigned long>(hr)) {
    case 0x80010108: // RPC_E_DISCONNECTED
    case 0x80010007: // RPC_E_SERVER_DIED
    case 0x80010012: // RPC_E_SERVER_DIED_DNE
    case 0x80010006: // RPC_E_CONNECTION_TERMINATED
    case 0x80010114: // RPC_E_INVALID_OBJECT
    case 0x800401FD: // CO_E_OBJNOTCONNECTED
    case 0x800706BA: // RPC_S_SERVER_UNAVAILABLE
    case 0x800706BE: // RPC_S_CALL_FAILED
    case 0x800706BF: // RPC_S_CALL_FAILED_DNE
    case 0x8007006D: // ERROR_BROKEN_PIPE
    case 0x800700E9: // ERROR_PIPE_NOT_CONNECTED
        return true;
    default:
        return false;
    }
}

void checkNotLocked(const char* what)
{
#ifdef QV_CHECK_LOCKS
    if (App().globalLock.heldByMe()) {
        fprintf(stderr, "QvSrvKit: %s with the global lock held\n", what);
        fflush(stderr);
        abort();
    }
#else
    (void)what;
#endif
}

namespace {
thread_local OPCServer* t_current = nullptr;
}

ClientScope::ClientScope(OPCServer* s) : previous_(t_current) { t_current = s; }
ClientScope::~ClientScope() { t_current = previous_; }
OPCServer* ClientScope::current() { return t_current; }

bool clientDisconnected(OPCServer* s) { return s->disconnected(); }
void markClientDisconnected(OPCServer* s, HRESULT why) { s->markDisconnected(why); }

} // namespace qv

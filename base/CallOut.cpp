#include "base/CallOut.h"
#include <cstdio>
#include <cstdlib>
#include "base/Lock.h"

namespace qv {

CallFailure classifyFailure(HRESULT hr)
{
    switch (static_cast<unsigned long>(hr)) {
    case 0x80010108: // RPC_E_DISCONNECTED
    case 0x800401FD: // CO_E_OBJNOTCONNECTED
    case 0x80010114: // RPC_E_INVALID_OBJECT
        return CallFailure::Sink;
    case 0x800706BA: // RPC_S_SERVER_UNAVAILABLE
    case 0x80010007: // RPC_E_SERVER_DIED
    case 0x80010012: // RPC_E_SERVER_DIED_DNE
    case 0x80010006: // RPC_E_CONNECTION_TERMINATED
    case 0x8007006D: // ERROR_BROKEN_PIPE
    case 0x800700E9: // ERROR_PIPE_NOT_CONNECTED
    case 0x800706D9: // EPT_S_NOT_REGISTERED
        return CallFailure::Process;
    case 0x800706BE: // RPC_S_CALL_FAILED
    case 0x800706BF: // RPC_S_CALL_FAILED_DNE
    case 0x80010001: // RPC_E_CALL_REJECTED
    case 0x8001011F: // RPC_E_TIMEOUT
    case 0x800705B4: // ERROR_TIMEOUT
    case 0x800706B5: // RPC_S_UNKNOWN_IF (an endpoint going away)
        return CallFailure::Transient;
    default:
        return CallFailure::None;
    }
}

namespace {
thread_local CalledClient* t_current = nullptr;
const RecursiveLock* g_checkedLock = nullptr;
}

void checkNotLocked(const char* what)
{
#ifdef QV_CHECK_LOCKS
    if (g_checkedLock && g_checkedLock->heldByMe()) {
        fprintf(stderr, "QvSrvKit: %s with the global lock held\n", what);
        fflush(stderr);
        abort();
    }
#else
    (void)what;
#endif
}


void setOutboundCheckedLock(const RecursiveLock* lock) { g_checkedLock = lock; }

ClientScope::ClientScope(CalledClient* s) : previous_(t_current) { t_current = s; }
ClientScope::~ClientScope() { t_current = previous_; }
CalledClient* ClientScope::current() { return t_current; }

bool clientDisconnected(CalledClient* s) { return s->disconnected(); }

void noteClientResult(CalledClient* s, HRESULT hr)
{
    switch (classifyFailure(hr)) {
    case CallFailure::None: s->noteReachable(); break;
    case CallFailure::Process: s->markDisconnected(hr); break;
    case CallFailure::Transient: s->noteUnreachable(hr); break;
    case CallFailure::Sink: break; // only that connection ends: the caller drops its sink
    }
}

} // namespace qv

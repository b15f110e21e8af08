#pragma once
// The one way out of the server: every call into a client's sink or into the host goes
// through callClient or callHost. Both refuse to run with the global lock held (checked in
// builds with QV_CHECK_LOCKS); callClient also notices clients whose process has gone.
#include <windows.h>
#include <utility>

namespace qv {

class OPCServer;

// The results that mean the client's process or its connection is gone. A timeout is not one
// of them: a slow client stays a client.
bool isDisconnection(HRESULT hr);

// Aborts with a message when the calling thread holds the global lock (QV_CHECK_LOCKS builds).
void checkNotLocked(const char* what);

// The client on whose behalf this thread is calling out (the worker's passes, the caller timer's
// passes, the shutdown broadcast). Calls made outside a scope are not attributed to a client.
class ClientScope {
public:
    explicit ClientScope(OPCServer* s);
    ~ClientScope();
    ClientScope(const ClientScope&) = delete;
    ClientScope& operator=(const ClientScope&) = delete;
    static OPCServer* current();

private:
    OPCServer* previous_;
};

bool clientDisconnected(OPCServer* s);
void markClientDisconnected(OPCServer* s, HRESULT why);

// Calls into a client's sink (call returns the HRESULT). A client already known to be
// disconnected is not called again (RPC_E_DISCONNECTED); a disconnection result marks it so.
template <class F>
HRESULT callClient(F&& call)
{
    OPCServer* s = ClientScope::current();
    if (s && clientDisconnected(s)) return RPC_E_DISCONNECTED;
    checkNotLocked("a call into a client");
    HRESULT hr = std::forward<F>(call)();
    if (s && isDisconnection(hr)) markClientDisconnected(s, hr);
    return hr;
}

// Calls a sink method that returns nothing (IAdviseSink): nothing to learn from it.
template <class F>
void callClientVoid(F&& call)
{
    OPCServer* s = ClientScope::current();
    if (s && clientDisconnected(s)) return;
    checkNotLocked("a call into a client");
    std::forward<F>(call)();
}

// Calls one of the host's callbacks.
template <class F>
auto callHost(F&& call) -> decltype(call())
{
    checkNotLocked("a host callback");
    return std::forward<F>(call)();
}

} // namespace qv

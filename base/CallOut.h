#pragma once
// The one way out of the server: every call into a client's sink or into the host goes
// through callClient or callHost. Both refuse to run with the global lock held (checked in
// builds with QV_CHECK_LOCKS); callClient also tells a gone sink from a gone client.
#include <windows.h>
#include <utility>

namespace qv {

class RecursiveLock;

// What the outbound path needs of a client: implemented by the server object of each client.
class CalledClient {
public:
    virtual bool disconnected() const = 0;
    virtual void markDisconnected(HRESULT why) = 0;
    virtual void noteReachable() = 0;
    virtual void noteUnreachable(HRESULT why) = 0;

protected:
    ~CalledClient() = default;
};

// The lock no call out may be made with (the server's global lock), set once at load.
void setOutboundCheckedLock(const RecursiveLock* lock);

// What a failed call into a client says, in one table:
// - Sink: that object is gone (disconnected by its client, or its apartment ended); the client
//   may well be alive, so only that connection ends.
// - Process: the client's process or its endpoint is gone; the client is reclaimed at once.
// - Transient: may pass on a network (call failed, rejected, timed out); the client is
//   reclaimed only when every call into it keeps failing for kUnreachableGraceMs.
// Any other result (success or the sink's own error) proves the client reachable.
enum class CallFailure { None, Sink, Process, Transient };
CallFailure classifyFailure(HRESULT hr);
constexpr DWORD kUnreachableGraceMs = 30000;

// Aborts with a message when the calling thread holds the global lock (QV_CHECK_LOCKS builds).
void checkNotLocked(const char* what);

// The client on whose behalf this thread is calling out (the worker's passes, the caller timer's
// passes, the shutdown broadcast). Calls made outside a scope are not attributed to a client.
class ClientScope {
public:
    explicit ClientScope(CalledClient* s);
    ~ClientScope();
    ClientScope(const ClientScope&) = delete;
    ClientScope& operator=(const ClientScope&) = delete;
    static CalledClient* current();

private:
    CalledClient* previous_;
};

bool clientDisconnected(CalledClient* s);
// What the result of a call into the client tells about it (classifyFailure).
void noteClientResult(CalledClient* s, HRESULT hr);

// Calls into a client's sink (call returns the HRESULT). A client already known to be
// disconnected is not called again (RPC_E_DISCONNECTED); the result is noted for the client
// (noteClientResult). A Sink result is the caller's to act on (see ConnectionPoint::callSink).
template <class F>
HRESULT callClient(F&& call)
{
    CalledClient* s = ClientScope::current();
    if (s && clientDisconnected(s)) return RPC_E_DISCONNECTED;
    checkNotLocked("a call into a client");
    HRESULT hr = std::forward<F>(call)();
    if (s) noteClientResult(s, hr);
    return hr;
}

// Calls a sink method that returns nothing (IAdviseSink): nothing to learn from it but that
// the call was made (false: the client is known to be disconnected, nothing was called).
template <class F>
bool callClientVoid(F&& call)
{
    CalledClient* s = ClientScope::current();
    if (s && clientDisconnected(s)) return false;
    checkNotLocked("a call into a client");
    std::forward<F>(call)();
    return true;
}

// Calls one of the host's callbacks.
template <class F>
auto callHost(F&& call) -> decltype(call())
{
    checkNotLocked("a host callback");
    return std::forward<F>(call)();
}

} // namespace qv

#pragma once
// The one way out of the server: every call into a client's sink or into the host goes
// through callClient or callHost. Both refuse to run with the global lock held (checked in
// builds with QV_CHECK_LOCKS); callClient also tells a gone sink from a gone client.
#include <windows.h>
#include <utility>
#include <vector>
#include "base/ComUtil.h"

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
// - Transient: may pass (call failed, rejected by a busy client, timed out); a remote client
//   is reclaimed only when every call into it keeps failing for kUnreachableGraceMs, a local
//   one never while its process lives (a modal dialog may reject calls for minutes).
// Any other result (success or the sink's own error) proves the client reachable.
enum class CallFailure { None, Sink, Process, Transient };
CallFailure classifyFailure(HRESULT hr);
// Whether the result came from the client's own code, so what the call carried was received:
// not a failure above, nor any other of COM's channel (RPC_E_: a busy client's RETRYLATER, a
// cancelled call), the RPC runtime's or the marshaler's (RPC_S_, RPC_X_) or COM's own (CO_E_).
bool clientAnswered(HRESULT hr);
constexpr DWORD kUnreachableGraceMs = 30000;
// The grace in force: kUnreachableGraceMs, or in test builds (QV_CHECK_LOCKS) the value of
// the environment variable QV_TEST_UNREACHABLE_MS when the server started, so a test need
// not wait 30 s to prove a rule.
DWORD unreachableGraceMs();
void setUnreachableGraceMs(DWORD ms);

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

// Host callbacks are open from a start until its stop closes them: none is made once
// QV_UnInitOpcServer has returned (the host may unload its code, or ours, next).
void openHostCalls();
// Closes them; the stop then waits (pumping, on a single-threaded host) until
// hostCallsDrained: no callback is under way on another thread.
void closeHostCalls();
bool hostCallsDrained();

// Counts a host callback under way; open() is false when callbacks are closed.
class HostCallScope {
public:
    HostCallScope();
    ~HostCallScope();
    HostCallScope(const HostCallScope&) = delete;
    HostCallScope& operator=(const HostCallScope&) = delete;
    bool open() const { return open_; }

private:
    bool open_;
};

// Calls one of the host's callbacks; false (not called) once the stop closed them.
template <class F>
bool callHost(F&& call)
{
    checkNotLocked("a host callback");
    HostCallScope scope;
    if (!scope.open()) return false;
    std::forward<F>(call)();
    return true;
}

// A thread the library starts holds the library loaded until it ends, so a host may unload
// it right after the stop: createHeldThread stores the hold in `hold` (null when it cannot be
// held) before the thread runs, and lets go of it again when the thread cannot be made; the
// thread ends with endThreadReleasingModule(hold, ...) instead of returning.
HANDLE createHeldThread(HMODULE& hold, LPTHREAD_START_ROUTINE main, void* arg, DWORD flags = 0,
                        DWORD* threadId = nullptr);
[[noreturn]] void endThreadReleasingModule(HMODULE hold, DWORD code);

// The last release of a client's object (a proxy) is a call into the client, which may wait
// for a hung one. A thread that must never wait on a client (the stop's) parks what it lets
// go of (letGo) while a ParkedReleases scope is open; when the scope ends, the parked
// references are released on a thread of their own that holds the library, not waited for.
class ParkedReleases {
public:
    ParkedReleases();
    ~ParkedReleases();
    ParkedReleases(const ParkedReleases&) = delete;
    ParkedReleases& operator=(const ParkedReleases&) = delete;

private:
    friend void letGo(IUnknown* p);
    ParkedReleases* previous_;
    std::vector<IUnknown*> parked_;
};

// Lets go of one reference to a client's object: parked while this thread parks, else now.
void letGo(IUnknown* p);
template <class I>
void letGo(ComPtr<I>& p)
{
    if (I* raw = p.detach()) letGo(static_cast<IUnknown*>(raw));
}

} // namespace qv

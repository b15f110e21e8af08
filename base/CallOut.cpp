#include "base/CallOut.h"
#include <cstdio>
#include <cstdlib>
#include "base/Lock.h"
#include <atomic>
#include <new>

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

bool clientAnswered(HRESULT hr)
{
    if (SUCCEEDED(hr)) return true;
    if (classifyFailure(hr) != CallFailure::None) return false;
    if (HRESULT_FACILITY(hr) == FACILITY_RPC) return false;
    const unsigned long code = static_cast<unsigned long>(HRESULT_CODE(hr));
    if (HRESULT_FACILITY(hr) == FACILITY_WIN32 && code >= 1700 && code < 2000) return false;
    const unsigned long u = static_cast<unsigned long>(hr);
    return u < 0x800401F0ul || u > 0x800401FFul;
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


namespace {
std::atomic<bool> g_hostCallsClosed{false};
std::atomic<LONG> g_hostCallsRunning{0};
thread_local LONG t_hostCallsHere = 0; // a callback may stop the server itself
std::atomic<DWORD> g_graceMs{kUnreachableGraceMs};
}

void openHostCalls() { g_hostCallsClosed = false; }

void closeHostCalls() { g_hostCallsClosed = true; }

bool hostCallsDrained() { return g_hostCallsRunning.load() <= t_hostCallsHere; }

HostCallScope::HostCallScope()
{
    ++g_hostCallsRunning;
    ++t_hostCallsHere;
    // Counted before the look: a stop closing now either sees this call or it sees closed.
    open_ = !g_hostCallsClosed.load();
}

HostCallScope::~HostCallScope()
{
    --t_hostCallsHere;
    --g_hostCallsRunning;
}

HANDLE createHeldThread(HMODULE& hold, LPTHREAD_START_ROUTINE main, void* arg, DWORD flags, DWORD* threadId)
{
    hold = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&createHeldThread), &hold))
        hold = nullptr;
    HANDLE h = CreateThread(nullptr, 0, main, arg, flags, threadId);
    if (!h && hold) {
        FreeLibrary(hold);
        hold = nullptr;
    }
    return h;
}

void endThreadReleasingModule(HMODULE hold, DWORD code)
{
    if (hold) FreeLibraryAndExitThread(hold, code);
    ExitThread(code);
}

namespace {
thread_local ParkedReleases* t_parking = nullptr;

struct ReleaserWork {
    HMODULE module;
    HANDLE joined; // set once the thread is in the apartment the proxies live on in
    std::vector<IUnknown*> refs;
};

DWORD WINAPI releaserMain(void* arg)
{
    ReleaserWork* work = static_cast<ReleaserWork*>(arg);
    const HMODULE module = work->module;
    const HRESULT hrCom = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    SetEvent(work->joined);
    for (IUnknown* p : work->refs) p->Release();
    delete work;
    if (SUCCEEDED(hrCom)) CoUninitialize();
    endThreadReleasingModule(module, 0);
}
} // namespace

ParkedReleases::ParkedReleases() : previous_(t_parking) { t_parking = this; }

ParkedReleases::~ParkedReleases()
{
    t_parking = previous_;
    if (parked_.empty()) return;
    HANDLE joined = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ReleaserWork* work = joined ? new (std::nothrow) ReleaserWork{nullptr, joined, {}} : nullptr;
    HANDLE h = nullptr;
    if (work) {
        work->refs.swap(parked_);
        h = createHeldThread(work->module, releaserMain, work);
        if (!h) {
            parked_.swap(work->refs);
            delete work;
        }
    }
    if (h) {
        CloseHandle(h);
        // The multithreaded apartment must outlive the proxies: the stop may leave it next.
        // Only the thread's start is waited for, never a client.
        if (WaitForSingleObject(joined, 1000) == WAIT_OBJECT_0) CloseHandle(joined);
        return;
    }
    if (joined) CloseHandle(joined);
    // No thread to be had: released here rather than leaked.
    for (IUnknown* p : parked_) p->Release();
}

void letGo(IUnknown* p)
{
    if (!p) return;
    if (ParkedReleases* park = t_parking) {
        try {
            park->parked_.push_back(p);
            return;
        } catch (const std::bad_alloc&) {
            // no room to park it: released here
        }
    }
    p->Release();
}

DWORD unreachableGraceMs() { return g_graceMs.load(); }
void setUnreachableGraceMs(DWORD ms) { g_graceMs = ms ? ms : kUnreachableGraceMs; }

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

#include "runtime/UpdateClock.h"
#include "runtime/StopWait.h"
#include <vector>
#include "base/CallOut.h"
#include "base/Trace.h"
#include "core/OPCServerApp.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

const char kTimerClass[] = "QvTimerNotify";

LRESULT CALLBACK timerWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// The client objects live in the host's apartment and their sinks' proxies belong to it, so
// every client is served on the host's thread (passes, events, and the reclaiming of a gone
// client).
VOID CALLBACK callerTick(HWND, UINT, UINT_PTR, DWORD)
{
    OPCServerApp& app = App();
    Clock().notePumped();
    ++app.ticks;
    std::vector<std::shared_ptr<OPCServer>> clients;
    try {
        clients = app.snapshotClients();
    } catch (const std::bad_alloc&) {
        return; // no memory for the list: this tick's passes are skipped, the next one serves
    }
    for (const std::shared_ptr<OPCServer>& s : clients) {
        if (s->gone()) continue;
        ClientScope scope(s.get());
        // The stop pumps messages while it waits: no client is called from here then, only
        // a gone one reclaimed.
        // A timer callback must not throw into the host's message loop: serve() guards its
        // passes, the reclaiming here its own.
        if (!app.stopping.load()) {
            s->serve(1);
        } else if (s->disconnected()) {
            try {
                s->reclaim();
            } catch (...) {
                QV_TRACE(trace::kErrors, "reclaim pass skipped: out of memory");
            }
        }
    }
}

// A single-threaded host that does not pump messages holds every client's call: said once
// in the trace while a client is connected, as such a host's clients only time out. (A first
// activation waiting in the host's queue cannot be seen from here: it is not said.)
DWORD WINAPI watchMain(void* param)
{
    UpdateClock* self = static_cast<UpdateClock*>(param);
    const HMODULE module = self->watchModule();
    bool said = false;
    while (WaitForSingleObject(self->watchStopEvent(), 1000) == WAIT_TIMEOUT) {
        const DWORD silent = GetTickCount() - self->lastPumped();
        if (silent < UpdateClock::kPumpSilenceMs) {
            said = false;
            continue;
        }
        if (said || App().clientCount() == 0) continue;
        said = true;
        QV_TRACE(trace::kErrors,
                 "the host's thread is a single-threaded apartment and has not pumped messages for %lu s: "
                 "no client call can be served until it does",
                 static_cast<unsigned long>(silent / 1000));
    }
    endThreadReleasingModule(module, 0);
}

} // namespace

UpdateClock& Clock()
{
    // Never destroyed by static destructors, as App(): the runtime's teardown stops it.
    static UpdateClock* clock = new UpdateClock();
    return *clock;
}

LONGLONG UpdateClock::nowUs()
{
    static const LONGLONG freq = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return c.QuadPart / freq * 1000000 + c.QuadPart % freq * 1000000 / freq;
}

VOID CALLBACK UpdateClock::threadTick(HWND, UINT, UINT_PTR, DWORD)
{
    UpdateClock& self = Clock();
    const LONGLONG now = nowUs();
    // The host keeps the clock while its ticks come; the timer is the fallback.
    if (now - self.lastHostTickUs_.load() < static_cast<LONGLONG>(self.period_) * 1500) return;
    // Claimed like a host tick, so a host tick at the same moment cannot make a second one.
    LONGLONG last = self.lastTickUs_.load();
    if (now - last < static_cast<LONGLONG>(self.period_) * 500) return;
    if (!self.lastTickUs_.compare_exchange_strong(last, now)) return;
    App().tick();
}

bool UpdateClock::hostTick()
{
    if (!threadRunning_.load()) return false;
    const LONGLONG now = nowUs();
    LONGLONG last = lastTickUs_.load();
    if (now - last < static_cast<LONGLONG>(period_) * 500) return false;
    // Two host threads ending a cycle at once make one tick.
    if (!lastTickUs_.compare_exchange_strong(last, now)) return false;
    lastHostTickUs_ = now;
    App().tick();
    return true;
}

DWORD WINAPI UpdateClock::threadMain(void* param)
{
    UpdateClock* self = static_cast<UpdateClock*>(param);
    const HMODULE module = self->threadModule_;
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = timerWndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kTimerClass;
    RegisterClassA(&wc);
    // The hidden window needs a display; the thread timer below works without one.
    HWND hwnd = CreateWindowA(kTimerClass, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, wc.hInstance, nullptr);
    UINT_PTR id = SetTimer(nullptr, 0, self->period_, threadTick);
    if (hwnd) {
        ShowWindow(hwnd, SW_HIDE);
        UpdateWindow(hwnd);
    }
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // the queue exists before anyone posts
    SetEvent(self->ready_);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(nullptr, id);
    if (hwnd) DestroyWindow(hwnd);
    endThreadReleasingModule(module, static_cast<DWORD>(msg.wParam));
}

bool UpdateClock::startThread(DWORD period)
{
    if (thread_) return false;
    period_ = period;
    if (!ready_) ready_ = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (!ready_) return false;
    DWORD tid = 0;
    thread_ = createHeldThread(threadModule_, threadMain, this, 0, &tid);
    if (!thread_) return false;
    threadId_ = tid;
    WaitForSingleObject(ready_, 5000);
    lastTickUs_ = lastHostTickUs_ = nowUs() - 2000LL * period;
    threadRunning_ = true;
    return true;
}

bool UpdateClock::startOnCaller(DWORD period)
{
    if (callerTimer_) return false;
    period_ = period;
    callerTimer_ = SetTimer(nullptr, 0, period, callerTick);
    if (!callerTimer_) return false;
    notePumped();
    if (!watchStop_) watchStop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watchStop_ && !watch_) {
        ResetEvent(watchStop_);
        watch_ = createHeldThread(watchModule_, watchMain, this);
    }
    return true;
}

void UpdateClock::stopThread()
{
    if (!thread_) return;
    threadRunning_ = false;
    PostThreadMessageA(threadId_.load(), WM_QUIT, 0, 0);
    // It only leaves its message loop: quick. One still running holds the library itself.
    WaitForSingleObject(thread_, kThreadEndMs);
    CloseHandle(thread_);
    thread_ = nullptr;
    threadId_ = 0;
}

void UpdateClock::stopWatch(bool pump)
{
    if (!watch_) return;
    SetEvent(watchStop_);
    stopWaitThread(watch_, kThreadEndMs, pump);
    CloseHandle(watch_);
    watch_ = nullptr;
}

void UpdateClock::killCallerTimer()
{
    if (!callerTimer_) return;
    KillTimer(nullptr, callerTimer_);
    callerTimer_ = 0;
}

void UpdateClock::stop(bool pump)
{
    stopThread();
    stopWatch(pump);
    killCallerTimer();
}

} // namespace qv

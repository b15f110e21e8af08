#include "runtime/ServerLifetime.h"
#include <new>
#include <string>
#include "runtime/ClassFactory.h"
#include "base/GuidText.h"
#include "runtime/InterfacePins.h"
#include "runtime/OPCServerApp.h"
#include "runtime/Security.h"
#include "base/Trace.h"
#include "server/OPCServer.h"

namespace qv {

namespace {

// What a start has done so far; the destructor undoes it in reverse order unless committed.
struct StartSteps {
    bool comJoined = false;
    IMalloc* allocator = nullptr;
    DWORD cookie = 0;
    bool committed = false;

    ~StartSteps()
    {
        if (committed) return;
        if (cookie) CoRevokeClassObject(cookie);
        if (allocator) allocator->Release();
        if (comJoined) CoUninitialize();
    }
};

// How long the stop waits, in all, for the clients to return from ShutdownRequest.
constexpr DWORD kShutdownAnswerMs = 2000;

// Every client hears ShutdownRequest from the thread that serves it, all at once; the host's
// thread only waits, a bounded time. A client still inside the call then is abandoned: it is
// called no more and its worker reclaims it when the call returns. Returns whether any
// client was asked.
bool shutdownBroadcast()
{
    OPCServerApp& app = App();
    std::vector<std::shared_ptr<OPCServer>> clients = app.snapshotClients();
    QV_TRACE(trace::kConnections, "server stopping: %u clients to tell", static_cast<unsigned>(clients.size()));
    if (clients.empty()) return false;
    if (app.passesOnHostThread.load()) {
        // A single-threaded host: this thread is the one that serves the clients.
        for (const std::shared_ptr<OPCServer>& s : clients) s->sendShutdownRequest();
        return true;
    }
    for (const std::shared_ptr<OPCServer>& s : clients) s->requestShutdown();
    const DWORD start = GetTickCount();
    for (;;) {
        bool all = true;
        for (const std::shared_ptr<OPCServer>& s : clients) all = all && (s->shutdownAnswered() || s->gone());
        if (all) return true;
        if (GetTickCount() - start >= kShutdownAnswerMs) break;
        Sleep(10);
    }
    for (const std::shared_ptr<OPCServer>& s : clients)
        if (!s->shutdownAnswered() && !s->gone())
            s->markDisconnected(RPC_E_TIMEOUT, "abandoned by the stop: no answer to ShutdownRequest within 2 s");
    return true;
}

// Interface registrations the server keeps from start to stop (Wine's unregister deadlock).
InterfacePins& pins()
{
    static InterfacePins* p = new InterfacePins(); // never destroyed: may outlive COM at exit
    return *p;
}

void waitForWorkers()
{
    OPCServerApp& app = App();
    for (int round = 0; round < 50 && app.liveWorkers.load() > 0; ++round) Sleep(100);
}

} // namespace

// A server started by COM has no command line of its own: when the host set no trace, an
// administrator may ask for one under HKEY_CLASSES_ROOT\AppID\{clsid}: "TraceFile" (REG_SZ) and
// "TraceLevel" (REG_DWORD, 1 to 4; 3 when absent).
static void traceFromRegistry(const CLSID& clsid)
{
    if (trace::enabled(trace::kErrors)) return;
    char guid[39];
    formatGuidText(clsid, guid);
    const std::string key = std::string("AppID\\") + guid;
    char path[MAX_PATH] = {};
    DWORD size = sizeof(path) - 1, type = 0;
    if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), "TraceFile", RRF_RT_REG_SZ, &type, path, &size) != ERROR_SUCCESS ||
        !path[0])
        return;
    DWORD level = trace::kCalls;
    size = sizeof(level);
    RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), "TraceLevel", RRF_RT_REG_DWORD, &type, &level, &size);
    trace::setFile(path, level);
}

bool startServer(const CLSID& clsid, DWORD period)
{
    OPCServerApp& app = App();
    if (app.started.load()) return false;
    StartSteps steps;

    // A thread already in a single-threaded apartment keeps it: the caller timer serves then.
    const bool ownThread = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    steps.comJoined = ownThread;
    traceFromRegistry(clsid);
    // A failure leaves COM to take the same AppID values from the registry on first use.
    initDefaultSecurity(clsid);
    if (FAILED(CoGetMalloc(1, &steps.allocator))) {
        steps.allocator = nullptr;
        return false;
    }
    if (!app.classFactory) app.classFactory = new (std::nothrow) ClassFactoryImpl();
    if (!app.classFactory) return false;
    // A registration left by an earlier start (a stop keeps it) gives way to this one.
    if (app.classObjectCookie) {
        CoRevokeClassObject(app.classObjectCookie);
        app.classObjectCookie = 0;
    }
    if (FAILED(CoRegisterClassObject(clsid, app.classFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                     &steps.cookie))) {
        steps.cookie = 0;
        return false;
    }
    const DWORD revised = period < 10 ? 10 : period;
    if (!(ownThread ? app.clock.startThread(revised) : app.clock.startOnCaller(revised))) return false;

    steps.committed = true;
    pins().pin();
    app.rememberedClsid = clsid;
    app.comInitialised = ownThread ? 1 : 0;
    if (app.taskAllocator) app.taskAllocator->Release();
    app.taskAllocator = steps.allocator;
    app.classObjectCookie = steps.cookie;
    CoFileTimeNow(&app.startTime);
    app.updatePeriod = revised;
    app.passesOnHostThread = !ownThread;
    app.stopped = false;
    app.started = true;
    return true;
}

void stopServer()
{
    OPCServerApp& app = App();
    // The clients that were asked get a moment to let go.
    if (shutdownBroadcast()) Sleep(500);
    app.started = false;
    app.stopped = true;
    waitForWorkers();
    for (const std::shared_ptr<OPCServer>& s : app.snapshotClients())
        QV_TRACE(trace::kConnections, "%s still connected at the stop: it never let go", s->traceName().c_str());
    // Nothing pulses any more after the stop, and a timer thread must not outlive the
    // library's code if the host unloads it next.
    app.clock.stop();
    app.passesOnHostThread = false;
    pins().release();
    if (app.comInitialised) {
        CoUninitialize();
        app.comInitialised = 0;
    }
}

void unloadTeardown(bool processTerminating)
{
    // Other threads are gone already when the process ends; nothing to do then. On an
    // explicit unload no waiting is possible here (loader lock): the host stops the server
    // with QV_UnInitOpcServer first. If workers or the timer still run, their state stays
    // allocated rather than being freed under them.
    if (processTerminating) return;
    OPCServerApp& app = App();
    // A caller timer left running would call into unloaded code (the thread unloading is
    // normally the one that set it).
    app.clock.killCallerTimer();
    if (app.liveWorkers.load() > 0 || app.clock.thread()) return;
    if (app.classObjectCookie) {
        CoRevokeClassObject(app.classObjectCookie);
        app.classObjectCookie = 0;
    }
    {
        LockGuard g(app.globalLock);
        app.eventJournal.clear();
    }
    app.tags.clear();
}

} // namespace qv

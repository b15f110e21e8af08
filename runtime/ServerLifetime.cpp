#include "runtime/ServerLifetime.h"
#include <new>
#include <string>
#include "runtime/ClassFactory.h"
#include "base/GuidText.h"
#include "runtime/InterfacePins.h"
#include "core/OPCServerApp.h"
#include "runtime/Security.h"
#include "runtime/StopWait.h"
#include "runtime/UpdateClock.h"
#include "base/Trace.h"
#include "server/OPCServer.h"
#include "base/CallOut.h"
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace qv {

namespace {

// Made at the first start and kept (registered again by every later start).
ClassFactoryImpl* classFactory = nullptr;

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
// How long it then gives the clients that were told to let go.
constexpr DWORD kReleaseMomentMs = 500;
// How long the stop waits for host callbacks under way on other threads.
constexpr DWORD kHostCallDrainMs = 2000;

// Every client listed when the stop began hears ShutdownRequest from its worker, all at once
// (a worker inside a slow call sends it when that returns); the host's thread only waits, a
// bounded time, and abandons a client not answered by then. Returns whether any was asked.
bool shutdownBroadcast(const std::vector<std::shared_ptr<OPCServer>>& clients, bool sta)
{
    if (clients.empty()) return false;
    for (const std::shared_ptr<OPCServer>& s : clients) s->requestShutdown(sta);
    using State = OPCServer::ShutdownState;
    stopWait(kShutdownAnswerMs, sta, [&] {
        for (const std::shared_ptr<OPCServer>& s : clients)
            if (s->shutdownState() != State::Answered && !s->gone()) return false;
        return true;
    });
    for (const std::shared_ptr<OPCServer>& s : clients)
        if (!s->gone()) s->abandonShutdown();
    return true;
}

// Interface registrations the server keeps from start to stop (Wine's unregister deadlock).
InterfacePins& pins()
{
    static InterfacePins* p = new InterfacePins(); // never destroyed: may outlive COM at exit
    return *p;
}

// The host hears of every client the stop leaves (its DisconnectNotificationProc) before the
// stop returns: a client still listed now is reclaimed here, its objects disconnected from
// COM, so nothing of it reaches the library or the host afterwards. Its sinks are parked
// (the stop's ParkedReleases), not released on this thread.
void reclaimRemaining(bool sta)
{
    OPCServerApp& app = App();
    for (const std::shared_ptr<OPCServer>& s : app.snapshotClients()) {
        QV_TRACE(trace::kConnections, "%s still connected at the stop: it never let go, disconnected",
                 s->traceName().c_str());
        s->markDisconnected(CO_E_SERVER_STOPPING, "still connected at the end of the stop");
        s->reclaim();
    }
    // Workers end as soon as they are out of their clients' calls; one still inside a call
    // holds the library loaded until it returns (createHeldThread).
    stopWait(1000, sta, [&] { return app.liveWorkers.load() == 0; });
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

namespace {

// A path as it names its file: full, with long names (an 8.3 short path names the same file).
std::string canonicalPath(const std::string& path)
{
    std::string full(MAX_PATH, '\0');
    for (int i = 0; i < 2; ++i) {
        const DWORD n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), &full[0], nullptr);
        if (!n) return path;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.assign(n, '\0');
    }
    std::string longer(full.size() + MAX_PATH, '\0');
    for (int i = 0; i < 2; ++i) {
        const DWORD n = GetLongPathNameA(full.c_str(), &longer[0], static_cast<DWORD>(longer.size()));
        if (!n) return full; // no such file: compared as written
        if (n < longer.size()) return longer.substr(0, n);
        longer.assign(n, '\0');
    }
    return full;
}

bool isFile(const std::string& path)
{
    const DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

// The executable a LocalServer32 command line names: the quoted part, else the shortest part up
// to a blank that names a file (an unquoted path may hold blanks), else all of it.
std::string commandExecutable(const std::string& cmd)
{
    if (!cmd.empty() && cmd[0] == '"') {
        const size_t close = cmd.find('"', 1);
        return cmd.substr(1, close == std::string::npos ? std::string::npos : close - 1);
    }
    for (size_t blank = cmd.find(' '); blank != std::string::npos; blank = cmd.find(' ', blank + 1))
        if (isFile(cmd.substr(0, blank))) return cmd.substr(0, blank);
    return cmd;
}

// The default value of a key under HKEY_CLASSES_ROOT, however long; false when it is absent.
bool classesRootText(const std::string& key, std::string* text, LSTATUS* status)
{
    DWORD size = 0;
    *status = RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, nullptr, &size);
    for (int i = 0; i < 3 && *status == ERROR_SUCCESS; ++i) {
        std::string buf(size + 1, '\0');
        DWORD got = static_cast<DWORD>(buf.size());
        *status = RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, &buf[0], &got);
        if (*status == ERROR_SUCCESS) {
            *text = buf.c_str();
            return true;
        }
        if (*status == ERROR_MORE_DATA) { // grew meanwhile (or its expansion is longer)
            size = got > size ? got : size * 2;
            *status = ERROR_SUCCESS;
        }
    }
    return false;
}

} // namespace

// A vendor's first mistake: a host started with another CLSID than it registered (or before
// registering) waits for clients that COM never sends it. Said in the trace, not refused: a
// host may be registered by its installer under another path.
static void warnIfNotRegistered(const CLSID& clsid)
{
    char guid[39];
    formatGuidText(clsid, guid);
    const std::string key = std::string("CLSID\\") + guid + "\\LocalServer32";
    std::string command;
    LSTATUS status = ERROR_SUCCESS;
    if (!classesRootText(key, &command, &status)) {
        if (status == ERROR_FILE_NOT_FOUND)
            QV_TRACE(trace::kErrors, "the CLSID %s given to QV_InitOpcServer is not registered as a local server "
                     "(HKEY_CLASSES_ROOT\\%s): COM will not start this executable for its clients", guid, key.c_str());
        else
            QV_TRACE(trace::kErrors, "the local server registered for the CLSID %s given to QV_InitOpcServer "
                     "cannot be read (HKEY_CLASSES_ROOT\\%s, error %ld)", guid, key.c_str(), static_cast<long>(status));
        return;
    }
    std::string self(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, &self[0], static_cast<DWORD>(self.size()));
        if (!n) return;
        if (n < self.size()) {
            self.resize(n);
            break;
        }
        if (self.size() >= 32768) return;
        self.assign(self.size() * 2, '\0');
    }
    const std::string registered = canonicalPath(commandExecutable(command));
    if (lstrcmpiA(registered.c_str(), canonicalPath(self).c_str()) != 0)
        QV_TRACE(trace::kErrors, "the CLSID %s given to QV_InitOpcServer is registered as a local server of "
                 "\"%s\", not of this executable (%s): COM starts that one for new clients", guid, command.c_str(),
                 self.c_str());
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
    if (!classFactory) classFactory = new (std::nothrow) ClassFactoryImpl();
    if (!classFactory) return false;
    // Every stop revokes the class object; one still registered (none should be) gives way.
    if (app.classObjectCookie) {
        CoRevokeClassObject(app.classObjectCookie);
        app.classObjectCookie = 0;
    }
    if (FAILED(CoRegisterClassObject(clsid, classFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE,
                                     &steps.cookie))) {
        steps.cookie = 0;
        return false;
    }
    const DWORD revised = period < 10 ? 10 : period;
    if (!(ownThread ? Clock().startThread(revised) : Clock().startOnCaller(revised))) return false;

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
#ifdef QV_CHECK_LOCKS
    char grace[16] = {};
    const DWORD n = GetEnvironmentVariableA("QV_TEST_UNREACHABLE_MS", grace, sizeof grace);
    setUnreachableGraceMs(n && n < sizeof grace ? static_cast<DWORD>(strtoul(grace, nullptr, 10)) : 0);
#endif
    warnIfNotRegistered(clsid);
    openHostCalls();
    {
        LockGuard g(app.globalLock);
        app.stopping = false;
    }
    app.stopped = false;
    app.started = true;
    return true;
}

void stopServer()
{
    OPCServerApp& app = App();
    const bool wasStarted = app.started.load();
    const bool sta = app.passesOnHostThread.load();
    {
        // The client objects this thread lets go of (a reclaimed client's sinks, the last
        // hold of a client object) are released on a thread of their own: the final release
        // of a proxy waits for its client, a hung one too.
        ParkedReleases park;
        // One state change under the lock: from here no client is added, and every one listed
        // now is told.
        std::vector<std::shared_ptr<OPCServer>> clients = app.beginStop();
        // No activation reaches the class object any more (Wine keeps a revoked one answering
        // for a moment: it refuses with CO_E_SERVER_STOPPING).
        if (app.classObjectCookie) {
            CoRevokeClassObject(app.classObjectCookie);
            app.classObjectCookie = 0;
        }
        QV_TRACE(trace::kConnections, "server stopping: %u clients to tell", static_cast<unsigned>(clients.size()));
        // The clients that were asked get a moment to let go.
        if (shutdownBroadcast(clients, sta)) stopWait(kReleaseMomentMs, sta, [&] { return app.clientCount() == 0; });
        clients.clear();
        app.stopped = true;
        reclaimRemaining(sta);
    }
    {
        LockGuard g(app.globalLock);
        app.started = false;
        app.stopping = false;
    }
    // Nothing pulses any more after the stop, and a timer thread must not outlive the
    // library's code if the host unloads it next.
    Clock().stop(sta);
    app.passesOnHostThread = false;
    if (wasStarted) {
        closeHostCalls();
        if (!stopWait(kHostCallDrainMs, sta, hostCallsDrained))
            QV_TRACE(trace::kErrors, "the stop returns while a host callback is still running");
    }
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
    Clock().killCallerTimer();
    if (app.liveWorkers.load() > 0 || Clock().thread()) return;
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

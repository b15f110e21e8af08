#include "runtime/ServerRuntime.h"
#include <cstdio>
#include <new>
#include "runtime/OPCServerApp.h"
#include "runtime/CallOut.h"
#include "server/OPCServer.h"
#include "runtime/Security.h"
#include "runtime/Trace.h"

namespace qv {

HRESULT STDMETHODCALLTYPE ServerClassFactory::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv) return E_INVALIDARG;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE ServerClassFactory::AddRef() { return static_cast<ULONG>(++refs_); }
ULONG STDMETHODCALLTYPE ServerClassFactory::Release() { return static_cast<ULONG>(--refs_); }

HRESULT STDMETHODCALLTYPE ServerClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv)
{
    if (outer) {
        if (ppv) *ppv = nullptr;
        return CLASS_E_NOAGGREGATION;
    }
    return createServer(riid, ppv);
}

HRESULT STDMETHODCALLTYPE ServerClassFactory::LockServer(BOOL lock)
{
    if (lock) ++App().serverLocks;
    else --App().serverLocks;
    return S_OK;
}

HRESULT createServer(REFIID riid, void** ppv)
{
    OPCServerApp& app = App();
    if (!ppv) return E_INVALIDARG;
    *ppv = nullptr;
    if (!app.started.load()) return E_FAIL;
    std::shared_ptr<OPCServer> s = OPCServer::create();
    if (!s) return E_OUTOFMEMORY;
    HRESULT hr = s->QueryInterface(riid, ppv);
    if (FAILED(hr)) return hr; // nothing else made: the object goes with s
    // The worker's hold; suspended until its handle is stored (the worker closes it).
    std::unique_ptr<std::shared_ptr<OPCServer>> workerHold(new (std::nothrow) std::shared_ptr<OPCServer>(s));
    HANDLE h = workerHold ? CreateThread(nullptr, 0, &OPCServer::workerMain, workerHold.get(), CREATE_SUSPENDED, nullptr)
                          : nullptr;
    if (!h) {
        static_cast<IUnknown*>(*ppv)->Release();
        *ppv = nullptr;
        return E_FAIL;
    }
    workerHold.release();
    s->workerThread = h;
    ++app.liveWorkers;
    app.addClient(s.get());
    QV_TRACE(trace::kConnections, "client %p connected (%ld clients)", static_cast<void*>(s.get()), app.clientCount());
    ResumeThread(h);
    return hr;
}

namespace {

const char kTimerClass[] = "QvTimerNotify";
HANDLE g_timerReady = nullptr;

LRESULT CALLBACK timerWndProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    return DefWindowProcA(hwnd, msg, wp, lp);
}

VOID CALLBACK timerTick(HWND, UINT, UINT_PTR, DWORD)
{
    App().tick();
}

DWORD WINAPI timerThreadMain(void*)
{
    OPCServerApp& app = App();
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = timerWndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kTimerClass;
    RegisterClassA(&wc);
    // The hidden window needs a display; the thread timer below works without one.
    HWND hwnd = CreateWindowA(kTimerClass, "", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT,
                              CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, wc.hInstance, nullptr);
    UINT_PTR id = SetTimer(nullptr, 0, app.updatePeriod.load(), timerTick);
    if (hwnd) {
        ShowWindow(hwnd, SW_HIDE);
        UpdateWindow(hwnd);
    }
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE); // the queue exists before anyone posts
    SetEvent(g_timerReady);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(nullptr, id);
    if (hwnd) DestroyWindow(hwnd);
    return static_cast<DWORD>(msg.wParam);
}

// Caller-timer mode (the host's thread is a single-threaded apartment): the client objects
// live in that apartment and their sinks' proxies belong to it, so every client is served on
// the host's thread (passes, events, and the reclaiming of a gone client).
VOID CALLBACK callerTick(HWND, UINT, UINT_PTR, DWORD)
{
    ++App().ticks;
    for (const std::shared_ptr<OPCServer>& s : App().snapshotClients()) {
        if (s->gone()) continue;
        ClientScope scope(s.get());
        s->serve(true);
    }
}

void shutdownBroadcast()
{
    for (const std::shared_ptr<OPCServer>& s : App().snapshotClients()) s->sendShutdownRequest();
}

void waitForWorkers()
{
    OPCServerApp& app = App();
    for (int round = 0; round < 50 && app.liveWorkers.load() > 0; ++round) Sleep(100);
}

void stopTimerThread()
{
    OPCServerApp& app = App();
    if (!app.timerThread) return;
    PostThreadMessageA(app.timerThreadId.load(), WM_QUIT, 0, 0);
    WaitForSingleObject(app.timerThread, 5000);
    CloseHandle(app.timerThread);
    app.timerThread = nullptr;
    app.timerThreadId = 0;
}

} // namespace

bool startServer(const CLSID& clsid, DWORD period)
{
    OPCServerApp& app = App();
    if (app.started.load()) return false;
    app.rememberedClsid = clsid;

    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    bool timerThreadMode = SUCCEEDED(hr);
    app.comInitialised = timerThreadMode ? 1 : 0;
    // A failure leaves COM to take the same AppID values from the registry on first use.
    initDefaultSecurity(clsid);

    IMalloc* malloc = nullptr;
    if (FAILED(CoGetMalloc(1, &malloc))) {
        if (app.comInitialised) {
            CoUninitialize();
            app.comInitialised = 0;
        }
        return false;
    }
    if (app.taskAllocator) app.taskAllocator->Release();
    app.taskAllocator = malloc;
    CoFileTimeNow(&app.startTime);

    if (!app.classFactory) app.classFactory = new (std::nothrow) ServerClassFactory();
    if (!app.classFactory) return false;
    if (app.classObjectCookie) {
        CoRevokeClassObject(app.classObjectCookie);
        app.classObjectCookie = 0;
    }
    DWORD cookie = 0;
    if (FAILED(CoRegisterClassObject(clsid, app.classFactory, CLSCTX_LOCAL_SERVER, REGCLS_MULTIPLEUSE, &cookie)))
        return false;
    app.classObjectCookie = cookie;

    app.updatePeriod = period < 10 ? 10 : period;

    if (timerThreadMode) {
        if (!g_timerReady) g_timerReady = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        DWORD tid = 0;
        app.timerThread = CreateThread(nullptr, 0, timerThreadMain, nullptr, 0, &tid);
        app.timerThreadId = tid;
        if (app.timerThread) WaitForSingleObject(g_timerReady, 5000);
    } else {
        app.passesOnHostThread = true;
        app.callerTimerId = SetTimer(nullptr, 0, app.updatePeriod.load(), callerTick);
    }
    app.stopped = false;
    app.started = true;
    return true;
}

void stopServer()
{
    OPCServerApp& app = App();
    shutdownBroadcast();
    Sleep(500);
    app.started = false;
    app.stopped = true;
    waitForWorkers();
    // Nothing pulses any more after the stop, and a timer thread must not outlive the
    // library's code if the host unloads it next.
    stopTimerThread();
    if (app.callerTimerId) {
        KillTimer(nullptr, app.callerTimerId);
        app.callerTimerId = 0;
    }
    app.passesOnHostThread = false;
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
    if (app.callerTimerId) {
        KillTimer(nullptr, app.callerTimerId);
        app.callerTimerId = 0;
    }
    if (app.liveWorkers.load() > 0 || app.timerThread) return;
    if (app.classObjectCookie) {
        CoRevokeClassObject(app.classObjectCookie);
        app.classObjectCookie = 0;
    }
    app.tags.clear();
}

bool parseGuidText(const char* text, CLSID* out)
{
    *out = CLSID_NULL;
    if (!text) return false;
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    char tail = 0;
    int n = sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%c", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                   &b[4], &b[5], &b[6], &b[7], &tail);
    if (n < 11) return false;
    out->Data1 = d1;
    out->Data2 = static_cast<WORD>(d2);
    out->Data3 = static_cast<WORD>(d3);
    for (int i = 0; i < 8; ++i) out->Data4[i] = static_cast<BYTE>(b[i]);
    return n == 12 && tail == '}';
}

void formatGuidText(const CLSID& c, char out[39])
{
    snprintf(out, 39, "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", static_cast<unsigned long>(c.Data1),
             c.Data2, c.Data3, c.Data4[0], c.Data4[1], c.Data4[2], c.Data4[3], c.Data4[4], c.Data4[5], c.Data4[6],
             c.Data4[7]);
}

} // namespace qv

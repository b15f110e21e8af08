// QvOpcEnum: the OPC server browser as a local server (or an NT service).
//
//   QvOpcEnum --regserver [--service]   register (as a demand-start service with --service),
//                                       unless another product's browser is registered
//   QvOpcEnum --unregserver             remove our registration (never another's)
//   QvOpcEnum [-Embedding]              serve until the last client leaves (COM starts it so)
//   QvOpcEnum -Service                  run as the service COM starts
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <cstring>
#include "runtime/InterfacePins.h"
#include "runtime/Security.h"
#include "serverlist/ServerList.h"

using namespace qv::serverlist;

namespace {

const wchar_t kServiceName[] = L"QvOpcEnum";
HANDLE g_stop = nullptr;
SERVICE_STATUS_HANDLE g_status = nullptr;

void onLastRelease() { SetEvent(g_stop); }

// How long the browser stays after its last client left (or the last of them died), counted
// again from every client that comes and goes meanwhile.
constexpr DWORD kLingerMs = 2000;

// Returns once no client has held the browser for kLingerMs. Its last look and its end leave
// no gap: activations are refused (CO_E_SERVER_STOPPING) before that look, and served on if
// one came in just before it.
void lingerUntilIdle()
{
    // COM started the browser for a client whose activation is on its way.
    const DWORD begun = lastProcessActivity();
    constexpr DWORD kFirstClientMs = 30000;
    for (;;) {
        // Woken at once by the last release; the timeout notices clients that died.
        if (WaitForSingleObject(g_stop, 250) == WAIT_OBJECT_0) ResetEvent(g_stop);
        if (lastProcessActivity() == begun && GetTickCount() - begun < kFirstClientMs) continue;
        if (!onlyDeadClientsHold() || GetTickCount() - lastProcessActivity() < kLingerMs) continue;
        setProcessStopping(true);
        CoSuspendClassObjects();
        if (onlyDeadClientsHold()) return;
        CoResumeClassObjects();
        setProcessStopping(false);
    }
}

// Serves clients until g_stop is set, or (stopWhenIdle) until no client holds it any more.
int serve(bool stopWhenIdle)
{
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) return 1;
    int rc = 1;
    if (SUCCEEDED(qv::initDefaultSecurity(kAppId))) {
        if (stopWhenIdle) setOnLastRelease(onLastRelease);
        // Wine's COM would otherwise unregister an interface when its last stub goes (each
        // client's release of its class factory proxy, say) and can hang there.
        static const IID* const kServed[] = {&IID_IUnknown, &IID_IClassFactory, &IID_IOPCServerList,
                                             &IID_IOPCServerList2, &IID_IOPCEnumGUID, &IID_IEnumGUID};
        // Never destroyed: COM may hold the pins' object until the apartment ends.
        static qv::InterfacePins* pins = new qv::InterfacePins();
        pins->pin(kServed, sizeof kServed / sizeof kServed[0]);
        IClassFactory* factory = newClassFactory();
        DWORD cookie = 0;
        if (factory && SUCCEEDED(CoRegisterClassObject(CLSID_OPCServerList, factory, CLSCTX_LOCAL_SERVER,
                                                       REGCLS_MULTIPLEUSE, &cookie))) {
            if (stopWhenIdle) lingerUntilIdle();
            else WaitForSingleObject(g_stop, INFINITE);
            CoRevokeClassObject(cookie);
            rc = 0;
        }
        if (factory) factory->Release();
        pins->release();
    }
    CoUninitialize();
    return rc;
}

void report(DWORD state)
{
    SERVICE_STATUS st = {};
    st.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    st.dwCurrentState = state;
    st.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    SetServiceStatus(g_status, &st);
}

DWORD WINAPI serviceControl(DWORD control, DWORD, LPVOID, LPVOID)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        report(SERVICE_STOP_PENDING);
        SetEvent(g_stop);
    }
    return NO_ERROR;
}

void WINAPI serviceMain(DWORD, LPWSTR*)
{
    g_status = RegisterServiceCtrlHandlerExW(kServiceName, serviceControl, nullptr);
    if (!g_status) return;
    report(SERVICE_RUNNING);
    serve(false);
    report(SERVICE_STOPPED);
}

std::wstring modulePath()
{
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return n && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

bool is(const char* arg, const char* name) { return (arg[0] == '-' || arg[0] == '/') && _stricmp(arg + 1, name) == 0; }

} // namespace

int main(int argc, char** argv)
{
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const char* a = argc > 1 ? argv[1] : "";
    if (is(a, "-regserver") || is(a, "regserver")) {
        bool service = argc > 2 && is(argv[2], "-service");
        return registerBrowser(modulePath(), service ? kServiceName : nullptr) ? 0 : 1;
    }
    if (is(a, "-unregserver") || is(a, "unregserver")) return unregisterBrowser(modulePath()) ? 0 : 1;
    if (is(a, "Service")) {
        SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(kServiceName), serviceMain}, {nullptr, nullptr}};
        return StartServiceCtrlDispatcherW(table) ? 0 : 1;
    }
    return serve(true);
}

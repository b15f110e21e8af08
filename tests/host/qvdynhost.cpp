// A host that loads QvSrvKit.dll itself and frees it right after the stop, as a plug-in host
// does. Never registered: a test starts it and reaches its running class object. Logs to
// qvdynhost.log in QV_TEST_LOGDIR, stops when qvdynhost.stop appears there, then lives 10 s.
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "qvsrvkit.h"
#include "TestHostIds.h"

static std::string g_dir;
static volatile LONG g_returned = 0;

static void logLine(const char* text)
{
    if (FILE* f = fopen((g_dir + "\\qvdynhost.log").c_str(), "a")) fprintf(f, "[%lu] %s\n", GetTickCount(), text), fclose(f);
}

static void WINAPI onDisconnect(DWORD) { logLine(g_returned ? "disconnect callback after the stop returned" : "disconnect callback"); }

int main()
{
    g_dir = getenv("QV_TEST_LOGDIR") ? getenv("QV_TEST_LOGDIR") : ".";
    HMODULE lib = LoadLibraryA("QvSrvKit.dll");
    if (!lib) return 2;
    auto createTag = reinterpret_cast<DWORD(WINAPI*)(LPCSTR, VARIANT, WORD, BOOL)>(GetProcAddress(lib, "QV_CreateTag"));
    auto updateTag = reinterpret_cast<BOOL(WINAPI*)(DWORD, VARIANT, WORD)>(GetProcAddress(lib, "QV_UpdateTag"));
    auto init = reinterpret_cast<BOOL(WINAPI*)(const CLSID*, DWORD)>(GetProcAddress(lib, "QV_InitOpcServer"));
    auto uninit = reinterpret_cast<BOOL(WINAPI*)()>(GetProcAddress(lib, "QV_UnInitOpcServer"));
    auto onGone = reinterpret_cast<BOOL(WINAPI*)(QV_DISCONNECTNOTIFICATIONPROC)>(GetProcAddress(lib, "QV_EnableDisconnectNotification"));
    auto setTrace = reinterpret_cast<BOOL(WINAPI*)(LPCSTR, DWORD)>(GetProcAddress(lib, "QV_SetTraceFile"));
    if (!createTag || !updateTag || !init || !uninit || !onGone || !setTrace) return 3;
    setTrace((g_dir + "\\qvdynhost.trace").c_str(), QV_TRACE_CALLS);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    const DWORD tag = createTag("Dyn.Ramp", v, 0xC0, FALSE);
    onGone(onDisconnect);
    if (!init(&CLSID_QvDynHost, 100)) return 4;
    logLine("serving");
    const std::string stopFile = g_dir + "\\qvdynhost.stop";
    for (int i = 0; GetFileAttributesA(stopFile.c_str()) == INVALID_FILE_ATTRIBUTES && i < 600; ++i, ++V_I4(&v))
        Sleep(100), updateTag(tag, v, 0xC0);
    DeleteFileA(stopFile.c_str());
    const DWORD t0 = GetTickCount();
    uninit();
    InterlockedExchange(&g_returned, 1);
    char line[64];
    snprintf(line, sizeof line, "stopped in %lu ms", GetTickCount() - t0);
    logLine(line);
    setTrace(nullptr, QV_TRACE_OFF);
    FreeLibrary(lib);
    logLine("freed");
    Sleep(10000); // the client's call returns meanwhile
    logLine("exit");
    return 0;
}

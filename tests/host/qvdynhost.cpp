// A host that loads QvSrvKit.dll dynamically and unloads it after the stop, as a plug-in
// host does. Never registered: a test starts it and reaches its running class object.
// Logs to qvdynhost.log in QV_TEST_LOGDIR; stops when qvdynhost.stop appears there, then
// frees the library and lives on for 10 s (a client's call may still be under way).
#include <windows.h>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "qvsrvkit.h"
#include "TestHostIds.h"

namespace {
std::string g_dir;
volatile LONG g_returned = 0;

void logLine(const char* text)
{
    FILE* f = fopen((g_dir + "\\qvdynhost.log").c_str(), "a");
    if (!f) return;
    fprintf(f, "[%lu] %s\n", GetTickCount(), text);
    fclose(f);
}

void WINAPI onDisconnect(DWORD count)
{
    logLine(g_returned ? "disconnect callback after the stop returned" : "disconnect callback");
    (void)count;
}
} // namespace

int main()
{
    const char* dir = getenv("QV_TEST_LOGDIR");
    g_dir = dir && *dir ? dir : ".";
    HMODULE lib = LoadLibraryA("QvSrvKit.dll");
    if (!lib) return 2;
    auto get = [&](const char* name) { return reinterpret_cast<void*>(GetProcAddress(lib, name)); };
    auto createTag = reinterpret_cast<DWORD(WINAPI*)(LPCSTR, VARIANT, WORD, BOOL)>(get("QV_CreateTag"));
    auto updateTag = reinterpret_cast<BOOL(WINAPI*)(DWORD, VARIANT, WORD)>(get("QV_UpdateTag"));
    auto init = reinterpret_cast<BOOL(WINAPI*)(const CLSID*, DWORD)>(get("QV_InitOpcServer"));
    auto uninit = reinterpret_cast<BOOL(WINAPI*)()>(get("QV_UnInitOpcServer"));
    auto onGone = reinterpret_cast<BOOL(WINAPI*)(QV_DISCONNECTNOTIFICATIONPROC)>(get("QV_EnableDisconnectNotification"));
    auto setTrace = reinterpret_cast<BOOL(WINAPI*)(LPCSTR, DWORD)>(get("QV_SetTraceFile"));
    if (!createTag || !updateTag || !init || !uninit || !onGone || !setTrace) return 3;
    setTrace((g_dir + "\\qvdynhost.trace").c_str(), QV_TRACE_CALLS);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = 0;
    const DWORD tag = createTag("Dyn.Ramp", v, 0xC0, FALSE);
    onGone(onDisconnect);
    if (!init(&CLSID_QvDynHost, 100)) return 4;
    logLine("serving");
    const std::string stopFile = g_dir + "\\qvdynhost.stop";
    for (int i = 0; GetFileAttributesA(stopFile.c_str()) == INVALID_FILE_ATTRIBUTES && i < 600; ++i) {
        Sleep(100);
        ++V_I4(&v);
        updateTag(tag, v, 0xC0);
    }
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
    Sleep(10000);
    logLine("exit");
    return 0;
}

#include <windows.h>
#include "core/OPCServerApp.h"
#include "runtime/ServerLifetime.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE inst, DWORD reason, LPVOID reserved)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        DisableThreadLibraryCalls(inst);
        qv::App(); // the server state exists from load on
        break;
    case DLL_PROCESS_DETACH:
        qv::unloadTeardown(reserved != nullptr);
        break;
    default:
        break;
    }
    return TRUE;
}

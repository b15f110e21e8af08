/* A complete QvSrvKit host in C: two tags, one of them writeable, a write callback that
 * refuses out-of-range values, a disconnect callback, an optional trace file, clean stop on
 * Ctrl+C. Run "host_c --regserver" once (as administrator), then start it or let a client's
 * activation start it ("-Embedding"). */
#include <stdio.h>
#include <string.h>
#include "qvsrvkit.h"

/* {6A1C52B0-3E0B-4F55-9C7A-2E8D0F4B1C01}: make your own with uuidgen. */
static const CLSID CLSID_ExampleC = {0x6a1c52b0, 0x3e0b, 0x4f55, {0x9c, 0x7a, 0x2e, 0x8d, 0x0f, 0x4b, 0x1c, 0x01}};
static const char kProgId[] = "QvSrvKit.ExampleC";

static volatile LONG g_stop = 0;
static volatile LONG g_clients = 0;
static DWORD g_setpoint = QV_INVALID_HANDLE;

static BOOL WINAPI onCtrl(DWORD type)
{
    (void)type;
    InterlockedExchange(&g_stop, 1);
    return TRUE;
}

/* On a server thread: decide quickly, never wait for anything slow here. */
static void WINAPI onWrite(DWORD hTag, VARIANT *pValue, HRESULT *pResult)
{
    VARIANT r8;
    VariantInit(&r8);
    if (hTag != g_setpoint) return;
    if (FAILED(VariantChangeType(&r8, pValue, 0, VT_R8)) || V_R8(&r8) < 0.0 || V_R8(&r8) > 100.0)
        *pResult = OPC_E_RANGE;
}

static void WINAPI onDisconnect(DWORD dwClientCount)
{
    InterlockedExchange(&g_clients, (LONG)dwClientCount);
}

int main(int argc, char **argv)
{
    char path[MAX_PATH + 2] = "\""; /* quoted: Program Files has a space */
    const char *trace = NULL;
    BOOL byCom = FALSE;
    int i;
    DWORD level, tick = 0;
    VARIANT v;

    GetModuleFileNameA(NULL, path + 1, MAX_PATH);
    strcat(path, "\"");
    /* Before --regserver: registration writes it under OPC\Vendor. */
    QV_SetVendorInfo("QvSrvKit example host (C)");
    for (i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--regserver"))
            return QV_Registry(&CLSID_ExampleC, kProgId, "QvSrvKit example host (C)", path) ? 0 : 1;
        if (!strcmp(argv[i], "--unregserver")) return QV_Unregister(&CLSID_ExampleC, kProgId) ? 0 : 1;
        if (!strcmp(argv[i], "--trace") && i + 1 < argc) trace = argv[++i];
        if (!strcmp(argv[i], "-Embedding") || !strcmp(argv[i], "/Embedding")) byCom = TRUE;
    }
    SetConsoleCtrlHandler(onCtrl, TRUE);
    if (trace && !QV_SetTraceFile(trace, QV_TRACE_CONNECTIONS)) fprintf(stderr, "cannot open %s\n", trace);

    QV_EnableWriteNotification(onWrite);
    QV_EnableDisconnectNotification(onDisconnect);

    VariantInit(&v);
    V_VT(&v) = VT_I4;
    V_I4(&v) = 0;
    level = QV_CreateTag("Tank.Level", v, OPC_QUALITY_GOOD, FALSE);
    V_VT(&v) = VT_R8;
    V_R8(&v) = 50.0;
    g_setpoint = QV_CreateTag("Tank.Setpoint", v, OPC_QUALITY_GOOD, TRUE);
    if (level == QV_INVALID_HANDLE || g_setpoint == QV_INVALID_HANDLE) return 1;

    if (!QV_InitOpcServer(&CLSID_ExampleC, 250)) {
        fprintf(stderr, "cannot start the OPC server\n");
        return 1;
    }
    while (!g_stop) {
        Sleep(250);
        V_VT(&v) = VT_I4;
        V_I4(&v) = (LONG)(++tick % 1000);
        QV_UpdateTag(level, v, OPC_QUALITY_GOOD);
        /* One cycle per period: its values go out now, not at the server's next timer tick. */
        QV_EndUpdateCycle();
        /* Started by COM for a client: end once the last one has gone. */
        if (byCom && tick > 40 && QV_GetClientCounts() == 0) break;
    }
    QV_UnInitOpcServer();
    QV_SetTraceFile(NULL, QV_TRACE_OFF);
    return 0;
}

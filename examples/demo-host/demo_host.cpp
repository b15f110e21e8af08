// demo-host: a real QvSrvKit host, and the reference for vendors. It publishes a simulated
// plant and keeps it moving.
//
//   demo-host --regserver | --unregserver     register / unregister (ProgID QvSrvKit.Demo)
//   demo-host [--tags N] [--rate MS] [--period MS] [--stop-file PATH] [-Embedding]
//             [--trace FILE [--trace-level N] [--trace-local-time]] [--audit FILE.csv]
//
// --audit appends one CSV line for every client write, accepted or refused (see writeAudit).
//
// Each line of the plant has a sine, a ramp, a random walk with level alarms enabled (they need
// an operator's acknowledgement), a writeable setpoint, a string status and a boolean alarm
// flag; the first line's flag also raises a discrete alarm. Stops on Ctrl+C or when the stop
// file appears.
#include <windows.h>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include "qvsrvkit.h"

namespace {

// {B7F3E0A2-5C4D-4E8F-A1B2-C3D4E5F60718}
const CLSID CLSID_QvDemo = {0xb7f3e0a2, 0x5c4d, 0x4e8f, {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18}};
const char kProgId[] = "QvSrvKit.Demo";

struct Line {
    DWORD sine, ramp, level, setpoint, status, alarm;
    double walk;
    long ramp_value;
    bool alarmOn;
};

std::vector<Line> g_lines;
volatile LONG g_stop = 0;
volatile LONG g_clientsLeft = 0; // set when the last client disconnects
DWORD g_lastLeft = 0;
double g_setpointMax = 1000.0;

BOOL WINAPI onCtrl(DWORD)
{
    InterlockedExchange(&g_stop, 1);
    return TRUE;
}

// When COM started us for a client, we end a few seconds after the last client left.
void WINAPI onDisconnect(DWORD count)
{
    if (count == 0) {
        g_lastLeft = GetTickCount();
        InterlockedExchange(&g_clientsLeft, 1);
    } else {
        InterlockedExchange(&g_clientsLeft, 0);
    }
}

// Clients may write setpoints; out-of-range values are refused with the OPC range code.
void WINAPI onWrite(DWORD hTag, VARIANT* pValue, HRESULT* pResult)
{
    VARIANT r8;
    VariantInit(&r8);
    if (SUCCEEDED(VariantChangeType(&r8, pValue, 0, VT_R8)) && (V_R8(&r8) < 0 || V_R8(&r8) > g_setpointMax))
        *pResult = OPC_E_RANGE;
    (void)hTag;
}

// The audit trail: one CSV line per client write, appended and flushed at once, so a line is on
// disk before the client hears the result. Writes come from several clients' threads at once.
CRITICAL_SECTION g_auditLock;
FILE* g_audit = nullptr;

// A CSV field: quoted, inner quotes doubled.
std::string csv(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

// A value as text (invariant locale); "" when there is none or it has no text form.
std::string valueText(const VARIANT* v)
{
    if (!v) return "";
    VARIANT s;
    VariantInit(&s);
    if (FAILED(VariantChangeTypeEx(&s, const_cast<VARIANT*>(v), MAKELCID(LANG_INVARIANT, SORT_DEFAULT), 0, VT_BSTR)))
        return "";
    char buf[256] = {};
    WideCharToMultiByte(CP_UTF8, 0, V_BSTR(&s), -1, buf, sizeof buf - 1, nullptr, nullptr);
    VariantClear(&s);
    return buf;
}

void WINAPI writeAudit(const QV_WRITEAUDIT* a)
{
    SYSTEMTIME t;
    FileTimeToSystemTime(&a->ftTime, &t);
    char when[32], result[16];
    snprintf(when, sizeof when, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
             t.wSecond, t.wMilliseconds);
    snprintf(result, sizeof result, "0x%08lX", static_cast<unsigned long>(a->hrResult));
    const std::string line = std::string(when) + "," + csv(a->szItemID) + "," + csv(valueText(a->pValue)) + "," +
                             csv(valueText(a->pStoredValue)) + "," + result + "," +
                             std::to_string(a->dwClientNumber) + "," + csv(a->szClientName) + "," +
                             std::to_string(a->dwClientProcessId) + "," + csv(a->szClientAccount) + "\n";
    EnterCriticalSection(&g_auditLock);
    fputs(line.c_str(), g_audit);
    fflush(g_audit);
    LeaveCriticalSection(&g_auditLock);
}

bool openAudit(const std::string& path)
{
    g_audit = fopen(path.c_str(), "ab");
    if (!g_audit) return false;
    InitializeCriticalSection(&g_auditLock);
    fseek(g_audit, 0, SEEK_END);
    if (ftell(g_audit) == 0)
        fputs("time_utc,item,value,stored,result,client,client_name,client_pid,client_account\n", g_audit);
    fflush(g_audit);
    return QV_EnableWriteAuditNotification(writeAudit) != FALSE;
}

// An operator acknowledged an alarm (from any Alarms and Events client, e.g. qvopc ack).
void WINAPI onAck(DWORD hTag, LPCSTR condition, LPCSTR who, LPCSTR comment)
{
    printf("demo-host: %s acknowledged %s of tag %lu: %s\n", who, condition, hTag, comment);
    fflush(stdout);
}

// A device read answers the tag's current value, as a real driver would after polling.
void WINAPI onDeviceRead(DWORD hTag, VARIANT* pValue, WORD* pQuality, FILETIME* pTime)
{
    QV_ReadTag(hTag, pValue, pQuality, pTime);
}

VARIANT r8(double v) { VARIANT x; VariantInit(&x); V_VT(&x) = VT_R8; V_R8(&x) = v; return x; }
VARIANT i4(long v) { VARIANT x; VariantInit(&x); V_VT(&x) = VT_I4; V_I4(&x) = v; return x; }
VARIANT boolean(bool v) { VARIANT x; VariantInit(&x); V_VT(&x) = VT_BOOL; V_BOOL(&x) = v ? VARIANT_TRUE : VARIANT_FALSE; return x; }

void updateString(DWORD h, const wchar_t* text)
{
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    QV_UpdateTag(h, v, OPC_QUALITY_GOOD);
    VariantClear(&v);
}

void createPlant(int tagCount)
{
    int lines = tagCount / 6;
    if (lines < 1) lines = 1;
    for (int i = 0; i < lines; ++i) {
        char base[64];
        // A few areas with many lines each, so the tree has some depth.
        snprintf(base, sizeof base, "Plant.Area%d.Line%03d.", i / 50 + 1, i + 1);
        std::string b(base);
        Line l{};
        l.walk = 50.0;
        l.sine = QV_CreateTag((b + "Sine").c_str(), r8(0), OPC_QUALITY_GOOD, FALSE);
        l.ramp = QV_CreateTag((b + "Ramp").c_str(), i4(0), OPC_QUALITY_GOOD, FALSE);
        l.level = QV_CreateTag((b + "Level").c_str(), r8(l.walk), OPC_QUALITY_GOOD, FALSE);
        l.setpoint = QV_CreateTag((b + "Setpoint").c_str(), r8(50), OPC_QUALITY_GOOD, TRUE);
        VARIANT s;
        VariantInit(&s);
        V_VT(&s) = VT_BSTR;
        V_BSTR(&s) = SysAllocString(L"Running");
        l.status = QV_CreateTag((b + "Status").c_str(), s, OPC_QUALITY_GOOD, FALSE);
        VariantClear(&s);
        l.alarm = QV_CreateTag((b + "Alarm").c_str(), boolean(false), OPC_QUALITY_GOOD, FALSE);
        // Level alarms: low-low 5, low 20, high 80, high-high 95.
        QV_SetTagLevelLimits(l.level, 5, TRUE, 700, 20, TRUE, 500, 80, TRUE, 500, 95, TRUE, 700);
        QV_SetTagAlarmAckRequired(l.level, TRUE);
        // One discrete alarm: the first line's alarm flag.
        if (i == 0) QV_SetTagDiscreteAlarm(l.alarm, boolean(true), TRUE, 600, "Line 1 alarm flag set");
        VARIANT eu;
        VariantInit(&eu);
        V_VT(&eu) = VT_BSTR;
        V_BSTR(&eu) = SysAllocString(L"%");
        QV_SetTagProperties(l.level, 100, "EU Units", eu);
        VariantClear(&eu);
        g_lines.push_back(l);
    }
}

void step(double t)
{
    for (size_t i = 0; i < g_lines.size(); ++i) {
        Line& l = g_lines[i];
        QV_UpdateTag(l.sine, r8(50 + 50 * std::sin(t / 5.0 + static_cast<double>(i))), OPC_QUALITY_GOOD);
        QV_UpdateTag(l.ramp, i4(++l.ramp_value % 1000), OPC_QUALITY_GOOD);
        l.walk += (std::rand() % 2001 - 1000) / 250.0;
        if (l.walk < 0) l.walk = 0;
        if (l.walk > 100) l.walk = 100;
        QV_UpdateTag(l.level, r8(l.walk), OPC_QUALITY_GOOD);
        bool alarm = l.walk >= 80 || l.walk <= 20;
        if (alarm != l.alarmOn) {
            l.alarmOn = alarm;
            QV_UpdateTag(l.alarm, boolean(alarm), OPC_QUALITY_GOOD);
            updateString(l.status, alarm ? L"Alarm" : L"Running");
        }
    }
}

std::string selfPath()
{
    char p[MAX_PATH];
    GetModuleFileNameA(nullptr, p, MAX_PATH);
    return p;
}

} // namespace

int main(int argc, char** argv)
{
    int tags = 1000;
    DWORD rate = 500, period = 100;
    std::string stopFile, traceFile, auditFile;
    DWORD traceLevel = QV_TRACE_CALLS;
    bool traceLocalTime = false; // a flag beside the level, whichever option comes first
    bool launchedByCom = false;
    // Set before --regserver: registration writes the vendor under OPC\Vendor. The vendor text
    // here describes the server, so the vendor's name is given on its own.
    QV_SetVendorInfo("QvSrvKit demo plant");
    QV_SetVendorName("Quvex CO.");
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--regserver" || a == "/RegServer") {
            BOOL ok = QV_Registry(&CLSID_QvDemo, kProgId, "QvSrvKit demo plant", selfPath().c_str());
            printf("%s\n", ok ? "registered QvSrvKit.Demo" : "registration failed (administrator rights?)");
            fflush(stdout);
            return ok ? 0 : 1;
        }
        if (a == "--unregserver" || a == "/UnregServer") {
            BOOL ok = QV_Unregister(&CLSID_QvDemo, kProgId);
            printf("%s\n", ok ? "unregistered QvSrvKit.Demo" : "not registered");
            fflush(stdout);
            return ok ? 0 : 1;
        }
        if (a == "--tags" && i + 1 < argc) tags = atoi(argv[++i]);
        else if (a == "--rate" && i + 1 < argc) rate = static_cast<DWORD>(atoi(argv[++i]));
        else if (a == "--period" && i + 1 < argc) period = static_cast<DWORD>(atoi(argv[++i]));
        else if (a == "--stop-file" && i + 1 < argc) stopFile = argv[++i];
        else if (a == "--trace" && i + 1 < argc) traceFile = argv[++i];
        else if (a == "--trace-level" && i + 1 < argc) traceLevel = static_cast<DWORD>(atoi(argv[++i]));
        else if (a == "--trace-local-time") traceLocalTime = true;
        else if (a == "--audit" && i + 1 < argc) auditFile = argv[++i];
        else if (a == "-Embedding" || a == "/Embedding") launchedByCom = true;
    }
    if (stopFile.empty()) {
        const char* env = getenv("QV_DEMO_STOPFILE");
        if (env) stopFile = env;
    }
    SetConsoleCtrlHandler(onCtrl, TRUE);

    QV_SetMajorVersion(1);
    QV_SetMinorVersion(0);
    QV_SetBuildNumber(1);
    QV_EnableWriteNotification(onWrite);
    QV_EnableDeviceRead(onDeviceRead);
    QV_EnableDisconnectNotification(onDisconnect);
    QV_EnableAckNotification(onAck);
    if (!auditFile.empty() && !openAudit(auditFile)) {
        fprintf(stderr, "demo-host: cannot open the audit file %s\n", auditFile.c_str());
        return 1;
    }
    createPlant(tags);
    if (traceLocalTime) traceLevel |= QV_TRACE_LOCAL_TIME;
    if (!traceFile.empty() && !QV_SetTraceFile(traceFile.c_str(), traceLevel))
        fprintf(stderr, "demo-host: cannot open the trace file %s\n", traceFile.c_str());
    if (!QV_InitOpcServer(&CLSID_QvDemo, period)) {
        fprintf(stderr, "cannot start the OPC server\n");
        return 1;
    }
    QV_SendSimpleEvent("DemoHost", "Demo plant started", 100);
    printf("demo-host: serving %zu tags (%zu lines), update every %lu ms\n", g_lines.size() * 6, g_lines.size(), rate);
    fflush(stdout);

    DWORD start = GetTickCount();
    while (!g_stop) {
        Sleep(rate);
        step((GetTickCount() - start) / 1000.0);
        if (!stopFile.empty() && GetFileAttributesA(stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
            DeleteFileA(stopFile.c_str());
            break;
        }
        if (launchedByCom && g_clientsLeft && QV_GetClientCounts() == 0 && GetTickCount() - g_lastLeft > 5000) break;
    }
    printf("demo-host: stopping\n");
    fflush(stdout);
    QV_UnInitOpcServer();
    QV_SetTraceFile(nullptr, QV_TRACE_OFF); // writes what is still queued
    if (g_audit) fclose(g_audit); // no client writes after the stop
    return 0;
}

// The test host: a real host program that loads QvSrvKit.dll and serves a fixed set of tags.
//
//   qvtesthost --regserver | --unregserver   register / unregister in the current prefix
//   qvtesthost --regserver --vendor-text-only    register without QV_SetVendorName
//   qvtesthost [-Embedding] [--period MS] [--sta]   serve (COM starts it with -Embedding)
//
// A COM-launched server has no console: it logs to qvtesthost.log in QV_TEST_LOGDIR (the
// launching client's environment is inherited), else next to the executable. It stops when
// the file qvtesthost.stop appears in that directory, or a few seconds after its last client
// left. Tests drive it by writing command text to the tag Ctl.Command:
//   update NAME TYPE VALUE [QUALITY]   create NAME TYPE VALUE [ro|rw]   remove NAME
//   limits NAME LL L H HH               (all enabled, severities 100, 200, 300, 400)
//   ackreq NAME on|off                  whether the tag's alarms need acknowledgement
//   discrete NAME TYPE VALUE eq|ne SEVERITY TEXT...   a discrete alarm on the tag
//   simple SOURCE SEVERITY TEXT...      a simple event (QV_SendSimpleEvent)
//   burst NAME N LOW HIGH               N updates alternating LOW/HIGH (r8); logs the
//                                       QV_UpdateTag times (median, 99th percentile, max, total)
//   grid AREAS PER                      tags Grid.A<a>.T<k> (r8, high limit 50) in AREAS areas
//   burstgrid AREAS PER N LOW HIGH      N updates over the grid's tags in turn, HIGH on the
//                                       first pass, LOW on the next...; logged as burst
//   simpleburst SOURCE N                N simple events back to back; logs the total time
//   eventlimit N                        QV_SetEventQueueLimit
//   deadband NAME D                     QV_SetTagAlarmDeadband
//   resources                           logs the process's handle and thread counts
//   vqt on|off                          install / remove the value-quality-time write callback
//   queuelimit N                        asynchronous requests a group may queue (0: no limit)
//   env NAME VALUE                      sets an environment variable (read at the next start)
//   restart                             QV_UnInitOpcServer, then QV_InitOpcServer again
// TYPE is i4, r8, r4, bool or str, or an array of one of them (r8[], VALUE 1,2,3).
// Tests without a group put the same commands, one a line, in qvtesthost.cmd in that
// directory (write it under another name and rename it): the main loop runs its lines every
// 100 ms on the thread that started the server, then deletes it.
#include <windows.h>
#include <tlhelp32.h>
#include <psapi.h>
#include <algorithm>
#include <vector>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include "qvsrvkit.h"
#include "TestHostIds.h"

namespace {

std::string g_dir;
std::mutex g_logMutex;
std::mutex g_tagMutex;
std::map<std::string, DWORD> g_tags;
volatile LONG g_clients = 0;
volatile LONG g_everConnected = 0;
DWORD g_lastLeft = 0;
// "hold": writes of Plant.Hold wait in the callback until "release" (an asynchronous write then
// keeps the client's worker inside the host); "held" answers whether one waits now.
HANDLE g_holdOpen = CreateEventA(nullptr, TRUE, TRUE, nullptr);
volatile LONG g_holding = 0;
DWORD g_period = 100;

void logf(const char* fmt, ...)
{
    std::lock_guard<std::mutex> g(g_logMutex);
    FILE* f = fopen((g_dir + "\\qvtesthost.log").c_str(), "a");
    if (!f) return;
    va_list ap;
    va_start(ap, fmt);
    fprintf(f, "[%lu] ", GetTickCount());
    vfprintf(f, fmt, ap);
    va_end(ap);
    fputc('\n', f);
    fclose(f);
}

VARIANT makeValue(const std::string& type, const std::string& text)
{
    VARIANT v;
    VariantInit(&v);
    if (type.size() > 2 && type.compare(type.size() - 2, 2, "[]") == 0) {
        // A one-dimensional array of the element type, from a comma list.
        std::vector<std::string> parts;
        std::stringstream in(text);
        for (std::string p; std::getline(in, p, ',');) parts.push_back(p);
        VARIANT first = makeValue(type.substr(0, type.size() - 2), parts.empty() ? "" : parts[0]);
        const VARTYPE elem = V_VT(&first);
        VariantClear(&first);
        SAFEARRAY* sa = SafeArrayCreateVector(elem, 0, static_cast<ULONG>(parts.size()));
        for (LONG i = 0; sa && i < static_cast<LONG>(parts.size()); ++i) {
            VARIANT e = makeValue(type.substr(0, type.size() - 2), parts[i]);
            SafeArrayPutElement(sa, &i, elem == VT_BSTR ? static_cast<void*>(V_BSTR(&e)) : static_cast<void*>(&V_UI1(&e)));
            VariantClear(&e);
        }
        V_VT(&v) = static_cast<VARTYPE>(VT_ARRAY | elem);
        V_ARRAY(&v) = sa;
        return v;
    }
    if (type == "i4") { V_VT(&v) = VT_I4; V_I4(&v) = strtol(text.c_str(), nullptr, 0); }
    else if (type == "r8") { V_VT(&v) = VT_R8; V_R8(&v) = strtod(text.c_str(), nullptr); }
    else if (type == "r4") { V_VT(&v) = VT_R4; V_R4(&v) = static_cast<float>(strtod(text.c_str(), nullptr)); }
    else if (type == "bool") { V_VT(&v) = VT_BOOL; V_BOOL(&v) = (text == "1" || text == "true") ? VARIANT_TRUE : VARIANT_FALSE; }
    else {
        V_VT(&v) = VT_BSTR;
        int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
        V_BSTR(&v) = SysAllocStringLen(nullptr, n > 0 ? n - 1 : 0);
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, V_BSTR(&v), n);
    }
    return v;
}

DWORD createTag(const std::string& name, const std::string& type, const std::string& value, bool writeable, WORD q = 0xC0)
{
    VARIANT v = makeValue(type, value);
    DWORD h = QV_CreateTag(name.c_str(), v, q, writeable);
    VariantClear(&v);
    if (h != QV_INVALID_HANDLE) {
        std::lock_guard<std::mutex> g(g_tagMutex);
        g_tags[name] = h;
    }
    return h;
}

DWORD handleOf(const std::string& name)
{
    std::lock_guard<std::mutex> g(g_tagMutex);
    auto it = g_tags.find(name);
    return it == g_tags.end() ? QV_INVALID_HANDLE : it->second;
}

std::string toText(const VARIANT* v)
{
    VARIANT s;
    VariantInit(&s);
    if (FAILED(VariantChangeType(&s, const_cast<VARIANT*>(v), 0, VT_BSTR))) return "?";
    int n = WideCharToMultiByte(CP_ACP, 0, V_BSTR(&s), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, V_BSTR(&s), -1, &out[0], n, nullptr, nullptr);
    VariantClear(&s);
    return out;
}

void WINAPI onWriteVQT(DWORD hTag, VARIANT* pValue, const WORD* pQuality, const FILETIME* pTime, HRESULT* pResult)
{
    logf("write vqt: tag %lu value %s quality %s time %s", hTag, toText(pValue).c_str(),
         pQuality ? std::to_string(*pQuality).c_str() : "-", pTime ? "set" : "-");
    if (hTag == handleOf("Plant.Refuse")) *pResult = E_ACCESSDENIED;
}

std::string gridTagName(int area, int k) { return "Grid.A" + std::to_string(area) + ".T" + std::to_string(k); }

HRESULT runCommand(const std::string& line)
{
    std::istringstream in(line);
    std::string cmd, name, type, value;
    in >> cmd >> name;
    logf("command: %s", line.c_str());
    if (cmd == "update") {
        unsigned q = 0xC0;
        in >> type >> value;
        if (!(in >> q)) q = 0xC0;
        VARIANT v = makeValue(type, value);
        BOOL ok = QV_UpdateTag(handleOf(name), v, static_cast<WORD>(q));
        VariantClear(&v);
        return ok ? S_OK : E_INVALIDARG;
    }
    if (cmd == "create") {
        std::string rw;
        in >> type >> value >> rw;
        return createTag(name, type, value, rw != "ro") != QV_INVALID_HANDLE ? S_OK : E_INVALIDARG;
    }
    if (cmd == "remove") {
        DWORD h = handleOf(name);
        {
            std::lock_guard<std::mutex> g(g_tagMutex);
            g_tags.erase(name);
        }
        return QV_RemoveTag(h) ? S_OK : E_INVALIDARG;
    }
    if (cmd == "vqt") {
        QV_EnableWriteVQTNotification(name == "on" ? onWriteVQT : nullptr);
        return S_OK;
    }
    if (cmd == "hold" || cmd == "release") {
        if (cmd == "hold") ResetEvent(g_holdOpen);
        else SetEvent(g_holdOpen);
        return S_OK;
    }
    if (cmd == "held") return g_holding ? S_OK : E_FAIL;
    if (cmd == "env") {
        std::getline(in >> std::ws, value);
        return SetEnvironmentVariableA(name.c_str(), value.c_str()) ? S_OK : E_FAIL;
    }
    if (cmd == "restart") {
        QV_UnInitOpcServer();
        const BOOL ok = QV_InitOpcServer(&CLSID_QvTestHost, g_period);
        logf("restarted: %s", ok ? "ok" : "failed");
        return ok ? S_OK : E_FAIL;
    }
    if (cmd == "queuelimit") {
        QV_SetAsyncQueueLimit(static_cast<DWORD>(strtoul(name.c_str(), nullptr, 10)));
        return S_OK;
    }
    if (cmd == "limits") {
        float ll = 0, l = 0, h = 0, hh = 0;
        in >> ll >> l >> h >> hh;
        return QV_SetTagLevelLimits(handleOf(name), ll, TRUE, 100, l, TRUE, 200, h, TRUE, 300, hh, TRUE, 400) ? S_OK
                                                                                                              : E_INVALIDARG;
    }
    if (cmd == "ackreq") {
        in >> value;
        return QV_SetTagAlarmAckRequired(handleOf(name), value == "on") ? S_OK : E_INVALIDARG;
    }
    if (cmd == "discrete" || cmd == "simple") {
        std::string when, text;
        unsigned long severity = 0;
        if (cmd == "discrete") in >> type >> value >> when;
        in >> severity;
        std::getline(in >> std::ws, text);
        if (cmd == "simple") return QV_SendSimpleEvent(name.c_str(), text.c_str(), severity) ? S_OK : E_INVALIDARG;
        VARIANT v = makeValue(type, value);
        BOOL ok = QV_SetTagDiscreteAlarm(handleOf(name), v, when == "eq", severity, text.c_str());
        VariantClear(&v);
        return ok ? S_OK : E_INVALIDARG;
    }
    if (cmd == "cycles") {
        // cycles <tag> <first> <n> <spacingMs>: n update cycles, each ended with QV_EndUpdateCycle.
        long first = 0;
        int n = 0, spacing = 0, late = 0;
        in >> first >> n >> spacing;
        DWORD h = handleOf(name);
        for (int i = 0; i < n; ++i) {
            VARIANT v;
            VariantInit(&v);
            V_VT(&v) = VT_I4;
            V_I4(&v) = first + i;
            QV_UpdateTag(h, v, 0xC0);
            // The first cycle may come just after a tick of the server's own timer.
            for (int waited = 0; !QV_EndUpdateCycle() && waited < 1000; waited += 5, ++late) Sleep(5);
            Sleep(static_cast<DWORD>(spacing));
        }
        BOOL again = QV_EndUpdateCycle();
        BOOL twice = QV_EndUpdateCycle();
        logf("cycles: n=%d late=%d again=%d twice=%d", n, late, again, twice);
        return S_OK;
    }
    if (cmd == "burst" || cmd == "burstgrid") {
        // burst NAME N LOW HIGH; burstgrid AREAS PER N LOW HIGH: the grid's tags in turn.
        std::vector<DWORD> handles;
        if (cmd == "burst") {
            handles.push_back(handleOf(name));
        } else {
            int per = 0;
            in >> per;
            for (int a = 0; a < atoi(name.c_str()); ++a)
                for (int k = 0; k < per; ++k) handles.push_back(handleOf(gridTagName(a, k)));
        }
        int n = 0;
        double lo = 0, hi = 0;
        in >> n >> lo >> hi;
        if (handles.empty()) return E_INVALIDARG;
        std::vector<double> us;
        us.reserve(n > 0 ? n : 0);
        LARGE_INTEGER f, a, b, start, end;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&start);
        for (int i = 0; i < n; ++i) {
            VARIANT v;
            VariantInit(&v);
            V_VT(&v) = VT_R8;
            // HIGH on the first pass over the tags, LOW on the next, and so on.
            V_R8(&v) = ((i / handles.size()) & 1) ? lo : hi;
            const DWORD h = handles[i % handles.size()];
            QueryPerformanceCounter(&a);
            QV_UpdateTag(h, v, 0xC0);
            QueryPerformanceCounter(&b);
            us.push_back((b.QuadPart - a.QuadPart) * 1e6 / f.QuadPart);
        }
        QueryPerformanceCounter(&end);
        if (us.empty()) return E_INVALIDARG;
        std::sort(us.begin(), us.end());
        logf("burst: n=%d median=%.2fus p99=%.2fus max=%.2fus total=%.1fms", n, us[us.size() / 2],
             us[us.size() * 99 / 100], us.back(), (end.QuadPart - start.QuadPart) * 1e3 / f.QuadPart);
        return S_OK;
    }
    if (cmd == "simpleburst") {
        int n = 0;
        in >> n;
        LARGE_INTEGER f, start, end;
        QueryPerformanceFrequency(&f);
        QueryPerformanceCounter(&start);
        int refused = 0;
        for (int i = 0; i < n; ++i) refused += !QV_SendSimpleEvent(name.c_str(), "flood", 500);
        QueryPerformanceCounter(&end);
        logf("simpleburst: n=%d refused=%d total=%.1fms", n, refused, (end.QuadPart - start.QuadPart) * 1e3 / f.QuadPart);
        return S_OK;
    }
    if (cmd == "eventlimit") return QV_SetEventQueueLimit(static_cast<DWORD>(atoi(name.c_str()))) ? S_OK : E_INVALIDARG;
    if (cmd == "deadband") {
        double d = 0;
        in >> d;
        return QV_SetTagAlarmDeadband(handleOf(name), d) ? S_OK : E_INVALIDARG;
    }
    if (cmd == "grid") {
        // grid AREAS PER: Grid.A<a>.T<k>, r8 10, with the limits of "limits NAME -1000 -999 50 1000".
        int per = 0;
        in >> per;
        int made = 0;
        for (int a = 0; a < atoi(name.c_str()); ++a)
            for (int k = 0; k < per; ++k) {
                const std::string tag = gridTagName(a, k);
                const DWORD h = createTag(tag, "r8", "10", true);
                if (h != QV_INVALID_HANDLE &&
                    QV_SetTagLevelLimits(h, -1000, TRUE, 100, -999, TRUE, 200, 50, TRUE, 300, 1000, TRUE, 400))
                    ++made;
            }
        logf("grid: %d tags", made);
        return S_OK;
    }
    if (cmd == "resources") {
        DWORD handles = 0;
        GetProcessHandleCount(GetCurrentProcess(), &handles);
        int threads = 0;
        HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
        THREADENTRY32 te{};
        te.dwSize = sizeof(te);
        if (snap != INVALID_HANDLE_VALUE) {
            for (BOOL ok = Thread32First(snap, &te); ok; ok = Thread32Next(snap, &te))
                if (te.th32OwnerProcessID == GetCurrentProcessId()) ++threads;
            CloseHandle(snap);
        }
        PROCESS_MEMORY_COUNTERS_EX mem{};
        mem.cb = sizeof(mem);
        K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&mem), sizeof(mem));
        // Wine answers 0 handles and 0 private bytes (its commit count is the page-file
        // usage); the counts are still printed for Windows.
        logf("resources: handles=%lu threads=%d private=%lukB clients=%d", handles, threads,
             static_cast<unsigned long>((mem.PrivateUsage ? mem.PrivateUsage : mem.PagefileUsage) / 1024), QV_GetClientCounts());
        return S_OK;
    }
    return E_INVALIDARG;
}

void WINAPI onWrite(DWORD hTag, VARIANT* pValue, HRESULT* pResult)
{
    if (hTag == handleOf("Ctl.Command")) {
        *pResult = runCommand(toText(pValue));
        return;
    }
    if (hTag == handleOf("Plant.Refuse")) {
        *pResult = E_ACCESSDENIED;
        return;
    }
    // A tag made by command as "Plant.Limit" keeps at most 100, clamped in the callback's value.
    if (hTag == handleOf("Plant.Limit") && V_VT(pValue) == VT_R8 && V_R8(pValue) > 100.0) {
        V_R8(pValue) = 100.0;
        *pResult = OPC_S_CLAMP;
    }
    logf("write: tag %lu value %s", hTag, toText(pValue).c_str());
    if (hTag == handleOf("Plant.Hold")) {
        InterlockedIncrement(&g_holding);
        WaitForSingleObject(g_holdOpen, 20000);
        InterlockedDecrement(&g_holding);
    }
    // Plant.Clamp clamps at 100 by updating the tag itself, and leaves the client's value.
    if (hTag == handleOf("Plant.Clamp") && V_VT(pValue) == VT_R8 && V_R8(pValue) > 100.0) {
        VARIANT top;
        VariantInit(&top);
        V_VT(&top) = VT_R8;
        V_R8(&top) = 100.0;
        QV_UpdateTag(hTag, top, 0xC0);
        *pResult = OPC_S_CLAMP;
    }
}

// Every client write but the test commands, with who made it, for the client tests to read.
void WINAPI onWriteAudit(const QV_WRITEAUDIT* a)
{
    if (!strcmp(a->szItemID, "Ctl.Command")) return;
    logf("audit: item %s value %s stored %s result 0x%08lX client %lu name \"%s\" pid %lu account \"%s\" size %lu",
         a->szItemID, a->pValue ? toText(a->pValue).c_str() : "-",
         a->pStoredValue ? toText(a->pStoredValue).c_str() : "-",
         static_cast<unsigned long>(a->hrResult), a->dwClientNumber, a->szClientName, a->dwClientProcessId,
         a->szClientAccount, a->cbSize);
}

void WINAPI onDeviceRead(DWORD hTag, VARIANT* pValue, WORD* pQuality, FILETIME* pTime)
{
    // A device read answers the current value and a marked quality, so tests see the path.
    QV_ReadTag(hTag, pValue, nullptr, pTime);
    *pQuality = 0xD8; // good, local override
    // Plant.Device has news at every read: one more, stamped by the server (no time given).
    if (hTag == handleOf("Plant.Device") && V_VT(pValue) == VT_R8) {
        V_R8(pValue) += 1.0;
        *pTime = FILETIME{};
    }
}

void WINAPI onAck(DWORD hTag, LPCSTR condition, LPCSTR who, LPCSTR comment)
{
    logf("ack: tag %lu %s by %s: %s", hTag, condition, who, comment);
}

void WINAPI onDisconnect(DWORD count)
{
    InterlockedExchange(&g_clients, static_cast<LONG>(count));
    g_lastLeft = GetTickCount();
    // A client may come and go between two looks at the count: its leaving is proof enough.
    InterlockedExchange(&g_everConnected, 1);
    logf("disconnect: clients=%lu", count);
}

void pollCommandFile(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return;
    char buf[1024];
    while (fgets(buf, sizeof buf, f)) {
        std::string line(buf);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        if (line.empty()) continue;
        HRESULT hr = runCommand(line);
        if (FAILED(hr)) logf("command failed: 0x%08lx", static_cast<unsigned long>(hr));
    }
    fclose(f);
    DeleteFileA(path.c_str());
}

std::string exeDir()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path);
    return p.substr(0, p.find_last_of('\\'));
}

std::string exePath()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

void createTestTags()
{
    createTag("Plant.Line.Flow", "r8", "1.5", true);
    createTag("Plant.Line.Level", "r8", "10", false);
    createTag("Plant.Line.Count", "i4", "7", true);
    createTag("Plant.Line.Status", "str", "ok", true);
    createTag("Plant.Line.Running", "bool", "1", true);
    createTag("Plant.Refuse", "i4", "0", true);
    createTag("Tank1", "r4", "2.5", true);
    createTag("Sim.Ramp", "i4", "0", false);
    createTag("Ctl.Command", "str", "", true);
    createTag("Plant.Device", "r8", "10", false);
    createTag("Plant.Hold", "i4", "0", true);
    createTag("Plant.Clamp", "r8", "0", true);
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(L"litres per minute");
    QV_SetTagProperties(handleOf("Plant.Line.Flow"), 100, "EU Units", v);
    VariantClear(&v);
    // Tank1 is an analog tag: EU type and EU range.
    V_VT(&v) = VT_I4;
    V_I4(&v) = 1; // OPC_ANALOG
    QV_SetTagProperties(handleOf("Tank1"), 7, "Item EU Type", v);
    SAFEARRAYBOUND b{2, 0};
    V_VT(&v) = VT_ARRAY | VT_R8;
    V_ARRAY(&v) = SafeArrayCreate(VT_R8, 1, &b);
    LONG i0 = 0, i1 = 1;
    double lo = 0.0, hi = 100.0;
    SafeArrayPutElement(V_ARRAY(&v), &i0, &lo);
    SafeArrayPutElement(V_ARRAY(&v), &i1, &hi);
    QV_SetTagProperties(handleOf("Tank1"), 8, "Item EU Info", v);
    VariantClear(&v);
}

} // namespace

int main(int argc, char** argv)
{
    const char* envDir = getenv("QV_TEST_LOGDIR");
    g_dir = envDir && *envDir ? envDir : exeDir();
    CreateDirectoryA(g_dir.c_str(), nullptr);
    DWORD period = 100;
    bool sta = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--regserver" || a == "/RegServer" || a == "-RegServer") {
            QV_SetVendorInfo("QvSrvKit test host");
            if (!(i + 1 < argc && !strcmp(argv[i + 1], "--vendor-text-only"))) QV_SetVendorName("Quvex Test Vendor");
            BOOL ok = QV_Registry(&CLSID_QvTestHost, QV_TESTHOST_PROGID, "QvSrvKit test host", exePath().c_str());
            printf("register: %s\n", ok ? "ok" : "failed");
            fflush(stdout);
            return ok ? 0 : 1;
        }
        if (a == "--unregserver" || a == "/UnregServer" || a == "-UnregServer") {
            BOOL ok = QV_Unregister(&CLSID_QvTestHost, QV_TESTHOST_PROGID);
            printf("unregister: %s\n", ok ? "ok" : "failed");
            fflush(stdout);
            return ok ? 0 : 1;
        }
        if (a == "--period" && i + 1 < argc) period = static_cast<DWORD>(atoi(argv[++i]));
        if (a == "--sta") sta = true;
    }
    const char* envPeriod = getenv("QV_TESTHOST_PERIOD");
    if (envPeriod && *envPeriod) period = static_cast<DWORD>(atoi(envPeriod));
    const char* envSta = getenv("QV_TESTHOST_STA");
    if (envSta && *envSta == '1') sta = true;

    std::string stopFile = g_dir + "\\qvtesthost.stop";
    std::string commandFile = g_dir + "\\qvtesthost.cmd";
    logf("start: pid %lu period %lu %s", GetCurrentProcessId(), period, sta ? "sta" : "mta");
    QV_SetVendorInfo("QvSrvKit test host");
    QV_SetMajorVersion(1);
    QV_SetMinorVersion(2);
    QV_SetBuildNumber(3);
    QV_EnableWriteNotification(onWrite);
    QV_EnableDeviceRead(onDeviceRead);
    QV_EnableDisconnectNotification(onDisconnect);
    QV_EnableAckNotification(onAck);
    QV_EnableWriteAuditNotification(onWriteAudit);
    createTestTags();
    if (sta) CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // Every run traces every call and per-item result: the client tests read the file.
    if (!QV_SetTraceFile((g_dir + "\\qvtesthost.trace").c_str(), QV_TRACE_ITEMS)) logf("trace file refused");
    if (!QV_InitOpcServer(&CLSID_QvTestHost, period)) {
        logf("QV_InitOpcServer failed");
        return 1;
    }
    g_period = period;
    logf("serving");

    DWORD startTick = GetTickCount();
    LONG ramp = 0;
    for (;;) {
        // Pump messages (the caller timer runs here in STA mode).
        MSG msg;
        DWORD until = GetTickCount() + 100;
        while (static_cast<LONG>(until - GetTickCount()) > 0) {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, until - GetTickCount(), QS_ALLINPUT);
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
        }
        VARIANT v;
        VariantInit(&v);
        V_VT(&v) = VT_I4;
        V_I4(&v) = ++ramp;
        QV_UpdateTag(handleOf("Sim.Ramp"), v, 0xC0);
        pollCommandFile(commandFile);

        int clients = QV_GetClientCounts();
        if (clients > 0) g_everConnected = 1;
        if (GetFileAttributesA(stopFile.c_str()) != INVALID_FILE_ATTRIBUTES) {
            logf("stop file seen");
            DeleteFileA(stopFile.c_str());
            break;
        }
        DWORD now = GetTickCount();
        if (g_everConnected && clients == 0 && now - g_lastLeft > 3000) break;
        if (!g_everConnected && now - startTick > 60000) break;
    }
    logf("stopping: clients=%d", QV_GetClientCounts());
    QV_UnInitOpcServer();
    logf("stopped");
    QV_SetTraceFile(nullptr, QV_TRACE_OFF);
    if (sta) CoUninitialize();
    return 0;
}

// Host side of the delivery benchmark: serves N tags (Bench.Tag00000 ...) and updates every
// one of them on each tick. Launched by COM for dataio_delivery_bench; it reads its settings
// from the environment the client hands down: QV_BENCH_TAGS (10000), QV_BENCH_PERIOD (10 ms),
// QV_BENCH_VT (VT_R8; VT_BSTR makes one string per tick), QV_BENCH_TIMER (0: each tick's updates
// end with QV_EndUpdateCycle; 1: the server's own timer paces the data changes), QV_BENCH_CHANGE
// (percent of the tags whose value changes each tick, 100 by default; the others repeat their
// value). It skips its updates while the client holds the named pause event set (while the raw
// baseline runs), reports every update while the "every" event is set, and leaves the cost of
// its ticks' updates in the registry for the client.
//   dataio_delivery_host --regserver | --unregserver
#include <windows.h>
#include <cstdio>
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>
#include "qvsrvkit.h"
#include "DeliveryBenchIds.h"

namespace {

// COM starts this host with the environment of Wine's service process, not the client's: the
// client leaves its settings in the registry as well, which win.
DWORD envNumber(const char* name, DWORD fallback)
{
    DWORD value = 0, size = sizeof value;
    if (RegGetValueA(HKEY_CURRENT_USER, QV_DELIVERYBENCH_KEY, name, RRF_RT_REG_DWORD, nullptr, &value, &size) ==
        ERROR_SUCCESS)
        return value;
    const char* v = getenv(name);
    return v && *v ? static_cast<DWORD>(atoi(v)) : fallback;
}

std::string exePath()
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--regserver") {
            BOOL ok = QV_Registry(&CLSID_QvDeliveryBench, QV_DELIVERYBENCH_PROGID, "QvSrvKit delivery benchmark",
                                  exePath().c_str());
            printf("register: %s\n", ok ? "ok" : "failed");
            fflush(stdout);
            return ok ? 0 : 1;
        }
        if (a == "--unregserver") {
            BOOL ok = QV_Unregister(&CLSID_QvDeliveryBench, QV_DELIVERYBENCH_PROGID);
            return ok ? 0 : 1;
        }
    }
    const DWORD count = envNumber("QV_BENCH_TAGS", 10000);
    const DWORD period = envNumber("QV_BENCH_PERIOD", 10);
    const VARTYPE vt = static_cast<VARTYPE>(envNumber("QV_BENCH_VT", VT_R8));
    const bool ownTimer = envNumber("QV_BENCH_TIMER", 0) != 0;
    const DWORD changePercent = envNumber("QV_BENCH_CHANGE", 100);
    const DWORD stride = changePercent >= 100 || changePercent == 0 ? 1 : 100 / changePercent;
    HANDLE pause = CreateEventA(nullptr, TRUE, FALSE, QV_DELIVERYBENCH_PAUSE);
    HANDLE every = CreateEventA(nullptr, TRUE, FALSE, QV_DELIVERYBENCH_EVERY);
    bool everyOn = false;
    std::vector<double> costs; // microseconds per tick's updates, since the mode last changed
    DWORD lastCostWrite = GetTickCount();
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    std::vector<double> last; // constant tags repeat their last value
    std::vector<DWORD> tags;
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = vt;
    if (vt == VT_BSTR) V_BSTR(&v) = SysAllocString(L"0");
    else V_R8(&v) = 0;
    for (DWORD i = 0; i < count; ++i) {
        char name[32];
        snprintf(name, sizeof name, "Bench.Tag%05lu", static_cast<unsigned long>(i));
        tags.push_back(QV_CreateTag(name, v, 0xC0, FALSE));
    }
    last.assign(count, 0.0);
    VariantClear(&v);
    if (!QV_InitOpcServer(&CLSID_QvDeliveryBench, period)) return 1;
    timeBeginPeriod(1);
    bool everConnected = false;
    DWORD lastSeen = GetTickCount();
    double tick = 0;
    DWORD next = GetTickCount();
    for (;;) {
        next += period;
        LONG wait = static_cast<LONG>(next - GetTickCount());
        if (wait > 0) Sleep(static_cast<DWORD>(wait));
        else next = GetTickCount(); // behind: do not try to catch up
        tick += 1;
        const bool wantEvery = WaitForSingleObject(every, 0) == WAIT_OBJECT_0;
        if (wantEvery != everyOn) {
            QV_SetReportEveryUpdate(wantEvery);
            everyOn = wantEvery;
            costs.clear();
        }
        if (WaitForSingleObject(pause, 0) != WAIT_OBJECT_0) {
            LARGE_INTEGER t0, t1;
            QueryPerformanceCounter(&t0);
            if (vt == VT_BSTR) {
                V_VT(&v) = vt;
                wchar_t buf[32];
                swprintf(buf, 32, L"%.0f", tick);
                V_BSTR(&v) = SysAllocString(buf);
                for (DWORD t : tags) QV_UpdateTag(t, v, 0xC0);
                VariantClear(&v);
            } else {
                // Every tag is updated; only every stride-th one (moving each tick) changes.
                const DWORD phase = static_cast<DWORD>(tick) % stride;
                for (DWORD i = 0; i < count; ++i) {
                    if (i % stride == phase) last[i] = tick;
                    V_VT(&v) = VT_R8;
                    V_R8(&v) = last[i];
                    QV_UpdateTag(tags[i], v, 0xC0);
                }
            }
            QueryPerformanceCounter(&t1);
            if (costs.size() < 100000)
                costs.push_back(1e6 * static_cast<double>(t1.QuadPart - t0.QuadPart) / static_cast<double>(freq.QuadPart));
            if (!ownTimer) QV_EndUpdateCycle();
        }
        if (GetTickCount() - lastCostWrite >= 250 && !costs.empty()) {
            lastCostWrite = GetTickCount();
            std::vector<double> sorted(costs);
            std::sort(sorted.begin(), sorted.end());
            const double figures[3] = {sorted.front(), sorted[sorted.size() / 2], sorted.back()};
            HKEY k;
            if (RegCreateKeyExA(HKEY_CURRENT_USER, QV_DELIVERYBENCH_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k,
                                nullptr) == ERROR_SUCCESS) {
                RegSetValueExA(k, QV_DELIVERYBENCH_COST, 0, REG_BINARY, reinterpret_cast<const BYTE*>(figures),
                               sizeof figures);
                RegCloseKey(k);
            }
        }
        int clients = QV_GetClientCounts();
        if (clients > 0) {
            everConnected = true;
            lastSeen = GetTickCount();
        }
        DWORD idle = GetTickCount() - lastSeen;
        if ((everConnected && clients == 0 && idle > 2000) || (!everConnected && idle > 60000)) break;
    }
    timeEndPeriod(1);
    QV_UnInitOpcServer();
    CloseHandle(pause);
    CloseHandle(every);
    return 0;
}

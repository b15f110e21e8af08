// Tag store cost at two sizes: QV_CreateTag and name lookup (QV_UpdateTagByName) at 1,000
// and at 100,000 tags. A store that scales keeps the per-operation cost nearly flat.
//   store_bench
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <algorithm>
#include <string>
#include <vector>
#include "qvsrvkit.h"
#include "core/OPCServerApp.h"
#include "base/Trace.h"

namespace {

double nowUs()
{
    static LARGE_INTEGER freq = [] { LARGE_INTEGER f; QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return 1e6 * static_cast<double>(c.QuadPart) / static_cast<double>(freq.QuadPart);
}

// Names spread like a real plant: 100 areas of lines with a few tags each.
std::string name(int i)
{
    char buf[64];
    snprintf(buf, sizeof buf, "Plant.Area%03d.Line%03d.Tag%d", i % 100, (i / 100) % 1000, i / 100000);
    return buf;
}

struct Result { double createUs, lookupUs; };

Result run(int n)
{
    qv::App().tags.clear();
    std::vector<std::string> names;
    names.reserve(n);
    for (int i = 0; i < n; ++i) names.push_back(name(i));
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = 1.0;
    double t0 = nowUs();
    for (int i = 0; i < n; ++i) QV_CreateTag(names[i].c_str(), v, 0xC0, FALSE);
    double t1 = nowUs();
    const int lookups = 200000;
    for (int i = 0; i < lookups; ++i) QV_UpdateTagByName(names[(i * 7919) % n].c_str(), v, 0xC0);
    double t2 = nowUs();
    return {(t1 - t0) / n, (t2 - t1) / lookups};
}

} // namespace

// QV_UpdateTag of one tag that no client follows: the floor of the host's update cost.
double updateNoClientsUs()
{
    qv::App().tags.clear();
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    DWORD h = QV_CreateTag("Plant.Area001.Line001.Flow", v, 0xC0, FALSE);
    const int n = 1000000;
    double t0 = nowUs();
    for (int i = 0; i < n; ++i) {
        V_R8(&v) = i;
        QV_UpdateTag(h, v, 0xC0);
    }
    return (nowUs() - t0) / n;
}

// The same with the trace on at the connections level against off, alternating rounds.
void traceRatio()
{
    char dir[MAX_PATH];
    GetTempPathA(MAX_PATH, dir);
    const std::string path = std::string(dir) + "store_bench.trace";
    std::vector<double> off, on;
    for (int r = 0; r < 5; ++r) {
        QV_SetTraceFile(nullptr, QV_TRACE_OFF);
        off.push_back(updateNoClientsUs());
        QV_SetTraceFile(path.c_str(), QV_TRACE_CONNECTIONS);
        on.push_back(updateNoClientsUs());
    }
    QV_SetTraceFile(nullptr, QV_TRACE_OFF);
    DeleteFileA(path.c_str());
    std::sort(off.begin(), off.end());
    std::sort(on.begin(), on.end());
    printf("QV_UpdateTag us, 5 rounds (min/median/max): untraced %.3f/%.3f/%.3f, traced (connections) %.3f/%.3f/%.3f,"
           " ratio traced/untraced %.2f\n",
           off[0], off[2], off[4], on[0], on[2], on[4], on[2] / off[2]);
}

int main()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    double noClients = updateNoClientsUs();
    printf("QV_UpdateTag, one tag, no clients: %.0f /s (%.3f us each)\n", 1.0 / noClients * 1e6, noClients);
    traceRatio();
    Result small = run(1000);
    Result large = run(100000);
    printf("%-44s %12s %12s %8s\n", "tag store", "1,000 tags", "100,000 tags", "ratio");
    printf("%-44s %10.2f us %10.2f us %8.2f\n", "QV_CreateTag (per tag)", small.createUs, large.createUs,
           large.createUs / small.createUs);
    printf("%-44s %10.2f us %10.2f us %8.2f\n", "name lookup (QV_UpdateTagByName)", small.lookupUs, large.lookupUs,
           large.lookupUs / small.lookupUs);
    fflush(stdout);
    qv::App().tags.clear();
    CoUninitialize();
    return 0;
}

// Out-of-process delivery against a raw baseline: one client subscribes to N tags that the host
// updates on every tick, and counts the items that reach its IOPCDataCallback per second, with
// the delay from the host's update (the item time stamp) to the client's receipt. In
// alternation, raw_bench_server makes the same calls with nothing behind them; each round
// gives one ratio.
// The host ends each tick's updates with QV_EndUpdateCycle, unless the last argument is "timer"
// (the server's own timer paces the data changes, as for a host that never calls it).
// "constant": every tag is updated every tick but only 1 % change; in alternation the host
// reports changes only and every update (as before repeats were told apart): values delivered
// per scan and the host's cost of one tick's updates, each way.
//   dataio_delivery_bench [r8|bstr|additems|constant] [tags=10000] [periodMs=10] [seconds=3] [rounds=5] [host|timer]
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include "qvopc.h"
#include "DeliveryBenchIds.h"
#include "RawBenchIds.h"
#include "rawbench.h"
#include "BenchStats.h"

namespace {

LONGLONG ft(const FILETIME& f) { return (static_cast<LONGLONG>(f.dwHighDateTime) << 32) | f.dwLowDateTime; }

class CountingSink : public IOPCDataCallback {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback)) {
            *ppv = static_cast<IOPCDataCallback*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD n, OPCHANDLE*, VARIANT*, WORD*,
                                           FILETIME* t, HRESULT*) override
    {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        const LONGLONG tn = ft(now);
        LONGLONG sum = 0, worst = 0;
        for (DWORD i = 0; i < n; ++i) {
            LONGLONG d = tn - ft(t[i]);
            sum += d;
            if (d > worst) worst = d;
            // 0.1 ms buckets (FILETIME counts 100 ns) for the median and the 99th percentile.
            LONGLONG ms = d < 0 ? 0 : d / 1000;
            ++histogram[ms < kBuckets - 1 ? ms : kBuckets - 1];
        }
        items += n;
        ++calls;
        delaySum += sum;
        LONGLONG m = maxDelay.load();
        while (worst > m && !maxDelay.compare_exchange_weak(m, worst)) {}
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    void reset()
    {
        items = 0;
        calls = 0;
        delaySum = 0;
        maxDelay = 0;
        for (auto& b : histogram) b = 0;
    }
    // Delay (ms) below which the given fraction of the delivered items arrived.
    double percentile(double q) const
    {
        LONGLONG total = 0;
        for (const auto& b : histogram) total += b.load();
        LONGLONG want = static_cast<LONGLONG>(q * static_cast<double>(total)), seen = 0;
        for (int i = 0; i < kBuckets; ++i) {
            seen += histogram[i].load();
            if (seen > want) return (i + 0.5) / 10;
        }
        return kBuckets / 10.0;
    }
    static constexpr int kBuckets = 10000;
    std::atomic<LONGLONG> histogram[kBuckets] = {};
    std::atomic<LONG> refs{1};
    std::atomic<LONGLONG> items{0}, calls{0}, delaySum{0}, maxDelay{0};
};

// The raw server's calls land in the same counters.
class RawSink : public IQvRawSink {
public:
    explicit RawSink(CountingSink& c) : c_(c) {}
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IQvRawSink)) {
            *ppv = static_cast<IQvRawSink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD a, OPCHANDLE b, HRESULT c, HRESULT d, DWORD n, OPCHANDLE* h,
                                           VARIANT* v, WORD* q, FILETIME* t, HRESULT* e) override
    {
        return c_.OnDataChange(a, b, c, d, n, h, v, q, t, e);
    }

private:
    CountingSink& c_;
};

bool runExe(const char* exe, const std::string& args)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    dir = dir.substr(0, dir.find_last_of('\\'));
    std::string cmd = "\"" + dir + "\\" + exe + "\" " + args;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    WaitForSingleObject(pi.hProcess, 60000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return code == 0;
}

struct Phase {
    double itemsPerSec = 0, median = 0, perScan = 0;
};

// The host's min/median/max cost (microseconds) of one tick's updates in the current mode.
bool hostCost(double out[3])
{
    DWORD size = 3 * sizeof(double);
    return RegGetValueA(HKEY_CURRENT_USER, QV_DELIVERYBENCH_KEY, QV_DELIVERYBENCH_COST, RRF_RT_REG_BINARY, nullptr, out,
                        &size) == ERROR_SUCCESS &&
           size == 3 * sizeof(double);
}

Phase measure(CountingSink& sink, DWORD seconds)
{
    Sleep(1000); // warm up
    sink.reset();
    DWORD t0 = GetTickCount();
    Sleep(seconds * 1000);
    double secs = (GetTickCount() - t0) / 1000.0;
    Phase p;
    p.itemsPerSec = sink.items.load() / secs;
    p.median = sink.percentile(0.5);
    p.perScan = sink.calls.load() ? static_cast<double>(sink.items.load()) / static_cast<double>(sink.calls.load()) : 0;
    return p;
}

template <class F>
double readsPerSec(F&& readOnce)
{
    DWORD reads = 0, start = GetTickCount();
    while (GetTickCount() - start < 1000) {
        if (!readOnce()) break;
        ++reads;
    }
    return reads / ((GetTickCount() - start) / 1000.0);
}

std::vector<OPCITEMDEF> itemDefs(DWORD n, std::vector<std::wstring>& names)
{
    names.resize(n);
    std::vector<OPCITEMDEF> defs(n);
    for (DWORD i = 0; i < n; ++i) {
        wchar_t w[32];
        swprintf(w, 32, L"Bench.Tag%05lu", static_cast<unsigned long>(i));
        names[i] = w;
        defs[i] = OPCITEMDEF{};
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].szItemID = &names[i][0];
        defs[i].bActive = TRUE;
        defs[i].hClient = i;
    }
    return defs;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "r8";
    const DWORD tags = argc > 2 ? static_cast<DWORD>(atoi(argv[2])) : (mode == "additems" ? 100000 : 10000);
    const DWORD period = argc > 3 ? static_cast<DWORD>(atoi(argv[3])) : 10;
    const DWORD seconds = argc > 4 ? static_cast<DWORD>(atoi(argv[4])) : 3;
    const int rounds = argc > 5 ? atoi(argv[5]) : 5;
    const VARTYPE vt = mode == "bstr" ? VT_BSTR : VT_R8;
    const DWORD changePercent = mode == "constant" ? 1 : 100;
    const DWORD ownTimer = argc > 6 && std::string(argv[6]) == "timer" ? 1 : 0;
    const char* clockNote = ownTimer ? " (server's own timer)" : "";
    char buf[96];
    snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(tags));
    SetEnvironmentVariableA("QV_BENCH_TAGS", buf);
    snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(period));
    SetEnvironmentVariableA("QV_BENCH_PERIOD", buf);
    snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(vt));
    SetEnvironmentVariableA("QV_BENCH_VT", buf);
    SetEnvironmentVariableA("QV_BENCH_TIMER", ownTimer ? "1" : "0");
    SetEnvironmentVariableA("QV_BENCH_CHANGE", changePercent == 1 ? "1" : "100");
    {
        HKEY k;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, QV_DELIVERYBENCH_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k,
                            nullptr) == ERROR_SUCCESS) {
            const DWORD vtValue = vt;
            RegSetValueExA(k, "QV_BENCH_TAGS", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&tags), sizeof tags);
            RegSetValueExA(k, "QV_BENCH_PERIOD", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&period), sizeof period);
            RegSetValueExA(k, "QV_BENCH_VT", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&vtValue), sizeof vtValue);
            RegSetValueExA(k, "QV_BENCH_TIMER", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ownTimer), sizeof ownTimer);
            RegSetValueExA(k, "QV_BENCH_CHANGE", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&changePercent),
                           sizeof changePercent);
            RegDeleteValueA(k, QV_DELIVERYBENCH_COST);
            RegCloseKey(k);
        }
    }
    if (!runExe("dataio_delivery_host.exe", "--regserver") || !runExe("raw_bench_server.exe", "--regserver")) {
        printf("registering the benchmark servers failed\n");
        return 1;
    }
    // Set while the raw baseline runs: the host then makes no updates.
    HANDLE pause = CreateEventA(nullptr, TRUE, mode == "additems", QV_DELIVERYBENCH_PAUSE);
    HANDLE every = CreateEventA(nullptr, TRUE, FALSE, QV_DELIVERYBENCH_EVERY);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc = 1;
    {
        IOPCServer* server = nullptr;
        IQvRawServer* raw = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_QvDeliveryBench, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                      reinterpret_cast<void**>(&server));
        HRESULT hr2 = CoCreateInstance(CLSID_QvRawBench, nullptr, CLSCTX_LOCAL_SERVER, IID_IQvRawServer,
                                       reinterpret_cast<void**>(&raw));
        if (FAILED(hr) || FAILED(hr2)) {
            printf("CoCreateInstance failed: 0x%08lx / 0x%08lx\n", static_cast<unsigned long>(hr),
                   static_cast<unsigned long>(hr2));
            return 1;
        }
        std::vector<std::wstring> names;
        std::vector<OPCITEMDEF> defs = itemDefs(tags, names);
        if (mode == "additems") {
            std::vector<double> r;
            double tq = 0, tr = 0;
            for (int round = -1; round < rounds; ++round) {
                OPCHANDLE hGroup = 0;
                DWORD revised = 0;
                IOPCItemMgt* items = nullptr;
                hr = server->AddGroup(L"adds", FALSE, 1000, 1, nullptr, nullptr, 0, &hGroup, &revised,
                                      IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(&items));
                if (FAILED(hr)) break;
                OPCITEMRESULT* res = nullptr;
                HRESULT* errs = nullptr;
                double t0 = benchNowMs();
                hr = items->AddItems(tags, defs.data(), &res, &errs);
                double a = benchNowMs() - t0;
                if (hr != S_OK) {
                    DWORD bad = 0, first = 0;
                    for (DWORD i = 0; errs && i < tags; ++i)
                        if (errs[i] != S_OK && !bad++) first = i;
                    printf("AddItems: 0x%08lx, %lu failed, first #%lu: 0x%08lx\n", static_cast<unsigned long>(hr),
                           static_cast<unsigned long>(bad), static_cast<unsigned long>(first),
                           static_cast<unsigned long>(errs && bad ? errs[first] : 0));
                }
                CoTaskMemFree(res);
                CoTaskMemFree(errs);
                items->Release();
                server->RemoveGroup(hGroup, TRUE);
                t0 = benchNowMs();
                raw->AddItems(tags, defs.data(), &res, &errs);
                double b = benchNowMs() - t0;
                CoTaskMemFree(res);
                CoTaskMemFree(errs);
                if (round >= 0) {
                    r.push_back(a / b);
                    tq += a;
                    tr += b;
                }
            }
            printf("AddItems of %lu items: toolkit %.0f ms, raw %.0f ms (means)\n", static_cast<unsigned long>(tags),
                   tq / rounds, tr / rounds);
            snprintf(buf, sizeof buf, "AddItems %lu, time / raw", static_cast<unsigned long>(tags));
            printRatio(buf, r, "<= 1.2");
        } else {
            OPCHANDLE hGroup = 0;
            DWORD revised = 0;
            IOPCItemMgt* items = nullptr;
            hr = server->AddGroup(L"bench", TRUE, period, 1, nullptr, nullptr, 0, &hGroup, &revised,
                                  IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(&items));
            if (FAILED(hr)) {
                printf("AddGroup failed: 0x%08lx\n", static_cast<unsigned long>(hr));
                return 1;
            }
            OPCITEMRESULT* results = nullptr;
            HRESULT* errors = nullptr;
            hr = items->AddItems(tags, defs.data(), &results, &errors);
            OPCHANDLE first = results ? results[0].hServer : 0;
            CoTaskMemFree(results);
            CoTaskMemFree(errors);
            if (hr != S_OK) printf("AddItems: 0x%08lx\n", static_cast<unsigned long>(hr));
            CountingSink sink;
            RawSink rawSink(sink);
            IConnectionPointContainer* cpc = nullptr;
            IConnectionPoint* cp = nullptr;
            items->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
            cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp);
            IOPCSyncIO* sync = nullptr;
            items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync));
            std::vector<double> rate, delay, reads;
            Phase lastQ, lastR;
            if (mode == "constant") {
                // Changes only, then every update, in each round; the sink is advised throughout.
                std::vector<double> scanC, scanE, costC, costE, perScanRatio, costRatio;
                ResetEvent(pause);
                DWORD cookie = 0;
                cp->Advise(&sink, &cookie);
                for (int round = 0; round < rounds; ++round) {
                    double c[3] = {0, 0, 0}, e[3] = {0, 0, 0};
                    ResetEvent(every);
                    Phase a = measure(sink, seconds);
                    hostCost(c);
                    SetEvent(every);
                    Phase b = measure(sink, seconds);
                    hostCost(e);
                    scanC.push_back(a.perScan);
                    scanE.push_back(b.perScan);
                    costC.push_back(c[1]);
                    costE.push_back(e[1]);
                    if (b.perScan > 0) perScanRatio.push_back(a.perScan / b.perScan);
                    if (e[1] > 0) costRatio.push_back(c[1] / e[1]);
                    printf("round %d: changes only %.1f values/scan (%.0f values/s), host tick %.0f/%.0f/%.0f us; "
                           "every update %.1f values/scan (%.0f values/s), host tick %.0f/%.0f/%.0f us\n",
                           round + 1, a.perScan, a.itemsPerSec, c[0], c[1], c[2], b.perScan, b.itemsPerSec, e[0],
                           e[1], e[2]);
                    fflush(stdout);
                }
                cp->Unadvise(cookie);
                ResetEvent(every);
                auto mmm = [](std::vector<double> v, const char* what) {
                    std::sort(v.begin(), v.end());
                    printf("%s: min %.1f median %.1f max %.1f\n", what, v.front(), v[v.size() / 2], v.back());
                };
                snprintf(buf, sizeof buf, "%lu tags, 1 %% change per %lu ms tick", static_cast<unsigned long>(tags),
                         static_cast<unsigned long>(period));
                printf("%s\n", buf);
                mmm(scanC, "  values per scan, changes only");
                mmm(scanE, "  values per scan, every update");
                mmm(costC, "  host tick update cost (us, median of the round), changes only");
                mmm(costE, "  host tick update cost (us, median of the round), every update");
                printRatio("constant tags: values per scan, changes / every update", perScanRatio, "(info)");
                printRatio("constant tags: host tick cost, changes / every update", costRatio, "(info)");
            }
            for (int round = 0; mode != "constant" && round < rounds; ++round) {
                ResetEvent(pause);
                DWORD cookie = 0;
                cp->Advise(&sink, &cookie);
                Phase q = measure(sink, seconds);
                cp->Unadvise(cookie);
                SetEvent(pause);
                raw->Start(&rawSink, tags, period, vt);
                Phase r = measure(sink, seconds);
                raw->Stop();
                rate.push_back(q.itemsPerSec / r.itemsPerSec);
                delay.push_back(q.median - r.median);
                lastQ = q;
                lastR = r;
                if (vt == VT_R8 && sync && tags >= 10000) {
                    // One item, from the cache, with no subscription running.
                    double a = readsPerSec([&] {
                        OPCITEMSTATE* st = nullptr;
                        HRESULT* er = nullptr;
                        if (FAILED(sync->Read(OPC_DS_CACHE, 1, &first, &st, &er))) return false;
                        VariantClear(&st[0].vDataValue);
                        CoTaskMemFree(st);
                        CoTaskMemFree(er);
                        return true;
                    });
                    double b = readsPerSec([&] {
                        OPCITEMSTATE* st = nullptr;
                        HRESULT* er = nullptr;
                        if (FAILED(raw->Read(OPC_DS_CACHE, 1, &first, &st, &er))) return false;
                        VariantClear(&st[0].vDataValue);
                        CoTaskMemFree(st);
                        CoTaskMemFree(er);
                        return true;
                    });
                    reads.push_back(a / b);
                }
            }
            const char* type = vt == VT_BSTR ? "VT_BSTR" : "VT_R8";
            if (!rate.empty()) printf("%lu %s items every %lu ms (last round): toolkit %.0f items/s median delay %.1f ms; raw %.0f "
                   "items/s median delay %.1f ms; offered %.0f items/s\n",
                   static_cast<unsigned long>(tags), type, static_cast<unsigned long>(period), lastQ.itemsPerSec,
                   lastQ.median, lastR.itemsPerSec, lastR.median, tags * 1000.0 / period);
            snprintf(buf, sizeof buf, "delivery %lu %s / raw%s", static_cast<unsigned long>(tags), type, clockNote);
            printRatio(buf, rate, ownTimer ? "(info)" : ">= 0.97");
            snprintf(buf, sizeof buf, "delivery %lu %s median delay - raw (ms)%s", static_cast<unsigned long>(tags), type,
                     clockNote);
            printRatio(buf, delay, ownTimer ? "(info)" : "<= 1");
            if (!reads.empty()) printRatio("sync read 1 item / raw", reads, ">= 0.95");
            if (sync) sync->Release();
            cp->Release();
            cpc->Release();
            items->Release();
            server->RemoveGroup(hGroup, TRUE);
        }
        raw->Release();
        server->Release();
        rc = 0;
    }
    CoUninitialize();
    CloseHandle(pause);
    CloseHandle(every);
    runExe("dataio_delivery_host.exe", "--unregserver");
    runExe("raw_bench_server.exe", "--unregserver");
    return rc;
}

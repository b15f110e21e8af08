// Out-of-process delivery: one client subscribes to N tags that the host updates on every
// tick, and counts the items that reach its IOPCDataCallback per second, with the delay from
// the host's update (the item time stamp) to the client's receipt.
//   dataio_delivery_bench [tags=10000] [periodMs=10] [seconds=10]
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>
#include "qvopc.h"
#include "DeliveryBenchIds.h"

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
            // 1 ms buckets (FILETIME counts 100 ns) for the median and the 99th percentile.
            LONGLONG ms = d < 0 ? 0 : d / 10000;
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
            if (seen > want) return i + 0.5;
        }
        return kBuckets;
    }
    static constexpr int kBuckets = 10000;
    std::atomic<LONGLONG> histogram[kBuckets] = {};
    std::atomic<LONG> refs{1};
    std::atomic<LONGLONG> items{0}, calls{0}, delaySum{0}, maxDelay{0};
};

bool runHost(const std::string& args)
{
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    dir = dir.substr(0, dir.find_last_of('\\'));
    std::string cmd = "\"" + dir + "\\dataio_delivery_host.exe\" " + args;
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

} // namespace

int main(int argc, char** argv)
{
    const DWORD tags = argc > 1 ? static_cast<DWORD>(atoi(argv[1])) : 10000;
    const DWORD period = argc > 2 ? static_cast<DWORD>(atoi(argv[2])) : 10;
    const DWORD seconds = argc > 3 ? static_cast<DWORD>(atoi(argv[3])) : 10;
    char buf[32];
    snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(tags));
    SetEnvironmentVariableA("QV_BENCH_TAGS", buf);
    snprintf(buf, sizeof buf, "%lu", static_cast<unsigned long>(period));
    SetEnvironmentVariableA("QV_BENCH_PERIOD", buf);
    if (!runHost("--regserver")) {
        printf("registering the benchmark host failed\n");
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int rc = 1;
    {
        IOPCServer* server = nullptr;
        HRESULT hr = CoCreateInstance(CLSID_QvDeliveryBench, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                      reinterpret_cast<void**>(&server));
        if (FAILED(hr)) {
            printf("CoCreateInstance failed: 0x%08lx\n", static_cast<unsigned long>(hr));
            return 1;
        }
        OPCHANDLE hGroup = 0;
        DWORD revised = 0;
        IOPCItemMgt* items = nullptr;
        hr = server->AddGroup(L"bench", TRUE, period, 1, nullptr, nullptr, 0, &hGroup, &revised, IID_IOPCItemMgt,
                              reinterpret_cast<IUnknown**>(&items));
        if (FAILED(hr)) {
            printf("AddGroup failed: 0x%08lx\n", static_cast<unsigned long>(hr));
            return 1;
        }
        std::vector<std::wstring> names(tags);
        std::vector<OPCITEMDEF> defs(tags);
        for (DWORD i = 0; i < tags; ++i) {
            wchar_t n[32];
            swprintf(n, 32, L"Bench.Tag%05lu", static_cast<unsigned long>(i));
            names[i] = n;
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].szItemID = &names[i][0];
            defs[i].bActive = TRUE;
            defs[i].hClient = i;
        }
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        hr = items->AddItems(tags, defs.data(), &results, &errors);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        if (hr != S_OK) printf("AddItems: 0x%08lx\n", static_cast<unsigned long>(hr));

        CountingSink sink;
        IConnectionPointContainer* cpc = nullptr;
        IConnectionPoint* cp = nullptr;
        DWORD cookie = 0;
        items->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc));
        cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp);
        hr = cp->Advise(&sink, &cookie);
        if (FAILED(hr)) printf("Advise failed: 0x%08lx\n", static_cast<unsigned long>(hr));

        Sleep(2000); // warm up
        sink.reset();
        DWORD t0 = GetTickCount();
        Sleep(seconds * 1000);
        double secs = (GetTickCount() - t0) / 1000.0;
        LONGLONG n = sink.items.load(), c = sink.calls.load();
        printf("%lu items updated every %lu ms (update rate %lu ms), %lu s:\n", static_cast<unsigned long>(tags),
               static_cast<unsigned long>(period), static_cast<unsigned long>(revised),
               static_cast<unsigned long>(seconds));
        printf("  items delivered:  %.0f /s (offered %.0f /s)\n", n / secs, tags * 1000.0 / period);
        printf("  OnDataChange:     %.1f /s, %.0f items each\n", c / secs, c ? static_cast<double>(n) / c : 0.0);
        printf("  delay host update -> client: mean %.1f ms, median %.1f ms, 99th percentile %.1f ms, max %.1f ms\n",
               n ? sink.delaySum.load() / 1e4 / n : 0.0, sink.percentile(0.5), sink.percentile(0.99),
               sink.maxDelay.load() / 1e4);
        fflush(stdout);
        cp->Unadvise(cookie);

        // Synchronous read round trips of one item, with the subscription stopped.
        IOPCSyncIO* sync = nullptr;
        DWORD one = 1;
        OPCHANDLE h = 0;
        OPCITEMDEF d1 = defs[0];
        if (SUCCEEDED(items->QueryInterface(IID_IOPCSyncIO, reinterpret_cast<void**>(&sync)))) {
            OPCITEMRESULT* added = nullptr;
            HRESULT* addErr = nullptr;
            d1.hClient = tags; // a second item for the same tag
            if (SUCCEEDED(items->AddItems(one, &d1, &added, &addErr)) && SUCCEEDED(addErr[0])) h = added[0].hServer;
            CoTaskMemFree(added);
            CoTaskMemFree(addErr);
            DWORD reads = 0, start = GetTickCount();
            while (GetTickCount() - start < 2000) {
                OPCITEMSTATE* st = nullptr;
                HRESULT* er = nullptr;
                if (FAILED(sync->Read(OPC_DS_CACHE, 1, &h, &st, &er))) break;
                VariantClear(&st[0].vDataValue);
                CoTaskMemFree(st);
                CoTaskMemFree(er);
                ++reads;
            }
            double rs = (GetTickCount() - start) / 1000.0;
            printf("  sync read round trips (1 item, cache): %.0f /s\n", reads / rs);
            fflush(stdout);
        }
        if (sync) sync->Release();

        cp->Release();
        cpc->Release();
        items->Release();
        server->RemoveGroup(hGroup, TRUE);
        server->Release();
        rc = 0;
    }
    CoUninitialize();
    runHost("--unregserver");
    return rc;
}

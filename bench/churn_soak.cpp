// Whether the host keeps accepting clients through a churn of connects and enumerators, from
// this one client process (against the test host, registered in the prefix by
// scripts/bench.sh):
//   churn_soak [seconds=300] [threads=4]
// Each thread connects, adds a group and items, takes every kind of enumerator and the
// connection points, and lets go of all of it, again and again: the stubs of each interface
// come and go in the host all the time. Prints cycles per second and the slowest cycle every
// 10 s, and stops with "FROZEN" when no cycle finished for 60 s (the host stopped accepting).
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace {

std::atomic<long> g_cycles{0}, g_failures{0};
std::atomic<DWORD> g_slowest{0};
std::atomic<bool> g_stop{false};

template <class I>
void drop(I*& p)
{
    if (p) p->Release();
    p = nullptr;
}

bool cycle()
{
    IOPCServer* server = nullptr;
    if (FAILED(CoCreateInstance(CLSID_QvTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&server))))
        return false;
    bool ok = true;
    OPCHANDLE hg = 0;
    DWORD rate = 0;
    IOPCItemMgt* im = nullptr;
    ok &= SUCCEEDED(server->AddGroup(L"", TRUE, 1000, 1, nullptr, nullptr, 0, &hg, &rate, IID_IOPCItemMgt,
                                     reinterpret_cast<IUnknown**>(&im)));
    if (im) {
        OPCITEMDEF def{};
        def.szAccessPath = const_cast<LPWSTR>(L"");
        def.szItemID = const_cast<LPWSTR>(L"Plant.Line.Flow");
        def.bActive = TRUE;
        OPCITEMRESULT* res = nullptr;
        HRESULT* err = nullptr;
        ok &= SUCCEEDED(im->AddItems(1, &def, &res, &err));
        CoTaskMemFree(res);
        CoTaskMemFree(err);
        IUnknown* items = nullptr;
        ok &= SUCCEEDED(im->CreateEnumerator(IID_IEnumOPCItemAttributes, &items));
        drop(items);
        IConnectionPointContainer* cpc = nullptr;
        ok &= SUCCEEDED(im->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&cpc)));
        if (cpc) {
            IEnumConnectionPoints* points = nullptr;
            ok &= SUCCEEDED(cpc->EnumConnectionPoints(&points));
            drop(points);
            IConnectionPoint* cp = nullptr;
            ok &= SUCCEEDED(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp));
            drop(cp);
        }
        drop(cpc);
    }
    drop(im);
    IUnknown* e = nullptr;
    ok &= SUCCEEDED(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumUnknown, &e));
    drop(e);
    ok &= SUCCEEDED(server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString, &e));
    drop(e);
    IOPCBrowseServerAddressSpace* browse = nullptr;
    if (SUCCEEDED(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, reinterpret_cast<void**>(&browse)))) {
        IEnumString* names = nullptr;
        ok &= SUCCEEDED(browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, &names));
        drop(names);
    }
    drop(browse);
    server->RemoveGroup(hg, TRUE);
    drop(server);
    return ok;
}

DWORD WINAPI churn(void*)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    while (!g_stop) {
        const DWORD t0 = GetTickCount();
        if (!cycle()) ++g_failures;
        const DWORD took = GetTickCount() - t0;
        DWORD s = g_slowest.load();
        while (took > s && !g_slowest.compare_exchange_weak(s, took)) {}
        ++g_cycles;
    }
    CoUninitialize();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const int seconds = argc > 1 ? atoi(argv[1]) : 300;
    const int threads = argc > 2 ? atoi(argv[2]) : 4;
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dir(self);
    SetEnvironmentVariableA("QV_TEST_LOGDIR", dir.substr(0, dir.find_last_of('\\')).c_str());
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    // One connection held throughout, so the host does not leave between cycles.
    IOPCServer* keeper = nullptr;
    if (FAILED(CoCreateInstance(CLSID_QvTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                reinterpret_cast<void**>(&keeper)))) {
        printf("cannot reach the test host\n");
        return 1;
    }
    for (int i = 0; i < threads; ++i) CloseHandle(CreateThread(nullptr, 0, churn, nullptr, 0, nullptr));
    const DWORD start = GetTickCount();
    long last = 0;
    DWORD lastProgress = start;
    int rc = 0;
    while (GetTickCount() - start < static_cast<DWORD>(seconds) * 1000) {
        Sleep(10000);
        const long now = g_cycles.load();
        if (now != last) lastProgress = GetTickCount();
        printf("%4lu s: %ld cycles (%.1f/s over the last 10 s), %ld failed, slowest %lu ms\n",
               static_cast<unsigned long>((GetTickCount() - start) / 1000), now, (now - last) / 10.0,
               g_failures.load(), static_cast<unsigned long>(g_slowest.load()));
        fflush(stdout);
        last = now;
        if (GetTickCount() - lastProgress > 60000) {
            printf("FROZEN: no cycle finished for 60 s\n");
            fflush(stdout);
            rc = 2;
            break;
        }
    }
    g_stop = true;
    if (rc == 0) {
        Sleep(2000);
        printf("churn_soak: %ld cycles in %d s from %d threads of one process, %ld failed, slowest %lu ms\n",
               g_cycles.load(), seconds, threads, g_failures.load(), static_cast<unsigned long>(g_slowest.load()));
    }
    fflush(stdout);
    // A frozen host never answers: leave without releasing (the process end drops it).
    if (rc == 0) keeper->Release();
    ExitProcess(static_cast<UINT>(rc));
}

// What one misbehaving client costs the host and the other clients, out of process, against
// the test host (registered in the prefix by scripts/bench.sh):
//   (a) no other client, (b) one alarm client whose sink sleeps 1 s per call, (c) after one
//   client process was killed while subscribed.
// Prints QV_UpdateTag median / 99th percentile / max in the host during a burst of updates
// that each raise an alarm event, the largest gap between data changes of a healthy client
// at 100 ms, and the host's handles and threads before a kill and some time after it.
//   isolation_bench [secondsAfterKill=60]
#include <windows.h>
#include <objbase.h>
#include <ocidl.h>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"
#include "TestHostDriver.h"

namespace {

std::string g_dir;

class DataSink : public qvbench::StaticSink<IOPCDataCallback> {
public:
    DataSink() : StaticSink(IID_IOPCDataCallback) {}
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                           FILETIME*, HRESULT*) override
    {
        std::lock_guard<std::mutex> g(m);
        arrivals.push_back(GetTickCount());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    DWORD largestGap(DWORD from, DWORD to)
    {
        std::lock_guard<std::mutex> g(m);
        DWORD gap = 0, last = from;
        for (DWORD t : arrivals) {
            if (t < from || t > to) continue;
            gap = std::max(gap, t - last);
            last = t;
        }
        return std::max(gap, to - last);
    }
    std::mutex m;
    std::vector<DWORD> arrivals;
};

class SlowEventSink : public qvbench::StaticSink<IOPCEventSink> {
public:
    SlowEventSink() : StaticSink(IID_IOPCEventSink) {}
    HRESULT STDMETHODCALLTYPE OnEvent(OPCHANDLE, BOOL, BOOL, DWORD n, ONEVENTSTRUCT*) override
    {
        events += n;
        Sleep(1000);
        return S_OK;
    }
    std::atomic<DWORD> events{0};
};

long logSize()
{
    FILE* f = fopen((g_dir + "\\qvtesthost.log").c_str(), "rb");
    if (!f) return 0;
    fseek(f, 0, SEEK_END);
    long n = ftell(f);
    fclose(f);
    return n;
}

// The first line after offset that starts (after the tick) with key.
std::string logLine(long offset, const char* key, int timeoutMs = 60000)
{
    for (int waited = 0; waited < timeoutMs; waited += 50) {
        FILE* f = fopen((g_dir + "\\qvtesthost.log").c_str(), "rb");
        if (f) {
            fseek(f, offset, SEEK_SET);
            char buf[512];
            while (fgets(buf, sizeof buf, f)) {
                const char* p = strstr(buf, key);
                if (p) {
                    fclose(f);
                    std::string s(p);
                    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
                    return s;
                }
            }
            fclose(f);
        }
        Sleep(50);
    }
    return "(no answer)";
}

void commands(const std::vector<std::string>& lines) { qvbench::hostCommands(g_dir, lines); }

// A burst of 20,000 alarm-raising updates in the host, printed with the healthy client's gap.
void burst(const char* label, DataSink& data)
{
    const long off = logSize();
    const DWORD t0 = GetTickCount();
    commands({"burst Bench.Tank 20000 0 60"});
    std::string line = logLine(off, "burst:");
    Sleep(2000); // the data client keeps receiving meanwhile
    printf("%-34s %s; largest data gap %lu ms\n", label, line.c_str() + 7,
           static_cast<unsigned long>(data.largestGap(t0, GetTickCount())));
    fflush(stdout);
}

std::string resources()
{
    const long off = logSize();
    commands({"resources"});
    return logLine(off, "resources:");
}

template <class I>
I* query(IUnknown* u, REFIID iid)
{
    I* p = nullptr;
    u->QueryInterface(iid, reinterpret_cast<void**>(&p));
    return p;
}

} // namespace

int main(int argc, char** argv)
{
    const int afterKill = argc > 1 ? atoi(argv[1]) : 60;
    // The test host's own folder: where it looks when COM starts it without our environment.
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    g_dir = self;
    g_dir = g_dir.substr(0, g_dir.find_last_of('\\'));
    SetEnvironmentVariableA("QV_TEST_LOGDIR", g_dir.c_str());
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);

    // A healthy data client at 100 ms on the host's ramp (updated every 100 ms).
    IOPCServer* server = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_QvTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                  reinterpret_cast<void**>(&server));
    if (FAILED(hr)) {
        printf("cannot reach the test host: 0x%08lx\n", static_cast<unsigned long>(hr));
        return 1;
    }
    OPCHANDLE hg = 0;
    DWORD rate = 0;
    IUnknown* group = nullptr;
    server->AddGroup(L"", TRUE, 100, 1, nullptr, nullptr, 0, &hg, &rate, IID_IOPCItemMgt, &group);
    IOPCItemMgt* im = query<IOPCItemMgt>(group, IID_IOPCItemMgt);
    OPCITEMDEF def{};
    def.szAccessPath = const_cast<LPWSTR>(L"");
    def.szItemID = const_cast<LPWSTR>(L"Sim.Ramp");
    def.bActive = TRUE;
    OPCITEMRESULT* res = nullptr;
    HRESULT* err = nullptr;
    im->AddItems(1, &def, &res, &err);
    CoTaskMemFree(res);
    CoTaskMemFree(err);
    static DataSink data;
    IConnectionPointContainer* cpc = query<IConnectionPointContainer>(group, IID_IConnectionPointContainer);
    IConnectionPoint* cp = nullptr;
    DWORD cookie = 0;
    cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp);
    cp->Advise(&data, &cookie);
    commands({"create Bench.Tank r8 0 rw", "limits Bench.Tank -1000 -999 50 1000"});
    Sleep(1000);

    burst("(a) no other client:", data);

    // (b) an alarm client whose sink sleeps 1 s in every call.
    static SlowEventSink slow;
    IOPCEventServer* es = nullptr;
    CoCreateInstance(CLSID_QvTestHost, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCEventServer, reinterpret_cast<void**>(&es));
    IUnknown* sub = nullptr;
    DWORD bt = 0, ms = 0;
    es->CreateEventSubscription(TRUE, 0, 0, 1, IID_IUnknown, &sub, &bt, &ms);
    IConnectionPointContainer* scpc = query<IConnectionPointContainer>(sub, IID_IConnectionPointContainer);
    IConnectionPoint* scp = nullptr;
    DWORD scookie = 0;
    scpc->FindConnectionPoint(IID_IOPCEventSink, &scp);
    scp->Advise(&slow, &scookie);
    burst("(b) one alarm sink sleeping 1 s:", data);
    printf("    events the slow sink took so far: %lu (its queue keeps at most 10,000)\n",
           static_cast<unsigned long>(slow.events.load()));
    scp->Unadvise(scookie);
    scp->Release();
    scpc->Release();
    sub->Release();
    es->Release();

    // (c) a client process killed while it watches the ramp.
    const std::string before = resources();
    char exe[MAX_PATH];
    GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string dir(exe);
    dir = dir.substr(0, dir.find_last_of('\\'));
    std::string cmd = "\"" + dir + "\\qvopc.exe\" --server " QV_TESTHOST_PROGID " watch Sim.Ramp --rate 100 --seconds 300";
    STARTUPINFOA si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
        Sleep(3000);
        const long off = logSize();
        const DWORD t0 = GetTickCount();
        TerminateProcess(pi.hProcess, 9);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        std::string gone = logLine(off, "disconnect:", 30000);
        printf("(c) killed client: host told after %lu ms (%s)\n", static_cast<unsigned long>(GetTickCount() - t0),
               gone.c_str());
        burst("(c) after the kill:", data);
        Sleep(static_cast<DWORD>(afterKill) * 1000);
        printf("    host before the victim connected: %s\n    %d s after the kill:              %s\n", before.c_str(), afterKill, resources().c_str());
    } else {
        printf("(c) cannot start qvopc.exe\n");
    }

    commands({"remove Bench.Tank"});
    cp->Unadvise(cookie);
    cp->Release();
    cpc->Release();
    im->Release();
    group->Release();
    server->Release();
    CoUninitialize();
    return 0;
}

// The IOPCShutdown connection point through COM: a client's sink hears ShutdownRequest when
// the host stops the server, disconnects, and the host's stop completes. The host exits
// afterwards; later tests get a new one from COM.
#include "ComRef.h"
#include "HostActivation.h"
#include "HostCommands.h"
#include "ClientSupport.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace {

// Lives for the whole process: the host's proxy may release it late.
class ShutdownSink : public IOPCShutdown {
public:
    ShutdownSink() { event = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCShutdown)) {
            *ppv = static_cast<IOPCShutdown*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
    ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
    HRESULT STDMETHODCALLTYPE ShutdownRequest(LPCWSTR reason) override
    {
        reasonText = reason ? reason : L"<null>";
        ++calls;
        SetEvent(event);
        if (hangMs) Sleep(hangMs); // a client that does not answer
        return S_OK;
    }
    DWORD hangMs = 0;
    std::atomic<LONG> refs{1};
    std::atomic<int> calls{0};
    std::wstring reasonText;
    HANDLE event;
};

// A plain object without IOPCShutdown.
class NotASink : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = this;
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

} // namespace

TEST(ShutdownClient, AdviseRulesThroughCom)
{
    Ref<IUnknown> server;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, server.out()), S_OK);
    Ref<IConnectionPointContainer> cpc;
    ASSERT_EQ(server->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    Ref<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, reinterpret_cast<IConnectionPoint**>(cp.out())), S_OK);

    static ShutdownSink first, second;
    static NotASink plain;
    DWORD cookie = 0;
    EXPECT_EQ(cp->Advise(&plain, &cookie), CONNECT_E_CANNOTCONNECT);
    ASSERT_EQ(cp->Advise(&first, &cookie), S_OK);
    EXPECT_EQ(cookie, 1u);
    EXPECT_EQ(cp->Advise(&second, &cookie), CONNECT_E_ADVISELIMIT);
    EXPECT_EQ(cp->Unadvise(2), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Unadvise(1), S_OK);
    EXPECT_EQ(cp->Unadvise(1), CONNECT_E_NOCONNECTION);

    Ref<IEnumConnectionPoints> en;
    ASSERT_EQ(cpc->EnumConnectionPoints(reinterpret_cast<IEnumConnectionPoints**>(en.out())), S_OK);
    IConnectionPoint* got = nullptr;
    ULONG n = 0;
    ASSERT_EQ(en->Next(1, &got, &n), S_OK);
    EXPECT_EQ(n, 1u);
    IID iid{};
    EXPECT_EQ(got->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCShutdown));
    got->Release();
    EXPECT_EQ(en->Next(1, &got, &n), S_FALSE);
    EXPECT_EQ(en->Reset(), S_OK);
    ASSERT_EQ(en->Next(1, &got, &n), S_OK);
    got->Release();
}

// A client that hangs in ShutdownRequest does not hold the host's stop: the host is stopped
// and its process gone long before the call would return. A later test gets a new host.
TEST(ShutdownClient, StopDoesNotWaitForAClientHangingInShutdownRequest)
{
    const std::string dir = testLogDir();
    if (dir.empty()) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    static ShutdownSink hanging;
    hanging.hangMs = 60000;
    Ref<IUnknown> server;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, server.out()), S_OK);
    Ref<IConnectionPointContainer> cpc;
    ASSERT_EQ(server->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    Ref<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, reinterpret_cast<IConnectionPoint**>(cp.out())), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&hanging, &cookie), S_OK);
    const DWORD pid = lastHostPid(readFrom(dir + "\\qvtesthost.log", 0));
    HANDLE host = pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
    ASSERT_NE(host, nullptr);
    const DWORD t0 = GetTickCount();
    FILE* stop = fopen((dir + "\\qvtesthost.stop").c_str(), "wb");
    ASSERT_NE(stop, nullptr);
    fclose(stop);
    ASSERT_EQ(WaitForSingleObject(hanging.event, 30000), WAIT_OBJECT_0) << "no ShutdownRequest";
    // Far below the minute the sink hangs: the stop waited for it a bounded time only.
    EXPECT_EQ(WaitForSingleObject(host, 40000), WAIT_OBJECT_0);
    printf("  host gone %lu ms after the stop, its client still hanging\n",
           static_cast<unsigned long>(GetTickCount() - t0));
    CloseHandle(host);
    DeleteFileA((dir + "\\qvtesthost.stop").c_str());
    cp.reset();
    cpc.reset();
    server.reset();
}

// Stops the host: keep this the last test that relies on the running host.
TEST(ShutdownClient, HostStopSendsShutdownRequest)
{
    const std::string dir = testLogDir();
    if (dir.empty()) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    const std::string log = dir + "\\qvtesthost.log";

    static ShutdownSink sink;
    Ref<IUnknown> server;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, server.out()), S_OK);
    Ref<IConnectionPointContainer> cpc;
    ASSERT_EQ(server->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    Ref<IConnectionPoint> cp;
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, reinterpret_cast<IConnectionPoint**>(cp.out())), S_OK);
    DWORD cookie = 0;
    ASSERT_EQ(cp->Advise(&sink, &cookie), S_OK);

    const std::string before = readFrom(log, 0);
    const long offset = static_cast<long>(before.size());
    const DWORD pid = lastHostPid(before);
    HANDLE host = pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;

    const DWORD t0 = GetTickCount();
    FILE* stop = fopen((dir + "\\qvtesthost.stop").c_str(), "wb");
    ASSERT_NE(stop, nullptr);
    fclose(stop);

    ASSERT_EQ(WaitForSingleObject(sink.event, 30000), WAIT_OBJECT_0) << "no ShutdownRequest";
    const DWORD heard = GetTickCount() - t0;
    EXPECT_EQ(sink.calls.load(), 1);
    EXPECT_EQ(sink.reasonText, L"");

    // Disconnect as a client should: give back everything at once.
    EXPECT_EQ(cp->Unadvise(cookie), S_OK);
    cp.reset();
    cpc.reset();
    server.reset();

    bool stopped = false;
    for (int i = 0; i < 300 && !stopped; ++i) {
        stopped = readFrom(log, offset).find("stopped") != std::string::npos;
        if (!stopped) Sleep(100);
    }
    EXPECT_TRUE(stopped) << "the host did not log \"stopped\"";
    printf("  ShutdownRequest after %lu ms, host stopped after %lu ms\n", static_cast<unsigned long>(heard),
           static_cast<unsigned long>(GetTickCount() - t0));
    // Let the old host leave before later tests ask COM for a new one.
    if (host) {
        EXPECT_EQ(WaitForSingleObject(host, 30000), WAIT_OBJECT_0);
        CloseHandle(host);
    }
    EXPECT_EQ(sink.refs.load(), 1); // the host kept no reference on the sink
}

// ---- The stop's edges: told or refused, bounded on a single-threaded host, nothing after
// it returns, a busy local client kept. ----
namespace {

// Sleeps in its first call, or rejects calls until a moment (a busy single-threaded client).
struct DataSink : IOPCDataCallback {
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        *ppv = (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOPCDataCallback)) ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                           FILETIME*, HRESULT*) override
    {
        if (++calls == 1 && sleepMs) SetEvent(event), Sleep(sleepMs);
        if (static_cast<LONG>(GetTickCount() - rejectUntil) < 0) return RPC_E_CALL_REJECTED;
        return ++accepted, S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }
    DWORD sleepMs = 0, rejectUntil = 0;
    std::atomic<int> calls{0}, accepted{0};
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

// A client: its server and shutdown point, and (watch) a group on one item with a data sink.
struct Client {
    Ref<IUnknown> server, group;
    Ref<IConnectionPoint> shutdownPoint;
    void reset() { group.reset(), shutdownPoint.reset(), server.reset(); }
    static HRESULT point(IUnknown* o, REFIID iid, Ref<IConnectionPoint>& cp)
    {
        Ref<IConnectionPointContainer> cpc;
        HRESULT hr = o->QueryInterface(IID_IConnectionPointContainer, cpc.out());
        return SUCCEEDED(hr) ? cpc->FindConnectionPoint(iid, reinterpret_cast<IConnectionPoint**>(cp.out())) : hr;
    }
    HRESULT connect(REFCLSID clsid = CLSID_QvTestHost)
    {
        HRESULT hr = activateTestHost(clsid, IID_IUnknown, server.out());
        return SUCCEEDED(hr) ? point(server.p, IID_IOPCShutdown, shutdownPoint) : hr;
    }
    HRESULT advise(IUnknown* sink, IConnectionPoint* cp = nullptr)
    {
        DWORD cookie = 0;
        return (cp ? cp : shutdownPoint.p)->Advise(sink, &cookie);
    }
    HRESULT watch(const wchar_t* item, DataSink* sink)
    {
        Ref<IOPCServer> s;
        Ref<IOPCItemMgt> items;
        Ref<IConnectionPoint> cp;
        HRESULT hr = server->QueryInterface(IID_IOPCServer, s.out());
        if (SUCCEEDED(hr)) hr = qvclient::addGroup(s.p, L"", IID_IOPCItemMgt, items.out(), TRUE, 100).hr;
        if (SUCCEEDED(hr)) hr = qvclient::addItemIds(items.p, {item}).hr;
        if (SUCCEEDED(hr)) hr = items->QueryInterface(IID_IUnknown, group.out());
        if (SUCCEEDED(hr)) hr = point(items.p, IID_IOPCDataCallback, cp);
        return SUCCEEDED(hr) ? advise(sink, cp.p) : hr;
    }
};

std::string logDir(const char* file) { return testLogDir() + "\\" + file; }
bool touch(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "wb");
    return f && !fclose(f);
}
HANDLE runningHost()
{
    const DWORD pid = lastHostPid(readFrom(logDir("qvtesthost.log"), 0));
    return pid ? OpenProcess(SYNCHRONIZE, FALSE, pid) : nullptr;
}
// Stops the test host through its stop file: the time until its process is gone, or ~0u.
DWORD stopHost(HANDLE host, DWORD timeoutMs = 40000)
{
    const DWORD t0 = GetTickCount();
    const bool gone = host && touch(logDir("qvtesthost.stop")) && WaitForSingleObject(host, timeoutMs) == WAIT_OBJECT_0;
    if (host) CloseHandle(host);
    DeleteFileA(logDir("qvtesthost.stop").c_str());
    return gone ? GetTickCount() - t0 : ~0u;
}

} // namespace

// Stop, restart in the same process, stop again: the second run's clients are told, and a
// client that connects or advises while that stop is under way is refused (or told).
TEST(ShutdownEdges, RestartedServerTellsOrRefusesEveryClientOfItsStop)
{
    if (testLogDir().empty()) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    static ShutdownSink first, slow, late;
    slow.hangMs = 1500; // keeps the stop in its broadcast while the others try
    Client a, b; // b advises only once the stop is under way
    ASSERT_EQ(a.connect(), S_OK);
    ASSERT_EQ(a.advise(&first), S_OK);
    const DWORD pid = lastHostPid(readFrom(logDir("qvtesthost.log"), 0));
    ASSERT_TRUE(hostCommands({"restart"}));
    EXPECT_EQ(WaitForSingleObject(first.event, 10000), WAIT_OBJECT_0) << "the first run's client not told";
    ASSERT_EQ(a.connect(), S_OK);
    EXPECT_EQ(lastHostPid(readFrom(logDir("qvtesthost.log"), 0)), pid) << "not the restarted host";
    ASSERT_EQ(a.advise(&slow), S_OK);
    ASSERT_EQ(b.connect(), S_OK);
    Ref<IClassFactory> factory;
    ASSERT_EQ(CoGetClassObject(CLSID_QvTestHost, CLSCTX_LOCAL_SERVER, nullptr, IID_IClassFactory, factory.out()), S_OK);
    HANDLE host = runningHost();
    ASSERT_TRUE(touch(logDir("qvtesthost.stop")));
    ASSERT_EQ(WaitForSingleObject(slow.event, 30000), WAIT_OBJECT_0) << "the second run's client not told";
    Ref<IUnknown> c;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IUnknown, c.out()), CO_E_SERVER_STOPPING);
    const HRESULT advised = b.advise(&late);
    if (advised == S_OK) EXPECT_EQ(WaitForSingleObject(late.event, 10000), WAIT_OBJECT_0) << "advised and never told";
    else EXPECT_EQ(advised, CO_E_SERVER_STOPPING);
    EXPECT_NE(stopHost(host), ~0u);
}

// One client hangs in ShutdownRequest: the other is told at once, and the stop ends within
// its bound (2 s for answers, 0.5 s for releases, 1 s for workers), not when the hung returns.
TEST(ShutdownEdges, SingleThreadedHostStopsWithinItsBoundDespiteAHungSink)
{
    if (testLogDir().empty()) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    static ShutdownSink hung, healthy;
    hung.hangMs = 60000;
    SetEnvironmentVariableA("QV_TESTHOST_STA", "1"); // the host COM starts inherits it
    Client a, b;
    const HRESULT connected = a.connect();
    SetEnvironmentVariableA("QV_TESTHOST_STA", nullptr);
    ASSERT_EQ(connected, S_OK);
    bool sta = false;
    lastHostPid(readFrom(logDir("qvtesthost.log"), 0), &sta);
    ASSERT_TRUE(sta) << "an earlier host still served";
    ASSERT_EQ(a.advise(&hung), S_OK);
    ASSERT_EQ(b.connect(), S_OK);
    ASSERT_EQ(b.advise(&healthy), S_OK);
    const DWORD t0 = GetTickCount();
    HANDLE host = runningHost();
    ASSERT_TRUE(touch(logDir("qvtesthost.stop")));
    EXPECT_EQ(WaitForSingleObject(healthy.event, 10000), WAIT_OBJECT_0);
    const DWORD told = GetTickCount() - t0;
    b.reset();
    const DWORD gone = stopHost(host, 30000);
    printf("  healthy client told after %lu ms, host gone after %lu ms\n", static_cast<unsigned long>(told),
           static_cast<unsigned long>(gone));
    // The guide's bound (7.5 s at most), with slack for a loaded machine.
    EXPECT_LT(told, 5000u) << "the healthy client was told late";
    EXPECT_LT(gone, 12500u) << "the stop waited for the hung client";
}

// A worker inside a slow callback when the stop comes sends ShutdownRequest as soon as that
// call returns, not after the rest of its pass (here a second slow callback that would pass
// the stop's 2 s bound).
TEST(ShutdownEdges, WorkerInsideAPassTellsItsClientBeforeTheRestOfThePass)
{
    if (testLogDir().empty()) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    static ShutdownSink told;
    static DataSink first, second, third;
    first.sleepMs = second.sleepMs = third.sleepMs = 1500;
    Client c;
    ASSERT_EQ(c.connect(), S_OK);
    ASSERT_EQ(c.advise(&told), S_OK);
    ASSERT_EQ(c.watch(L"Sim.Ramp", &first), S_OK);
    ASSERT_EQ(WaitForSingleObject(first.event, 10000), WAIT_OBJECT_0);
    // Both added while the worker sleeps in the first: its next pass calls them one after the other.
    ASSERT_EQ(c.watch(L"Sim.Ramp", &second), S_OK);
    ASSERT_EQ(c.watch(L"Sim.Ramp", &third), S_OK);
    ASSERT_EQ(WaitForSingleObject(second.event, 10000), WAIT_OBJECT_0);
    HANDLE host = runningHost();
    ASSERT_TRUE(touch(logDir("qvtesthost.stop")));
    EXPECT_EQ(WaitForSingleObject(told.event, 10000), WAIT_OBJECT_0) << "abandoned: the pass went on";
    EXPECT_EQ(third.calls.load(), 0) << "the pass went on after the stop reached it";
    c.reset();
    EXPECT_NE(stopHost(host), ~0u);
}

// A host that loaded the library itself stops while a client's OnDataChange sleeps and frees
// the library at once: it survives the call's return and hears nothing after the stop.
TEST(ShutdownEdges, HostFreesTheLibraryAfterTheStopWhileASinkSleeps)
{
    if (testLogDir().empty()) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    const std::string log = logDir("qvdynhost.log"), trace = logDir("qvdynhost.trace");
    DeleteFileA(log.c_str());
    DeleteFileA(trace.c_str());
    char exe[MAX_PATH];
    std::string path(exe, GetModuleFileNameA(nullptr, exe, MAX_PATH));
    path = path.substr(0, path.find_last_of('\\') + 1) + "qvdynhost.exe";
    STARTUPINFOA si{sizeof si};
    PROCESS_INFORMATION pi{};
    ASSERT_TRUE(CreateProcessA(path.c_str(), nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    CloseHandle(pi.hThread);
    for (int i = 0; i < 300 && readFrom(log, 0).find("serving") == std::string::npos; ++i) Sleep(50);
    static DataSink sleeper;
    sleeper.sleepMs = 8000; // the stop (about 3.5 s) returns and the library is freed meanwhile
    Client c;
    ASSERT_EQ(c.connect(CLSID_QvDynHost), S_OK);
    ASSERT_EQ(c.watch(L"Dyn.Ramp", &sleeper), S_OK);
    ASSERT_EQ(WaitForSingleObject(sleeper.event, 10000), WAIT_OBJECT_0);
    ASSERT_TRUE(touch(logDir("qvdynhost.stop")));
    EXPECT_EQ(WaitForSingleObject(pi.hProcess, 40000), WAIT_OBJECT_0);
    c.reset();
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    const std::string text = readFrom(log, 0);
    EXPECT_EQ(code, 0u) << text;
    EXPECT_NE(text.find("exit"), std::string::npos) << text;
    EXPECT_EQ(text.find("after the stop returned"), std::string::npos) << text;
    // Its CLSID is registered nowhere: its first mistake is said at start.
    EXPECT_NE(readFrom(trace, 0).find("is not registered as a local server"), std::string::npos);
}

// A local client rejecting every call for a while (a modal dialog) is alive and keeps its
// group. The host's grace for failing clients is lowered to 1 s (a test-only setting), so the
// 4 s of rejections would have cost the group under the 30 s rule.
TEST(ShutdownEdges, BusyLocalClientRejectingCallsKeepsItsGroups)
{
    if (testLogDir().empty()) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    const DWORD kRejectMs = 4000, kGraceMs = 1000;
    Client c;
    ASSERT_EQ(c.connect(), S_OK); // a running host for the commands
    ASSERT_TRUE(hostCommands({"env QV_TEST_UNREACHABLE_MS " + std::to_string(kGraceMs), "restart"}));
    static DataSink busy;
    busy.rejectUntil = GetTickCount() + kRejectMs;
    ASSERT_EQ(c.connect(), S_OK);
    ASSERT_EQ(c.watch(L"Sim.Ramp", &busy), S_OK);
    Sleep(kRejectMs);
    for (int i = 0; i < 100 && busy.accepted.load() == 0; ++i) Sleep(50);
    EXPECT_GT(busy.accepted.load(), 0) << "no report once the client was free again";
    Ref<IOPCGroupStateMgt> state;
    DWORD rate = 0;
    ASSERT_EQ(c.group->QueryInterface(IID_IOPCGroupStateMgt, state.out()), S_OK);
    EXPECT_EQ(state->SetState(nullptr, &rate, nullptr, nullptr, nullptr, nullptr, nullptr), S_OK);
    printf("  %d calls, %d accepted\n", busy.calls.load(), busy.accepted.load());
    HANDLE host = runningHost();
    c.reset();
    EXPECT_NE(stopHost(host), ~0u);
}

// The IOPCShutdown connection point through COM: a client's sink hears ShutdownRequest when
// the host stops the server, disconnects, and the host's stop completes. The host exits
// afterwards; later tests get a new one from COM.
#include "ComRef.h"
#include "HostActivation.h"
#include "HostCommands.h"
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

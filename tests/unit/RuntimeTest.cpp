#include "TestSupport.h"
#include <atomic>
#include <thread>
#include "qvopc.h"
#include "qvsrvkit.h"
#include "runtime/Registration.h"
#include "runtime/ClassFactory.h"
#include "runtime/UpdateClock.h"
#include "base/GuidText.h"
#include "base/CallOut.h"
#include "server/OPCServer.h"

using namespace qv;

namespace {

// {0D1E2F30-4151-4A6B-8C9D-0E1F2A3B4C01}: only ever registered by these tests.
const CLSID kTestClsid = {0x0d1e2f30, 0x4151, 0x4a6b, {0x8c, 0x9d, 0x0e, 0x1f, 0x2a, 0x3b, 0x4c, 0x01}};
const CLSID kShortClsid = {0x00abc, 0x1, 0x2, {0, 0, 0, 0, 0, 0, 0, 9}};

std::string regValue(const std::string& key, const char* name)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return "<no key>";
    char buf[512] = {0};
    DWORD size = sizeof buf, type = 0;
    LONG rc = RegQueryValueExA(h, name, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return "<no value>";
    return type == REG_SZ ? std::string(buf) : "<not REG_SZ>";
}

bool keyExists(const std::string& key)
{
    HKEY h;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS) return false;
    RegCloseKey(h);
    return true;
}

std::atomic<int> g_lastCount{-1};
void WINAPI onDisconnect(DWORD n) { g_lastCount = static_cast<int>(n); }

} // namespace

TEST(GuidText, ParsesEitherCaseAndFormatsZeroPadded)
{
    CLSID a, b;
    ASSERT_TRUE(parseGuidText("{0d1e2f30-4151-4a6b-8c9d-0e1f2a3b4c01}", &a));
    ASSERT_TRUE(parseGuidText("{0D1E2F30-4151-4A6B-8C9D-0E1F2A3B4C01}", &b));
    EXPECT_TRUE(IsEqualCLSID(a, b));
    EXPECT_TRUE(IsEqualCLSID(a, kTestClsid));
    char text[39];
    formatGuidText(kShortClsid, text);
    EXPECT_STREQ(text, "{00000abc-0001-0002-0000-000000000009}");
    CLSID c;
    EXPECT_FALSE(parseGuidText("not a guid", &c));
    EXPECT_FALSE(parseGuidText("{0d1e2f30-4151-4a6b-8c9d}", &c));
    EXPECT_FALSE(parseGuidText(nullptr, &c));
    EXPECT_FALSE(QV_InitOpcServerS("garbage", 100));
    EXPECT_FALSE(QV_RegistryS("garbage", "X", "Y", "Z"));
}

TEST(Registration, WritesAndRemovesTheLayout)
{
    const std::string g = "{0d1e2f30-4151-4a6b-8c9d-0e1f2a3b4c01}";
    const char* progId = "QvSrvKit.UnitTest.1";
    QV_Unregister(&kTestClsid, progId);
    ASSERT_TRUE(QV_Registry(&kTestClsid, progId, "Unit test server", "C:\\test\\host.exe"));
    ASSERT_TRUE(QV_Registry(&kTestClsid, progId, "Unit test server", "C:\\test\\host.exe")); // idempotent
    EXPECT_EQ(regValue(progId, nullptr), "Unit test server");
    EXPECT_EQ(regValue(std::string(progId) + "\\CLSID", nullptr), g);
    EXPECT_EQ(regValue(std::string(progId) + "\\OPC\\Vendor", nullptr), "Quvex CO.");
    EXPECT_EQ(regValue("AppID\\" + g, nullptr), "Unit test server");
    EXPECT_EQ(regValue("CLSID\\" + g, nullptr), "Unit test server");
    EXPECT_EQ(regValue("CLSID\\" + g, "AppID"), g);
    EXPECT_TRUE(keyExists("CLSID\\" + g + "\\Implemented Categories\\{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}"));
    EXPECT_TRUE(keyExists("CLSID\\" + g + "\\Implemented Categories\\{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}"));
    EXPECT_EQ(regValue("CLSID\\" + g + "\\LocalServer32", nullptr), "C:\\test\\host.exe");
    EXPECT_EQ(regValue("CLSID\\" + g + "\\ProgID", nullptr), progId);
    EXPECT_EQ(regValue("CLSID\\" + g + "\\VersionIndependentProgID", nullptr), "QvSrvKit.UnitTest");
    EXPECT_EQ(regValue("QvSrvKit.UnitTest\\CurVer", nullptr), progId);
    EXPECT_EQ(regValue("QvSrvKit.UnitTest\\CLSID", nullptr), g);

    ASSERT_TRUE(QV_AsNTService("QvUnitSvc")); // uses the CLSID remembered by QV_Registry
    EXPECT_EQ(regValue("AppID\\" + g, "LocalService"), "QvUnitSvc");
    EXPECT_EQ(regValue("AppID\\" + g, "ServiceParameters"), "-Service");

    ASSERT_TRUE(QV_Unregister(&kTestClsid, progId));
    EXPECT_FALSE(keyExists(progId));
    EXPECT_FALSE(keyExists("QvSrvKit.UnitTest"));
    EXPECT_FALSE(keyExists("CLSID\\" + g));
    EXPECT_FALSE(keyExists("AppID\\" + g));
    EXPECT_FALSE(QV_Unregister(&kTestClsid, progId)); // never registered now: nothing to do
    EXPECT_FALSE(QV_Registry(&kTestClsid, "", "x", "y")); // an empty ProgID would write HKCR itself
}

TEST(Registration, LongTextsAreCut)
{
    const std::string g = "{0d1e2f30-4151-4a6b-8c9d-0e1f2a3b4c01}";
    std::string desc(150, 'd'), path(450, 'p');
    ASSERT_TRUE(QV_Registry(&kTestClsid, "QvSrvKit.UnitTest.2", desc.c_str(), path.c_str()));
    EXPECT_EQ(regValue("CLSID\\" + g, nullptr).size(), 100u);
    EXPECT_EQ(regValue("CLSID\\" + g + "\\LocalServer32", nullptr).size(), 400u);
    EXPECT_TRUE(QV_Unregister(&kTestClsid, "QvSrvKit.UnitTest.2"));
}

TEST(ClassFactory, RefusesAggregationAndClientsWhenStopped)
{
    ClassFactoryImpl f;
    IUnknown* unk = reinterpret_cast<IUnknown*>(0x1);
    void* out = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(f.CreateInstance(unk, IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    ASSERT_FALSE(App().started.load());
    EXPECT_EQ(f.CreateInstance(nullptr, IID_IUnknown, &out), E_FAIL);
    EXPECT_EQ(f.QueryInterface(IID_IClassFactory, nullptr), E_INVALIDARG);
    EXPECT_EQ(f.QueryInterface(IID_IOPCServer, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(f.LockServer(TRUE), S_OK);
    EXPECT_EQ(f.LockServer(FALSE), S_OK);
}

TEST(ServerObject, QueryInterfaceRules)
{
    OPCServer* s = qvtest::newServer();
    IUnknown* a = nullptr;
    IUnknown* b = nullptr;
    EXPECT_EQ(s->QueryInterface(IID_IUnknown, nullptr), E_INVALIDARG);
    ASSERT_EQ(s->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&a)), S_OK);
    ASSERT_EQ(s->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&b)), S_OK);
    EXPECT_EQ(a, b);
    EXPECT_EQ(s->refCount.load(), 2);
    void* none = reinterpret_cast<void*>(0x1);
    EXPECT_EQ(s->QueryInterface(IID_IOPCServerPublicGroups, &none), E_NOINTERFACE);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(s->QueryInterface(IID_IPersistFile, &none), E_NOINTERFACE);
    EXPECT_EQ(s->QueryInterface(IID_IPersist, &none), E_NOINTERFACE);
    // The container answers IUnknown itself; the server's IUnknown is the server.
    IUnknown* viaContainer = nullptr;
    ASSERT_EQ(a->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaContainer)), S_OK);
    EXPECT_EQ(viaContainer, a);
    viaContainer->Release();
    IConnectionPointContainer* cpc = static_cast<IConnectionPointContainer*>(static_cast<void*>(a));
    IConnectionPoint* cp = nullptr;
    EXPECT_EQ(cpc->FindConnectionPoint(IID_IOPCDataCallback, &cp), E_NOINTERFACE);
    ASSERT_EQ(cpc->FindConnectionPoint(IID_IOPCShutdown, &cp), S_OK);
    IEnumConnectionPoints* en = nullptr;
    ASSERT_EQ(cpc->EnumConnectionPoints(&en), S_OK);
    IConnectionPoint* got = nullptr;
    ULONG n = 0;
    EXPECT_EQ(en->Next(1, &got, &n), S_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(got, cp);
    got->Release();
    EXPECT_EQ(en->Next(1, &got, &n), S_FALSE);
    en->Reset();
    EXPECT_EQ(en->Next(1, &got, nullptr), S_OK);
    got->Release();
    en->Release();
    EXPECT_EQ(cp->Unadvise(1), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(cp->Advise(nullptr, nullptr), E_POINTER);
    // An object without IOPCShutdown cannot be advised.
    EXPECT_EQ(cp->Advise(static_cast<IUnknown*>(s), reinterpret_cast<DWORD*>(&n)), CONNECT_E_CANNOTCONNECT);
    cp->Release();
    b->Release();
    EXPECT_EQ(s->refCount.load(), 1);
    // Last release: not in the client list, so nothing else happens; we free it ourselves.
    EXPECT_EQ(a->Release(), 0u);
    qvtest::deleteServer(s);
}

TEST(Lifetime, StartCreateReleaseStop)
{
    OPCServerApp& app = App();
    QV_EnableDisconnectNotification(onDisconnect);
    EXPECT_EQ(QV_GetClientCounts(), 0);
    ASSERT_TRUE(QV_InitOpcServer(&kTestClsid, 5));
    EXPECT_EQ(app.updatePeriod.load(), 10u);
    EXPECT_FALSE(QV_InitOpcServer(&kTestClsid, 0)); // already running
    EXPECT_EQ(app.comInitialised, 1);

    ClassFactoryImpl f;
    IUnknown* c1 = nullptr;
    IUnknown* c2 = nullptr;
    ASSERT_EQ(f.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&c1)), S_OK);
    ASSERT_EQ(f.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&c2)), S_OK);
    EXPECT_EQ(QV_GetClientCounts(), 2);
    EXPECT_EQ(app.liveWorkers.load(), 2);
    void* bad = nullptr;
    EXPECT_EQ(f.CreateInstance(nullptr, IID_IOPCServerPublicGroups, &bad), E_NOINTERFACE);
    EXPECT_EQ(app.liveWorkers.load(), 2); // no thread for a refused client
    EXPECT_EQ(c1->Release(), 0u);
    EXPECT_EQ(g_lastCount.load(), 1);
    EXPECT_EQ(c2->Release(), 0u);
    EXPECT_EQ(g_lastCount.load(), 0);
    for (int i = 0; i < 500 && app.liveWorkers.load() > 0; ++i) Sleep(10);
    EXPECT_EQ(app.liveWorkers.load(), 0); // workers ended and freed their servers

    EXPECT_TRUE(QV_UnInitOpcServer());
    EXPECT_FALSE(app.started.load());
    IUnknown* late = nullptr;
    EXPECT_EQ(f.CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&late)), E_FAIL);
    QV_EnableDisconnectNotification(nullptr);
    // Restart after a stop works.
    ASSERT_TRUE(QV_InitOpcServer(&kTestClsid, 0));
    EXPECT_EQ(app.updatePeriod.load(), 500u);
    EXPECT_TRUE(QV_UnInitOpcServer());
    // Stop restored the apartment count it added; the test's own MTA membership remains.
    openHostCalls(); // the stop closed them; later in-process tests stand where a started server would
}

TEST(Lifetime, SingleThreadedHostUsesTheCallerTimer)
{
    OPCServerApp& app = App();
    std::atomic<bool> ok{false};
    std::thread t([&] {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (QV_InitOpcServer(&kTestClsid, 20)) {
            bool callerMode = app.comInitialised == 0 && Clock().callerTimer() != 0 && Clock().thread() == nullptr;
            // The timer runs from this thread's message loop.
            MSG msg;
            DWORD until = GetTickCount() + 100;
            while (static_cast<LONG>(until - GetTickCount()) > 0)
                if (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
            QV_UnInitOpcServer();
            // Still in our STA: a second CoInitialize reports S_FALSE.
            HRESULT again = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            if (SUCCEEDED(again)) CoUninitialize();
            ok = callerMode && again == S_FALSE && Clock().callerTimer() == 0;
        }
        CoUninitialize();
    });
    t.join();
    openHostCalls();
    EXPECT_TRUE(ok.load());
}

// The COM runtime as a client meets it: the host launched by COM, one server object per
// client, through our proxy/stub.
#include "ComRef.h"
#include "HostActivation.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <ocidl.h>
#include <olectl.h>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

TEST(RuntimeClient, CreatesByClsidAndByProgId)
{
    Ref<IUnknown> a, b;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, a.out()), S_OK);
    CLSID fromProgId;
    ASSERT_EQ(CLSIDFromProgID(QV_TESTHOST_PROGIDW, &fromProgId), S_OK);
    EXPECT_TRUE(IsEqualCLSID(fromProgId, CLSID_QvTestHost));
    ASSERT_EQ(activateTestHost(fromProgId, IID_IUnknown, b.out()), S_OK);
    // Each client has its own server object.
    EXPECT_NE(a.p, b.p);
}

TEST(RuntimeClient, QueryInterfaceAcrossProcesses)
{
    Ref<IUnknown> s;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, s.out()), S_OK);
    Ref<IUnknown> none;
    EXPECT_EQ(s.p->QueryInterface(IID_IOPCServerPublicGroups, none.out()), E_NOINTERFACE);
    EXPECT_EQ(none.p, nullptr);
    EXPECT_EQ(s.p->QueryInterface(IID_IPersistFile, none.out()), E_NOINTERFACE);

    Ref<IConnectionPointContainer> cpc;
    ASSERT_EQ(s.p->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    Ref<IConnectionPoint> cp;
    EXPECT_EQ(cpc.p->FindConnectionPoint(IID_IOPCDataCallback, reinterpret_cast<IConnectionPoint**>(cp.out())),
              E_NOINTERFACE);
    ASSERT_EQ(cpc.p->FindConnectionPoint(IID_IOPCShutdown, reinterpret_cast<IConnectionPoint**>(cp.out())), S_OK);
    IID iid;
    ASSERT_EQ(cp.p->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(IsEqualIID(iid, IID_IOPCShutdown));
    EXPECT_EQ(cp.p->Unadvise(1), CONNECT_E_NOCONNECTION);
}

TEST(RuntimeClient, ManyClientsComeAndGo)
{
    // Each connection gets its own worker in the host; all of them end cleanly.
    for (int round = 0; round < 3; ++round) {
        Ref<IUnknown> c[4];
        for (auto& r : c)
            ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, r.out()), S_OK);
    }
    Ref<IUnknown> again;
    EXPECT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, again.out()), S_OK);
}

TEST(RuntimeClient, EnumeratorNextAcrossProcessesReportsOnlyWhatCame)
{
    Ref<IUnknown> s;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, s.out()), S_OK);
    Ref<IConnectionPointContainer> cpc;
    ASSERT_EQ(s.p->QueryInterface(IID_IConnectionPointContainer, cpc.out()), S_OK);
    Ref<IEnumConnectionPoints> en;
    ASSERT_EQ(cpc.p->EnumConnectionPoints(reinterpret_cast<IEnumConnectionPoints**>(en.out())), S_OK);
    IConnectionPoint* got[5] = {};
    ULONG fetched = 0;
    // One point exists: a short batch must say so, or the stub reports five.
    EXPECT_EQ(en.p->Next(5, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 1u);
    ASSERT_NE(got[0], nullptr);
    EXPECT_EQ(got[1], nullptr);
    got[0]->Release();
}

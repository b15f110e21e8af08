// The server browser (OPC.ServerList.1, QvOpcEnum.exe) through COM: category queries that
// match none, one and several servers, required categories, class details, ProgIDs.
#include "ComRef.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <algorithm>
#include <string>
#include <vector>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace {

// Two classes of our own in the registry: A implements DA 2.0 and A&E; B implements DA 2.0
// and requires a category no client names.
const CLSID kA = {0x5e1f0a01, 0x7c2b, 0x4d3e, {0x9a, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x01}};
const CLSID kB = {0x5e1f0a01, 0x7c2b, 0x4d3e, {0x9a, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02}};
const CATID kOdd = {0x5e1f0a01, 0x7c2b, 0x4d3e, {0x9a, 0x10, 0x11, 0x22, 0x33, 0x44, 0x55, 0x0f}};

std::wstring text(const GUID& g)
{
    wchar_t b[40];
    StringFromGUID2(g, b, 40);
    return b;
}

void setKey(const std::wstring& key, const wchar_t* value = nullptr, const wchar_t* name = nullptr)
{
    HKEY k;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr), 0);
    if (value)
        RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value), DWORD((wcslen(value) + 1) * 2));
    RegCloseKey(k);
}

class ServerListClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::wstring a = L"CLSID\\" + text(kA), b = L"CLSID\\" + text(kB);
        setKey(a, L"Listed A");
        setKey(a + L"\\ProgID", L"QvSrvKit.ListedA.1");
        setKey(a + L"\\VersionIndependentProgID", L"QvSrvKit.ListedA");
        setKey(a + L"\\Implemented Categories\\" + text(CATID_OPCDAServer20));
        setKey(a + L"\\Implemented Categories\\" + text(CATID_OPCAEServer10));
        setKey(L"QvSrvKit.ListedA.1\\CLSID", text(kA).c_str());
        setKey(L"QvSrvKit.ListedA\\CurVer", L"QvSrvKit.ListedA.1");
        setKey(b + L"\\Implemented Categories\\" + text(CATID_OPCDAServer20));
        setKey(b + L"\\Required Categories\\" + text(kOdd));
        ASSERT_EQ(CoCreateInstance(CLSID_OPCServerList, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServerList2, list2.out()), S_OK);
        ASSERT_EQ(list2->QueryInterface(IID_IOPCServerList, list1.out()), S_OK);
    }
    void TearDown() override
    {
        list1.reset();
        list2.reset();
        for (const wchar_t* k : {L"QvSrvKit.ListedA.1", L"QvSrvKit.ListedA"}) RegDeleteTreeW(HKEY_CLASSES_ROOT, k);
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + text(kA)).c_str());
        RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + text(kB)).c_str());
    }
    // Every class of both interfaces' answers (they must agree).
    std::vector<CLSID> classes(std::vector<CATID> impl, std::vector<CATID> req = {})
    {
        // An empty list goes as NULL with a count of 0, as clients pass it (the arrays must marshal so).
        const ULONG ni = ULONG(impl.size()), nr = ULONG(req.size());
        CATID* pi = ni ? impl.data() : nullptr;
        CATID* pr = nr ? req.data() : nullptr;
        Ref<IOPCEnumGUID> e2;
        Ref<IEnumGUID> e1;
        EXPECT_EQ(list2->EnumClassesOfCategories(ni, pi, nr, pr, e2.put()), S_OK);
        EXPECT_EQ(list1->EnumClassesOfCategories(ni, pi, nr, pr, e1.put()), S_OK);
        std::vector<CLSID> got, got1;
        GUID g[3];
        ULONG n = 0;
        for (HRESULT hr = S_OK; e2 && hr == S_OK;) {
            hr = e2->Next(3, g, &n);
            got.insert(got.end(), g, g + n);
        }
        while (e1 && e1->Next(1, g, &n) == S_OK) got1.push_back(g[0]);
        EXPECT_EQ(got.size(), got1.size());
        return got;
    }
    static bool has(const std::vector<CLSID>& v, const CLSID& c)
    {
        return std::any_of(v.begin(), v.end(), [&](const CLSID& x) { return IsEqualGUID(x, c); });
    }
    Ref<IOPCServerList2> list2;
    Ref<IOPCServerList> list1;
};

} // namespace

TEST_F(ServerListClient, CategoriesMatchNoneOneOrSeveral)
{
    EXPECT_TRUE(classes({kOdd}).empty());
    EXPECT_TRUE(classes({}).empty());

    auto da3 = classes({CATID_OPCDAServer30});
    EXPECT_TRUE(has(da3, CLSID_QvTestHost));
    EXPECT_FALSE(has(da3, kA));

    auto several = classes({CATID_OPCDAServer30, CATID_OPCAEServer10});
    EXPECT_TRUE(has(several, CLSID_QvTestHost));
    EXPECT_TRUE(has(several, kA));
    // Each class once, though A matches twice.
    EXPECT_EQ(std::count_if(several.begin(), several.end(), [](const CLSID& c) { return IsEqualGUID(c, kA); }), 1);

    // B requires a category the client does not name, until it names it.
    auto da2 = classes({CATID_OPCDAServer20});
    EXPECT_TRUE(has(da2, kA));
    EXPECT_FALSE(has(da2, kB));
    EXPECT_TRUE(has(classes({CATID_OPCDAServer20}, {kOdd}), kB));
}

TEST_F(ServerListClient, EnumeratorSkipResetClone)
{
    CATID cats[] = {CATID_OPCDAServer20, CATID_OPCDAServer30};
    Ref<IOPCEnumGUID> e;
    ASSERT_EQ(list2->EnumClassesOfCategories(2, cats, 0, cats, e.put()), S_OK);
    GUID g[8];
    ULONG n = 0;
    ASSERT_EQ(e->Next(8, g, &n), S_FALSE); // the test host and A
    ASSERT_GE(n, 2u);
    const ULONG total = n;
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(1), S_OK);
    Ref<IOPCEnumGUID> c;
    ASSERT_EQ(e->Clone(c.put()), S_OK);
    GUID first;
    ASSERT_EQ(c->Next(1, &first, &n), S_OK);
    EXPECT_TRUE(IsEqualGUID(first, g[1]));
    EXPECT_EQ(e->Skip(total), S_FALSE);
    EXPECT_EQ(e->Next(1, &first, &n), S_FALSE);
    EXPECT_EQ(n, 0u);
}

TEST_F(ServerListClient, ClassDetailsAndProgIds)
{
    LPWSTR prog = nullptr, type = nullptr, ver = nullptr;
    ASSERT_EQ(list2->GetClassDetails(kA, &prog, &type, &ver), S_OK);
    EXPECT_STREQ(prog, L"QvSrvKit.ListedA.1");
    EXPECT_STREQ(type, L"Listed A");
    EXPECT_STREQ(ver, L"QvSrvKit.ListedA");
    for (LPWSTR s : {prog, type, ver}) CoTaskMemFree(s);
    ASSERT_EQ(list1->GetClassDetails(CLSID_QvTestHost, &prog, &type), S_OK);
    EXPECT_STREQ(prog, QV_TESTHOST_PROGIDW);
    for (LPWSTR s : {prog, type}) CoTaskMemFree(s);
    prog = type = ver = nullptr;
    EXPECT_EQ(list2->GetClassDetails(kOdd, &prog, &type, &ver), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(prog, nullptr);

    CLSID c = GUID_NULL;
    EXPECT_EQ(list2->CLSIDFromProgID(QV_TESTHOST_PROGIDW, &c), S_OK);
    EXPECT_TRUE(IsEqualGUID(c, CLSID_QvTestHost));
    EXPECT_EQ(list1->CLSIDFromProgID(L"QvSrvKit.ListedA", &c), S_OK); // through CurVer
    EXPECT_TRUE(IsEqualGUID(c, kA));
    EXPECT_EQ(list2->CLSIDFromProgID(L"No.Such.Server.1", &c), CO_E_CLASSSTRING);
    EXPECT_TRUE(IsEqualGUID(c, GUID_NULL));
}

// Browsing and item properties as a client meets them through COM, against the test host's
// tags, without adding any item to a group first.
#include "ComRef.h"
#include "HostActivation.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <string>
#include <vector>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace {

using Strings = std::vector<std::wstring>;

Strings drain(IEnumString* e)
{
    Strings out;
    LPOLESTR s = nullptr;
    ULONG n = 0;
    while (e->Next(1, &s, &n) == S_OK && n == 1 && s) {
        out.push_back(s);
        CoTaskMemFree(s);
    }
    return out;
}

// Other tests may create tags in the same host; the host's own tags come first, in
// creation order.
::testing::AssertionResult startsWith(const Strings& got, const Strings& want)
{
    bool ok = got.size() >= want.size();
    for (size_t i = 0; ok && i < want.size(); ++i) ok = got[i] == want[i];
    if (ok) return ::testing::AssertionSuccess();
    auto r = ::testing::AssertionFailure() << "got:";
    for (auto& s : got) r << " [" << std::string(s.begin(), s.end()) << "]";
    return r;
}

class BrowseClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, server.out()), S_OK);
        ASSERT_EQ(server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.out()), S_OK);
    }
    Strings list(OPCBROWSETYPE type, const wchar_t* filter = L"", VARTYPE vt = VT_EMPTY, DWORD rights = 0)
    {
        Ref<IEnumString> e;
        EXPECT_EQ(browse->BrowseOPCItemIDs(type, filter, vt, rights, reinterpret_cast<IEnumString**>(e.out())), S_OK);
        return e.p ? drain(e.p) : Strings();
    }
    std::wstring itemId(const wchar_t* leaf)
    {
        LPWSTR id = nullptr;
        EXPECT_EQ(browse->GetItemID(const_cast<LPWSTR>(leaf), &id), S_OK);
        std::wstring s = id ? id : L"";
        CoTaskMemFree(id);
        return s;
    }
    Ref<IUnknown> server;
    Ref<IOPCBrowseServerAddressSpace> browse;
};

} // namespace

TEST_F(BrowseClient, WalksTheHostsTree)
{
    OPCNAMESPACETYPE org = OPC_NS_FLAT;
    ASSERT_EQ(browse->QueryOrganization(&org), S_OK);
    EXPECT_EQ(org, OPC_NS_HIERARCHIAL);

    EXPECT_TRUE(startsWith(list(OPC_BRANCH), {L"Plant", L"Sim", L"Ctl"}));
    EXPECT_TRUE(startsWith(list(OPC_LEAF), {L"Tank1"}));
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), E_FAIL);

    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Plant"), S_OK);
    EXPECT_EQ(list(OPC_BRANCH), Strings{L"Line"});
    EXPECT_TRUE(startsWith(list(OPC_LEAF), {L"Refuse"}));
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Plant.Line"), S_OK);
    EXPECT_TRUE(startsWith(list(OPC_LEAF), {L"Flow", L"Level", L"Count", L"Status", L"Running"}));
    EXPECT_EQ(list(OPC_LEAF, L"*Lev?l"), Strings{L"Level"});
    EXPECT_TRUE(list(OPC_LEAF, L"Level").empty()); // the filter sees the full name
    EXPECT_EQ(list(OPC_LEAF, L"*", VT_BOOL), Strings{L"Running"});
    EXPECT_EQ(list(OPC_LEAF, L"*[CF]*", VT_EMPTY, 3), (Strings{L"Flow", L"Count"}));
    EXPECT_EQ(list(OPC_LEAF, L"", VT_EMPTY, 1), Strings{L"Level"});
    EXPECT_EQ(itemId(L"Flow"), L"Plant.Line.Flow");
    EXPECT_EQ(itemId(L""), L"Plant.Line");
    LPWSTR none = nullptr;
    EXPECT_EQ(browse->GetItemID(const_cast<LPWSTR>(L"Nope"), &none), OPC_E_INVALIDITEMID);
    EXPECT_EQ(none, nullptr);

    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Sim"), S_OK);
    EXPECT_EQ(itemId(L"Ramp"), L"Sim.Ramp");
    EXPECT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L""), E_FAIL);
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_UP, L""), S_OK);
    EXPECT_TRUE(startsWith(list(OPC_FLAT, L"Plant.*"), {L"Plant.Line.Flow", L"Plant.Line.Level", L"Plant.Line.Count",
                                                       L"Plant.Line.Status", L"Plant.Line.Running", L"Plant.Refuse"}));

    Ref<IEnumString> paths;
    EXPECT_EQ(browse->BrowseAccessPaths(L"Tank1", reinterpret_cast<IEnumString**>(paths.out())), E_NOTIMPL);
}

TEST_F(BrowseClient, ReadsPropertiesOfATagNeverAdded)
{
    Ref<IOPCItemProperties> props;
    ASSERT_EQ(server->QueryInterface(IID_IOPCItemProperties, props.out()), S_OK);

    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(props->QueryAvailableProperties(const_cast<LPWSTR>(L"Plant.Line.Flow"), &count, &ids, &texts, &types),
              S_OK);
    ASSERT_EQ(count, 7u);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(std::wstring(texts[0]), L"Item Canonical Data Type");
    EXPECT_EQ(types[1], VT_R8);
    EXPECT_EQ(types[3], VT_DATE);
    EXPECT_EQ(ids[6], 100u);
    EXPECT_EQ(std::wstring(texts[6]), L"EU Units");
    EXPECT_EQ(types[6], VT_BSTR);
    for (DWORD i = 0; i < count; ++i) CoTaskMemFree(texts[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(texts);
    CoTaskMemFree(types);

    DWORD want[] = {1, 2, 5, 6, 100, 7, 4};
    VARIANT* values = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(props->GetItemProperties(const_cast<LPWSTR>(L"Plant.Line.Flow"), 7, want, &values, &errors), S_OK);
    EXPECT_EQ(V_VT(&values[0]), VT_I2);
    EXPECT_EQ(V_I2(&values[0]), VT_R8);
    EXPECT_EQ(V_VT(&values[1]), VT_R8);
    EXPECT_EQ(V_I4(&values[2]), 3);
    EXPECT_EQ(V_R4(&values[3]), 100.0f); // the test host's update period
    ASSERT_EQ(V_VT(&values[4]), VT_BSTR);
    EXPECT_EQ(std::wstring(V_BSTR(&values[4])), L"litres per minute");
    EXPECT_EQ(errors[5], OPC_E_INVALID_PID);
    EXPECT_EQ(V_VT(&values[5]), VT_EMPTY);
    EXPECT_EQ(V_VT(&values[6]), VT_DATE);
    for (int i = 0; i < 7; ++i) {
        if (i != 5) {
            EXPECT_EQ(errors[i], S_OK) << i;
        }
        VariantClear(&values[i]);
    }
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    DWORD five = 5;
    ASSERT_EQ(props->GetItemProperties(const_cast<LPWSTR>(L"Plant.Line.Level"), 1, &five, &values, &errors), S_OK);
    EXPECT_EQ(V_I4(&values[0]), 1); // read only
    CoTaskMemFree(values);
    CoTaskMemFree(errors);

    LPWSTR* newIds = nullptr;
    ASSERT_EQ(props->LookupItemIDs(const_cast<LPWSTR>(L"Plant.Line.Flow"), 1, &five, &newIds, &errors), S_FALSE);
    EXPECT_EQ(newIds[0], nullptr);
    EXPECT_EQ(errors[0], S_FALSE);
    CoTaskMemFree(newIds);
    CoTaskMemFree(errors);

    EXPECT_EQ(props->QueryAvailableProperties(const_cast<LPWSTR>(L"Flow"), &count, &ids, &texts, &types),
              OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(props->GetItemProperties(const_cast<LPWSTR>(L"Plant.Line.Flow"), 0, &five, &values, &errors),
              E_INVALIDARG);
}

// A batch larger than what is left gets only real strings and S_FALSE: the standard
// IEnumString stub trusts S_OK to mean that every slot was filled.
TEST_F(BrowseClient, BatchNextGetsOnlyRealStrings)
{
    ASSERT_EQ(browse->ChangeBrowsePosition(OPC_BROWSE_TO, L"Plant.Line"), S_OK);
    Ref<IEnumString> e;
    ASSERT_EQ(browse->BrowseOPCItemIDs(OPC_LEAF, L"", VT_EMPTY, 0, reinterpret_cast<IEnumString**>(e.out())), S_OK);
    LPOLESTR batch[50] = {};
    ULONG n = 0;
    HRESULT hr = e->Next(50, batch, &n);
    EXPECT_EQ(hr, S_FALSE);
    ASSERT_GE(n, 5u);
    ASSERT_LT(n, 50u);
    for (ULONG i = 0; i < n; ++i) {
        EXPECT_NE(batch[i], nullptr) << i;
        CoTaskMemFree(batch[i]);
    }
}

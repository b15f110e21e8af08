// IOPCItemProperties in-process: property lists, values, LookupItemIDs, argument checks.
#include <string>
#include <vector>
#include "TestSupport.h"
#include "qvopc.h"
#include "server/OPCServer.h"

using namespace qv;

namespace {

std::wstring w(LPCWSTR s) { return s ? std::wstring(s) : std::wstring(); }

class Properties : public qvtest::StoreTest {
protected:
    void SetUp() override
    {
        StoreTest::SetUp();
        server_ = qvtest::newServer();
        ASSERT_EQ(server_->QueryInterface(IID_IOPCItemProperties, reinterpret_cast<void**>(&p_)), S_OK);
        flow_ = App().tags.create("Line1.Flow", qvtest::vR4(2.5f), 0xC0, false);
        valve_ = App().tags.create("Line1.Valve", qvtest::vI4(1), 0x40, true);
        ASSERT_NE(flow_, kInvalidTagHandle);
        ASSERT_NE(valve_, kInvalidTagHandle);
    }
    void TearDown() override
    {
        if (p_) p_->Release();
        qvtest::deleteServer(server_);
        StoreTest::TearDown();
    }
    OPCServer* server_ = nullptr;
    IOPCItemProperties* p_ = nullptr;
    DWORD flow_ = 0, valve_ = 0;
};

struct PropertyList {
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* texts = nullptr;
    VARTYPE* types = nullptr;
    ~PropertyList()
    {
        for (DWORD i = 0; texts && i < count; ++i) CoTaskMemFree(texts[i]);
        CoTaskMemFree(ids);
        CoTaskMemFree(texts);
        CoTaskMemFree(types);
    }
};

struct Values {
    DWORD count;
    VARIANT* v = nullptr;
    HRESULT* e = nullptr;
    explicit Values(DWORD n) : count(n) {}
    ~Values()
    {
        for (DWORD i = 0; v && i < count; ++i) VariantClear(&v[i]);
        CoTaskMemFree(v);
        CoTaskMemFree(e);
    }
};

} // namespace

TEST_F(Properties, StandardList)
{
    PropertyList l;
    ASSERT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"Line1.Flow"), &l.count, &l.ids, &l.texts, &l.types),
              S_OK);
    ASSERT_EQ(l.count, 6u);
    const wchar_t* texts[6] = {L"Item Canonical Data Type", L"Item Value", L"Item Quality",
                               L"Item Timestamp", L"Item Access Rights", L"Server Scan Rate"};
    const VARTYPE types[6] = {VT_I2, VT_R4, VT_I2, VT_DATE, VT_I4, VT_R4};
    for (DWORD i = 0; i < 6; ++i) {
        EXPECT_EQ(l.ids[i], i + 1);
        EXPECT_EQ(w(l.texts[i]), texts[i]);
        EXPECT_EQ(l.types[i], types[i]);
    }
}

TEST_F(Properties, CustomPropertyAndInvalidIds)
{
    VARIANT units = qvtest::vStr(L"litres per minute");
    ASSERT_TRUE(App().tags.setCustomProperty(flow_, 5000, "EU Units", units));
    VariantClear(&units);

    PropertyList l;
    ASSERT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"Line1.Flow"), &l.count, &l.ids, &l.texts, &l.types),
              S_OK);
    ASSERT_EQ(l.count, 7u);
    EXPECT_EQ(l.ids[6], 5000u);
    EXPECT_EQ(w(l.texts[6]), L"EU Units");
    EXPECT_EQ(l.types[6], VT_BSTR);

    DWORD ids[] = {6, 5000, 7, 0, 1, 2, 3, 5};
    Values r(8);
    const DWORD period = App().updatePeriod.exchange(250);
    ASSERT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Flow"), 8, ids, &r.v, &r.e), S_OK);
    EXPECT_EQ(r.e[0], S_OK);
    EXPECT_EQ(V_VT(&r.v[0]), VT_R4);
    App().updatePeriod = period;
    EXPECT_EQ(V_R4(&r.v[0]), 250.0f); // the server's update period
    EXPECT_EQ(r.e[1], S_OK);
    ASSERT_EQ(V_VT(&r.v[1]), VT_BSTR);
    EXPECT_EQ(w(V_BSTR(&r.v[1])), L"litres per minute");
    EXPECT_EQ(r.e[2], OPC_E_INVALID_PID);
    EXPECT_EQ(V_VT(&r.v[2]), VT_EMPTY);
    EXPECT_EQ(r.e[3], OPC_E_INVALID_PID);
    EXPECT_EQ(V_VT(&r.v[3]), VT_EMPTY);
    EXPECT_EQ(V_VT(&r.v[4]), VT_I2);
    EXPECT_EQ(V_I2(&r.v[4]), VT_R4);
    EXPECT_EQ(V_VT(&r.v[5]), VT_R4);
    EXPECT_EQ(V_R4(&r.v[5]), 2.5f);
    EXPECT_EQ(V_VT(&r.v[6]), VT_I2);
    EXPECT_EQ(V_I2(&r.v[6]), 0xC0);
    EXPECT_EQ(V_VT(&r.v[7]), VT_I4);
    EXPECT_EQ(V_I4(&r.v[7]), 1); // read only

    Values rw(1);
    DWORD five = 5;
    ASSERT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Valve"), 1, &five, &rw.v, &rw.e), S_OK);
    EXPECT_EQ(V_I4(&rw.v[0]), 3);
}

TEST_F(Properties, TimestampIsLocalTime)
{
    // 2021-06-15 12:00:00.250 UTC.
    SYSTEMTIME st = {2021, 6, 2, 15, 12, 0, 0, 250};
    FILETIME ft;
    ASSERT_TRUE(SystemTimeToFileTime(&st, &ft));
    VARIANT v = qvtest::vR4(1);
    ASSERT_TRUE(App().tags.update(flow_, v, 0xC0, &ft));

    FILETIME local;
    SYSTEMTIME lst;
    ASSERT_TRUE(FileTimeToLocalFileTime(&ft, &local));
    ASSERT_TRUE(FileTimeToSystemTime(&local, &lst));
    EXPECT_EQ(lst.wMilliseconds, 250);
    lst.wMilliseconds = 0;
    DATE expected = 0;
    ASSERT_TRUE(SystemTimeToVariantTime(&lst, &expected));

    DWORD four = 4;
    Values r(1);
    ASSERT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Flow"), 1, &four, &r.v, &r.e), S_OK);
    ASSERT_EQ(V_VT(&r.v[0]), VT_DATE);
    // Same local wall-clock time (milliseconds kept as a fraction of the day).
    EXPECT_NEAR(V_DATE(&r.v[0]), expected + 0.25 / 86400.0, 1e-7);
}

TEST_F(Properties, UnknownItemsAndArguments)
{
    PropertyList l;
    EXPECT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"Flow"), &l.count, &l.ids, &l.texts, &l.types),
              OPC_E_UNKNOWNITEMID); // without its branch prefix
    EXPECT_EQ(l.ids, nullptr);
    EXPECT_EQ(p_->QueryAvailableProperties(nullptr, &l.count, &l.ids, &l.texts, &l.types), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"Line1"), &l.count, &l.ids, &l.texts, &l.types),
              OPC_E_UNKNOWNITEMID); // a branch is not an item
    EXPECT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"Line1.Flow"), nullptr, &l.ids, &l.texts, &l.types),
              E_INVALIDARG);
    EXPECT_EQ(l.ids, nullptr);
    EXPECT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"Line1.Flow"), &l.count, &l.ids, nullptr, &l.types),
              E_INVALIDARG);
    EXPECT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"Line1.Flow"), &l.count, &l.ids, &l.texts, nullptr),
              E_INVALIDARG);

    DWORD ids[] = {1, 2};
    Values r(2);
    EXPECT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Flow"), 2, ids, &r.v, &r.e), OPC_E_UNKNOWNITEMID);
    EXPECT_EQ(r.v, nullptr);
    EXPECT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Flow"), 0, ids, &r.v, &r.e), E_INVALIDARG);
    EXPECT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Flow"), 2, nullptr, &r.v, &r.e), E_INVALIDARG);
    EXPECT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Flow"), 2, ids, nullptr, &r.e), E_INVALIDARG);
    EXPECT_EQ(r.e, nullptr);
    EXPECT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Flow"), 2, ids, &r.v, nullptr), E_INVALIDARG);
    EXPECT_EQ(r.v, nullptr);
    if (sizeof(void*) == 4) {
        // A count whose byte size overflows is refused, not written past a short block.
        EXPECT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Flow"), 0x40000000, ids, &r.v, &r.e),
                  E_OUTOFMEMORY);
        EXPECT_EQ(r.v, nullptr);
    }
}

TEST_F(Properties, MatchCaseFlagAppliesToItemIds)
{
    PropertyList l;
    EXPECT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"line1.flow"), &l.count, &l.ids, &l.texts, &l.types),
              OPC_E_UNKNOWNITEMID);
    App().matchCaseFlag = 0;
    EXPECT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"line1.flow"), &l.count, &l.ids, &l.texts, &l.types),
              S_OK);
    EXPECT_EQ(l.count, 6u);
}

TEST_F(Properties, LookupItemIds)
{
    DWORD ids[] = {1, 5000, 0};
    LPWSTR* names = reinterpret_cast<LPWSTR*>(0x1);
    HRESULT* errors = nullptr;
    ASSERT_EQ(p_->LookupItemIDs(const_cast<LPWSTR>(L"Line1.Flow"), 3, ids, &names, &errors), S_FALSE);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(names[i], nullptr);
        EXPECT_EQ(errors[i], S_FALSE);
    }
    CoTaskMemFree(names);
    CoTaskMemFree(errors);

    names = reinterpret_cast<LPWSTR*>(0x1);
    errors = reinterpret_cast<HRESULT*>(0x1);
    EXPECT_EQ(p_->LookupItemIDs(const_cast<LPWSTR>(L"Line1.Flow"), 0, ids, &names, &errors), E_INVALIDARG);
    EXPECT_EQ(names, nullptr);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(p_->LookupItemIDs(const_cast<LPWSTR>(L"Line1.Flow"), 3, nullptr, &names, &errors), E_INVALIDARG);
    EXPECT_EQ(p_->LookupItemIDs(const_cast<LPWSTR>(L"Line1.Flow"), 3, ids, &names, nullptr), E_INVALIDARG);
    EXPECT_EQ(p_->LookupItemIDs(const_cast<LPWSTR>(L"Line1.Flow"), 3, ids, nullptr, &errors), E_INVALIDARG);
    EXPECT_EQ(errors, nullptr);
    EXPECT_EQ(p_->LookupItemIDs(const_cast<LPWSTR>(L"Flow"), 3, ids, &names, &errors), OPC_E_UNKNOWNITEMID);
}

TEST_F(Properties, CanonicalTypeHoldsStill)
{
    // An update of another type is converted to the tag's type (or refused): the type stays.
    VARIANT s = qvtest::vStr(L"text");
    EXPECT_FALSE(App().tags.update(valve_, s, 0xC0, nullptr));
    VariantClear(&s);
    s = qvtest::vStr(L"3");
    ASSERT_TRUE(App().tags.update(valve_, s, 0xC0, nullptr));
    VariantClear(&s);
    PropertyList l;
    ASSERT_EQ(p_->QueryAvailableProperties(const_cast<LPWSTR>(L"Line1.Valve"), &l.count, &l.ids, &l.texts, &l.types),
              S_OK);
    EXPECT_EQ(l.types[1], VT_I4);
    DWORD one = 1;
    Values r(1);
    ASSERT_EQ(p_->GetItemProperties(const_cast<LPWSTR>(L"Line1.Valve"), 1, &one, &r.v, &r.e), S_OK);
    EXPECT_EQ(V_I2(&r.v[0]), VT_I4);
}

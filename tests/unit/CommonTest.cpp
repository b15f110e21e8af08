// IOPCCommon in-process: the one locale, error texts, the client name.
#include <string>
#include "TestSupport.h"
#include "qvopc.h"
#include "base/ErrorText.h"
#include "server/OPCServer.h"

using namespace qv;

namespace {

class Common : public ::testing::Test {
protected:
    void SetUp() override
    {
        server_ = qvtest::newServer();
        ASSERT_EQ(server_->QueryInterface(IID_IOPCCommon, reinterpret_cast<void**>(&c_)), S_OK);
    }
    void TearDown() override
    {
        if (c_) c_->Release();
        qvtest::deleteServer(server_);
    }
    std::string name()
    {
        LockGuard g(App().globalLock);
        return server_->clientName;
    }
    OPCServer* server_ = nullptr;
    IOPCCommon* c_ = nullptr;
};

std::string toNarrow(LPCWSTR w)
{
    std::string s;
    for (; w && *w; ++w) s.push_back(static_cast<char>(*w));
    return s;
}

} // namespace

TEST_F(Common, OnlyTheSystemDefaultLocale)
{
    EXPECT_EQ(c_->SetLocaleID(0x0800), S_OK);
    EXPECT_EQ(c_->SetLocaleID(0x0409), E_INVALIDARG);
    EXPECT_EQ(c_->SetLocaleID(0x0400), E_INVALIDARG); // user default
    EXPECT_EQ(c_->SetLocaleID(0), E_INVALIDARG);      // neutral
    LCID id = 0;
    ASSERT_EQ(c_->GetLocaleID(&id), S_OK);
    EXPECT_EQ(id, 0x0800u);
    EXPECT_EQ(c_->GetLocaleID(nullptr), E_INVALIDARG);

    DWORD count = 7;
    LCID* ids = nullptr;
    ASSERT_EQ(c_->QueryAvailableLocaleIDs(&count, &ids), S_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(ids[0], 0x0800u);
    CoTaskMemFree(ids);
    ids = reinterpret_cast<LCID*>(0x1);
    EXPECT_EQ(c_->QueryAvailableLocaleIDs(nullptr, &ids), E_INVALIDARG);
    EXPECT_EQ(ids, nullptr);
    EXPECT_EQ(c_->QueryAvailableLocaleIDs(&count, nullptr), E_INVALIDARG);
    EXPECT_EQ(count, 0u);
}

TEST_F(Common, ErrorStrings)
{
    LPWSTR text = nullptr;
    ASSERT_EQ(c_->GetErrorString(0x0004000F, &text), S_OK);
    EXPECT_EQ(toNarrow(text), errorText(0x0004000F));
    EXPECT_EQ(toNarrow(text).rfind("OPC_S_INUSE", 0), 0u);
    CoTaskMemFree(text);

    // A system code comes from the system's message table; an unknown one is spelt out.
    ASSERT_EQ(c_->GetErrorString(E_OUTOFMEMORY, &text), S_OK);
    EXPECT_FALSE(toNarrow(text).empty());
    CoTaskMemFree(text);
    ASSERT_EQ(c_->GetErrorString(static_cast<HRESULT>(0xE1234567), &text), S_OK);
    EXPECT_EQ(toNarrow(text), errorText(static_cast<HRESULT>(0xE1234567)));
    CoTaskMemFree(text);

    EXPECT_EQ(c_->GetErrorString(0x0004000F, nullptr), E_INVALIDARG);
}

TEST_F(Common, ClientNameKeepsTheLast)
{
    EXPECT_EQ(c_->SetClientName(L"first"), S_OK);
    EXPECT_EQ(c_->SetClientName(L"second client"), S_OK);
    EXPECT_EQ(name(), "second client");
    EXPECT_EQ(c_->SetClientName(nullptr), S_OK);
    EXPECT_EQ(name(), "");
}

TEST_F(Common, InterfaceForwardsToTheServer)
{
    IUnknown* a = nullptr;
    ASSERT_EQ(c_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&a)), S_OK);
    EXPECT_EQ(a, static_cast<IUnknown*>(server_));
    EXPECT_EQ(server_->refCount.load(), 2);
    a->Release();
}

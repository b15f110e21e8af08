// IOPCCommon through COM: locale, error texts, client name.
#include "ComRef.h"
#include "HostActivation.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <string>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace {

} // namespace

TEST(CommonClient, LocaleErrorTextsAndName)
{
    Ref<IUnknown> server;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IUnknown, server.out()), S_OK);
    Ref<IOPCCommon> common;
    ASSERT_EQ(server->QueryInterface(IID_IOPCCommon, common.out()), S_OK);

    EXPECT_EQ(common->SetLocaleID(0x0800), S_OK);
    EXPECT_EQ(common->SetLocaleID(0x0409), E_INVALIDARG);
    LCID lcid = 0;
    ASSERT_EQ(common->GetLocaleID(&lcid), S_OK);
    EXPECT_EQ(lcid, 0x0800u);
    DWORD count = 0;
    LCID* ids = nullptr;
    ASSERT_EQ(common->QueryAvailableLocaleIDs(&count, &ids), S_OK);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(ids[0], 0x0800u);
    CoTaskMemFree(ids);

    LPWSTR text = nullptr;
    ASSERT_EQ(common->GetErrorString(0x0004000F, &text), S_OK);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::wstring(text).rfind(L"OPC_S_INUSE", 0), 0u);
    CoTaskMemFree(text);
    text = nullptr;
    ASSERT_EQ(common->GetErrorString(OPC_E_INVALID_PID, &text), S_OK);
    EXPECT_EQ(std::wstring(text).rfind(L"OPC_E_INVALID_PID", 0), 0u);
    CoTaskMemFree(text);

    EXPECT_EQ(common->SetClientName(L"first"), S_OK);
    EXPECT_EQ(common->SetClientName(L"BrowseClient"), S_OK);
}

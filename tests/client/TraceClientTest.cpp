// The host's diagnostic trace and the process security it sets up, seen from a client: the
// test host traces every call to <log dir>\qvtesthost.trace.
#include "ComRef.h"
#include "HostActivation.h"
#include "HostCommands.h"
#include <gtest/gtest.h>
#include <objbase.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include "qvopc.h"
#include "tests/host/TestHostIds.h"

namespace {

std::string traceText(long from)
{
    return testLogDir().empty() ? std::string() : readFrom(testLogDir() + "\\qvtesthost.trace", from);
}

std::string regText(const char* key, const char* value)
{
    char buf[128] = {0};
    DWORD size = sizeof buf - 1, type = 0;
    HKEY h;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key, 0, KEY_READ, &h) != ERROR_SUCCESS) return "<no key>";
    LONG rc = RegQueryValueExA(h, value, nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
    RegCloseKey(h);
    if (rc != ERROR_SUCCESS) return "<no value>";
    return type == REG_DWORD ? std::to_string(*reinterpret_cast<DWORD*>(buf)) : std::string(buf);
}

} // namespace

TEST(TraceClient, CallsAndConnectionsReachTheTraceFile)
{
    if (!getenv("QV_TEST_LOGDIR")) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    const long start = static_cast<long>(traceText(0).size());
    {
        Ref<IOPCServer> server;
        ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IOPCServer, server.out()), S_OK);
        Ref<IOPCCommon> common;
        ASSERT_EQ(server->QueryInterface(IID_IOPCCommon, common.out()), S_OK);
        ASSERT_EQ(common->SetClientName(L"trace-test"), S_OK);
        OPCHANDLE hGroup = 0;
        DWORD rate = 0;
        Ref<IOPCItemMgt> mgt;
        ASSERT_EQ(server->AddGroup(L"", TRUE, 100, 1, nullptr, nullptr, 0, &hGroup, &rate, IID_IOPCItemMgt,
                                   reinterpret_cast<IUnknown**>(mgt.out())),
                  S_OK);
        OPCITEMDEF defs[2] = {};
        defs[0].szItemID = const_cast<LPWSTR>(L"Plant.Line.Level");
        defs[1].szItemID = const_cast<LPWSTR>(L"No.Such.Item");
        OPCITEMRESULT* results = nullptr;
        HRESULT* errors = nullptr;
        EXPECT_EQ(mgt->AddItems(2, defs, &results, &errors), S_FALSE);
        CoTaskMemFree(results);
        CoTaskMemFree(errors);
        Ref<IUnknown> none;
        EXPECT_EQ(server->GetGroupByName(L"no such group", IID_IUnknown, none.put()), E_INVALIDARG);
        mgt.reset();
        EXPECT_EQ(server->RemoveGroup(hGroup, FALSE), S_OK);
    }
    // The writer thread appends within about a second of the client leaving.
    std::string t;
    for (int i = 0; i < 50 && t.find("\"trace-test\" gone") == std::string::npos; ++i) {
        Sleep(100);
        t = traceText(start);
    }
    EXPECT_NE(t.find("named \"trace-test\""), std::string::npos) << t;
    EXPECT_NE(t.find("CALL IOPCServer::AddGroup count=1 -> 0x00000000"), std::string::npos) << t;
    EXPECT_NE(t.find("CALL IOPCItemMgt::AddItems count=2 -> 0x00000001"), std::string::npos) << t;
    EXPECT_NE(t.find("CALL IOPCServer::GetGroupByName count=1 -> 0x80070057 "), std::string::npos) << t;
    EXPECT_NE(t.find("CALL IOPCServer::RemoveGroup count=1 -> 0x00000000"), std::string::npos) << t;
    EXPECT_NE(t.find("\"trace-test\" gone: released by the client"), std::string::npos) << t;
    // Lines begin with UTC time marked Z; the client is known by its number from the start.
    const size_t named = t.find(" named \"trace-test\"");
    ASSERT_NE(named, std::string::npos);
    const size_t lineStart = t.rfind('\n', named) + 1;
    ASSERT_GE(t.size(), lineStart + 24);
    EXPECT_EQ(t[lineStart + 10], 'T');
    EXPECT_EQ(t.substr(lineStart + 23, 2), "Z ") << t.substr(lineStart, 40);
    const size_t number = t.rfind("client ", named) + 7;
    const std::string n = t.substr(number, named - number);
    EXPECT_NE(t.find("client " + n + " connected: process " + std::to_string(GetCurrentProcessId())), std::string::npos)
        << t;
    // Its calls carry the number too, on the server and on the group.
    EXPECT_NE(t.find("client " + n + " CALL IOPCServer::AddGroup"), std::string::npos) << t;
    EXPECT_NE(t.find("client " + n + " CALL IOPCItemMgt::AddItems"), std::string::npos) << t;
    // Every host start sets up process security from its AppID.
    EXPECT_NE(traceText(0).find("process security: from the AppID, authentication level 5, impersonation 2"),
              std::string::npos);
}

// The test host traces at the items level: DA 3.0 and A&E calls, and each refused item with
// its ID and the code's text.
TEST(TraceClient, ItemsLevelNamesRefusedItems)
{
    if (!getenv("QV_TEST_LOGDIR")) GTEST_SKIP() << "QV_TEST_LOGDIR not set";
    const long start = static_cast<long>(traceText(0).size());
    Ref<IOPCServer> server;
    ASSERT_EQ(activateTestHost(CLSID_QvTestHost, IID_IOPCServer, server.out()), S_OK);
    OPCHANDLE hGroup = 0;
    DWORD rate = 0;
    Ref<IOPCItemMgt> mgt;
    ASSERT_EQ(server->AddGroup(L"", TRUE, 100, 1, nullptr, nullptr, 0, &hGroup, &rate, IID_IOPCItemMgt,
                               reinterpret_cast<IUnknown**>(mgt.out())),
              S_OK);
    OPCITEMDEF def = {};
    def.szItemID = const_cast<LPWSTR>(L"Plant.Refuse");
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(mgt->AddItems(1, &def, &results, &errors), S_OK);
    OPCHANDLE h = results[0].hServer;
    CoTaskMemFree(results);
    CoTaskMemFree(errors);
    Ref<IOPCSyncIO> sync;
    ASSERT_EQ(mgt->QueryInterface(IID_IOPCSyncIO, sync.out()), S_OK);
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = 7;
    ASSERT_EQ(sync->Write(1, &h, &v, &errors), S_FALSE);
    CoTaskMemFree(errors);

    Ref<IOPCItemIO> io;
    ASSERT_EQ(server->QueryInterface(IID_IOPCItemIO, io.out()), S_OK);
    LPCWSTR ids[] = {L"Plant.Line.Level", L"No.Such.Item"};
    DWORD ages[] = {0, 0};
    VARIANT* values = nullptr;
    WORD* qualities = nullptr;
    FILETIME* times = nullptr;
    ASSERT_EQ(io->Read(2, ids, ages, &values, &qualities, &times, &errors), S_FALSE);
    for (int i = 0; i < 2; ++i) VariantClear(&values[i]);
    CoTaskMemFree(values), CoTaskMemFree(qualities), CoTaskMemFree(times), CoTaskMemFree(errors);

    Ref<IOPCEventServer> es;
    ASSERT_EQ(server->QueryInterface(IID_IOPCEventServer, es.out()), S_OK);
    DWORD mask = 0;
    ASSERT_EQ(es->QueryAvailableFilters(&mask), S_OK);

    const char* want[] = {
        "CALL IOPCSyncIO::Write count=1 -> 0x00000001 S_FALSE",
        "ITEM IOPCSyncIO::Write \"Plant.Refuse\" -> 0x80070005 ",
        "CALL IOPCItemIO::Read count=2 -> 0x00000001 S_FALSE",
        "ITEM IOPCItemIO::Read \"No.Such.Item\" -> 0xC0040007 OPC_E_UNKNOWNITEMID: ",
        "CALL IOPCEventServer::QueryAvailableFilters count=0 -> 0x00000000 S_OK",
    };
    std::string t;
    for (int i = 0; i < 50 && t.find(want[4]) == std::string::npos; ++i) {
        Sleep(100);
        t = traceText(start);
    }
    for (const char* w : want) EXPECT_NE(t.find(w), std::string::npos) << w << "\n" << t;
    EXPECT_EQ(t.find("ITEM IOPCItemIO::Read \"Plant.Line.Level\""), std::string::npos) << t;
    // The refused item's text is the system's, not just the code.
    const size_t at = t.find(want[1]);
    if (at != std::string::npos) {
        EXPECT_GT(t.find_first_of("\r\n", at), at + strlen(want[1]) + 2) << t;
    }
    mgt.reset();
    sync.reset();
    EXPECT_EQ(server->RemoveGroup(hGroup, FALSE), S_OK);
}

TEST(TraceClient, RegistrationWritesTheAppIdSecurity)
{
    LPOLESTR w = nullptr;
    ASSERT_EQ(StringFromCLSID(CLSID_QvTestHost, &w), S_OK);
    char guid[64];
    WideCharToMultiByte(CP_ACP, 0, w, -1, guid, sizeof guid, nullptr, nullptr);
    CoTaskMemFree(w);
    EXPECT_EQ(regText((std::string("AppID\\") + guid).c_str(), "AuthenticationLevel"), "5");
    EXPECT_EQ(_stricmp(regText("AppID\\qvtesthost.exe", "AppID").c_str(), guid), 0);
    EXPECT_EQ(_stricmp(regText((std::string("CLSID\\") + guid).c_str(), "AppID").c_str(), guid), 0);
}

// OPC\Vendor names the host's vendor: its explicit name, else its vendor text.
TEST(TraceClient, RegistrationWritesTheVendorsName)
{
    const std::string key = QV_TESTHOST_PROGID "\\OPC\\Vendor";
    EXPECT_EQ(regText(key.c_str(), nullptr), "Quvex Test Vendor");
    char exe[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, exe, MAX_PATH);
    std::string host(exe, n);
    host = host.substr(0, host.find_last_of("\\/") + 1) + "qvtesthost.exe";
    auto regserver = [&](const char* args) {
        std::string cmd = "\"" + host + "\" --regserver" + args;
        STARTUPINFOA si = {sizeof si};
        PROCESS_INFORMATION pi = {};
        if (!CreateProcessA(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return DWORD(99);
        WaitForSingleObject(pi.hProcess, 60000);
        DWORD rc = 98;
        GetExitCodeProcess(pi.hProcess, &rc);
        CloseHandle(pi.hProcess), CloseHandle(pi.hThread);
        return rc;
    };
    ASSERT_EQ(regserver(" --vendor-text-only"), 0u);
    EXPECT_EQ(regText(key.c_str(), nullptr), "QvSrvKit test host");
    ASSERT_EQ(regserver(""), 0u); // as the fixture left it
    EXPECT_EQ(regText(key.c_str(), nullptr), "Quvex Test Vendor");
}

// qvopc servers [--node HOST] [--da1] [--da2] [--da3] [--ae] (the options are in Options.cpp's table)
// Lists the OPC servers of this machine or HOST through the OPC server browser
// (OPC.ServerList.1), by the categories chosen (all four when none is). Without a browser
// that answers, it reads the registry instead and says so.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>
#include "QvopcTool.h"

namespace qvopc {

namespace {

// In the order of the options --da1 --da2 --da3 --ae.
struct Category {
    const char* tag;
    const GUID* id;
};
const Category kCategories[] = {{"DA1", &CATID_OPCDAServer10},
                                {"DA2", &CATID_OPCDAServer20},
                                {"DA3", &CATID_OPCDAServer30},
                                {"AE", &CATID_OPCAEServer10}};

struct Server {
    std::wstring progId, userType;
    std::string tags;
};
struct GuidLess {
    bool operator()(const GUID& a, const GUID& b) const { return memcmp(&a, &b, sizeof a) < 0; }
};
using ServerMap = std::map<GUID, Server, GuidLess>;

void addTag(Server& s, const char* tag)
{
    if (!s.tags.empty()) s.tags += ' ';
    s.tags += tag;
}

// Through the browser: one enumeration per category, then the details of each class.
HRESULT listThroughBrowser(const std::wstring& node, const std::vector<const Category*>& cats, ServerMap& out)
{
    COSERVERINFO info = {};
    info.pwszName = node.empty() ? nullptr : const_cast<LPWSTR>(node.c_str());
    MULTI_QI mqi[2] = {{&IID_IOPCServerList2, nullptr, S_OK}, {&IID_IOPCServerList, nullptr, S_OK}};
    HRESULT hr = CoCreateInstanceEx(CLSID_OPCServerList, nullptr, node.empty() ? CLSCTX_LOCAL_SERVER : CLSCTX_REMOTE_SERVER,
                                    node.empty() ? nullptr : &info, 2, mqi);
    if (FAILED(hr)) return hr;
    auto* list2 = static_cast<IOPCServerList2*>(SUCCEEDED(mqi[0].hr) ? mqi[0].pItf : nullptr);
    auto* list1 = static_cast<IOPCServerList*>(SUCCEEDED(mqi[1].hr) ? mqi[1].pItf : nullptr);
    for (const Category* c : cats) {
        // The arrays are reference pointers on the wire: an empty one still needs an address.
        CATID cat = *c->id, none = GUID_NULL;
        GUID clsid;
        ULONG got = 0;
        if (list2) {
            IOPCEnumGUID* e = nullptr;
            hr = list2->EnumClassesOfCategories(1, &cat, 0, &none, &e);
            for (; SUCCEEDED(hr) && e && e->Next(1, &clsid, &got) == S_OK && got == 1;) addTag(out[clsid], c->tag);
            if (e) e->Release();
        } else if (list1) {
            IEnumGUID* e = nullptr;
            hr = list1->EnumClassesOfCategories(1, &cat, 0, &none, &e);
            for (; SUCCEEDED(hr) && e && e->Next(1, &clsid, &got) == S_OK && got == 1;) addTag(out[clsid], c->tag);
            if (e) e->Release();
        }
        if (FAILED(hr)) break;
    }
    for (auto& [clsid, s] : out) {
        LPWSTR progId = nullptr, userType = nullptr, verInd = nullptr;
        HRESULT d = list2 ? list2->GetClassDetails(clsid, &progId, &userType, &verInd)
                          : list1->GetClassDetails(clsid, &progId, &userType);
        if (SUCCEEDED(d)) {
            s.progId = progId ? progId : L"";
            s.userType = userType ? userType : L"";
        }
        CoTaskMemFree(progId);
        CoTaskMemFree(userType);
        CoTaskMemFree(verInd);
    }
    if (list2) list2->Release();
    if (list1) list1->Release();
    return hr;
}

std::wstring readDefault(HKEY root, const std::wstring& sub)
{
    wchar_t buf[512];
    DWORD bytes = sizeof buf;
    return RegGetValueW(root, sub.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, buf, &bytes) == ERROR_SUCCESS ? buf : L"";
}

// The same answer from the registry (of HOST through the remote registry service).
bool listFromRegistry(const std::wstring& node, const std::vector<const Category*>& cats, ServerMap& out)
{
    HKEY machine = nullptr, classes = nullptr;
    if (node.empty()) classes = HKEY_CLASSES_ROOT;
    else if (RegConnectRegistryW(node.c_str(), HKEY_LOCAL_MACHINE, &machine) != ERROR_SUCCESS ||
             RegOpenKeyExW(machine, L"Software\\Classes", 0, KEY_READ, &classes) != ERROR_SUCCESS) {
        if (machine) RegCloseKey(machine);
        return false;
    }
    HKEY clsids;
    if (RegOpenKeyExW(classes, L"CLSID", 0, KEY_READ, &clsids) == ERROR_SUCCESS) {
        wchar_t name[256];
        for (DWORD i = 0;; ++i) {
            DWORD len = 256;
            LONG err = RegEnumKeyExW(clsids, i, name, &len, nullptr, nullptr, nullptr, nullptr);
            if (err == ERROR_NO_MORE_ITEMS) break;
            GUID clsid;
            if (err != ERROR_SUCCESS || name[0] != L'{' || FAILED(IIDFromString(name, &clsid))) continue;
            for (const Category* c : cats) {
                wchar_t cat[40];
                StringFromGUID2(*c->id, cat, 40);
                HKEY k;
                if (RegOpenKeyExW(clsids, (std::wstring(name) + L"\\Implemented Categories\\" + cat).c_str(), 0, KEY_READ,
                                  &k) != ERROR_SUCCESS)
                    continue;
                RegCloseKey(k);
                Server& s = out[clsid];
                addTag(s, c->tag);
                s.progId = readDefault(clsids, std::wstring(name) + L"\\ProgID");
                s.userType = readDefault(clsids, name);
            }
        }
        RegCloseKey(clsids);
    }
    if (machine) {
        RegCloseKey(classes);
        RegCloseKey(machine);
    }
    return true;
}

} // namespace

int cmdServers(const Options& o)
{
    const std::string& node = o.node;
    const bool chosen[] = {o.da1, o.da2, o.da3, o.ae}; // in the order of kCategories
    std::vector<const Category*> cats;
    for (size_t i = 0; i < sizeof chosen / sizeof chosen[0]; ++i)
        if (chosen[i]) cats.push_back(&kCategories[i]);
    if (cats.empty())
        for (const Category& c : kCategories) cats.push_back(&c);
    const std::wstring host = wide(node);
    const char* where = node.empty() ? "this machine" : node.c_str();

    ServerMap servers;
    HRESULT hr = listThroughBrowser(host, cats, servers);
    int rc = 0;
    if (SUCCEEDED(hr)) {
        printf("OPC servers on %s (through the server browser):\n", where);
    } else {
        servers.clear();
        printf("no server browser answered on %s (0x%08lX); reading its registry instead:\n", where,
               static_cast<unsigned long>(hr));
        if (!listFromRegistry(host, cats, servers)) {
            fprintf(stderr, "qvopc: cannot read the registry of %s either\n", where);
            rc = kNoServer;
        }
    }
    for (const auto& [clsid, s] : servers) {
        wchar_t text[40];
        StringFromGUID2(clsid, text, 40);
        printf("  %-32ls %ls  %ls  [%s]\n", s.progId.empty() ? L"(no ProgID)" : s.progId.c_str(), text,
               s.userType.c_str(), s.tags.c_str());
    }
    if (rc == 0 && servers.empty()) printf("  (none)\n");
    fflush(stdout);
    return rc;
}

} // namespace qvopc

// Registry entries of the server browser. Only one browser can own the standard class, and
// other products' clients depend on theirs: we register only when none lives, and remove
// only what names our executable.
#include "serverlist/ServerList.h"
#include <cstdio>
#include "runtime/Security.h"

namespace qv::serverlist {

namespace {

const wchar_t kName[] = L"OPC server browser";
const wchar_t kProgId[] = L"OPC.ServerList.1";
const wchar_t kVerIndProgId[] = L"OPC.ServerList";

std::wstring guidText(const GUID& g)
{
    wchar_t buf[40];
    StringFromGUID2(g, buf, 40);
    return buf;
}

const std::wstring& clsidKey()
{
    static const std::wstring k = L"CLSID\\" + guidText(CLSID_OPCServerList);
    return k;
}

bool setString(const std::wstring& key, const wchar_t* name, const std::wstring& value)
{
    HKEY k;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return false;
    LONG err = RegSetValueExW(k, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(k);
    return err == ERROR_SUCCESS;
}

bool setDword(const std::wstring& key, const wchar_t* name, DWORD value)
{
    HKEY k;
    if (RegCreateKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) != ERROR_SUCCESS)
        return false;
    LONG err = RegSetValueExW(k, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
    RegCloseKey(k);
    return err == ERROR_SUCCESS;
}

bool getString(const std::wstring& key, const wchar_t* name, std::wstring& out)
{
    wchar_t buf[MAX_PATH + 64];
    DWORD bytes = sizeof buf;
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buf, &bytes) != ERROR_SUCCESS)
        return false;
    out = buf;
    return true;
}

// The executable of a LocalServer32 command line: quoted, or up to ".exe".
std::wstring commandFile(const std::wstring& command)
{
    if (!command.empty() && command[0] == L'"') {
        size_t q = command.find(L'"', 1);
        return command.substr(1, q == std::wstring::npos ? std::wstring::npos : q - 1);
    }
    std::wstring lower = command;
    for (wchar_t& c : lower) c = towlower(c);
    size_t e = lower.find(L".exe");
    return e == std::wstring::npos ? command : command.substr(0, e + 4);
}

std::wstring fileName(const std::wstring& path)
{
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

bool sameName(const std::wstring& a, const std::wstring& b) { return _wcsicmp(fileName(a).c_str(), fileName(b).c_str()) == 0; }

// The executable of the registered browser, "" when none is registered.
std::wstring registeredBrowser()
{
    std::wstring command;
    return getString(clsidKey() + L"\\LocalServer32", nullptr, command) ? commandFile(command) : std::wstring();
}

bool fileExists(const std::wstring& path)
{
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void deleteTree(const std::wstring& key) { RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str()); }

void removeService(const std::wstring& name)
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) return;
    if (SC_HANDLE svc = OpenServiceW(scm, name.c_str(), DELETE | SERVICE_STOP)) {
        SERVICE_STATUS st;
        ControlService(svc, SERVICE_CONTROL_STOP, &st);
        DeleteService(svc);
        CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
}

bool createService(const std::wstring& name, const std::wstring& exePath)
{
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE);
    if (!scm) return false;
    const std::wstring command = L"\"" + exePath + L"\" -Service";
    SC_HANDLE svc = CreateServiceW(scm, name.c_str(), kName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                   SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, command.c_str(), nullptr, nullptr, nullptr,
                                   nullptr, nullptr);
    if (!svc && GetLastError() == ERROR_SERVICE_EXISTS) svc = OpenServiceW(scm, name.c_str(), SERVICE_ALL_ACCESS);
    bool ok = svc != nullptr;
    if (svc) CloseServiceHandle(svc);
    CloseServiceHandle(scm);
    return ok;
}

} // namespace

bool registerBrowser(const std::wstring& exePath, const wchar_t* serviceName)
{
    const std::wstring other = registeredBrowser();
    if (!other.empty() && !sameName(other, exePath) && fileExists(other)) {
        printf("another server browser is registered (%ls); left in place\n", other.c_str());
        return true;
    }
    const std::wstring clsid = guidText(CLSID_OPCServerList), appId = guidText(kAppId);
    bool ok = setString(clsidKey(), nullptr, kName) && setString(clsidKey(), L"AppID", appId) &&
              setString(clsidKey() + L"\\LocalServer32", nullptr, L"\"" + exePath + L"\"") &&
              setString(clsidKey() + L"\\ProgID", nullptr, kProgId) &&
              setString(clsidKey() + L"\\VersionIndependentProgID", nullptr, kVerIndProgId) &&
              setString(kProgId, nullptr, kName) && setString(std::wstring(kProgId) + L"\\CLSID", nullptr, clsid) &&
              setString(kVerIndProgId, nullptr, kName) &&
              setString(std::wstring(kVerIndProgId) + L"\\CLSID", nullptr, clsid) &&
              setString(std::wstring(kVerIndProgId) + L"\\CurVer", nullptr, kProgId) &&
              // The same DCOM security as our servers: packet integrity, permissions from dcomcnfg.
              setString(L"AppID\\" + appId, nullptr, kName) &&
              setDword(L"AppID\\" + appId, L"AuthenticationLevel", kRegisteredAuthnLevel) &&
              setString(L"AppID\\" + fileName(exePath), L"AppID", appId);
    if (ok && serviceName) {
        ok = createService(serviceName, exePath) && setString(L"AppID\\" + appId, L"LocalService", serviceName) &&
             setString(L"AppID\\" + appId, L"ServiceParameters", L"-Service");
    }
    if (!ok) printf("registering the server browser failed (run as administrator)\n");
    return ok;
}

bool unregisterBrowser(const std::wstring& exePath)
{
    const std::wstring other = registeredBrowser();
    if (other.empty()) return true;
    if (!sameName(other, exePath)) {
        printf("the registered server browser is another product's (%ls); left in place\n", other.c_str());
        return true;
    }
    const std::wstring appId = L"AppID\\" + guidText(kAppId);
    std::wstring service;
    if (getString(appId, L"LocalService", service) && !service.empty()) removeService(service);
    deleteTree(clsidKey());
    deleteTree(kProgId);
    deleteTree(kVerIndProgId);
    deleteTree(appId);
    std::wstring mapped;
    const std::wstring exeKey = L"AppID\\" + fileName(exePath);
    if (getString(exeKey, L"AppID", mapped) && _wcsicmp(mapped.c_str(), guidText(kAppId).c_str()) == 0) deleteTree(exeKey);
    return true;
}

} // namespace qv::serverlist

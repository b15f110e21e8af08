// Registry entries of the server browser. Only one browser can own the standard class in a
// registry view, and other products' clients depend on theirs: we register only when none
// lives in ours, and remove only what names our executable (full path). The AppID and the
// ProgIDs are one key for both views: while a browser of another file is registered in the
// other view they are left as they are (values and service), at install and at removal.
#include "serverlist/ServerList.h"
#include <cstdio>
#include <vector>
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

bool getString(const std::wstring& key, const wchar_t* name, std::wstring& out, REGSAM view = 0)
{
    wchar_t buf[MAX_PATH + 64];
    DWORD bytes = sizeof buf;
    HKEY k;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ | view, &k) != ERROR_SUCCESS) return false;
    LONG err = RegGetValueW(k, nullptr, name, RRF_RT_REG_SZ, nullptr, buf, &bytes);
    RegCloseKey(k);
    if (err != ERROR_SUCCESS) return false;
    out = buf;
    return true;
}

bool keyExists(const std::wstring& key)
{
    HKEY k;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
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

// Two names of one file: the long form of both (a registration may hold a short path).
bool samePath(const std::wstring& a, const std::wstring& b)
{
    auto longForm = [](const std::wstring& p) {
        wchar_t buf[MAX_PATH];
        DWORD n = GetLongPathNameW(p.c_str(), buf, MAX_PATH);
        return n && n < MAX_PATH ? std::wstring(buf, n) : p;
    };
    return _wcsicmp(longForm(a).c_str(), longForm(b).c_str()) == 0;
}

// The executable of the browser registered in a view, "" when none is registered.
std::wstring registeredBrowser(REGSAM view = 0)
{
    std::wstring command;
    return getString(clsidKey() + L"\\LocalServer32", nullptr, command, view) ? commandFile(command) : std::wstring();
}

bool fileExists(const std::wstring& path)
{
    return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The browser registered in a view whose file exists ("" when none, or a stale entry).
std::wstring liveBrowser(REGSAM view)
{
    std::wstring file = registeredBrowser(view);
    return fileExists(file) ? file : std::wstring();
}

// Another file's browser registered in the other view: the shared keys are then its too.
bool otherViewBrowser(const std::wstring& exePath)
{
    const std::wstring other = liveBrowser(kOtherView);
    return !other.empty() && !samePath(other, exePath);
}

// The executable of a service ("" when there is none).
std::wstring serviceFile(const std::wstring& name)
{
    std::wstring file;
    SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!scm) return file;
    if (SC_HANDLE svc = OpenServiceW(scm, name.c_str(), SERVICE_QUERY_CONFIG)) {
        DWORD need = 0;
        QueryServiceConfigW(svc, nullptr, 0, &need);
        std::vector<BYTE> buf(need ? need : 1);
        auto* cfg = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buf.data());
        if (need && QueryServiceConfigW(svc, cfg, need, &need) && cfg->lpBinaryPathName)
            file = commandFile(cfg->lpBinaryPathName);
        CloseServiceHandle(svc);
    }
    CloseServiceHandle(scm);
    return file;
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
    const std::wstring other = liveBrowser(0);
    if (!other.empty() && !samePath(other, exePath)) {
        printf("another server browser is registered (%ls); left in place\n", other.c_str());
        return true;
    }
    const std::wstring clsid = guidText(CLSID_OPCServerList), appId = guidText(kAppId);
    bool ok = setString(clsidKey(), nullptr, kName) && setString(clsidKey(), L"AppID", appId) &&
              setString(clsidKey() + L"\\LocalServer32", nullptr, L"\"" + exePath + L"\"") &&
              setString(clsidKey() + L"\\ProgID", nullptr, kProgId) &&
              setString(clsidKey() + L"\\VersionIndependentProgID", nullptr, kVerIndProgId);
    // The keys both views share: another browser's stay as they are; only missing ones are made.
    const bool shared = otherViewBrowser(exePath);
    if (shared) printf("another server browser is registered in the other registry view; its AppID is kept\n");
    if (ok && !(shared && keyExists(kProgId)))
        ok = setString(kProgId, nullptr, kName) && setString(std::wstring(kProgId) + L"\\CLSID", nullptr, clsid);
    if (ok && !(shared && keyExists(kVerIndProgId)))
        ok = setString(kVerIndProgId, nullptr, kName) &&
             setString(std::wstring(kVerIndProgId) + L"\\CLSID", nullptr, clsid) &&
             setString(std::wstring(kVerIndProgId) + L"\\CurVer", nullptr, kProgId);
    if (ok && !(shared && keyExists(L"AppID\\" + appId)))
        // The same DCOM security as our servers: packet integrity, permissions from dcomcnfg.
        ok = setString(L"AppID\\" + appId, nullptr, kName) &&
             setDword(L"AppID\\" + appId, L"AuthenticationLevel", kRegisteredAuthnLevel) &&
             setString(L"AppID\\" + fileName(exePath), L"AppID", appId);
    if (ok && serviceName) {
        if (shared) {
            printf("not registered as a service: the AppID is another browser's\n");
        } else {
            ok = createService(serviceName, exePath) && setString(L"AppID\\" + appId, L"LocalService", serviceName) &&
                 setString(L"AppID\\" + appId, L"ServiceParameters", L"-Service");
        }
    }
    if (!ok) printf("registering the server browser failed (run as administrator)\n");
    return ok;
}

bool unregisterBrowser(const std::wstring& exePath)
{
    const std::wstring own = registeredBrowser();
    if (own.empty()) return true;
    if (!samePath(own, exePath)) {
        printf("the registered server browser is another file (%ls); left in place\n", own.c_str());
        return true;
    }
    deleteTree(clsidKey());
    // The AppID of our file name goes unless the browser of the other view has that name too.
    // An other-view entry whose file is gone is stale: it keeps nothing.
    const std::wstring other = liveBrowser(kOtherView);
    std::wstring mapped;
    const std::wstring exeKey = L"AppID\\" + fileName(exePath);
    if ((other.empty() || _wcsicmp(fileName(other).c_str(), fileName(exePath).c_str()) != 0) &&
        getString(exeKey, L"AppID", mapped) && _wcsicmp(mapped.c_str(), guidText(kAppId).c_str()) == 0)
        deleteTree(exeKey);
    // A browser still registered in the other view (another product's, or our other width)
    // keeps the AppID, its service and the ProgIDs.
    if (!other.empty()) return true;
    const std::wstring appId = L"AppID\\" + guidText(kAppId);
    std::wstring service;
    bool ownAppId = true;
    if (getString(appId, L"LocalService", service) && !service.empty()) {
        const std::wstring file = serviceFile(service);
        ownAppId = file.empty() || samePath(file, exePath);
        if (ownAppId && !file.empty()) removeService(service);
    }
    if (ownAppId) deleteTree(appId);
    // The ProgIDs only as we write them: another browser's (other text) stay.
    const std::wstring clsid = guidText(CLSID_OPCServerList);
    for (const wchar_t* progId : {kProgId, kVerIndProgId}) {
        std::wstring name, id;
        if (getString(progId, nullptr, name) && name == kName &&
            getString(std::wstring(progId) + L"\\CLSID", nullptr, id) && _wcsicmp(id.c_str(), clsid.c_str()) == 0)
            deleteTree(progId);
    }
    return true;
}

} // namespace qv::serverlist

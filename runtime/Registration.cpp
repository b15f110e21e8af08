#include "runtime/Registration.h"
#include <string>
#include <cctype>
#include <cstring>
#include "base/GuidText.h"
#include "runtime/Security.h"

namespace qv {

namespace {

const char kCatDA10[] = "{63D5F430-CFE4-11D1-B2C8-0060083BA1FB}";
const char kCatDA20[] = "{63D5F432-CFE4-11D1-B2C8-0060083BA1FB}";
const char kCatDA30[] = "{CC603642-66D7-48F1-B69A-B625E73652D7}";
const char kCatAE10[] = "{58E13251-AC87-11D1-84D5-00608CB8A7E9}";
const char kVendor[] = "Quvex CO.";

// Open registry key, closed on every path.
class Key {
public:
    Key() = default;
    ~Key() { close(); }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    bool create(HKEY parent, const std::string& sub)
    {
        close();
        return RegCreateKeyExA(parent, sub.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &h_,
                               nullptr) == ERROR_SUCCESS;
    }
    bool open(HKEY parent, const std::string& sub, REGSAM sam)
    {
        close();
        return RegOpenKeyExA(parent, sub.c_str(), 0, sam, &h_) == ERROR_SUCCESS;
    }
    void close()
    {
        if (h_) RegCloseKey(h_);
        h_ = nullptr;
    }
    bool set(const char* valueName, const std::string& data, size_t maxLen)
    {
        std::string d = data.substr(0, maxLen);
        return RegSetValueExA(h_, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(d.c_str()),
                              static_cast<DWORD>(d.size() + 1)) == ERROR_SUCCESS;
    }
    HKEY get() const { return h_; }

private:
    HKEY h_ = nullptr;
};

std::string cut(const char* s, size_t n)
{
    std::string r(s ? s : "");
    return r.substr(0, n);
}

// The file name of the executable in a LocalServer32 command line (quoted or not, maybe
// followed by arguments): COM finds the AppID of a running server by it.
std::string exeFileName(const std::string& command)
{
    std::string p = command;
    if (!p.empty() && p[0] == '"') {
        size_t q = p.find('"', 1);
        p = p.substr(1, q == std::string::npos ? std::string::npos : q - 1);
    } else {
        std::string lower = p;
        for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
        size_t e = lower.find(".exe");
        if (e != std::string::npos) p = p.substr(0, e + 4);
    }
    size_t slash = p.find_last_of("\\/");
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string readDefault(HKEY parent, const char* sub)
{
    char buf[512] = {0};
    LONG size = sizeof buf - 1;
    if (RegQueryValueA(parent, sub, buf, &size) != ERROR_SUCCESS) return std::string();
    return buf;
}

std::string guidText(const CLSID& clsid)
{
    char buf[39];
    formatGuidText(clsid, buf);
    return buf;
}

// "Vendor.Server.3" gives "Vendor.Server"; "" when the ProgID ends in no version number.
std::string versionIndependent(const std::string& progId)
{
    size_t dot = progId.find_last_of('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == progId.size()) return std::string();
    for (size_t i = dot + 1; i < progId.size(); ++i)
        if (!isdigit(static_cast<unsigned char>(progId[i]))) return std::string();
    return progId.substr(0, dot);
}

// A version-independent ProgID is ours while it is absent or names our class: another
// product's (or another class of the vendor's) is left alone.
bool ownsVerInd(const std::string& verInd, const std::string& guid)
{
    Key k;
    if (!k.open(HKEY_CLASSES_ROOT, verInd, KEY_READ)) return true;
    return _stricmp(readDefault(k.get(), "CLSID").c_str(), guid.c_str()) == 0;
}

} // namespace

bool registerServer(const CLSID& clsid, const char* progIdIn, const char* descIn, const char* pathIn,
                    const char* vendorIn)
{
    const std::string progId = cut(progIdIn, 100), desc = cut(descIn, 100), path = cut(pathIn, 400);
    const std::string guid = guidText(clsid);
    // A key name must not be empty (it would open HKEY_CLASSES_ROOT itself).
    if (progId.empty()) return false;

    Key prog, sub;
    if (!prog.create(HKEY_CLASSES_ROOT, progId)) return false;
    prog.set(nullptr, desc, 100);
    if (!sub.create(prog.get(), "CLSID")) return false;
    sub.set(nullptr, guid, 100);
    Key opc, vendor;
    opc.create(prog.get(), "OPC");
    if (!vendor.create(prog.get(), "OPC\\Vendor")) return false;
    vendor.set(nullptr, vendorIn && *vendorIn ? std::string(vendorIn) : std::string(kVendor), 100);

    Key appIdRoot, appId;
    if (!appIdRoot.open(HKEY_CLASSES_ROOT, "AppID", KEY_READ | KEY_CREATE_SUB_KEY)) return false;
    if (!appId.create(appIdRoot.get(), guid)) return false;
    appId.set(nullptr, desc, 100);
    // Calls below packet integrity are refused (what hardened Windows requires anyway);
    // access and launch permissions stay the machine defaults until set with dcomcnfg.
    const DWORD level = kRegisteredAuthnLevel;
    if (RegSetValueExA(appId.get(), "AuthenticationLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&level),
                       sizeof level) != ERROR_SUCCESS)
        return false;
    const std::string exe = exeFileName(path);
    Key exeKey;
    if (!exe.empty() && exeKey.create(appIdRoot.get(), exe)) exeKey.set("AppID", guid, 100);

    Key clsidRoot, cls;
    if (!clsidRoot.open(HKEY_CLASSES_ROOT, "CLSID", KEY_READ)) return false;
    if (!cls.create(clsidRoot.get(), guid)) return false;
    cls.set(nullptr, desc, 100);
    cls.set("AppID", guid, 100);

    Key cats, c1, c2, c3, c4;
    if (!cats.create(cls.get(), "Implemented Categories")) return false;
    c1.create(cats.get(), kCatDA10);
    c2.create(cats.get(), kCatDA20);
    c3.create(cats.get(), kCatDA30);
    c4.create(cats.get(), kCatAE10);

    Key local;
    if (!local.create(cls.get(), "LocalServer32")) return false;
    local.set(nullptr, path, 400);
    Key pid;
    if (!pid.create(cls.get(), "ProgID")) return false;
    pid.set(nullptr, progId, 100);

    // Clients bind to "the current version" through Vendor.Server\CurVer.
    const std::string verInd = versionIndependent(progId);
    if (!verInd.empty() && ownsVerInd(verInd, guid)) {
        Key vi, viClsid, viCur, clsVi;
        if (!vi.create(HKEY_CLASSES_ROOT, verInd) || !viClsid.create(vi.get(), "CLSID") ||
            !viCur.create(vi.get(), "CurVer") || !clsVi.create(cls.get(), "VersionIndependentProgID"))
            return false;
        vi.set(nullptr, desc, 100);
        viClsid.set(nullptr, guid, 100);
        viCur.set(nullptr, progId, 100);
        clsVi.set(nullptr, verInd, 100);
    }
    return true;
}

bool unregisterServer(const CLSID& clsid, const char* progIdIn)
{
    const std::string progId = cut(progIdIn, 100);
    const std::string guid = guidText(clsid);
    if (progId.empty()) return false;

    Key prog;
    if (!prog.open(HKEY_CLASSES_ROOT, progId, KEY_ALL_ACCESS)) return false;
    RegDeleteKeyA(prog.get(), "CLSID");
    Key opc, vendor;
    if (!opc.open(prog.get(), "OPC", KEY_ALL_ACCESS)) return false;
    if (!vendor.open(opc.get(), "Vendor", KEY_ALL_ACCESS)) return false;
    vendor.close();
    RegDeleteKeyA(opc.get(), "Vendor");
    opc.close();
    RegDeleteKeyA(prog.get(), "OPC");
    prog.close();
    RegDeleteKeyA(HKEY_CLASSES_ROOT, progId.c_str());
    // The version-independent ProgID goes only while it still points at this version of ours.
    const std::string verInd = versionIndependent(progId);
    Key vi;
    if (!verInd.empty() && vi.open(HKEY_CLASSES_ROOT, verInd, KEY_READ) &&
        _stricmp(readDefault(vi.get(), "CLSID").c_str(), guid.c_str()) == 0 &&
        _stricmp(readDefault(vi.get(), "CurVer").c_str(), progId.c_str()) == 0) {
        vi.close();
        RegDeleteTreeA(HKEY_CLASSES_ROOT, verInd.c_str());
    }

    Key clsidRoot, cls, cats;
    if (!clsidRoot.open(HKEY_CLASSES_ROOT, "CLSID", KEY_READ)) return false;
    if (!cls.open(clsidRoot.get(), guid, KEY_ALL_ACCESS)) return false;
    const std::string exe = exeFileName(readDefault(cls.get(), "LocalServer32"));
    if (!cats.open(cls.get(), "Implemented Categories", KEY_ALL_ACCESS)) return false;
    RegDeleteKeyA(cats.get(), kCatDA10);
    RegDeleteKeyA(cats.get(), kCatDA20);
    RegDeleteKeyA(cats.get(), kCatDA30);
    RegDeleteKeyA(cats.get(), kCatAE10);
    cats.close();
    RegDeleteKeyA(cls.get(), "Implemented Categories");
    RegDeleteKeyA(cls.get(), "LocalServer32");
    RegDeleteKeyA(cls.get(), "ProgID");
    RegDeleteKeyA(cls.get(), "VersionIndependentProgID");
    cls.close();
    RegDeleteKeyA(clsidRoot.get(), guid.c_str());

    Key appIdRoot, appId;
    if (!appIdRoot.open(HKEY_CLASSES_ROOT, "AppID", KEY_READ)) return false;
    Key exeKey;
    if (!exe.empty() && exeKey.open(appIdRoot.get(), exe, KEY_READ)) {
        char buf[64] = {0};
        DWORD type = 0, size = sizeof buf - 1;
        bool ours = RegQueryValueExA(exeKey.get(), "AppID", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size) ==
                        ERROR_SUCCESS && _stricmp(buf, guid.c_str()) == 0;
        exeKey.close();
        if (ours) RegDeleteKeyA(appIdRoot.get(), exe.c_str());
    }
    if (!appId.open(appIdRoot.get(), guid, KEY_ALL_ACCESS)) return false;
    appId.close();
    // Deleting the key removes its values too (including the service ones).
    RegDeleteKeyA(appIdRoot.get(), guid.c_str());
    return true;
}

bool registerAsService(const CLSID& clsid, const char* serviceName)
{
    Key appIdRoot, appId;
    if (!appIdRoot.open(HKEY_CLASSES_ROOT, "AppID", KEY_ALL_ACCESS)) return false;
    if (!appId.open(appIdRoot.get(), guidText(clsid), KEY_ALL_ACCESS)) return false;
    bool a = appId.set("LocalService", cut(serviceName, 100), 100);
    bool b = appId.set("ServiceParameters", "-Service", 100);
    return a && b;
}

} // namespace qv

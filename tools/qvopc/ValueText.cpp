// qvopc: values, qualities, times, types and rights as text, and back.
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include "QvopcTool.h"

namespace qvopc {

std::wstring wide(const std::string& s)
{
    int n = MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, nullptr, 0);
    std::wstring w(n > 0 ? n - 1 : 0, L'\0');
    MultiByteToWideChar(CP_ACP, 0, s.c_str(), -1, &w[0], n);
    return w;
}

std::string narrow(const wchar_t* w)
{
    if (!w) return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, w, -1, nullptr, 0, nullptr, nullptr);
    std::string s(n > 0 ? n - 1 : 0, '\0');
    WideCharToMultiByte(CP_ACP, 0, w, -1, &s[0], n, nullptr, nullptr);
    return s;
}

namespace {

// Every element in storage order: "[1, 2, 3]".
std::string arrayText(const VARIANT* v)
{
    SAFEARRAY* sa = (V_VT(v) & VT_BYREF) ? (V_ARRAYREF(v) ? *V_ARRAYREF(v) : nullptr) : V_ARRAY(v);
    const VARTYPE vt = V_VT(v) & VT_TYPEMASK;
    if (!sa) return "[]";
    ULONG count = 1;
    for (UINT d = 0; d < sa->cDims; ++d) count *= sa->rgsabound[d].cElements;
    const UINT size = SafeArrayGetElemsize(sa);
    void* data = nullptr;
    if (FAILED(SafeArrayAccessData(sa, &data))) return "<array>";
    std::string out = "[";
    for (ULONG i = 0; i < count; ++i) {
        const BYTE* at = static_cast<const BYTE*>(data) + static_cast<size_t>(i) * size;
        if (i) out += ", ";
        if (vt == VT_VARIANT) {
            out += valueText(reinterpret_cast<const VARIANT*>(at));
            continue;
        }
        // A borrowed view of the element: never cleared.
        VARIANT e;
        VariantInit(&e);
        if (vt == VT_DECIMAL) memcpy(&e, at, sizeof(DECIMAL));
        else memcpy(&V_UI1(&e), at, size <= 8 ? size : 8);
        V_VT(&e) = vt;
        out += valueText(&e);
    }
    SafeArrayUnaccessData(sa);
    return out + "]";
}

} // namespace

std::string valueText(const VARIANT* v)
{
    if (V_VT(v) == VT_EMPTY) return "<empty>";
    if (V_VT(v) & VT_ARRAY) return arrayText(v);
    VARIANT s;
    VariantInit(&s);
    if (FAILED(VariantChangeTypeEx(&s, const_cast<VARIANT*>(v), LOCALE_INVARIANT, VARIANT_ALPHABOOL, VT_BSTR)))
        return "<vt " + std::to_string(V_VT(v)) + ">";
    std::string r = narrow(V_BSTR(&s));
    VariantClear(&s);
    return r;
}

namespace {

// Quality and sub-status names; "--quality" takes them as written here or as printed.
struct QualityName {
    WORD status;
    const char* name;
};
const QualityName kQualities[] = {
    {OPC_QUALITY_GOOD, "good"},
    {OPC_QUALITY_LOCAL_OVERRIDE, "good (local override)"},
    {OPC_QUALITY_BAD, "bad"},
    {OPC_QUALITY_CONFIG_ERROR, "bad (config error)"},
    {OPC_QUALITY_NOT_CONNECTED, "bad (not connected)"},
    {OPC_QUALITY_DEVICE_FAILURE, "bad (device failure)"},
    {OPC_QUALITY_SENSOR_FAILURE, "bad (sensor failure)"},
    {OPC_QUALITY_LAST_KNOWN, "bad (last known)"},
    {OPC_QUALITY_COMM_FAILURE, "bad (comm failure)"},
    {OPC_QUALITY_OUT_OF_SERVICE, "bad (out of service)"},
    {0x20, "bad (waiting for initial data)"},
    {OPC_QUALITY_UNCERTAIN, "uncertain"},
    {OPC_QUALITY_LAST_USABLE, "uncertain (last usable)"},
    {OPC_QUALITY_SENSOR_CAL, "uncertain (sensor cal)"},
    {OPC_QUALITY_EGU_EXCEEDED, "uncertain (egu exceeded)"},
    {OPC_QUALITY_SUB_NORMAL, "uncertain (sub normal)"},
};
const char* const kLimits[] = {"", "low", "high", "constant"};

// Lower case, every run of blanks and of "_()+,-" as one '-', none at the ends.
std::string qualityKey(const std::string& s)
{
    std::string k;
    for (char c : s) {
        if (strchr(" _()+,-", c)) {
            if (!k.empty() && k.back() != '-') k += '-';
        } else {
            k += static_cast<char>(tolower(static_cast<unsigned char>(c)));
        }
    }
    while (!k.empty() && k.back() == '-') k.pop_back();
    return k;
}

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() > tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

} // namespace

std::string qualityText(WORD q)
{
    std::string text;
    for (const QualityName& n : kQualities)
        if (n.status == (q & OPC_STATUS_MASK)) text = n.name;
    if (text.empty()) {
        const char* base = (q & OPC_QUALITY_MASK) == OPC_QUALITY_GOOD ? "good"
                           : (q & OPC_QUALITY_MASK) == OPC_QUALITY_UNCERTAIN ? "uncertain" : "bad";
        char buf[48];
        snprintf(buf, sizeof buf, "%s (0x%02X)", base, q & OPC_STATUS_MASK);
        text = buf;
    }
    if (q & OPC_LIMIT_MASK) text += std::string(", ") + kLimits[q & OPC_LIMIT_MASK] + " limited";
    if (q & 0xFF00) {
        char bits[24];
        snprintf(bits, sizeof bits, " (vendor bits 0x%02X)", q >> 8);
        text += bits;
    }
    return text;
}

bool parseNumber(const std::string& text, unsigned long max, unsigned long* out)
{
    // Base 0 would read "010" as octal 8: only decimal, or hexadecimal after 0x.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) return false;
    for (char c : digits)
        if (!(hex ? isxdigit(static_cast<unsigned char>(c)) : isdigit(static_cast<unsigned char>(c)))) return false;
    errno = 0;
    const unsigned long long v = strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno || v > max) return false;
    *out = static_cast<unsigned long>(v);
    return true;
}

// A number (0xC0 or 192; decimal or 0x-hex only) or a name as qualityText prints it, in any case, with '-' or '_' for
// the blanks: "good", "bad-comm-failure", "uncertain (sub normal)"; a limit may follow:
// "good+high", "good, high limited".
bool parseQuality(const std::string& text, WORD* q)
{
    unsigned long n = 0;
    if (parseNumber(text, 0xFFFF, &n)) {
        *q = static_cast<WORD>(n);
        return true;
    }
    std::string key = qualityKey(text);
    WORD limit = 0;
    for (WORD l = 1; l < 4 && !limit; ++l) {
        for (const std::string& tail : {std::string("-") + kLimits[l], std::string("-") + kLimits[l] + "-limited"}) {
            if (endsWith(key, tail)) {
                key.resize(key.size() - tail.size());
                limit = l;
                break;
            }
        }
    }
    for (const QualityName& name : kQualities) {
        if (qualityKey(name.name) == key) {
            *q = static_cast<WORD>(name.status | limit);
            return true;
        }
    }
    return false;
}

// UTC everywhere: 2024-05-02T10:14:07.512Z.
std::string timeText(const FILETIME& ft)
{
    SYSTEMTIME st;
    if (!FileTimeToSystemTime(&ft, &st)) return "<bad time>";
    char buf[64];
    snprintf(buf, sizeof buf, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute,
             st.wSecond, st.wMilliseconds);
    return buf;
}

void printValue(const FILETIME& t, const std::string& name, const std::string& value, WORD q)
{
    printf("%s  %s = %s  [%s]\n", timeText(t).c_str(), name.c_str(), value.c_str(), qualityText(q).c_str());
}

FILETIME nowUtc()
{
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    return ft;
}

// "now" or the form timeText prints, in UTC: YYYY-MM-DDTHH:MM:SS[.fff][Z].
bool parseTime(const std::string& text, FILETIME* ft)
{
    if (text == "now") {
        *ft = nowUtc();
        return true;
    }
    unsigned y, mo, d, h, mi, s;
    int used = 0;
    if (sscanf(text.c_str(), "%4u-%2u-%2uT%2u:%2u:%2u%n", &y, &mo, &d, &h, &mi, &s, &used) != 6) return false;
    const char* rest = text.c_str() + used;
    unsigned ms = 0, scale = 100;
    if (*rest == '.') {
        if (!isdigit(static_cast<unsigned char>(*++rest))) return false;
        for (; isdigit(static_cast<unsigned char>(*rest)); ++rest, scale /= 10) ms += (*rest - '0') * scale;
    }
    if (*rest == 'Z') ++rest;
    if (*rest) return false;
    SYSTEMTIME st{};
    st.wYear = static_cast<WORD>(y), st.wMonth = static_cast<WORD>(mo), st.wDay = static_cast<WORD>(d);
    st.wHour = static_cast<WORD>(h), st.wMinute = static_cast<WORD>(mi), st.wSecond = static_cast<WORD>(s);
    st.wMilliseconds = static_cast<WORD>(ms);
    return SystemTimeToFileTime(&st, ft) != FALSE;
}

// VALUE as the item's canonical type, converted here (invariant locale, so "1.5" means the same
// on every machine): an array type takes "1,2,3" (or "[1, 2, 3]", as read prints it), one
// element per comma. Unknown type (VT_EMPTY): sent as text for the server to convert.
bool makeWriteValue(const std::string& text, VARTYPE type, VARIANT* out, std::string* why)
{
    VariantInit(out);
    auto convert = [&](const std::string& t, VARTYPE vt, VARIANT* v) {
        VARIANT s;
        VariantInit(&s);
        V_VT(&s) = VT_BSTR;
        V_BSTR(&s) = SysAllocString(wide(t).c_str());
        HRESULT hr = (vt == VT_BSTR || vt == VT_EMPTY || vt == VT_VARIANT)
                         ? VariantCopy(v, &s)
                         : VariantChangeTypeEx(v, &s, LOCALE_INVARIANT, 0, vt);
        VariantClear(&s);
        if (FAILED(hr)) *why = "cannot make \"" + t + "\" a value of type " + typeText(vt);
        return SUCCEEDED(hr);
    };
    if (!(type & VT_ARRAY)) return convert(text, type, out);
    const VARTYPE elem = type & VT_TYPEMASK;
    std::string body = text;
    if (body.size() >= 2 && body.front() == '[' && body.back() == ']') body = body.substr(1, body.size() - 2);
    std::vector<std::string> parts;
    for (size_t at = 0; !body.empty();) {
        size_t comma = body.find(',', at);
        std::string part = body.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
        while (!part.empty() && part.front() == ' ') part.erase(0, 1);
        while (!part.empty() && part.back() == ' ') part.pop_back();
        parts.push_back(part);
        if (comma == std::string::npos) break;
        at = comma + 1;
    }
    SAFEARRAY* sa = SafeArrayCreateVector(elem, 0, static_cast<ULONG>(parts.size()));
    if (!sa) {
        *why = "cannot make an array of type " + typeText(elem);
        return false;
    }
    for (LONG i = 0; i < static_cast<LONG>(parts.size()); ++i) {
        VARIANT e;
        VariantInit(&e);
        if (!convert(parts[i], elem, &e)) {
            SafeArrayDestroy(sa);
            return false;
        }
        // BSTR elements go in by value, VARIANT elements as the VARIANT, the rest by address.
        void* pv = elem == VT_VARIANT ? static_cast<void*>(&e)
                   : elem == VT_BSTR  ? static_cast<void*>(V_BSTR(&e))
                                      : static_cast<void*>(&V_UI1(&e));
        HRESULT hr = SafeArrayPutElement(sa, &i, pv);
        VariantClear(&e);
        if (FAILED(hr)) {
            SafeArrayDestroy(sa);
            *why = "cannot store element " + std::to_string(i);
            return false;
        }
    }
    V_VT(out) = type;
    V_ARRAY(out) = sa;
    return true;
}

namespace {

const struct {
    VARTYPE vt;
    const char *name, *meaning;
} kTypes[] = {
    {VT_EMPTY, "VT_EMPTY", "empty"},      {VT_I2, "VT_I2", "short"},          {VT_I4, "VT_I4", "long"},
    {VT_R4, "VT_R4", "float"},            {VT_R8, "VT_R8", "double"},         {VT_CY, "VT_CY", "currency"},
    {VT_DATE, "VT_DATE", "date"},         {VT_BSTR, "VT_BSTR", "string"},     {VT_ERROR, "VT_ERROR", "error code"},
    {VT_BOOL, "VT_BOOL", "boolean"},      {VT_VARIANT, "VT_VARIANT", "variant"}, {VT_DECIMAL, "VT_DECIMAL", "decimal"},
    {VT_I1, "VT_I1", "char"},             {VT_UI1, "VT_UI1", "byte"},         {VT_UI2, "VT_UI2", "unsigned short"},
    {VT_UI4, "VT_UI4", "unsigned long"},  {VT_I8, "VT_I8", "64-bit integer"}, {VT_UI8, "VT_UI8", "unsigned 64-bit integer"},
    {VT_INT, "VT_INT", "int"},            {VT_UINT, "VT_UINT", "unsigned int"},
};

} // namespace

std::string typeText(VARTYPE vt)
{
    const VARTYPE base = vt & VT_TYPEMASK;
    for (const auto& t : kTypes) {
        if (t.vt != base) continue;
        if (vt & VT_ARRAY) return std::string("VT_ARRAY|") + t.name + " (array of " + t.meaning + ")";
        if (vt == base) return std::string(t.name) + " (" + t.meaning + ")";
    }
    return "VT " + std::to_string(vt);
}

std::string rightsText(DWORD rights)
{
    const bool r = rights & OPC_READABLE, w = rights & OPC_WRITEABLE;
    std::string text = r && w ? "read/write" : r ? "read" : w ? "write" : "none";
    if (rights & ~static_cast<DWORD>(OPC_READABLE | OPC_WRITEABLE)) text += " (" + std::to_string(rights) + ")";
    return text;
}

namespace {

// A DATE (days since 1899-12-30, in the server's local time) to UTC, keeping the milliseconds
// that VariantTimeToSystemTime rounds away.
bool dateToUtc(DATE d, FILETIME* utc)
{
    if (d < 0 || !std::isfinite(d)) return false;
    const double kDaysFrom1601 = 109205.0; // 1601-01-01 to 1899-12-30
    const unsigned long long ms = static_cast<unsigned long long>(std::llround((d + kDaysFrom1601) * 86400000.0));
    const unsigned long long ticks = ms * 10000ull;
    FILETIME local;
    local.dwLowDateTime = static_cast<DWORD>(ticks);
    local.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return LocalFileTimeToFileTime(&local, utc) != FALSE;
}

} // namespace

std::string propertyText(DWORD id, const VARIANT* v)
{
    FILETIME utc;
    switch (id) {
    case 1: // canonical data type
        if (V_VT(v) == VT_I2) return typeText(static_cast<VARTYPE>(V_I2(v)));
        break;
    case 3: // quality
        if (V_VT(v) == VT_I2) return qualityText(static_cast<WORD>(V_I2(v)));
        break;
    case 4: // time stamp: shown in UTC like every time here (this machine's zone is the server's for a local server)
        if (V_VT(v) == VT_DATE && dateToUtc(V_DATE(v), &utc)) return timeText(utc);
        break;
    case 5: // access rights
        if (V_VT(v) == VT_I4) return rightsText(static_cast<DWORD>(V_I4(v)));
        break;
    default:
        break;
    }
    return valueText(v);
}

} // namespace qvopc

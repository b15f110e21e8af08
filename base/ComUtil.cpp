#include "base/ComUtil.h"
#include <cstring>
#include <new>

namespace qv {

std::string narrow(LPCWSTR s)
{
    if (!s || !*s) return std::string();
    // ASCII reads the same in every ANSI code page: item names mostly need no conversion call.
    size_t len = 0;
    WCHAR any = 0;
    for (; s[len]; ++len) any |= s[len];
    if (any < 0x80) {
        std::string out(len, '\0');
        for (size_t i = 0; i < len; ++i) out[i] = static_cast<char>(s[i]);
        return out;
    }
    int n = WideCharToMultiByte(CP_ACP, 0, s, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1) return std::string();
    std::string out(static_cast<size_t>(n - 1), '\0');
    WideCharToMultiByte(CP_ACP, 0, s, -1, &out[0], n, nullptr, nullptr);
    return out;
}

namespace {

// The server's task allocator (set at load); COM's own until then.
void* defaultAlloc(size_t bytes)
{
    void* p = CoTaskMemAlloc(bytes ? bytes : 1);
    if (p) memset(p, 0, bytes ? bytes : 1);
    return p;
}
void* (*g_alloc)(size_t) = defaultAlloc;
void defaultFree(void* p) { CoTaskMemFree(p); }
void (*g_free)(void*) = defaultFree;

} // namespace

void setTaskMemory(void* (*alloc)(size_t), void (*release)(void*))
{
    g_alloc = alloc;
    g_free = release;
}

void* taskMemAlloc(size_t bytes) { return g_alloc(bytes); }
void taskMemFree(void* p) { g_free(p); }

LPWSTR widen(const char* s, bool taskMem)
{
    if (!s) s = "";
    size_t n = strlen(s);
    size_t bytes = 2 * n + 2; // an ANSI text never takes more UTF-16 units than it has bytes
    WCHAR* w = taskMem ? static_cast<WCHAR*>(taskMemAlloc(bytes)) : new (std::nothrow) WCHAR[n + 1];
    if (!w) return nullptr;
    size_t i = 0;
    for (; i < n && !(s[i] & 0x80); ++i) w[i] = static_cast<unsigned char>(s[i]);
    if (i == n) {
        w[n] = 0;
        return w;
    }
    // The same code page as narrow, so a client's text comes back as it went in.
    const int m = MultiByteToWideChar(CP_ACP, 0, s + i, static_cast<int>(n - i), w + i, static_cast<int>(n - i));
    w[i + (m > 0 ? m : 0)] = 0;
    return w;
}

LPWSTR widen(const std::string& s, bool taskMem)
{
    return widen(s.c_str(), taskMem);
}

void freeWide(LPWSTR p, bool taskMem)
{
    if (!p) return;
    if (taskMem) taskMemFree(p);
    else delete[] p;
}

std::string lowBytes(LPCWSTR s)
{
    std::string out;
    if (!s) return out;
    for (; *s; ++s) out.push_back(static_cast<char>(*s & 0xFF));
    return out;
}

namespace {

using ClockFn = VOID(WINAPI*)(LPFILETIME);

// The precise clock reads at full resolution; the plain one only advances with the system tick
// on Windows. Windows 7 lacks the precise one, hence the look-up.
ClockFn pickClock()
{
    if (HMODULE k = GetModuleHandleW(L"kernel32.dll"))
        if (FARPROC p = GetProcAddress(k, "GetSystemTimePreciseAsFileTime"))
            return reinterpret_cast<ClockFn>(reinterpret_cast<void*>(p));
    return &GetSystemTimeAsFileTime;
}

} // namespace

FILETIME utcNow()
{
    static const ClockFn clock = pickClock();
    FILETIME ft;
    clock(&ft);
    return ft;
}

std::string foldCase(const std::string& s)
{
    std::string r(s);
    for (char& c : r)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return r;
}

bool equalsNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool isObjectType(VARTYPE vt)
{
    const VARTYPE base = vt & VT_TYPEMASK;
    return base == VT_DISPATCH || base == VT_UNKNOWN || base == VT_RECORD;
}

namespace {

// The scalar types oleaut32 converts among: every pair of them has a conversion (a value may
// still fail one: text that is no number, a number out of the target's range).
bool convertibleScalar(VARTYPE vt)
{
    switch (vt) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_INT:
    case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8: case VT_UINT:
    case VT_R4: case VT_R8: case VT_CY: case VT_DATE: case VT_DECIMAL: case VT_BOOL: case VT_BSTR:
        return true;
    default:
        return false;
    }
}

} // namespace

bool requestableType(VARTYPE canonical, VARTYPE requested)
{
    if (requested == VT_EMPTY || requested == canonical) return true;
    if (isObjectType(requested) || (requested & (VT_BYREF | VT_VECTOR | VT_RESERVED))) return false;
    // Arrays are handed out in their own type only.
    if ((requested & VT_ARRAY) || (canonical & VT_ARRAY)) return false;
    // A tag without a type yet (made empty) may take any value.
    return (canonical == VT_EMPTY || convertibleScalar(canonical)) && convertibleScalar(requested);
}

namespace {

bool holdsObjectAt(const VARIANT& v, int depth)
{
    const VARTYPE vt = V_VT(&v);
    if (isObjectType(vt)) return true;
    if (depth > 8) return true; // nesting this deep is not a process value: refuse it
    if (vt == (VT_BYREF | VT_VARIANT)) return V_VARIANTREF(&v) && holdsObjectAt(*V_VARIANTREF(&v), depth + 1);
    if ((vt & VT_ARRAY) && (vt & VT_TYPEMASK) == VT_VARIANT) {
        const SAFEARRAY* a = (vt & VT_BYREF) ? (V_ARRAYREF(&v) ? *V_ARRAYREF(&v) : nullptr) : V_ARRAY(&v);
        if (!a || !a->pvData) return false;
        unsigned long long n = 1;
        for (USHORT d = 0; d < a->cDims; ++d) n *= a->rgsabound[d].cElements;
        const VARIANT* e = static_cast<const VARIANT*>(a->pvData);
        for (unsigned long long i = 0; i < n; ++i)
            if (holdsObjectAt(e[i], depth + 1)) return true;
    }
    return false;
}

} // namespace

bool holdsObject(const VARIANT& v) { return holdsObjectAt(v, 0); }

} // namespace qv

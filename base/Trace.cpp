#include "base/Trace.h"
#include <cstdarg>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include "base/CallOut.h"
#include "base/Lock.h"
#include "base/ErrorText.h"

namespace qv {
namespace trace {

std::atomic<int> g_level{kOff};
std::atomic<bool> g_localTime{false};

namespace {

const size_t kQueueLimit = 8192;

// The writer state; every field under `lock` except the handles owned by the writer.
struct Writer {
    // Held through a whole start or stop, so two of them never interleave (two writers
    // started at once would leak one, its handle and its hold on the library).
    std::mutex control;
    RecursiveLock lock;
    std::deque<std::string> queue;
    std::string path;
    size_t rotateBytes = 4u << 20;
    unsigned long dropped = 0;
    bool stopping = false;
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread = nullptr;
    HMODULE module = nullptr;
};

Writer& W()
{
    // Never destroyed: lines may still be queued from threads ending with the process.
    static Writer* w = new Writer();
    return *w;
}

HANDLE openAppend(const std::string& path, size_t* size)
{
    HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return nullptr;
    LARGE_INTEGER li = {};
    GetFileSizeEx(h, &li);
    *size = static_cast<size_t>(li.QuadPart);
    return h;
}

DWORD WINAPI writerMain(void*)
{
    Writer& w = W();
    std::string path;
    size_t limit = 0;
    {
        LockGuard g(w.lock);
        path = w.path;
        limit = w.rotateBytes;
    }
    size_t size = 0;
    HANDLE file = openAppend(path, &size);
    for (;;) {
        std::deque<std::string> batch;
        unsigned long dropped = 0;
        bool stopping;
        {
            LockGuard g(w.lock);
            batch.swap(w.queue);
            dropped = w.dropped;
            w.dropped = 0;
            stopping = w.stopping;
            limit = w.rotateBytes;
        }
        if (dropped) batch.push_back("(" + std::to_string(dropped) + " trace lines dropped: queue full)\r\n");
        for (const std::string& s : batch) {
            if (file && size + s.size() > limit && size > 0) {
                CloseHandle(file);
                MoveFileExA(path.c_str(), (path + ".1").c_str(), MOVEFILE_REPLACE_EXISTING);
                file = openAppend(path, &size);
            }
            DWORD n = 0;
            if (file && WriteFile(file, s.data(), static_cast<DWORD>(s.size()), &n, nullptr)) size += n;
        }
        if (stopping) break;
        WaitForSingleObject(w.wake, 1000);
    }
    if (file) CloseHandle(file);
    // The thread holds the library loaded until here (a host may unload it without
    // stopping the trace).
    HMODULE self = nullptr;
    {
        LockGuard g(w.lock);
        self = w.module;
        w.module = nullptr;
    }
    if (self) FreeLibraryAndExitThread(self, 0);
    return 0;
}

} // namespace

namespace {

// False when the writer did not end in time (a write blocked on a slow disk): it stays
// known, stopping, and the next start or stop waits for it again instead of starting a
// second writer beside it. `control` held.
bool stopWriter(Writer& w)
{
    g_level = kOff;
    HANDLE t;
    {
        LockGuard g(w.lock);
        t = w.thread;
        w.stopping = t != nullptr;
    }
    if (!t) return true;
    SetEvent(w.wake);
    if (WaitForSingleObject(t, 10000) != WAIT_OBJECT_0) return false;
    CloseHandle(t);
    LockGuard g(w.lock);
    w.thread = nullptr;
    w.queue.clear();
    w.stopping = false;
    return true;
}

} // namespace

void stop()
{
    Writer& w = W();
    std::lock_guard<std::mutex> c(w.control);
    stopWriter(w);
}

bool setFile(const char* path, DWORD level)
{
    Writer& w = W();
    std::lock_guard<std::mutex> c(w.control);
    if (!stopWriter(w)) return false;
    if (!path || !*path || (level & ~static_cast<DWORD>(kLocalTime)) == kOff) return true;
    size_t size = 0;
    HANDLE probe = openAppend(path, &size);
    if (!probe) return false;
    CloseHandle(probe);
    LockGuard g(w.lock);
    w.path = path;
    w.thread = createHeldThread(w.module, writerMain, nullptr);
    if (!w.thread) return false;
    g_localTime = (level & kLocalTime) != 0;
    level &= ~static_cast<DWORD>(kLocalTime);
    g_level = level > kItems ? kItems : static_cast<int>(level);
    return true;
}

void setRotateBytes(size_t bytes)
{
    LockGuard g(W().lock);
    W().rotateBytes = bytes < 256 ? 256 : bytes;
}

void line(int level, const char* fmt, ...)
{
    if (!enabled(level)) return;
    char buf[512];
    char stamp[40];
    timeStamp(stamp, sizeof stamp, g_localTime.load(std::memory_order_relaxed));
    int n = snprintf(buf, sizeof buf, "%s [%5lu] ", stamp, static_cast<unsigned long>(GetCurrentThreadId()));
    va_list ap;
    va_start(ap, fmt);
    int m = vsnprintf(buf + n, sizeof buf - n - 2, fmt, ap);
    va_end(ap);
    size_t len = static_cast<size_t>(n) + (m < 0 ? 0 : (m < static_cast<int>(sizeof buf) - n - 2 ? m : sizeof buf - n - 3));
    // A client's text may hold control characters: escaped, it cannot forge a line.
    std::string s(buf, static_cast<size_t>(n));
    for (size_t i = static_cast<size_t>(n); i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(buf[i]);
        if (c >= 0x20 && c != 0x7F) {
            s.push_back(static_cast<char>(c));
            continue;
        }
        char esc[5];
        snprintf(esc, sizeof esc, "\\x%02X", c);
        s += c == '\r' ? "\\r" : c == '\n' ? "\\n" : c == '\t' ? "\\t" : esc;
    }
    s += "\r\n";
    Writer& w = W();
    LockGuard g(w.lock);
    if (!w.thread) return;
    if (w.queue.size() >= kQueueLimit) {
        ++w.dropped;
        return;
    }
    w.queue.push_back(std::move(s));
    if (w.queue.size() == 1) SetEvent(w.wake);
}

void timeStamp(char* out, size_t size, bool local)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    SYSTEMTIME t;
    FileTimeToSystemTime(&now, &t);
    if (!local) {
        snprintf(out, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                 t.wSecond, t.wMilliseconds);
        return;
    }
    SYSTEMTIME l;
    if (!SystemTimeToTzSpecificLocalTime(nullptr, &t, &l)) l = t;
    // The offset is what the conversion applied, so it is right on either side of a DST change.
    FILETIME lf;
    SystemTimeToFileTime(&l, &lf);
    const LONGLONG diff = ((static_cast<LONGLONG>(lf.dwHighDateTime) << 32 | lf.dwLowDateTime) -
                           (static_cast<LONGLONG>(now.dwHighDateTime) << 32 | now.dwLowDateTime)) / 10000;
    // Rounded to whole minutes (the clock's milliseconds fall out of SYSTEMTIME's conversion).
    const long minutes = static_cast<long>((diff >= 0 ? diff + 30000 : diff - 30000) / 60000);
    const long a = minutes < 0 ? -minutes : minutes;
    snprintf(out, size, "%04u-%02u-%02uT%02u:%02u:%02u.%03u%c%02ld:%02ld", l.wYear, l.wMonth, l.wDay, l.wHour,
             l.wMinute, l.wSecond, l.wMilliseconds, minutes < 0 ? '-' : '+', a / 60, a % 60);
}

std::string codeText(HRESULT hr)
{
    // Success codes of the system table read oddly ("Invalid function." for S_FALSE).
    if (hr == S_OK) return "S_OK";
    if (hr == S_FALSE) return "S_FALSE";
    return errorText(hr);
}

namespace {
thread_local DWORD t_client = 0;

// "client 3 " before a line of that client's call; nothing outside a client's call.
std::string clientPrefix()
{
    return t_client ? "client " + std::to_string(t_client) + " " : std::string();
}
} // namespace

ServingClient::ServingClient(DWORD client) : previous_(t_client) { t_client = client; }
ServingClient::~ServingClient() { t_client = previous_; }

HRESULT call(const char* method, unsigned long count, HRESULT hr)
{
    line(FAILED(hr) ? kErrors : kCalls, "%sCALL %s count=%lu -> 0x%08lX %s", clientPrefix().c_str(), method, count,
         static_cast<unsigned long>(hr), codeText(hr).c_str());
    return hr;
}

void item(const char* method, const std::string& name, HRESULT hr)
{
    line(kItems, "%sITEM %s \"%s\" -> 0x%08lX %s", clientPrefix().c_str(), method, name.c_str(),
         static_cast<unsigned long>(hr), codeText(hr).c_str());
}

} // namespace trace
} // namespace qv

#pragma once
// Diagnostic trace: lines are formatted by the caller and queued; a writer thread appends
// them to the file, so no traced thread ever waits for file I/O.
#include <windows.h>
#include <atomic>
#include <cstddef>
#include <new>
#include <string>

namespace qv {
namespace trace {

enum Level : int { kOff = 0, kErrors = 1, kConnections = 2, kCalls = 3, kItems = 4 };
// Added to a level given to setFile: lines carry local time with its offset instead of UTC.
constexpr int kLocalTime = 0x100;

extern std::atomic<int> g_level;

inline bool enabled(int level) { return g_level.load(std::memory_order_relaxed) >= level; }

// Starts (or restarts with another file or level) the trace; a null or empty path or level
// kOff stops it after the queued lines are written. False when the file cannot be opened.
bool setFile(const char* path, DWORD level);
// Stops the writer, writing what is queued first.
void stop();
// Size at which the file is rotated to "<path>.1" (tests make it small).
void setRotateBytes(size_t bytes);

// The time a line begins with: UTC "2024-05-02T10:14:07.512Z", or local time with its offset
// "2024-05-02T12:14:07.512+02:00".
void timeStamp(char* out, size_t size, bool local);
// Formats one line (time, thread, text) and queues it; drops it when the queue is full.
void line(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// A finished method call: traced at kCalls, and at kErrors when it failed.
HRESULT call(const char* method, unsigned long count, HRESULT hr);
// The client whose call this thread is serving (0: none): CALL and ITEM lines begin with
// "client N", as its connection lines do, so one client's calls can be told from another's
// on the RPC threads they share.
class ServingClient {
public:
    explicit ServingClient(DWORD client);
    ~ServingClient();
    ServingClient(const ServingClient&) = delete;
    ServingClient& operator=(const ServingClient&) = delete;

private:
    DWORD previous_;
};

// One item's result that is not S_OK: traced at kItems.
void item(const char* method, const std::string& name, HRESULT hr);
// The text of a result code: "S_OK", "S_FALSE", else the server's error text.
std::string codeText(HRESULT hr);

// Runs a method body and traces its result:
//   return trace::traced(owner_->traceClient(), "IOPCServer::AddGroup", 1, [&]() -> HRESULT { ... });
// Every COM method runs through here, so this is where no exception may pass: out of memory
// anywhere in a body answers E_OUTOFMEMORY, anything else E_UNEXPECTED, and the server goes on.
template <class F>
inline HRESULT traced(DWORD client, const char* method, unsigned long count, F&& body)
{
    ServingClient serving(client);
    HRESULT hr;
    try {
        hr = body();
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    } catch (...) {
        hr = E_UNEXPECTED;
    }
    if (enabled(FAILED(hr) ? kErrors : kCalls)) call(method, count, hr);
    return hr;
}

// As above; when the call succeeded and kItems is traced, `items(method)` then traces the
// per-item results (see itemResults); items(method) may throw.
template <class F, class I>
inline HRESULT traced(DWORD client, const char* method, unsigned long count, F&& body, I&& items)
{
    ServingClient serving(client);
    HRESULT hr = traced(client, method, count, body);
    if (SUCCEEDED(hr) && enabled(kItems)) {
        try {
            items(method);
        } catch (...) {
            // Out of memory for the names: those lines are left out, the call's result stands.
        }
    }
    return hr;
}

// One line per result in `errors` that is not S_OK, naming the item `name(i)` (a string).
template <class Name>
inline void itemResults(const char* method, unsigned long count, const HRESULT* errors, Name&& name)
{
    if (!errors || !enabled(kItems)) return;
    for (unsigned long i = 0; i < count; ++i)
        if (errors[i] != S_OK) item(method, name(i), errors[i]);
}

} // namespace trace
} // namespace qv

// A line whose arguments are evaluated only when the level is traced.
#define QV_TRACE(level, ...) \
    do { \
        if (::qv::trace::enabled(level)) ::qv::trace::line(level, __VA_ARGS__); \
    } while (0)

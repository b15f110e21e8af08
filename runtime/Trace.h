#pragma once
// Diagnostic trace: lines are formatted by the caller and queued; a writer thread appends
// them to the file, so no traced thread ever waits for file I/O.
#include <windows.h>
#include <atomic>
#include <cstddef>

namespace qv {
namespace trace {

enum Level : int { kOff = 0, kErrors = 1, kConnections = 2, kCalls = 3 };

extern std::atomic<int> g_level;

inline bool enabled(int level) { return g_level.load(std::memory_order_relaxed) >= level; }

// Starts (or restarts with another file or level) the trace; a null or empty path or level
// kOff stops it after the queued lines are written. False when the file cannot be opened.
bool setFile(const char* path, DWORD level);
// Stops the writer, writing what is queued first.
void stop();
// Size at which the file is rotated to "<path>.1" (tests make it small).
void setRotateBytes(size_t bytes);

// Formats one line (time, thread, text) and queues it; drops it when the queue is full.
void line(int level, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// A finished method call: traced at kCalls, and at kErrors when it failed.
HRESULT call(const char* method, unsigned long count, HRESULT hr);

// Runs a method body and traces its result.
template <class F>
inline HRESULT traced(const char* method, unsigned long count, F&& body)
{
    HRESULT hr = body();
    if (enabled(FAILED(hr) ? kErrors : kCalls)) call(method, count, hr);
    return hr;
}

} // namespace trace
} // namespace qv

// One line per traced method: `QV_TRACE_CALL("IOPCSyncIO::Read", dwCount, expression)`
// returns the expression's HRESULT after tracing it.
#define QV_TRACE_CALL(method, count, expr) \
    ::qv::trace::traced(method, static_cast<unsigned long>(count), [&]() -> HRESULT { return (expr); })
// A method with a longer body: `QV_TRACE_BODY("IOPCServer::AddGroup", 1) { ... });`
#define QV_TRACE_BODY(method, count) \
    return ::qv::trace::traced(method, static_cast<unsigned long>(count), [&]() -> HRESULT
// A line whose arguments are evaluated only when the level is traced.
#define QV_TRACE(level, ...) \
    do { \
        if (::qv::trace::enabled(level)) ::qv::trace::line(level, __VA_ARGS__); \
    } while (0)

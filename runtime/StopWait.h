#pragma once
#include <windows.h>

namespace qv {

// The stop's one way of waiting: until done() or ms passed. On a single-threaded host's
// thread it pumps messages meanwhile, so the calls and releases of the clients living in its
// apartment run.
template <class Done>
bool stopWait(DWORD ms, bool pump, Done done)
{
    const DWORD start = GetTickCount();
    for (;;) {
        if (done()) return true;
        const DWORD waited = GetTickCount() - start;
        if (waited >= ms) return false;
        const DWORD slice = ms - waited < 10 ? ms - waited : 10;
        if (!pump) {
            Sleep(slice);
            continue;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, slice, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
    }
}

// Waits (as stopWait) for a thread the runtime started to end.
inline bool stopWaitThread(HANDLE thread, DWORD ms, bool pump)
{
    return stopWait(ms, pump, [&] { return WaitForSingleObject(thread, 0) != WAIT_TIMEOUT; });
}

} // namespace qv

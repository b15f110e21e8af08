#pragma once
#include <windows.h>
#include <atomic>

namespace qv {

// What pulses the update period: either a thread of its own whose timer calls App().tick(),
// or (the host's thread is a single-threaded apartment) a timer on the host's thread that
// serves every client there. One of the two runs between a start and a stop.
// With the thread, the host may keep the clock itself (hostTick at the end of each of its
// update cycles): its data then leaves at once instead of waiting up to a period for the
// timer, whose ticks stand aside while the host's keep coming.
class UpdateClock {
public:
    UpdateClock() = default;
    ~UpdateClock() = default;
    UpdateClock(const UpdateClock&) = delete;
    UpdateClock& operator=(const UpdateClock&) = delete;

    // False (nothing left running) when the thread cannot be created.
    bool startThread(DWORD period);
    // False when the timer cannot be set; the calling thread's message loop runs it.
    bool startOnCaller(DWORD period);
    // Ends the thread (waits for it) and kills the caller timer (on the thread that set it);
    // pump: the caller is a single-threaded host's thread, whose waits pump messages.
    void stop(bool pump);
    // Kills the caller timer only: safe where no waiting is allowed (the loader lock).
    void killCallerTimer();
    // A tick of the host's: false (nothing done) when the thread is not running or the last
    // tick is less than half a period old, so group rates never run more than twice as fast.
    bool hostTick();

    HANDLE thread() const { return thread_; }
    // The caller timer's watch: when the host's thread last ran it (or started it).
    static constexpr DWORD kPumpSilenceMs = 5000;
    void notePumped() { lastPumped_ = GetTickCount(); }
    DWORD lastPumped() const { return lastPumped_.load(); }
    HANDLE watchStopEvent() const { return watchStop_; }
    HMODULE watchModule() const { return watchModule_; }
    UINT_PTR callerTimer() const { return callerTimer_; }

private:
    static DWORD WINAPI threadMain(void* self);
    static VOID CALLBACK threadTick(HWND, UINT, UINT_PTR, DWORD);
    // How long the stop waits for one of its threads to end (each only leaves a loop).
    static constexpr DWORD kThreadEndMs = 1000;
    void stopThread();
    void stopWatch(bool pump);
    static LONGLONG nowUs();

    HANDLE thread_ = nullptr;
    HMODULE threadModule_ = nullptr; // the thread's hold on the library
    HANDLE watch_ = nullptr;         // with the caller timer: watches that the host pumps
    HANDLE watchStop_ = nullptr;
    HMODULE watchModule_ = nullptr;
    std::atomic<DWORD> lastPumped_{0};
    std::atomic<DWORD> threadId_{0};
    HANDLE ready_ = nullptr; // set by the thread once its message queue exists
    DWORD period_ = 500;
    UINT_PTR callerTimer_ = 0;
    std::atomic<bool> threadRunning_{false};
    std::atomic<LONGLONG> lastTickUs_{0};
    std::atomic<LONGLONG> lastHostTickUs_{0};
};

// The one clock (created on first use, lives until the library is unloaded, like App()).
UpdateClock& Clock();

} // namespace qv

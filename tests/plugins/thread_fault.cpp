// Raises a fault on a thread of its own, started in its entry point, which
// waits for that thread: the fault never passes through the host's frames.
// THREAD_FAULT names the fault, as ENTRY_FAULT does for entry_fault.cpp.
// THREAD_FAULT_LOCK, when defined, names a lock the entry point takes once
// the thread has started and holds while it waits (kit::LockProcessHeap,
// kit::LockLoader): the fault comes while another thread holds it.

#include <windows.h>

#include "tests/plugins/kit/HostileFaults.h"
#include "tests/plugins/kit/TestPlugin.h"

#ifdef THREAD_FAULT_LOCK
constexpr bool kTakesLock = true;
#else
constexpr bool kTakesLock = false;
#endif

namespace {

HANDLE started = nullptr;
HANDLE mayFault = nullptr;

DWORD WINAPI FaultingThread(void*) {
    // A thread's start allocates from the process heap and takes the
    // loader's lock: it must be under way before the entry point locks them.
    SetEvent(started);
    WaitForSingleObject(mayFault, INFINITE);
    kit::THREAD_FAULT();
    return 0;
}

class ThreadFaultPlugin : public kit::TestPlugin {
public:
    ThreadFaultPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        started = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        mayFault = CreateEventW(nullptr, TRUE, !kTakesLock, nullptr);
        if (!started || !mayFault)
            return;
        HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr);
        if (!thread)
            return;
#ifdef THREAD_FAULT_LOCK
        WaitForSingleObject(started, INFINITE);
        kit::THREAD_FAULT_LOCK();
        SetEvent(mayFault);
#endif
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ThreadFaultPlugin plugin;
    return plugin;
}

// Raises a fault on a thread of its own, started in its entry point, which
// waits for that thread: the fault never passes through the host's frames.
// THREAD_FAULT names the fault, as ENTRY_FAULT does for entry_fault.cpp.
// With THREAD_FAULT_HEAP_LOCKED 1 the entry point takes the process heap's
// lock once the thread has started and holds it while it waits: the fault
// comes while another thread holds the heap.

#include <windows.h>

#include "tests/plugins/kit/HostileFaults.h"
#include "tests/plugins/kit/TestPlugin.h"

#ifndef THREAD_FAULT_HEAP_LOCKED
#define THREAD_FAULT_HEAP_LOCKED 0
#endif

namespace {

HANDLE started = nullptr;
HANDLE mayFault = nullptr;

DWORD WINAPI FaultingThread(void*) {
    // A thread's start allocates from the process heap: it must be under
    // way before the entry point locks the heap.
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
        mayFault = CreateEventW(nullptr, TRUE, !THREAD_FAULT_HEAP_LOCKED, nullptr);
        if (!started || !mayFault)
            return;
        HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr);
        if (!thread)
            return;
        if (THREAD_FAULT_HEAP_LOCKED) {
            WaitForSingleObject(started, INFINITE);
            HeapLock(GetProcessHeap());
            SetEvent(mayFault);
        }
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ThreadFaultPlugin plugin;
    return plugin;
}

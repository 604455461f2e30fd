// Raises a fault on a thread of its own, started in its entry point, which
// waits for that thread: the fault never passes through the host's frames.
// THREAD_FAULT names the fault, as ENTRY_FAULT does for entry_fault.cpp.

#include <windows.h>

#include "tests/plugins/kit/HostileFaults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

DWORD WINAPI FaultingThread(void*) {
    kit::THREAD_FAULT();
    return 0;
}

class ThreadFaultPlugin : public kit::TestPlugin {
public:
    ThreadFaultPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        HANDLE thread = CreateThread(nullptr, 0, FaultingThread, nullptr, 0, nullptr);
        if (!thread)
            return;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ThreadFaultPlugin plugin;
    return plugin;
}

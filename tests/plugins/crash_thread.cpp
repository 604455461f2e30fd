// Faults on a thread of its own, started in its entry point, which waits
// for that thread: the fault never passes through the host's frames.

#include <windows.h>

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

DWORD WINAPI FaultingThread(void*) {
    kit::WriteToAddressZero();
    return 0;
}

class CrashThreadPlugin : public kit::TestPlugin {
public:
    CrashThreadPlugin() : TestPlugin({}) {}

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
    static CrashThreadPlugin plugin;
    return plugin;
}

// Scans as a plain plug-in, but its entry point leaves a thread behind that
// faults a while after the scan has ended, while the host is between
// requests. The DLL pins itself, so that the fault is the thread's own and
// not that of code unloaded under it.

#include <windows.h>

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

constexpr DWORD kFaultDelayMs = 300;

DWORD WINAPI FaultLater(void*) {
    Sleep(kFaultDelayMs);
    kit::WriteToAddressZero();
    return 0;
}

class LateFaultPlugin : public kit::TestPlugin {
public:
    LateFaultPlugin() : TestPlugin({.name = "Late Fault"}) {}

private:
    void OnEntry(const char*) override {
        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<const wchar_t*>(&FaultLater), &self);
        HANDLE thread = CreateThread(nullptr, 0, FaultLater, nullptr, 0, nullptr);
        if (thread)
            CloseHandle(thread);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static LateFaultPlugin plugin;
    return plugin;
}

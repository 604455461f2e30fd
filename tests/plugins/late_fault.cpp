// Answers at once as the plain plug-in does under the name "Late Fault",
// but its entry point starts a thread that writes to address 0
// LATE_FAULT_MS milliseconds later, long after the report went out: the
// server dies while it scans other plug-ins, or between requests.
// With LATE_FAULT_PIN the DLL pins itself, so that the fault lies in its
// own code; without it the host unloads the DLL after the scan and the
// thread wakes up in memory that no module holds any more.

#include <windows.h>

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

#ifndef LATE_FAULT_MS
#define LATE_FAULT_MS 250
#endif
#ifndef LATE_FAULT_PIN
#define LATE_FAULT_PIN 1
#endif

namespace {

DWORD WINAPI FaultLater(void*) {
    Sleep(LATE_FAULT_MS);
    kit::WriteToAddressZero();
    return 0;
}

class LateFaultPlugin : public kit::TestPlugin {
public:
    LateFaultPlugin() : TestPlugin({.name = "Late Fault"}) {}

private:
    void OnEntry(const char*) override {
        if (LATE_FAULT_PIN) {
            HMODULE self = nullptr;
            GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                               reinterpret_cast<LPCWSTR>(&FaultLater), &self);
        }
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

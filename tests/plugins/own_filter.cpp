// Installs an unhandled-exception filter of its own in its entry point,
// one that ends the process with exit code 77, then faults when asked for
// its vendor. A host that installs its own filter again after the entry
// call is the one that sees the fault.

#include <windows.h>

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

constexpr UINT kOwnFilterExitCode = 77;

LONG WINAPI EndProcessWith77(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), kOwnFilterExitCode);
    return EXCEPTION_CONTINUE_SEARCH;
}

class OwnFilterPlugin : public kit::TestPlugin {
public:
    OwnFilterPlugin() : TestPlugin({}) {}

    VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) override {
        if (opcode == effGetVendorString)
            kit::WriteToAddressZero();
        return TestPlugin::Dispatch(opcode, index, value, ptr, opt);
    }

private:
    void OnEntry(const char*) override { SetUnhandledExceptionFilter(EndProcessWith77); }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static OwnFilterPlugin plugin;
    return plugin;
}

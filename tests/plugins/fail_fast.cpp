// Ends the process from its entry point the way fail-fast code does, with
// no exception that any filter, or the server's crash dump, could see.
// Without FAIL_FAST_CODE it calls RaiseFailFastException; with it, it ends
// the process with TerminateProcess and that code, as __fastfail does with
// 0xC0000409 and the heap's checks with 0xC0000374.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class FailFastPlugin : public kit::TestPlugin {
public:
    FailFastPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
#ifdef FAIL_FAST_CODE
        TerminateProcess(GetCurrentProcess(), FAIL_FAST_CODE);
#else
        RaiseFailFastException(nullptr, nullptr, 0);
#endif
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static FailFastPlugin plugin;
    return plugin;
}

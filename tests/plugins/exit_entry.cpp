// Ends the whole process from its entry point with ExitProcess and the code
// EXIT_ENTRY_CODE, as some copy-protection code does: no fault, no dump.
// With EXIT_ENTRY_THREAD 1 it ends only the thread that called it, the
// server's main thread, with ExitThread and that code.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

#ifndef EXIT_ENTRY_CODE
#define EXIT_ENTRY_CODE 0
#endif
#ifndef EXIT_ENTRY_THREAD
#define EXIT_ENTRY_THREAD 0
#endif

namespace {

class ExitEntryPlugin : public kit::TestPlugin {
public:
    ExitEntryPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        if (EXIT_ENTRY_THREAD)
            ExitThread(EXIT_ENTRY_CODE);
        ExitProcess(EXIT_ENTRY_CODE);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ExitEntryPlugin plugin;
    return plugin;
}

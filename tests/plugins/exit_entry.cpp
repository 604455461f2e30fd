// Ends the whole process from its entry point with ExitProcess and the code
// EXIT_ENTRY_CODE, as some copy-protection code does: no fault, no dump.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

#ifndef EXIT_ENTRY_CODE
#define EXIT_ENTRY_CODE 0
#endif

namespace {

class ExitEntryPlugin : public kit::TestPlugin {
public:
    ExitEntryPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override { ExitProcess(EXIT_ENTRY_CODE); }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ExitEntryPlugin plugin;
    return plugin;
}

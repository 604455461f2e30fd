// Raises a fault inside its entry point. ENTRY_FAULT names the fault, one of
// the functions of kit/Faults.h or kit/HostileFaults.h; the CMake file builds
// one DLL per fault. With ENTRY_FAULT_LOAD_MS, loading the DLL takes that
// many milliseconds first.

#include <windows.h>

#include "tests/plugins/kit/HostileFaults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

#ifdef ENTRY_FAULT_LOAD_MS
// Constructors of a DLL's globals run inside LoadLibrary.
const bool slowLoad = (Sleep(ENTRY_FAULT_LOAD_MS), true);
#endif

class EntryFaultPlugin : public kit::TestPlugin {
public:
    EntryFaultPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override { kit::ENTRY_FAULT(); }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static EntryFaultPlugin plugin;
    return plugin;
}

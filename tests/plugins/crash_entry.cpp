// Faults inside its entry point.

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

class CrashEntryPlugin : public kit::TestPlugin {
public:
    CrashEntryPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override { kit::WriteToAddressZero(); }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static CrashEntryPlugin plugin;
    return plugin;
}

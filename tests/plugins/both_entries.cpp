// Exports both "VSTPluginMain" and "main" and names itself after the one it
// was entered through.

#include <cstring>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class BothEntriesPlugin : public kit::TestPlugin {
public:
    BothEntriesPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char* exportName) override {
        current.name =
            strcmp(exportName, "main") == 0 ? "Entered main" : "Entered VSTPluginMain";
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static BothEntriesPlugin plugin;
    return plugin;
}

// An entry point that hands out no AEffect.

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class NullEntryPlugin : public kit::TestPlugin {
public:
    NullEntryPlugin() : TestPlugin({}) {}
    AEffect* Enter(HostCallbackFn, const char*) override { return nullptr; }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static NullEntryPlugin plugin;
    return plugin;
}

// Exports "JBridgeBootstrap" beside "VSTPluginMain": a host must take it for
// a jBridge bootstrap and never enter it, so entering it faults.

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

class JBridgePlugin : public kit::TestPlugin {
public:
    JBridgePlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override { kit::WriteToAddressZero(); }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static JBridgePlugin plugin;
    return plugin;
}

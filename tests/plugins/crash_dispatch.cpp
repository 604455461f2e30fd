// Faults when asked for its name, the first dispatcher query of a scan.

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

class CrashDispatchPlugin : public kit::TestPlugin {
public:
    CrashDispatchPlugin() : TestPlugin({}) {}

    VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) override {
        if (opcode == effGetEffectName)
            kit::WriteToAddressZero();
        return TestPlugin::Dispatch(opcode, index, value, ptr, opt);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static CrashDispatchPlugin plugin;
    return plugin;
}

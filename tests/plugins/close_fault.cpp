// A complete plug-in that faults while it handles effClose. CLOSE_FAULT
// names the fault, one of the functions of kit/Faults.h; the CMake file
// builds one DLL per fault.

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

class CloseFaultPlugin : public kit::TestPlugin {
public:
    CloseFaultPlugin() : TestPlugin({.name = "Close Fault"}) {}

    VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) override {
        if (opcode == effClose)
            kit::CLOSE_FAULT();
        return TestPlugin::Dispatch(opcode, index, value, ptr, opt);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static CloseFaultPlugin plugin;
    return plugin;
}

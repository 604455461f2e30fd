// A synth that answers the shell category: the synth flag must win. It
// also answers effShellGetNextPlugin with one sub-plug-in, so that a
// scanner that wrongly lists it as a shell shows it.

#include "tests/plugins/kit/TestPlugin.h"

namespace {

const kit::CanDoAnswer kCanDo[] = {
    {"receiveVstEvents", 1},
    {nullptr, 0},
};

class SynthPlugin : public kit::TestPlugin {
public:
    SynthPlugin()
        : TestPlugin({
              .flags = effFlagsIsSynth,
              .numInputs = 0,
              .numOutputs = 2,
              .name = "Test Synth",
              .category = kPlugCategShell,
              .canDo = kCanDo,
          }) {}

    VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) override {
        if (opcode == effShellGetNextPlugin) {
            if (listed_)
                return 0;
            listed_ = true;
            kit::CopyString(ptr, "Synth Sub");
            return 7;
        }
        return TestPlugin::Dispatch(opcode, index, value, ptr, opt);
    }

private:
    void OnEntry(const char*) override { listed_ = false; }

    bool listed_ = false;
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static SynthPlugin plugin;
    return plugin;
}

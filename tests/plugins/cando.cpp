// Fixed effCanDo answers, 0 ("don't know") among them. Before answering it
// passes each query to the host as audioMasterCanDo "asked:<query>", so the
// host's log shows which queries it received, in order.

#include <cstdio>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

const kit::CanDoAnswer kCanDo[] = {
    {"receiveVstMidiEvent", 0},
    {"sendVstMidiEvent", -1},
    {"sendVstEvents", 1},
    {nullptr, 0},
};

class CanDoPlugin : public kit::TestPlugin {
public:
    CanDoPlugin() : TestPlugin({.canDo = kCanDo}) {}

    VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) override {
        if (opcode == effCanDo && ptr) {
            char asked[600];
            snprintf(asked, sizeof asked, "asked:%s", static_cast<const char*>(ptr));
            CallHost(audioMasterCanDo, 0, asked);
        }
        return TestPlugin::Dispatch(opcode, index, value, ptr, opt);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static CanDoPlugin plugin;
    return plugin;
}

// Asks for MIDI only through audioMasterWantMidi during its entry call; it
// answers -1 to every effCanDo.

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class WantMidiPlugin : public kit::TestPlugin {
public:
    WantMidiPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override { CallHost(audioMasterWantMidi); }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static WantMidiPlugin plugin;
    return plugin;
}

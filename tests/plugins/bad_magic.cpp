// An AEffect without the VST 2 magic number.

#include "tests/plugins/kit/TestPlugin.h"

kit::TestPlugin& kit::ThePlugin() {
    static TestPlugin plugin({.magic = 0x12345678});
    return plugin;
}

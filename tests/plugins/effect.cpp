// An effect with 64-bit processing and a vendor version, in a DLL whose file
// version (9.8.7.6) differs: the vendor version must win.

#include "tests/plugins/kit/TestPlugin.h"

kit::TestPlugin& kit::ThePlugin() {
    static TestPlugin plugin({
        .uniqueId = 0x45464658,  // 'EFFX'
        .flags = effFlagsCanReplacing | effFlagsCanDoubleReplacing,
        .name = "Test Effect",
        .category = kPlugCategEffect,
        .vendorVersion = 1234,
    });
    return plugin;
}

// Takes SLOW_ENTRY_MS milliseconds in its entry point, then answers as the
// plain plug-in does under the name "Slow Plugin": slow, but not hung.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

#ifndef SLOW_ENTRY_MS
#define SLOW_ENTRY_MS 3000
#endif

namespace {

class SlowEntryPlugin : public kit::TestPlugin {
public:
    SlowEntryPlugin() : TestPlugin({.name = "Slow Plugin"}) {}

private:
    void OnEntry(const char*) override { Sleep(SLOW_ENTRY_MS); }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static SlowEntryPlugin plugin;
    return plugin;
}

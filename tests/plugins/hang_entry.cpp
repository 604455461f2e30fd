// Never returns from its entry point: a host must give up on it.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class HangEntryPlugin : public kit::TestPlugin {
public:
    HangEntryPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override { Sleep(INFINITE); }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static HangEntryPlugin plugin;
    return plugin;
}

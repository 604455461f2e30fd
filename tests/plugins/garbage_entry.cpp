// An entry point that hands out a pointer to no AEffect at all: the server
// faults in its own code reading it.

#include <cstdint>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class GarbageEntryPlugin : public kit::TestPlugin {
public:
    GarbageEntryPlugin() : TestPlugin({}) {}
    AEffect* Enter(HostCallbackFn, const char*) override {
        return reinterpret_cast<AEffect*>(static_cast<uintptr_t>(0x10));
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static GarbageEntryPlugin plugin;
    return plugin;
}

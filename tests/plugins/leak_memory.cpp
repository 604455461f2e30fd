// Takes LEAK_MEMORY_MB megabytes of committed memory in its entry point,
// writes to every page and never gives it back, as some plug-ins do with
// caches that outlive them. Then answers as the plain plug-in does.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

#ifndef LEAK_MEMORY_MB
#define LEAK_MEMORY_MB 300
#endif

namespace {

class LeakMemoryPlugin : public kit::TestPlugin {
public:
    LeakMemoryPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        size_t size = static_cast<size_t>(LEAK_MEMORY_MB) * 1024 * 1024;
        auto* memory = static_cast<volatile char*>(VirtualAlloc(nullptr, size, MEM_RESERVE | MEM_COMMIT,
                                                                PAGE_READWRITE));
        for (size_t at = 0; memory && at < size; at += 4096)
            memory[at] = 1;
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static LeakMemoryPlugin plugin;
    return plugin;
}

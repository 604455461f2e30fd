// A shell that lists MANY_SHELL_COUNT sub-plug-ins, ids 1 to N named
// "Sub N", then 0; with MANY_SHELL_COUNT 0 it never stops listing. Each
// answer takes MANY_SHELL_PACE_MS. Entered while the host answers
// audioMasterCurrentId with one of those ids, it presents that sub-plug-in.

#include <windows.h>

#include <cstdio>

#include "tests/plugins/kit/TestPlugin.h"

#ifndef MANY_SHELL_COUNT
#define MANY_SHELL_COUNT 3000
#endif
#ifndef MANY_SHELL_PACE_MS
#define MANY_SHELL_PACE_MS 0
#endif

namespace {

class ManyShellPlugin : public kit::TestPlugin {
public:
    ManyShellPlugin() : TestPlugin({.category = kPlugCategShell}) {}

    VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) override {
        if (opcode == effShellGetNextPlugin && current.category == kPlugCategShell) {
            if (MANY_SHELL_COUNT && next_ > MANY_SHELL_COUNT)
                return 0;
            if (MANY_SHELL_PACE_MS)
                Sleep(MANY_SHELL_PACE_MS);
            char name[32];
            snprintf(name, sizeof name, "Sub %d", next_);
            kit::CopyString(ptr, name);
            return next_++;
        }
        if (opcode == effGetEffectName && current.category != kPlugCategShell) {
            char name[32];
            snprintf(name, sizeof name, "Sub %d", current.uniqueId);
            return kit::CopyString(ptr, name);
        }
        return TestPlugin::Dispatch(opcode, index, value, ptr, opt);
    }

private:
    void OnEntry(const char*) override {
        next_ = 1;
        auto wanted = static_cast<int32_t>(CallHost(audioMasterCurrentId));
        if (wanted >= 1 && (!MANY_SHELL_COUNT || wanted <= MANY_SHELL_COUNT)) {
            current.uniqueId = wanted;
            current.category = kPlugCategEffect;
        }
    }

    int32_t next_ = 1;
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ManyShellPlugin plugin;
    return plugin;
}

// A shell: lists the ids 1, 2 and 1 again (a duplicate), then 0. Entered
// while the host answers audioMasterCurrentId with 1 or 2, it presents
// that sub-plug-in instead. Every entry starts the listing again.

#include "tests/plugins/kit/TestPlugin.h"

namespace {

struct SubPlugin {
    int32_t id;
    const char* name;
};

const SubPlugin kListing[] = {
    {1, "Shell Sub One"},
    {2, "Shell Sub Two"},
    {1, "Shell Sub One"},
};
constexpr int kListingLength = sizeof kListing / sizeof kListing[0];

class ShellPlugin : public kit::TestPlugin {
public:
    ShellPlugin() : TestPlugin({.category = kPlugCategShell}) {}

    VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) override {
        if (opcode == effShellGetNextPlugin && current.category == kPlugCategShell) {
            if (next_ >= kListingLength)
                return 0;
            const SubPlugin& sub = kListing[next_++];
            kit::CopyString(ptr, sub.name);
            return sub.id;
        }
        return TestPlugin::Dispatch(opcode, index, value, ptr, opt);
    }

private:
    void OnEntry(const char*) override {
        next_ = 0;
        auto wanted = static_cast<int32_t>(CallHost(audioMasterCurrentId));
        for (const SubPlugin& sub : kListing) {
            if (wanted != 0 && sub.id == wanted) {
                current.uniqueId = sub.id;
                current.name = sub.name;
                current.category = kPlugCategEffect;
            }
        }
    }

    int next_ = 0;
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ShellPlugin plugin;
    return plugin;
}

// Reports the host's answer to audioMasterCurrentId, asked during its entry
// call, as its name: "id=" and eight upper-case hexadecimal digits.

#include <cstdio>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class CurrentIdPlugin : public kit::TestPlugin {
public:
    CurrentIdPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        auto id = static_cast<uint32_t>(CallHost(audioMasterCurrentId));
        snprintf(name_, sizeof name_, "id=%08X", id);
        current.name = name_;
    }

    char name_[16] = {};
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static CurrentIdPlugin plugin;
    return plugin;
}

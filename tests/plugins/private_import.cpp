// The plain plug-in, named after the answer of private_helper.dll, a DLL of
// its own that lies beside it: "Private Helper 42". The loader finds the
// helper only because the plug-in's folder is searched for its imports.

#include <cstdio>

#include "tests/plugins/kit/TestPlugin.h"

extern "C" __declspec(dllimport) int PrivateHelperAnswer();

namespace {

class PrivateImportPlugin : public kit::TestPlugin {
public:
    PrivateImportPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        snprintf(name_, sizeof name_, "Private Helper %d", PrivateHelperAnswer());
        current.name = name_;
    }

    char name_[32] = {};
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static PrivateImportPlugin plugin;
    return plugin;
}

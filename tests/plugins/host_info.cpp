// Asks the host for its vendor, product, vendor version and VST version
// during its entry call and reports them as its name:
// "vendor=...;product=...;vv=...;ver=...".

#include <cstdio>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class HostInfoPlugin : public kit::TestPlugin {
public:
    HostInfoPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        // The host's string answers go into 64-byte buffers.
        char vendor[kVstHostStringBufferSize] = {};
        char product[kVstHostStringBufferSize] = {};
        CallHost(audioMasterGetVendorString, 0, vendor);
        CallHost(audioMasterGetProductString, 0, product);
        auto vendorVersion = static_cast<int>(CallHost(audioMasterGetVendorVersion));
        auto version = static_cast<int>(CallHost(audioMasterVersion));
        snprintf(name_, sizeof name_, "vendor=%s;product=%s;vv=%d;ver=%d", vendor, product,
                 vendorVersion, version);
        current.name = name_;
    }

    char name_[256] = {};
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static HostInfoPlugin plugin;
    return plugin;
}

// Strings that need care: a name with bytes above 127, characters that a
// report must escape and a control character; a vendor string of 2000
// bytes, far beyond the 512-byte buffer of the VST 2 convention (the host
// must survive it); a product with a quotation mark, a solidus and a
// backslash.

#include <cstring>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

// Bytes: "Caf", 0xE9, " \"Quote\" Back\slash So/lidus Tab", TAB, "Ctl", 0x01, "End".
// The literal is split after \x01, which would otherwise swallow the E.
const char kName[] = "Caf\xE9 \"Quote\" Back\\slash So/lidus Tab\tCtl\x01" "End";
const char kProduct[] = "Prod\"uct/\\";
constexpr int kVendorLength = 2000;

class StringsPlugin : public kit::TestPlugin {
public:
    StringsPlugin() : TestPlugin({.name = kName, .product = kProduct}) {
        memset(vendor_, 'V', kVendorLength);
        vendor_[kVendorLength] = 0;
    }

private:
    void OnEntry(const char*) override { current.vendor = vendor_; }

    char vendor_[kVendorLength + 1];
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static StringsPlugin plugin;
    return plugin;
}

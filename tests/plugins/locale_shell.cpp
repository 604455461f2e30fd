// A shell that switches the C runtime it shares with the host to a
// double-byte code page (932) on entry, then hands the host bytes that
// code page would pair: E9 81. The host must still take each byte as one
// character, in its capability log line and in the sub-plug-in's name.

#include <clocale>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

const char kPairedBytes[] = "Caf\xE9\x81";

class LocaleShellPlugin : public kit::TestPlugin {
public:
    LocaleShellPlugin() : TestPlugin({.category = kPlugCategShell}) {}

    VstIntPtr Dispatch(int32_t opcode, int32_t index, VstIntPtr value, void* ptr,
                       float opt) override {
        if (opcode == effShellGetNextPlugin) {
            if (listed_)
                return 0;
            listed_ = true;
            kit::CopyString(ptr, kPairedBytes);
            return 5;
        }
        return TestPlugin::Dispatch(opcode, index, value, ptr, opt);
    }

private:
    void OnEntry(const char*) override {
        listed_ = false;
        setlocale(LC_ALL, ".932");
        CallHost(audioMasterCanDo, 0, const_cast<char*>(kPairedBytes));
    }

    bool listed_ = false;
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static LocaleShellPlugin plugin;
    return plugin;
}

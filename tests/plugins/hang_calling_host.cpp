// Never returns from its entry point, which has started a thread that
// calls the host every millisecond: the hung server keeps logging.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

class HangCallingHostPlugin : public kit::TestPlugin {
public:
    HangCallingHostPlugin() : TestPlugin({}) {}

private:
    static DWORD WINAPI CallHostForever(void* plugin) {
        for (;;) {
            static_cast<HangCallingHostPlugin*>(plugin)->CallHost(audioMasterVersion);
            Sleep(1);
        }
    }

    void OnEntry(const char*) override {
        HANDLE thread = CreateThread(nullptr, 0, CallHostForever, this, 0, nullptr);
        if (thread)
            CloseHandle(thread);
        Sleep(INFINITE);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static HangCallingHostPlugin plugin;
    return plugin;
}

// Finds the host's pipes on the server's command line (its first two
// arguments are their handles) and meddles with them in its entry point:
// PIPE_MEDDLE=1 writes a prompt into the output pipe, as if the server
// were done; PIPE_MEDDLE=2 closes the input pipe, so that the server ends
// after this request. Then it answers as the plain plug-in does.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "tests/plugins/kit/TestPlugin.h"

#ifndef PIPE_MEDDLE
#define PIPE_MEDDLE 1
#endif

namespace {

HANDLE ServerArgumentHandle(int position) {
    int count = 0;
    wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    HANDLE handle = nullptr;
    if (arguments && position < count)
        handle = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(wcstoull(arguments[position], nullptr, 16)));
    LocalFree(arguments);
    return handle;
}

class PipeMeddlePlugin : public kit::TestPlugin {
public:
    PipeMeddlePlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        if (PIPE_MEDDLE == 1) {
            DWORD written = 0;
            WriteFile(ServerArgumentHandle(2), "ready:\n", 7, &written, nullptr);
        } else {
            CloseHandle(ServerArgumentHandle(1));
        }
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static PipeMeddlePlugin plugin;
    return plugin;
}

// Prints to standard output and standard error in its entry point, through
// the C runtime it shares with the host and straight to the handles, text
// that looks like the scan server's own lines (a prompt, a report line).
// Then answers as the plain plug-in does under the name "Printing Plugin".

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

void WriteToHandle(DWORD which, const char* text) {
    DWORD written = 0;
    WriteFile(GetStdHandle(which), text, static_cast<DWORD>(strlen(text)), &written, nullptr);
}

class PrintsPlugin : public kit::TestPlugin {
public:
    PrintsPlugin() : TestPlugin({.name = "Printing Plugin"}) {}

private:
    void OnEntry(const char*) override {
        printf("prints.dll on stdout\nready:\n");
        fflush(stdout);
        fprintf(stderr, "prints.dll on stderr\n>:{\n");
        fflush(stderr);
        WriteToHandle(STD_OUTPUT_HANDLE, "prints.dll straight to the output handle\n");
        WriteToHandle(STD_ERROR_HANDLE, "prints.dll straight to the error handle\n");
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static PrintsPlugin plugin;
    return plugin;
}

// Starts a child process that inherits every inheritable handle of the host,
// then faults in its entry point. The child is rundll32 running this DLL's
// HoldInheritedHandles, which keeps whatever it inherited open until the
// event "Local\scan-test-release-PID" (PID: the host's process id, given on
// its command line) is set, or for 30 seconds at most.

#include <windows.h>

#include <cwchar>

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

constexpr DWORD kLongestHoldMs = 30000;

void StartChild() {
    wchar_t self[MAX_PATH];
    wchar_t system[MAX_PATH];
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<const wchar_t*>(&StartChild), &module) ||
        !GetModuleFileNameW(module, self, MAX_PATH) || !GetSystemDirectoryW(system, MAX_PATH))
        return;
    wchar_t program[MAX_PATH + 16];
    swprintf(program, MAX_PATH + 16, L"%ls\\rundll32.exe", system);
    wchar_t commandLine[2 * MAX_PATH + 64];
    swprintf(commandLine, 2 * MAX_PATH + 64, L"rundll32.exe \"%ls\",HoldInheritedHandles %lu", self,
             GetCurrentProcessId());
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (CreateProcessW(program, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &info)) {
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
}

class ChildProcessPlugin : public kit::TestPlugin {
public:
    ChildProcessPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        StartChild();
        kit::WriteToAddressZero();
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ChildProcessPlugin plugin;
    return plugin;
}

// rundll32's calling convention: window, instance, the rest of the command
// line as bytes, show command.
extern "C" void CALLBACK HoldInheritedHandles(HWND, HINSTANCE, char* commandLine, int) {
    wchar_t name[64];
    swprintf(name, 64, L"Local\\scan-test-release-%hs", commandLine ? commandLine : "");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, name);
    if (release) {
        WaitForSingleObject(release, kLongestHoldMs);
        CloseHandle(release);
    } else {
        Sleep(kLongestHoldMs);
    }
}

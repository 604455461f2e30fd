// Dies in its entry point twice, two ways: the first time it is loaded
// from a folder it leaves a mark beside itself (NAME.dll.crashed) and
// writes to address 0 in its own code; every later time it finds the mark
// and ends the process with exit code 7.

#include <windows.h>

#include <string>

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

std::wstring MarkPath() {
    HMODULE self = nullptr;
    wchar_t path[MAX_PATH] = {};
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&MarkPath), &self);
    GetModuleFileNameW(self, path, MAX_PATH);
    return std::wstring(path) + L".crashed";
}

class CrashThenExitPlugin : public kit::TestPlugin {
public:
    CrashThenExitPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        HANDLE mark = CreateFileW(MarkPath().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (mark == INVALID_HANDLE_VALUE)
            ExitProcess(7);
        CloseHandle(mark);
        kit::WriteToAddressZero();
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static CrashThenExitPlugin plugin;
    return plugin;
}

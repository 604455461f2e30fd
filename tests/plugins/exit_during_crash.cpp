// Faults in its entry point while a thread of its own calls exit(0) just
// after the fault: a vectored handler, which sees the fault before any
// filter does, sets the thread off, and the thread waits 20 ms more, by
// when the fault has reached the host's filter.

#include <windows.h>

#include <cstdlib>

#include "tests/plugins/kit/Faults.h"
#include "tests/plugins/kit/TestPlugin.h"

namespace {

constexpr DWORD kExitDelayMs = 20;

HANDLE faulted = nullptr;

LONG CALLBACK NoteTheFault(EXCEPTION_POINTERS*) {
    SetEvent(faulted);
    return EXCEPTION_CONTINUE_SEARCH;
}

DWORD WINAPI ExitAfterTheFault(void*) {
    WaitForSingleObject(faulted, INFINITE);
    Sleep(kExitDelayMs);
    exit(0);
}

class ExitDuringCrashPlugin : public kit::TestPlugin {
public:
    ExitDuringCrashPlugin() : TestPlugin({}) {}

private:
    void OnEntry(const char*) override {
        faulted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE thread = CreateThread(nullptr, 0, ExitAfterTheFault, nullptr, 0, nullptr);
        if (!faulted || !thread)
            return;
        CloseHandle(thread);
        AddVectoredExceptionHandler(1, NoteTheFault);
        kit::WriteToAddressZero();
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static ExitDuringCrashPlugin plugin;
    return plugin;
}

// Installs an unhandled-exception filter of its own in its entry point and
// then, still inside the entry call, writes to a page it reserved without
// access. The filter makes the page writable and answers FILTER_ANSWER
// (EXCEPTION_EXECUTE_HANDLER, EXCEPTION_CONTINUE_SEARCH or
// EXCEPTION_CONTINUE_EXECUTION): only "continue execution" lets the write
// run again, now successfully, and the scan go on.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

void* lockedPage = nullptr;

LONG WINAPI RepairAndAnswer(EXCEPTION_POINTERS*) {
    DWORD old = 0;
    VirtualProtect(lockedPage, 1, PAGE_READWRITE, &old);
    return FILTER_ANSWER;
}

class FilterAnswerPlugin : public kit::TestPlugin {
public:
    FilterAnswerPlugin() : TestPlugin({.name = "Filter Continued"}) {}

private:
    void OnEntry(const char*) override {
        lockedPage = VirtualAlloc(nullptr, 1, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
        if (!lockedPage)
            return;
        SetUnhandledExceptionFilter(RepairAndAnswer);
        *static_cast<volatile int*>(lockedPage) = 1;
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static FilterAnswerPlugin plugin;
    return plugin;
}

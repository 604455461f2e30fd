// Answers as the plain plug-in does under the name "Timer Left Behind", but
// its entry point makes a message-only window whose procedure lies in this
// DLL, starts a 30 ms timer on it, and destroys neither. Once the server
// unloads the DLL, the next WM_TIMER the server dispatches calls into
// memory that no module holds: the server dies while it serves a later
// request, never while it waits idle for one. (A timer procedure of its
// own would not do: the system swallows what faults in those.)

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

namespace {

WNDPROC systemProc = nullptr;

LRESULT CALLBACK LeftBehindProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return CallWindowProcW(systemProc, window, message, wParam, lParam);
}

class TimerLeftBehindPlugin : public kit::TestPlugin {
public:
    TimerLeftBehindPlugin() : TestPlugin({.name = "Timer Left Behind"}) {}

private:
    void OnEntry(const char*) override {
        // A system class, so that no class of this DLL outlives it.
        HWND window = CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
        if (!window)
            return;
        systemProc = reinterpret_cast<WNDPROC>(
            SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LeftBehindProc)));
        SetTimer(window, 1, 30, nullptr);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static TimerLeftBehindPlugin plugin;
    return plugin;
}

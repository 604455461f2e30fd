// Opens a plain top-level window of its own class in its entry point, with
// one static text, and runs a message loop until the window is destroyed:
// a window that is not a dialog and has no button to press. With
// OWN_WINDOW_REFUSALS it ignores that many requests to close first.

#include <windows.h>

#include "tests/plugins/kit/TestPlugin.h"

#ifndef OWN_WINDOW_REFUSALS
#define OWN_WINDOW_REFUSALS 0
#endif

namespace {

constexpr wchar_t kClassName[] = L"KitOwnWindow";

bool windowDestroyed = false;
int refusalsLeft = 0;

LRESULT CALLBACK OwnWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CLOSE && refusalsLeft > 0) {
        refusalsLeft--;
        return 0;
    }
    if (message == WM_DESTROY)
        windowDestroyed = true;
    return DefWindowProcW(window, message, wParam, lParam);
}

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&OwnWindowProc), &module);
    return module;
}

class OwnWindowPlugin : public kit::TestPlugin {
public:
    OwnWindowPlugin() : TestPlugin({.name = "Own Window"}) {}

private:
    void OnEntry(const char*) override {
        HINSTANCE instance = ThisModule();
        WNDCLASSW windowClass = {};
        windowClass.lpfnWndProc = OwnWindowProc;
        windowClass.hInstance = instance;
        windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        windowClass.lpszClassName = kClassName;
        RegisterClassW(&windowClass);
        windowDestroyed = false;
        refusalsLeft = OWN_WINDOW_REFUSALS;
        HWND window = CreateWindowExW(0, kClassName, L"Plug-in Window", WS_OVERLAPPEDWINDOW,
                                      CW_USEDEFAULT, CW_USEDEFAULT, 320, 120, nullptr, nullptr,
                                      instance, nullptr);
        if (window) {
            CreateWindowExW(0, L"STATIC", L"Hello from a plug-in", WS_CHILD | WS_VISIBLE, 10, 10,
                            280, 20, window, nullptr, instance, nullptr);
            ShowWindow(window, SW_SHOWNORMAL);
            MSG message;
            while (!windowDestroyed && GetMessageW(&message, nullptr, 0, 0) > 0) {
                TranslateMessage(&message);
                DispatchMessageW(&message);
            }
        }
        // The class's procedure lives in this DLL, which the host unloads
        // after the scan.
        UnregisterClassW(kClassName, instance);
    }
};

}  // namespace

kit::TestPlugin& kit::ThePlugin() {
    static OwnWindowPlugin plugin;
    return plugin;
}

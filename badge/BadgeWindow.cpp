#include "badge/BadgeWindow.h"

#include "badge/BadgeImage.h"
#include "server/ServerState.h"

namespace {

constexpr int kEdgeDistance = 10;

// The bottom-right corner of the work area of host's monitor (the nearest
// one when host lies on none), in virtual-screen coordinates.
POINT WorkAreaCorner(HWND host) {
    POINT corner;
    HMONITOR monitor = MonitorFromWindow(host, MONITOR_DEFAULTTONEAREST);
    MONITORINFO info = {};
    info.cbSize = sizeof(info);
    if (monitor && GetMonitorInfoW(monitor, &info)) {
        corner.x = info.rcWork.right;
        corner.y = info.rcWork.bottom;
    } else {
        corner.x = GetSystemMetrics(SM_CXSCREEN);
        corner.y = GetSystemMetrics(SM_CYSCREEN);
    }
    return corner;
}

void RegisterBadgeClass(HINSTANCE instance) {
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = BadgeWindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kBadgeClassName;
    RegisterClassW(&windowClass);
}

// A layered window with per-pixel alpha has no WM_PAINT: the system keeps
// the picture given here and composes it over whatever lies below.
void PaintBadge(HWND window, HBITMAP picture, SIZE size) {
    HDC screen = CreateDCW(L"DISPLAY", nullptr, nullptr, nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ replaced = SelectObject(memory, picture);
    POINT origin = {0, 0};
    BLENDFUNCTION blend = {AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
    UpdateLayeredWindow(window, nullptr, nullptr, &size, memory, &origin, 0, &blend, ULW_ALPHA);
    SelectObject(memory, replaced);
    DeleteDC(memory);
    DeleteDC(screen);
}

}  // namespace

void CreateBadgeWindow(HINSTANCE instance, HWND hostWindow) {
    HWND host = hostWindow ? hostWindow : GetForegroundWindow();
    serverState.hostWindow = host;
    serverState.badgeBitmap = LoadBadgeBitmap(instance);
    // Without a picture the window has no size and nothing to show; the
    // server serves requests just the same.
    if (!serverState.badgeBitmap)
        return;

    BITMAP picture = {};
    GetObjectW(serverState.badgeBitmap, sizeof(picture), &picture);
    SIZE size = {picture.bmWidth, picture.bmHeight};
    POINT corner = WorkAreaCorner(host);
    RegisterBadgeClass(instance);

    int x = corner.x - size.cx - kEdgeDistance;
    int y = corner.y - size.cy - kEdgeDistance;
    serverState.badgeWindow =
        CreateWindowExW(WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST, kBadgeClassName,
                        kBadgeTitle, WS_POPUP | WS_VISIBLE, x, y, size.cx, size.cy,
                        GetDesktopWindow(), nullptr, nullptr, nullptr);
    PaintBadge(serverState.badgeWindow, serverState.badgeBitmap, size);
    SetActiveWindow(serverState.badgeWindow);
}

LRESULT CALLBACK BadgeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCHITTEST)
        return HTCAPTION;
    return DefWindowProcW(window, message, wParam, lParam);
}
